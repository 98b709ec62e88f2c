// The simulated adapter, driven the way the program drives a real one: through
// the line the program opens, in memory on virtual time, and through a
// QSerialPort on a pseudo-terminal's slave end for what only a real port
// shows (its speed, a hang-up, CPU while idle, noise at a wrong speed).
#include <sys/resource.h>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "SimAdapter.h"
#include "TestSupport.h"

using tavrin::AdapterLine;
using tavrin::sim::EarlyInput;
using tavrin::sim::Fault;
using tavrin::sim::SimAdapter;
using tavrin::sim::SimConfig;
using tavrin::sim::SimCore;
using tavrin::test::Lines;
using tavrin::test::TestHost;

Q_DECLARE_METATYPE(tavrin::sim::SimConfig)
Q_DECLARE_METATYPE(tavrin::sim::Fault)

namespace {

// The program's side of the line, as the host gives it: everything received,
// and how many arrivals it came in.
class HostLine {
public:
    HostLine(TestHost& host, const SimCore& sim) : host_(host), line_(host.createLine(nullptr)) {
        line_->DevicePath = sim.devicePath();
        line_->Settings = QStringLiteral("9600,n,8,1");
        QObject::connect(line_.get(), &AdapterLine::dataArrived, [this] {
            data += line_->Input().toLatin1();
            ++reads;
        });
    }
    bool open() { return host_.finish(line_->open(host_.clock(), host_.limits.openMs)); }
    void write(const QByteArray& bytes) { line_->Output(bytes); }
    void send(const QByteArray& command) { write(command + "\r\n"); }
    // Lets time pass until the received text ends with mark.
    bool waitForEnd(const QByteArray& mark, int timeoutMs = 2000) {
        return host_.waitUntil([&] { return data.endsWith(mark); }, timeoutMs);
    }
    // Sends a command, waits for the prompt and returns what came back.
    QByteArray exchange(const QByteArray& command) {
        data.clear();
        send(command);
        if (!waitForEnd(">")) return QByteArray("timed out: ") + data;
        return std::exchange(data, QByteArray());
    }
    qint64 nowMs() const { return host_.clock().nowMs(); }

    QByteArray data;
    int reads = 0;

private:
    TestHost& host_;
    std::unique_ptr<AdapterLine> line_;
};

// A QSerialPort of its own on the pseudo-terminal's slave end: everything
// received, and how many reads it took to get it.
class Line {
public:
    explicit Line(const QString& path) {
        port.setPortName(path);
        port.setBaudRate(QSerialPort::Baud9600);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::NoParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);
        QObject::connect(&port, &QSerialPort::readyRead, [this] {
            data += port.readAll();
            ++reads;
        });
    }
    bool open() { return port.open(QIODevice::ReadWrite); }
    void send(const QByteArray& command) {
        port.write(command + "\r\n");
        port.flush();
    }
    // Waits (running the event loop) until the received text ends with mark.
    bool waitForEnd(const QByteArray& mark, int timeoutMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        while (!data.endsWith(mark)) {
            if (timer.elapsed() > timeoutMs) return false;
            QTest::qWait(1);
        }
        return true;
    }
    // Sends a command, waits for the prompt and returns what came back.
    QByteArray exchange(const QByteArray& command) {
        data.clear();
        send(command);
        if (!waitForEnd(">")) return QByteArray("timed out: ") + data;
        return std::exchange(data, QByteArray());
    }

    QSerialPort port;
    QByteArray data;
    int reads = 0;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

class SimTest : public QObject {
    Q_OBJECT

private slots:
    void resetAnswer_data() {
        QTest::addColumn<QString>("identification");
        QTest::newRow("default") << QString();
        QTest::newRow("configured") << QStringLiteral("ELM327 v2.1");
    }

    void resetAnswer() {
        QFETCH(QString, identification);
        SimConfig config;
        if (!identification.isEmpty()) config.identification = identification;
        TestHost host;
        SimCore& sim = host.addSim(1, config);
        HostLine line(host, sim);
        QVERIFY(line.open());
        const QByteArray id = identification.isEmpty() ? "ELM327 v1.5" : identification.toLatin1();
        // Echo of "atz" and its carriage return, then the answer.
        QCOMPARE(line.exchange("atz"), "atz\r\r\r" + id + "\r\r>");
    }

