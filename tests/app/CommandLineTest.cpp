// The command-line mode: its parsing, and the real program run as a process
// without a display against the simulated adapter, from a copy of the
// executable in a temporary folder that holds its own settings and links.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "SimRig.h"
#include "app/CommandLine.h"

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

// A copy of the program in a folder of its own: its settings and ports/comN
// links live beside it, as they do for a copy a user unpacks anywhere.
struct ProgramRig {
    explicit ProgramRig(sim::SimConfig config = {}) : sim(config) {
        program = QDir(dir.path()).filePath(QStringLiteral("tavrin"));
        ready = dir.isValid() && QFile::copy(QStringLiteral(TAVRIN_EXE), program) &&
                QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner) &&
                sim.start() && sim.linkAs(dir.path(), 3);
    }
    QString iniPath() const { return QDir(dir.path()).filePath(QStringLiteral("QUILLET.INI")); }

    // Runs the program with no display at all; the simulator keeps
    // answering meanwhile, since it lives in this event loop.
    Run run(const QStringList& args, int limitMs = 30000) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(env);
        QSignalSpy finished(&process, &QProcess::finished);
        QElapsedTimer t;
        t.start();
        process.start(program, args);
        Run r;
        if (!finished.wait(limitMs)) {
            process.kill();
            process.waitForFinished();
            r.err = QStringLiteral("did not finish within %1 ms").arg(limitMs);
            return r;
        }
        r.ms = t.elapsed();
        r.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        r.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(process.readAllStandardError());
        return r;
    }

    QTemporaryDir dir;
    sim::SimAdapter sim;
    QString program;
    bool ready = false;
};

