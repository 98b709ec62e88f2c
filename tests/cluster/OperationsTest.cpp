// The owner of what runs: in each state, each of the user's actions is
// allowed or refused, and a refusal says why.
#include <QPointer>
#include <QTest>

#include "SimRig.h"
#include "cluster/Operations.h"

using namespace tavrin;
using namespace tavrin::test;
using State = tavrin::Operations::State;
using Action = tavrin::Operations::Action;

Q_DECLARE_METATYPE(tavrin::Operations::Action)

namespace {

// An object that owns the owner of what runs and awaits one of its
// operations, as the window owns it and awaits its shutdown. Its log says
// when the awaiting coroutine went on, and whether its object was there.
class Awaiting : public QObject {
public:
    Awaiting(Defines& d, Host& host, QStringList* log) : ops(d, host), log_(log) {}
    ~Awaiting() override { *log_ << "destroying"; }

    // The log is the coroutine's own, not its object's: the object may be
    // gone by the time it goes on.
    QCoro::Task<void> await(QString what, QStringList* log) {
        QPointer<Awaiting> self(this);
        if (what == "connect") {
            co_await ops.connectAdapter();
        } else if (what == "change") {
            co_await ops.changePoliceMode(std::nullopt);
        } else if (what == "search") {
            const QList<qint16> ports{3};
            co_await ops.findAdapter(ports);
        } else {
            co_await ops.shutdown();
        }
        *log << (self ? "went on with its object there" : "went on without its object");
    }

    Operations ops;

private:
    QStringList* log_;
};

}  // namespace

class OperationsTest : public QObject {
    Q_OBJECT

private slots:
    void eachActionInEachState_data() {
        QTest::addColumn<State>("state");
        QTest::addColumn<Action>("action");
        QTest::addColumn<bool>("allowed");
        // A phrase of the words a refusal gives; empty where it is allowed.
        QTest::addColumn<QString>("said");

        const QString talking = "talking to the adapter";
        const QString searching = "Find Adapter in Setup is searching";
        const QString sent = "sent to the cluster";
        const auto row = [](const char* name, State s, Action a, bool allowed, QString said) {
            QTest::newRow(name) << s << a << allowed << said;
        };
        row("idle: Connect", State::Idle, Action::Connect, true, {});
        row("idle: Disconnect", State::Idle, Action::Disconnect, false, "Not connected");
        row("idle: Cancel", State::Idle, Action::Cancel, false, "Nothing is running");
        row("idle: Toggle", State::Idle, Action::Toggle, false, "Connect to the cluster first");
        row("idle: Find", State::Idle, Action::Find, true, {});
        row("idle: Save", State::Idle, Action::Save, true, {});
        row("idle: Setup", State::Idle, Action::Setup, true, {});
        row("idle: Close", State::Idle, Action::Close, true, {});

        row("connecting: Connect", State::Connecting, Action::Connect, false, talking);
        row("connecting: Cancel", State::Connecting, Action::Cancel, true, {});
        row("connecting: Toggle", State::Connecting, Action::Toggle, false, talking);
        row("connecting: Find", State::Connecting, Action::Find, false, talking);
        row("connecting: Save", State::Connecting, Action::Save, false, "cannot be saved");
        row("connecting: Setup", State::Connecting, Action::Setup, false, talking);
        row("connecting: Close", State::Connecting, Action::Close, true, {});

        row("connected: Connect", State::Connected, Action::Connect, false, "Already connected");
        row("connected: Disconnect", State::Connected, Action::Disconnect, true, {});
        row("connected: Cancel", State::Connected, Action::Cancel, false, "Nothing is running");
        row("connected: Toggle", State::Connected, Action::Toggle, true, {});
        row("connected: Find", State::Connected, Action::Find, false,
            "COM3 is open in the main window");
        row("connected: Save", State::Connected, Action::Save, true, {});
        row("connected: Setup", State::Connected, Action::Setup, true, {});
        row("connected: Close", State::Connected, Action::Close, true, {});

        row("changing: Cancel", State::Changing, Action::Cancel, true, {});
        row("changing: Toggle", State::Changing, Action::Toggle, false, talking);
        row("changing: Disconnect", State::Changing, Action::Disconnect, false, talking);
        row("changing: Save", State::Changing, Action::Save, false, "cannot be saved");
        row("changing: Close", State::Changing, Action::Close, true, {});

        row("writing: Cancel", State::Writing, Action::Cancel, false, sent);
        row("writing: Toggle", State::Writing, Action::Toggle, false, talking);
        row("writing: Find", State::Writing, Action::Find, false, talking);
        row("writing: Save", State::Writing, Action::Save, false, "cannot be saved");
        row("writing: Close", State::Writing, Action::Close, false, "Finishing");

        row("finishing: Cancel", State::Finishing, Action::Cancel, false, sent);
        row("finishing: Connect", State::Finishing, Action::Connect, false, talking);
        row("finishing: Close", State::Finishing, Action::Close, false, "Finishing");

        row("searching: Connect", State::Searching, Action::Connect, false, searching);
        row("searching: Toggle", State::Searching, Action::Toggle, false, searching);
        row("searching: Cancel", State::Searching, Action::Cancel, true, {});
        row("searching: Find", State::Searching, Action::Find, false, "A search is running");
        row("searching: Save", State::Searching, Action::Save, true, {});
        row("searching: Setup", State::Searching, Action::Setup, true, {});
        row("searching: Close", State::Searching, Action::Close, true, {});
    }
    void eachActionInEachState() {
        QFETCH(State, state);
        QFETCH(Action, action);
        QFETCH(bool, allowed);
        QFETCH(QString, said);
        const Operations::Verdict v = Operations::Check(state, action, 3);
        QCOMPARE(v.allowed, allowed);
        if (allowed) {
            QVERIFY(v.text.isEmpty());
        } else {
            QVERIFY2(v.text.contains(said), qPrintable(v.text));
        }
    }

