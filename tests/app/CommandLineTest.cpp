// The command-line mode: its parsing, and --status and --police run in this
// process against the simulated adapter in memory, on virtual time. The
// built programs themselves are run in EndToEndTest.
#include <QFile>
#include <QTest>
#include <QTextStream>

#include <csignal>

#include "SimRig.h"
#ifdef Q_OS_WIN
#include <atomic>

#include "platform/Win32.h"
#endif
#include "app/CommandLine.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using namespace tavrin::test;
using Mode = tavrin::CommandLine::Mode;

namespace {

const QStringList kConnectRequests = {"atz",    "atcaf1", "atspa6", "atsh720", "ath1",
                                      "22e21a", "22e217", "22e219", "22e200",  "2103"};

struct Run {
    int code = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

// The program's command line on a host of the tests' own, with the
// simulator linked as COM3 beside the settings.
struct CommandRig {
    explicit CommandRig(sim::SimConfig config = {}) : sim(host.addSim(3, config)) {}
    QString iniPath() const {
        return QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI"));
    }
    Run run(const QStringList& args) {
        Run r;
        QTextStream out(&r.out);
        QTextStream err(&r.err);
        const qint64 start = host.clock().nowMs();
        r.code = host.finish(RunCommandLine(ParseCommandLine(args), host, out, err));
        out.flush();
        err.flush();
        r.ms = host.clock().nowMs() - start;
        return r;
    }

    TestHost host;
    sim::SimCore& sim;
};

const QString kStatusLines =
    "part-number: 3R23-123-FB\n"
    "adapter: ELM327 v1.5\n"
    "model: BA Fairmont Ghia\n";

#ifdef Q_OS_WIN
// Windows tells a console program of Ctrl-C through its console, so this
// process gets a console of its own (Wine gives a program whose output is a
// pipe none that takes such events), and the event is raised there. The program's handler runs on a
// thread of the console's: the event has been taken once a handler put in after the program's, and
// so called before it, has seen it and the program's has had its turn.
std::atomic<bool> consoleEventSeen{false};
BOOL WINAPI noteConsoleEvent(DWORD) {
    consoleEventSeen = true;
    return FALSE;
}
void raiseConsoleEvent(DWORD event) {
    static const bool ownConsole = FreeConsole() && AllocConsole();
    if (!ownConsole) qFatal("no console of this test's own");
    consoleEventSeen = false;
    SetConsoleCtrlHandler(noteConsoleEvent, TRUE);
    if (!GenerateConsoleCtrlEvent(event, 0)) qFatal("GenerateConsoleCtrlEvent failed");
    for (int i = 0; i < 200 && !consoleEventSeen; ++i) Sleep(10);
    Sleep(50);
    SetConsoleCtrlHandler(noteConsoleEvent, FALSE);
}
#endif

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    // The forms each option takes; what a misuse prints is EndToEndTest's.
    void parsing_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("policeOn");
        QTest::addColumn<int>("port");  // 0: not given
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("speed");
        QTest::newRow("nothing") << QStringList{} << int(Mode::Window) << false << 0 << ""
                                 << "";
        QTest::newRow("help wins")
            << QStringList{"--status", "--help"} << int(Mode::Help) << false << 0 << ""
            << "";
        QTest::newRow("-h") << QStringList{"-h"} << int(Mode::Help) << false << 0 << ""
                            << "";
        QTest::newRow("police=OFF")
            << QStringList{"--police=OFF"} << int(Mode::Police) << false << 0 << ""
            << "";
        QTest::newRow("overrides") << QStringList{"--port", "COM4", "--speed=115200", "--status"}
                                   << int(Mode::Status) << false << 4 << ""
                                   << "115200";
        QTest::newRow("port number")
            << QStringList{"--police", "on", "--port=12"} << int(Mode::Police) << true << 12 << ""
            << "";
        // A device by the system's own name for it.
#ifdef Q_OS_WIN
        const QString device = QStringLiteral("\\\\.\\BthModem0");
#else
        const QString device = QStringLiteral("/dev/rfcomm0");
#endif
        QTest::newRow("device") << QStringList{"--status", "--port", device} << int(Mode::Status)
                                << false << 0 << device << "";
        QTest::newRow("list ports")
            << QStringList{"--list-ports"} << int(Mode::ListPorts) << false << 0 << ""
            << "";
        QTest::newRow("find") << QStringList{"--find"} << int(Mode::Find) << false << 0 << ""
                              << "";
        QTest::newRow("history") << QStringList{"--history"} << int(Mode::History) << false << 0
                                 << ""
                                 << "";
    }
    void parsing() {
        QFETCH(QStringList, args);
        QFETCH(int, mode);
        QFETCH(bool, policeOn);
        QFETCH(int, port);
        QFETCH(QString, device);
        QFETCH(QString, speed);
        const CommandLine c = ParseCommandLine(args);
        QCOMPARE(c.error, QString());
        QCOMPARE(int(c.mode), mode);
        QCOMPARE(c.policeOn, policeOn);
        QCOMPARE(c.port.value_or(0), qint16(port));
        QCOMPARE(c.device.value_or(QString()), device);
        QCOMPARE(c.speed.value_or(QString()), speed);
    }

