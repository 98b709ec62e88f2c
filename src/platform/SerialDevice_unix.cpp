#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

#include <QFile>
#include <QSerialPort>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/SerialDevice.h"

namespace tavrin {

namespace {

// Qt keeps others out with a lock file and exclusive mode, which programs
// such as pyserial's with exclusive=True do not look at: they take a lock on
// the device itself. This program takes that lock too, and a device another
// program holds so is in use. A program that takes no lock of any kind
// cannot be seen.
bool lockDevice(qintptr handle) {
    return handle < 0 || ::flock(int(handle), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

QSerialPort::FlowControl flowControl(DeviceSettings::Flow flow) {
    switch (flow) {
        case DeviceSettings::Flow::Software:
            return QSerialPort::SoftwareControl;
        case DeviceSettings::Flow::Hardware:
            return QSerialPort::HardwareControl;
        case DeviceSettings::Flow::None:
            break;
    }
    return QSerialPort::NoFlowControl;
}

// The line errors the driver has counted since the device was opened (a
// UART's and most USB adapters' drivers count them); nothing where it keeps
// no count, as a pseudo-terminal's.
std::optional<LineErrors> countedErrors(qintptr handle) {
#if defined(Q_OS_LINUX) && defined(TIOCGICOUNT)
    serial_icounter_struct counts{};
    if (handle >= 0 && ::ioctl(int(handle), TIOCGICOUNT, &counts) == 0)
        return LineErrors{counts.frame, counts.overrun + counts.buf_overrun, counts.parity};
#else
    Q_UNUSED(handle);
#endif
    return std::nullopt;
}

}  // namespace

struct SerialDevice::Impl {
    // Children of the device, so that they move to another thread with it.
    QSerialPort* port = nullptr;
    QTimer* writeLimit = nullptr;
    int writeLimitMs = 0;
    // Bytes in Qt's buffer that arrived has already told of.
    qint64 told = 0;
    // The driver's count of line errors when they were last told.
    std::optional<LineErrors> errorsTold;
};

SerialDevice::SerialDevice(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {
    d_->port->setParent(this);
}

SerialDevice::~SerialDevice() {
    close();
}

namespace {

// What the system says before any open: missing, or not this user's to open.
ProbeResult access(const QString& path) {
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0)
        return ProbeResult::Available;
    return errno == ENOENT ? ProbeResult::NotFound : ProbeResult::NoPermission;
}

}  // namespace

ProbeResult SerialDevice::Probe(const QString& path) {
    if (const ProbeResult allowed = access(path); allowed != ProbeResult::Available) return allowed;
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

SerialDevice::Opened SerialDevice::Open(const QString& path, const DeviceSettings& settings) {
    Opened opened;
    // As the probe tells them apart: Qt says "permission" both for a device
    // another program holds and for one this user may not open.
    switch (access(path)) {
        case ProbeResult::NotFound:
            opened.refused = Refused::NotFound;
            opened.why = QString::fromLocal8Bit(strerror(ENOENT));
            return opened;
        case ProbeResult::NoPermission:
            opened.refused = Refused::NoPermission;
            opened.why = QString::fromLocal8Bit(strerror(EACCES));
            return opened;
        default:
            break;
    }
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(path);
    port->setReadBufferSize(0);
    if (!port->open(QIODevice::ReadWrite)) {
        opened.refused =
            port->error() == QSerialPort::DeviceNotFoundError ? Refused::NotFound : Refused::InUse;
        opened.why = port->errorString();
        return opened;
    }
    if (!lockDevice(port->handle())) {
        opened.refused = Refused::InUse;
        opened.why = QStringLiteral("the device is locked by another program");
        return opened;
    }
    const bool configured =
        port->setBaudRate(settings.speed) && port->setDataBits(QSerialPort::Data8) &&
        port->setParity(QSerialPort::NoParity) && port->setStopBits(QSerialPort::OneStop) &&
        port->setFlowControl(flowControl(settings.flow));
    if (!configured) {
        opened.refused = Refused::Settings;
        opened.why = QStringLiteral("the device refused %1 bit/s: %2")
                         .arg(settings.speed)
                         .arg(port->errorString());
        return opened;
    }
    // A pseudo-terminal has no modem lines; failing to raise them is harmless.
    port->setDataTerminalReady(settings.dtr);
    port->setRequestToSend(settings.rts);
    port->clearError();
    auto impl = std::make_unique<Impl>();
    impl->port = port.release();
    opened.device.reset(new SerialDevice(std::move(impl)));
    return opened;
}

void SerialDevice::setWriteLimit(int ms) {
    d_->writeLimitMs = qMax(0, ms);
}

void SerialDevice::start() {
    QSerialPort* port = d_->port;
    if (!port) return;
    d_->errorsTold = countedErrors(port->handle());
    // Watched only once the port is set up: a refused modem-line change is
    // not a reason to close it.
    connect(port, &QSerialPort::readyRead, this, [this] {
        // Qt reports no line errors; the driver's counts, where it keeps
        // them, are told ahead of the bytes they came with.
        if (d_->errorsTold) {
            if (const std::optional<LineErrors> now = countedErrors(d_->port->handle())) {
                const LineErrors fresh = now->since(*d_->errorsTold);
                d_->errorsTold = now;
                if (fresh.any()) emit lineErrors(fresh);
                if (!isOpen()) return;
            }
        }
        const qint64 waiting = d_->port->bytesAvailable();
        if (waiting <= d_->told) return;
        const QByteArray fresh = d_->port->peek(waiting).right(waiting - d_->told);
        d_->told = waiting;
        emit arrived(fresh);
    });
    d_->writeLimit = new QTimer(this);
    d_->writeLimit->setSingleShot(true);
    connect(d_->writeLimit, &QTimer::timeout, this, [this] {
        if (!isOpen() || d_->port->bytesToWrite() == 0) return;
        const QString seconds = d_->writeLimitMs % 1000 == 0
                                    ? QString::number(d_->writeLimitMs / 1000)
                                    : QString::number(d_->writeLimitMs / 1000.0, 'g', 3);
        const QString reason =
            QStringLiteral(
                "The write to %1 did not finish within %2 seconds: the port took "
                "nothing more of it.")
                .arg(d_->port->portName(), seconds);
        close();
        emit failed(reason);
    });
    // Whatever of a write goes out gives the rest the whole limit again.
    connect(port, &QSerialPort::bytesWritten, this, [this] {
        if (d_->port->bytesToWrite() == 0) {
            d_->writeLimit->stop();
        } else if (d_->writeLimitMs > 0) {
            d_->writeLimit->start(d_->writeLimitMs);
        }
    });
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError ||
            e == QSerialPort::UnsupportedOperationError)
            return;
        if (!isOpen()) return;
        // Fail on the first error: Qt would otherwise report a vanished
        // device again on every read notification, at full speed.
        const QString reason = d_->port->errorString();
        close();
        emit failed(reason);
    });
}

bool SerialDevice::isOpen() const {
    return d_->port && d_->port->isOpen();
}

void SerialDevice::close() {
    if (!d_->port) return;
    QSerialPort* port = std::exchange(d_->port, nullptr);
    port->disconnect(this);
    if (d_->writeLimit) d_->writeLimit->stop();
    if (port->isOpen()) port->close();
    // The port may be inside its own signal emission; let Qt delete it.
    port->deleteLater();
    d_->told = 0;
}

bool SerialDevice::write(const QByteArray& bytes, QString* why) {
    if (!isOpen()) {
        *why = QStringLiteral("the port is closed");
        return false;
    }
    if (d_->port->write(bytes) == bytes.size()) {
        if (d_->writeLimit && d_->writeLimitMs > 0 && !d_->writeLimit->isActive() &&
            d_->port->bytesToWrite() > 0)
            d_->writeLimit->start(d_->writeLimitMs);
        return true;
    }
    *why = d_->port->errorString();
    // Nothing more goes out or comes in; the caller tells of the loss.
    close();
    return false;
}

qint64 SerialDevice::waiting() const {
    return isOpen() ? d_->port->bytesAvailable() : 0;
}

QByteArray SerialDevice::read(qint64 maxBytes) {
    if (!isOpen()) return {};
    const QByteArray bytes = d_->port->read(maxBytes);
    d_->told = qMax<qint64>(0, d_->told - bytes.size());
    return bytes;
}

QByteArray SerialDevice::peek() const {
    return isOpen() ? d_->port->peek(d_->port->bytesAvailable()) : QByteArray();
}

void SerialDevice::clear() {
    if (!isOpen()) return;
    d_->port->clear(QSerialPort::Input);
    d_->port->readAll();
    d_->told = 0;
}

}  // namespace tavrin
