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

QCoro::Task<WaitResult> AnswerReader::collect(Listening how, QString buffer, Stop stop) {
    static const QString kStopped = QStringLiteral("STOPPED");
    const TimeLimits& limits = host_.limits;
    Clock& clock = host_.clock();
    Wait wait(clock, stop);
    WakeOnLine(wait, line_);

    WaitResult result;

    qint64 startMs = clock.nowMs();
    int collected = 0;
    int unreadable = 0;
    int pendingRestarts = 0;
    bool stopped = false;  // STOPPED has arrived; its prompt is awaited
    qint64 lastCharMs = startMs;
    WaitStatus status = WaitStatus::Found;

    for (;;) {
        if (stop.requested()) {
            status = WaitStatus::Cancelled;
            break;
        }
        if (!line_.PortOpen()) {
            status = WaitStatus::PortClosed;
            break;
        }

        const QString c = line_.Input();
        if (c.isEmpty()) {
            const qint64 now = clock.nowMs();
            qint64 left = how.limitMs - (now - startMs);
            if (how.deadlineMs >= 0 && how.deadlineMs - now < left) {
                left = how.deadlineMs - now;
                if (left <= 0) {
                    status = WaitStatus::Abandoned;
                    break;
                }
            }
            if (left <= 0) {
                status = stopped ? WaitStatus::AdapterError : WaitStatus::TimedOut;
                break;
            }
            if (unreadable > 0) {
                const qint64 quiet = limits.quietAfterNoiseMs - (now - lastCharMs);
                if (quiet <= 0) {
                    status = WaitStatus::Unreadable;
                    break;
                }
                left = qMin(left, quiet);
            }
            // Suspended until a character, a closed port, a wake-up, a stop
            // or the deadline.
            co_await wait.upTo(left);
            continue;
        }

        buffer += c;
        collected += c.size();
        lastCharMs = clock.nowMs();
        QString completedLine;
        bool lineCompleted = false;
        for (const QChar ch : c) {
            if (IsUnreadableChar(ch)) ++unreadable;
            if (ch == QLatin1Char('\r')) {
                completedLine = partial_;
                lineCompleted = true;
                partial_.clear();
            } else {
                partial_ += ch;
            }
        }
        if (unreadable >= kUnreadableLimit) {
            status = WaitStatus::Unreadable;
            break;
        }
        if (stopped) {
            if (c.contains(QLatin1Char('>')) || collected > how.maxChars) {
                status = WaitStatus::AdapterError;
                break;
            }
            continue;
        }
        if (buffer.contains(how.endMark)) {
            status = WaitStatus::Found;
            break;
        }
        if (how.endOnLineErrors && line_.lineErrors().since(errorsAtCommand_).ofSpeed()) {
            status = WaitStatus::Unreadable;
            break;
        }
        if (collected > how.maxChars) {
            status = WaitStatus::TooLong;
            break;
        }
        if (how.judged && lineCompleted) {
            bool pending = false;
            if (judgeLine(completedLine, &result, &pending)) {
                // A stopped adapter prints its prompt next; the line is only
                // free for the next command once it has.
                if (result.adapterText != kStopped) {
                    status = result.status;
                    break;
                }
                stopped = true;
                continue;
            }
            // The cluster asked for more time: the limit starts again.
            if (pending) {
                result.pendingSeen = true;
                if (++pendingRestarts <= limits.maxPendingRestarts) startMs = clock.nowMs();
            }
        }
        // The prompt after the echo means the adapter has said all it will
        // say about this command; waiting longer would only run out the limit.
        if (how.judged && echoSeen_ && c.contains(QLatin1Char('>'))) {
            result.adapterText = lastAnswer_.left(80);
            status = WaitStatus::UnexpectedAnswer;
            break;
        }
        if (partial_.size() > how.maxChars) partial_ = partial_.right(how.maxChars);
    }

    result.status = status;
    result.buffer = buffer;
    result.lineErrors = line_.lineErrors().since(errorsAtCommand_);
    if (status == WaitStatus::PortClosed) {
        result.adapterText = line_.lostReason();
        result.network = line_.isNetwork();
    }
    co_return result;
}

}  // namespace tavrin