    // At a terminal, advice names options, not the window's dialogs.
    void adviceNamesTheOptions_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("adapterSpeed");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("advice");
        QTest::newRow("silent adapter") << int(sim::Fault::Silence) << 0 << QStringList{"--status"}
                                        << "Unable to Connect To ELM"
                                        << "that --port and --speed are the adapter's";
        QTest::newRow("wrong speed") << int(sim::Fault::None) << 115200 << QStringList{"--status"}
                                     << "the line speed is probably wrong"
                                     << "Give its speed with --speed (tavrin --find can find it)";
        QTest::newRow("missing port")
            << int(sim::Fault::None) << 0 << QStringList{"--status", "--port", "7"}
            << "The port cannot be used."
            << "or give another port with --port";
    }
    void adviceNamesTheOptions() {
        QFETCH(int, fault);
        QFETCH(int, adapterSpeed);
        QFETCH(QStringList, args);
        QFETCH(QString, text);
        QFETCH(QString, advice);
        sim::SimConfig config;
        config.fault = sim::Fault(fault);
        config.adapterSpeed = adapterSpeed;
        CommandRig rig(config);
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run(args);
        QCOMPARE(r.code, kExitFailed);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.contains(text) && r.err.contains(advice), qPrintable(r.err));
        QVERIFY2(!r.err.contains("Setup") && !r.err.contains("click"), qPrintable(r.err));
    }

    void findPrintsWhatItFoundAndSavesNothing() {
        sim::SimConfig config;
        config.adapterSpeed = 115200;
        CommandRig rig(config);
        const Run r = rig.run({"--find"});
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, QString("Found ELM327 v1.5 on COM3 at 115200 bit/s: all set-up commands "
                                "answered OK. Use it with --port 3 --speed 115200; nothing was "
                                "saved.\nThis adapter calls itself v1.5, a version the ELM327 "
                                "never had: a clone; if it drops commands, try 38400 bit/s.\n"));
        QVERIFY(r.err.contains("COM3 at 115200\u2026"));
        QVERIFY(!QFile::exists(rig.iniPath()));
    }

    void statusPrintsTheClusterAndLeavesTheSettingsAlone() {
        CommandRig rig;
        const QByteArray ini = "QUILLET v1.00 INI File\r\nComPort=COM3\r\nComSpeed=38400\r\n";
        QVERIFY(writeFile(rig.iniPath(), ini));
        const Run r = rig.run({"--status"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, kStatusLines + "police-mode: ON\n");
        QCOMPARE(rig.sim.requests(), kConnectRequests);
        QCOMPARE(readFile(rig.iniPath()), ini);
    }

    void policeOffOnAnOnRecordWritesOnce() {
        CommandRig rig;
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, kStatusLines + "police-mode: OFF\nchange: ON -> OFF\n");
        const QStringList afterConnect{"2103", "3b034812", "2103"};
        QCOMPARE(rig.sim.requests(), kConnectRequests + afterConnect);
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4812"));
        // The command line keeps the same history as the window.
        const QByteArray history = readFile(QDir(rig.host.programFolder()).filePath("history.csv"));
        QCOMPARE(history.count("\r\n"), 3);
        QVERIFY(history.contains(",before,4C12,3b034812,\r\n"));
        QVERIFY(history.contains(",after,4812,3b034812,applied\r\n"));
    }

    void policeOnOnAnOnRecordWritesNothing() {
        CommandRig rig;
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run({"--police", "on"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, kStatusLines + "police-mode: ON\nchange: none, already ON\n");
        QCOMPARE(rig.sim.requests(), kConnectRequests + QStringList{"2103"});
    }

    void refusedWriteExitsOneWithTheWindowsMessage() {
        sim::SimConfig config;
        config.fault = sim::Fault::NegativeWrite;
        config.negativeCode = 0x33;
        CommandRig rig(config);
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.startsWith("The cluster refused the change: the cluster refused the "
                                  "request with code 33 (security access denied).\n"),
                 qPrintable(r.err));
        QCOMPARE(r.out, kStatusLines + "police-mode: ON\n");
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4C12"));
    }

    // Ctrl-C or SIGTERM before the write cancels and lets the port go; once
    // the write is sent, its outcome is read back, recorded and printed.
    // Windows has no SIGTERM: a console's Ctrl-C there (Wine raises no
    // Ctrl-Break, and the program takes both alike).
    void interruptedBeforeOrAfterTheWrite_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("when");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("writes");
        QTest::newRow("Ctrl-C during Connect") << SIGINT << "connect" << 130 << 0;
