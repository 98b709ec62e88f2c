#include "serial/NetworkAddress.h"

#include <QList>
#include <QStringView>

namespace tavrin {

namespace {

bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool IsHexDigit(QChar c) {
    return IsDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool IsAsciiLetter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool AllOf(QStringView text, bool (*test)(QChar)) {
    for (const QChar c : text) {
        if (!test(c)) return false;
    }
    return true;
}

// Leading zeros are refused: some systems read "010" as octal 8.
bool IsIpv4(QStringView text) {
    const QList<QStringView> parts = text.split(u'.');
    if (parts.size() != 4) return false;
    for (const QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3 || !AllOf(part, IsDigit)) return false;
        if (part.size() > 1 && part.front() == u'0') return false;
        if (part.toInt() > 255) return false;
    }
    return true;
}

// Eight groups of 1-4 hex digits, or fewer around a single "::"; the last
// two groups may be written as an IPv4 address.
bool IsIpv6(QStringView text) {
    const qsizetype gap = text.indexOf(u"::");
    if (gap >= 0 && text.indexOf(u"::", gap + 1) >= 0) return false;
    int groups = 0;
    const auto count = [&groups](QStringView part, bool endsAddress) {
        if (part.isEmpty()) return true;
        const QList<QStringView> fields = part.split(u':');
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const QStringView field = fields.at(i);
            if (endsAddress && i == fields.size() - 1 && field.contains(u'.')) {
                if (!IsIpv4(field)) return false;
                groups += 2;
            } else {
                if (field.isEmpty() || field.size() > 4 || !AllOf(field, IsHexDigit)) return false;
                ++groups;
            }
        }
        return true;
    };
    if (gap < 0) return count(text, true) && groups == 8;
    return count(text.first(gap), false) && count(text.sliced(gap + 2), true) && groups <= 7;
}

bool IsHostName(QStringView text) {
    if (text.isEmpty() || text.size() > 253) return false;
    const QList<QStringView> labels = text.split(u'.');
    for (const QStringView label : labels) {
        if (label.isEmpty() || label.size() > 63) return false;
        if (label.front() == u'-' || label.back() == u'-') return false;
        for (const QChar c : label) {
            if (!IsAsciiLetter(c) && !IsDigit(c) && c != u'-') return false;
        }
    }
    // All digits at the end means an IPv4 address, and it was not a valid one.
    return !AllOf(labels.last(), IsDigit);
}

std::optional<quint16> ParsePort(QStringView text) {
    if (text.isEmpty() || text.size() > 5 || !AllOf(text, IsDigit)) return std::nullopt;
    const int port = text.toInt();
    if (port < 1 || port > 65535) return std::nullopt;
    return quint16(port);
}

}  // namespace

QString NetworkAddress::text() const {
    const QString number = QString::number(port);
    if (host.contains(u':')) return QStringLiteral("[%1]:%2").arg(host, number);
    return QStringLiteral("%1:%2").arg(host, number);
}

std::optional<NetworkAddress> ParseNetworkAddress(const QString& text) {
    const QStringView whole = QStringView(text).trimmed();
    QStringView host;
    QStringView port;
    bool bracketed = false;
    if (whole.startsWith(u'[')) {
        const qsizetype close = whole.indexOf(u']');
        if (close < 0 || close + 1 >= whole.size() || whole.at(close + 1) != u':')
            return std::nullopt;
        host = whole.sliced(1, close - 1);
        port = whole.sliced(close + 2);
        bracketed = true;
    } else {
        const qsizetype colon = whole.lastIndexOf(u':');
        if (colon < 0) return std::nullopt;
        host = whole.first(colon);
        port = whole.sliced(colon + 1);
    }

    const bool hostOk = bracketed ? IsIpv6(host) : IsIpv4(host) || IsHostName(host);
    if (!hostOk) return std::nullopt;
    // The settings reader takes any line with these words for a key line.
    if (host.contains(u"comport", Qt::CaseInsensitive) ||
        host.contains(u"comspeed", Qt::CaseInsensitive))
        return std::nullopt;
    const std::optional<quint16> number = ParsePort(port);
    if (!number) return std::nullopt;
    return NetworkAddress{host.toString(), *number};
}

std::optional<NetworkAddress> ParseSocketUrl(const QString& text) {
    static const QString scheme = QStringLiteral("socket://");
    if (!text.startsWith(scheme, Qt::CaseInsensitive)) return std::nullopt;
    return ParseNetworkAddress(text.mid(scheme.size()));
}

}  // namespace tavrin
