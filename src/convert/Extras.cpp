#include "convert/Extras.h"

#include <limits>

namespace tavrin {

namespace {

constexpr qint32 kMaxInt = std::numeric_limits<qint32>::max();

struct Normalised {
    bool negative = false;
    QString digits;  // empty means the value is zero
};

// One leading "-" is the sign; leading zeros after it carry nothing.
Normalised normalise(const QString& text) {
    Normalised n;
    qsizetype start = 0;
    if (!text.isEmpty() && text.at(0) == u'-') {
        n.negative = true;
        start = 1;
    }
    while (start < text.size() && text.at(start) == u'0') ++start;
    n.digits = text.mid(start);
    return n;
}

// The arithmetic is 32-bit signed; check before the operation so that the
// overflow is reported instead of happening.
qint32 doubled(qint32 v) {
    if (v > kMaxInt / 2) throw ConversionOverflow("value does not fit in 32 bits");
    return v * 2;
}

qint32 added(qint32 a, qint32 b) {
    if (a > kMaxInt - b) throw ConversionOverflow("value does not fit in 32 bits");
    return a + b;
}

QString withSign(bool negative, const QString& digits) {
    return negative ? QStringLiteral("-") + digits : digits;
}

QString padLeft(QString text, qsizetype width) {
    if (text.size() < width) text.prepend(QString(width - text.size(), u'0'));
    return text;
}

QString stripLeadingZeros(const QString& text) {
    qsizetype start = 0;
    while (start < text.size() && text.at(start) == u'0') ++start;
    return text.mid(start);
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return -1;
}

}  // namespace

QString DecimalToBinary(const QString& text) {
    const Normalised n = normalise(text);
    if (n.digits.isEmpty()) return QStringLiteral("0");

    // Text that is not a plain decimal integer ("12.5", "7x", "1-2") is read
    // up to its first non-digit; with no digit at all the value is 0.
    qint32 v = 0;
    for (const QChar c : n.digits) {
        const char16_t u = c.unicode();
        if (u < u'0' || u > u'9') break;
        const qint32 digit = u - u'0';
        // Past 32 bits the value is far beyond the 2^30 limit anyway.
        if (v > (kMaxInt - digit) / 10) throw ConversionOverflow("value does not fit in 32 bits");
        v = v * 10 + digit;
    }
    if (v == 0) return QStringLiteral("0");

    // Highest power of two not above v; forming 2^31 overflows, so any v of
    // 2^30 or more is rejected here.
    qint32 p = 1;
    while (v >= doubled(p)) p = doubled(p);

    QString out;
    while (p >= 1) {
        if (v >= p) {
            out += u'1';
            v -= p;
        } else {
            out += u'0';
        }
        p /= 2;
    }
    return withSign(n.negative, out);
}

QString BinaryToDecimal(const QString& text) {
    const Normalised n = normalise(text);
    if (n.digits.isEmpty()) return QStringLiteral("0");

    qint32 sum = 0;
    qint32 weight = 1;
    for (qsizetype i = n.digits.size(); i-- > 0;) {
        if (n.digits.at(i) == u'1') sum = added(sum, weight);
        // Doubling after the last digit too is what caps the input at 30 digits.
        weight = doubled(weight);
    }
    if (n.negative && sum != 0) return QStringLiteral("-") + QString::number(sum);
    return QString::number(sum);
}

QString HexToBinary(const QString& text) {
    const Normalised n = normalise(text);
    if (n.digits.isEmpty()) return QStringLiteral("0");

    QString joined;
    joined.reserve(n.digits.size() * 4);
    for (const QChar c : n.digits) {
        const int value = hexValue(c);
        // A line end or other stray character contributes no bits.
        joined += value < 0 ? QStringLiteral("0000")
                            : padLeft(DecimalToBinary(QString::number(value)), 4);
    }
    const QString bits = stripLeadingZeros(joined);
    // No bits at all (only stray characters): no digits and so no sign either.
    if (bits.isEmpty()) return QString();
    return withSign(n.negative, bits);
}

QString HexToDecimal(const QString& text) {
    const Normalised n = normalise(text);
    if (n.digits.isEmpty()) return QStringLiteral("0");

    QString bits;
    bits.reserve(n.digits.size() * 4 + 1);
    if (n.negative) bits += u'-';
    for (const QChar c : n.digits) bits += padLeft(HexToBinary(QString(c)), 4);
    return BinaryToDecimal(bits);
}

QString BinaryToHex(const QString& text) {
    const Normalised n = normalise(text);
    if (n.digits.isEmpty()) return QStringLiteral("0");

    static const char kDigits[] = "0123456789abcdef";
    const QString t = padLeft(n.digits, (n.digits.size() + 3) / 4 * 4);
    QString out;
    out.reserve(t.size() / 4 + 1);
    for (qsizetype i = 0; i + 4 <= t.size(); i += 4) {
        int value = BinaryToDecimal(t.mid(i, 4)).toInt();
        // Four digits give at most 15. A group can only come out negative when
        // a "-" stands inside the text and opens the group; that "-" then
        // counts as a 0 digit like any other character that is not "1".
        if (value < 0) value = -value;
        out += QLatin1Char(kDigits[value & 0xF]);
    }
    return withSign(n.negative, out);
}

}  // namespace tavrin
