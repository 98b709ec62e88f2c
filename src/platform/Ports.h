#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace tavrin {

// What the system knows of one serial port it lists.
struct PortInfo {
    // Where a line opens it, as ComDevicePath gives it ("/dev/ttyUSB0",
    // "COM4"), and its short name ("ttyUSB0", "COM4").
    QString location;
    QString name;
    QString maker;
    // The system's own words for the device: its USB description on Linux,
    // its friendly name on Windows ("USB-SERIAL CH340 (COM4)").
    QString description;
    // Windows' device instance ID (USB\VID_1A86&PID_7523\5&2C..., or
    // BTHENUM\{00001101-...}_LOCALMFG&0000\... for Bluetooth); empty elsewhere.
    QString instanceId;
};

// The serial ports the system lists right now, found without opening any.
QList<PortInfo> KnownPorts();
// Whether the system lists a device at path (as ComDevicePath gives it),
// found without opening it: on Linux a device node there, on Windows a COM
// name it knows.
bool PortListed(const QString& path);
// Whether this user may open the device at path, as far as the system says
// without an open (Linux's file modes; Windows does not say).
bool PortAccessible(const QString& path);

// The device behind port number n, for showing to the user. On Linux:
// <settingsFolder>/ports/com<n> if it exists (usually a link the user made),
// otherwise the fixed table COM1-4 ttyUSB0-3, COM5-8 ttyACM0-3, COM9-12
// rfcomm0-3, COM13-16 ttyS0-3. On Windows: the system's own COMn. Empty when
// there is no such device.
QString ComDeviceName(qint16 n, const QString& settingsFolder);
// The same as a line opens it: links resolved on Linux, so two names for one
// device give one path; COMn on Windows, which the line opens as \\.\COMn so
// that COM10 and above open too.
QString ComDevicePath(qint16 n, const QString& settingsFolder);

// A device given by its own name (a command line's --port /dev/ttyUSB0 or
// --port COM4), as the lines open it; empty when there is no such device.
QString DevicePathOf(const QString& device);

// Whether a ports/comN link beside the settings file names port N's device
// (Linux), or the system numbers its ports itself (Windows).
bool PortLinksNameDevices();

// How to give a device one of the numbers COM1 to COM16, as the end of a
// sentence.
QString PortNumberingAdvice();

}  // namespace tavrin
