// The adapter exchange with the simulated adapter and cluster at the other
// end of the line: in memory on virtual time, and over a real pseudo-terminal
// for what only a real port shows (sleeping without CPU, a vanishing device).
#include <QElapsedTimer>
#include <QTest>

#include "SimRig.h"
#include "cluster/SessionWords.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

qint64 since(TestHost& host, qint64 startMs) {
    return host.clock().nowMs() - startMs;
}

}  // namespace

class ExchangeTest : public QObject {
    Q_OBJECT

private slots:
    void eachAnswerIsTakenUpToItsPrompt() {
        PortRig rig;
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        QVERIFY(rig.ask("ath1", "OK\r").ok());
        // The "\r>" after OK went with its answer; the next one starts at its echo.
        QCOMPARE(rig.port.charactersWaiting(), 0);
        QVERIFY(rig.exchange.settled());
        const WaitResult phase1 = rig.ask("2103", "61 03 ");
        QVERIFY(phase1.ok());
        QCOMPARE(phase1.buffer, QString("2103\r728 04 61 03 "));
        const WaitResult phase2 = rig.waitFor("\r");
        QVERIFY(phase2.ok());
        QCOMPARE(phase2.buffer, QString("4C 12 \r"));
    }

    void echoAloneNeverEndsTheWait() {
        sim::SimConfig config;
        config.answerDelayMs = 300;
        PortRig rig(config);
        QVERIFY(rig.open());
        const WaitResult r = rig.ask("atz", ">");
        QVERIFY(r.ok());
        QCOMPARE(rig.host.clock().nowMs(), 300);  // not ended by the echo
        QVERIFY(r.buffer.startsWith("atz\r"));
        QVERIFY(r.buffer.endsWith("\r\r>"));
    }

    void answerInPiecesEndsOnTheMarksLastCharacter() {
        sim::SimConfig config;
        config.fault = Fault::Pieces;
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        QVERIFY(rig.ask("ath1", "OK\r").ok());
        const WaitResult phase1 = rig.ask("22e21a", "62 E2 1A ");
        QVERIFY(phase1.ok());
        QVERIFY(phase1.buffer.endsWith("62 E2 1A "));
        const WaitResult phase2 = rig.waitFor("\r");
        QVERIFY(phase2.ok());
        QCOMPARE(phase2.buffer, QString("33 52 32 33 \r"));
    }

    void silentAdapterRunsIntoTheTimeLimitWithoutBurningCpu() {
        TAVRIN_NEEDS_REAL_LINES();
        sim::SimConfig config;
        config.fault = Fault::Silence;
        PortRig rig(config, Lines::Real);
        rig.host.limits.answerMs = 1000;
        QVERIFY(rig.open());
        QElapsedTimer t;
        t.start();
        const double cpuBefore = processCpuMs();
        const WaitResult r = rig.ask("atz", ">");
        const double cpu = processCpuMs() - cpuBefore;
        QCOMPARE(r.status, WaitStatus::TimedOut);
        QVERIFY(t.elapsed() >= 950);
        QVERIFY(t.elapsed() < 3000);
        QVERIFY2(cpu < 100, qPrintable(QString("waiting used %1 ms of CPU").arg(cpu)));
    }

