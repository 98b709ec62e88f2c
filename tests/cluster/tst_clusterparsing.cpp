#include <QSet>
#include <QTest>

#include "TestSupport.h"
#include "cluster/ClusterParsing.h"

using namespace tavrin;
using namespace tavrin::cluster;

namespace {

// An answer remainder as the adapter prints it: each byte as two digits and a
// space, the line ended by a carriage return.
QString remainder(const QStringList& bytes) {
    return bytes.join(u' ') + QStringLiteral(" \r");
}

const QString kPhase1One = QStringLiteral("\r>2103\r728 03 61 03 ");
const QString kPhase1Two = QStringLiteral("\r>2103\r728 04 61 03 ");

QString hex2(int byte) {
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
}

}  // namespace

class ClusterParsingTest : public QObject {
    Q_OBJECT

private slots:
    // --- Catalogue ---------------------------------------------------------

    void tableShape() {
        QCOMPARE(Catalogue().size(), size_t(39));
        QCOMPARE(SecondLetterTable().size(), size_t(19));
        int perFamily[4] = {0, 0, 0, 0};
        const char* families[4] = {"3R23", "3R73", "5R29", "5R79"};
        QSet<QString> keys;
        for (const CatalogueRow& row : Catalogue()) {
            for (int f = 0; f < 4; ++f)
                if (qstrcmp(row.prefix, families[f]) == 0) ++perFamily[f];
            keys.insert(QString::fromLatin1(row.prefix) + row.code);
        }
        QCOMPARE(perFamily[0], 18);
        QCOMPARE(perFamily[1], 3);
        QCOMPARE(perFamily[2], 14);
        QCOMPARE(perFamily[3], 4);
        QCOMPARE(keys.size(), 39);
        // The letter of a row depends only on its code, the same in every family.
        QHash<QString, QString> letterOfCode;
        for (const CatalogueRow& row : Catalogue()) {
            const QString code = QString::fromLatin1(row.code);
            if (!letterOfCode.contains(code)) letterOfCode[code] = row.letter;
            QCOMPARE(QString::fromLatin1(row.letter), letterOfCode[code]);
        }
    }

    void catalogueRow_data() {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("letter");
        QTest::addColumn<QString>("model");
        // Written out independently of the table in the code, so a typo in
        // either one shows up.
        const char* rows[][4] = {
            {"3R23", "00", "A", "BA XT/XL/Forte"},
            {"3R23", "02", "B", "BA Futura"},
            {"3R23", "03", "B", "BA Futura"},
            {"3R23", "04", "C", "BA Fairmont"},
            {"3R23", "06", "D", "BA XR Low"},
            {"3R23", "08", "E", "BA Fairmont"},
            {"3R23", "0A", "F", "BA Fairmont Ghia"},
            {"3R23", "0C", "G", "BA GT"},
            {"3R23", "0E", "H", "BA GTP"},
            {"3R23", "10", "J", "BA Coleman Milne"},
            {"3R23", "12", "K", "BA2 XT/XL"},
            {"3R23", "14", "L", "BA XR High"},
            {"3R23", "16", "M", "BA2 Futura"},
            {"3R23", "18", "N", "BA2 RTV"},
            {"3R23", "1A", "P", "BA2 XR Low"},
            {"3R23", "1C", "R", "BA2 GT/F6 Low"},
            {"3R23", "1E", "S", "BA2 GT/F6 High"},
            {"3R23", "20", "T", "BA2 Fairlane"},
            {"3R73", "00", "A", "SX TX RWD"},
            {"3R73", "02", "B", "SX TX AWD"},
            {"3R73", "04", "C", "SX TS/Ghia"},
            {"5R29", "00", "A", "BF XT/XL"},
            {"5R29", "02", "B", "BF Futura"},
            {"5R29", "04", "C", "BF RTV"},
            {"5R29", "06", "D", "BF XR Low"},
            {"5R29", "08", "E", "BF Fairmont"},
            {"5R29", "0A", "F", "BF Fairmont Ghia"},
            {"5R29", "0C", "G", "BF GT/F6 Low"},
            {"5R29", "0E", "H", "BF GT/F6 High"},
            {"5R29", "10", "J", "BF2 XLS"},
            {"5R29", "12", "K", "BF Coleman Milne"},
            {"5R29", "14", "L", "BF2 XR High"},
            {"5R29", "16", "M", "BF2 Fairmont Ghia"},
            {"5R29", "18", "N", "BF3 XR Low"},
            {"5R29", "1A", "P", "BF2 XR High"},
            {"5R79", "00", "A", "SY TX RWD"},
            {"5R79", "02", "B", "SY TX AWD"},
            {"5R79", "04", "C", "SY TS/Ghia"},
            {"5R79", "08", "E", "SY Turbo Ghia"},
        };
        QCOMPARE(std::size(rows), size_t(39));
        for (const auto& r : rows)
            QTest::addRow("%s %s", r[0], r[1]) << r[0] << r[1] << r[2] << r[3];
    }

