// What only the Windows build has: COM names as Windows gives them, the
// system's port probe, and the per-user folder in the roaming profile. The
// Win32 line's faults on a real port are in the Windows end-to-end run.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "TestSupport.h"
#include "platform/Ports.h"
#include "platform/SerialDevice.h"
#include "platform/System.h"
#include "runtime/SerialLine.h"

using namespace tavrin;

class WindowsPortTest : public QObject {
    Q_OBJECT

private slots:
    void namedPortsOpenAsWindowsNamesThem_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("opened");
        QTest::newRow("plain") << "COM4"
                               << "COM4";
        QTest::newRow("lower case, two digits") << "com12"
                                                << "COM12";
        QTest::newRow("device namespace") << "\\\\.\\COM3"
                                          << "COM3";
        QTest::newRow("spaces around") << " COM5 "
                                       << "COM5";
    }
    void namedPortsOpenAsWindowsNamesThem() {
        QFETCH(QString, given);
        QFETCH(QString, opened);
        QCOMPARE(DevicePathOf(given), opened);
        // Windows numbers its own ports: no links, no folder.
        QCOMPARE(ComDevicePath(12, QStringLiteral("C:/anywhere")), QStringLiteral("COM12"));
    }

    void aPortWindowsDoesNotHaveIsNotFoundAndDoesNotOpen() {
        QCOMPARE(SerialDevice::Probe(QStringLiteral("COM200")), ProbeResult::NotFound);
        SerialLine line;
        line.DevicePath = QStringLiteral("COM200");
        TestHost host(Lines::Real);
        QVERIFY(!host.finish(line.open(host.clock(), host.limits.openMs)));
        QVERIFY(!PortListed(QStringLiteral("COM200")));
        QVERIFY(!line.PortOpen());
        QVERIFY(!line.Output("atz\r"));
        // The port list names only ports that are there.
        for (const PortInfo& port : KnownPorts())
            QVERIFY2(port.name.startsWith(QStringLiteral("COM")), qPrintable(port.name));
    }

    void theUserFolderIsInTheRoamingProfile() {
        QTemporaryDir profile;
        const QByteArray before = qgetenv("APPDATA");
        qputenv("APPDATA", QDir::toNativeSeparators(profile.path()).toLocal8Bit());
        const QString folder = UserConfigFolder();
        qputenv("APPDATA", before);
        QCOMPARE(QDir::cleanPath(folder), QDir(profile.path()).filePath(QStringLiteral("Tavrin")));
    }
};

TAVRIN_TEST(WindowsPortTest)
#include "WindowsPortTest.moc"
