// Connect and Disconnect from end to end: the real window, a real
// pseudo-terminal and the simulated adapter and cluster.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

const QByteArray kConnectBytes =
    "atz\r\natcaf1\r\natspa6\r\natsh720\r\nath1\r\n22e21a\r\n22e217\r\n22e219\r\n22e200\r\n2103\r"
    "\n";

void checkIdleWindow(AppRig& rig) {
    QCOMPARE(rig.form->Connect_Command->text(), QString("Connect"));
    QVERIFY(rig.form->Connect_Command->isEnabled());
    QCOMPARE(rig.form->panelText(4), QString("Not Connected"));
    QVERIFY(!rig.form->Command1->isEnabled());
    QVERIFY(!rig.form->MSComm1->PortOpen());
    QVERIFY(!rig.d.ClusterReady);
    QVERIFY(!rig.form->Timer1->isActive());
}

}  // namespace

class ConnectTest : public QObject {
    Q_OBJECT

private slots:
    void completedAttemptShowsTheClusterAndPoliceMode() {
        AppRig rig;
        QVERIFY(rig.started);
        rig.connect();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QCOMPARE(rig.form->panelText(1), QString("3R23-123-FB"));
        QCOMPARE(rig.form->panelText(2), QString("ELM327 v1.5"));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.form->ClusterInfotext->text(), QString("BA Fairmont Ghia"));
        QCOMPARE(rig.form->Connect_Command->text(), QString("Disconnect"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY(rig.d.ClusterReady);
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.d.PM_TwoBytes, qint16(1));
        QVERIFY(!rig.form->Timer1->isActive());
        // The fixed pauses, in order: before the identification, after three
        // of its answers, before the police-mode read.
        QCOMPARE(rig.host.pauses, (std::vector<int>{1000, 500, 500, 500, 500}));
    }

