#include "serial/Exchange.h"

#include <QRegularExpression>

#include "platform/AdapterLine.h"
#include "platform/AdapterLog.h"
#include "platform/Clock.h"
#include "platform/Host.h"

namespace tavrin {

namespace {

// The error lines an adapter prints instead of an answer, and what each
// means. Searched in order: the plain "ERROR" last, since others contain it.
struct AdapterErrorWord {
    const char* word;
    const char* meaning;
};
constexpr char kBusTrouble[] = "the adapter reported trouble on the car's bus";
constexpr char kDamaged[] = "the adapter received a damaged answer";
constexpr char kSleeping[] = "the adapter reset itself or is going to sleep";
constexpr char kGeneral[] = "the adapter reported an error";
constexpr AdapterErrorWord kAdapterErrors[] = {
    {"NO DATA", "nothing on the car's bus answered"},
    {"STOPPED", "the adapter interrupted the request"},
    {"UNABLE TO CONNECT", "the adapter found no bus to talk on"},
    {"CAN ERROR", kBusTrouble},
    {"BUS ERROR", kBusTrouble},
    {"BUS BUSY", kBusTrouble},
    {"BUS INIT", kBusTrouble},
    {"BUFFER FULL", kDamaged},
    {"DATA ERROR", kDamaged},
    {"RX ERROR", kDamaged},
    {"FB ERROR", kDamaged},
    {"LV RESET", kSleeping},
    {"ACT ALERT", kSleeping},
    {"LP ALERT", kSleeping},
    {"ERROR", kGeneral},
};

// What an adapter's error line means, in words; null when the line is no
// error line.
const char* adapterErrorMeaning(const QString& line) {
    if (line == QLatin1String("?")) return "the adapter does not know this command";
    for (const AdapterErrorWord& e : kAdapterErrors) {
        if (line.contains(QLatin1String(e.word))) return e.meaning;
    }
    static const QRegularExpression errNN(QStringLiteral("\\bERR[0-9]{2}\\b"));
    return errNN.match(line).hasMatch() ? kGeneral : nullptr;
}

bool isAdapterError(const QString& line) {
    return adapterErrorMeaning(line) != nullptr;
}

bool isHexCommand(const QString& command) {
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{2,}$"));
    return hex.match(command).hasMatch();
}

}  // namespace

QString NegativeResponseMeaning(int code) {
    switch (code) {
        case 0x10:
            return QStringLiteral("general reject");
        case 0x11:
            return QStringLiteral("service not supported");
        case 0x12:
            return QStringLiteral("sub-function not supported or invalid format");
        case 0x13:
            return QStringLiteral("incorrect message length");
        case 0x21:
            return QStringLiteral("busy, repeat request");
        case 0x22:
            return QStringLiteral("conditions not correct");
        case 0x24:
            return QStringLiteral("request sequence error");
        case 0x31:
            return QStringLiteral("request out of range");
        case 0x33:
            return QStringLiteral("security access denied");
        case 0x35:
            return QStringLiteral("invalid key");
        case 0x36:
            return QStringLiteral("exceeded number of attempts");
        case 0x37:
            return QStringLiteral("required time delay not expired");
        case 0x72:
            return QStringLiteral("programming failure");
        case 0x78:
            return QStringLiteral("response pending");
        case 0x7E:
            return QStringLiteral("sub-function not supported in active session");
        case 0x7F:
            return QStringLiteral("service not supported in active session");
        default:
            return QStringLiteral("unknown reason");
    }
}

QString NegativeCodeText(int code) {
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

QString NegativeResponseAdvice(int code, Audience audience) {
    switch (code) {
        case 0x11:
        case 0x12:
        case 0x31:
        case 0x7E:
        case 0x7F:
            return QStringLiteral(
                "This cluster does not allow the request: it is probably not one of the "
                "supported cars.");
        case 0x13:
            return QStringLiteral(
                "The cluster's record has a length this program does not expect; nothing "
                "was changed.");
        case 0x21:
            return QStringLiteral("The cluster is busy: wait a moment and try again.");
        case 0x22:
            return QStringLiteral(
                "The cluster will not do this now. Turn the ignition on with the engine off, "
                "then try again.");
        case 0x24:
            return audience == Audience::Terminal
                       ? QStringLiteral("Run the command again.")
                       : QStringLiteral("Click Disconnect, then Connect, and try again.");
        case 0x33:
            return QStringLiteral(
                "The cluster is locked against changes; this program cannot unlock it.");
        case 0x35:
        case 0x36:
        case 0x37:
            return QStringLiteral("Turn the ignition off, wait ten minutes, then try again.");
        case 0x72:
            return QStringLiteral(
                "The cluster could not store the change. Do not repeat it at once; read the "
                "setting again first.");
        case 0x78:
            return QStringLiteral(
                "The cluster asked for more time and then did not answer. Turn the "
                "ignition off and on, then try again.");
        default:
            return QStringLiteral("Try again; if it happens again, the car may not be supported.");
    }
}

bool IsUnreadableChar(QChar c) {
    const char16_t u = c.unicode();
    return !(u == u'\r' || u == u'\n' || u == u'\t' || (u >= 0x20 && u < 0x7F));
}

QString WaitResult::describe() const {
    switch (status) {
        case WaitStatus::Found:
            return QStringLiteral("the expected answer arrived");
        case WaitStatus::TimedOut:
            return pendingSeen ? QStringLiteral(
                                     "the cluster asked for more time but then did not answer "
                                     "in time")
                               : QStringLiteral("the adapter did not answer in time");
        case WaitStatus::AdapterError: {
            const char* meaning = adapterErrorMeaning(adapterText);
            return QStringLiteral("%1 (it answered \"%2\")")
                .arg(QLatin1String(meaning ? meaning : kGeneral), adapterText);
        }
        case WaitStatus::NegativeResponse:
            return QStringLiteral("the cluster refused the request with code %1 (%2)")
                .arg(NegativeCodeText(negativeCode), NegativeResponseMeaning(negativeCode));
        case WaitStatus::UnexpectedAnswer:
            return adapterText.isEmpty()
                       ? QStringLiteral("the adapter ended its answer without the expected text")
                       : QStringLiteral("the adapter answered \"%1\" instead of the expected text")
                             .arg(adapterText);
        case WaitStatus::PortClosed:
            return QStringLiteral("the connection to the adapter was lost");
        case WaitStatus::TooLong:
            return QStringLiteral("the adapter sent a long answer without the expected text");
        case WaitStatus::Abandoned:
            return QStringLiteral("the wait was abandoned");
        case WaitStatus::Cancelled:
            return QStringLiteral("the wait was cancelled");
        case WaitStatus::Unreadable:
            return QStringLiteral("the adapter's answer could not be read");
    }
    return {};
}

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QString kStopped = QStringLiteral("STOPPED");
}  // namespace

Exchange::Exchange(AdapterLine& port, Host& host, QObject* parent)
    : QObject(parent), port_(port), host_(host) {
    // Every connection starts with the line end that works for most adapters.
    connect(&port_, &AdapterLine::closed, this, [this] { lineEnd_ = kCrLf; });
}

bool Exchange::SendCommand(const QString& command) {
    if (!port_.PortOpen()) return false;
    if (discardBeforeSend_) {
        // An earlier wait failed: whatever came late belongs to that command.
        port_.discardInput();
        discardBeforeSend_ = false;
    }
    command_ = command;
    line_.clear();
    lastAnswer_.clear();
    echoSeen_ = false;
    return port_.Output(command.toLatin1() + lineEnd_);
}

WaitResult Exchange::Ask(const QString& command, const QString& endMark) {
    WaitResult closed;
    closed.status = WaitStatus::PortClosed;
    if (!SendCommand(command)) return closed;
    WaitResult r = WaitFor(endMark);
    if (r.status != WaitStatus::AdapterError || r.adapterText != kStopped || lineEnd_ != kCrLf)
        return r;
    // The adapter starts a request at the carriage return and stops it when
    // anything else arrives meanwhile: here the line feed behind it. Send the
    // same line again ending at the carriage return, and end every line so
    // until the port closes. A write request carries the whole record, so
    // sending it again gives the same result whether or not the stopped one
    // reached the cluster; the caller checks the outcome as for any write.
    lineEnd_ = QByteArrayLiteral("\r");
    if (AdapterLog* log = port_.log())
        log->note(QStringLiteral("the adapter stopped \"%1\" on the line feed; lines end with a "
                                 "carriage return alone from now on")
                      .arg(command));
    if (!SendCommand(command)) return closed;
    WaitResult again = WaitFor(endMark);
    again.resent = true;
    return again;
}

bool Exchange::Pause(int ms) {
    Clock& clock = host_.clock();
    Sleeper sleeper(clock);
    sleeper.wakeOn(this, &Exchange::wakeRequested);
    const qint64 end = clock.nowNs() + qint64(ms) * 1'000'000;
    for (;;) {
        if (cancelRequested_) return false;
        const qint64 left = end - clock.nowNs();
        if (left <= 0) return true;
        // Rounded up: the pause is never shorter than asked.
        if (!sleeper.sleep((left + 999'999) / 1'000'000)) return false;
    }
}

bool Exchange::onlyPromptWaiting() {
    bool quiet = true;
    for (QString c = port_.Input(); !c.isEmpty(); c = port_.Input()) {
        for (const QChar ch : c) {
            if (ch != QLatin1Char('\r') && ch != QLatin1Char('\n') && ch != QLatin1Char(' ') &&
                ch != QLatin1Char('>'))
                quiet = false;
        }
    }
    return quiet;
}

void Exchange::wake() {
    emit wakeRequested();
}

bool Exchange::cancel() {
    if (!cancellable_) return false;
    cancelRequested_ = true;
    emit wakeRequested();
    return true;
}

void Exchange::setCancellable(bool cancellable) {
    if (cancellable_ == cancellable) return;
    cancellable_ = cancellable;
    emit cancellableChanged(cancellable);
}

WaitResult Exchange::WaitFor(const QString& endMark, const std::function<bool()>& abandon) {
    return WaitFor(endMark, QString(), abandon);
}

bool Exchange::judgeLine(const QString& rawLine, WaitResult* result, bool* pending) {
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
    if (isAdapterError(line)) {
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

void Exchange::failed() {
    port_.discardInput();
    discardBeforeSend_ = true;
}

WaitResult Exchange::WaitFor(const QString& endMark, QString buffer,
                             const std::function<bool()>& abandon) {
    WaitResult result;
    Clock& clock = host_.clock();
    Sleeper sleeper(clock);
    WakeOnLine(sleeper, port_);
    sleeper.wakeOn(this, &Exchange::wakeRequested);

    QString lostReason;
    const auto lost = connect(&port_, &AdapterLine::portLost,
                              [&lostReason](const QString& reason) { lostReason = reason; });

    const qint64 limit = host_.answerTimeLimitMs;
    qint64 startMs = clock.nowMs();
    int collected = 0;
    int unreadable = 0;
    int pendingRestarts = 0;
    bool stopped = false;  // STOPPED has arrived; its prompt is awaited
    qint64 lastCharMs = startMs;

    auto finish = [&](WaitStatus status) {
        disconnect(lost);
        result.status = status;
        result.buffer = buffer;
        if (status == WaitStatus::PortClosed) result.adapterText = lostReason;
        if (status != WaitStatus::Found && status != WaitStatus::PortClosed) failed();
        return result;
    };

    for (;;) {
        // Pending window events run before every read.
        clock.runPendingEvents();
        if (cancelRequested_) return finish(WaitStatus::Cancelled);
        if (abandon && abandon()) return finish(WaitStatus::Abandoned);
        if (!port_.PortOpen()) return finish(WaitStatus::PortClosed);

        const QString c = port_.Input();
        if (c.isEmpty()) {
            const qint64 now = clock.nowMs();
            qint64 left = limit - (now - startMs);
            if (left <= 0) return finish(stopped ? WaitStatus::AdapterError : WaitStatus::TimedOut);
            if (unreadable > 0) {
                const qint64 quiet = kQuietAfterNoiseMs - (now - lastCharMs);
                if (quiet <= 0) return finish(WaitStatus::Unreadable);
                left = qMin(left, quiet);
            }
            // Sleep until a character, an event, a wake-up or the deadline.
            // When the event loop cannot sleep any more (the application is
            // quitting), waiting on would only spin: the wait ends.
            if (!sleeper.sleep(left)) return finish(WaitStatus::Cancelled);
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
                completedLine = line_;
                lineCompleted = true;
                line_.clear();
            } else {
                line_ += ch;
            }
        }
        if (unreadable >= kUnreadableLimit) return finish(WaitStatus::Unreadable);
        if (stopped) {
            if (c.contains(QLatin1Char('>')) || collected > kMaxAnswerChars)
                return finish(WaitStatus::AdapterError);
            continue;
        }
        if (buffer.contains(endMark)) return finish(WaitStatus::Found);
        if (collected > kMaxAnswerChars) return finish(WaitStatus::TooLong);
        if (lineCompleted) {
            bool pending = false;
            if (judgeLine(completedLine, &result, &pending)) {
                // A stopped adapter prints its prompt next; the line is only
                // free for the next command once it has.
                if (result.adapterText != kStopped) return finish(result.status);
                stopped = true;
                continue;
            }
            // The cluster asked for more time: the limit starts again.
            if (pending) {
                result.pendingSeen = true;
                if (++pendingRestarts <= kMaxPendingRestarts) startMs = clock.nowMs();
            }
        }
        // The prompt after the echo means the adapter has said all it will
        // say about this command; waiting longer would only run out the limit.
        if (echoSeen_ && c.contains(QLatin1Char('>'))) {
            result.adapterText = lastAnswer_.left(80);
            return finish(WaitStatus::UnexpectedAnswer);
        }
        if (line_.size() > kMaxAnswerChars) line_ = line_.right(kMaxAnswerChars);
    }
}

}  // namespace tavrin
