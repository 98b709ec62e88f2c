#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>

namespace tavrin {

// Everything said on the serial line since the program started: what was
// sent, what arrived (one entry per arrival) and the program's own notes.
// Recording only stores the bytes and the time in a bounded buffer; the text
// is made when somebody looks. Read as lines, an answer is one line however
// many pieces it came in, with the joins marked, so slow pieces stay visible.
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
    // The log as lines: one per line sent, per note, and per answer (all
    // that arrived between two of those), at the time of its first byte,
    // its pieces joined by "·".
    QStringList lines() const;
    // Whether the newest entry continued the line before it, and that line
    // as it now reads: what a window showing the lines replaces.
    bool lastContinues() const;
    QString lastLine() const;

signals:
    void recorded(const Entry& entry);
    void cleared();

private:
    std::deque<Entry> entries_;
    quint64 total_ = 0;
};

}  // namespace tavrin
