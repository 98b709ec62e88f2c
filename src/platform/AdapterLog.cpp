#include "platform/AdapterLog.h"

#include <QDateTime>

namespace tavrin {

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
    QString line = QDateTime::fromMSecsSinceEpoch(entry.msecsSinceEpoch)
                       .toString(QStringLiteral("hh:mm:ss.zzz "));
    switch (entry.direction) {
        case Direction::Sent:
            line += QStringLiteral("\u2192 ");
            break;
        case Direction::Received:
            line += QStringLiteral("\u2190 ");
            break;
        case Direction::Note:
            return line + QStringLiteral("-- ") + QString::fromUtf8(entry.bytes);
    }
    for (const char c : entry.bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\r') {
            line += QStringLiteral("<CR>");
        } else if (u == '\n') {
            line += QStringLiteral("<LF>");
        } else if (u < 0x20 || u >= 0x7F) {
            line += QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        } else {
            line += QLatin1Char(c);
        }
    }
    return line;
}

QStringList AdapterLog::lines() const {
    QStringList out;
    out.reserve(int(entries_.size()));
    for (const Entry& e : entries_) out << format(e);
    return out;
}

}  // namespace tavrin
