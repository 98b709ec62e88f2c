#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "platform/Host.h"

namespace tavrin {

class AdapterLine;
class Host;

// How one wait for the adapter ended.
enum class WaitStatus {
    Found,             // the end mark arrived
    TimedOut,          // nothing more came within the time limit
    AdapterError,      // the adapter printed an error ("?", NO DATA, CAN ERROR, ...)
    NegativeResponse,  // the cluster answered 7F, the service and a code
    UnexpectedAnswer,  // the adapter finished its answer (prompt) without the end mark
    PortClosed,        // the port closed or vanished under the wait
    TooLong,           // kilobytes arrived without the end mark
    Abandoned,         // the caller's abandon test said stop
    Cancelled,         // the user cancelled the operation, or the application is quitting
    Unreadable,        // characters no adapter prints: usually a wrong line speed
};

struct WaitResult {
    WaitStatus status = WaitStatus::Found;
    QString buffer;       // everything collected by this wait
    QString adapterText;  // the error line the adapter printed, if any
    int negativeCode = -1;
    bool pendingSeen = false;  // the cluster asked for more time during the wait
    bool resent = false;       // the adapter stopped the command, and it went out again

    bool ok() const { return status == WaitStatus::Found; }
    // A plain-words account of what went wrong, for messages to the user.
    QString describe() const;
};

// A negative response code as the adapter prints it: "22", "7F".
QString NegativeCodeText(int code);
// Meaning of a negative response code, in words.
QString NegativeResponseMeaning(int code);
// What the user can do about a negative response code.
QString NegativeResponseAdvice(int code, Audience audience = Audience::Window);

// Characters an adapter never prints: anything but printable ASCII, carriage
// return, line feed and tab.
bool IsUnreadableChar(QChar c);

// One conversation with the adapter at a time: a command line out, then the
// answer collected one character at a time until it contains the end mark.
// While waiting, and during the fixed pauses between commands, the thread
// sleeps in the event loop on the host's clock, so window events and timers
// run and no CPU is used; every wait has a time limit.
class Exchange : public QObject {
    Q_OBJECT
public:
    // Kilobytes without the end mark mean the line is not an adapter talking.
    static constexpr int kMaxAnswerChars = 4096;
    // An adapter prints only text. A stray byte can come from a plug being
    // moved, but several mean the line speed is wrong and nothing will ever
    // be readable.
    static constexpr int kUnreadableLimit = 4;
    // Fewer of them followed by silence mean the same: an adapter at another
    // speed has finished its (garbled) answer. Longer than an adapter's reset
    // takes, so a stray byte before a slow answer does no harm.
    static constexpr int kQuietAfterNoiseMs = 1500;
    // A cluster may ask for more time (7F xx 78), and each request restarts
    // the time limit, but not without end.
    static constexpr int kMaxPendingRestarts = 12;

    Exchange(AdapterLine& port, Host& host, QObject* parent = nullptr);

    // Writes command and the line end ("\r\n", or "\r" once the adapter has
    // shown it needs that) in one write. False when the port is not open.
    bool SendCommand(const QString& command);
    // One exchange: SendCommand, then WaitFor in a fresh buffer. A port that
    // is not open gives PortClosed. An adapter that stops the request with
    // STOPPED gets it once more with a carriage return alone.
    WaitResult Ask(const QString& command, const QString& endMark);
    // What ends each command line until the port closes.
    QByteArray lineEnd() const { return lineEnd_; }
    // Collects into a fresh buffer until it contains endMark.
    WaitResult WaitFor(const QString& endMark, const std::function<bool()>& abandon = {});
    // Continues collecting in buffer (which already holds text).
    WaitResult WaitFor(const QString& endMark, QString buffer,
                       const std::function<bool()>& abandon);

    // A fixed pause between commands: a sleep in the event loop that Cancel
    // ends at once. False when the operation was cancelled (or the
    // application is quitting) before it was over.
    bool Pause(int ms);

    // Takes whatever has arrived and not been read; true when that is no
    // more than the end of an answer: line ends, spaces and the prompt.
    bool onlyPromptWaiting();

    // Makes a running wait re-test its abandon condition now.
    void wake();

    // Ends the running wait, and every later one of the same operation, with
    // Cancelled. Refused (false) while cancelling is not allowed: a request
    // already on its way to the cluster cannot be called back.
    bool cancel();
    bool cancellable() const { return cancellable_; }
    // The running operation has been cancelled.
    bool cancelRequested() const { return cancelRequested_; }
    void setCancellable(bool cancellable);

    // The guard that keeps exchanges from overlapping: an operation holds a
    // Session for as long as it talks to the adapter.
    bool busy() const { return busy_; }
    // An operation may be cancelled until it says otherwise.
    class Session {
    public:
        explicit Session(Exchange& e) : e_(e), owned_(!e.busy_) {
            if (!owned_) return;
            e_.busy_ = true;
            ++e_.operation_;
            e_.cancelRequested_ = false;
            e_.setCancellable(true);
        }
        ~Session() {
            if (!owned_) return;
            e_.busy_ = false;
            e_.cancelRequested_ = false;
            e_.setCancellable(false);
        }
        // False when another operation already held the exchange.
        bool owned() const { return owned_; }
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

    private:
        Exchange& e_;
        bool owned_;
    };

    // Counts the operations that have held the exchange: what one operation
    // read is no basis for what another writes.
    quint64 operation() const { return operation_; }

    AdapterLine& port() { return port_; }
    const QString& lastCommand() const { return command_; }

signals:
    void wakeRequested();
    void cancellableChanged(bool cancellable);

private:
    // Looks at a completed answer line; fills result and returns true when it
    // ends the wait with a failure.
    bool judgeLine(const QString& line, WaitResult* result, bool* pending);
    void failed();

    AdapterLine& port_;
    Host& host_;
    bool busy_ = false;
    quint64 operation_ = 0;
    bool cancellable_ = false;
    bool cancelRequested_ = false;
    QString command_;
    QString line_;        // characters of the line now arriving
    QString lastAnswer_;  // last non-empty line after the echo
    bool echoSeen_ = false;
    bool discardBeforeSend_ = false;
    QByteArray lineEnd_ = QByteArrayLiteral("\r\n");
};

}  // namespace tavrin
