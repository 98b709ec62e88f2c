#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <functional>

#include "serial/AnswerReader.h"

namespace tavrin {

class AdapterLine;
class Host;

// The conversation's commands: a command line out, then its answer collected
// up to an end mark by the answer reader, with the adapter's time limit.
// Every wait suspends the operation that asked; the fixed pauses between
// commands are suspensions on the host's clock too.
class Exchange : public QObject {
    Q_OBJECT
public:
    Exchange(AdapterLine& port, Host& host, QObject* parent = nullptr);

    // Writes command and the line end ("\r\n", or "\r" once the adapter has
    // shown it needs that) in one write. False when the port is not open.
    bool SendCommand(const QString& command);
    // One exchange: SendCommand, then WaitFor in a fresh buffer. A port that
    // is not open gives PortClosed. An adapter that stops the request with
    // STOPPED gets it once more with a carriage return alone.
    QCoro::Task<WaitResult> Ask(QString command, QString endMark, Stop stop);
    // What ends each command line until the port closes.
    QByteArray lineEnd() const { return lineEnd_; }
    // Collects, after what buffer holds, until it contains endMark. An end
    // mark that ends a line ("OK\r", a data line's "\r") is the last text an
    // answer carries, and so is an error line: the wait then goes on to the
    // answer's prompt, since an adapter may lose or stop on anything sent
    // before it. A prompt that does not come within the answer's time limit
    // gives Unfinished. Past deadlineMs on the host's clock (-1: none) the
    // wait is Abandoned.
    QCoro::Task<WaitResult> WaitFor(QString endMark, Stop stop, QString buffer = {},
                                    qint64 deadlineMs = -1);

    // A fixed pause between commands: Found when it ran its length,
    // Cancelled when a stop ended it, PortClosed as soon as the line is lost.
    QCoro::Task<WaitResult> Pause(int ms, Stop stop);
    // What a wait on the line ends with once the port is closed.
    WaitResult closedLine() const;

    // Whether the line is quiet after the last answer: the port is open,
    // that answer held nothing but line ends and spaces between its awaited
    // text and its prompt, and nothing has arrived since. Reads nothing.
    bool settled() const;

    AdapterLine& port() { return port_; }

private:
    AdapterLine& port_;
    Host& host_;
    // The rest of an answer whose text has arrived, up to its prompt.
    QCoro::Task<WaitResult> awaitPrompt(WaitResult answer, Stop stop, qint64 deadlineMs);

    AnswerReader reader_;
    bool discardBeforeSend_ = false;
    bool tailClean_ = true;
    QByteArray lineEnd_ = QByteArrayLiteral("\r\n");
};

}  // namespace tavrin
