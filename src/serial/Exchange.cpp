#include "serial/Exchange.h"

#include "runtime/AdapterLine.h"
#include "runtime/AdapterLog.h"
#include "runtime/Host.h"

#include <algorithm>

namespace tavrin {

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QString kStopped = QStringLiteral("STOPPED");
}  // namespace

Exchange::Exchange(AdapterLine& port, Host& host, QObject* parent)
    : QObject(parent), port_(port), host_(host), reader_(port, host) {
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
    reader_.expect(command);
    return port_.Output(command.toLatin1() + lineEnd_);
}

WaitResult Exchange::closedLine() const {
    WaitResult closed;
    closed.status = WaitStatus::PortClosed;
    closed.adapterText = port_.lostReason();
    closed.network = port_.isNetwork();
    return closed;
}

QCoro::Task<WaitResult> Exchange::Ask(QString command, QString endMark, Stop stop) {
    if (!SendCommand(command)) co_return closedLine();
    WaitResult r = co_await WaitFor(endMark, stop);
    if (r.status != WaitStatus::AdapterError || r.adapterText != kStopped || lineEnd_ != kCrLf)
        co_return r;
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
    if (!SendCommand(command)) co_return closedLine();
    WaitResult again = co_await WaitFor(endMark, stop);
    again.resent = true;
    co_return again;
}

QCoro::Task<WaitResult> Exchange::WaitFor(QString endMark, Stop stop, QString buffer,
                                          qint64 deadlineMs) {
    Listening how;
    how.endMark = endMark;
    how.limitMs = host_.limits.answerMs;
    how.deadlineMs = deadlineMs;
    tailClean_ = false;
    WaitResult r = co_await reader_.collect(how, buffer, stop);
    const bool lineEnded =
        r.ok() ? endMark.endsWith(QLatin1Char('\r'))
               : r.status == WaitStatus::AdapterError || r.status == WaitStatus::NegativeResponse;
    if (lineEnded && !r.buffer.endsWith(QLatin1Char('>')))
        r = co_await awaitPrompt(std::move(r), stop, deadlineMs);
    if (!r.ok() && r.status != WaitStatus::PortClosed) {
        // Whatever comes late belongs to this failed wait, not to the next.
        port_.discardInput();
        discardBeforeSend_ = true;
    }
    co_return r;
}

QCoro::Task<WaitResult> Exchange::Pause(int ms, Stop stop) {
    Clock& clock = host_.clock();
    Wait wait(clock, stop);
    wait.wakeOn(&port_, &AdapterLine::closed);
    const qint64 end = clock.nowNs() + qint64(ms) * 1'000'000;
    WaitResult r;
    for (;;) {
        if (stop.requested()) {
            r.status = WaitStatus::Cancelled;
            co_return r;
        }
        if (!port_.PortOpen()) co_return closedLine();
        const qint64 left = end - clock.nowNs();
        if (left <= 0) co_return r;
        // Rounded up: the pause is never shorter than asked.
        co_await wait.upTo((left + 999'999) / 1'000'000);
    }
}

QCoro::Task<WaitResult> Exchange::awaitPrompt(WaitResult answer, Stop stop, qint64 deadlineMs) {
    Listening how;
    how.endMark = QStringLiteral(">");
    how.limitMs = host_.limits.answerMs;
    how.maxChars = 256;
    how.judged = false;
    how.deadlineMs = deadlineMs;
    // The answer's text is what callers parse; the tail stays out of it.
    const WaitResult tail = co_await reader_.collect(how, QString(), stop);
    // Counted since the command went out: the tail's count holds the text's.
    answer.lineErrors = tail.lineErrors;
    if (tail.ok()) {
        // A second answer line, or an error behind the data, makes the answer
        // doubtful; whether that matters is the caller's to judge (settled()).
        QString rest = tail.buffer.chopped(1);
        rest.removeIf([](QChar c) {
            return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char(' ');
        });
        tailClean_ = answer.ok() && rest.isEmpty();
        co_return answer;
    }
    if (tail.status == WaitStatus::TimedOut || tail.status == WaitStatus::TooLong ||
        tail.status == WaitStatus::Unreadable) {
        // The text arrived, but the adapter never said it was done with it;
        // an error line it printed says more than the missing prompt.
        if (answer.ok()) answer.status = WaitStatus::Unfinished;
        co_return answer;
    }
    // Lost, cancelled or abandoned: that is what the wait ended with.
    WaitResult ended = tail;
    ended.buffer = answer.buffer + tail.buffer;
    ended.pendingSeen = answer.pendingSeen;
    co_return ended;
}

bool Exchange::settled() const {
    if (!tailClean_ || !port_.PortOpen()) return false;
    // A line feed after the prompt, or a repeated prompt, says nothing new.
    const QString waiting = port_.Waiting();
    return std::all_of(waiting.begin(), waiting.end(), [](QChar c) {
        return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char(' ') ||
               c == QLatin1Char('>');
    });
}

}  // namespace tavrin