    void commands_data() {
        QTest::addColumn<SimConfig>("config");
        QTest::addColumn<QByteArrayList>("setup");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("expected");

        const SimConfig plain;
        SimConfig unsupported;
        unsupported.unsupported = QStringList{QStringLiteral("atcaf1")};
        SimConfig oneByte;
        oneByte.record = QByteArray::fromHex("04");
        SimConfig longE200;
        longE200.e200 = QByteArray::fromHex("0102030405060708090A");
        SimConfig needsHeader;
        needsHeader.requireHeader = true;
        SimConfig unformatted;
        unformatted.fault = Fault::Unformatted;
        unformatted.e200 = QByteArray::fromHex("0102030405");
        SimConfig stn;
        stn.stIdentification = QStringLiteral("STN1110 r4.2.1");
        SimConfig lacksTimeout;
        lacksTimeout.unsupported = QStringList{QStringLiteral("atst")};
        SimConfig noBus;
        noBus.noBusAnswer = QStringLiteral("SEARCHING...\rUNABLE TO CONNECT");
        SimConfig stray;
        stray.afterResetEcho = QByteArrayLiteral("\xFC");
        const QByteArrayList quiet{"ate0"};
        const QByteArrayList framed{"ate0", "ath1"};

        QTest::newRow("echo and OK")
            << plain << QByteArrayList{} << QByteArray("atcaf1") << QByteArray("atcaf1\rOK\r\r>");
        QTest::newRow("ate0 is still echoed")
            << plain << QByteArrayList{} << QByteArray("ate0") << QByteArray("ate0\rOK\r\r>");
        QTest::newRow("no echo after ate0")
            << plain << quiet << QByteArray("atspa6") << QByteArray("OK\r\r>");
        QTest::newRow("echo back on") << plain << QByteArrayList{"ate0", "ate1"}
                                      << QByteArray("atsh720") << QByteArray("atsh720\rOK\r\r>");
        QTest::newRow("spaces and case ignored")
            << plain << quiet << QByteArray("AT SH 720") << QByteArray("OK\r\r>");
        QTest::newRow("ati") << plain << quiet << QByteArray("ati")
                             << QByteArray("ELM327 v1.5\r\r>");
        QTest::newRow("unsupported AT command")
            << unsupported << quiet << QByteArray("AT CAF1") << QByteArray("?\r\r>");
        QTest::newRow("sti") << stn << quiet << QByteArray("STI")
                             << QByteArray("STN1110 r4.2.1\r\r>");
        QTest::newRow("unsupported with an argument")
            << lacksTimeout << quiet << QByteArray("at st 32") << QByteArray("?\r\r>");
        QTest::newRow("no bus") << noBus << framed << QByteArray("2103")
                                << QByteArray("SEARCHING...\rUNABLE TO CONNECT\r\r>");
        QTest::newRow("a stray byte after the reset's echo")
            << stray << QByteArrayList{} << QByteArray("atz")
            << QByteArray("atz\r\xFC\r\rELM327 v1.5\r\r>");
        QTest::newRow("not hexadecimal")
            << plain << quiet << QByteArray("hello") << QByteArray("?\r\r>");
        QTest::newRow("odd digit count")
            << plain << quiet << QByteArray("210") << QByteArray("?\r\r>");
        QTest::newRow("headers on")
            << plain << framed << QByteArray("2103") << QByteArray("728 04 61 03 4C 12 \r\r>");
        QTest::newRow("headers off")
            << plain << quiet << QByteArray("2103") << QByteArray("61 03 4C 12 \r\r>");
        QTest::newRow("headers off again") << plain << QByteArrayList{"ate0", "ath1", "ath0"}
                                           << QByteArray("2103") << QByteArray("61 03 4C 12 \r\r>");
        QTest::newRow("reset: echo on, headers off")
            << plain << QByteArrayList{"ate0", "ath1", "atz"} << QByteArray("2103")
            << QByteArray("2103\r61 03 4C 12 \r\r>");
        QTest::newRow("one-byte record")
            << oneByte << framed << QByteArray("2103") << QByteArray("728 03 61 03 04 \r\r>");
        QTest::newRow("E21A part prefix") << plain << framed << QByteArray("22e21a")
                                          << QByteArray("728 07 62 E2 1A 33 52 32 33 \r\r>");
        QTest::newRow("E217") << plain << framed << QByteArray("22E217")
                              << QByteArray("728 07 62 E2 17 00 99 01 23 \r\r>");
        QTest::newRow("E219") << plain << framed << QByteArray("22e219")
                              << QByteArray("728 05 62 E2 19 0A 02 \r\r>");
        QTest::newRow("E200") << plain << framed << QByteArray("22e200")
                              << QByteArray("728 05 62 E2 00 01 02 \r\r>");
        QTest::newRow("multi-frame, headers on")
            << longE200 << framed << QByteArray("22e200")
            << QByteArray("728 10 0D 62 E2 00 01 02 03 \r728 21 04 05 06 07 08 09 0A \r\r>");
        QTest::newRow("multi-frame, headers off")
            << longE200 << quiet << QByteArray("22e200")
            << QByteArray("00D\r0: 62 E2 00 01 02 03 \r1: 04 05 06 07 08 09 0A \r\r>");
        QTest::newRow("unformatted multi-frame, headers off")
            << unformatted << quiet << QByteArray("22e200")
            << QByteArray("10 08 62 E2 00 01 02 03 \r21 04 05 AA AA AA AA AA \r\r>");
        QTest::newRow("unknown identifier")
            << plain << framed << QByteArray("22e2ff") << QByteArray("728 03 7F 22 31 \r\r>");
        QTest::newRow("unknown local identifier")
            << plain << framed << QByteArray("2199") << QByteArray("728 03 7F 21 31 \r\r>");
        QTest::newRow("unknown service")
            << plain << framed << QByteArray("1003") << QByteArray("728 03 7F 10 11 \r\r>");
        QTest::newRow("empty line repeats the last command")
            << plain << QByteArrayList{"ate0", "ath1", "2103"} << QByteArray("")
            << QByteArray("728 04 61 03 4C 12 \r\r>");
        QTest::newRow("cluster deaf without header")
            << needsHeader << framed << QByteArray("2103") << QByteArray("NO DATA\r\r>");
        QTest::newRow("a line of two tildes is refused")
            << plain << QByteArrayList{} << QByteArray("~~") << QByteArray("~~\r?\r\r>");
        QTest::newRow("refused without echo")
            << plain << quiet << QByteArray("~~") << QByteArray("?\r\r>");
        QTest::newRow("cluster hears header 720")
            << needsHeader << QByteArrayList{"ate0", "ath1", "atsh720"} << QByteArray("2103")
            << QByteArray("728 04 61 03 4C 12 \r\r>");
    }

