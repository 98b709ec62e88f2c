#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

#include "cluster/ClusterSession.h"
#include "runtime/Wait.h"
#include "serial/AdapterFinder.h"

namespace tavrin {

struct Defines;

// The one owner of what is running: whether the program is idle, connecting,
// connected, changing the cluster's setting, finishing a change it has sent,
// or searching for the adapter. The window, the Setup dialog, the command
// line and the tests all ask it, and every action is allowed or refused from
// its state alone. It starts each operation as a coroutine and returns at
// once; the operation suspends while it waits, and its end changes the state
// and is announced. One operation runs at a time, and none nests in another.
class Operations : public QObject {
    Q_OBJECT
public:
    enum class State {
        Idle,        // not connected, nothing running
        Connecting,  // Connect, up to and with the police-mode read
        Connected,   // connected, nothing running
        Changing,    // a police-mode change, before its write
        Writing,     // the change's write has gone out: it runs to its end
        Finishing,   // as Writing, and the window closes once it has ended
        Searching,   // the search for the adapter
    };
    enum class Action { Connect, Disconnect, Cancel, Toggle, Find, Save, Setup, Close };

    // Allowed, or refused with the words that say why (none: nothing to say).
    struct Verdict {
        bool allowed = true;
        QString text;
        QString detail;
    };
    // The rule itself, from the state alone; comPort names the main
    // window's port in the words.
    static Verdict Check(State state, Action action, qint16 comPort);
    Verdict check(Action action) const;

    Operations(Defines& defines, Host& host, QObject* parent = nullptr);
    // Lets go of whatever still runs: its waits end at once, and what is
    // left of it only unwinds (no file is written, nothing is emitted).
    // Whoever awaits one of its operations goes on in a later turn of the
    // event loop, once this is gone, never inside this destructor.
    ~Operations() override;

    State state() const { return state_; }
    // An operation is under way (anything but Idle and Connected).
    bool running() const;
    ClusterSession& session() { return *session_; }
    const ClusterSession& session() const { return *session_; }
    AdapterFinder& finder() { return *finder_; }

    // Each starts its operation and returns at once; the task ends with the
    // operation, and gives nothing when the state refused it. Whoever does
    // not wait for it hears the end through the signals below.
    QCoro::Task<std::optional<SessionReport>> connectAdapter();
    QCoro::Task<std::optional<PoliceReport>> changePoliceMode(std::optional<bool> wanted);
    QCoro::Task<std::optional<FinderReport>> findAdapter(QList<qint16> ports);
    // The same check for the one Wi-Fi adapter at address.
    QCoro::Task<std::optional<FinderReport>> findAdapterAt(NetworkAddress address);
    // Closes the port at once; false when refused.
    bool disconnectAdapter();
    // Setup needs every port free: whatever this program holds is let go
    // and nothing is connected. Refused while an operation runs.
    bool releasePort();
    // Ends Connect, a change before its write, or a search: the port closes
    // at once and the operation ends in the next turn of the event loop.
    bool cancel();
    // The program is closing: cancels what may still be cancelled, lets a
    // change whose write is out run to its end (Finishing), and lets go of
    // the port. Ends once nothing runs; the ended operation's report has
    // been announced by then.
    QCoro::Task<void> shutdown();

    // A user's action started, ended or cancelled an operation less than ms
    // ago, on the host's clock: a click that follows it within the
    // double-click interval is its second click, and does nothing.
    bool actedWithinMs(qint64 ms) const;

signals:
    void stateChanged(Operations::State state);
    void connectEnded(const SessionReport& report);
    void changeEnded(const PoliceReport& report);
    void searchTrying(qint16 port, int speed);
    void searchEnded(const FinderReport& report);
    // The port vanished while no operation was waiting on it.
    void portLost(const Message& message);

private:
    // The operation under way: its state, and what stops it.
    Stop begin(State state);
    // The operation is over; connected: the session says the line is open
    // and the cluster identified.
    void end(bool connected);
    void setState(State state);
    void userAction();
    // Cancels what runs; the port (not the search's) closes at once.
    void stopRunning();
    // The one way this owner closes the port: the session lets go of it,
    // and nothing is connected.
    void letGo();

    Defines& d_;
    Host& host_;
    ClusterSession* session_ = nullptr;
    AdapterFinder* finder_ = nullptr;
    State state_ = State::Idle;
    std::unique_ptr<StopSource> stop_;
    // Ends whatever waits on this object itself when it goes.
    StopSource life_;
    qint64 lastUserActionMs_ = -1;
};

}  // namespace tavrin

Q_DECLARE_METATYPE(tavrin::Operations::State)