    void disconnectThenConnectAgain() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        rig.form->Connect_Command_Click();
        QCOMPARE(rig.form->panelText(1), QString());
        QCOMPARE(rig.form->panelText(2), QString());
        QCOMPARE(rig.form->ClusterInfotext->text(), QString());
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));  // left as it was
        checkIdleWindow(rig);

        rig.sim.clearLog();
        rig.connect();
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
    }

    void silentAdapterGetsTheWatchdogMessageAndAUsableWindow() {
        sim::SimConfig config;
        config.fault = Fault::Silence;
        AppRig rig(config);
        rig.host.watchdogMs = 300;
        QString panelDuringMessage;
        rig.host.onMessage = [&](const Message&) { panelDuringMessage = rig.form->panelText(4); };
        rig.connect();
        QCOMPARE(rig.messageTexts(), QStringList{"Unable to Connect To ELM"});
        QCOMPARE(rig.host.messages[0].title, QString("Error!"));
        QCOMPARE(panelDuringMessage, QString("Connecting..."));
        QCOMPARE(rig.d.ConnectState, qint16(3));
        // Only the reset went out: no read after an abandoned attempt.
        QCOMPARE(rig.sim.requests(), QStringList{"atz"});
        checkIdleWindow(rig);

        rig.sim.config().fault = Fault::None;
        rig.host.messages.clear();
        rig.connect();
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
    }

    void missingPortShowsOnlyThePortCheckMessage() {
        AppRig rig({}, 3);
        rig.d.ComPort = 11;  // nothing linked; /dev/rfcomm2 does not exist here
        if (QFile::exists("/dev/rfcomm2")) QSKIP("this machine has /dev/rfcomm2");
        rig.form->setPanelText(4, "previous");
        rig.connect();
        QCOMPARE(rig.messageTexts(),
                 QStringList{"ERROR! Comm Port is either in use or not found!"});
        QCOMPARE(rig.host.messages[0].title, QString("ERROR!"));
        QCOMPARE(rig.form->panelText(4), QString("previous"));
        QVERIFY(rig.sim.receivedBytes().isEmpty());
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }

    void invalidSpeedExplainsItself() {
        AppRig rig({}, 3, "9600.5");
        rig.d.ComSpeed = "9600.5";  // as a hand-edited file could leave it
        rig.connect();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.contains("\"9600.5\""));
        QVERIFY(rig.host.messages[0].detail.contains("9600, 38400 or 115200"));
        QVERIFY(rig.sim.receivedBytes().isEmpty());
        checkIdleWindow(rig);
    }

    void failedWaitsEndTheAttemptCleanly_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QStringList>("unsupported");
        QTest::addColumn<QString>("failedCommand");
        QTest::addColumn<QString>("said");
        QTest::newRow("clone lacks atcaf1")
            << int(Fault::None) << "" << QStringList{"atcaf1"} << "atcaf1"
            << "\"?\"";
        QTest::newRow("no data at E217")
            << int(Fault::NoData) << "22e217" << QStringList{} << "22e217"
            << "NO DATA";
        QTest::newRow("negative at E219")
            << int(Fault::NegativeRead) << "22e219" << QStringList{} << "22e219"
            << "conditions not correct";
        QTest::newRow("unplugged at E21A")
            << int(Fault::DisconnectMidAnswer) << "22e21a" << QStringList{} << "22e21a"
            << "lost";
        QTest::newRow("silent cluster")
            << int(Fault::Silence) << "22e200" << QStringList{} << "22e200"
            << "did not answer";
    }
    void failedWaitsEndTheAttemptCleanly() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QStringList, unsupported);
        QFETCH(QString, failedCommand);
        QFETCH(QString, said);
        sim::SimConfig config;
        config.fault = Fault(fault);
        config.faultCommand = faultCommand;
        config.unsupported = unsupported;
        AppRig rig(config);
        rig.host.answerTimeLimitMs = 400;
        rig.connect();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        const QString text = rig.host.messages[0].text;
        QVERIFY2(text.contains("\"" + failedCommand + "\""), qPrintable(text));
        QVERIFY2(text.contains(said), qPrintable(text));
        checkIdleWindow(rig);
        QVERIFY(!rig.sim.requests().contains("2103"));
    }

    void watchdogDuringIdentificationLetsTheAttemptComplete() {
        sim::SimConfig config;
        config.answerDelayMs = 120;
        AppRig rig(config);
        rig.host.watchdogMs = 400;  // runs out during the identification
        rig.connect();
        QCOMPARE(rig.messageTexts(), QStringList{"Unable to Connect To ELM"});
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
    }

    void resetAnswerWithoutElmShowsWhatTheAdapterPrinted() {
        sim::SimConfig config;
        config.fault = Fault::ResetWithoutElm;
        AppRig rig(config);
        rig.connect();
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.form->panelText(2), QString("OBDII v1.5"));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
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
        AppRig rig(config);
        rig.d.PM_TwoBytes = qint16(1 - twoBytes);  // a stale value must not survive
        rig.connect();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.form->PM_label->text(), label);
        QCOMPARE(rig.d.PM_TwoBytes, qint16(twoBytes));
        QVERIFY(rig.d.PM_ReadValid);
    }

    void unknownClusterClearsAnEarlierModel() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->ClusterInfotext->text(), QString("BA Fairmont Ghia"));
        rig.form->Connect_Command_Click();
        rig.sim.config().partPrefix = "4R23";
        rig.connect();
        QCOMPARE(rig.form->ClusterInfotext->text(), QString());
        QCOMPARE(rig.form->panelText(1), QString("4R23-123-B"));
    }

    void unprintablePartNumberBytesShowAsQuestionMarks() {
        sim::SimConfig config;
        config.partPrefix = QString::fromLatin1(
            "3R\x01"
            "3");
        AppRig rig(config);
        rig.connect();
        QCOMPARE(rig.d.PartPrefix, QString::fromLatin1("3R\x01"
                                                       "3"));
        // Not a catalogue prefix either, so only the second letter is known.
        QCOMPARE(rig.form->panelText(1), QString("3R?3-123-B"));
    }

    void unplugWhileConnectedTellsTheTruth() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        rig.sim.stop();
        QTRY_COMPARE_WITH_TIMEOUT(rig.form->panelText(4), QString("Not Connected"), 3000);
        checkIdleWindow(rig);
        QCOMPARE(rig.host.messages.size(), size_t(1));
    }

    void setupClosingThePortShowsTheTruthAndConnectWorksAgain() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        rig.form->mnu_Setup_Click();
        QVERIFY(rig.form->setupDialog());
        checkIdleWindow(rig);
        QVERIFY(rig.host.messages.empty());
        rig.form->setupDialog()->close();
        rig.sim.clearLog();
        rig.connect();
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
    }

    void clicksDuringAnAttemptStartNothing() {
        sim::SimConfig config;
        config.answerDelayMs = 30;
        AppRig rig(config);
        bool checked = false;
        QObject::connect(&rig.sim, &sim::SimAdapter::requestReceived, [&](const QString& line) {
            if (line != "22e219" || checked) return;
            checked = true;
            QVERIFY(!rig.form->Connect_Command->isEnabled());
            QVERIFY(!rig.form->mnu_Setup->isEnabled());
            rig.form->Connect_Command_Click();  // must be ignored
            rig.form->Command1_Click();
        });
        rig.connect();
        QVERIFY(checked);
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }
};

TAVRIN_TEST(ConnectTest)
#include "ConnectTest.moc"
