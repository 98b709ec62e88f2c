#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include "runtime/AdapterLine.h"

class QTcpSocket;

namespace tavrin {

// How an attempt to reach a network adapter ended.
enum class NetOpen {
    Connected,
    NotAllowed,    // only the loopback may be reached in this run
    Refused,       // the host is there; nothing listens on the port
    HostNotFound,  // the name could not be looked up
    Unreachable,   // no route to the host: not on its network
    TimedOut,      // no answer within the time limit
    Cancelled,     // the user cancelled, or the operation was let go
    Failed,        // anything else; the system's words say what
};

// Whether this run may reach the loopback only: TAVRIN_LOOPBACK_ONLY=1, set
// by the project's own tests, benchmarks, fuzzing and demo.
bool LoopbackOnly();
// Whether host is on the loopback: 127.0.0.0/8, ::1 or the name localhost.
// Judged from the text alone: no name is looked up, so nothing leaves the
// machine to find out.
bool IsLoopbackHost(const QString& host);

// The line to a Wi-Fi adapter: a TCP connection that carries the bytes a
// serial port would, recorded in the adapter log the same way. It is not
// opened but connected to (connectTo); the adapter closing the connection,
// or a network error, is the same event as an unplugged cable.
class NetLine : public AdapterLine {
    Q_OBJECT
public:
    explicit NetLine(QObject* parent = nullptr);
    ~NetLine() override;

    // Connects to host:port within limitMs on clock, a host name looked up
    // within the same limit; a stop ends the attempt at once. systemText:
    // the system's words for a failure.
    QCoro::Task<NetOpen> connectTo(QString host, quint16 port, int limitMs, Clock& clock, Stop stop,
                                   QString* systemText);

protected:
    QCoro::Task<Opening> openDevice(qint32 speed, Clock& clock, int limitMs, Stop stop) override;
    void closeDevice() override;
    bool isDeviceOpen() const override;
    bool writeDevice(const QByteArray& bytes) override;
    QByteArray readDevice(qint64 maxBytes) override;
    qint64 deviceWaiting() const override;
    QByteArray peekDevice() const override;
    void clearDevice() override;

private:
    void dropSocket();

    QTcpSocket* socket_ = nullptr;
    bool connected_ = false;
};

}  // namespace tavrin
