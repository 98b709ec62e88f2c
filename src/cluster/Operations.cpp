#include "cluster/Operations.h"

#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "serial/PortCheck.h"

namespace tavrin {

namespace {

using State = Operations::State;
using Action = Operations::Action;
using Verdict = Operations::Verdict;

Verdict allowed() {
    return {};
}

Verdict refused(const QString& text = {}, const QString& detail = {}) {
    return Verdict{false, text, detail};
}

bool talking(State s) {
    return s == State::Connecting || s == State::Changing || s == State::Writing ||
           s == State::Finishing;
}

const QString kTalking = QStringLiteral("The main window is talking to the adapter.");
const QString kSearching =
    QStringLiteral("Find Adapter in Setup is searching the ports for the adapter.");

}  // namespace

Verdict Operations::Check(State state, Action action, qint16 comPort) {
    switch (action) {
        case Action::Connect:
            if (state == State::Idle) return allowed();
            if (state == State::Searching)
                return refused(kSearching,
                               QStringLiteral("Wait until it has finished, or click Stop in "
                                              "Setup, then click Connect."));
            return refused(state == State::Connected ? QStringLiteral("Already connected.")
                                                     : kTalking);
        case Action::Disconnect:
            if (state == State::Connected) return allowed();
            return refused(talking(state) ? kTalking : QStringLiteral("Not connected."));
        case Action::Cancel:
            if (state == State::Connecting || state == State::Changing || state == State::Searching)
                return allowed();
            if (state == State::Writing || state == State::Finishing)
                return refused(QStringLiteral("The change has been sent to the cluster and "
                                              "cannot be called back."),
                               QStringLiteral("Its outcome is read back and recorded first."));
            return refused(QStringLiteral("Nothing is running."));
        case Action::Toggle:
            if (state == State::Connected) return allowed();
            if (state == State::Searching) return refused(kSearching);
            return refused(talking(state) ? kTalking
                                          : QStringLiteral("Connect to the cluster first."));
        case Action::Find:
            if (state == State::Idle) return allowed();
            if (state == State::Connected)
                return refused(QStringLiteral("COM%1 is open in the main window. Click Disconnect "
                                              "there first, then Find Adapter.")
                                   .arg(comPort));
            if (state == State::Searching) return refused(QStringLiteral("A search is running."));
            return refused(kTalking + QStringLiteral(" Wait until it has finished, then click "
                                                     "Find Adapter."));
        case Action::Save:
            // A search is stopped first; an operation on the adapter keeps the
            // port, speed and history file it started with, and a change saved
            // now would not be the one in use, nor the one it records.
            if (!talking(state)) return allowed();
            return refused(QStringLiteral("The settings cannot be saved while the main window is "
                                          "talking to the adapter."),
                           QStringLiteral("Press Save again once it has finished, or click "
                                          "Cancel in the main window first."));
        case Action::Setup:
            if (!talking(state)) return allowed();
            return refused(kTalking);
        case Action::Close:
            // Closing cancels what can be cancelled; a change whose write is
            // out is read back and recorded first.
            if (state == State::Writing || state == State::Finishing)
                return refused(QStringLiteral("Finishing..."));
            return allowed();
    }
    return refused();
}

Verdict Operations::check(Action action) const {
    return Check(state_, action, d_.ComPort);
}

Operations::Operations(Defines& defines, Host& host, QObject* parent)
    : QObject(parent), d_(defines), host_(host) {
    qRegisterMetaType<Operations::State>();
    session_ = new ClusterSession(d_, host_, this);
    finder_ = new AdapterFinder(&session_->port(), host_, this);
    // The search is part of what the adapter log shows.
    finder_->setLog(&host_.adapterLog());
    connect(finder_, &AdapterFinder::trying, this, &Operations::searchTrying);
    connect(session_, &ClusterSession::writeCommitted, this, [this] {
        if (state_ == State::Changing) setState(State::Writing);
    });
    connect(session_, &ClusterSession::connectionClosed, this, [this] {
        // Setup, Disconnect or an unplugged cable: nothing is connected.
        if (state_ == State::Connected) setState(State::Idle);
    });
    connect(session_, &ClusterSession::portLost, this, [this](const Message& m) {
        // A wait in progress reports the loss itself.
        if (!running()) emit portLost(m);
    });
}

Operations::~Operations() {
    // Nothing may stay suspended on the session and the search, which go
    // with this object: their waits end now, and the operation with them.
    // What runs of it from here on only unwinds: nobody is left to hear it,
    // and a history line written now would be a half-told change.
    blockSignals(true);
    session_->blockSignals(true);
    session_->unwind();
    finder_->blockSignals(true);
    life_.abort();
    if (stop_) stop_->abort();
}

bool Operations::running() const {
    return state_ != State::Idle && state_ != State::Connected;
}

void Operations::setState(State state) {
    if (state_ == state) return;
    state_ = state;
    emit stateChanged(state);
}

void Operations::userAction() {
    lastUserActionMs_ = host_.clock().nowMs();
}

bool Operations::actedWithinMs(qint64 ms) const {
    return lastUserActionMs_ >= 0 && host_.clock().nowMs() - lastUserActionMs_ < ms;
}

Stop Operations::begin(State state) {
    stop_ = std::make_unique<StopSource>();
    setState(state);
    return stop_->token();
}

void Operations::end(bool connected) {
    setState(connected ? State::Connected : State::Idle);
}

QCoro::Task<std::optional<SessionReport>> Operations::connectAdapter() {
    if (!check(Action::Connect).allowed) co_return std::nullopt;
    userAction();
    const Stop stop = begin(State::Connecting);
    const SessionReport report = co_await session_->Connect(stop);
    if (co_await AfterAbort(stop)) co_return report;
    end(report.connected);
    emit connectEnded(report);
    co_return report;
}

QCoro::Task<std::optional<PoliceReport>> Operations::changePoliceMode(std::optional<bool> wanted) {
    if (!check(Action::Toggle).allowed) co_return std::nullopt;
    userAction();
    const Stop stop = begin(State::Changing);
    const PoliceReport report = co_await session_->ChangePoliceMode(wanted, stop);
    if (co_await AfterAbort(stop)) co_return report;
    end(report.connected);
    emit changeEnded(report);
    co_return report;
}

QCoro::Task<std::optional<FinderReport>> Operations::findAdapter(QList<qint16> ports) {
    if (!check(Action::Find).allowed) co_return std::nullopt;
    const Stop stop = begin(State::Searching);
    const FinderReport report = co_await finder_->run(ports, SettingsFolder(d_, host_), stop);
    if (co_await AfterAbort(stop)) co_return report;
    end(false);
    emit searchEnded(report);
    co_return report;
}

QCoro::Task<std::optional<FinderReport>> Operations::findAdapterAt(NetworkAddress address) {
    if (!check(Action::Find).allowed) co_return std::nullopt;
    const Stop stop = begin(State::Searching);
    const FinderReport report = co_await finder_->runAt(address, stop);
    if (co_await AfterAbort(stop)) co_return report;
    end(false);
    emit searchEnded(report);
    co_return report;
}

bool Operations::disconnectAdapter() {
    if (!check(Action::Disconnect).allowed) return false;
    userAction();
    // Release the port too, so the next Connect can open it again.
    letGo();
    return true;
}

bool Operations::releasePort() {
    if (running()) return false;
    letGo();
    return true;
}

void Operations::letGo() {
    session_->Disconnect();
    // Its connectionClosed has ended a connection; one the port had already
    // lost ends here.
    if (state_ == State::Connected) setState(State::Idle);
}

void Operations::stopRunning() {
    stop_->cancel();
    // At once, not when the wait notices: the user may unplug the adapter next.
    if (state_ != State::Searching) letGo();
}

bool Operations::cancel() {
    if (!check(Action::Cancel).allowed) return false;
    userAction();
    stopRunning();
    return true;
}

QCoro::Task<void> Operations::shutdown() {
    if (state_ == State::Writing) {
        setState(State::Finishing);
    } else if (running() && state_ != State::Finishing) {
        stopRunning();
    }
    // Suspended until the operation has ended and said so: the state
    // changes, then its report is announced, before this goes on.
    const Stop life = life_.token();
    {
        Wait wait(host_.clock(), life);
        wait.wakeOn(this, &Operations::stateChanged);
        while (running() && !life.requested()) co_await wait.upTo(kNoLimitMs);
    }
    if (co_await AfterAbort(life)) co_return;
    // Connected, or left connected by the change it let finish.
    letGo();
}

}  // namespace tavrin
