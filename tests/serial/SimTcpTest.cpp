// The simulated adapter on a TCP port, reached as a program reaches a Wi-Fi
// adapter: a real socket on the loopback, in real time.
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <utility>

#include "SimTcp.h"
#include "TestSupport.h"

using tavrin::sim::Fault;
using tavrin::sim::SimConfig;
using tavrin::sim::SimTcp;

namespace {

// A client of the simulator and everything it received.
struct TcpClient {
    explicit TcpClient(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { data += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // Sends a command; what came back up to the prompt or the end of the
    // connection.
    QByteArray exchange(const QByteArray& command) {
        data.clear();
        socket.write(command + '\r');
        if (!QTest::qWaitFor([this] { return data.endsWith('>') || closed(); }, 1000))
            return "timed out: " + data;
        return std::exchange(data, QByteArray());
    }
    // The simulator ended a connection that had been made.
    bool closedByAdapter() {
        return QTest::qWaitFor([this] { return closed(); }, 1000) &&
               socket.error() == QAbstractSocket::RemoteHostClosedError;
    }

    QTcpSocket socket;
    QByteArray data;
};

// What follows the commands of a row.
enum Then { Stays, TurnsAwayASecond, StopAndRestart, HangsUp };

}  // namespace

class SimTcpTest : public QObject {
    Q_OBJECT

private slots:
    void client_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QByteArray>("lastAnswer");
        QTest::addColumn<int>("then");

        QTest::newRow("reset answer") << int(Fault::None) << QByteArrayList{"atz"}
                                      << QByteArray("atz\r\r\rELM327 v1.5\r\r>") << int(Stays);
        QTest::newRow("a second client is turned away")
            << int(Fault::None) << QByteArrayList{"ate0"} << QByteArray("ate0\rOK\r\r>")
            << int(TurnsAwayASecond);
        QTest::newRow("stop closes the connection, a restart powers up")
            << int(Fault::None) << QByteArrayList{"ate0"} << QByteArray("ate0\rOK\r\r>")
            << int(StopAndRestart);
        QTest::newRow("DisconnectMidAnswer: the part sent arrives, then the end")
            << int(Fault::DisconnectMidAnswer) << QByteArrayList{"2103"}
            << QByteArray("2103\r61 03 4") << int(HangsUp);
        QTest::newRow("Unformatted: every frame whole, padding included")
            << int(Fault::Unformatted) << QByteArrayList{"ath1", "2103"}
            << QByteArray("2103\r728 04 61 03 4C 12 AA AA AA \r\r>") << int(Stays);
    }

    void client() {
        QFETCH(int, fault);
        QFETCH(QByteArrayList, commands);
        QFETCH(QByteArray, lastAnswer);
        QFETCH(int, then);
        SimConfig config;
        config.fault = Fault(fault);
        // A connection has no speed to be wrong: answers come at any.
        config.adapterSpeed = 38400;
        SimTcp sim(config);
        QSignalSpy stopped(&sim, &SimTcp::stopped);
        QVERIFY(sim.start());
        // Reachable from this machine alone.
        QCOMPARE(sim.serverAddress(), QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(sim.devicePath(), QStringLiteral("socket://127.0.0.1:%1").arg(sim.port()));

        TcpClient client(sim.port());
        QByteArray answer;
        for (const QByteArray& command : commands) answer = client.exchange(command);
        QCOMPARE(answer, lastAnswer);

        switch (then) {
            case TurnsAwayASecond: {
                TcpClient second(sim.port());
                QVERIFY(second.closedByAdapter());
                // The first keeps the adapter as it left it: echo off.
                QCOMPARE(client.exchange("ati"), QByteArray("ELM327 v1.5\r\r>"));
                break;
            }
            case StopAndRestart: {
                const quint16 port = sim.port();
                sim.stop();
                QVERIFY(client.closedByAdapter());
                QVERIFY(sim.start());
                QCOMPARE(sim.port(), port);
                TcpClient next(port);
                QCOMPARE(next.exchange("ati"), QByteArray("ati\rELM327 v1.5\r\r>"));
                break;
            }
            case HangsUp:
                QVERIFY(client.closedByAdapter());
                QVERIFY(!sim.isRunning());
                break;
            default:
                QVERIFY(!client.closed());
        }
        QCOMPARE(stopped.count(), then == StopAndRestart || then == HangsUp ? 1 : 0);
    }
};

TAVRIN_TEST(SimTcpTest)
#include "SimTcpTest.moc"