    void commands() {
        QFETCH(SimConfig, config);
        QFETCH(QByteArrayList, setup);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, expected);
        TestHost host;
        SimCore& sim = host.addSim(1, config);
        HostLine line(host, sim);
        QVERIFY(line.open());
        for (const QByteArray& step : setup) QVERIFY(line.exchange(step).endsWith(">"));
        QCOMPARE(line.exchange(command), expected);
    }

    void writeChangesNextRead() {
        TestHost host;
        SimCore& sim = host.addSim(1);
        HostLine line(host, sim);
        QVERIFY(line.open());
        line.exchange("ate0");
        line.exchange("ath1");
        QCOMPARE(line.exchange("3b034812"), QByteArray("728 02 7B 03 \r\r>"));
        QCOMPARE(sim.record(), QByteArray::fromHex("4812"));
        QCOMPARE(line.exchange("2103"), QByteArray("728 04 61 03 48 12 \r\r>"));
        // A record of the wrong length is refused and changes nothing.
        QCOMPARE(line.exchange("3b0348"), QByteArray("728 03 7F 3B 13 \r\r>"));
        QCOMPARE(line.exchange("3b03481234"), QByteArray("728 03 7F 3B 13 \r\r>"));
        QCOMPARE(sim.record(), QByteArray::fromHex("4812"));
        // The record may be changed from outside while running.
        sim.config().record = QByteArray::fromHex("04");
        QCOMPARE(line.exchange("3b03ab12"), QByteArray("728 03 7F 3B 13 \r\r>"));
        QCOMPARE(line.exchange("3B 03 00"), QByteArray("728 02 7B 03 \r\r>"));
        QCOMPARE(line.exchange("2103"), QByteArray("728 03 61 03 00 \r\r>"));
    }

