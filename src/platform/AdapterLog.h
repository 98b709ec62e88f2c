#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>

namespace tavrin {

// Everything said on the serial line since the program started: what was
// sent, what arrived (one entry per read, so slow pieces stay visible) and
// the program's own notes. Recording only stores the bytes and the time in a
// bounded buffer; the text is made when somebody looks.
class AdapterLog : public QObject {
    Q_OBJECT
public:
    enum class Direction { Sent, Received, Note };
    struct Entry {
        qint64 msecsSinceEpoch = 0;
        Direction direction = Direction::Note;
        QByteArray bytes;
    };
    static constexpr std::size_t kMaxEntries = 5000;

    explicit AdapterLog(QObject* parent = nullptr);

    void record(Direction direction, const QByteArray& bytes);
    void note(const QString& text);
    void clear();

    const std::deque<Entry>& entries() const { return entries_; }
    // Entries recorded since the program started, including dropped ones.
    quint64 total() const { return total_; }

    // One line: local time with milliseconds, an arrow for the direction and
    // the text with control characters made visible ("<CR>", "<LF>", "<7F>").
    static QString format(const Entry& entry);
    QStringList lines() const;

signals:
    void recorded(const Entry& entry);
    void cleared();

private:
    std::deque<Entry> entries_;
    quint64 total_ = 0;
};

}  // namespace tavrin
