#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "cluster/ClusterParsing.h"
#include "cluster/SessionWords.h"
#include "runtime/Host.h"
#include "runtime/Wait.h"
#include "serial/Exchange.h"
#include "serial/NetworkAddress.h"

namespace tavrin {

class AdapterLine;
class ClockTimer;
class NetLine;
struct Defines;

// How one operation with the adapter ended.
enum class SessionStatus {
    Done,       // completed as asked
    Failed,     // ended early or was refused; messages say why
    Abandoned,  // the watchdog gave up on the adapter and has said so itself
    Cancelled,  // the user cancelled it; the port is closed, nothing to tell
};

struct SessionReport {
    SessionStatus status = SessionStatus::Done;
    // What the user must be told, in the order it arose.
    QList<Message> messages;
    // Afterwards the line is open and the cluster identified in it.
    bool connected = false;
    // Who answered Connect: the adapter as it named itself after its reset
    // (empty if it never answered), and the cluster once identified (its
    // part number empty until then; its model empty when not catalogued).
    QString adapter;
    QString partNumber;
    QString model;
    // The line the attempt used: "COM3", a device, or "Wi-Fi HOST:PORT".
    QString port;
    bool ok() const { return status == SessionStatus::Done; }
};

// What a police-mode change did to the cluster.
enum class PoliceChange {
    NotWritten,  // nothing was sent (a failed or invalid read, a refused check)
    AlreadySo,   // the record already held the wanted setting
    Written,     // a write request went out
};

struct PoliceReport : SessionReport {
    PoliceChange change = PoliceChange::NotWritten;
    QString before;  // "ON"/"OFF" as read before the write, when that read was valid
};

// The whole conversation with the adapter and the cluster behind it: the
// connection attempt with its watchdog, the identification, the police-mode
// read and the police-mode write with its safety checks. Each is a coroutine
// that reads in the order of the wire and suspends while it waits. It owns
// the serial control and the watchdog timer, shows nothing itself, and tells
// whoever presents it what to show through its signals and reports. It runs
// what it is asked to; which operation may run when is decided by its owner
// (Operations).
class ClusterSession : public QObject {
    Q_OBJECT
public:
    static constexpr int kConnectSteps = 10;

    ClusterSession(Defines& defines, Host& host, QObject* parent = nullptr);
    ~ClusterSession() override;

    // The line of the last connection attempt: the serial control, or the
    // line to a Wi-Fi adapter.
    AdapterLine& port() { return *port_; }
    const AdapterLine& port() const { return *port_; }
    ClockTimer& watchdog() { return *watchdog_; }
    Exchange& exchange() { return *exchange_; }

    // Connect: one connection attempt and, when it completes, the
    // police-mode read 500 ms later. Its report names who answered.
    QCoro::Task<SessionReport> Connect(Stop stop = {});
    // Reads the record afresh, inverts the police-mode bit, writes the
    // record back and reads it again; with wanted set, writes only when the
    // record does not already hold that setting. A Cancel is heard until the
    // write is about to go out (writeCommitted), and not after.
    QCoro::Task<PoliceReport> ChangePoliceMode(std::optional<bool> wanted, Stop stop = {});
    // The one close of the port: the connection display ends through
    // connectionClosed, once. A port already closed stays so, unannounced.
    void Disconnect();
    // Its owner is going: what still runs only unwinds, and writes no file.
    void unwind() { unwinding_ = true; }

    // Where each write to the cluster is recorded, beside the settings file.
    QString historyPath() const;

    // Connect to this device (a path such as /dev/ttyUSB0) instead of the
    // numbered port of the settings; empty: the numbered port.
    void setDevice(const QString& path) { device_ = path; }
    // The Wi-Fi adapter the next attempt connects to: the one given here, or
    // the settings' Network; none: the serial port.
    std::optional<NetworkAddress> network() const;

    // Watchdog tick: the adapter has had its time. Connect goes on; only its
    // reset's wait ends at the watchdog's deadline.
    void Timer1_Timer();

