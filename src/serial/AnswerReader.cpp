#include "serial/AnswerReader.h"

#include <QRegularExpression>
#include <algorithm>

#include "runtime/AdapterLine.h"
#include "runtime/Host.h"

namespace tavrin {

namespace {

// The error lines an adapter prints instead of an answer. Searched in order:
// the plain "ERROR" last, since others contain it.
struct AdapterErrorWord {
    const char* word;
    AdapterTrouble trouble;
};
constexpr AdapterErrorWord kAdapterErrors[] = {
    {"NO DATA", AdapterTrouble::NoData},          {"STOPPED", AdapterTrouble::Stopped},
    {"UNABLE TO CONNECT", AdapterTrouble::NoBus}, {"NOT CONNECTED", AdapterTrouble::NoBus},
    {"CAN ERROR", AdapterTrouble::BusTrouble},    {"BUS ERROR", AdapterTrouble::BusTrouble},
    {"BUS BUSY", AdapterTrouble::BusTrouble},     {"BUS INIT", AdapterTrouble::BusTrouble},
    {"BUFFER FULL", AdapterTrouble::Damaged},     {"DATA ERROR", AdapterTrouble::Damaged},
    {"RX ERROR", AdapterTrouble::Damaged},        {"FB ERROR", AdapterTrouble::Damaged},
    {"LV RESET", AdapterTrouble::Sleeping},       {"ACT ALERT", AdapterTrouble::Sleeping},
    {"LP ALERT", AdapterTrouble::Sleeping},       {"ERROR", AdapterTrouble::General},
};

bool isHexCommand(const QString& command) {
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{2,}$"));
    return hex.match(command).hasMatch();
}

}  // namespace

std::optional<AdapterTrouble> AdapterErrorIn(const QString& line) {
    if (line == QLatin1String(kUnknownCommandAnswer)) return AdapterTrouble::UnknownCommand;
    for (const AdapterErrorWord& e : kAdapterErrors) {
        if (line.contains(QLatin1String(e.word))) return e.trouble;
    }
    static const QRegularExpression errNN(QStringLiteral("\\bERR[0-9]{2}\\b"));
    if (errNN.match(line).hasMatch()) return AdapterTrouble::General;
    return std::nullopt;
}

bool IsUnreadableChar(QChar c) {
    const char16_t u = c.unicode();
    return !(u == u'\r' || u == u'\n' || u == u'\t' || (u >= 0x20 && u < 0x7F));
}

std::optional<QStringList> AnswerLines(const QString& text, const QString& sent) {
    if (!text.endsWith(QLatin1Char('>')) || text.count(QLatin1Char('>')) != 1) return std::nullopt;
    QString body = text.chopped(1);
    // A line feed may come with each carriage return; alone it ends a line too.
    body.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    // A stray byte or two on a line that carries the echo of what was sent,
    // or the adapter's name, is a disturbed line, not noise: noise at a wrong
    // speed holds neither. Left out, they do not make the answer unclean.
    const auto stray = [](QChar c) {
        return c != QLatin1Char('\r') && (c.unicode() < 0x20 || c.unicode() > 0x7E);
    };
    const qsizetype strays = std::count_if(body.begin(), body.end(), stray);
    if (strays > 0 && strays <= kMaxStrayBytes) {
        QString cleaned = body;
        cleaned.removeIf(stray);
        const QStringList lines = cleaned.split(QLatin1Char('\r'));
        const bool echoed = std::any_of(lines.begin(), lines.end(), [&sent](const QString& l) {
            return l.trimmed().compare(sent, Qt::CaseInsensitive) == 0;
        });
        if (echoed || cleaned.contains(QLatin1String("ELM"))) body = cleaned;
    }
    QStringList lines;
    bool first = true;
    for (QString line : body.split(QLatin1Char('\r'), Qt::SkipEmptyParts)) {
        // Only plain spaces: trimming all white space would also drop the
        // Latin-1 bytes 0x85 and 0xA0, which noise contains as often as any.
        while (line.startsWith(QLatin1Char(' '))) line.remove(0, 1);
        while (line.endsWith(QLatin1Char(' '))) line.chop(1);
        if (line.isEmpty()) continue;
        const bool echo = first && line.compare(sent, Qt::CaseInsensitive) == 0;
        first = false;
        if (echo) continue;
        for (const QChar c : line) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7E) return std::nullopt;
        }
        lines << line;
    }
    return lines;
}

AnswerReader::AnswerReader(AdapterLine& line, Host& host, QObject* parent)
    : QObject(parent), line_(line), host_(host) {}

void AnswerReader::expect(const QString& command) {
    command_ = command;
    partial_.clear();
    lastAnswer_.clear();
    echoSeen_ = false;
    errorsAtCommand_ = line_.lineErrors();
}

