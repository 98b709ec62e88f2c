#include "serial/NetworkAddress.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace tavrin {

QString NetworkAddress::text() const {
    const QString shown = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(shown).arg(port);
}

std::optional<NetworkAddress> ParseNetworkAddress(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([0-9A-Za-z.-]+)):([0-9]{1,5})$"));
    const auto match = form.match(text.trimmed());
    if (!match.hasMatch()) return std::nullopt;
    const int port = match.captured(3).toInt();
    if (port < 1 || port > 65535) return std::nullopt;
    NetworkAddress a;
    a.port = quint16(port);
    if (match.hasCaptured(1) && !match.captured(1).isEmpty()) {
        QHostAddress v6;
        if (!v6.setAddress(match.captured(1)) || v6.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        a.host = match.captured(1).toLower();
        return a;
    }
    a.host = match.captured(2);
    QHostAddress v4;
    if (v4.setAddress(a.host) && v4.protocol() == QAbstractSocket::IPv4Protocol) return a;
    // Otherwise a name: labels of letters, digits and hyphens, none empty.
    static const QRegularExpression label(
        QStringLiteral("^[0-9A-Za-z](?:[0-9A-Za-z-]{0,61}[0-9A-Za-z])?$"));
    if (a.host.size() > 253) return std::nullopt;
    const QString lower = a.host.toLower();
    // The settings file's reader takes any line holding these words for its
    // own; the address line must never be one.
    if (lower.contains(QLatin1String("comport")) || lower.contains(QLatin1String("comspeed")))
        return std::nullopt;
    for (const QString& part : a.host.split(QLatin1Char('.'))) {
        if (!label.match(part).hasMatch()) return std::nullopt;
    }
    // All digits and dots, yet no IPv4 address: a typing mistake, not a name.
    static const QRegularExpression digits(QStringLiteral("^[0-9.]+$"));
    if (digits.match(a.host).hasMatch()) return std::nullopt;
    return a;
}

std::optional<NetworkAddress> ParseSocketUrl(const QString& text) {
    static const QString scheme = QStringLiteral("socket://");
    if (!text.startsWith(scheme, Qt::CaseInsensitive)) return std::nullopt;
    return ParseNetworkAddress(text.mid(scheme.size()));
}

}  // namespace tavrin
