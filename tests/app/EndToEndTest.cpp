// The built programs as a user runs them: tavrin without a display, from a
// copy in a folder of its own, and for a whole Connect, tavrin-sim started
// beside it on a real pseudo-terminal, in real time.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "SimRig.h"
#include "app/CommandLine.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

struct ProcessRun {
    int code = -1;
    QString out;
    QString err;
};

// A copy of the program in a folder of its own: its settings and ports/comN
// links live beside it, as they do for a copy a user unpacks anywhere.
struct ProgramRig {
    ProgramRig() {
        program = QDir(dir.path()).filePath(QStringLiteral("tavrin"));
        ready = dir.isValid() && QFile::copy(QStringLiteral(TAVRIN_EXE), program) &&
                QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    }
    ~ProgramRig() {
        if (sim.state() == QProcess::NotRunning) return;
        sim.terminate();
        if (!sim.waitForFinished(5000)) sim.kill();
    }
    QString iniPath() const { return QDir(dir.path()).filePath(QStringLiteral("QUILLET.INI")); }

    // Starts tavrin-sim linked as COM3 in the program's folder, or, with
    // tcp, as a Wi-Fi adapter on a free port of 127.0.0.1.
    bool startSim(const QStringList& options = {}, bool tcp = false) {
        const QString ready =
            tcp ? QStringLiteral("Simulated adapter on socket://") : QStringLiteral("Linked as");
        sim.start(QStringLiteral(TAVRIN_SIM_EXE),
                  (tcp ? QStringList{"--tcp", "0"}
                       : QStringList{"--link-folder", dir.path(), "--com", "3"}) +
                      options);
        QElapsedTimer t;
        t.start();
        while (!simOut.contains(ready) && t.elapsed() < 5000) {
            if (!sim.waitForReadyRead(100) && sim.state() == QProcess::NotRunning) return false;
            simOut += QString::fromLocal8Bit(sim.readAllStandardOutput());
        }
        static const QRegularExpression device(QStringLiteral("Simulated adapter on (\\S+)"));
        simDevice = device.match(simOut).captured(1);
        return simOut.contains(ready);
    }
    // The command lines tavrin-sim reports, once it has been stopped.
    QStringList simRequests() {
        sim.terminate();
        sim.waitForFinished(5000);
        simOut += QString::fromLocal8Bit(sim.readAllStandardOutput());
        QStringList lines;
        static const QRegularExpression entry(
            QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)$"));
        for (const QString& line : simOut.split('\n')) {
            const auto m = entry.match(line);
            if (m.hasMatch()) lines << m.captured(1);
        }
        return lines;
    }

    // Runs the program with no display at all.
    ProcessRun run(const QStringList& args, int limitMs = 30000) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(env);
        QSignalSpy finished(&process, &QProcess::finished);
        process.start(program, args);
        ProcessRun r;
        if (!finished.wait(limitMs)) {
            process.kill();
            process.waitForFinished();
            r.err = QStringLiteral("did not finish within %1 ms").arg(limitMs);
            return r;
        }
        r.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        r.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(process.readAllStandardError());
        return r;
    }

    QTemporaryDir dir;
    QString program;
    bool ready = false;
    QProcess sim;
    QString simOut;
    QString simDevice;  // the pseudo-terminal's slave end
};

