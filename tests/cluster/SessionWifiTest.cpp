// Wi-Fi adapters: the session over a real TCP connection on 127.0.0.1 to the
// simulator's network end, on virtual time, and adapters that cannot switch
// CAN formatting, on the line in memory.
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "SimRig.h"
#include "runtime/NetLine.h"
#include "serial/NetworkAddress.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

// A session whose settings name the simulated Wi-Fi adapter.
struct WifiRig : SessionRig {
    explicit WifiRig(sim::SimConfig config = {}) : SessionRig(), wifi(host.addWifiSim(config)) {
        d.Network = QStringLiteral("127.0.0.1:%1").arg(wifi.port());
        QObject::connect(&wifi, &sim::SimCore::requestReceived,
                         [this](const QString& line) { events << "sent:" + line; });
    }
    sim::SimTcp& wifi;
};

}  // namespace

class SessionWifiTest : public QObject {
    Q_OBJECT

private slots:
    // The guard of a run kept to this machine, judged from the address's
    // text alone: a name other than localhost is never looked up, so it is
    // refused.
    void theLoopbackGuardIsAFunctionOfTheAddress_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("loopback");
        QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
        QTest::newRow("elsewhere in 127/8") << "127.42.0.9" << true;
        QTest::newRow("::1") << "::1" << true;
        QTest::newRow("localhost, any case") << "LocalHost" << true;
        QTest::newRow("the usual adapter") << QString(kDefaultNetworkHost) << false;
        QTest::newRow("a name") << "obd.example" << false;
        QTest::newRow("a documentation IPv6 address") << "2001:db8::1" << false;
        QTest::newRow("any address") << "0.0.0.0" << false;
        QTest::newRow("nothing") << "" << false;
    }
    void theLoopbackGuardIsAFunctionOfTheAddress() {
        QFETCH(QString, host);
        QFETCH(bool, loopback);
        QCOMPARE(IsLoopbackHost(host), loopback);
    }

    // The same conversation, byte for byte, over TCP as over a serial line
    // (which carries the same bytes as a pseudo-terminal: SessionConnectTest).
    void connectAndToggleCarryTheSameBytesOverTcp() {
        SessionRig serial;
        WifiRig wifi;
        for (SessionRig* rig : {&serial, static_cast<SessionRig*>(&wifi)}) {
            QVERIFY(rig->connect().ok());
            const PoliceReport toggled = rig->change();
            QVERIFY2(toggled.ok(), qPrintable(texts(toggled.messages).join(" | ")));
        }
        QCOMPARE(wifi.wifi.receivedBytes(), serial.sim.receivedBytes());
        QCOMPARE(wifi.wifi.sentBytes(), serial.sim.sentBytes());
        QCOMPARE(gapsMs(wifi.wifi), gapsMs(serial.sim));
        QCOMPARE(writesSeen(wifi.wifi), QStringList{"3b034812"});
        QCOMPARE(wifi.eventsOf("police"), (QStringList{"ON", "OFF"}));
        // What the history and the log say of the line.
        const QByteArray history = readFile(wifi.session->historyPath());
        QVERIFY2(history.contains(",Wi-Fi " + wifi.d.Network.toLatin1() + ",,"),
                 history.constData());
        QVERIFY(!wifi.host.adapterLog().lines().filter("2103<CR><LF>").isEmpty());
    }

    // Each way of not reaching the adapter ends the attempt in its own
    // words, naming the address, and within its limit.
    void reachingTheAdapter_data() {
        QTest::addColumn<QString>("listener");
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("endsByMs");
        QTest::newRow("nothing listens") << "none"
                                         << "nothing listens on port" << 10;
        QTest::newRow("a listener that never answers") << "silent"
                                                       << "Unable to Connect To ELM" << 6000;
        QTest::newRow("an address off the loopback, in a run kept to it")
            << "far"
            << "may reach addresses on this computer only" << 0;
    }
    void reachingTheAdapter() {
        QFETCH(QString, listener);
        QFETCH(QString, said);
        QFETCH(int, endsByMs);
        SessionRig rig;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const quint16 port = server.serverPort();
        if (listener == "none") server.close();
        rig.d.Network = listener == "far"
                            ? NetworkAddress{kDefaultNetworkHost, kDefaultNetworkPort}.text()
                            : QStringLiteral("127.0.0.1:%1").arg(port);
        QVERIFY(LoopbackOnly());  // as every test runs

        const qint64 start = rig.host.clock().nowMs();
        const SessionReport report = rig.connect();
        QVERIFY(!report.ok());
        QVERIFY(rig.host.clock().nowMs() - start <= endsByMs);
        const QStringList words = texts(report.messages) + rig.eventsOf("watchdog");
        QVERIFY2(words.join(' ').contains(said) || report.messages.value(0).detail.contains(said),
                 qPrintable(words.join(" | ") + " / " + report.messages.value(0).detail));
        if (listener != "silent")
            QVERIFY2(report.messages.value(0).text.contains(rig.d.Network),
                     qPrintable(report.messages.value(0).text));
        QVERIFY(!rig.connected());
        QVERIFY(rig.sim.receivedBytes().isEmpty());  // the serial line stayed shut
    }

    // The adapter closing the connection is an unplugged cable: nothing more
    // is written, and a write that went out is recorded as "port lost".
    void theAdapterClosesTheConnection_data() {
        QTest::addColumn<QString>("during");
        QTest::addColumn<QStringList>("writes");
        QTest::addColumn<QString>("history");
        QTest::newRow("the change's read") << "2103" << QStringList{} << QString();
        QTest::newRow("right after the write request")
            << "3b03" << QStringList{"3b034812"} << ",after,,3b034812,port lost";
    }
    void theAdapterClosesTheConnection() {
        QFETCH(QString, during);
        QFETCH(QStringList, writes);
        QFETCH(QString, history);
        WifiRig rig;
        QVERIFY(rig.connect().ok());
        rig.wifi.config().fault = Fault::DisconnectMidAnswer;
        rig.wifi.config().faultCommand = during;
        const PoliceReport report = rig.change();
        QVERIFY(!report.ok());
        QCOMPARE(writesSeen(rig.wifi), writes);
        QVERIFY(!rig.connected());
        QVERIFY2(
            texts(report.messages).join(' ').contains("Wi-Fi adapter was lost") ||
                texts(report.messages).join(' ').contains("connection to the adapter was lost"),
            qPrintable(texts(report.messages).join(" | ")));
        const QByteArray file = readFile(rig.session->historyPath());
        if (history.isEmpty()) {
            QVERIFY(file.isEmpty());
        } else {
            QVERIFY2(file.contains(history.toLatin1()), file.constData());
        }
    }

    // An adapter that answers "?" to atcaf1 formats always: Connect and a
    // change work with its formatted answers, and answers in another form
    // never lead to a write.
    void formattingThatCannotBeSwitched_data() {
        QTest::addColumn<bool>("unformatted");
        QTest::newRow("formatted answers") << false;
        QTest::newRow("unformatted answers with padding") << true;
    }
    void formattingThatCannotBeSwitched() {
        QFETCH(bool, unformatted);
        sim::SimConfig config;
        config.unsupported = QStringList{"atcaf1", "atcaf0"};
        if (unformatted) config.fault = Fault::Unformatted;
        SessionRig rig(config);
        const SessionReport connected = rig.connect();
        QVERIFY(rig.connected());
        QVERIFY(!rig.host.adapterLog().lines().filter("formats CAN answers always").isEmpty());
        QCOMPARE(connected.ok(), !unformatted);  // the police-mode read is refused
        const PoliceReport changed = rig.change();
        QCOMPARE(changed.ok(), !unformatted);
        QCOMPARE(rig.writes(), unformatted ? QStringList{} : QStringList{"3b034812"});
    }
};

TAVRIN_TEST(SessionWifiTest)
#include "SessionWifiTest.moc"
