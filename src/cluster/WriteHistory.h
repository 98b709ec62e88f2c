#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

class QFileDevice;

namespace tavrin {

// history.csv beside the settings file: two lines for every write to the
// cluster, one before the request goes out and one once its outcome is known.
// The file is only ever appended to, and each line is on the disk before the
// program takes its next step, so the record the cluster held before a change
// survives whatever happens during it.
class WriteHistory {
public:
    static constexpr char kFileName[] = "history.csv";
    static const QStringList& columns();

    struct Line {
        QDateTime time;  // local time; written with its offset from UTC
        QString port;    // "COM3"
        QString speed;
        QString partNumber;
        QString model;
        QString step;     // "before" or "after"
        QString record;   // before: the record read; after: the record read back
        QString request;  // the write request sent
        QString outcome;  // after only: applied, not applied, refused ..., no answer, ...
    };

    // How a written line is put on the disk itself; false when that failed.
    using Sync = std::function<bool(QFileDevice&)>;

    // sync: the host's; without one, the file is flushed and synced here.
    explicit WriteHistory(QString path, Sync sync = {})
        : path_(std::move(path)), sync_(std::move(sync)) {}
    const QString& path() const { return path_; }

    // Appends one line (and the header line first, to a new or empty file)
    // and flushes it to the disk. False, with the reason, when it could not.
    bool append(const Line& line, QString* error) const;

    // One CSV line without its line end, fields quoted where they need it.
    static QString format(const Line& line);
    static QString header();

private:
    QString path_;
    Sync sync_;
};

}  // namespace tavrin