const QString kStatusLines =
    "part-number: 3R23-123-FB\n"
    "adapter: ELM327 v1.5\n"
    "model: BA Fairmont Ghia\n";

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void parsing_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("policeOn");
        QTest::addColumn<int>("port");  // 0: not given
        QTest::addColumn<QString>("speed");
        QTest::newRow("nothing") << QStringList{} << int(Mode::Window) << false << 0 << "";
        QTest::newRow("help") << QStringList{"--help"} << int(Mode::Help) << false << 0 << "";
        QTest::newRow("help wins")
            << QStringList{"--status", "--help"} << int(Mode::Help) << false << 0 << "";
        QTest::newRow("version") << QStringList{"--version"} << int(Mode::Version) << false << 0
                                 << "";
        QTest::newRow("status") << QStringList{"--status"} << int(Mode::Status) << false << 0 << "";
        QTest::newRow("police on")
            << QStringList{"--police", "on"} << int(Mode::Police) << true << 0 << "";
        QTest::newRow("police=OFF")
            << QStringList{"--police=OFF"} << int(Mode::Police) << false << 0 << "";
        QTest::newRow("overrides") << QStringList{"--port", "COM4", "--speed=115200", "--status"}
                                   << int(Mode::Status) << false << 4 << "115200";
        QTest::newRow("port number") << QStringList{"--police", "off", "--port=12"}
                                     << int(Mode::Police) << false << 12 << "";
        QTest::newRow("unknown") << QStringList{"--bogus"} << int(Mode::Invalid) << false << 0
                                 << "";
        QTest::newRow("Qt's own option")
            << QStringList{"-platform", "xcb"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("police without value")
            << QStringList{"--police"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("police maybe")
            << QStringList{"--police", "maybe"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("both modes")
            << QStringList{"--status", "--police", "on"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("override alone")
            << QStringList{"--port", "3"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("port 0") << QStringList{"--status", "--port", "0"} << int(Mode::Invalid)
                                << false << 0 << "";
        QTest::newRow("port too large")
            << QStringList{"--status", "--port", "40000"} << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("speed fraction") << QStringList{"--status", "--speed", "9600.5"}
                                        << int(Mode::Invalid) << false << 0 << "";
        QTest::newRow("speed zero")
            << QStringList{"--status", "--speed", "0"} << int(Mode::Invalid) << false << 0 << "";
    }
    void parsing() {
        QFETCH(QStringList, args);
        QFETCH(int, mode);
        QFETCH(bool, policeOn);
        QFETCH(int, port);
        QFETCH(QString, speed);
        const CommandLine c = ParseCommandLine(args);
        QCOMPARE(int(c.mode), mode);
        QCOMPARE(c.error.isEmpty(), mode != int(Mode::Invalid));
        if (mode == int(Mode::Invalid)) return;
        QCOMPARE(c.policeOn, policeOn);
        QCOMPARE(c.port.value_or(0), qint16(port));
        QCOMPARE(c.speed.value_or(QString()), speed);
    }

    void helpAndVersionNeedNoDisplay_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("printed");
        QTest::newRow("version") << "--version"
                                 << "Tavrin 1.0.0\n";
        QTest::newRow("licence") << "--version"
                                 << "GNU GPL version 3 or later";
        QTest::newRow("help") << "--help"
                              << "--police on|off";
    }
    void helpAndVersionNeedNoDisplay() {
        QFETCH(QString, option);
        QFETCH(QString, printed);
        ProgramRig rig;
        QVERIFY(rig.ready);
        const Run r = rig.run({option});
        QCOMPARE(r.code, kExitDone);
        QVERIFY2(r.out.contains(printed), qPrintable(r.out));
        QCOMPARE(r.err, QString());
        QVERIFY(rig.sim.requests().isEmpty());
    }

    void badUsageExitsTwoWithTheUsage() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        const Run r = rig.run({"--police", "sideways"});
        QCOMPARE(r.code, kExitUsage);
        QVERIFY2(r.err.contains("sideways") && r.err.contains("Usage: tavrin"), qPrintable(r.err));
        QCOMPARE(r.out, QString());
        QVERIFY(rig.sim.requests().isEmpty());
    }

    void windowWithoutADisplaySaysSoInOneLine() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        const Run r = rig.run({});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.contains("desktop session") && r.err.count('\n') == 1, qPrintable(r.err));
        QVERIFY2(r.err.contains("--demo"), qPrintable(r.err));
        // It ended before reading, let alone writing, any settings.
        QVERIFY(!QFile::exists(rig.iniPath()));
    }

    void statusPrintsTheClusterAndLeavesTheSettingsAlone() {
        ProgramRig rig;
        QVERIFY(rig.ready);
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
        ProgramRig rig;
        QVERIFY(rig.ready);
        QVERIFY(writeSettings(rig.dir.path(), 3, "38400"));
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, kStatusLines + "police-mode: OFF\nchange: ON -> OFF\n");
        const QStringList afterConnect{"2103", "3b034812", "2103"};
        QCOMPARE(rig.sim.requests(), kConnectRequests + afterConnect);
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4812"));
        // The command line keeps the same history as the window.
        const QByteArray history = readFile(QDir(rig.dir.path()).filePath("history.csv"));
        QCOMPARE(history.count("\r\n"), 3);
        QVERIFY(history.contains(",before,4C12,3b034812,\r\n"));
        QVERIFY(history.contains(",after,4812,3b034812,applied\r\n"));
    }

    void policeOnOnAnOnRecordWritesNothing() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        QVERIFY(writeSettings(rig.dir.path(), 3, "38400"));
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
        ProgramRig rig(config);
        QVERIFY(rig.ready);
        QVERIFY(writeSettings(rig.dir.path(), 3, "38400"));
        const Run r = rig.run({"--police", "off"});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.startsWith("The cluster refused the change: the cluster refused the "
                                  "request with code 33 (security access denied).\n"),
                 qPrintable(r.err));
        QCOMPARE(r.out, kStatusLines + "police-mode: ON\n");
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4C12"));
    }

    void overridesApplyForOneRunWithoutWritingAnything() {
        ProgramRig rig;
        QVERIFY(rig.ready);
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
        ProgramRig rig(config);
        QVERIFY(rig.ready);
        QVERIFY(writeSettings(rig.dir.path(), 3, "38400"));
        const Run r = rig.run({"--status"});
        QCOMPARE(r.code, kExitFailed);
        QCOMPARE(r.err, QString("Unable to Connect To ELM\n"));
        QCOMPARE(r.out, QString());
        // The 6-second watchdog, not the 10-second answer limit, ends it.
        QVERIFY2(r.ms < 9000, qPrintable(QString::number(r.ms)));
        QCOMPARE(rig.sim.requests(), QStringList{"atz"});
    }

    void missingPortExitsOneWithThePortCheck() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        if (QFile::exists("/dev/ttyACM2")) QSKIP("this machine has /dev/ttyACM2");
        const Run r = rig.run({"--status", "--port", "7", "--speed", "38400"});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.startsWith("ERROR! Comm Port is either in use or not found!\nCOM7"),
                 qPrintable(r.err));
        QVERIFY(rig.sim.requests().isEmpty());
    }
};

TAVRIN_TEST(CommandLineTest)
#include "CommandLineTest.moc"
