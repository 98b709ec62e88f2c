#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "cluster/ClusterParsing.h"
#include "cluster/SessionWords.h"
#include "platform/Host.h"
#include "serial/Exchange.h"

namespace tavrin {

class AdapterLine;
class ClockTimer;
struct Defines;

// How one operation with the adapter ended.
enum class SessionStatus {
    Done,       // completed as asked
    Failed,     // ended early or was refused; messages say why
    Abandoned,  // the watchdog gave up on the adapter and has said so itself
    Busy,       // another operation was still talking to the adapter
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
// read and the police-mode write with its safety checks. It owns the serial
// control and the watchdog timer, shows nothing itself, and tells whoever
// presents it what to show through its signals and reports.
class ClusterSession : public QObject {
    Q_OBJECT
public:
    static constexpr int kConnectSteps = 10;

    ClusterSession(Defines& defines, Host& host, QObject* parent = nullptr);
    ~ClusterSession() override;

    AdapterLine& port() { return *port_; }
    const AdapterLine& port() const { return *port_; }
    ClockTimer& watchdog() { return *watchdog_; }
    Exchange& exchange() { return *exchange_; }
    Defines& defines() { return d_; }
    Host& host() { return host_; }

    // True while an operation talks to the adapter.
    bool busy() const { return exchange_->busy(); }
    // Whether Cancel would end the running operation now; false from the
    // moment a write is about to go out until the operation ends. Cancel
    // ends waits and the fixed pauses alike.
    bool cancellable() const { return exchange_->cancellable(); }
    // Ends the running operation at once and closes the port; false when
    // nothing can be cancelled now.
    bool Cancel() { return exchange_->cancel(); }
    // The port is open and the last attempt identified the cluster.
    bool isConnected() const;

    // Connect: one connection attempt and, when it completes, the
    // police-mode read 500 ms later.
    SessionReport Connect();
    // Reads the police-mode record and, when the read is valid, announces it.
    SessionReport ReadPoliceMode();
    // Reads the record afresh, inverts the police-mode bit, writes the
    // record back and reads it again.
    PoliceReport TogglePoliceMode();
    // As the toggle, but writes only when the record read does not already
    // hold the wanted setting.
    PoliceReport SetPoliceMode(bool on);
    // Closes the port; the connection display ends through connectionClosed.
    void Disconnect();

    // Where each write to the cluster is recorded, beside the settings file.
    QString historyPath() const;

    // Connect to this device (a path such as /dev/ttyUSB0) instead of the
    // numbered port of the settings; empty: the numbered port.
    void setDevice(const QString& path) { device_ = path; }

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
    // The watchdog ran out; emitted while the running wait is suspended.
    void watchdogExpired(const Message& message);
    // The port closed, for whatever reason: nothing is connected any more.
    void connectionClosed();
    // The port vanished while no operation was waiting on it.
    void portLost(const Message& message);
    void cancellableChanged(bool cancellable);

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

    // A record one valid read found, and the operation that read it.
    struct ValidRead {
        cluster::PoliceRecord record;
        quint64 operation = 0;
    };

    // One connection attempt; true when it completed. abandoned: the
    // watchdog gave up on the adapter's reset.
    bool ConnectELM(QList<Message>* messages, bool* abandoned);
    PoliceReport changePoliceMode(std::optional<bool> wanted);
    // The police-mode read, announced; the record when it was valid.
    std::optional<cluster::PoliceRecord> readPoliceMode(QList<Message>* messages);
    bool GetClusterInfo(Failure* failure);
    // The police-mode read alone: the record when the read was complete and
    // valid, nothing otherwise (failure says why when a wait failed).
    std::optional<ValidRead> PoliceModeRead(Failure* failure);
    // The only way to the cluster's record: the write of the record read,
    // with the police-mode bit inverted.
    WriteOutcome WritePoliceMode(const ValidRead& read, const QString& history, Failure* failure,
                                 QString* request, QString* historyError);
    // A fixed pause; false, with failure set to Cancelled, when Cancel ended it.
    bool pause(int ms, Failure* failure);
    bool recordHistory(const QString& path, const QString& step, const QString& record,
                       const QString& request, const QString& outcome, QString* error);
    bool prefixedExchange(const QString& request, const QString& prefix, QString* phase1,
                          QString* remainder, Failure* failure);
    void endAttempt(const QString& command, const WaitResult& result, QList<Message>* messages);
    void closePort();
    void onPortClosed();
    void onPortLost(const QString& reason);

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
    AdapterLine* port_ = nullptr;
    Exchange* exchange_ = nullptr;
    ClockTimer* watchdog_ = nullptr;
    WriteCheck writeCheck_;
};

}  // namespace tavrin
