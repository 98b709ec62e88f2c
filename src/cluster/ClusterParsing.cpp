#include "cluster/ClusterParsing.h"

#include "convert/Extras.h"
#include "serial/Exchange.h"

namespace tavrin::cluster {

namespace {

// Data byte n of an answer remainder sits at 1-based positions 3n-2 and 3n-1;
// a short remainder gives a shorter or empty field.
QString dataByte(const QString& remainder, int n) {
    return remainder.mid(3 * n - 3, 2);
}

bool isHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

bool isTwoHexDigits(const QString& text) {
    return text.size() == 2 && isHexDigit(text.at(0)) && isHexDigit(text.at(1));
}

const QString kPoliceAnswerPrefix = QStringLiteral("61 03 ");

// Whether a data line holds exactly `count` data bytes, "XX " each (the last
// space may be missing), and its carriage return: anything more or less is a
// damaged answer. Unreadable bytes are line noise, left out as the exchange
// leaves them out.
bool holdsExactly(QString text, int count) {
    text.removeIf(IsUnreadableChar);
    if (!text.endsWith(QLatin1Char('\r'))) return false;
    text.chop(1);
    if (text.endsWith(QLatin1Char(' '))) text.chop(1);
    if (text.size() != 3 * count - 1) return false;
    for (int n = 1; n <= count; ++n) {
        if (!isTwoHexDigits(dataByte(text, n))) return false;
        if (n < count && text.at(3 * n - 1) != QLatin1Char(' ')) return false;
    }
    return true;
}

}  // namespace

const std::vector<CatalogueRow>& Catalogue() {
    static const std::vector<CatalogueRow> rows = {
        {"3R23", "00", "A", "BA XT/XL/Forte"},   {"3R23", "02", "B", "BA Futura"},
        {"3R23", "03", "B", "BA Futura"},        {"3R23", "04", "C", "BA Fairmont"},
        {"3R23", "06", "D", "BA XR Low"},        {"3R23", "08", "E", "BA Fairmont"},
        {"3R23", "0A", "F", "BA Fairmont Ghia"}, {"3R23", "0C", "G", "BA GT"},
        {"3R23", "0E", "H", "BA GTP"},           {"3R23", "10", "J", "BA Coleman Milne"},
        {"3R23", "12", "K", "BA2 XT/XL"},        {"3R23", "14", "L", "BA XR High"},
        {"3R23", "16", "M", "BA2 Futura"},       {"3R23", "18", "N", "BA2 RTV"},
        {"3R23", "1A", "P", "BA2 XR Low"},       {"3R23", "1C", "R", "BA2 GT/F6 Low"},
        {"3R23", "1E", "S", "BA2 GT/F6 High"},   {"3R23", "20", "T", "BA2 Fairlane"},

        {"3R73", "00", "A", "SX TX RWD"},        {"3R73", "02", "B", "SX TX AWD"},
        {"3R73", "04", "C", "SX TS/Ghia"},

        {"5R29", "00", "A", "BF XT/XL"},         {"5R29", "02", "B", "BF Futura"},
        {"5R29", "04", "C", "BF RTV"},           {"5R29", "06", "D", "BF XR Low"},
        {"5R29", "08", "E", "BF Fairmont"},      {"5R29", "0A", "F", "BF Fairmont Ghia"},
        {"5R29", "0C", "G", "BF GT/F6 Low"},     {"5R29", "0E", "H", "BF GT/F6 High"},
        {"5R29", "10", "J", "BF2 XLS"},          {"5R29", "12", "K", "BF Coleman Milne"},
        {"5R29", "14", "L", "BF2 XR High"},      {"5R29", "16", "M", "BF2 Fairmont Ghia"},
        {"5R29", "18", "N", "BF3 XR Low"},       {"5R29", "1A", "P", "BF2 XR High"},

        {"5R79", "00", "A", "SY TX RWD"},        {"5R79", "02", "B", "SY TX AWD"},
        {"5R79", "04", "C", "SY TS/Ghia"},       {"5R79", "08", "E", "SY Turbo Ghia"},
    };
    return rows;
}

const std::vector<SecondLetterRow>& SecondLetterTable() {
    static const std::vector<SecondLetterRow> rows = {
        {"00", "A"}, {"01", "B"}, {"02", "B"}, {"03", "D"}, {"04", "C"}, {"06", "D"}, {"08", "E"},
        {"0A", "F"}, {"0C", "G"}, {"0E", "H"}, {"10", "J"}, {"12", "K"}, {"14", "L"}, {"16", "M"},
        {"18", "N"}, {"1A", "P"}, {"1C", "R"}, {"1E", "S"}, {"20", "T"},
    };
    return rows;
}

QString PartPrefixFromRemainder(const QString& remainder) {
    QString prefix;
    for (int n = 1; n <= 4; ++n) {
        // Two hexadecimal characters give 0 to 255. Only a "-" in the field can
        // give anything else; such a field counts as an empty one (code 0).
        const int code = HexToDecimal(dataByte(remainder, n)).toInt();
        prefix += QChar(static_cast<char16_t>(code >= 0 && code <= 255 ? code : 0));
    }
    return prefix;
}

QString PartBaseFromRemainder(const QString& remainder) {
    // Data byte 2 is not part of the number.
    return dataByte(remainder, 1) + dataByte(remainder, 3) + dataByte(remainder, 4);
}

void GetClusterModel(Defines& d, const QString& answer) {
    d.SuffixCode[0] = dataByte(answer, 1);
    d.SuffixCode[1] = dataByte(answer, 2);

    // Exact, case-sensitive comparison: the codes stay as the adapter printed
    // them. An identification without a row clears what an earlier one left.
    d.ModelName.clear();
    d.SuffixLetter[0].clear();
    for (const CatalogueRow& row : Catalogue()) {
        if (d.PartPrefix == QLatin1String(row.prefix) &&
            d.SuffixCode[0] == QLatin1String(row.code)) {
            d.SuffixLetter[0] = QString::fromLatin1(row.letter);
            d.ModelName = QString::fromLatin1(row.model);
            break;
        }
    }

    d.SuffixLetter[1].clear();
    for (const SecondLetterRow& row : SecondLetterTable()) {
        if (d.SuffixCode[1] == QLatin1String(row.code)) {
            d.SuffixLetter[1] = QString::fromLatin1(row.letter);
            break;
        }
    }

    d.PartSuffix = d.SuffixLetter[0] + d.SuffixLetter[1];
}

QString BaseNumberText(const QString& partBase) {
    // Decimal digits read as a number lose only their leading zeros, so the
    // text itself is the number at any length; anything else (hexadecimal
    // letters, a truncated answer) is shown as printed, trimmed the same way.
    qsizetype start = 0;
    while (start < partBase.size() && partBase.at(start) == u'0') ++start;
    return start == partBase.size() ? QStringLiteral("0") : partBase.mid(start);
}

QString DisplayPartNumber(const Defines& d) {
    // The variables keep what the cluster sent; the screen gets a visible
    // stand-in for anything that cannot be shown, in every part.
    QString text = d.PartPrefix + u'-' + BaseNumberText(d.PartBase) + u'-' + d.PartSuffix;
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || u > 0xFF || !c.isPrint()) c = u'?';
    }
    return text;
}

