// Which ports the program looks at: those the system lists, found without
// opening any; every COM number the system has, above COM16 too, for Find
// Adapter and the command line; and the two ports of a Bluetooth pair told
// apart, the one that never answers left out of a search. Counted at the
// seam where the system's devices are probed and opened.
#include <QListWidget>
#include <QTest>
#include <QTextStream>

#include "ListSupport.h"
#include "SimRig.h"
#include "app/CommandLine.h"
#include "config/Setup_Form.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

// As Windows lists a paired adapter's two ports.
const QString kOutgoing = QStringLiteral(
    "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&000F\\7&2B6C0E0B&0&"
    "001DA5683F4E_C00000000");
const QString kIncoming = QStringLiteral(
    "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1E2A83AD&0&"
    "000000000000_00000000");

Setup_Form* openSetup(AppRig& rig) {
    rig.form->mnu_Setup_Click();
    auto* setup = qobject_cast<Setup_Form*>(rig.form->setupDialog());
    if (setup) rig.host.waitUntil([setup] { return setup->portsBeingChecked() == 0; }, 60'000);
    return setup;
}

}  // namespace

class PortListTest : public QObject {
    Q_OBJECT

private slots:
    void bluetoothPortsFromTheirInstanceIds_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("role");
        QTest::newRow("outgoing: the adapter's address")
            << kOutgoing << int(BluetoothRole::Outgoing);
        QTest::newRow("incoming: no address") << kIncoming << int(BluetoothRole::Incoming);
        QTest::newRow("outgoing with a maker's ids")
            << "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&0001005D_PID&223B\\7&2A6B3F4E&"
               "0&"
               "AABBCCDDEEFF_C00000000"
            << int(BluetoothRole::Outgoing);
        QTest::newRow("lower case") << kIncoming.toLower() << int(BluetoothRole::Incoming);
        QTest::newRow("incoming, no address field")
            << "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1E2A83AD&0"
            << int(BluetoothRole::Incoming);
        QTest::newRow("USB") << "USB\\VID_1A86&PID_7523\\5&2C3F1E8&0&2" << int(BluetoothRole::None);
        QTest::newRow("FTDI's own bus")
            << "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000" << int(BluetoothRole::None);
        QTest::newRow("none (Linux)") << "" << int(BluetoothRole::None);
    }
    void bluetoothPortsFromTheirInstanceIds() {
        QFETCH(QString, id);
        QFETCH(int, role);
        QCOMPARE(int(BluetoothRoleOf(id)), role);
    }

    // --list-ports says what the system lists and opens nothing to say more.
    void listPortsOpensNothing() {
        TestHost host;
        host.addSim(3);
        dynamic_cast<sim::MemoryAdapter&>(host.addSim(4)).instanceId = kIncoming;
        dynamic_cast<sim::MemoryAdapter&>(host.addSim(21)).instanceId = kOutgoing;
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        const int code = host.finish(
            RunCommandLine(ParseCommandLine({"--list-ports"}), host, outStream, errStream));
        outStream.flush();
        QCOMPARE(code, kExitDone);
        const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith("COM3 "), qPrintable(out));
        QVERIFY2(lines[1].startsWith("COM4 ") &&
                     lines[1].endsWith("(Bluetooth, incoming: never answers)"),
                 qPrintable(out));
        QVERIFY2(lines[2].startsWith("COM21 ") &&
                     lines[2].endsWith("(Bluetooth, outgoing: use this one)"),
                 qPrintable(out));
        QCOMPARE(host.ports().probed, QStringList());
        QCOMPARE(host.ports().opened, QStringList());
    }

    // Setup probes COM1 to COM16 where the system has them, and a saved port
    // above them, which shows chosen.
    void setupProbesOnlyTheListedPorts() {
        AppRig rig({}, 21);
        // As the program names them: the device a link leads to, or COMn
        // where the system numbers its ports.
        QStringList devices{rig.sim.portPath()};
        for (int n : {1, 3, 12}) devices << rig.host.addSim(n).portPath();
        Setup_Form* setup = openSetup(rig);
        QVERIFY(setup);
        QStringList probed = rig.host.ports().probed;
        probed.sort();
        devices.sort();
        QCOMPARE(probed, devices);
        QCOMPARE(comItems(setup->CommPort_List), (QStringList{"COM1", "COM3", "COM12", "COM21"}));
        QCOMPARE(selected(setup->CommPort_List), QStringLiteral("COM21"));
        QCOMPARE(rig.host.ports().opened, QStringList());
        delete setup;
    }

    // Find Adapter searches every port the system lists but a Bluetooth
    // incoming one; what it finds above COM16 is chosen and saved as any other.
    void findSearchesEveryPortAndSavesWhatItFinds() {
        sim::SimConfig silent;
        silent.fault = sim::Fault::Silence;
        AppRig rig(silent, 3);
        auto& incoming = dynamic_cast<sim::MemoryAdapter&>(rig.host.addSim(4));
        incoming.instanceId = kIncoming;
        auto& outgoing = dynamic_cast<sim::MemoryAdapter&>(rig.host.addSim(21));
        outgoing.instanceId = kOutgoing;
        Setup_Form* setup = openSetup(rig);
        QVERIFY(setup);
        QCOMPARE(comItems(setup->CommPort_List), (QStringList{"COM3", "COM4"}));

        setup->FindAdapter_Click();
        rig.settle();
        const QString said = setup->FindStatus->text();
        QVERIFY2(said.contains("COM21 at 38400 bit/s (Bluetooth, outgoing: use this one)"),
                 qPrintable(said));
        QVERIFY(!rig.host.ports().opened.contains(incoming.devicePath()));
        QCOMPARE(incoming.receivedBytes(), QByteArray());
        QCOMPARE(selected(setup->CommPort_List), QStringLiteral("COM21"));

        setup->SaveConfig_Click();
        QVERIFY(readFile(QDir(rig.host.programFolder()).filePath("QUILLET.INI"))
                    .contains("\r\nComPort=COM21\r\nComSpeed=38400\r\n"));
        QCOMPARE(rig.form->panelText(3), QStringLiteral("COM 21 / 38400"));
        rig.connect();
        QCOMPARE(rig.form->panelText(4), QStringLiteral("Connected"));
    }
};

TAVRIN_TEST(PortListTest)
#include "PortListTest.moc"
