// What the window shows of the police-mode toggle. The write and its
// safety rules are tested with the session alone.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "SimRig.h"

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
        rig.form->Command1_Click();
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
        QTest::newRow("garbled read") << int(Fault::TruncatedRecord) << ""
                                      << "could not be read";
        QTest::newRow("refused write") << int(Fault::NegativeWrite) << ""
                                       << "refused the change";
        QTest::newRow("not applied") << int(Fault::WriteNotApplied) << ""
                                     << "did not apply";
    }
    void failedToggleShowsItsMessageOverAUsableWindow() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QString, said);
        AppRig rig;
        rig.connect();
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = faultCommand;
        bool enabledDuringMessage = false;
        rig.host.onMessage = [&](const Message&) {
            enabledDuringMessage = rig.form->Command1->isEnabled();
        };
        rig.form->Command1_Click();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY2(rig.host.messages[0].text.contains(said), qPrintable(rig.host.messages[0].text));
        QVERIFY(enabledDuringMessage);
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY(rig.form->Connect_Command->isEnabled());
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
            QCOMPARE(rig.form->Connect_Command->text(), QString("Cancel"));
            QVERIFY(!rig.form->Connect_Command->isEnabled());
            QVERIFY(!rig.form->mnu_Setup->isEnabled());
            rig.form->Connect_Command_Click();
            QTest::keyClick(rig.form.get(), Qt::Key_Escape);
            rig.form->Command1_Click();
        });
        rig.sim.clearLog();
        rig.form->Command1_Click();
        QVERIFY(checked);
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(rig.form->Connect_Command->text(), QString("Disconnect"));
        QVERIFY(rig.form->MSComm1->PortOpen());
    }
};

TAVRIN_TEST(ToggleTest)
#include "ToggleTest.moc"
