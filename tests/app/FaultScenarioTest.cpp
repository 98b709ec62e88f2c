// Every fault the simulated adapter can show, against the whole program:
// Connect, the toggle, and Connect again once the fault is gone. What the
// cluster was sent is judged from the simulator's own log, never from the
// program's account of it.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <functional>

#include "SimRig.h"
#include "cluster/PoliceSafety.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

// The program's own limits, on virtual time: a wait that forgot its limit
// shows as time beyond them. Connect's fixed pauses come to 3000 ms, the
// toggle's to 1000 ms.
constexpr int kConnectPausesMs = 3000;
constexpr int kTogglePausesMs = 1000;

enum Stage { AtConnect, AtToggle };

// Watches the line: every write the cluster receives must be the record the
// cluster last reported with bit 2 of the first byte inverted, and nothing else.
struct WriteJudge {
    explicit WriteJudge(sim::SimCore& sim) {
        QObject::connect(&sim, &sim::SimCore::requestReceived, [this, &sim](const QString& l) {
            const QString line = l.trimmed().toLower();
            // The simulator answers before it reports the line, so for a read
            // its record is the one the answer carried.
            if (line == QLatin1String("2103")) {
                lastRead = QString::fromLatin1(sim.record().toHex());
            } else if (line.startsWith(QLatin1String("3b"))) {
                const QString expected = cluster::ExpectedPoliceWrite(lastRead);
                if (expected.isEmpty() || line != expected)
                    bad << QStringLiteral("%1 after reading %2").arg(line, lastRead);
                ++writes;
            }
        });
    }
    QString lastRead;
    QStringList bad;
    int writes = 0;
};

qint64 timed(Clock& clock, const std::function<void()>& click) {
    const qint64 start = clock.nowMs();
    click();
    return clock.nowMs() - start;
}

}  // namespace

class FaultScenarioTest : public QObject {
    Q_OBJECT

private slots:
    void everyFault_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<int>("stage");
        // Empty for a fault the program rides out: then everything must work
        // and no message may appear.
        QTest::addColumn<QString>("message");

