#include "serial/Exchange.h"

#include "platform/AdapterLine.h"
#include "platform/AdapterLog.h"
#include "platform/Host.h"

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

QCoro::Task<WaitResult> Exchange::Ask(QString command, QString endMark, Stop stop) {
    WaitResult closed;
    closed.status = WaitStatus::PortClosed;
    if (!SendCommand(command)) co_return closed;
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
    if (!SendCommand(command)) co_return closed;
    WaitResult again = co_await WaitFor(endMark, stop);
    again.resent = true;
    co_return again;
}

QCoro::Task<WaitResult> Exchange::WaitFor(QString endMark, Stop stop, QString buffer,
                                          std::function<bool()> abandon) {
    Listening how;
    how.endMark = endMark;
    how.limitMs = host_.limits.answerMs;
    WaitResult r = co_await reader_.collect(how, buffer, stop, abandon);
    if (!r.ok() && r.status != WaitStatus::PortClosed) {
        // Whatever comes late belongs to this failed wait, not to the next.
        port_.discardInput();
        discardBeforeSend_ = true;
    }
    co_return r;
}

QCoro::Task<bool> Exchange::Pause(int ms, Stop stop) {
    return tavrin::Pause(host_.clock(), ms, stop);
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

}  // namespace tavrin
