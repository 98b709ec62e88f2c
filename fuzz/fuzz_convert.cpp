// The five text conversions on arbitrary text. Only the conversions' own
// overflow error may escape; besides not crashing, each result must have the
// shape its callers rely on, and conversions that can be undone must be.
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "convert/Extras.h"

using namespace tavrin;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool onlyOf(const QString& text, const char* allowed) {
    for (QChar c : text) {
        if (c.unicode() == 0 || c.unicode() > 0x7F || !std::strchr(allowed, char(c.unicode())))
            return false;
    }
    return true;
}

// The number a result stands for: an optional "-" then digits with no
// leading zero, or "0"/"" alone.
bool wellFormed(const QString& result, const char* digits) {
    const QString body = result.startsWith(u'-') ? result.mid(1) : result;
    if (result.startsWith(u'-') && (body.isEmpty() || body == QLatin1String("0"))) return false;
    if (body.size() > 1 && body.at(0) == u'0') return false;
    return onlyOf(body, digits);
}

template <typename F>
bool attempt(F f, QString* out) {
    try {
        *out = f();
        return true;
    } catch (const ConversionOverflow&) {
        return false;
    }
}

QString stripped(const QString& digits) {
    qsizetype i = 0;
    while (i < digits.size() && digits.at(i) == u'0') ++i;
    return i == digits.size() ? QStringLiteral("0") : digits.mid(i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input is the text, and the committed seeds
    // (fuzz/corpus/convert) are texts: an input of another kind would change
    // what every seed means, and goes to a target, and a corpus, of its own.
    // Latin-1 keeps every byte one character, as the serial line delivers it.
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size));

    // Every conversion runs on every text; the shape of the result is only
    // promised for input in the conversion's own notation.
    const QString body = text.startsWith(u'-') ? text.mid(1) : text;
    const bool decimal = onlyOf(body, "0123456789");
    const bool binary = onlyOf(body, "01");
    const bool hexadecimal = onlyOf(body, "0123456789abcdefABCDEF");
    QString out;
    if (attempt([&] { return DecimalToBinary(text); }, &out) && decimal)
        require(wellFormed(out, "01"));
    if (attempt([&] { return BinaryToDecimal(text); }, &out) && binary)
        require(wellFormed(out, "0123456789"));
    if (attempt([&] { return HexToDecimal(text); }, &out) && hexadecimal)
        require(wellFormed(out, "0123456789"));
    if (attempt([&] { return HexToBinary(text); }, &out) && hexadecimal)
        require(wellFormed(out, "01"));
    if (attempt([&] { return BinaryToHex(text); }, &out) && binary)
        require(wellFormed(out, "0123456789abcdef"));

    // Plain binary digits survive a trip through hexadecimal, and plain
    // decimal digits a trip through binary.
    if (!text.isEmpty() && onlyOf(text, "01")) {
        require(HexToBinary(BinaryToHex(text)) == stripped(text));
    }
    if (!text.isEmpty() && text.size() < 10 && onlyOf(text, "0123456789")) {
        QString b;
        if (attempt([&] { return DecimalToBinary(text); }, &b)) {
            require(BinaryToDecimal(b) == stripped(text));
            require(HexToDecimal(BinaryToHex(b)) == stripped(text));
        }
    }
    return 0;
}
