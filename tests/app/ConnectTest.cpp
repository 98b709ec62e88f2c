// What the window shows of Connect and Disconnect: the real window and the
// simulated adapter and cluster, on virtual time. The conversation itself is
// tested with the session alone.
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "SimRig.h"
#include "config/Setup_Form.h"
#include "widgets/ElidingLabel.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

void checkIdleWindow(AppRig& rig) {
    QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Connect"));
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
        rig.connect();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QCOMPARE(rig.form->panelText(1), QString("3R23-123-FB"));
        QCOMPARE(rig.form->panelText(2), QString("ELM327 v1.5"));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.form->ClusterInfotext->text(), QString("BA Fairmont Ghia"));
        QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Disconnect"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY(rig.d.ClusterReady);
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.d.PM_TwoBytes, qint16(1));
        QVERIFY(!rig.form->Timer1->isActive());
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
        rig.d.ComPort = 11;  // nothing linked, and the machine's devices are out of reach
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

    void failedAttemptShowsOneMessageAndTheIdleWindow() {
        sim::SimConfig config;
        config.unsupported = QStringList{"atspa6"};
        AppRig rig(config);
        QString captionDuringMessage;
        rig.host.onMessage = [&](const Message&) {
            captionDuringMessage = caption(rig.form->Connect_Command->text());
        };
        rig.connect();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.startsWith("Connection failed at \"atspa6\""));
        QCOMPARE(rig.host.messages[0].title, QString("Error!"));
        QVERIFY(rig.host.messages[0].icon == MessageIcon::Critical);
        QCOMPARE(captionDuringMessage, QString("Connect"));
        checkIdleWindow(rig);
    }

    void watchdogDuringIdentificationLetsTheAttemptComplete() {
        sim::SimConfig config;
        config.answerDelayMs = 120;
        AppRig rig(config);
        rig.host.limits.watchdogMs = 1700;  // runs out waiting for the answer to 22e21a
        rig.connect();
        QCOMPARE(rig.messageTexts(), QStringList{"Unable to Connect To ELM"});
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.d.ConnectState, qint16(1));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
    }

    void wrongLineSpeedShowsNoNoiseAndOneMessage() {
        sim::SimConfig config;
        config.adapterSpeed = 115200;
        AppRig rig(config, 3, "38400");
        rig.connect();
        QCOMPARE(rig.messageTexts(),
                 QStringList{"The adapter's answers could not be read: the line speed is "
                             "probably wrong."});
        checkIdleWindow(rig);
        QCOMPARE(rig.form->panelText(2), QString());
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

    void failedPoliceReadKeepsTheLabelAndTheConnection() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        rig.form->Connect_Command_Click();
        rig.sim.config().fault = Fault::TruncatedRecord;
        rig.connect();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.contains("could not be read"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QVERIFY(rig.form->Command1->isEnabled());
    }

    void unplugWhileConnectedTellsTheTruth() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        rig.sim.stop();
        QVERIFY(rig.host.waitUntil(
            [&] { return rig.form->panelText(4) == QString("Not Connected"); }, 3000));
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

    // The second click of a double-click on the real button does nothing; a
    // click after the double-click interval is a deliberate Cancel.
    void doubleClicksActOnce_data() {
        QTest::addColumn<bool>("connectedFirst");
        QTest::addColumn<int>("secondClickMs");  // after the first click
        QTest::addColumn<QString>("endsAs");
        QTest::addColumn<int>("requests");  // lines the adapter received
        QTest::newRow("double-click on Connect") << false << 100 << "Connected" << 10;
        QTest::newRow("Cancel a moment later") << false << 600 << "Not Connected" << 5;
        QTest::newRow("double-click on Disconnect") << true << 0 << "Not Connected" << 10;
    }
    void doubleClicksActOnce() {
        QFETCH(bool, connectedFirst);
        QFETCH(int, secondClickMs);
        QFETCH(QString, endsAs);
        QFETCH(int, requests);
        AppRig rig;
        if (connectedFirst) rig.connect();
        QPushButton* button = rig.form->Connect_Command;
        rig.host.vclock().after(secondClickMs,
                                [button] { QTest::mouseClick(button, Qt::LeftButton); });
        QTest::mouseClick(button, Qt::LeftButton);
        rig.host.wait(5000);
        QCOMPARE(rig.form->panelText(4), endsAs);
        QCOMPARE(rig.sim.requests().size(), requests);
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
    }

    // The status bar always shows the state: a long adapter name gives way
    // in the middle, so its start and its version show (whole in its
    // tooltip); while connecting, a progress bar counts the steps. (That the
    // port and the status stay whole is the caption check's.)
    void statusBarShowsTheStateWhateverTheName() {
        sim::SimConfig config;
        config.identification = "OBDII to RS232 v2.1";
        AppRig rig(config);
        auto* progress = rig.form->findChild<QProgressBar*>("ConnectProgress");
        auto* adapter = rig.form->findChild<ElidingLabel*>("Panel2");
        QVERIFY(progress);
        QVERIFY(adapter);
        int progressDuring = -1;
        QString shownDuring;
        rig.host.vclock().after(1700, [&] {
            progressDuring = progress->isVisible() ? progress->value() : -1;
            shownDuring = adapter->shownText();
        });
        rig.connect();
        QCOMPARE(progressDuring, 7);  // reset, four set-up commands, E21A, E217
        QVERIFY(!progress->isVisible());

        QCOMPARE(adapter->text(), config.identification);
        QCOMPARE(adapter->toolTip(), config.identification);
        QVERIFY2(shownDuring.contains(u'\u2026'), qPrintable(shownDuring));
        for (const QString& shown : {shownDuring, adapter->shownText()}) {
            QVERIFY2(shown.startsWith("OBD") && shown.endsWith(" v2.1"), qPrintable(shown));
        }
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
    }

    // A message box left open, or a dialog running an event loop of its own,
    // in the middle of Connect or a change stalls nothing: the conversation
    // goes on with its usual pauses, and no watchdog fires on an adapter that
    // answers.
    void aBoxOpenForTwentySecondsStallsNothing_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("duringChange");
        QTest::newRow("Setup's refusal during Connect") << "message" << false;
        QTest::newRow("a dialog of its own during Connect") << "dialog" << false;
        QTest::newRow("Setup's refusal in the pause before the write") << "message" << true;
        QTest::newRow("a dialog of its own before the write") << "dialog" << true;
    }
    void aBoxOpenForTwentySecondsStallsNothing() {
        QFETCH(QString, box);
        QFETCH(bool, duringChange);
        AppRig rig;
        rig.host.realBoxes = true;
        // Opened first: Setup closes the main window's port when it opens.
        rig.form->mnu_Setup_Click();
        auto* setup = qobject_cast<Setup_Form*>(rig.form->setupDialog());
        QVERIFY(setup);
        if (duringChange) rig.connect();
        rig.sim.clearLog();

        QPointer<QMessageBox> shown;
        bool openDuringTheConversation = false;
        rig.host.vclock().after(duringChange ? 200 : 1200, [&] {
            if (box == "message") {
                setup->SaveConfig->click();
                shown = setup->findChild<QMessageBox*>();
                rig.host.vclock().after(20000, [&] {
                    openDuringTheConversation = shown && shown->isVisible();
                    if (shown) shown->accept();
                });
            } else {
                QDialog dialog(rig.form.get());
                QTimer::singleShot(0, &dialog, [&] {
                    rig.host.vclock().advance(20000);
                    openDuringTheConversation = dialog.isVisible();
                    dialog.reject();
                });
                dialog.exec();
            }
        });
        if (duringChange) {
            rig.toggle();
        } else {
            rig.connect();
        }
        rig.host.wait(25000);

        QVERIFY(openDuringTheConversation);
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        const QList<qint64> usual = duringChange
                                        ? QList<qint64>{500, 500}
                                        : QList<qint64>{0, 0, 0, 0, 1000, 500, 500, 500, 500};
        QCOMPARE(gapsMs(rig.sim), usual);
        QCOMPARE(rig.form->PM_label->text(), QString(duringChange ? "OFF" : "ON"));
        const QStringList said = rig.messageTexts();
        QCOMPARE(said.size(), box == "message" ? 1 : 0);
        if (box == "message") QVERIFY(said.first().contains("cannot be saved"));
        QVERIFY(!shown);
    }

    void duringAnAttemptOnlyCancelIsOffered() {
        sim::SimConfig config;
        config.answerDelayMs = 30;
        AppRig rig(config);
        bool checked = false;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line != "22e219" || checked) return;
            checked = true;
            QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Cancel"));
            QVERIFY(rig.form->Connect_Command->isEnabled());
            QVERIFY(!rig.form->mnu_Setup->isEnabled());
            QVERIFY(!rig.form->Command1->isEnabled());
            rig.form->Command1_Click();  // must be ignored
        });
        rig.connect();
        QVERIFY(checked);
        QVERIFY(rig.host.messages.empty());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Disconnect"));
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }
};

TAVRIN_TEST(ConnectTest)
#include "ConnectTest.moc"