    // The last check before a write: may this request follow this record?
    using WriteCheck = std::function<bool(const QString& record, const QString& request)>;
    void setWriteCheck(WriteCheck check) { writeCheck_ = std::move(check); }

signals:
    // Progress, in the order the window shows it.
    void connecting();
    // Connect's progress: steps done of kConnectSteps (the reset, four
    // set-up commands, four identification requests, the police-mode read),
    // and its report as it stands, naming whoever has answered so far.
    void connectStep(int done, const SessionReport& report);
    // The cluster is identified: the connection stands.
    void connected();
    void policeModeShown(const QString& label);
    // A change went out and could not be read back: the setting is unknown.
    void policeModeUnknown();
    // The watchdog ran out: shown at once, while Connect goes on or ends.
    void watchdogExpired(const Message& message);
    // The port closed, for whatever reason: nothing is connected any more.
    void connectionClosed();
    // The port vanished. An operation waiting on it reports the loss itself.
    void portLost(const Message& message);
    // The write request is about to go out: from here on the change runs to
    // its end, and a Cancel no longer applies.
    void writeCommitted();

private:
    // The port is open and the last attempt identified the cluster: what
    // each operation's report says at its end.
    bool isConnected() const;
    // Where every Connect and every change ends: the port is let go of when
    // the operation was cancelled or left no identified cluster, and the
    // report says whether the connection stands.
    void endOperation(SessionReport* report);
    // ConnectState, written here alone, mirrors the last Connect's report:
    // 0 while one is under way (no report yet), then 1 connected, 3
    // abandoned by the watchdog, 0 otherwise.
    void mirrorConnectState(const SessionReport* report);
    QCoro::Task<SessionReport> connectSteps(Stop stop);
    QCoro::Task<PoliceReport> changeSteps(std::optional<bool> wanted, Stop stop);

    // How a phase ended: nothing failed, or the command it failed at and
    // how, or the words that say what went wrong before any command.
    struct Failure {
        QString command;
        WaitResult result;
        std::optional<Message> words;
        bool ok() const { return result.ok() && !words; }
        static Failure saying(Message m) {
            Failure f;
            f.words = std::move(m);
            return f;
        }
        static Failure at(QString command, WaitResult result) {
            Failure f;
            f.command = std::move(command);
            f.result = std::move(result);
            return f;
        }
        static Failure cancelled() {
            Failure f;
            f.result.status = WaitStatus::Cancelled;
            return f;
        }
    };
    // A request's answer: its prefix with what came before it, and the rest
    // of its line.
    struct Prefixed {
        Failure failure;
        QString phase1;
        QString remainder;
    };
    // A police-mode read: the record when it was complete and valid;
    // otherwise failure says why (a failure that is ok(): a garbled answer).
    struct Read {
        std::optional<cluster::PoliceRecord> record;
        Failure failure;
    };
    enum class WriteOutcome {
        Acknowledged,  // the cluster said yes
        Refused,       // the cluster said no (a negative response)
        NotConfirmed,  // sent, but no usable answer: it may or may not have been applied
        NotSent,  // not sent: the line was lost, or the cluster not identified (failure says which)
        NotSafe,  // not sent: the request failed the independent check
        NotRecorded,  // not sent: the history line could not be written
    };
    struct Written {
        WriteOutcome outcome = WriteOutcome::NotSent;
        QString request;
        QString historyError;
        Failure failure;
    };
    static constexpr char kPoliceReadCommand[] = "2103";

    // One connection attempt, through the identification; the report gets
    // who answered.
    QCoro::Task<Failure> ConnectELM(Stop stop, SessionReport* report);
    QCoro::Task<Failure> GetClusterInfo(Stop stop, SessionReport* report);
    // The police-mode record read, unannounced: what a change builds on.
    QCoro::Task<Read> readRecord(Stop stop);
    // The police-mode read, its setting announced when valid.
    QCoro::Task<Read> ReadPoliceMode(Stop stop);
    Message readFailedWords(const Failure& failure) const;
    // The only way to the cluster's record: the write of the record read,
    // with the police-mode bit inverted.
    QCoro::Task<Written> WritePoliceMode(cluster::PoliceRecord read, QString history, Stop stop);
    // The answer prefix, then the rest of its line in a fresh buffer.
    QCoro::Task<Prefixed> prefixedExchange(QString request, QString prefix, Stop stop);
    // What an ended change tells the user and the history. lost: the line
    // went after the write was sent.
    void judgeChange(const Written& written, const QString& before,
                     const std::optional<cluster::PoliceRecord>& readBack,
                     const std::optional<WaitResult>& lost, const QString& history,
                     PoliceReport* report);
    bool recordHistory(const QString& path, const QString& step, const QString& record,
                       const QString& request, const QString& outcome, QString* error);
    // Opens the serial port of this attempt, or connects to the Wi-Fi
    // adapter.
    QCoro::Task<Failure> openLine(Stop stop, SessionReport* report);
    void useLine(AdapterLine* line, Exchange* exchange);
    void onPortClosed();

    Defines& d_;
    Host& host_;
    // The port ("COM3", or a device's path) and speed the last connection
    // attempt used.
    struct LineInUse {
        QString port;
        QString speed;
    };
    LineInUse inUse_;
    QString device_;
    AdapterLine* serial_ = nullptr;
    NetLine* net_ = nullptr;
    Exchange* serialExchange_ = nullptr;
    Exchange* netExchange_ = nullptr;
    AdapterLine* port_ = nullptr;
    Exchange* exchange_ = nullptr;
    ClockTimer* watchdog_ = nullptr;
    WriteCheck writeCheck_;
    bool unwinding_ = false;
};

}  // namespace tavrin