    void faults_data() {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("recordAfter");
        QTest::addColumn<Lines>("lines");

        const QByteArray original = QByteArray::fromHex("4C12");
        const QByteArray normalRead = "2103\r728 04 61 03 4C 12 \r\r>";
        QTest::newRow("Silence everything") << Fault::Silence << QString() << QByteArray("2103")
                                            << QByteArray() << original << Lines::Memory;
        QTest::newRow("Silence, matching command")
            << Fault::Silence << QStringLiteral("21") << QByteArray("2103") << QByteArray()
            << original << Lines::Memory;
        QTest::newRow("Silence, other command still echoed and answered")
            << Fault::Silence << QStringLiteral("22E2") << QByteArray("2103") << normalRead
            << original << Lines::Memory;
        QTest::newRow("ResetWithoutElm")
            << Fault::ResetWithoutElm << QString() << QByteArray("atz")
            << QByteArray("atz\r\r\rOBDII v1.5\r\r>") << original << Lines::Memory;
        QTest::newRow("NoData") << Fault::NoData << QString() << QByteArray("2103")
                                << QByteArray("2103\rNO DATA\r\r>") << original << Lines::Memory;
        QTest::newRow("NoData leaves the adapter alone")
            << Fault::NoData << QString() << QByteArray("ati")
            << QByteArray("ati\rELM327 v1.5\r\r>") << original << Lines::Memory;
        QTest::newRow("NegativeRead 21")
            << Fault::NegativeRead << QString() << QByteArray("2103")
            << QByteArray("2103\r728 03 7F 21 22 \r\r>") << original << Lines::Memory;
        QTest::newRow("NegativeRead 22")
            << Fault::NegativeRead << QString() << QByteArray("22e21a")
            << QByteArray("22e21a\r728 03 7F 22 22 \r\r>") << original << Lines::Memory;
        QTest::newRow("NegativeRead on another identifier only")
            << Fault::NegativeRead << QStringLiteral("22e217") << QByteArray("22e21a")
            << QByteArray("22e21a\r728 07 62 E2 1A 33 52 32 33 \r\r>") << original << Lines::Memory;
        QTest::newRow("NegativeWrite")
            << Fault::NegativeWrite << QString() << QByteArray("3b034812")
            << QByteArray("3b034812\r728 03 7F 3B 22 \r\r>") << original << Lines::Memory;
        QTest::newRow("ResponsePending")
            << Fault::ResponsePending << QString() << QByteArray("2103")
            << QByteArray("2103\r728 03 7F 21 78 \r728 04 61 03 4C 12 \r\r>") << original
            << Lines::Memory;
        QTest::newRow("Pieces") << Fault::Pieces << QString() << QByteArray("2103") << normalRead
                                << original << Lines::Memory;
        QTest::newRow("Garbage") << Fault::Garbage << QString() << QByteArray("2103")
                                 << QByteArray("2103\r#~%&@!\r\r>") << original << Lines::Memory;
        QTest::newRow("DisconnectMidAnswer")
            << Fault::DisconnectMidAnswer << QString() << QByteArray("2103")
            << QByteArray("2103\r728 04 61 0") << original << Lines::Memory;
        QTest::newRow("WriteNotApplied")
            << Fault::WriteNotApplied << QString() << QByteArray("3b034812")
            << QByteArray("3b034812\r728 02 7B 03 \r\r>") << original << Lines::Memory;
        QTest::newRow("TruncatedRecord")
            << Fault::TruncatedRecord << QString() << QByteArray("2103")
            << QByteArray("2103\r728 04 61 03 4C \r\r>") << original << Lines::Memory;
        QTest::newRow("TruncatedRecord leaves other answers whole")
            << Fault::TruncatedRecord << QString() << QByteArray("22e219")
            << QByteArray("22e219\r728 05 62 E2 19 0A 02 \r\r>") << original << Lines::Memory;
        QTest::newRow("InterruptOnInput: the line feed stops a request")
            << Fault::InterruptOnInput << QString() << QByteArray("2103")
            << QByteArray("2103\rSTOPPED\r\r>") << original << Lines::Memory;
        QTest::newRow("InterruptOnInput: a stopped write has reached the cluster")
            << Fault::InterruptOnInput << QString() << QByteArray("3b034812")
            << QByteArray("3b034812\rSTOPPED\r\r>") << QByteArray::fromHex("4812") << Lines::Memory;
        QTest::newRow("InterruptOnInput leaves AT commands alone")
            << Fault::InterruptOnInput << QString() << QByteArray("ati")
            << QByteArray("ati\rELM327 v1.5\r\r>") << original << Lines::Memory;
        QTest::newRow("AlwaysStopped")
            << Fault::AlwaysStopped << QString() << QByteArray("2103")
            << QByteArray("2103\rSTOPPED\r\r>") << original << Lines::Memory;
        QTest::newRow("LineFeedAfterPrompt")
            << Fault::LineFeedAfterPrompt << QString() << QByteArray("2103") << normalRead + "\n"
            << original << Lines::Memory;
        // What depends on the line itself, once more over a pseudo-terminal:
        // pieces across reads, timed answers, a hang-up, a line feed in time.
        QTest::newRow("Pieces (pseudo-terminal)")
            << Fault::Pieces << QString() << QByteArray("2103") << normalRead << original
            << Lines::Real;
        QTest::newRow("ResponsePending (pseudo-terminal)")
            << Fault::ResponsePending << QString() << QByteArray("2103")
            << QByteArray("2103\r728 03 7F 21 78 \r728 04 61 03 4C 12 \r\r>") << original
            << Lines::Real;
        QTest::newRow("DisconnectMidAnswer (pseudo-terminal)")
            << Fault::DisconnectMidAnswer << QString() << QByteArray("2103")
            << QByteArray("2103\r728 04 61 0") << original << Lines::Real;
        QTest::newRow("InterruptOnInput (pseudo-terminal)")
            << Fault::InterruptOnInput << QString() << QByteArray("2103")
            << QByteArray("2103\rSTOPPED\r\r>") << original << Lines::Real;
    }

