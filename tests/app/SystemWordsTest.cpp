// The advice that depends on the system is in the system's own terms, and
// none of the other system's; the command line reads the system's own names
// of a device.
#include <QTest>

#include "TestSupport.h"
#include "app/CommandLine.h"
#include "cluster/SessionWords.h"
#include "serial/AdapterFinder.h"
#include "serial/PortCheck.h"

using namespace tavrin;

namespace {

// Words that belong to Linux alone, and to Windows alone.
const QStringList kLinuxWords = {"dialout", "paired and bound", "rfcomm", "udev",
                                 "/dev/",   "ports/com",        "adduser"};
const QStringList kWindowsWords = {"Device Manager", "Windows", "\\\\.\\", "driver"};

#ifdef Q_OS_WIN
const QStringList& kForeign = kLinuxWords;
#else
const QStringList& kForeign = kWindowsWords;
#endif

FinderReport nothingAnswered() {
    FinderReport report;
    report.searched = {1, 3};
    SkippedPort skipped;
    skipped.port = 4;
    skipped.probe = ProbeResult::NoPermission;
    report.skipped = {skipped};
    return report;
}

}  // namespace

class SystemWordsTest : public QObject {
    Q_OBJECT

private slots:
    // Every text that gives system advice: what it must say here.
    void advice_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("linux");
        QTest::addColumn<QStringList>("windows");
        QTest::newRow("no permission")
            << ProbeDetail(ProbeResult::NoPermission, QStringLiteral("COM3"), QString(),
                           Audience::Window)
            << QStringList{"You do not have permission to open COM3.", "sudo adduser $USER dialout"}
            << QStringList{"You do not have permission to open COM3.", "Device Manager",
                           "Ports (COM & LPT)"};
        // A hand-edited "ComPort = COM5" reads as port 0.
        QTest::newRow("port 0, window")
            << ProbeDetail(ProbeResult::NotFound, qint16(0), QString(), Audience::Window)
            << QStringList{"COM0 stands for no device", "ports/com0 beside the settings file"}
            << QStringList{"COM0 is not a port", "numbers its ports from COM1", "in Setup",
                           "ComPort=COM3, with no blanks"};
        QTest::newRow("port 0, terminal")
            << ProbeDetail(ProbeResult::NotFound, qint16(0), QString(), Audience::Terminal)
            << QStringList{"COM0 stands for no device", "give the device itself with --port"}
            << QStringList{"COM0 is not a port", "Give the port with --port",
                           "ComPort=COM3, with no blanks"};
        QTest::newRow("nothing answered")
            << words::DescribeSearch(nothingAnswered(), Audience::Terminal)
            << QStringList{"No adapter answered on COM1 or COM3",
                           "(a Bluetooth adapter: paired and bound)",
                           "that you may use serial ports (join the \"dialout\" group)",
                           "no permission; join the \"dialout\" group"}
            << QStringList{"No adapter answered on COM1 or COM3",
                           "(a Bluetooth adapter: paired in Windows' Bluetooth settings)",
                           "that its driver is installed (Device Manager",
                           "no permission; another program or service may hold it"};
        QTest::newRow("--help") << UsageText() << QStringList{"a device such as /dev/ttyUSB0"}
                                << QStringList{"a device name such as \\\\.\\COM3"};
        QTest::newRow("--port refused") << ParseCommandLine({"--status", "--port", "COMX"}).error
                                        << QStringList{"a device such as /dev/ttyUSB0"}
                                        << QStringList{"a device name such as \\\\.\\COM3"};
    }
    void advice() {
        QFETCH(QString, text);
        QFETCH(QStringList, linux);
        QFETCH(QStringList, windows);
#ifdef Q_OS_WIN
        const QStringList& expected = windows;
#else
        const QStringList& expected = linux;
#endif
        const QString flat =
            QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')).simplified();
        for (const QString& phrase : expected)
            QVERIFY2(flat.contains(phrase, Qt::CaseInsensitive), qPrintable(flat));
        for (const QString& word : kForeign)
            QVERIFY2(!flat.contains(word, Qt::CaseInsensitive), qPrintable(word + ": " + flat));
    }

    // The system's own ways of naming a port on --port.
    void portArgument_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<int>("port");  // 0: not a port number
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("refused");
#ifdef Q_OS_WIN
        QTest::newRow("\\\\.\\COM3") << "\\\\.\\COM3" << 3 << "" << false;
        QTest::newRow("any case") << "\\\\.\\com21" << 21 << "" << false;
        QTest::newRow("another device") << "\\\\.\\CNCA0" << 0 << "\\\\.\\CNCA0" << false;
        QTest::newRow("a Linux device") << "/dev/ttyUSB0" << 0 << "" << true;
        QTest::newRow("the prefix alone") << "\\\\.\\" << 0 << "" << true;
#else
        QTest::newRow("a device") << "/dev/ttyUSB0" << 0 << "/dev/ttyUSB0" << false;
        QTest::newRow("a Windows device name") << "\\\\.\\COM3" << 0 << "" << true;
#endif
        QTest::newRow("COM3") << "COM3" << 3 << "" << false;
    }
    void portArgument() {
        QFETCH(QString, given);
        QFETCH(int, port);
        QFETCH(QString, device);
        QFETCH(bool, refused);
        const CommandLine c = ParseCommandLine({"--status", "--port", given});
        QCOMPARE(c.mode == CommandLine::Mode::Invalid, refused);
        if (refused) {
            QVERIFY2(c.error.contains(given), qPrintable(c.error));
            return;
        }
        QCOMPARE(c.port.value_or(0), qint16(port));
        QCOMPARE(c.device.value_or(QString()), device);
    }
};

TAVRIN_TEST(SystemWordsTest)
#include "SystemWordsTest.moc"
