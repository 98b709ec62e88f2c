#include "platform/MSComm.h"

#include <QFile>
#include <QSerialPort>

#include "platform/AdapterLog.h"

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tavrin {

namespace {

// Qt keeps others out with a lock file and exclusive mode, which programs
// such as pyserial's with exclusive=True do not look at: they take a lock on
// the device itself. This program takes that lock too, and a device another
// program holds so is in use. A program that takes no lock of any kind
// cannot be seen.
bool lockDevice(qintptr handle) {
#ifdef Q_OS_UNIX
    return handle < 0 || ::flock(int(handle), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#else
    Q_UNUSED(handle);
    return true;
#endif
}

const char kLockedText[] = "the device is locked by another program";

// The serial control's handshaking as Qt names it. Qt has no RTS/CTS and
// XON/XOFF at once; the hardware lines are the ones a device cannot ignore.
QSerialPort::FlowControl flowControl(int handshaking) {
    switch (handshaking) {
        case AdapterLine::comXOnXOff:
            return QSerialPort::SoftwareControl;
        case AdapterLine::comRTS:
        case AdapterLine::comRTSXOnXOff:
            return QSerialPort::HardwareControl;
        default:
            return QSerialPort::NoFlowControl;
    }
}

}  // namespace

MSComm::MSComm(QObject* parent) : AdapterLine(parent) {}

MSComm::~MSComm() {
    if (port_) {
        port_->disconnect(this);
        if (port_->isOpen()) port_->close();
    }
}

ProbeResult MSComm::Probe(const QString& path) {
#ifdef Q_OS_UNIX
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0) {
        return errno == ENOENT ? ProbeResult::NotFound : ProbeResult::NoPermission;
    }
#endif
    QSerialPort probe;
    probe.setPortName(path);
    if (!probe.open(QIODevice::ReadWrite)) {
        return probe.error() == QSerialPort::DeviceNotFoundError ? ProbeResult::NotFound
                                                                 : ProbeResult::InUse;
    }
    const bool free = lockDevice(probe.handle());
    probe.close();
    return free ? ProbeResult::Available : ProbeResult::InUse;
}

bool MSComm::isDeviceOpen() const {
    return port_ && port_->isOpen();
}

AdapterLine::OpenError MSComm::openDevice(qint32 speed, QString* why) {
    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(DevicePath);
    port_->setReadBufferSize(0);
    if (!port_->open(QIODevice::ReadWrite)) {
        *why = port_->errorString();
        port_->disconnect(this);
        port_.reset();
        return OpenError::Refused;
    }
    if (!lockDevice(port_->handle())) {
        *why = QLatin1String(kLockedText);
        port_->close();
        port_.reset();
        return OpenError::Refused;
    }
    const bool configured = port_->setBaudRate(speed) && port_->setDataBits(QSerialPort::Data8) &&
                            port_->setParity(QSerialPort::NoParity) &&
                            port_->setStopBits(QSerialPort::OneStop) &&
                            port_->setFlowControl(flowControl(Handshaking));
    if (!configured) {
        *why =
            QStringLiteral("the device refused %1 bit/s: %2").arg(speed).arg(port_->errorString());
        port_->disconnect(this);
        port_->close();
        port_.reset();
        return OpenError::InvalidSettings;
    }
    // A pseudo-terminal has no modem lines; failing to raise them is harmless.
    port_->setDataTerminalReady(DTREnable);
    port_->setRequestToSend(RTSEnable);
    port_->clearError();
    // Watch for trouble only once the port is set up: a refused modem-line
    // change above is not a reason to close it.
    taken(-1);
    connect(port_.get(), &QSerialPort::readyRead, this, [this] { arrivedOn(*port_); });
    connect(port_.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });
    return OpenError::None;
}

void MSComm::closeDevice() {
    if (!port_) return;
    port_->disconnect(this);
    if (port_->isOpen()) port_->close();
    // The QSerialPort may be inside its own signal emission; let Qt delete it.
    port_.release()->deleteLater();
}

void MSComm::onError(int error) {
    const auto e = static_cast<QSerialPort::SerialPortError>(error);
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError ||
        e == QSerialPort::UnsupportedOperationError)
        return;
    if (!PortOpen()) return;
    // Close on the first error: Qt would otherwise report a vanished device
    // again on every read notification, at full speed.
    lose(port_->errorString());
}

bool MSComm::writeDevice(const QByteArray& bytes) {
    return port_->write(bytes) == bytes.size();
}

QByteArray MSComm::readDevice(qint64 maxBytes) {
    const QByteArray bytes = port_->read(maxBytes);
    taken(bytes.size());
    return bytes;
}

qint64 MSComm::deviceWaiting() const {
    return port_->bytesAvailable();
}

QByteArray MSComm::peekDevice() const {
    return port_->peek(port_->bytesAvailable());
}

void MSComm::clearDevice() {
    port_->clear(QSerialPort::Input);
    port_->readAll();
    taken(-1);
}

}  // namespace tavrin
