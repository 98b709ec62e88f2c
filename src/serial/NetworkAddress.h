#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace tavrin {

// Where a Wi-Fi adapter usually listens out of the box.
inline constexpr char kDefaultNetworkHost[] = "192.168.0.10";
inline constexpr quint16 kDefaultNetworkPort = 35000;

// The address of an adapter reached over TCP.
struct NetworkAddress {
    QString host;  // IPv4 address, IPv6 address without brackets, or host name
    quint16 port = 0;

    // "HOST:PORT", an IPv6 address in brackets; ParseNetworkAddress gives
    // the same address back for it.
    QString text() const;
    bool operator==(const NetworkAddress& other) const = default;
};

// Reads "HOST:PORT", blanks allowed around the whole. HOST is an IPv4 address
// of four decimal parts 0-255 without leading zeros, an IPv6 address in
// brackets (no zone), or a host name: letters, digits, hyphens and dots, each
// label 1-63 characters and neither starting nor ending with a hyphen, at most
// 253 characters, the last label not all digits. PORT is 1-65535 in decimal
// digits. A host containing "comport" or "comspeed" in any letter case is
// refused, so that the settings line holding it is never read as a key line.
// Anything else gives nullopt.
std::optional<NetworkAddress> ParseNetworkAddress(const QString& text);

// The same from a command line's "socket://HOST:PORT"; nothing when the
// text does not start so.
std::optional<NetworkAddress> ParseSocketUrl(const QString& text);

}  // namespace tavrin
