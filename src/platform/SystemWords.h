#pragma once

#include <QString>

namespace tavrin {

// What the program says and reads that depends on the system: advice about
// serial ports in the system's own terms (the dialout group, udev links and
// rfcomm on Linux; Device Manager, drivers and Bluetooth pairing on Windows),
// and how a device is named on the command line.

// After "You do not have permission to open DEVICE.": what to do about it.
QString NoPermissionAdvice();
// The same in a few words, after "no permission; " in a list.
QString NoPermissionRemedy();
// What a Bluetooth adapter needs before it has a port, as the end of
// "Plug the adapter in (a Bluetooth adapter: ...)".
QString BluetoothPortAdvice();
// The last thing to check when no adapter answered, after "and": that the
// system lets the program use the port.
QString PortAccessCheck();
// A port number that stands for no device (COM0, from a settings line
// edited by hand; COM17 and up on Linux, with no link of their own), in a
// sentence or two naming port as given ("COM0"). terminal: the user is at the
// command line, not in the window.
QString NoDeviceAdvice(const QString& port, bool terminal);

// A device named directly on the command line, for --help and its errors:
// "a device such as /dev/ttyUSB0".
QString DeviceExample();
// A --port argument in the form the option parser reads: on Windows the
// device name of a COM port ("\\.\COM3", any case) is the port itself
// ("COM3"); anything else as given.
QString PortArgument(const QString& given);
// Whether a --port argument names a device by its path: "/dev/..." on Linux,
// "\\.\NAME" on Windows.
bool NamesDevice(const QString& given);

}  // namespace tavrin
