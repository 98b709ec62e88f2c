#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

#include "core/Defines.h"
#include "serial/NetworkAddress.h"

namespace tavrin {

class Host;

// The settings file: a header line and two key lines, always rewritten whole,
// and a "Network=HOST:PORT" line after them when a Wi-Fi adapter is chosen.
// Readers from before that line skip it, as any line without a key word.
inline constexpr char kIniHeader[] = "QUILLET v1.00 INI File";
inline constexpr char kIniFileName[] = "QUILLET.INI";
// A settings file is three short lines; anything larger than this is damaged
// and is never read into memory whole.
inline constexpr qint64 kIniMaxFileBytes = 64 * 1024;

// The text of status panel 3: "Wi-Fi " + the address when d.Network is set,
// otherwise "COM " + ComPort + " / " + ComSpeed.
QString StatusText(const Defines& d);

// Number conversion of a value text: blanks, tabs and line feeds are ignored
// anywhere; then an optional sign, digits and an optional fraction after "."
// are read up to the first character that cannot continue the number. No
// number gives 0. Exponents and prefixes such as "0x" are not number
// characters ("1e3" gives 1, "0x10" gives 0). The result is always finite: a
// number too large for a double gives the largest finite double of its sign
// and sets *ok to false; otherwise *ok is true.
double IniNumber(const QString& text, bool* ok = nullptr);

// IniNumber rounded half to even; false (and *port untouched) when the result
// lies outside -32768..32767 or the number is too large to convert.
bool IniPortNumber(const QString& text, qint16* port);

// Decimal text of a number, without leading zeros, exponent or trailing
// fraction zeros: 9600 -> "9600", 9600.5 -> "9600.5", 0.25 -> "0.25".
QString IniSpeedText(double value);

// The exact bytes the writer puts in the file for these settings: the three
// lines, then the network line only when there is an address.
QByteArray IniFileContent(qint16 comPort, const QString& comSpeed,
                          const std::optional<NetworkAddress>& network = std::nullopt);

// Parses the content of a settings file. On success stores the values of the
// key lines found (a setting no line mentions keeps its value) and returns
// true; on any failure returns false and leaves all settings untouched.
// The network line is optional and never makes a file unusable: its key
// "Network=" starts the line, in any letter case, and the last such line
// holding an address gives *network that address's text(); without one,
// *network becomes empty and the serial port is used. The key lines are read
// by their own rules whatever else a line holds, so the port and speed always
// come out as a reader of three-line files gives them.
bool ParseIniContent(const QByteArray& content, qint16* comPort, QString* comSpeed,
                     QString* network = nullptr);

// The settings file for start-up: in host.programFolder() when a file can be
// created there, otherwise in host.userConfigFolder() (created if needed). In
// that folder an existing file named "QUILLET.INI" in any letter case is used;
// otherwise the path of "QUILLET.INI".
QString StartupIniFilePath(Host& host);
// The file the Setup dialog saves to; always the same file start-up reads.
QString SetupIniFilePath(Host& host);

using PanelSetter = std::function<void(const QString&)>;

// Reads d.IniFilePath into d.ComPort, d.ComSpeed and d.Network. When the file
// is missing or unusable the default file is written and the settings become
// port 1, speed "9600" and no network. Shows StatusText(d) through setPanel3.
// Returns false, with a message naming the path in *error, only when the
// default file could not be written; the settings in memory are then port 1,
// "9600" and no network all the same.
bool ReadIniFile(Defines& d, const PanelSetter& setPanel3, QString* error = nullptr);

// Reads d.IniFilePath into d.ComPort, d.ComSpeed and d.Network without writing:
// false, with the settings untouched, when the file is missing or unusable.
bool LoadIniFile(Defines& d);

// Replaces the file at d.IniFilePath in one step with the three lines for
// d.ComPort and d.ComSpeed and, when d.Network is set, the network line. A
// d.Network that is no address is refused. On failure the previous file stays
// exactly as it was, *error explains (naming the path) and the result is
// false. Shows StatusText(d) through setPanel3 either way.
bool WriteIniFile(const Defines& d, const PanelSetter& setPanel3, QString* error = nullptr);

}  // namespace tavrin
