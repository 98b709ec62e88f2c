#include "SimTcp.h"

#include <QTcpSocket>
#include <utility>

namespace tavrin::sim {

namespace {

// Beyond this much unsent to a client that does not read, answers wait.
constexpr qint64 kMaxUnsentBytes = 64 * 1024;

// A connection carries bytes in real time.
Clock& realClock() {
    static RealClock clock;
    return clock;
}

}  // namespace

SimTcp::SimTcp(SimConfig config, quint16 port, QObject* parent)
    : SimTcp(std::move(config), realClock(), port, parent) {}

SimTcp::SimTcp(SimConfig config, Clock& clock, quint16 port, QObject* parent)
    : SimCore(std::move(config), clock, parent), port_(port) {
    connect(&server_, &QTcpServer::newConnection, this, &SimTcp::onNewConnection);
}

SimTcp::~SimTcp() {
    stop();
}

bool SimTcp::start(QString* error) {
    if (isRunning()) return true;
    // The loopback only: no other machine can reach the simulator.
    if (!server_.listen(QHostAddress::LocalHost, port_)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(QHostAddress(QHostAddress::LocalHost).toString())
                         .arg(port_)
                         .arg(server_.errorString());
        return false;
    }
    // A restart comes back on the same port, as an adapter powered up again
    // keeps its address.
    port_ = server_.serverPort();
    powerUp();
    return true;
}

QString SimTcp::devicePath() const {
    return QStringLiteral("socket://%1:%2")
        .arg(QHostAddress(QHostAddress::LocalHost).toString())
        .arg(port_);
}

void SimTcp::onNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (client_) {
            // A real adapter serves one client: the next one is turned away.
            socket->close();
            socket->deleteLater();
            continue;
        }
        client_ = socket;
        // Echoed characters and short answers leave at once, not batched.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &SimTcp::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (client_ == socket) client_ = nullptr;
            socket->deleteLater();
        });
    }
}

void SimTcp::onReadyRead() {
    if (client_) receive(client_->readAll());
}

qint64 SimTcp::transmit(const QByteArray& bytes) {
    // Nobody connected: the bytes are gone, as a Wi-Fi adapter's are.
    if (!client_ || client_->state() != QAbstractSocket::ConnectedState) return bytes.size();
    if (client_->bytesToWrite() >= kMaxUnsentBytes) return -1;
    const qint64 written = client_->write(bytes);
    // Out now, at the moment the simulator's timing says.
    client_->flush();
    return written;
}

void SimTcp::closeLine() {
    server_.close();
    QTcpSocket* socket = client_;
    client_ = nullptr;
    if (!socket) return;
    // Nothing of the old connection reaches this adapter again (nor one
    // started afterwards); what was sent still arrives before the end.
    socket->disconnect(this);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
}

}  // namespace tavrin::sim
