#include "Judge.h"

#include <QRegularExpression>
#include <optional>

namespace tavrin::fuzz {

namespace {

using Kind = Event::Kind;

// Police mode is bit 2 (04 hexadecimal) of the first byte of record 03,
// whether the record is one byte long or two.
constexpr int kPoliceMask = 0x04;

// The longest a program may take between two things it does: a wait's ten
// seconds, restarted at most twelve times by "response pending", twice (the
// answer's prefix, then the rest of its line), and the longest pause.
constexpr qint64 kLongestStepMs = 2 * 13 * 10000 + 1000 + 500;

// The longest the line may be silent before the program does something: a
// wait's ten seconds from the last byte sent or received, then the longest
// pause, and the 50 ms the run lets pass before it ends an operation.
constexpr qint64 kLongestSilenceMs = 10000 + 1000 + 50;

// One line the program sent, where it ended in the record.
struct SentLine {
    QByteArray text;
    std::size_t event = 0;
    int operation = -1;
};

// The adapter's text between two events of the record: bytes an adapter
// never prints (NULs, other control characters but the carriage return, and
// anything beyond ASCII) are line noise and no part of an answer.
QByteArray answeredBetween(const Record& r, std::size_t from, std::size_t to) {
    QByteArray out;
    for (std::size_t i = from; i < to && i < r.events.size(); ++i) {
        if (r.events[i].kind != Kind::Received) continue;
        for (const char c : r.events[i].bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (u == '\r' || (u >= 0x20 && u < 0x7F)) out += c;
        }
    }
    return out;
}

// The record a complete, valid answer to "2103" carries, from the last such
// line in the text: "... LL 61 03 XX [YY] " and a carriage return, where LL
// counts the bytes from 61 on (03 for one data byte, 04 for two).
std::optional<QByteArray> lastRecordIn(const QByteArray& answer) {
    static const QRegularExpression valid(
        QStringLiteral("(?:^|[^0-9A-Fa-f])(0[34]) 61 03 ((?:[0-9A-Fa-f]{2} )*[0-9A-Fa-f]{2}) ?$"));
    std::optional<QByteArray> found;
    QByteArrayList lines = answer.split('\r');
    lines.removeLast();  // not ended by a carriage return: not complete
    for (const QByteArray& rawLine : lines) {
        QByteArray line = rawLine;
        line.replace('\n', QByteArray());
        const auto match = valid.match(QString::fromLatin1(line));
        if (!match.hasMatch()) continue;
        const QStringList bytes = match.captured(2).split(QLatin1Char(' '));
        if (bytes.size() != match.captured(1).toInt() - 2) continue;
        QByteArray record;
        for (const QString& b : bytes) record += char(b.toInt(nullptr, 16));
        found = record;
    }
    return found;
}

// The only write a record may lead to: the same bytes, the police-mode bit
// of the first inverted, in lower case after "3b03".
QByteArray writeFor(QByteArray record) {
    record[0] = char(record.at(0) ^ kPoliceMask);
    return "3b03" + record.toHex();
}

// The fields of one line of the history file (CSV, quotes as RFC 4180).
QStringList csvFields(const QString& line) {
    QStringList fields{QString()};
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted && c == QLatin1Char('"') && i + 1 < line.size() && line.at(i + 1) == c) {
            fields.last() += c;
            ++i;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char(',') && !quoted) {
            fields << QString();
        } else {
            fields.last() += c;
        }
    }
    return fields;
}

