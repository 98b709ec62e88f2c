#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "platform/SerialDevice.h"
#include "runtime/Wait.h"

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
    TooLong,           // more arrived than any answer holds, without the end mark
    Abandoned,         // the wait's deadline (the connection watchdog's) passed
    Cancelled,         // the user cancelled the operation, or it was let go
    Unreadable,        // characters no adapter prints: usually a wrong line speed
    Unfinished,        // the answer's text arrived, but not the prompt that ends it
};

struct WaitResult {
    WaitStatus status = WaitStatus::Found;
    QString buffer;       // everything collected by this wait
    QString adapterText;  // the error line the adapter printed, if any
    int negativeCode = -1;
    bool pendingSeen = false;  // the cluster asked for more time during the wait
    bool resent = false;       // the adapter stopped the command, and it went out again
    bool network = false;      // the line was a network connection (for PortClosed)
    // The line errors the port reported since the command went out: with a
    // garbled answer, a sign that the line speed is wrong.
    LineErrors lineErrors;

    bool ok() const { return status == WaitStatus::Found; }
};

// The kinds of trouble an adapter names with the lines it prints instead of
// an answer.
enum class AdapterTrouble {
    UnknownCommand,  // "?"
    NoData,          // nothing on the bus answered
    Stopped,         // the adapter interrupted the request
    NoBus,           // it found no bus to talk on
    BusTrouble,
    Damaged,   // a damaged answer arrived
    Sleeping,  // it reset itself or is going to sleep
    General,
};
// What an adapter answers to a command it does not know.
inline constexpr char kUnknownCommandAnswer[] = "?";
// The trouble an answer line names; nothing when it is no error line.
std::optional<AdapterTrouble> AdapterErrorIn(const QString& line);

// Characters an adapter never prints: anything but printable ASCII, carriage
// return, line feed and tab.
bool IsUnreadableChar(QChar c);

// The lines of an answer that ends in the adapter's prompt, without the echo
// of `sent` and without empty lines; nothing when the text is not a clean
// answer. Clean means: exactly one '>', as its last character, and apart from
// carriage returns, line feeds and the echo, only printable ASCII; up to
// kMaxStrayBytes other bytes are left out of an answer that holds the echo or
// "ELM". A wrong line speed turns an answer into random bytes, which fail
// this almost always; what little passes must still be the exact answer a
// step expects. (NULs never get this far: reading leaves them out.)
inline constexpr int kMaxStrayBytes = 3;
std::optional<QStringList> AnswerLines(const QString& text, const QString& sent);

// How one wait collects an answer.
struct Listening {
    // The wait ends when what it collected contains this.
    QString endMark;
    // The time limit, from the start (or from the cluster's last request
    // for more time, when the lines are judged).
    int limitMs = 0;
    // A time on the host's clock, in ms, past which the wait is abandoned
    // whatever its limit; -1: none.
    qint64 deadlineMs = -1;
    // More than this without the end mark is not an adapter answering.
    int maxChars = 4096;
    // Whether the answer's lines are read as they complete: the echo of the
    // command, the adapter's error lines, the cluster's refusals and requests
    // for more time, and STOPPED with the prompt that follows it. Without,
    // the caller judges the whole text.
    bool judged = true;
    // Whether a framing or parity error with what arrives ends the wait at
    // once, without the end mark, as Unreadable: for a search, which has
    // other speeds to try.
    bool endOnLineErrors = false;
};

// The one way the program reads the adapter: after a command line went out,
// characters are collected as they arrive until the end mark, an error line,
// a closed port, a stop or the time limit. While it waits, the operation is
// suspended on the host's clock; no CPU is used and nothing else waits on it.
class AnswerReader : public QObject {
    Q_OBJECT
public:
    // An adapter prints only text. A stray byte can come from a plug being
    // moved, but several mean the line speed is wrong and nothing will ever
    // be readable.
    static constexpr int kUnreadableLimit = 4;

    AnswerReader(AdapterLine& line, Host& host, QObject* parent = nullptr);

    // A command line went out: what arrives from now on is its answer.
    void expect(const QString& command);

    // Collects, after what buffer already holds, as `how` says.
    QCoro::Task<WaitResult> collect(Listening how, QString buffer, Stop stop);

    AdapterLine& line() { return line_; }

private:
    // One wait's account of what it has collected so far.
    struct Collecting {
        qint64 startMs = 0;  // the limit runs from here
        qint64 lastCharMs = 0;
        int collected = 0;
        int unreadable = 0;
        int pendingRestarts = 0;
        bool stopped = false;  // STOPPED has arrived; its prompt is awaited
    };
    // Nothing to read: how the wait ends at its limit, its deadline or after
    // noise, or, in leftMs, how long it may still wait.
    std::optional<WaitStatus> timeLeft(const Listening& how, const Collecting& c, qint64* leftMs);
    // Characters arrived: how the wait ends with them, if it does.
    std::optional<WaitStatus> take(const QString& chars, const Listening& how, Collecting* c,
                                   QString* buffer, WaitResult* result);
    // Looks at a completed answer line; fills result and returns true when it
    // ends the wait with a failure.
    bool judgeLine(const QString& line, WaitResult* result, bool* pending);

    AdapterLine& line_;
    Host& host_;
    QString command_;
    QString partial_;     // characters of the line now arriving
    QString lastAnswer_;  // last non-empty line after the echo
    bool echoSeen_ = false;
    LineErrors errorsAtCommand_;  // the line's count when the command went out
};

}  // namespace tavrin