    void errorAnswersEndTheWaitAtOnce_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("mark");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("adapterText");
        QTest::addColumn<int>("code");
        QTest::newRow("no data") << int(Fault::NoData) << ""
                                 << "2103"
                                 << "61 03 " << int(WaitStatus::AdapterError) << "NO DATA" << -1;
        QTest::newRow("negative read")
            << int(Fault::NegativeRead) << ""
            << "22e219"
            << "62 E2 19 " << int(WaitStatus::NegativeResponse) << "728 03 7F 22 22" << 0x22;
        QTest::newRow("negative write")
            << int(Fault::NegativeWrite) << ""
            << "3b034812"
            << "7B 03" << int(WaitStatus::NegativeResponse) << "728 03 7F 3B 22" << 0x22;
        QTest::newRow("wrong write length")
            << int(Fault::None) << ""
            << "3b0348"
            << "7B 03" << int(WaitStatus::NegativeResponse) << "728 03 7F 3B 13" << 0x13;
    }
    void errorAnswersEndTheWaitAtOnce() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QString, command);
        QFETCH(QString, mark);
        QFETCH(int, status);
        QFETCH(QString, adapterText);
        QFETCH(int, code);
        sim::SimConfig config;
        config.fault = Fault(fault);
        config.faultCommand = faultCommand;
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        QVERIFY(rig.ask("ath1", "OK\r").ok());
        const qint64 start = rig.host.clock().nowMs();
        const WaitResult r = rig.ask(command, mark);
        QCOMPARE(int(r.status), status);
        QCOMPARE(r.adapterText, adapterText);
        QCOMPARE(r.negativeCode, code);
        QCOMPARE(since(rig.host, start), 0);
        QVERIFY(!words::Describe(r).isEmpty());
    }

    void unknownCommandIsAnAdapterError() {
        sim::SimConfig config;
        config.unsupported = QStringList{"atcaf1"};
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        const WaitResult r = rig.ask("atcaf1", "OK\r");
        QCOMPARE(r.status, WaitStatus::AdapterError);
        QCOMPARE(r.adapterText, QString("?"));
        // The failed wait left nothing behind: the next command works.
        QVERIFY(rig.ask("ath1", "OK\r").ok());
    }

    void responsePendingThenThePositiveAnswerSucceeds() {
        sim::SimConfig config;
        config.fault = Fault::ResponsePending;
        config.pendingCount = 2;
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        QVERIFY(rig.ask("ath1", "OK\r").ok());
        const WaitResult phase1 = rig.ask("2103", "61 03 ");
        QVERIFY2(phase1.ok(), qPrintable(words::Describe(phase1)));
        QVERIFY(phase1.buffer.contains("7F 21 78"));
        QCOMPARE(rig.waitFor("\r").buffer, QString("4C 12 \r"));
    }

    void otherSideClosingEndsTheWaitAndClosesThePort() {
        TAVRIN_NEEDS_REAL_LINES();
        sim::SimConfig config;
        config.fault = Fault::DisconnectMidAnswer;
        config.faultCommand = "2103";
        PortRig rig(config, Lines::Real);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        QVERIFY(rig.ask("ath1", "OK\r").ok());
        QElapsedTimer t;
        t.start();
        const WaitResult r = rig.ask("2103", "61 03 ");
        QCOMPARE(r.status, WaitStatus::PortClosed);
        QVERIFY(t.elapsed() < 2000);
        QVERIFY(!rig.port.PortOpen());
        // No error storm afterwards: the program stays idle.
        const double cpuBefore = processCpuMs();
        spin(500);
        QVERIFY(processCpuMs() - cpuBefore < 50);
        QVERIFY(!rig.exchange.SendCommand("2103"));
    }

    void garbageAnswerEndsAtThePrompt() {
        sim::SimConfig config;
        config.fault = Fault::Garbage;
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        const qint64 start = rig.host.clock().nowMs();
        const WaitResult r = rig.ask("2103", "61 03 ");
        QCOMPARE(r.status, WaitStatus::UnexpectedAnswer);
        QVERIFY(!r.adapterText.isEmpty());
        QCOMPARE(since(rig.host, start), 0);
        QVERIFY(words::Describe(r).contains(r.adapterText));
    }

    void endlessAnswerIsCutOffAtTheBufferBound() {
        sim::SimConfig config;
        config.e200 = QByteArray(3000, '\x55');  // thousands of characters, no end mark
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.ask("atz", ">").ok());
        const WaitResult r = rig.ask("22e200", "not in the answer");
        QCOMPARE(r.status, WaitStatus::TooLong);
        QVERIFY(r.buffer.size() <= Listening().maxChars + 1);
        // What the adapter still sends belongs to the failed command.
        rig.host.wait(100);
        QVERIFY(rig.ask("ath1", "OK\r").ok());
    }

    void aWaitEndsAtItsDeadline() {
        sim::SimConfig config;
        config.fault = Fault::Silence;
        PortRig rig(config);
        QVERIFY(rig.open());
        rig.exchange.SendCommand("atz");
        const WaitResult r = rig.host.finish(rig.exchange.WaitFor(">", {}, {}, 100));
        QCOMPARE(r.status, WaitStatus::Abandoned);
        QCOMPARE(rig.host.clock().nowMs(), 100);
    }

    // An adapter prints text only. Bytes that are not text mean a wrong line
    // speed: many end the wait at once, a few end it once the line is quiet,
    // and a stray one before a real answer does no harm.
    void unreadableAnswers_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<int>("laterMs");  // -1: nothing more
        QTest::addColumn<QByteArray>("later");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("endMs");
        QTest::newRow("noise") << QByteArray("\x91\xff\x03\x80>\x12") << -1 << QByteArray()
                               << int(WaitStatus::Unreadable) << 20;
        QTest::newRow("a little noise, then quiet")
            << QByteArray("\xe0\x1cZ") << -1 << QByteArray() << int(WaitStatus::Unreadable)
            << 20 + TimeLimits().quietAfterNoiseMs;
        QTest::newRow("a stray byte before a slow answer")
            << QByteArray("\xff") << 1000 << QByteArray("atz\r\rELM327 v1.5\r\r>")
            << int(WaitStatus::Found) << 1000;
    }
    void unreadableAnswers() {
        QFETCH(QByteArray, first);
        QFETCH(int, laterMs);
        QFETCH(QByteArray, later);
        QFETCH(int, status);
        QFETCH(int, endMs);
        // The test speaks for the adapter, which says nothing of its own.
        sim::SimConfig config;
        config.fault = Fault::Silence;
        PortRig rig(config);
        QVERIFY(rig.open());
        QVERIFY(rig.exchange.SendCommand("atz"));
        rig.sim.say(first, 20);
        if (laterMs >= 0) rig.sim.say(later, laterMs - 20);
        const WaitResult r = rig.waitFor(">");
        QCOMPARE(int(r.status), status);
        QCOMPARE(rig.host.clock().nowMs(), endMs);
    }
};

TAVRIN_TEST(ExchangeTest)
#include "ExchangeTest.moc"