    // The states the owner passes through in one Connect and one change,
    // and that a Cancel taken before the write leaves nothing running.
    void theStateFollowsTheOperations() {
        SessionRig rig;
        QList<State> states;
        QObject::connect(rig.ops.get(), &Operations::stateChanged,
                         [&states](State s) { states << s; });
        QVERIFY(rig.connect().ok());
        QVERIFY(rig.change().ok());
        QCOMPARE(states, (QList<State>{State::Connecting, State::Connected, State::Changing,
                                       State::Writing, State::Connected}));

        states.clear();
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&rig](const QString& line) {
            if (line == "2103") rig.host.vclock().after(100, [&rig] { rig.ops->cancel(); });
        });
        QCOMPARE(rig.change().status, SessionStatus::Cancelled);
        QCOMPARE(states, (QList<State>{State::Changing, State::Idle}));
        QVERIFY(rig.writes().size() == 1);
        QVERIFY(!rig.session->port().PortOpen());
    }

    // The owner going away mid-operation lets go of it at once: every wait
    // ends, nothing more is sent, and what is left only unwinds: no history
    // line and no signal once the destructor has begun, and nothing left
    // behind (the sanitizer build would see a leak or a late resume). A
    // closing window awaits shutdown() instead, which records the outcome.
    void lettingGoMidOperation_data() {
        QTest::addColumn<QString>("at");
        QTest::addColumn<bool>("silent");  // no answer: it goes while waiting for one
        QTest::addColumn<int>("writes");
        QTest::newRow("Connect's reset") << "atz" << true << 0;
        QTest::newRow("the pause before the write") << "2103" << false << 0;
        QTest::newRow("the write's answer") << "3b03" << true << 1;
    }
    void lettingGoMidOperation() {
        QFETCH(QString, at);
        QFETCH(bool, silent);
        QFETCH(int, writes);
        SessionRig rig;
        const QString history = rig.session->historyPath();
        if (at != "atz") QVERIFY(rig.connect().ok());
        if (silent) rig.sim.config().fault = sim::Fault::Silence;
        rig.sim.config().faultCommand = at;
        rig.sim.clearLog();
        bool going = false;
        int heardAfter = 0;
        const auto heard = [&] { heardAfter += going; };
        QObject::connect(rig.ops.get(), &Operations::stateChanged, heard);
        QObject::connect(rig.ops.get(), &Operations::changeEnded, heard);
        QObject::connect(rig.ops.get(), &Operations::connectEnded, heard);
        QObject::connect(rig.session, &ClusterSession::connectionClosed, heard);
        QObject::connect(rig.session, &ClusterSession::policeModeUnknown, heard);
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line.startsWith(at))
                rig.host.vclock().after(100, [&] {
                    going = true;
                    rig.ops.reset();
                });
        });
        if (at == "atz") {
            rig.ops->connectAdapter();
        } else {
            rig.ops->changePoliceMode(std::nullopt);
        }
        QVERIFY(rig.host.waitUntil([&] { return !rig.ops; }, 60'000));
        const QStringList sent = rig.sim.requests();
        rig.host.wait(20'000);
        QCOMPARE(rig.sim.requests(), sent);
        QCOMPARE(rig.writes().size(), writes);
        QCOMPARE(readFile(history).count(",before,"), writes);
        QCOMPARE(readFile(history).count(",after,"), 0);
        QCOMPARE(heardAfter, 0);
    }

    // Every ending of Connect and of a change that had the port open says
    // so once: connectionClosed comes once, whoever closes the port (the
    // ending itself, a Cancel, the line going) and however many closes are
    // asked for after it.
    void eachEndingClosesThePortOnce_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QString>("cancelAt");  // the request a Cancel follows; empty: none
        QTest::addColumn<bool>("opened");       // the port opened at all
        QTest::addColumn<int>("closedByTheEnd");
        using sim::Fault;
        const auto row = [](const char* name, const char* op, Fault f, const char* at,
                            const char* cancelAt, bool opened, int closed) {
            QTest::newRow(name) << op << int(f) << at << cancelAt << opened << closed;
        };
        row("Connect completes", "connect", Fault::None, "", "", true, 0);
        row("Connect fails", "connect", Fault::NoData, "22e217", "", true, 1);
        row("Connect finds no port", "connect", Fault::None, "", "", false, 0);
        row("Connect abandoned", "connect", Fault::Silence, "atz", "", true, 1);
        row("Connect cancelled in the reset", "connect", Fault::Silence, "atz", "atz", true, 1);
        row("Connect cancelled in its read", "connect", Fault::Silence, "2103", "2103", true, 1);
        row("Connect loses the line", "connect", Fault::DisconnectMidAnswer, "22e219", "", true, 1);
        row("change completes", "change", Fault::None, "", "", true, 0);
        row("change refused", "change", Fault::NegativeWrite, "3b03", "", true, 0);
        row("change cancelled in its read", "change", Fault::Silence, "2103", "2103", true, 1);
        row("change cancelled before the write", "change", Fault::None, "", "2103", true, 1);
        row("change loses the line after the write", "change", Fault::DisconnectMidAnswer, "3b03",
            "", true, 1);
    }
    void eachEndingClosesThePortOnce() {
        QFETCH(QString, operation);
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QString, cancelAt);
        QFETCH(bool, opened);
        QFETCH(int, closedByTheEnd);
        SessionRig rig;
        if (!opened) rig.d.ComPort = 11;  // nothing linked there
        if (operation == "change") QVERIFY(rig.connect().ok());
        rig.sim.config().fault = sim::Fault(fault);
        rig.sim.config().faultCommand = faultCommand;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (!cancelAt.isEmpty() && line == cancelAt)
                rig.host.vclock().after(100, [&rig] { QVERIFY(rig.ops->cancel()); });
        });
        rig.events.clear();
        if (operation == "connect") {
            rig.connect();
        } else {
            rig.change();
        }
        QCOMPARE(rig.events.count("closed"), closedByTheEnd);
        QCOMPARE(rig.session->port().PortOpen(), closedByTheEnd == 0 && opened);

        // What is still open is let go of once; a closed port stays closed,
        // unannounced.
        QVERIFY(rig.ops->releasePort());
        rig.session->Disconnect();
        rig.host.wait(1000);
        QCOMPARE(rig.events.count("closed"), opened ? 1 : 0);
        QVERIFY(!rig.session->port().PortOpen());
    }

    // An object destroyed with the owner while awaiting one of its
    // operations: the operation's own waits end inside the destructor, but
    // the awaiting coroutine goes on only once the object has gone, never
    // in the middle of its destruction.
    void awaitingFromAnObjectThatGoesWithTheOwner_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("silentAt");  // the request left unanswered
        QTest::newRow("Connect") << "connect"
                                 << "atz";
        QTest::newRow("a change") << "change"
                                  << "2103";
        QTest::newRow("a change whose write is out") << "change"
                                                     << "3b03";
        QTest::newRow("the shutdown of a change whose write is out") << "shutdown"
                                                                     << "3b03";
        QTest::newRow("a search") << "search"
                                  << "";
    }
    void awaitingFromAnObjectThatGoesWithTheOwner() {
        QFETCH(QString, what);
        QFETCH(QString, silentAt);
        SessionRig rig;
        QStringList log;
        auto* awaiting = new Awaiting(rig.d, rig.host, &log);
        Operations& ops = awaiting->ops;
        if (what != "connect" && what != "search") {
            QVERIFY(rig.host.finish(ops.connectAdapter()).value_or(SessionReport()).connected);
        }
        rig.sim.config().fault = sim::Fault::Silence;
        rig.sim.config().faultCommand = silentAt;
        if (what == "search") rig.sim.config().faultCommand = "~";  // nothing is silent otherwise
        if (what == "shutdown") {
            ops.changePoliceMode(std::nullopt);
            QVERIFY(rig.host.waitUntil([&ops] { return ops.state() == State::Writing; }, 10'000));
        }
        auto task = awaiting->await(what, &log);
        // Into the wait for the silent answer, then the object goes.
        QVERIFY(rig.host.waitUntil([&ops] { return ops.running(); }, 10'000));
        rig.host.wait(300);
        QVERIFY(ops.running());
        QVERIFY(!task.isReady());
        delete awaiting;
        log << "deleted";
        rig.host.wait(1000);
        QVERIFY(task.isReady());
        QCOMPARE(log, (QStringList{"destroying", "deleted", "went on without its object"}));
    }
};

TAVRIN_TEST(OperationsTest)
#include "OperationsTest.moc"