// The lines a whole Connect sends, as tavrin-sim reports them.
const QStringList kConnectLines = {"atz",    "atcaf1", "atspa6", "atsh720", "ath1",
                                   "22e21a", "22e217", "22e219", "22e200",  "2103"};

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
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
        const ProcessRun r = rig.run({option});
        QCOMPARE(r.code, kExitDone);
        QVERIFY2(r.out.contains(printed), qPrintable(r.out));
        QCOMPARE(r.err, QString());
    }

    // A misuse: exit status 2, one line naming the problem, and where help is.
    void misuseExitsTwoWithOneLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("line");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "unknown option 'bogus'";
        QTest::newRow("Qt's own option")
            << QStringList{"-platform", "xcb"} << "unknown option 'platform'";
        QTest::newRow("missing value")
            << QStringList{"--police"} << "missing value after '--police'";
        QTest::newRow("police maybe")
            << QStringList{"--police", "maybe"} << "--police takes on or off, not \"maybe\"";
        QTest::newRow("given twice") << QStringList{"--police", "on", "--police", "off"}
                                     << "--police is given more than once";
        QTest::newRow("two modes") << QStringList{"--status", "--police", "on"}
                                   << "--status and --police cannot be used together";
        QTest::newRow("override alone")
            << QStringList{"--port", "3"} << "--port goes with --status or --police";
        QTest::newRow("speed not offered") << QStringList{"--status", "--speed", "12345"}
                                           << "--speed takes 9600, 38400 or 115200, not \"12345\"";
        QTest::newRow("speed fraction") << QStringList{"--status", "--speed", "9600.5"}
                                        << "--speed takes 9600, 38400 or 115200, not \"9600.5\"";
        QTest::newRow("port 0") << QStringList{"--status", "--port", "0"}
                                << "--port takes a port number such as 3 or COM3, a device such as "
                                   "/dev/ttyUSB0, or a Wi-Fi adapter as socket://HOST:PORT, not "
                                   "\"0\"";
        QTest::newRow("port too large") << QStringList{"--status", "--port", "40000"}
                                        << "--port takes a port number such as 3 or COM3, a "
                                           "device such as /dev/ttyUSB0, or a Wi-Fi adapter as "
                                           "socket://HOST:PORT, not \"40000\"";
        QTest::newRow("stray argument")
            << QStringList{"--status", "now"} << "unexpected argument 'now'";
    }
    void misuseExitsTwoWithOneLine() {
        QFETCH(QStringList, args);
        QFETCH(QString, line);
        ProgramRig rig;
        QVERIFY(rig.ready);
        const ProcessRun r = rig.run(args);
        QCOMPARE(r.code, kExitUsage);
        QCOMPARE(r.err, "tavrin: " + line + "\nTry 'tavrin --help' for more information.\n");
        QCOMPARE(r.out, QString());
    }

    void windowWithoutADisplaySaysSoInOneLine() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        const ProcessRun r = rig.run({});
        QCOMPARE(r.code, kExitFailed);
        QVERIFY2(r.err.contains("desktop session") && r.err.count('\n') == 1, qPrintable(r.err));
        QVERIFY2(r.err.contains("--demo"), qPrintable(r.err));
        // It ended before reading, let alone writing, any settings.
        QVERIFY(!QFile::exists(rig.iniPath()));
    }

    void statusAndAChangeAgainstTheSimulatorProgram() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        QVERIFY(rig.startSim({"--baud", "38400"}));
        QVERIFY(writeSettings(rig.dir.path(), 3, "38400"));
        const QString lines =
            "part-number: 3R23-123-FB\nadapter: ELM327 v1.5\nmodel: BA Fairmont Ghia\n";

        ProcessRun r = rig.run({"--list-ports"});
        QCOMPARE(r.code, kExitDone);
        const QString listed = QStringLiteral("COM3  %1 \u2192 %2\n")
                                   .arg(QDir(rig.dir.path()).filePath("ports/com3"), rig.simDevice);
        QVERIFY2(r.out.contains(listed), qPrintable(r.out));

        // The device itself, as a Linux user knows it.
        r = rig.run({"--status", "--port", rig.simDevice});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, lines + "police-mode: ON\n");

        r = rig.run({"--police", "off"});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, lines + "police-mode: OFF\nchange: ON -> OFF\n");

        const QStringList toggle{"2103", "3b034812", "2103"};
        QCOMPARE(rig.simRequests(), kConnectLines + kConnectLines + toggle);
    }
};

// A Wi-Fi adapter, as tavrin-sim --tcp offers one on the loopback: a class
// of its own, so that it runs beside the one above.
class WifiEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void policeOffThenOnOverTheNetwork() {
        ProgramRig rig;
        QVERIFY(rig.ready);
        QVERIFY(rig.startSim({"--baud", "38400"}, /*tcp=*/true));
        QVERIFY2(rig.simDevice.startsWith("socket://127.0.0.1:"), qPrintable(rig.simDevice));
        const QString lines =
            "part-number: 3R23-123-FB\nadapter: ELM327 v1.5\nmodel: BA Fairmont Ghia\n";

        ProcessRun r = rig.run({"--police", "off", "--port", rig.simDevice});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, lines + "police-mode: OFF\nchange: ON -> OFF\n");
        r = rig.run({"--police", "on", "--port", rig.simDevice});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.code, kExitDone);
        QCOMPARE(r.out, lines + "police-mode: ON\nchange: OFF -> ON\n");

        const QStringList off{"2103", "3b034812", "2103"};
        const QStringList on{"2103", "3b034c12", "2103"};
        QCOMPARE(rig.simRequests(), kConnectLines + off + kConnectLines + on);
    }
};

TAVRIN_TEST(EndToEndTest)
TAVRIN_TEST(WifiEndToEndTest)
#include "EndToEndTest.moc"
