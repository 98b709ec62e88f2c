// The connection attempt and the police-mode read, run by the cluster
// session alone over a line in memory to the simulated adapter and cluster,
// on virtual time: no window is involved, and the fixed pauses and time
// limits cost no real time.
#include <QTest>
#include <QTimer>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

// Nothing left open, armed or claimed after an attempt that did not complete.
void checkNotConnected(SessionRig& rig) {
    QVERIFY(!rig.session->port().PortOpen());
    QVERIFY(!rig.d.ClusterReady);
    QVERIFY(!rig.session->watchdog().isActive());
    QVERIFY(!rig.ops->running());
    QVERIFY(!rig.connected());
}

}  // namespace

class SessionConnectTest : public QObject {
    Q_OBJECT

private slots:
    void completedAttemptAnnouncesEverythingInOrder() {
        SessionRig rig;
        const SessionReport report = rig.connect();
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        QVERIFY(report.messages.isEmpty());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        // The adapter is named after its reset, the cluster once E200 has
        // answered; the police mode after the connection.
        QCOMPARE(rig.events,
                 (QStringList{"connecting", "sent:atz", "adapter:ELM327 v1.5", "sent:atcaf1",
                              "sent:atspa6", "sent:atsh720", "sent:ath1", "sent:22e21a",
                              "sent:22e217", "sent:22e219", "sent:22e200", "model:BA Fairmont Ghia",
                              "part:3R23-123-FB", "connected", "sent:2103", "police:ON"}));
        QVERIFY(rig.connected());
        QVERIFY(rig.d.ClusterReady);
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.d.PM_TwoBytes, qint16(1));
        QVERIFY(!rig.session->watchdog().isActive());
        QVERIFY(!rig.ops->running());
        // The fixed pauses, in order: before the identification, after three
        // of its answers, before the police-mode read.
        QCOMPARE(gapsMs(rig.sim), (QList<qint64>{0, 0, 0, 0, 1000, 500, 500, 500, 500}));
    }

    void memoryAndPseudoTerminalCarryTheSameConnect() {
        TAVRIN_NEEDS_REAL_LINES();
        sim::SimConfig config;
        config.baud = 38400;
        config.answerDelayMs = 5;
        SessionRig memory(config);
        SessionRig pty(config, 3, "38400", Lines::Real);
        QVERIFY(memory.connect().ok());
        QVERIFY(pty.connect().ok());
        for (SessionRig* rig : {&memory, &pty}) {
            QVERIFY(rig->host.waitUntil([rig] { return !rig->sim.outputPending(); }, 1000));
        }
        QCOMPARE(memory.sim.receivedBytes(), pty.sim.receivedBytes());
        QCOMPARE(memory.sim.sentBytes(), pty.sim.sentBytes());
        QCOMPARE(memory.events, pty.events);
        const QList<qint64> virtualGaps = gapsMs(memory.sim);
        const QList<qint64> realGaps = gapsMs(pty.sim);
        QCOMPARE(realGaps.size(), virtualGaps.size());
        for (int i = 0; i < realGaps.size(); ++i) {
            // The pauses are never shorter; a loaded machine may make them longer.
            QVERIFY2(realGaps[i] >= virtualGaps[i] - 1 && realGaps[i] < virtualGaps[i] + 100,
                     qPrintable(QString("gap %1: %2 ms on the pseudo-terminal, %3 ms in memory")
                                    .arg(i)
                                    .arg(realGaps[i])
                                    .arg(virtualGaps[i])));
        }
    }

    void disconnectClosesThePortAndConnectWorksAgain() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.events.clear();
        rig.session->Disconnect();
        QCOMPARE(rig.events, QStringList{"closed"});
        checkNotConnected(rig);

        rig.sim.clearLog();
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
    }

    void silentAdapterIsAbandonedByTheWatchdog() {
        sim::SimConfig config;
        config.fault = Fault::Silence;
        SessionRig rig(config);
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Abandoned);
        QCOMPARE(rig.host.vclock().nowMs(), 6000);
        // The watchdog speaks for itself, once.
        QVERIFY(report.messages.isEmpty());
        QCOMPARE(rig.eventsOf("watchdog"), QStringList{"Unable to Connect To ELM"});
        QCOMPARE(rig.d.ConnectState, qint16(3));
        // Only the reset went out: no read after an abandoned attempt.
        QCOMPARE(rig.sim.requests(), QStringList{"atz"});
        checkNotConnected(rig);

        rig.sim.config().fault = Fault::None;
        QVERIFY(rig.connect().ok());
    }

    void missingPortIsTheOnlyMessage() {
        SessionRig rig;
        rig.d.ComPort = 11;  // nothing linked, and the machine's devices are out of reach
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(texts(report.messages),
                 QStringList{"ERROR! Comm Port is either in use or not found!"});
        QCOMPARE(report.messages[0].title, QString("ERROR!"));
        QVERIFY(report.messages[0].detail.contains("was not found"));
        // Nothing was announced, not even "connecting".
        QVERIFY(rig.events.isEmpty());
        QVERIFY(rig.sim.receivedBytes().isEmpty());
    }

    void invalidSpeedExplainsItself() {
        SessionRig rig({}, 3, "9600.5");  // as a hand-edited file could leave it
        const SessionReport report = rig.connect();
        QCOMPARE(report.messages.size(), 1);
        QVERIFY(report.messages[0].text.contains("\"9600.5\""));
        QVERIFY(report.messages[0].detail.contains("9600, 38400 or 115200"));
        QVERIFY(rig.sim.receivedBytes().isEmpty());
        checkNotConnected(rig);
    }

    void failedWaitsEndTheAttemptCleanly_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QStringList>("unsupported");
        QTest::addColumn<QString>("failedCommand");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("advice");
        QTest::newRow("clone lacks atspa6")
            << int(Fault::None) << "" << QStringList{"atspa6"} << "atspa6"
            << "\"?\""
            << "clones lack commands";
        QTest::newRow("no data at E217")
            << int(Fault::NoData) << "22e217" << QStringList{} << "22e217"
            << "NO DATA"
            << "supported model";
        QTest::newRow("negative at E219")
            << int(Fault::NegativeRead) << "22e219" << QStringList{} << "22e219"
            << "conditions not correct"
            << "ignition on with the engine off";
        QTest::newRow("unplugged at E21A")
            << int(Fault::DisconnectMidAnswer) << "22e21a" << QStringList{} << "22e21a"
            << "lost"
            << "unplugged, lost power";
        QTest::newRow("silent cluster")
            << int(Fault::Silence) << "22e200" << QStringList{} << "22e200"
            << "did not answer"
            << "adapter's cable";
        QTest::newRow("garbage") << int(Fault::Garbage) << "22e219" << QStringList{} << "22e219"
                                 << "instead of the expected text"
                                 << "did not make sense";
    }
    void failedWaitsEndTheAttemptCleanly() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QStringList, unsupported);
        QFETCH(QString, failedCommand);
        QFETCH(QString, said);
        QFETCH(QString, advice);
        sim::SimConfig config;
        config.fault = Fault(fault);
        config.faultCommand = faultCommand;
        config.unsupported = unsupported;
        SessionRig rig(config);
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(report.messages.size(), 1);
        const Message& m = report.messages[0];
        QVERIFY2(m.text.startsWith("Connection failed at \"" + failedCommand + "\""),
                 qPrintable(m.text));
        QVERIFY2(m.text.contains(said), qPrintable(m.text));
        QVERIFY2(m.detail.contains(advice), qPrintable(m.detail));
        QCOMPARE(m.title, QString("Error!"));
        checkNotConnected(rig);
        QCOMPARE(rig.eventsOf("part"), QStringList{});
        QVERIFY(rig.events.contains("closed"));
        QVERIFY(!rig.sim.requests().contains("2103"));
    }

    void watchdogDuringIdentificationLetsTheAttemptComplete() {
        sim::SimConfig config;
        config.answerDelayMs = 120;
        SessionRig rig(config);
        rig.host.limits.watchdogMs = 1700;  // runs out waiting for the answer to 22e21a
        const SessionReport report = rig.connect();
        QVERIFY(report.ok());
        QCOMPARE(rig.eventsOf("watchdog"), QStringList{"Unable to Connect To ELM"});
        QVERIFY(rig.events.indexOf("watchdog:Unable to Connect To ELM") <
                rig.events.indexOf("connected"));
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.eventsOf("police"), QStringList{"ON"});
    }

    void resetAnswerWithoutElmShowsWhatTheAdapterPrinted() {
        sim::SimConfig config;
        config.fault = Fault::ResetWithoutElm;
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.eventsOf("adapter"), QStringList{"OBDII v1.5"});
    }

    void policeReadCopesWithLeftoversAndLineFeeds_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("twoBytes");
        QTest::newRow("two bytes ON") << int(Fault::None) << QByteArray("\x4C\x12", 2) << "ON" << 1;
        QTest::newRow("two bytes OFF")
            << int(Fault::None) << QByteArray("\x48\x12", 2) << "OFF" << 1;
        QTest::newRow("one byte ON") << int(Fault::None) << QByteArray("\x04", 1) << "ON" << 0;
        QTest::newRow("one byte OFF") << int(Fault::None) << QByteArray("\xFB", 1) << "OFF" << 0;
        QTest::newRow("line feed after prompt")
            << int(Fault::LineFeedAfterPrompt) << QByteArray("\x4C\x12", 2) << "ON" << 1;
        QTest::newRow("line feed, one byte")
            << int(Fault::LineFeedAfterPrompt) << QByteArray("\x04", 1) << "ON" << 0;
        QTest::newRow("pieces") << int(Fault::Pieces) << QByteArray("\x4C\x12", 2) << "ON" << 1;
    }
    void policeReadCopesWithLeftoversAndLineFeeds() {
        QFETCH(int, fault);
        QFETCH(QByteArray, record);
        QFETCH(QString, label);
        QFETCH(int, twoBytes);
        sim::SimConfig config;
        config.fault = Fault(fault);
        config.record = record;
        SessionRig rig(config);
        rig.d.PM_TwoBytes = qint16(1 - twoBytes);  // a stale value must not survive
        const SessionReport report = rig.connect();
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        QCOMPARE(rig.eventsOf("police"), QStringList{label});
        QCOMPARE(rig.d.PM_TwoBytes, qint16(twoBytes));
    }

    void failedPoliceReadKeepsTheConnection_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("said");
        QTest::newRow("no data") << int(Fault::NoData) << "NO DATA";
        QTest::newRow("truncated record") << int(Fault::TruncatedRecord) << "incomplete or garbled";
    }
    void failedPoliceReadKeepsTheConnection() {
        QFETCH(int, fault);
        QFETCH(QString, said);
        sim::SimConfig config;
        config.fault = Fault(fault);
        config.faultCommand = "2103";
        SessionRig rig(config);
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY2(report.messages[0].text.contains("could not be read"),
                 qPrintable(report.messages[0].text));
        QVERIFY2(report.messages[0].text.contains(said), qPrintable(report.messages[0].text));
        QCOMPARE(rig.eventsOf("police"), QStringList{});
        QVERIFY(rig.connected());
    }

    void unknownClusterClearsAnEarlierModel() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.session->Disconnect();
        rig.sim.config().partPrefix = "4R23";
        rig.events.clear();
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.eventsOf("model"), QStringList{QString()});
        QCOMPARE(rig.eventsOf("part"), QStringList{"4R23-123-B"});
    }

    void unprintablePartNumberBytesShowAsQuestionMarks() {
        sim::SimConfig config;
        config.partPrefix = QString::fromLatin1(
            "3R\x01"
            "3");
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.d.PartPrefix, QString::fromLatin1("3R\x01"
                                                       "3"));
        // Not a catalogue prefix either, so only the second letter is known.
        QCOMPARE(rig.eventsOf("part"), QStringList{"3R?3-123-B"});
    }

    void unplugWhileConnectedIsReportedOnce() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.events.clear();
        rig.sim.stop();
        QVERIFY(rig.host.waitUntil([&] { return rig.events.contains("closed"); }, 3000));
        QCOMPARE(rig.eventsOf("lost").size(), 1);
        checkNotConnected(rig);
    }

    void cancelEndsTheOperationWithoutAMessage_data() {
        QTest::addColumn<QString>("silentAt");
        QTest::newRow("reset") << "atz";
        QTest::newRow("identification") << "22e219";
        QTest::newRow("police-mode read") << "2103";
    }
    void cancelEndsTheOperationWithoutAMessage() {
        QFETCH(QString, silentAt);
        sim::SimConfig config;
        config.fault = Fault::Silence;
        config.faultCommand = silentAt;
        SessionRig rig(config);
        rig.host.limits.watchdogMs = 10000;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line == silentAt) rig.host.vclock().after(50, [&] { QVERIFY(rig.ops->cancel()); });
        });
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Cancelled);
        QVERIFY(report.messages.isEmpty());
        checkNotConnected(rig);
        QVERIFY(!rig.ops->cancel());  // nothing left to cancel
    }

    void cancelDuringAPauseSendsNothingMore_data() {
        QTest::addColumn<int>("atMs");
        QTest::addColumn<QString>("lastSent");
        // Connect's timeline: set-up at 0, then 22e21a at 1000, 22e217 at
        // 1500, 22e219 at 2000, 22e200 at 2500 and 2103 at 3000.
        QTest::newRow("before the identification") << 600 << "ath1";
        QTest::newRow("after E21A") << 1200 << "22e21a";
        QTest::newRow("after E217") << 1700 << "22e217";
        QTest::newRow("after E219") << 2200 << "22e219";
        QTest::newRow("before the police-mode read") << 2700 << "22e200";
    }
    void cancelDuringAPauseSendsNothingMore() {
        QFETCH(int, atMs);
        QFETCH(QString, lastSent);
        SessionRig rig;
        rig.host.vclock().after(atMs, [&] { QVERIFY(rig.ops->cancel()); });
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Cancelled);
        QVERIFY(report.messages.isEmpty());
        QCOMPARE(rig.sim.requests().last(), lastSent);
        // At once, not when the pause would have ended.
        QCOMPARE(rig.host.vclock().nowMs(), atMs);
        checkNotConnected(rig);
        rig.host.wait(5000);
        QCOMPARE(rig.sim.requests().last(), lastSent);
    }

    void operationsDoNotOverlap() {
        sim::SimConfig config;
        config.answerDelayMs = 30;
        SessionRig rig(config);
        bool checked = false;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line != "22e219" || checked) return;
            checked = true;
            QVERIFY(rig.ops->running());
            // Refused there and then, with nothing started and nothing sent.
            QVERIFY(rig.ops->connectAdapter().isReady());
            QVERIFY(rig.ops->changePoliceMode(std::nullopt).isReady());
            QVERIFY(rig.ops->findAdapter({3}).isReady());
            QVERIFY(!rig.ops->disconnectAdapter());
        });
        QVERIFY(rig.connect().ok());
        QVERIFY(checked);
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QVERIFY(!rig.ops->running());
    }
};

TAVRIN_TEST(SessionConnectTest)
#include "SessionConnectTest.moc"
