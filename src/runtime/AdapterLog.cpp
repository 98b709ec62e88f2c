#include "runtime/AdapterLog.h"

#include <QDateTime>

namespace tavrin {

namespace {

// The mark between two pieces of one answer.
const QString kJoin = QStringLiteral("\u00B7");

// An arrival right after another belongs to the same answer.
bool continues(const AdapterLog::Entry& previous, const AdapterLog::Entry& entry) {
    return previous.direction == AdapterLog::Direction::Received &&
           entry.direction == AdapterLog::Direction::Received;
}

// Bytes with control characters made visible.
QString visible(const QByteArray& bytes) {
    QString text;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\r') {
            text += QStringLiteral("<CR>");
        } else if (u == '\n') {
            text += QStringLiteral("<LF>");
        } else if (u < 0x20 || u >= 0x7F) {
            text += QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        } else {
            text += QLatin1Char(c);
        }
    }
    return text;
}

}  // namespace

AdapterLog::AdapterLog(QObject* parent) : QObject(parent) {}

void AdapterLog::record(Direction direction, const QByteArray& bytes) {
    if (bytes.isEmpty() && direction != Direction::Note) return;
    if (entries_.size() >= kMaxEntries) entries_.pop_front();
    entries_.push_back(Entry{QDateTime::currentMSecsSinceEpoch(), direction, bytes});
    ++total_;
    emit recorded(entries_.back());
}

void AdapterLog::note(const QString& text) {
    record(Direction::Note, text.toUtf8());
}

void AdapterLog::clear() {
    entries_.clear();
    emit cleared();
}

QString AdapterLog::format(const Entry& entry) {
    const QString time = QDateTime::fromMSecsSinceEpoch(entry.msecsSinceEpoch)
                             .toString(QStringLiteral("hh:mm:ss.zzz "));
    switch (entry.direction) {
        case Direction::Sent:
            return time + QStringLiteral("\u2192 ") + visible(entry.bytes);
        case Direction::Received:
            return time + QStringLiteral("\u2190 ") + visible(entry.bytes);
        case Direction::Note:
            break;
    }
    return time + QStringLiteral("-- ") + QString::fromUtf8(entry.bytes);
}

QStringList AdapterLog::lines() const {
    QStringList out;
    const Entry* previous = nullptr;
    for (const Entry& e : entries_) {
        if (previous && continues(*previous, e)) {
            out.last() += kJoin + visible(e.bytes);
        } else {
            out << format(e);
        }
        previous = &e;
    }
    return out;
}

bool AdapterLog::lastContinues() const {
    const std::size_t n = entries_.size();
    return n >= 2 && continues(entries_[n - 2], entries_[n - 1]);
}

QString AdapterLog::lastLine() const {
    if (entries_.empty()) return {};
    std::size_t first = entries_.size() - 1;
    while (first > 0 && continues(entries_[first - 1], entries_[first])) --first;
    QString line = format(entries_[first]);
    for (std::size_t i = first + 1; i < entries_.size(); ++i)
        line += kJoin + visible(entries_[i].bytes);
    return line;
}

}  // namespace tavrin