    void catalogueRow() {
        QFETCH(QString, prefix);
        QFETCH(QString, code);
        QFETCH(QString, letter);
        QFETCH(QString, model);
        Defines d;
        d.PartPrefix = prefix;
        GetClusterModel(d, remainder({code, "99"}));
        QCOMPARE(d.SuffixCode[0], code);
        QCOMPARE(d.SuffixCode[1], QStringLiteral("99"));
        QCOMPARE(d.ModelName, model);
        QCOMPARE(d.SuffixLetter[0], letter);
        QCOMPARE(d.SuffixLetter[1], QString());
        QCOMPARE(d.PartSuffix, letter);
    }

    void secondLetter_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("letter");
        const char* rows[][2] = {
            {"00", "A"},
            {"01", "B"},
            {"02", "B"},
            {"03", "D"},
            {"04", "C"},
            {"06", "D"},
            {"08", "E"},
            {"0A", "F"},
            {"0C", "G"},
            {"0E", "H"},
            {"10", "J"},
            {"12", "K"},
            {"14", "L"},
            {"16", "M"},
            {"18", "N"},
            {"1A", "P"},
            {"1C", "R"},
            {"1E", "S"},
            {"20", "T"},
            // No row: above 20, odd codes other than 01 and 03, lower case.
            {"22", ""},
            {"05", ""},
            {"0a", ""},
            {"FF", ""},
        };
        for (const auto& r : rows) QTest::addRow("%s", r[0]) << r[0] << r[1];
    }

    void secondLetter() {
        QFETCH(QString, code);
        QFETCH(QString, letter);
        // Looked up whatever the prefix, and independently of the first code.
        for (const char* prefix : {"3R23", "4R23", ""}) {
            Defines d;
            d.PartPrefix = QString::fromLatin1(prefix);
            d.SuffixLetter[1] = QStringLiteral("stale");
            GetClusterModel(d, remainder({"0A", code}));
            QCOMPARE(d.SuffixCode[1], code);
            QCOMPARE(d.SuffixLetter[1], letter);
            QCOMPARE(d.PartSuffix, d.SuffixLetter[0] + letter);
        }
    }

    void modelEdgeCases_data() {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("BA Ghia FB") << "3R23"
                                    << "0A 02 \r"
                                    << "BA Fairmont Ghia"
                                    << "FB";
        QTest::newRow("SX odd second code") << "3R73"
                                            << "04 03 \r"
                                            << "SX TS/Ghia"
                                            << "CD";
        QTest::newRow("BF2 XR High P") << "5R29"
                                       << "1A 00 \r"
                                       << "BF2 XR High"
                                       << "PA";
        QTest::newRow("BF2 XR High L") << "5R29"
                                       << "14 00 \r"
                                       << "BF2 XR High"
                                       << "LA";
        QTest::newRow("SY no row for 06") << "5R79"
                                          << "06 00 \r"
                                          << ""
                                          << "A";
        QTest::newRow("unknown prefix") << "4R23"
                                        << "0A 02 \r"
                                        << ""
                                        << "B";
        QTest::newRow("lower-case code") << "3R23"
                                         << "0a 02 \r"
                                         << ""
                                         << "B";
        QTest::newRow("lower-case prefix") << "3r23"
                                           << "0A 02 \r"
                                           << ""
                                           << "B";
        QTest::newRow("03 only under 3R23") << "5R29"
                                            << "03 20 \r"
                                            << ""
                                            << "T";
        QTest::newRow("short answer") << "3R23"
                                      << "0A"
                                      << "BA Fairmont Ghia"
                                      << "F";
        QTest::newRow("empty answer") << "3R23"
                                      << ""
                                      << ""
                                      << "";
        QTest::newRow("line end only") << "3R23"
                                       << "\r"
                                       << ""
                                       << "";
    }

    void modelEdgeCases() {
        QFETCH(QString, prefix);
        QFETCH(QString, answer);
        QFETCH(QString, model);
        QFETCH(QString, suffix);
        Defines d;
        d.PartPrefix = prefix;
        GetClusterModel(d, answer);
        QCOMPARE(d.ModelName, model);
        QCOMPARE(d.PartSuffix, suffix);
        QCOMPARE(d.SuffixLetter[0] + d.SuffixLetter[1], suffix);
    }

    void unmatchedIdentificationClearsStaleValues() {
        Defines d;
        d.PartPrefix = QStringLiteral("3R23");
        GetClusterModel(d, remainder({"0A", "02"}));
        QCOMPARE(d.ModelName, QStringLiteral("BA Fairmont Ghia"));
        QCOMPARE(d.PartSuffix, QStringLiteral("FB"));

        d.PartPrefix = QStringLiteral("5R79");
        GetClusterModel(d, remainder({"06", "22"}));
        QCOMPARE(d.SuffixCode[0], QStringLiteral("06"));
        QCOMPARE(d.SuffixCode[1], QStringLiteral("22"));
        QCOMPARE(d.ModelName, QString());
        QCOMPARE(d.SuffixLetter[0], QString());
        QCOMPARE(d.SuffixLetter[1], QString());
        QCOMPARE(d.PartSuffix, QString());
    }

    // --- Identification fields ---------------------------------------------

    void partPrefix_data() {
        QTest::addColumn<QString>("remainder");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("3R23") << "33 52 32 33 \r"
                              << "3R23";
        QTest::newRow("lower-case digits") << "35 52 37 39 \r"
                                           << "5R79";
        QTest::newRow("more bytes ignored") << "35 52 32 39 41 42 \r"
                                            << "5R29";
        QTest::newRow("high Latin-1")
            << "E9 FF 80 A0 \r" << QString::fromLatin1("\xE9\xFF\x80\xA0");
        QTest::newRow("two bytes only") << "33 52 \r" << QString::fromLatin1("3R\0\0", 4);
        QTest::newRow("empty") << "" << QString(4, QChar(0));
        QTest::newRow("line end only") << "\r" << QString(4, QChar(0));
        QTest::newRow("signed field") << "-1 52 32 33 \r" << QString::fromLatin1("\0R23", 4);
    }

    void partPrefix() {
        QFETCH(QString, remainder);
        QFETCH(QString, prefix);
        QCOMPARE(PartPrefixFromRemainder(remainder), prefix);
        QCOMPARE(PartPrefixFromRemainder(remainder).size(), 4);
    }

    void partBaseAndNumber_data() {
        QTest::addColumn<QString>("remainder");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("number");
        QTest::newRow("123") << "00 99 01 23 \r"
                             << "000123"
                             << "123";
        QTest::newRow("byte 2 unused") << "00 11 01 23 \r"
                                       << "000123"
                                       << "123";
        QTest::newRow("zeros") << "00 00 00 00 \r"
                               << "000000"
                               << "0";
        QTest::newRow("no leading zero") << "98 00 76 54 \r"
                                         << "987654"
                                         << "987654";
        QTest::newRow("hex letters") << "00 00 AB 0C \r"
                                     << "00AB0C"
                                     << "AB0C";
        QTest::newRow("short") << "00 99 \r"
                               << "00\r"
                               << "\r";
        QTest::newRow("empty") << ""
                               << ""
                               << "0";
    }

    void partBaseAndNumber() {
        QFETCH(QString, remainder);
        QFETCH(QString, base);
        QFETCH(QString, number);
        QCOMPARE(PartBaseFromRemainder(remainder), base);
        QCOMPARE(BaseNumberText(base), number);
    }

    void baseNumberNeverOverflows() {
        const QString big = QStringLiteral("98765432109876543210987654321");
        QCOMPARE(BaseNumberText(QStringLiteral("0000") + big), big);
    }

    void fullIdentification() {
        Defines d;
        d.PartPrefix = PartPrefixFromRemainder(remainder({"33", "52", "32", "33"}));
        d.PartBase = PartBaseFromRemainder(remainder({"00", "99", "01", "23"}));
        GetClusterModel(d, remainder({"0A", "02"}));
        QCOMPARE(d.PartPrefix, QStringLiteral("3R23"));
        QCOMPARE(d.ModelName, QStringLiteral("BA Fairmont Ghia"));
        QCOMPARE(DisplayPartNumber(d), QStringLiteral("3R23-123-FB"));

        GetClusterModel(d, remainder({"0A", "05"}));
        QCOMPARE(DisplayPartNumber(d), QStringLiteral("3R23-123-F"));
        d.PartPrefix = QStringLiteral("4R23");
        GetClusterModel(d, remainder({"0A", "05"}));
        QCOMPARE(DisplayPartNumber(d), QStringLiteral("4R23-123-"));
    }

    void displayMasksUnprintablePrefix_data() {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << "3R23"
                               << "3R23";
        QTest::newRow("NUL") << QString::fromLatin1("3R\0\0", 4) << "3R??";
        QTest::newRow("CR and DEL") << QString::fromLatin1(
                                           "\r\x7F"
                                           "ab")
                                    << "??ab";
        QTest::newRow("C1 control") << QString::fromLatin1(
                                           "\x85\x9F"
                                           "ab")
                                    << "??ab";
        QTest::newRow("Latin-1 letters") << QString::fromLatin1(
                                                "\xE9\xFF"
                                                "ab")
                                         << QString::fromLatin1(
                                                "\xE9\xFF"
                                                "ab");
        QTest::newRow("beyond Latin-1") << QString(QChar(0x263A)) + "R23"
                                        << "?R23";
        QTest::newRow("space kept") << " R23"
                                    << " R23";
    }

    void displayMasksUnprintablePrefix() {
        QFETCH(QString, prefix);
        QFETCH(QString, shown);
        Defines d;
        d.PartPrefix = prefix;
        d.PartBase = QStringLiteral("000123");
        d.PartSuffix = QStringLiteral("FB");
        QCOMPARE(DisplayPartNumber(d), shown + QStringLiteral("-123-FB"));
        QCOMPARE(d.PartPrefix, prefix);
    }

    void displayMasksUnprintableBaseNumber() {
        Defines d;
        d.PartPrefix = QStringLiteral("3R23");
        d.PartBase = QStringLiteral(
            "00\r\x01"
            "23");
        d.PartSuffix = QStringLiteral("FB");
        QCOMPARE(DisplayPartNumber(d), QStringLiteral("3R23-??23-FB"));
    }

    // --- Police-mode read --------------------------------------------------

    void frameLengthField_data() {
        QTest::addColumn<QString>("phase1");
        QTest::addColumn<QString>("field");
        QTest::newRow("two bytes") << kPhase1Two << "04";
        QTest::newRow("one byte") << kPhase1One << "03";
        QTest::newRow("extra leading CR") << "\r" + kPhase1Two << "04";
        QTest::newRow("leftovers before") << "7B 03 \r\r>2103\r728 04 61 03 "
                                          << "04";
        QTest::newRow("other header") << "7E8 05 61 03 "
                                      << "05";
        QTest::newRow("minimal") << " 03 61 03 "
                                 << "03";
        QTest::newRow("headers off") << "\r>2103\r61 03 "
                                     << "";
        QTest::newRow("not hex") << "\r>2103\r728 zz 61 03 "
                                 << "";
        QTest::newRow("no space before") << "\r>2103\r72804 61 03 "
                                         << "";
        QTest::newRow("too short") << "04 61 03 "
                                   << "";
        QTest::newRow("no space after") << "\r>2103\r728 0461 03 "
                                        << "";
        QTest::newRow("prefix not at end") << "728 04 61 03 4C"
                                           << "";
        QTest::newRow("no trailing space") << "728 04 61 03"
                                           << "";
        QTest::newRow("empty") << ""
                               << "";
    }

    void frameLengthField() {
        QFETCH(QString, phase1);
        QFETCH(QString, field);
        QCOMPARE(FrameLengthField(phase1), field);
    }

    void policeRead_data() {
        QTest::addColumn<QString>("phase1");
        QTest::addColumn<QString>("phase2");
        QTest::addColumn<int>("twoBytesBefore");
        QTest::addColumn<int>("twoBytes");
        QTest::addColumn<QString>("data1");
        QTest::addColumn<QString>("data2");
        QTest::addColumn<QString>("bits");  // PM_Bits 0..15 joined
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("valid");

        QTest::newRow("4C 12") << kPhase1Two << "4C 12 \r" << 0 << 1 << "4C"
                               << "12"
                               << "0011001001001000"
                               << "ON" << true;
        QTest::newRow("4c 12 lower") << kPhase1Two << "4c 12 \r" << 0 << 1 << "4c"
                                     << "12"
                                     << "0011001001001000"
                                     << "ON" << true;
        QTest::newRow("ab cd lower") << kPhase1Two << "ab cd \r" << 0 << 1 << "ab"
                                     << "cd"
                                     << "1101010110110011"
                                     << "OFF" << true;
        QTest::newRow("one byte 04") << kPhase1One << "04 \r" << 1 << 0 << "04"
                                     << "\r"
                                     << "0010000000000000"
                                     << "ON" << true;
        QTest::newRow("first 00") << kPhase1Two << "00 FF \r" << 0 << 1 << "00"
                                  << "FF"
                                  << "0000000011111111"
                                  << "OFF" << true;
        QTest::newRow("first 03") << kPhase1One << "03 \r" << 0 << 0 << "03"
                                  << "\r"
                                  << "1100000000000000"
                                  << "OFF" << true;
        QTest::newRow("first 0B") << kPhase1One << "0B \r" << 0 << 0 << "0B"
                                  << "\r"
                                  << "1101000000000000"
                                  << "OFF" << true;
        QTest::newRow("first FB") << kPhase1One << "FB \r" << 0 << 0 << "FB"
                                  << "\r"
                                  << "1101111100000000"
                                  << "OFF" << true;
        QTest::newRow("first 07") << kPhase1One << "07 \r" << 0 << 0 << "07"
                                  << "\r"
                                  << "1110000000000000"
                                  << "ON" << true;
        QTest::newRow("first FF") << kPhase1One << "FF \r" << 0 << 0 << "FF"
                                  << "\r"
                                  << "1111111100000000"
                                  << "ON" << true;
        // 21 characters: the extra line end shifts fixed positions, not the frame.
        QTest::newRow("extra leading CR") << "\r" + kPhase1Two << "4C 12 \r" << 0 << 1 << "4C"
                                          << "12"
                                          << "0011001001001000"
                                          << "ON" << true;
        QTest::newRow("length 05") << "\r>2103\r728 05 61 03 "
                                   << "4C 12 \r" << 1 << 1 << "4C"
                                   << "12"
                                   << "0011001001001000"
                                   << "ON" << false;
        QTest::newRow("length 05 keeps 0") << "\r>2103\r728 05 61 03 "
                                           << "4C 12 \r" << 0 << 0 << "4C"
                                           << "12"
                                           << "0011001001001000"
                                           << "ON" << false;
        QTest::newRow("length not hex") << "\r>2103\r728 x? 61 03 "
                                        << "4C 12 \r" << 1 << 1 << "4C"
                                        << "12"
                                        << "0011001001001000"
                                        << "ON" << false;
        QTest::newRow("headers off") << "\r>2103\r61 03 "
                                     << "4C 12 \r" << 0 << 0 << "4C"
                                     << "12"
                                     << "0011001001001000"
                                     << "ON" << false;
        // A stray character is the group 0000 wherever it stands, so "4\r"
        // reads as 40 hexadecimal.
        QTest::newRow("short data line") << kPhase1Two << "4\r" << 0 << 1 << "4\r"
                                         << ""
                                         << "0000001000000000"
                                         << "OFF" << false;
        QTest::newRow("empty data line") << kPhase1One << "\r" << 0 << 0 << "\r"
                                         << ""
                                         << "0000000000000000"
                                         << "OFF" << false;
        QTest::newRow("non-hex first byte") << kPhase1One << "4G \r" << 0 << 0 << "4G"
                                            << "\r"
                                            << "0000001000000000"
                                            << "OFF" << false;
        QTest::newRow("second byte missing") << kPhase1Two << "4C \r" << 0 << 1 << "4C"
                                             << "\r"
                                             << "0011001000000000"
                                             << "ON" << false;
        QTest::newRow("second byte non-hex") << kPhase1Two << "4C 1Z \r" << 0 << 1 << "4C"
                                             << "1Z"
                                             << "0011001000001000"
                                             << "ON" << false;
        // The data line holds the bytes the length byte counts, and nothing
        // more; a byte an adapter never prints is line noise.
        QTest::newRow("more on the line than counted") << kPhase1One << "02 .\r" << 0 << 0 << "02"
                                                       << ".\r"
                                                       << "0100000000000000"
                                                       << "OFF" << false;
        QTest::newRow("a stray control byte after the data")
            << kPhase1One << QString::fromLatin1("A7 \x01\r") << 0 << 0 << "A7"
            << QString::fromLatin1("\x01\r") << "1110010100000000"
            << "ON" << true;
    }

    void policeRead() {
        QFETCH(QString, phase1);
        QFETCH(QString, phase2);
        QFETCH(int, twoBytesBefore);
        QFETCH(int, twoBytes);
        QFETCH(QString, data1);
        QFETCH(QString, data2);
        QFETCH(QString, bits);
        QFETCH(QString, label);
        QFETCH(bool, valid);

        Defines d;
        d.PM_TwoBytes = qint16(twoBytesBefore);
        d.PM_Bits.fill(QStringLiteral("1"));  // stale bits must not survive
        const std::optional<PoliceRecord> record = ApplyPoliceRead(d, phase1, phase2);
        QCOMPARE(d.PM_TwoBytes, qint16(twoBytes));
        QCOMPARE(d.PM_Data[1], data1);
        QCOMPARE(d.PM_Data[2], data2);
        QString joined;
        for (const QString& b : d.PM_Bits) joined += b;
        QCOMPARE(joined, bits);
        QCOMPARE(PoliceModeLabel(d), label);
        QCOMPARE(record.has_value(), valid);
        if (record) QCOMPARE(record->label(), label);

        // A second read of the same answer changes nothing.
        const Defines first = d;
        QCOMPARE(ApplyPoliceRead(d, phase1, phase2).has_value(), valid);
        QCOMPARE(d.PM_TwoBytes, first.PM_TwoBytes);
        QCOMPARE(d.PM_Data, first.PM_Data);
        QCOMPARE(d.PM_Bits, first.PM_Bits);
    }

    void labelLeftAloneForOtherContent() {
        Defines d;
        d.PM_Bits[2] = QStringLiteral("-");
        QCOMPARE(PoliceModeLabel(d), QString());
        d.PM_Bits[2] = QString();
        QCOMPARE(PoliceModeLabel(d), QString());
    }

    // --- Police-mode write -------------------------------------------------

    void writeRequest_data() {
        QTest::addColumn<QString>("phase1");
        QTest::addColumn<QString>("phase2");
        QTest::addColumn<QString>("request");
        QTest::newRow("4C 12") << kPhase1Two << "4C 12 \r"
                               << "3b034812";
        QTest::newRow("48 12") << kPhase1Two << "48 12 \r"
                               << "3b034c12";
        QTest::newRow("AB CD") << kPhase1Two << "AB CD \r"
                               << "3b03afcd";
        QTest::newRow("one byte 04") << kPhase1One << "04 \r"
                                     << "3b0300";
        QTest::newRow("one byte 00") << kPhase1One << "00 \r"
                                     << "3b0304";
        QTest::newRow("00 01") << kPhase1Two << "00 01 \r"
                               << "3b030401";
    }

    void writeRequest() {
        QFETCH(QString, phase1);
        QFETCH(QString, phase2);
        QFETCH(QString, request);
        Defines d;
        const std::optional<PoliceRecord> record = ApplyPoliceRead(d, phase1, phase2);
        QVERIFY(record);
        const PoliceRecord inverted = InvertPoliceBit(*record);
        QVERIFY(inverted.label() != record->label());
        QCOMPARE(BuildPoliceWriteRequest(inverted), request);
        QCOMPARE(PoliceWriteRequest(*record), request);
        QCOMPARE(inverted.text(), request.mid(4).toUpper());
        // The window's copy keeps what was read, not what is to be written.
        QCOMPARE(d.PM_Data[1], phase2.left(2));
        QCOMPARE(PoliceModeLabel(d), record->label());
    }

    void invertTwiceGivesTheRecordBack() {
        Defines d;
        const std::optional<PoliceRecord> record = ApplyPoliceRead(d, kPhase1Two, "4C 12 \r");
        QVERIFY(record);
        const PoliceRecord twice = InvertPoliceBit(InvertPoliceBit(*record));
        QCOMPARE(twice.bits(), record->bits());
        QCOMPARE(twice.text(), record->text());
        QCOMPARE(BuildPoliceWriteRequest(twice), QStringLiteral("3b034c12"));
    }

    // Every record the cluster can hold comes back with only the police-mode
    // bit changed, in the shape the write expects.
    void everyRecordRoundTrips() {
        for (int first = 0; first < 256; ++first) {
            const QString b1 = hex2(first).toUpper();
            const QString expectedFirst = hex2(first ^ 0x04);

            Defines one;
            const std::optional<PoliceRecord> oneByte =
                ApplyPoliceRead(one, kPhase1One, b1 + QStringLiteral(" \r"));
            QVERIFY(oneByte);
            QCOMPARE(oneByte->label(),
                     (first & 0x04) ? QStringLiteral("ON") : QStringLiteral("OFF"));
            QCOMPARE(PoliceWriteRequest(*oneByte), QStringLiteral("3b03") + expectedFirst);

            for (int second = 0; second < 256; ++second) {
                Defines d;
                const std::optional<PoliceRecord> record = ApplyPoliceRead(
                    d, kPhase1Two, b1 + u' ' + hex2(second).toUpper() + QStringLiteral(" \r"));
                const QString request = record ? PoliceWriteRequest(*record) : QString();
                if (request != QStringLiteral("3b03") + expectedFirst + hex2(second)) {
                    QFAIL(qPrintable(QStringLiteral("record %1 %2 gave %3 (valid %4)")
                                         .arg(b1, hex2(second), request)
                                         .arg(record.has_value())));
                }
            }
        }
    }
};

TAVRIN_TEST(ClusterParsingTest)

#include "tst_clusterparsing.moc"
