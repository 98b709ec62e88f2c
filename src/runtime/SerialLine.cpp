#include "runtime/SerialLine.h"

#include "core/TimeLimits.h"
#include "platform/SerialDevice.h"
#include "runtime/AdapterLog.h"

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

AdapterLine::OpenError SerialLine::openDevice(qint32 speed, QString* why) {
    const DeviceSettings settings{speed, flowOf(Handshaking), DTREnable, RTSEnable};
    SerialDevice::Opened opened = SerialDevice::Open(DevicePath, settings);
    if (!opened.device) {
        *why = opened.why;
        return opened.refused == SerialDevice::Refused::Settings ? OpenError::InvalidSettings
                                                                 : OpenError::Refused;
    }
    device_ = std::move(opened.device);
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
    return OpenError::None;
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
