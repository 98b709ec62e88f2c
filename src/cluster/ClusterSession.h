#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "cluster/ClusterParsing.h"
#include "cluster/SessionWords.h"
#include "platform/Host.h"
#include "platform/Wait.h"
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
    Defines& defines() { return d_; }
    Host& host() { return host_; }

    // The port is open and the last attempt identified the cluster.
    bool isConnected() const;

    // Connect: one connection attempt and, when it completes, the
    // police-mode read 500 ms later.
    QCoro::Task<SessionReport> Connect(Stop stop = {});
    // Reads the police-mode record and, when the read is valid, announces it.
    QCoro::Task<SessionReport> ReadPoliceMode(Stop stop = {});
    // Reads the record afresh, inverts the police-mode bit, writes the
    // record back and reads it again; with wanted set, writes only when the
    // record does not already hold that setting. A Cancel is heard until the
    // write is about to go out (writeCommitted), and not after.
    QCoro::Task<PoliceReport> ChangePoliceMode(std::optional<bool> wanted, Stop stop = {});
    // Closes the port; the connection display ends through connectionClosed.
    void Disconnect();

    // Where each write to the cluster is recorded, beside the settings file.
    QString historyPath() const;

    // Connect to this device (a path such as /dev/ttyUSB0) instead of the
    // numbered port of the settings; empty: the numbered port.
    void setDevice(const QString& path) { device_ = path; }
    // The Wi-Fi adapter the next attempt connects to: the one given here, or
    // the settings' Network; none: the serial port.
    std::optional<NetworkAddress> network() const;

    // Watchdog tick: the adapter has had its time.
    void Timer1_Timer();

    // The last check before a write: may this request follow this record?
    using WriteCheck = std::function<bool(const QString& record, const QString& request)>;
    void setWriteCheck(WriteCheck check) { writeCheck_ = std::move(check); }

signals:
    // Progress, in the order the window shows it.
    void connecting();
    // Connect's progress: steps done of kConnectSteps (the reset, four
    // set-up commands, four identification requests, the police-mode read).
    void connectStep(int done);
    void adapterIdentified(const QString& text);
    void modelIdentified(const QString& model);
    void clusterIdentified(const QString& partNumber);
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
    struct Failure {
        QString command;
        WaitResult result;
    };
    enum class WriteOutcome {
        Acknowledged,  // the cluster said yes
        Refused,       // the cluster said no (a negative response)
        NotConfirmed,  // sent, but no usable answer: it may or may not have been applied
        Skipped,       // not sent: the cluster was not identified in this connection
        NotSafe,       // not sent: the request failed the independent check
        NotRecorded,   // not sent: the history line could not be written
    };
    struct Written {
        WriteOutcome outcome = WriteOutcome::Skipped;
        QString request;
        QString historyError;
    };

    // One connection attempt; true when it completed. abandoned: the
    // watchdog gave up on the adapter's reset.
    QCoro::Task<bool> ConnectELM(QList<Message>* messages, bool* abandoned, Stop stop);
    QCoro::Task<bool> GetClusterInfo(Failure* failure, Stop stop);
    // The police-mode read alone: the record when the read was complete and
    // valid, nothing otherwise (failure says why when a wait failed).
    QCoro::Task<std::optional<cluster::PoliceRecord>> PoliceModeRead(Failure* failure, Stop stop);
    // The police-mode read, announced; the record when it was valid.
    QCoro::Task<std::optional<cluster::PoliceRecord>> readPoliceMode(QList<Message>* messages,
                                                                     Stop stop);
    // The only way to the cluster's record: the write of the record read,
    // with the police-mode bit inverted.
    QCoro::Task<Written> WritePoliceMode(cluster::PoliceRecord read, QString history,
                                         Failure* failure, Stop stop);
    // The answer prefix, then the rest of its line in a fresh buffer.
    QCoro::Task<bool> prefixedExchange(QString request, QString prefix, QString* phase1,
                                       QString* remainder, Failure* failure, Stop stop);
    // What an ended change tells the user and the history.
    void judgeChange(const Written& written, const Failure& failure, const QString& before,
                     const std::optional<cluster::PoliceRecord>& readBack, const QString& history,
                     PoliceReport* report);
    bool recordHistory(const QString& path, const QString& step, const QString& record,
                       const QString& request, const QString& outcome, QString* error);
    void endAttempt(const QString& command, const WaitResult& result, QList<Message>* messages);
    // Opens the serial port of this attempt, or connects to the Wi-Fi
    // adapter; false, with the message, when that failed.
    QCoro::Task<bool> openLine(QList<Message>* messages, Stop stop);
    void useLine(AdapterLine* line, Exchange* exchange);
    void closePort();
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
};

}  // namespace tavrin
