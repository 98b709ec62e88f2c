// What the window shows of the police-mode toggle. The write and its
// safety rules are tested with the session alone.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ListSupport.h"
#include "SimRig.h"
#include "config/Setup_Form.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

class ToggleTest : public QObject {
    Q_OBJECT

private slots:
    void toggleShowsTheStateReadBack() {
        AppRig rig;
        rig.connect();
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        rig.toggle();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(rig.form->PM_label->text(), QString("OFF"));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }

    void failedToggleShowsItsMessageOverAUsableWindow_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("label");  // what the window then shows of police mode
        QTest::newRow("garbled read") << int(Fault::TruncatedRecord) << ""
                                      << "could not be read"
                                      << "ON";
        QTest::newRow("refused write") << int(Fault::NegativeWrite) << ""
                                       << "refused the change"
                                       << "ON";
        QTest::newRow("not applied") << int(Fault::WriteNotApplied) << ""
                                     << "did not apply"
                                     << "ON";
        // Sent, and then nothing could be read back: nothing is known.
        QTest::newRow("connection lost during the write")
            << int(Fault::DisconnectMidAnswer) << "3b03"
            << "lost during the change" << QString();
    }
    void failedToggleShowsItsMessageOverAUsableWindow() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QString, said);
        QFETCH(QString, label);
        AppRig rig;
        rig.connect();
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = faultCommand;
        bool enabledDuringMessage = false;
        rig.host.onMessage = [&](const Message&) {
            enabledDuringMessage = rig.form->Command1->isEnabled();
        };
        rig.toggle();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY2(rig.host.messages[0].text.contains(said), qPrintable(rig.host.messages[0].text));
        const bool connected = rig.form->MSComm1->PortOpen();
        QCOMPARE(connected, !label.isEmpty());
        QCOMPARE(enabledDuringMessage, connected);
        QCOMPARE(rig.form->PM_label->text(), label);
        QCOMPARE(rig.form->PM_label->isEnabled(), connected);
        QCOMPARE(rig.form->Command1->isEnabled(), connected);
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }

    // An operation keeps the settings it started with: Save in an open Setup
    // waits for its end, and the history names the port and speed in use.
    void settingsStayPutDuringAnOperation() {
        AppRig rig;
        rig.form->mnu_Setup_Click();
        auto* setup = qobject_cast<Setup_Form*>(rig.form->setupDialog());
        QVERIFY(setup);
        choose(setup->Speed_List, "115200");
        rig.host.vclock().after(1200, [&] { setup->SaveConfig->click(); });
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.messageTexts(), QStringList{"The settings cannot be saved while the main "
                                                 "window is talking to the adapter."});
        QCOMPARE(rig.d.ComSpeed, QString("38400"));

        // Between operations Save works; the open connection stays at 38400.
        setup->SaveConfig->click();
        QCOMPARE(rig.d.ComSpeed, QString("115200"));
        rig.toggle();
        const QByteArray history = readFile(rig.form->session().historyPath());
        QCOMPARE(history.count(",COM3,38400,"), 2);
    }

    void nothingElseRunsDuringAToggle() {
        sim::SimConfig config;
        config.answerDelayMs = 20;
        AppRig rig(config);
        rig.connect();
        bool checked = false;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (!line.startsWith("3b") || checked) return;
            checked = true;
            QVERIFY(!rig.form->Command1->isEnabled());
            // A request on its way to the cluster cannot be called back.
            QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Cancel"));
            QVERIFY(!rig.form->Connect_Command->isEnabled());
            QVERIFY(!rig.form->mnu_Setup->isEnabled());
            rig.form->Connect_Command_Click();
            QTest::keyClick(rig.form.get(), Qt::Key_Escape);
            rig.form->Command1_Click();
        });
        rig.sim.clearLog();
        rig.toggle();
        QVERIFY(checked);
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Disconnect"));
        QVERIFY(rig.form->MSComm1->PortOpen());
    }
};

TAVRIN_TEST(ToggleTest)
#include "ToggleTest.moc"