// The pace of the program: within every operation it does something (sends
// a line, or ends) within the longest step after the last thing it did, and
// within the longest silence after the last byte either way.
void checkPace(const Record& r, QStringList* broken) {
    bool started = false;  // an operation has started
    qint64 lastActionMs = -1;
    qint64 lastTrafficMs = -1;
    for (const Event& e : r.events) {
        const bool action = (e.kind == Kind::Sent && started) || e.kind == Kind::OperationEnded;
        if (action && lastActionMs >= 0 && e.timeMs - lastActionMs > kLongestStepMs) {
            *broken
                << QStringLiteral("the program did nothing for %1 ms").arg(e.timeMs - lastActionMs);
        }
        if (action && lastTrafficMs >= 0 && e.timeMs - lastTrafficMs > kLongestSilenceMs) {
            *broken << QStringLiteral("the program waited %1 ms on a silent line")
                           .arg(e.timeMs - lastTrafficMs);
        }
        if (e.kind == Kind::OperationEnded) {
            lastTrafficMs = -1;
        } else if (e.kind == Kind::OperationStarted || e.kind == Kind::Sent ||
                   e.kind == Kind::Received) {
            lastTrafficMs = e.timeMs;
        }
        if (e.kind == Kind::OperationStarted) {
            started = true;
            lastActionMs = e.timeMs;
        } else if (e.kind == Kind::OperationEnded) {
            lastActionMs = -1;
        } else if (action) {
            lastActionMs = e.timeMs;
        }
    }
}

// The lines the program sent, each with its operation; where the user first
// pressed a Cancel the program offered in each operation; and whether the
// adapter's line went dead in it.
struct Traffic {
    std::vector<SentLine> sent;
    std::vector<std::size_t> cancelAt;  // by operation; npos: none
    std::vector<bool> vanished;
};

Traffic linesSent(const Record& r, QStringList* broken) {
    Traffic c;
    int operation = -1;
    QByteArray partial;
    for (std::size_t i = 0; i < r.events.size(); ++i) {
        const Event& e = r.events[i];
        if (e.kind == Kind::OperationStarted) {
            ++operation;
            c.cancelAt.push_back(std::size_t(-1));
            c.vanished.push_back(false);
        }
        if (e.kind == Kind::CancelPressed && operation >= 0 &&
            c.cancelAt[std::size_t(operation)] == std::size_t(-1)) {
            c.cancelAt[std::size_t(operation)] = i;
        }
        // Offered, pressed, and then not taken: an offer the program did
        // not mean.
        if (e.kind == Kind::CancelRefused)
            *broken << QStringLiteral("a Cancel the program offered was refused");
        if (e.kind == Kind::Vanished && operation >= 0) c.vanished[std::size_t(operation)] = true;
        if (e.kind != Kind::Sent) continue;
        for (const char ch : e.bytes) {
            if (ch == '\n') continue;
            if (ch != '\r') {
                partial += ch;
                continue;
            }
            c.sent.push_back({partial, i, operation});
            partial.clear();
        }
    }
    return c;
}

// Each write against the last valid answer to "2103" before it in its
// operation; at most one distinct write an operation; a resend only after
// STOPPED, and only once; nothing at all after a Cancel was pressed. The
// writes, a resend counted once.
std::vector<SentLine> checkLines(const Record& r, const Traffic& c, QStringList* broken) {
    const std::vector<SentLine>& sent = c.sent;
    std::vector<SentLine> writes;
    for (std::size_t n = 0; n < sent.size(); ++n) {
        const SentLine& line = sent[n];
        if (n > 0 && sent[n - 1].text == line.text && sent[n - 1].operation == line.operation) {
            const bool stopped =
                answeredBetween(r, sent[n - 1].event, line.event).contains("STOPPED");
            const bool third =
                n > 1 && sent[n - 2].text == line.text && sent[n - 2].operation == line.operation;
            if (!stopped || third)
                *broken << QStringLiteral("\"%1\" was sent again without cause")
                               .arg(QString::fromLatin1(line.text));
        }
        if (line.operation >= 0) {
            const std::size_t pressed = c.cancelAt[std::size_t(line.operation)];
            if (pressed != std::size_t(-1) && line.event > pressed)
                *broken << QStringLiteral("\"%1\" was sent after Cancel was pressed")
                               .arg(QString::fromLatin1(line.text));
        }
        if (!line.text.toLower().startsWith("3b")) continue;
        if (line.operation < 0) {
            *broken << QStringLiteral("\"%1\" was sent outside any operation")
                           .arg(QString::fromLatin1(line.text));
            continue;
        }
        std::optional<QByteArray> record;
        for (std::size_t m = n; m-- > 0;) {
            if (sent[m].operation != line.operation) break;
            if (sent[m].text != "2103") continue;
            record = lastRecordIn(answeredBetween(r, sent[m].event + 1, line.event));
            break;
        }
        if (!record) {
            *broken << QStringLiteral("\"%1\" was sent without a valid read of the record")
                           .arg(QString::fromLatin1(line.text));
        } else if (line.text != writeFor(*record)) {
            *broken << QStringLiteral("\"%1\" was sent for the record %2; only \"%3\" may be")
                           .arg(QString::fromLatin1(line.text),
                                QString::fromLatin1(record->toHex()).toUpper(),
                                QString::fromLatin1(writeFor(*record)));
        }
        if (!writes.empty() && writes.back().operation == line.operation) {
            if (writes.back().text != line.text)
                *broken << QStringLiteral("two different writes in one operation");
            continue;  // a resend: one history entry between them
        }
        writes.push_back(line);
    }
    return writes;
}

