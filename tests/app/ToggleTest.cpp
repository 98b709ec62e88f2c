// The police-mode toggle from end to end, and every safety rule around the
// write: the simulator's own log of what arrived is the judge.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) b.append(char(v));
    return b;
}

}  // namespace

class ToggleTest : public QObject {
    Q_OBJECT

private slots:
    void workedExamplesPutExactlyTheseBytesOnTheWire_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("4C 12") << bytes({0x4C, 0x12}) << "3b034812"
                               << "ON"
                               << "OFF";
        QTest::newRow("48 12") << bytes({0x48, 0x12}) << "3b034c12"
                               << "OFF"
                               << "ON";
        QTest::newRow("AB CD") << bytes({0xAB, 0xCD}) << "3b03afcd"
                               << "OFF"
                               << "ON";
        QTest::newRow("one byte 04") << bytes({0x04}) << "3b0300"
                                     << "ON"
                                     << "OFF";
        QTest::newRow("one byte 00") << bytes({0x00}) << "3b0304"
                                     << "OFF"
                                     << "ON";
    }
    void workedExamplesPutExactlyTheseBytesOnTheWire() {
        QFETCH(QByteArray, record);
        QFETCH(QString, request);
        QFETCH(QString, before);
        QFETCH(QString, after);
        sim::SimConfig config;
        config.record = record;
        AppRig rig(config);
        rig.connect();
        QCOMPARE(rig.form->PM_label->text(), before);
        rig.sim.clearLog();
        rig.host.pauses.clear();
        rig.form->Command1_Click();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.sim.receivedBytes(),
                 QByteArray("2103\r\n") + request.toLatin1() + "\r\n2103\r\n");
        QCOMPARE(rig.form->PM_label->text(), after);
        QCOMPARE(rig.host.pauses, (std::vector<int>{500, 500}));
        QVERIFY(rig.form->Command1->isEnabled());
    }

    void toggleTwiceGoesBackAndForth() {
        AppRig rig;
        rig.connect();
        rig.form->Command1_Click();
        QCOMPARE(rig.form->PM_label->text(), QString("OFF"));
        rig.form->Command1_Click();
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QCOMPARE(rig.writes(), (QStringList{"3b034812", "3b034c12"}));
        QCOMPARE(rig.sim.record(), bytes({0x4C, 0x12}));
    }

    void nothingIsWrittenWithoutAValidRead_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::newRow("three-byte record") << bytes({0x4C, 0x12, 0x00}) << int(Fault::None) << "";
        QTest::newRow("no data") << bytes({0x4C, 0x12}) << int(Fault::NoData) << "2103";
        QTest::newRow("negative read") << bytes({0x4C, 0x12}) << int(Fault::NegativeRead) << "2103";
        QTest::newRow("garbage") << bytes({0x4C, 0x12}) << int(Fault::Garbage) << "2103";
        QTest::newRow("silence") << bytes({0x4C, 0x12}) << int(Fault::Silence) << "2103";
    }
    void nothingIsWrittenWithoutAValidRead() {
        QFETCH(QByteArray, record);
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        AppRig rig;
        rig.host.answerTimeLimitMs = 400;
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        rig.sim.config().record = record;
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = faultCommand;
        rig.form->Command1_Click();
        QCOMPARE(rig.writes(), QStringList{});
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY2(rig.host.messages[0].text.contains("could not be read"),
                 qPrintable(rig.host.messages[0].text));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY(rig.form->Connect_Command->isEnabled());
    }

    void refusedWriteIsExplainedAndReRead_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("meaning");
        QTest::newRow("11") << 0x11 << "service not supported";
        QTest::newRow("12") << 0x12 << "sub-function not supported or invalid format";
        QTest::newRow("13") << 0x13 << "incorrect message length";
        QTest::newRow("22") << 0x22 << "conditions not correct";
        QTest::newRow("31") << 0x31 << "request out of range";
        QTest::newRow("33") << 0x33 << "security access denied";
        QTest::newRow("72") << 0x72 << "programming failure";
    }
    void refusedWriteIsExplainedAndReRead() {
        QFETCH(int, code);
        QFETCH(QString, meaning);
        AppRig rig;
        rig.connect();
        rig.sim.config().fault = Fault::NegativeWrite;
        rig.sim.config().negativeCode = code;
        rig.sim.clearLog();
        rig.form->Command1_Click();
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(rig.host.messages.size(), size_t(1));
        const QString text = rig.host.messages[0].text;
        QVERIFY2(text.contains("refused the change"), qPrintable(text));
        QVERIFY2(text.contains(meaning), qPrintable(text));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QVERIFY(rig.form->Command1->isEnabled());
    }

    void unansweredWriteEndsAtTheTimeLimit() {
        AppRig rig;
        rig.host.answerTimeLimitMs = 400;
        rig.connect();
        rig.sim.config().fault = Fault::Silence;
        rig.sim.config().faultCommand = "3b03";
        rig.sim.clearLog();
        rig.form->Command1_Click();
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.contains("refused the change"));
        QVERIFY(rig.host.messages[0].text.contains("did not answer"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        QVERIFY(rig.form->Command1->isEnabled());
    }

    void acknowledgedButNotAppliedIsTold() {
        AppRig rig;
        rig.connect();
        rig.sim.config().fault = Fault::WriteNotApplied;
        rig.form->Command1_Click();
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.contains("did not apply"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
    }

    void withoutClusterReadyNothingIsWritten() {
        AppRig rig;
        rig.connect();
        rig.d.ClusterReady = false;
        rig.sim.clearLog();
        rig.form->Command1_Click();
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "2103"}));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
    }

    void nothingElseRunsDuringAToggle() {
        sim::SimConfig config;
        config.answerDelayMs = 20;
        AppRig rig(config);
        rig.connect();
        bool checked = false;
        QObject::connect(&rig.sim, &sim::SimAdapter::requestReceived, [&](const QString& line) {
            if (!line.startsWith("3b") || checked) return;
            checked = true;
            QVERIFY(!rig.form->Command1->isEnabled());
            QVERIFY(!rig.form->Connect_Command->isEnabled());
            QVERIFY(!rig.form->mnu_Setup->isEnabled());
            rig.form->Connect_Command_Click();
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
