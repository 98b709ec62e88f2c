#include "runtime/NetLine.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace tavrin {

namespace {

NetOpen failureOf(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return NetOpen::Refused;
        case QAbstractSocket::HostNotFoundError:
            return NetOpen::HostNotFound;
        case QAbstractSocket::NetworkError:
            return NetOpen::Unreachable;
        case QAbstractSocket::SocketTimeoutError:
            return NetOpen::TimedOut;
        default:
            return NetOpen::Failed;
    }
}

}  // namespace

bool LoopbackOnly() {
    return qEnvironmentVariable("TAVRIN_LOOPBACK_ONLY") == QLatin1String("1");
}

bool IsLoopbackHost(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

NetLine::NetLine(QObject* parent) : AdapterLine(parent) {}

NetLine::~NetLine() {
    dropSocket();
}

void NetLine::dropSocket() {
    connected_ = false;
    if (!socket_) return;
    socket_->disconnect(this);
    socket_->abort();
    // The socket may be inside its own signal emission; let Qt delete it.
    socket_->deleteLater();
    socket_ = nullptr;
}

QCoro::Task<NetOpen> NetLine::connectTo(QString host, quint16 port, int limitMs, Clock& clock,
                                        Stop stop, QString* systemText) {
    close();
    dropSocket();
    DevicePath =
        QStringLiteral("socket://%1:%2")
            .arg(host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']')
                                                 : host)
            .arg(port);
    // Before a single packet, a name lookup included.
    if (LoopbackOnly() && !IsLoopbackHost(host)) co_return NetOpen::NotAllowed;

    QTcpSocket* socket = new QTcpSocket(this);
    socket_ = socket;
    Wait wait(clock, stop);
    wait.wakeOn(socket, &QAbstractSocket::connected);
    wait.wakeOn(socket, &QAbstractSocket::errorOccurred);
    socket->connectToHost(host, port);
    const qint64 deadline = clock.nowMs() + limitMs;
    for (;;) {
        if (socket_ != socket) co_return NetOpen::Cancelled;  // closed meanwhile
        if (stop.requested()) {
            dropSocket();
            co_return NetOpen::Cancelled;
        }
        if (socket->state() == QAbstractSocket::ConnectedState) break;
        if (socket->error() != QAbstractSocket::UnknownSocketError) {
            const NetOpen failure = failureOf(socket->error());
            *systemText = socket->errorString();
            dropSocket();
            co_return failure;
        }
        const qint64 left = deadline - clock.nowMs();
        if (left <= 0) {
            dropSocket();
            co_return NetOpen::TimedOut;
        }
        co_await wait.upTo(left);
    }
    // Each command line goes out at once, not when a packet would be full.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connected_ = true;
    taken(-1);
    connect(socket, &QIODevice::readyRead, this, [this] { arrivedOn(*socket_); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                lose(error == QAbstractSocket::RemoteHostClosedError
                         ? QStringLiteral("the adapter closed the connection")
                         : socket_->errorString());
            });
    connect(socket, &QAbstractSocket::disconnected, this,
            [this] { lose(QStringLiteral("the adapter closed the connection")); });
    co_return NetOpen::Connected;
}

QCoro::Task<AdapterLine::Opening> NetLine::openDevice(qint32, Clock&, int, Stop) {
    co_return Opening{OpenError::Refused,
                      QStringLiteral("a network adapter is connected to, not opened")};
}

void NetLine::closeDevice() {
    dropSocket();
}

bool NetLine::isDeviceOpen() const {
    return connected_ && socket_;
}

bool NetLine::writeDevice(const QByteArray& bytes) {
    const bool whole = socket_->write(bytes) == bytes.size();
    socket_->flush();
    return whole;
}

QByteArray NetLine::readDevice(qint64 maxBytes) {
    const QByteArray bytes = socket_->read(maxBytes);
    taken(bytes.size());
    return bytes;
}

qint64 NetLine::deviceWaiting() const {
    return socket_->bytesAvailable();
}

QByteArray NetLine::peekDevice() const {
    return socket_->peek(socket_->bytesAvailable());
}

void NetLine::clearDevice() {
    socket_->readAll();
    taken(-1);
}

}  // namespace tavrin
