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
    // Collects, after what buffer holds, until it contains endMark.
    QCoro::Task<WaitResult> WaitFor(QString endMark, Stop stop, QString buffer = {},
                                    std::function<bool()> abandon = {});

    // A fixed pause between commands; false when a stop ended it early.
    QCoro::Task<bool> Pause(int ms, Stop stop);

    // Takes whatever has arrived and not been read; true when that is no
    // more than the end of an answer: line ends, spaces and the prompt.
    bool onlyPromptWaiting();

    // Makes a running wait ask its abandon test now.
    void wake() { reader_.wake(); }

    AdapterLine& port() { return port_; }
    const QString& lastCommand() const { return reader_.command(); }

private:
    AdapterLine& port_;
    Host& host_;
    AnswerReader reader_;
    bool discardBeforeSend_ = false;
    QByteArray lineEnd_ = QByteArrayLiteral("\r\n");
};

}  // namespace tavrin
