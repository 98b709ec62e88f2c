#include "runtime/SerialLine.h"

#include <QPointer>
#include <QThread>
#include <functional>
#include <optional>

#include "core/TimeLimits.h"
#include "platform/SerialDevice.h"
#include "runtime/AdapterLog.h"
#include "runtime/OffThread.h"

namespace tavrin {

namespace {

// The serial control's handshaking as the device knows it. There is no
// RTS/CTS and XON/XOFF at once; the hardware lines are the ones a device
// cannot ignore.
DeviceSettings::Flow flowOf(int handshaking) {
    switch (handshaking) {
        case AdapterLine::comXOnXOff:
            return DeviceSettings::Flow::Software;
        case AdapterLine::comRTS:
        case AdapterLine::comRTSXOnXOff:
            return DeviceSettings::Flow::Hardware;
        default:
            return DeviceSettings::Flow::None;
    }
}

AdapterLine::OpenError errorOf(SerialDevice::Refused refused) {
    switch (refused) {
        case SerialDevice::Refused::None:
            return AdapterLine::OpenError::None;
        case SerialDevice::Refused::NotFound:
            return AdapterLine::OpenError::NotFound;
        case SerialDevice::Refused::InUse:
            return AdapterLine::OpenError::InUse;
        case SerialDevice::Refused::NoPermission:
            return AdapterLine::OpenError::NoPermission;
        case SerialDevice::Refused::Settings:
            return AdapterLine::OpenError::InvalidSettings;
        case SerialDevice::Refused::NoAnswer:
            return AdapterLine::OpenError::NoAnswer;
        case SerialDevice::Refused::Other:
            break;
    }
    return AdapterLine::OpenError::Refused;
}

}  // namespace

SerialLine::SerialLine(QObject* parent)
    : AdapterLine(parent), writeLimitMs_(TimeLimits{}.writeMs) {}

SerialLine::~SerialLine() {
    if (device_) device_->disconnect(this);
}

bool SerialLine::isDeviceOpen() const {
    // Until the line lets go of it: a device that failed reads as empty.
    return device_ != nullptr;
}

QCoro::Task<AdapterLine::Opening> SerialLine::openDevice(qint32 speed, Clock& clock, int limitMs,
                                                         Stop stop) {
    const DeviceSettings settings{speed, flowOf(Handshaking), DTREnable, RTSEnable};
    const QString path = DevicePath;
    QThread* home = thread();
    const QPointer<SerialLine> self(this);
    // Named first: GCC 12 destroys a lambda made inside a co_await's
    // operands twice.
    std::function<SerialDevice::Opened()> open = [path, settings] {
        return SerialDevice::Open(path, settings);
    };
    std::function<void(SerialDevice::Opened&)> handOver = [home](SerialDevice::Opened& o) {
        if (o.device) o.device->moveToThread(home);
    };
    // Too late: closed where it was opened, and never written to.
    std::function<void(SerialDevice::Opened)> late = [](SerialDevice::Opened) {};
    std::optional<SerialDevice::Opened> opened = co_await RunOffThread<SerialDevice::Opened>(
        clock, limitMs, stop, std::move(open), std::move(handOver), std::move(late));
    if (!self) co_return Opening{OpenError::Cancelled, {}};
    if (!opened) {
        if (stop.requested()) co_return Opening{OpenError::Cancelled, QStringLiteral("cancelled")};
        co_return Opening{OpenError::NoAnswer,
                          QStringLiteral("the device did not open within %1 ms").arg(limitMs)};
    }
    if (!opened->device) co_return Opening{errorOf(opened->refused), opened->why};
    use(std::move(opened->device));
    co_return Opening{};
}

void SerialLine::use(std::unique_ptr<SerialDevice> device) {
    device_ = std::move(device);
    connect(device_.get(), &SerialDevice::arrived, this, [this](const QByteArray& bytes) {
        if (log()) log()->record(AdapterLog::Direction::Received, bytes);
        notifyArrival();
    });
    connect(device_.get(), &SerialDevice::lineErrors, this,
            [this](const LineErrors& errors) { heardLineErrors(errors); });
    connect(device_.get(), &SerialDevice::failed, this,
            [this](const QString& reason) { lose(reason); });
    device_->setWriteLimit(writeLimitMs_);
    device_->start();
}

void SerialLine::closeDevice() {
    if (!device_) return;
    device_->disconnect(this);
    device_->close();
    // The device may be inside its own signal emission; let Qt delete it.
    device_.release()->deleteLater();
}

bool SerialLine::writeDevice(const QByteArray& bytes) {
    QString why;
    if (device_->write(bytes, &why)) return true;
    // Refused at once: the line is lost now, with the system's reason, and
    // said once, by whoever wrote.
    lose(why);
    return false;
}

QByteArray SerialLine::readDevice(qint64 maxBytes) {
    return device_->read(maxBytes);
}

qint64 SerialLine::deviceWaiting() const {
    return device_ ? device_->waiting() : 0;
}

QByteArray SerialLine::peekDevice() const {
    return device_ ? device_->peek() : QByteArray();
}

void SerialLine::clearDevice() {
    device_->clear();
}

}  // namespace tavrin
