#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace tavrin {

// Where a Wi-Fi adapter listens: a host (an IPv4 address, an IPv6 address, or
// a name) and a TCP port.
struct NetworkAddress {
    QString host;
    quint16 port = 0;

    // "HOST:PORT", with an IPv6 address in brackets.
    QString text() const;
    bool operator==(const NetworkAddress& other) const = default;
};

// The address most Wi-Fi ELM327 adapters use for themselves.
inline constexpr char kDefaultNetworkHost[] = "192.168.0.10";
inline constexpr quint16 kDefaultNetworkPort = 35000;

// "HOST:PORT": HOST an IPv4 address, an IPv6 address in brackets or a host
// name (letters, digits, hyphens and dots), PORT 1 to 65535; blanks around it
// are allowed. Nothing for anything else, and for a host whose name holds a
// key word of the settings file ("comport", "comspeed").
std::optional<NetworkAddress> ParseNetworkAddress(const QString& text);

// The same from a command line's "socket://HOST:PORT"; nothing when the
// text does not start so.
std::optional<NetworkAddress> ParseSocketUrl(const QString& text);

}  // namespace tavrin
