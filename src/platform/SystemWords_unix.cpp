#include "platform/SystemWords.h"

namespace tavrin {

QString NoPermissionAdvice() {
    return QStringLiteral(
        "Join the \"dialout\" group (sudo adduser $USER dialout), then log out and log in "
        "again.");
}

QString NoPermissionRemedy() {
    return QStringLiteral("join the \"dialout\" group");
}

QString BluetoothPortAdvice() {
    return QStringLiteral("a Bluetooth adapter: paired and bound");
}

QString PortAccessCheck() {
    return QStringLiteral("that you may use serial ports (join the \"dialout\" group)");
}

QString NoDeviceAdvice(const QString& port, bool terminal) {
    return QStringLiteral(
               "%1 stands for no device: COM1 to COM16 are the usual serial devices, and a "
               "link ports/%2 beside the settings file can name any other.")
               .arg(port, port.toLower()) +
           (terminal ? QStringLiteral(" Or give the device itself with --port.") : QString());
}

QString DeviceExample() {
    return QStringLiteral("a device such as /dev/ttyUSB0");
}

QString PortArgument(const QString& given) {
    return given;
}

bool NamesDevice(const QString& given) {
    return given.startsWith(QLatin1Char('/'));
}

}  // namespace tavrin