bool AnswerReader::judgeLine(const QString& rawLine, WaitResult* result, bool* pending) {
    QString line = rawLine;
    line.remove(QLatin1Char('\n'));
    // A stray byte must not hide the echo or an error word.
    line.removeIf(IsUnreadableChar);
    // The prompt of the previous answer may stand in front of the echo.
    const int prompt = line.lastIndexOf(QLatin1Char('>'));
    if (prompt >= 0) line = line.mid(prompt + 1);
    line = line.trimmed();
    if (line.isEmpty()) return false;
    if (!echoSeen_) {
        // Only what follows the echo of this command is its answer: leftovers
        // of an earlier exchange must never count as an error of this one.
        if (line.compare(command_, Qt::CaseInsensitive) == 0) echoSeen_ = true;
        return false;
    }
    lastAnswer_ = line;
    if (AdapterErrorIn(line)) {
        result->status = WaitStatus::AdapterError;
        result->adapterText = line;
        return true;
    }
    if (isHexCommand(command_)) {
        // A refusal of this command's service: 7F, the service and a code.
        static const QRegularExpression negative(
            QStringLiteral("^(?:[0-9A-F]{3} [0-9A-F]{2} )?7F ([0-9A-F]{2}) ([0-9A-F]{2})(?: |$)"));
        const auto match = negative.match(line);
        if (match.hasMatch() &&
            match.capturedView(1).compare(command_.left(2), Qt::CaseInsensitive) == 0) {
            const int code = match.captured(2).toInt(nullptr, 16);
            if (code == 0x78) {
                *pending = true;
                return false;
            }
            result->status = WaitStatus::NegativeResponse;
            result->adapterText = line;
            result->negativeCode = code;
            return true;
        }
    }
    return false;
}

std::optional<WaitStatus> AnswerReader::timeLeft(const Listening& how, const Collecting& c,
                                                 qint64* leftMs) {
    const qint64 now = host_.clock().nowMs();
    qint64 left = how.limitMs - (now - c.startMs);
    if (how.deadlineMs >= 0 && how.deadlineMs - now < left) {
        left = how.deadlineMs - now;
        if (left <= 0) return WaitStatus::Abandoned;
    }
    if (left <= 0) return c.stopped ? WaitStatus::AdapterError : WaitStatus::TimedOut;
    if (c.unreadable > 0) {
        const qint64 quiet = host_.limits.quietAfterNoiseMs - (now - c.lastCharMs);
        if (quiet <= 0) return WaitStatus::Unreadable;
        left = qMin(left, quiet);
    }
    *leftMs = left;
    return std::nullopt;
}

std::optional<WaitStatus> AnswerReader::take(const QString& chars, const Listening& how,
                                             Collecting* c, QString* buffer, WaitResult* result) {
    static const QString kStopped = QStringLiteral("STOPPED");
    *buffer += chars;
    c->collected += chars.size();
    c->lastCharMs = host_.clock().nowMs();
    QString completedLine;
    bool lineCompleted = false;
    for (const QChar ch : chars) {
        if (IsUnreadableChar(ch)) ++c->unreadable;
        if (ch == QLatin1Char('\r')) {
            completedLine = partial_;
            lineCompleted = true;
            partial_.clear();
        } else {
            partial_ += ch;
        }
    }
    if (c->unreadable >= kUnreadableLimit) return WaitStatus::Unreadable;
    if (c->stopped) {
        if (chars.contains(QLatin1Char('>')) || c->collected > how.maxChars)
            return WaitStatus::AdapterError;
        return std::nullopt;
    }
    if (buffer->contains(how.endMark)) return WaitStatus::Found;
    if (how.endOnLineErrors && line_.lineErrors().since(errorsAtCommand_).ofSpeed())
        return WaitStatus::Unreadable;
    if (c->collected > how.maxChars) return WaitStatus::TooLong;
    if (how.judged && lineCompleted) {
        bool pending = false;
        if (judgeLine(completedLine, result, &pending)) {
            // A stopped adapter prints its prompt next; the line is only
            // free for the next command once it has.
            if (result->adapterText != kStopped) return result->status;
            c->stopped = true;
            return std::nullopt;
        }
        // The cluster asked for more time: the limit starts again.
        if (pending) {
            result->pendingSeen = true;
            if (++c->pendingRestarts <= host_.limits.maxPendingRestarts)
                c->startMs = host_.clock().nowMs();
        }
    }
    // The prompt after the echo means the adapter has said all it will say
    // about this command; waiting longer would only run out the limit.
    if (how.judged && echoSeen_ && chars.contains(QLatin1Char('>'))) {
        result->adapterText = lastAnswer_.left(80);
        return WaitStatus::UnexpectedAnswer;
    }
    if (partial_.size() > how.maxChars) partial_ = partial_.right(how.maxChars);
    return std::nullopt;
}

QCoro::Task<WaitResult> AnswerReader::collect(Listening how, QString buffer, Stop stop) {
    Wait wait(host_.clock(), stop);
    WakeOnLine(wait, line_);
    WaitResult result;
    Collecting c;
    c.startMs = c.lastCharMs = host_.clock().nowMs();
    std::optional<WaitStatus> status;
    while (!status) {
        if (stop.requested()) {
            status = WaitStatus::Cancelled;
        } else if (!line_.PortOpen()) {
            status = WaitStatus::PortClosed;
        } else if (const QString chars = line_.Input(); !chars.isEmpty()) {
            status = take(chars, how, &c, &buffer, &result);
        } else {
            qint64 left = 0;
            status = timeLeft(how, c, &left);
            // Suspended until a character, a closed port, a wake-up, a stop
            // or the deadline.
            if (!status) co_await wait.upTo(left);
        }
    }

    result.status = *status;
    result.buffer = buffer;
    result.lineErrors = line_.lineErrors().since(errorsAtCommand_);
    if (result.status == WaitStatus::PortClosed) {
        result.adapterText = line_.lostReason();
        result.network = line_.isNetwork();
    }
    co_return result;
}

}  // namespace tavrin
