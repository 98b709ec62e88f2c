#include <QRegularExpression>

#include "platform/SystemWords.h"

namespace tavrin {

namespace {

const QString kDevicePrefix = QStringLiteral("\\\\.\\");

}  // namespace

// Windows lets every user open a serial port: a refusal means that another
// program or a driver's service holds it, or that the driver is in trouble.
QString NoPermissionAdvice() {
    return QStringLiteral(
        "Another program or service may hold it: close it, or unplug the adapter and plug it "
        "in again. If that does not help, look at the port in Device Manager, under Ports "
        "(COM & LPT): a warning sign there means its driver needs installing again.");
}

QString NoPermissionRemedy() {
    return QStringLiteral("another program or service may hold it");
}

// Windows makes the COM ports of a Bluetooth serial adapter when it is
// paired; there is nothing to bind.
QString BluetoothPortAdvice() {
    return QStringLiteral("a Bluetooth adapter: paired in Windows' Bluetooth settings");
}

QString PortAccessCheck() {
    return QStringLiteral(
        "that its driver is installed (Device Manager lists its port under Ports (COM & LPT))");
}

// Windows numbers its ports from COM1 and has one for any number it hands
// out, so the only port number with no device is one below 1, which a
// settings line edited by hand gives ("ComPort = COM5" reads as port 0).
QString NoDeviceAdvice(const QString& port, bool terminal) {
    return QStringLiteral("%1 is not a port: Windows numbers its ports from COM1. ").arg(port) +
           (terminal ? QStringLiteral(
                           "Give the port with --port (tavrin --find looks for the adapter), or "
                           "correct the settings file's line to the form ComPort=COM3, with no "
                           "blanks.")
                     : QStringLiteral(
                           "Choose the adapter's port in Setup. A settings file edited by hand "
                           "needs its line as ComPort=COM3, with no blanks."));
}

QString DeviceExample() {
    return QStringLiteral("a device name such as \\\\.\\COM3");
}

QString PortArgument(const QString& given) {
    static const QRegularExpression comDevice(QStringLiteral(R"(^\\\\\.\\(COM[0-9]+)$)"),
                                              QRegularExpression::CaseInsensitiveOption);
    const auto match = comDevice.match(given);
    return match.hasMatch() ? match.captured(1) : given;
}

bool NamesDevice(const QString& given) {
    return given.startsWith(kDevicePrefix) && given.size() > kDevicePrefix.size();
}

}  // namespace tavrin