        QTest::newRow("silence") << int(Fault::Silence) << "" << int(AtConnect)
                                 << "Unable to Connect To ELM";
        QTest::newRow("silence at the write")
            << int(Fault::Silence) << "3b03" << int(AtToggle) << "did not answer";
        QTest::newRow("reset without ELM")
            << int(Fault::ResetWithoutElm) << "" << int(AtConnect) << "";
        QTest::newRow("no data at identification")
            << int(Fault::NoData) << "22e21a" << int(AtConnect) << "NO DATA";
        QTest::newRow("no data at the toggle's read")
            << int(Fault::NoData) << "2103" << int(AtToggle) << "could not be read";
        QTest::newRow("negative read at identification")
            << int(Fault::NegativeRead) << "22e217" << int(AtConnect) << "refused the request";
        QTest::newRow("negative read at the toggle's read")
            << int(Fault::NegativeRead) << "2103" << int(AtToggle) << "could not be read";
        QTest::newRow("negative write")
            << int(Fault::NegativeWrite) << "" << int(AtToggle) << "refused the change";
        QTest::newRow("response pending")
            << int(Fault::ResponsePending) << "" << int(AtConnect) << "";
        QTest::newRow("pieces") << int(Fault::Pieces) << "" << int(AtConnect) << "";
        QTest::newRow("garbage at identification")
            << int(Fault::Garbage) << "22e219" << int(AtConnect) << "Connection failed";
        QTest::newRow("garbage at the toggle's read")
            << int(Fault::Garbage) << "2103" << int(AtToggle) << "could not be read";
        QTest::newRow("disconnect during the reset")
            << int(Fault::DisconnectMidAnswer) << "atz" << int(AtConnect) << "lost";
        QTest::newRow("disconnect during identification")
            << int(Fault::DisconnectMidAnswer) << "22e200" << int(AtConnect) << "lost";
        QTest::newRow("disconnect during the write")
            << int(Fault::DisconnectMidAnswer) << "3b03" << int(AtToggle) << "lost";
        QTest::newRow("write not applied")
            << int(Fault::WriteNotApplied) << "" << int(AtToggle) << "did not apply";
        QTest::newRow("line feed after prompt")
            << int(Fault::LineFeedAfterPrompt) << "" << int(AtConnect) << "";
        QTest::newRow("line feed interrupts requests")
            << int(Fault::InterruptOnInput) << "" << int(AtConnect) << "";
        QTest::newRow("line feed interrupts the write")
            << int(Fault::InterruptOnInput) << "3b03" << int(AtToggle) << "";
        QTest::newRow("NULs in every answer") << int(Fault::NulBytes) << "" << int(AtConnect) << "";
        QTest::newRow("a stray byte ahead of every answer")
            << int(Fault::Glitch) << "" << int(AtConnect) << "";
        QTest::newRow("adapter always stops")
            << int(Fault::AlwaysStopped) << "" << int(AtConnect) << "interrupted the request";
    }

    void everyFault() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(int, stage);
        QFETCH(QString, message);
        const bool benign = message.isEmpty();

        sim::SimConfig config;
        config.pendingCount = 1;
        AppRig rig(config);
        const int answerLimitMs = rig.host.limits.answerMs;
        WriteJudge judge(rig.sim);
        auto inject = [&] {
            rig.sim.config().fault = Fault(fault);
            rig.sim.config().faultCommand = faultCommand;
        };
        const QByteArray recordBefore = rig.sim.record();

        if (stage == AtConnect) inject();
        const qint64 connectMs = timed(rig.host.clock(), [&] { rig.connect(); });
        QVERIFY2(connectMs <= rig.host.limits.watchdogMs + answerLimitMs + kConnectPausesMs,
                 qPrintable(QString::number(connectMs)));
        QVERIFY(!rig.form->Timer1->isActive());
        QVERIFY(!rig.form->busy());

        const bool connected = rig.form->panelText(4) == QLatin1String("Connected");
        if (stage == AtToggle || benign) {
            QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
            QVERIFY(connected);
            QVERIFY(rig.form->Command1->isEnabled());
            QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        }

        if (stage == AtToggle) inject();
        if (connected) {
            const qint64 toggleMs = timed(rig.host.clock(), [&] { rig.toggle(); });
            // A read, a write and a read again, each within its limit.
            QVERIFY2(toggleMs <= 3 * answerLimitMs + kTogglePausesMs,
                     qPrintable(QString::number(toggleMs)));
            QVERIFY(!rig.form->busy());
        }

        QVERIFY2(judge.bad.isEmpty(), qPrintable(judge.bad.join(" | ")));
        if (benign) {
            QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
            // A write the adapter stopped is sent once more, the same bytes.
            const bool resent = Fault(fault) == Fault::InterruptOnInput && stage == AtToggle;
            QCOMPARE(judge.writes, resent ? 2 : 1);
            QCOMPARE(rig.form->PM_label->text(), QString("OFF"));
            QCOMPARE(rig.sim.record(), QByteArray::fromHex("4812"));
        } else {
            // One message for the failure; the watchdog may have spoken first
            // when the failed wait outlasted it (an answer of noise is only
            // given up at the answer limit).
            const QStringList texts = rig.messageTexts();
            QVERIFY2(!texts.isEmpty() && texts.last().contains(message),
                     qPrintable(texts.join(" | ")));
            QVERIFY2(texts.size() == 1 || (texts.size() == 2 &&
                                           texts[0] == QLatin1String("Unable to Connect To ELM")),
                     qPrintable(texts.join(" | ")));
            for (const Message& m : rig.host.messages) QVERIFY(m.icon == MessageIcon::Critical);
            // A fault before the write leaves the cluster as it was.
            if (judge.writes == 0) QCOMPARE(rig.sim.record(), recordBefore);
        }

        // With the fault gone, Connect works again from whatever state the
        // window was left in.
        rig.sim.config().fault = Fault::None;
        if (!rig.sim.isRunning()) {
            QVERIFY(rig.sim.start());
            QVERIFY(rig.sim.linkAs(rig.host.programFolder(), 3));
        }
        if (caption(rig.form->Connect_Command->text()) == QLatin1String("Disconnect"))
            rig.form->Connect_Command_Click();
        QVERIFY(rig.form->Connect_Command->isEnabled());
        rig.host.messages.clear();
        rig.connect();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.form->PM_label->text(), QString(rig.sim.record().at(0) & 0x04 ? "ON" : "OFF"));
        QVERIFY(rig.form->Command1->isEnabled());
        QVERIFY2(judge.bad.isEmpty(), qPrintable(judge.bad.join(" | ")));
    }
};

TAVRIN_TEST(FaultScenarioTest)
#include "FaultScenarioTest.moc"
