// Port numbering, the probe and opening, on real pseudo-terminals: the
// device lock and the line settings are what only a real port shows.
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTest>

#include "SimRig.h"
#include "config/ListSearch.h"
#include "runtime/SerialLine.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using namespace tavrin::test;

class PortTest : public QObject {
    Q_OBJECT

private slots:
    void fixedTableMapsComNumbersToDevices_data() {
        QTest::addColumn<int>("com");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1") << 1 << "/dev/ttyUSB0";
        QTest::newRow("COM4") << 4 << "/dev/ttyUSB3";
        QTest::newRow("COM5") << 5 << "/dev/ttyACM0";
        QTest::newRow("COM9") << 9 << "/dev/rfcomm0";
        QTest::newRow("COM12") << 12 << "/dev/rfcomm3";
        QTest::newRow("COM13") << 13 << "/dev/ttyS0";
        QTest::newRow("COM16") << 16 << "/dev/ttyS3";
        QTest::newRow("COM17") << 17 << "";
        QTest::newRow("COM0") << 0 << "";
        QTest::newRow("COM-1") << -1 << "";
    }
    void fixedTableMapsComNumbersToDevices() {
        QFETCH(int, com);
        QFETCH(QString, device);
        QTemporaryDir empty;
        QCOMPARE(ComDeviceName(qint16(com), empty.path()), device);
    }

    void portsLinkOverridesTheTableAndIsResolved() {
        sim::SimAdapter sim;
        QVERIFY(sim.start());
        TestHost host(Lines::Real);
        QVERIFY(sim.linkAs(host.programFolder(), 12));
        const QString link = QDir(host.programFolder()).filePath("ports/com12");
        QCOMPARE(ComDeviceName(12, host.programFolder()), link);
        QCOMPARE(ComDevicePath(12, host.programFolder()),
                 QFileInfo(sim.slavePath()).canonicalFilePath());
        // A dangling link is a missing device, not the table's device.
        sim.stop();
        QVERIFY(host.finish(ProbeComPort(12, host.programFolder(), nullptr, host)) !=
                ProbeResult::Available);
    }

    void probeTellsFreeHeldAndMissingPorts() {
        sim::SimAdapter sim;
        QVERIFY(sim.start());
        TestHost host(Lines::Real);
        QVERIFY(sim.linkAs(host.programFolder(), 3));
        const QString folder = host.programFolder();

        QVERIFY(host.finish(ProbeComPort(3, folder, nullptr, host)) == ProbeResult::Available);
        // The probe never keeps the port.
        QVERIFY(host.finish(ProbeComPort(3, folder, nullptr, host)) == ProbeResult::Available);

        Defines d;
        d.ComPort = 3;
        d.ComSpeed = "38400";
        SerialLine own;
        QCOMPARE(host.finish(OpenComPort(d, folder, own, host)), OpenResult::Opened);
        QCOMPARE(host.finish(ProbeComPort(3, folder, &own, host)), ProbeResult::HeldByThisProgram);
        QVERIFY(host.finish(ProbeComPort(3, folder, &own, host)) != ProbeResult::Available);
        own.close();
        QVERIFY(host.finish(ProbeComPort(3, folder, &own, host)) == ProbeResult::Available);

        {
            OtherProgram other(ComDevicePath(3, folder));
            QVERIFY2(other.held, "the second program could not open the port");
            QCOMPARE(host.finish(ProbeComPort(3, folder, nullptr, host)), ProbeResult::InUse);
            QCOMPARE(host.finish(OpenComPort(d, folder, own, host)), OpenResult::InUse);
            QVERIFY(!own.PortOpen());
        }
        QVERIFY(host.finish(ProbeComPort(3, folder, nullptr, host)) == ProbeResult::Available);

        // No link and no device behind the table's name.
        if (!QFile::exists(ComDeviceName(10, folder))) {
            QCOMPARE(host.finish(ProbeComPort(10, folder, nullptr, host)), ProbeResult::NotFound);
        }
        QVERIFY(ProbeDetail(ProbeResult::NoPermission, 3, folder).contains("dialout"));
    }

    void invalidSpeedLeavesThePortClosed_data() {
        QTest::addColumn<QString>("speed");
        QTest::newRow("empty") << "";
        QTest::newRow("zero") << "0";
        QTest::newRow("fraction") << "9600.5";
        QTest::newRow("letters") << "fast";
        QTest::newRow("negative") << "-9600";
        QTest::newRow("huge") << "99999999999";
    }
    void invalidSpeedLeavesThePortClosed() {
        QFETCH(QString, speed);
        sim::SimAdapter sim;
        QVERIFY(sim.start());
        TestHost host(Lines::Real);
        QVERIFY(sim.linkAs(host.programFolder(), 2));
        Defines d;
        d.ComPort = 2;
        d.ComSpeed = speed;
        SerialLine port;
        QCOMPARE(host.finish(OpenComPort(d, host.programFolder(), port, host)),
                 OpenResult::InvalidSpeed);
        QVERIFY(!port.PortOpen());
        QVERIFY(host.finish(ProbeComPort(2, host.programFolder(), &port, host)) ==
                ProbeResult::Available);
    }

    void openAppliesSettingsAndDiscardsPendingInput() {
        sim::SimAdapter sim;
        QVERIFY(sim.start());
        TestHost host(Lines::Real);
        QVERIFY(sim.linkAs(host.programFolder(), 14));
        Defines d;
        d.ComPort = 14;
        d.ComSpeed = "115200";
        SerialLine port;
        QCOMPARE(host.finish(OpenComPort(d, host.programFolder(), port, host)), OpenResult::Opened);
        QCOMPARE(port.InputLen, 1);
        QCOMPARE(port.Settings, QString("115200,n,8,1"));
        QVERIFY(port.DTREnable && port.RTSEnable);
        // Leave an answer unread in the line, then open again.
        port.Output("atz\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(port.charactersWaiting() > 0, 2000);
        port.close();
        QCOMPARE(host.finish(OpenComPort(d, host.programFolder(), port, host)), OpenResult::Opened);
        spin(100);
        QCOMPARE(port.Input(), QString());
    }

    void findListItemMatchesTheBeginningIgnoringCase_data() {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("index");
        const QStringList speeds{"9600", "38400", "115200"};
        QTest::newRow("exact") << speeds << "38400" << 1;
        QTest::newRow("none") << speeds << "19200" << -1;
        QTest::newRow("zero") << speeds << "0" << -1;
        QTest::newRow("prefix") << speeds << "1152" << 2;
        QTest::newRow("empty text matches the first") << speeds << "" << 0;
        QTest::newRow("case") << QStringList{"COM1", "COM3"} << "com3" << 1;
        QTest::newRow("COM1 takes COM10") << QStringList{"COM3", "COM10", "COM12"} << "COM1" << 1;
        QTest::newRow("COM1 listed first") << QStringList{"COM1", "COM10"} << "COM1" << 0;
        QTest::newRow("empty list") << QStringList{} << "COM1" << -1;
    }
    void findListItemMatchesTheBeginningIgnoringCase() {
        QFETCH(QStringList, items);
        QFETCH(QString, text);
        QFETCH(int, index);
        QListWidget list;
        list.addItems(items);
        QCOMPARE(FindListItem(text, &list), index);
    }
};

TAVRIN_TEST(PortTest)
#include "PortTest.moc"