#ifdef Q_OS_WIN
        QTest::newRow("Ctrl-C before the write") << SIGINT << "pause" << 130 << 0;
        QTest::newRow("Ctrl-C once the write is sent") << SIGINT << "write" << kExitDone << 1;
#else
        QTest::newRow("SIGTERM before the write") << SIGTERM << "pause" << 143 << 0;
        QTest::newRow("SIGTERM once the write is sent") << SIGTERM << "write" << kExitDone << 1;
#endif
    }
    void interruptedBeforeOrAfterTheWrite() {
        QFETCH(int, signal);
        QFETCH(QString, when);
        QFETCH(int, code);
        QFETCH(int, writes);
        CommandRig rig;
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
#ifdef Q_OS_WIN
        Q_UNUSED(signal);
        const auto interrupt = [] { raiseConsoleEvent(CTRL_C_EVENT); };
#else
        const auto interrupt = [signal] { std::raise(signal); };
#endif
        if (when == "connect") rig.host.vclock().after(1200, interrupt);
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (when == "pause" && line == "2103" && rig.sim.requests().count("2103") == 2)
                rig.host.vclock().after(200, interrupt);
            if (when == "write" && line.startsWith("3b")) interrupt();
        });
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.code, code);
        QCOMPARE(writesSeen(rig.sim).size(), writes);
        const QString history = QDir(rig.host.programFolder()).filePath("history.csv");
        QCOMPARE(readFile(history).count("\r\n"), writes ? 3 : 0);
        if (writes) {
            QCOMPARE(r.out, kStatusLines + "police-mode: OFF\nchange: ON -> OFF\n");
            QVERIFY2(r.err.startsWith("Finishing the change"), qPrintable(r.err));
        } else {
            QCOMPARE(r.out, QString());
        }
        // The port was let go, and the handlers are gone with the run.
        QCOMPARE(rig.host.finish(ProbeComPort(3, rig.host.programFolder(), nullptr, rig.host)),
                 ProbeResult::Available);
    }

    void lostDuringTheWriteIsUnknown() {
        sim::SimConfig config;
        config.fault = sim::Fault::DisconnectMidAnswer;
        config.faultCommand = "3b03";
        CommandRig rig(config);
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.code, kExitFailed);
        QCOMPARE(r.out, kStatusLines + "police-mode: unknown\n");
    }

    void overridesApplyForOneRunWithoutWritingAnything() {
        CommandRig rig;
        // No settings file at all: the overrides say everything needed.
        const Run r = rig.run({"--status", "--port", "COM3", "--speed", "38400"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, kStatusLines + "police-mode: ON\n");
        QVERIFY(!QFile::exists(rig.iniPath()));
    }

    void silentAdapterEndsWithinTheWatchdog() {
        sim::SimConfig config;
        config.fault = sim::Fault::Silence;
        CommandRig rig(config);
        QVERIFY(writeSettings(rig.host.programFolder(), 3, "38400"));
        const Run r = rig.run({"--status"});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.startsWith("Unable to Connect To ELM\n"), qPrintable(r.err));
        QCOMPARE(r.out, QString());
        // The 6-second watchdog, not the 10-second answer limit, ends it.
        QCOMPARE(r.ms, 6000);
        QCOMPARE(rig.sim.requests(), QStringList{"atz"});
    }
};

TAVRIN_TEST(CommandLineTest)
#include "CommandLineTest.moc"