QString FrameLengthField(const QString& phase1) {
    if (!phase1.endsWith(kPoliceAnswerPrefix)) return QString();
    const qsizetype end = phase1.size() - kPoliceAnswerPrefix.size();
    // "... 04 61 03 ": a space, the two digits, and the space after them.
    if (end < 4 || phase1.at(end - 4) != u' ' || phase1.at(end - 1) != u' ') return QString();
    const QString field = phase1.mid(end - 3, 2);
    return isTwoHexDigits(field) ? field : QString();
}

std::optional<PoliceRecord> ApplyPoliceRead(Defines& d, const QString& phase1,
                                            const QString& phase2) {
    // The length comes from the frame itself, not from a fixed position in
    // the collected text, which shifts with whatever arrived before the echo.
    const QString length = FrameLengthField(phase1);
    if (length == QLatin1String("03")) d.PM_TwoBytes = 0;
    if (length == QLatin1String("04")) d.PM_TwoBytes = 1;

    d.PM_Data[1] = dataByte(phase2, 1);
    d.PM_Data[2] = dataByte(phase2, 2);

    d.PM_Bits.fill(QStringLiteral("0"));
    for (int entry = 1; entry <= 2; ++entry) {
        // Bit 0 is the last binary digit. A one-byte answer leaves the line end
        // in entry 2, which gives no digits and so sets no bit.
        const QString b = HexToBinary(d.PM_Data[entry]);
        const qsizetype base = (entry - 1) * 8;
        for (qsizetype i = 0; i < b.size() && i < 8; ++i)
            d.PM_Bits[base + i] = QString(b.at(b.size() - 1 - i));
    }

    const bool oneByte = length == QLatin1String("03");
    const bool twoBytes = length == QLatin1String("04");
    const bool valid = phase1.endsWith(kPoliceAnswerPrefix) && (oneByte || twoBytes) &&
                       isTwoHexDigits(d.PM_Data[1]) &&
                       (!twoBytes || isTwoHexDigits(d.PM_Data[2])) &&
                       holdsExactly(phase2, twoBytes ? 2 : 1);
    if (!valid) return std::nullopt;
    return PoliceRecord(d);
}

PoliceRecord::PoliceRecord(const Defines& d)
    : text_(d.PM_TwoBytes == 1 ? d.PM_Data[1] + d.PM_Data[2] : d.PM_Data[1]),
      twoBytes_(d.PM_TwoBytes),
      bits_(d.PM_Bits) {}

QString PoliceRecord::label() const {
    return bits_[2] == QLatin1String("1") ? QStringLiteral("ON") : QStringLiteral("OFF");
}

QString PoliceModeLabel(const Defines& d) {
    if (d.PM_Bits[2] == QLatin1String("1")) return QStringLiteral("ON");
    if (d.PM_Bits[2] == QLatin1String("0")) return QStringLiteral("OFF");
    return QString();
}

PoliceRecord InvertPoliceBit(PoliceRecord record) {
    record.bits_[2] =
        record.bits_[2] == QLatin1String("1") ? QStringLiteral("0") : QStringLiteral("1");
    // The bytes follow the bits, as the adapter would print them.
    record.text_ = BuildPoliceWriteRequest(record).mid(4).toUpper();
    return record;
}

QString BuildPoliceWriteRequest(const PoliceRecord& record) {
    QString data[3];
    for (int entry = 1; entry <= 2; ++entry) {
        const qsizetype base = (entry - 1) * 8;
        QString bits;
        for (qsizetype i = 7; i >= 0; --i) bits += record.bits()[base + i];
        QString hex = BinaryToHex(bits);
        if (hex.size() < 2) hex.prepend(u'0');
        data[entry] = hex;
    }
    QString request = QStringLiteral("3b03") + data[1];
    if (record.twoBytes()) request += data[2];
    return request;
}

QString PoliceWriteRequest(const PoliceRecord& read) {
    return BuildPoliceWriteRequest(InvertPoliceBit(read));
}

}  // namespace tavrin::cluster
