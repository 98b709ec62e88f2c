#pragma once

#include <QHostAddress>
#include <QPointer>
#include <QString>
#include <QTcpServer>

#include "SimCore.h"

class QTcpSocket;

namespace tavrin::sim {

// The simulated adapter on a TCP port, as a Wi-Fi adapter offers itself: it
// listens and the program connects. It listens on the loopback address only,
// so nothing outside this machine ever reaches it, and serves one client at
// a time. Runs in real time on the thread's event loop.
class SimTcp : public SimCore {
    Q_OBJECT
public:
    // port 0: any free port, which port() then tells.
    explicit SimTcp(SimConfig config = {}, quint16 port = 0, QObject* parent = nullptr);
    // The same with its timing on clock (a test's virtual one): the bytes
    // still cross a real connection on the loopback.
    SimTcp(SimConfig config, Clock& clock, quint16 port = 0, QObject* parent = nullptr);
    ~SimTcp() override;

    // Listens again, on the port of the first start; the adapter is then as
    // after power-up, so the next client finds a fresh one.
    bool start(QString* error = nullptr) override;
    bool isRunning() const override { return server_.isListening(); }
    quint16 port() const { return port_; }
    QHostAddress serverAddress() const { return server_.serverAddress(); }
    // "socket://127.0.0.1:PORT", what the program is given as its port.
    QString devicePath() const override;
    // A connection has no line speed.
    int lineSpeed() const override { return 0; }
    bool isSerial() const override { return false; }
    // A client is connected.
    bool inUse() const { return !client_.isNull(); }

protected:
    qint64 transmit(const QByteArray& bytes) override;
    // Closes the client's connection and stops listening: to the program,
    // the adapter closed the connection and is gone.
    void closeLine() override;

private:
    void onNewConnection();
    void onReadyRead();

    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    quint16 port_;
};

}  // namespace tavrin::sim