// History: before each write, its "before" line on the disk; after it, its
// "after" line, unless the port vanished.
void checkHistory(const Record& r, const std::vector<SentLine>& writes,
                  const std::vector<bool>& vanished, QStringList* broken) {
    QStringList lines = QString::fromUtf8(r.history).split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    if (!lines.isEmpty()) lines.removeFirst();  // the header
    std::vector<std::size_t> syncs;
    for (std::size_t i = 0; i < r.events.size(); ++i) {
        if (r.events[i].kind == Kind::Synced) syncs.push_back(i);
    }
    int next = 0;
    for (const SentLine& w : writes) {
        int before = next;
        while (before < lines.size()) {
            const QStringList f = csvFields(lines[before]);
            if (f.size() > 7 && f[5] == QLatin1String("before") &&
                f[7] == QString::fromLatin1(w.text))
                break;
            ++before;
        }
        if (before >= lines.size()) {
            *broken << QStringLiteral("no \"before\" line for \"%1\" in the history")
                           .arg(QString::fromLatin1(w.text));
            continue;
        }
        if (std::size_t(before) >= syncs.size() || syncs[std::size_t(before)] > w.event)
            *broken << QStringLiteral("\"%1\" went out before its \"before\" line was on the disk")
                           .arg(QString::fromLatin1(w.text));
        next = before + 1;
        const QStringList after = next < lines.size() ? csvFields(lines[next]) : QStringList();
        const bool recorded = after.size() > 7 && after[5] == QLatin1String("after") &&
                              after[7] == QString::fromLatin1(w.text);
        if (recorded) {
            ++next;
        } else if (!vanished[std::size_t(w.operation)]) {
            *broken << QStringLiteral("no \"after\" line for \"%1\" in the history")
                           .arg(QString::fromLatin1(w.text));
        }
    }
}

}  // namespace

QStringList Judge(const Record& r) {
    QStringList broken = r.problems;
    checkPace(r, &broken);
    const Traffic traffic = linesSent(r, &broken);
    const std::vector<SentLine> writes = checkLines(r, traffic, &broken);
    checkHistory(r, writes, traffic.vanished, &broken);
    return broken;
}

QStringList Transcript(const Record& r) {
    static const char* const kinds[] = {"sent",   "received", "operation", "ended",
                                        "cancel", "refused",  "synced",    "vanished"};
    QStringList out;
    for (const Event& e : r.events) {
        QString bytes;
        for (const char c : e.bytes) {
            const auto u = static_cast<unsigned char>(c);
            bytes += u >= 0x20 && u < 0x7F ? QString(QLatin1Char(c))
                                           : QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0'));
        }
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(e.timeMs, 8)
                   .arg(QLatin1String(kinds[int(e.kind)]), -9)
                   .arg(e.text, bytes);
    }
    return out;
}

}  // namespace tavrin::fuzz