    void faults() {
        QFETCH(Fault, fault);
        QFETCH(QString, faultCommand);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, recordAfter);
        QFETCH(Lines, lines);
        TestHost host(lines);
        SimCore& sim = host.addSim(1);
        QSignalSpy stopped(&sim, &SimCore::stopped);
        HostLine line(host, sim);
        QVERIFY(line.open());
        QCOMPARE(line.exchange("ath1"), QByteArray("ath1\rOK\r\r>"));
        sim.config().fault = fault;
        sim.config().faultCommand = faultCommand;

        const qint64 start = line.nowMs();
        line.reads = 0;
        line.send(command);
        if (expected.isEmpty()) {
            host.wait(300);
        } else {
            host.waitUntil([&] { return line.data == expected; }, 2000);
        }
        const qint64 elapsed = line.nowMs() - start;
        host.wait(150);  // nothing may trail the answer
        QCOMPARE(line.data, expected);
        QCOMPARE(sim.record(), recordAfter);

        switch (fault) {
            case Fault::ResponsePending:
                QVERIFY2(elapsed >= 90, qPrintable(QString::number(elapsed)));
                break;
            case Fault::Pieces:
                QVERIFY2(line.reads >= 5, qPrintable(QString::number(line.reads)));
                QVERIFY2(elapsed >= 20, qPrintable(QString::number(elapsed)));
                break;
            case Fault::DisconnectMidAnswer:
                QCOMPARE(stopped.count(), 1);
                QVERIFY(!sim.isRunning());
                break;
            default:
                QCOMPARE(stopped.count(), 0);
                QVERIFY(sim.isRunning());
        }
    }

    void interruptOnInputAnswersALineEndedByCarriageReturnAlone() {
        TestHost host;
        SimCore& sim = host.addSim(1);
        HostLine line(host, sim);
        QVERIFY(line.open());
        QCOMPARE(line.exchange("ath1"), QByteArray("ath1\rOK\r\r>"));
        sim.config().fault = Fault::InterruptOnInput;
        line.write("2103\r");
        QVERIFY(line.waitForEnd(">"));
        QCOMPARE(line.data, QByteArray("2103\r728 04 61 03 4C 12 \r\r>"));
        // Any character while the request is processed stops it, not only a
        // line feed; it is used up by stopping the request.
        line.data.clear();
        line.write("2103\rx");
        QVERIFY(line.waitForEnd(">"));
        QCOMPARE(line.data, QByteArray("2103\rSTOPPED\r\r>"));
        QCOMPARE(sim.requests().mid(1), (QStringList{"2103", "2103"}));
    }

    // One character, "x", arrives ms after the command line: before the
    // prompt, or once it is out.
    void whatComesBeforeThePrompt_data() {
        QTest::addColumn<SimConfig>("config");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("inputAtMs");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("promptAtMs");
        const auto adapter = [](int promptDelayMs, EarlyInput early, Fault fault = Fault::None) {
            SimConfig c;
            c.promptDelayMs = promptDelayMs;
            c.earlyInput = early;
            c.fault = fault;
            return c;
        };
        const QByteArray read = "2103\r61 03 4C 12 \r\r";
        QTest::newRow("dropped, late prompt")
            << adapter(30, EarlyInput::Dropped) << QByteArray("2103") << 5 << read + ">" << 30;
        QTest::newRow("stops a request before its late prompt")
            << adapter(30, EarlyInput::Stops) << QByteArray("2103") << 25 << read + "STOPPED\r\r>"
            << 25;
        QTest::newRow("stops no AT command") << adapter(30, EarlyInput::Stops) << QByteArray("ati")
                                             << 5 << QByteArray("ati\rELM327 v1.5\r\r>x") << 30;
        QTest::newRow("InterruptOnInput: over once the answer is out")
            << adapter(30, EarlyInput::Kept, Fault::InterruptOnInput) << QByteArray("2103") << 25
            << read + ">x" << 50;
    }
    void whatComesBeforeThePrompt() {
        QFETCH(SimConfig, config);
        QFETCH(QByteArray, command);
        QFETCH(int, inputAtMs);
        QFETCH(QByteArray, expected);
        QFETCH(int, promptAtMs);
        TestHost host;
        SimCore& sim = host.addSim(1, config);
        HostLine line(host, sim);
        QVERIFY(line.open());
        const qint64 start = line.nowMs();
        line.write(command + '\r');
        host.vclock().after(inputAtMs, [&] { line.write("x"); });
        QVERIFY(host.waitUntil([&] { return line.data.contains('>'); }, 1000));
        QCOMPARE(line.nowMs() - start, promptAtMs);
        host.wait(200);
        QCOMPARE(line.data, expected);
        const bool lost = config.earlyInput == EarlyInput::Dropped && !expected.endsWith('x');
        QCOMPARE(sim.droppedBytes(), QByteArray(lost ? "x" : ""));
    }

    void pacing() {
        SimConfig config;
        // Ten frames of answer: about 235 characters, 245 ms at 9600 baud.
        config.e200 = QByteArray(60, '\x5A');
        TestHost host;
        SimCore& sim = host.addSim(1, config);
        HostLine line(host, sim);
        QVERIFY(line.open());
        line.exchange("ate0");

        qint64 start = line.nowMs();
        const QByteArray unpaced = line.exchange("22e200");
        QCOMPARE(line.nowMs() - start, 0);
        QVERIFY(unpaced.endsWith(">"));
        QVERIFY(unpaced.size() > 200);

        sim.config().baud = 9600;
        start = line.nowMs();
        QCOMPARE(line.exchange("22e200"), unpaced);
        const qint64 pacedMs = line.nowMs() - start;
        const qint64 wireMs = unpaced.size() * 10 * 1000 / 9600;
        QVERIFY2(
            pacedMs >= wireMs - 2 && pacedMs <= wireMs + 3,
            qPrintable(QStringLiteral("%1 ms for %2 ms of wire time").arg(pacedMs).arg(wireMs)));
    }

    void answerDelayLeavesEchoAlone() {
        SimConfig config;
        config.answerDelayMs = 200;
        config.resetDelayMs = 100;
        TestHost host;
        SimCore& sim = host.addSim(1, config);
        HostLine line(host, sim);
        QVERIFY(line.open());
        qint64 start = line.nowMs();
        line.send("2103");
        QVERIFY(line.waitForEnd("2103\r"));
        QCOMPARE(line.nowMs() - start, 0);  // the echo does not wait for the answer
        QVERIFY(line.waitForEnd(">"));
        QCOMPARE(line.nowMs() - start, 200);

        line.data.clear();
        start = line.nowMs();
        QVERIFY(line.exchange("atz").endsWith("ELM327 v1.5\r\r>"));
        QCOMPARE(line.nowMs() - start, 300);
    }

    void requestLog() {
        TestHost host;
        SimCore& sim = host.addSim(1);
        QSignalSpy received(&sim, &SimCore::requestReceived);
        HostLine line(host, sim);
        QVERIFY(line.open());
        // Several commands in one write, one with a bare carriage return.
        const QByteArray bytes = "atz\r\nAT E0\r\n2103\r";
        line.write(bytes);
        QVERIFY(host.waitUntil([&] { return received.count() == 3; }, 2000));
        QCOMPARE(sim.requests(), (QStringList{"atz", "AT E0", "2103"}));
        QCOMPARE(received.at(1).at(0).toString(), QStringLiteral("AT E0"));
        QCOMPARE(sim.receivedBytes(), bytes);
        QVERIFY(line.waitForEnd("61 03 4C 12 \r\r>"));
        QCOMPARE(sim.sentBytes(), line.data);

        sim.clearLog();
        QVERIFY(sim.requests().isEmpty());
        QVERIFY(sim.receivedBytes().isEmpty());
        QVERIFY(sim.sentBytes().isEmpty());
    }

    void linkAs() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString link = folder.filePath(QStringLiteral("ports/com3"));
        auto first = std::make_unique<SimAdapter>();
        QVERIFY(first->start());
        QString error;
        QVERIFY2(first->linkAs(folder.path(), 3, &error), qPrintable(error));
        QCOMPARE(QFileInfo(link).symLinkTarget(), first->slavePath());
        QCOMPARE(first->linkPath(), link);

        // A second sim takes the name over.
        auto second = std::make_unique<SimAdapter>();
        QVERIFY(second->start());
        QVERIFY(second->linkAs(folder.path(), 3));
        QCOMPARE(QFileInfo(link).symLinkTarget(), second->slavePath());
        {
            Line line(link);
            QVERIFY(line.open());
            QCOMPARE(line.exchange("atz"), QByteArray("atz\r\r\rELM327 v1.5\r\r>"));
        }
        QCOMPARE(second->requests(), QStringList{"atz"});
        QVERIFY(first->requests().isEmpty());

        // The first sim must not remove a link that is no longer its own.
        first.reset();
        QVERIFY(QFileInfo(link).isSymLink());
        second.reset();
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void stopIsLikeUnplugging() {
        SimAdapter sim;
        QSignalSpy stopped(&sim, &SimAdapter::stopped);
        QVERIFY(sim.start());
        const QString firstPath = sim.slavePath();
        {
            Line line(firstPath);
            QSignalSpy errors(&line.port, &QSerialPort::errorOccurred);
            QVERIFY(line.open());
            QVERIFY(line.exchange("atz").endsWith(">"));
            sim.stop();
            QVERIFY(!sim.isRunning());
            QCOMPARE(stopped.count(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(line.port.error() == QSerialPort::ResourceError, 2000);
        }
        sim.stop();
        QCOMPARE(stopped.count(), 1);  // only a running line can be unplugged

        // Plugged in again: a fresh adapter, echo on.
        QVERIFY(sim.start());
        Line line(sim.slavePath());
        QVERIFY(line.open());
        QCOMPARE(line.exchange("ati"), QByteArray("ati\rELM327 v1.5\r\r>"));
    }

    void idleLineDoesNotSpin() {
        SimAdapter sim;
        QVERIFY(sim.start());
        {
            Line line(sim.slavePath());
            QVERIFY(line.open());
            QVERIFY(line.exchange("atz").endsWith(">"));
            // Closed with an answer still on its way.
            line.send("2103");
        }
        const double before = cpuSeconds();
        QTest::qWait(300);
        const double used = cpuSeconds() - before;
        QVERIFY2(used < 0.1, qPrintable(QStringLiteral("%1 s of CPU while idle").arg(used)));

        // The answer left for nobody is dropped, and the line still works.
        sim.discardUnread();
        Line line(sim.slavePath());
        QVERIFY(line.open());
        QCOMPARE(line.exchange("ati"), QByteArray("ati\rELM327 v1.5\r\r>"));
    }

    void lineSpeedIsTheProgramsSetting_data() {
        QTest::addColumn<int>("opened");
        QTest::addColumn<int>("changed");
        QTest::newRow("9600 then 115200") << 9600 << 115200;
        QTest::newRow("38400 then 9600") << 38400 << 9600;
        QTest::newRow("115200 then 38400") << 115200 << 38400;
    }

    void lineSpeedIsTheProgramsSetting() {
        QFETCH(int, opened);
        QFETCH(int, changed);
        SimAdapter sim;
        QVERIFY(sim.start());
        Line line(sim.slavePath());
        line.port.setBaudRate(opened);
        QVERIFY(line.open());
        QCOMPARE(sim.lineSpeed(), opened);
        // Changed on the open port, as a program trying another speed does.
        QVERIFY(line.port.setBaudRate(changed));
        QCOMPARE(sim.lineSpeed(), changed);
        sim.stop();
        QCOMPARE(sim.lineSpeed(), 0);
    }

    void noiseAtAWrongSpeed() {
        SimConfig config;
        config.adapterSpeed = 115200;
        SimAdapter sim(config);
        QVERIFY(sim.start());
        Line line(sim.slavePath());
        line.port.setBaudRate(38400);
        QVERIFY(line.open());
        int promptInside = 0;
        int promptAtEnd = 0;
        int noPrompt = 0;
        QSet<QByteArray> bursts;
        qsizetype seen = 0;
        for (int i = 0; i < 24; ++i) {
            line.send("ate0");
            QTRY_VERIFY_WITH_TIMEOUT(sim.requests().size() == i + 1 && !sim.outputPending() &&
                                         line.data.size() == sim.sentBytes().size(),
                                     2000);
            const QByteArray burst = line.data.mid(seen);
            seen = line.data.size();
            // Neither the echo nor the answer, and something every time.
            QVERIFY(!burst.isEmpty());
            QVERIFY2(!burst.contains("ate0") && !burst.contains("OK"), burst.toHex().constData());
            bursts.insert(burst);
            if (burst.endsWith('>')) {
                ++promptAtEnd;
            } else if (burst.contains('>')) {
                ++promptInside;
            } else {
                ++noPrompt;
            }
        }
        // The rule a program must keep is exercised both ways, and the noise
        // does not repeat itself.
        QVERIFY2(promptAtEnd > 0 && promptInside > 0 && noPrompt > 0,
                 qPrintable(QStringLiteral("%1 at the end, %2 inside, %3 without")
                                .arg(promptAtEnd)
                                .arg(promptInside)
                                .arg(noPrompt)));
        QVERIFY(bursts.size() > 20);

        // Nothing reached the adapter's command interpreter: echo is still on.
        QVERIFY(line.port.setBaudRate(115200));
        QCOMPARE(line.exchange("ati"), QByteArray("ati\rELM327 v1.5\r\r>"));
    }

    void faultNames() {
        const QStringList names = tavrin::sim::faultNames();
        QCOMPARE(names.size(), 18);
        for (const QString& name : names) {
            bool ok = false;
            QCOMPARE(tavrin::sim::faultName(tavrin::sim::faultFromName(name, &ok)), name);
            QVERIFY(ok);
        }
        bool ok = false;
        QCOMPARE(tavrin::sim::faultFromName(QStringLiteral("reset-without-elm"), &ok),
                 Fault::ResetWithoutElm);
        QVERIFY(ok);
        tavrin::sim::faultFromName(QStringLiteral("Smoke"), &ok);
        QVERIFY(!ok);
    }
};

TAVRIN_TEST(SimTest)
#include "SimTest.moc"
