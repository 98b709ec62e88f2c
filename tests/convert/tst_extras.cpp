#include <QTest>
#include <functional>

#include "TestSupport.h"
#include "convert/Extras.h"

using namespace tavrin;

namespace {

using Conversion = std::function<QString(const QString&)>;

Conversion byName(const QString& name) {
    if (name == QLatin1String("DecimalToBinary")) return DecimalToBinary;
    if (name == QLatin1String("BinaryToDecimal")) return BinaryToDecimal;
    if (name == QLatin1String("HexToDecimal")) return HexToDecimal;
    if (name == QLatin1String("HexToBinary")) return HexToBinary;
    if (name == QLatin1String("BinaryToHex")) return BinaryToHex;
    return {};
}

QString ones(int n) {
    return QString(n, u'1');
}

}  // namespace

class ExtrasTest : public QObject {
    Q_OBJECT

private slots:
    void conversions_data() {
        QTest::addColumn<QString>("conversion");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* conv, const QString& in, const QString& out) {
            QTest::addRow("%s(%s)", conv, qPrintable(in.isEmpty() ? QStringLiteral("<empty>") : in))
                << QString::fromLatin1(conv) << in << out;
        };

        row("DecimalToBinary", "5", "101");
        row("DecimalToBinary", "15", "1111");
        row("DecimalToBinary", "8", "1000");
        row("DecimalToBinary", "0005", "101");
        row("DecimalToBinary", "-5", "-101");
        row("DecimalToBinary", "0", "0");
        row("DecimalToBinary", "", "0");
        row("DecimalToBinary", "-0", "0");
        row("DecimalToBinary", "-", "0");
        row("DecimalToBinary", "000", "0");
        row("DecimalToBinary", "1", "1");
        row("DecimalToBinary", "1073741823", ones(30));
        row("DecimalToBinary", "536870912", "1" + QString(29, u'0'));
        // Not a plain decimal integer: read up to the first non-digit.
        row("DecimalToBinary", "12.7", "1100");
        row("DecimalToBinary", "6x", "110");
        row("DecimalToBinary", "3-4", "11");
        row("DecimalToBinary", "x", "0");
        row("DecimalToBinary", "-x", "0");

        row("BinaryToDecimal", "101", "5");
        row("BinaryToDecimal", "00000101", "5");
        row("BinaryToDecimal", "-101", "-5");
        row("BinaryToDecimal", "0000", "0");
        row("BinaryToDecimal", "", "0");
        row("BinaryToDecimal", "-0", "0");
        row("BinaryToDecimal", ones(30), "1073741823");
        row("BinaryToDecimal", QString(40, u'0') + ones(30), "1073741823");
        row("BinaryToDecimal", "1x1", "5");  // stray characters are 0 digits
        row("BinaryToDecimal", "-x", "0");

        row("HexToBinary", "4C", "1001100");
        row("HexToBinary", "4c", "1001100");
        row("HexToBinary", "04c", "1001100");
        row("HexToBinary", "00", "0");
        row("HexToBinary", "a", "1010");
        row("HexToBinary", "-a", "-1010");
        row("HexToBinary", "10", "10000");
        row("HexToBinary", "\r", "");
        row("HexToBinary", "0\r", "");
        row("HexToBinary", "-\r", "");
        row("HexToBinary", "4\r", "1000000");  // a stray character after a digit is 0000
        row("HexToBinary", "1g1", "100000001");
        row("HexToBinary", "FfAa", "1111111110101010");
        row("HexToBinary",
            "123456789abcdef0"
            "123456789ABCDEF0",
            "100100011010001010110011110001001101010111100110111101111000"
            "00001001000110100010101100111100010011010101111001101111011110000");

        row("HexToDecimal", "ff", "255");
        row("HexToDecimal", "FF", "255");
        row("HexToDecimal", "0A", "10");
        row("HexToDecimal", "-a", "-10");
        row("HexToDecimal", "00", "0");
        row("HexToDecimal", "", "0");
        row("HexToDecimal", "3fffffff", "1073741823");
        row("HexToDecimal", "000000003fffffff", "1073741823");
        row("HexToDecimal", "\r", "0");
        row("HexToDecimal", "1\r", "16");
        row("HexToDecimal", "1-", "16");  // a "-" after the first position is 0000
        row("HexToDecimal", "5", "5");

        row("BinaryToHex", "01001000", "48");
        row("BinaryToHex", "1001100", "4c");
        row("BinaryToHex", "00000000", "0");
        row("BinaryToHex", "", "0");
        row("BinaryToHex", "100", "4");
        row("BinaryToHex", "11111111", "ff");
        row("BinaryToHex", "-1010", "-a");
        row("BinaryToHex", "1" + QString(39, u'0'), "8000000000");
        row("BinaryToHex", "1" + QString(39, u'1'), "ffffffffff");
        // Outside the contract, but must stay defined: a "-" opening a group.
        row("BinaryToHex", "1-111", "17");
    }

    void conversions() {
        QFETCH(QString, conversion);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        const Conversion f = byName(conversion);
        QVERIFY(f);
        const QString before = input;
        QCOMPARE(f(input), expected);
        QCOMPARE(input, before);
    }

    void overflow_data() {
        QTest::addColumn<QString>("conversion");
        QTest::addColumn<QString>("input");
        QTest::newRow("dec 2^30") << "DecimalToBinary"
                                  << "1073741824";
        QTest::newRow("dec -2^30") << "DecimalToBinary"
                                   << "-1073741824";
        QTest::newRow("dec 2^31") << "DecimalToBinary"
                                  << "2147483648";
        QTest::newRow("dec huge") << "DecimalToBinary"
                                  << "99999999999999999999999999";
        QTest::newRow("dec huge then letter") << "DecimalToBinary"
                                              << "123456789012x";
        QTest::newRow("bin 31 digits") << "BinaryToDecimal"
                                       << "1" + QString(30, u'0');
        QTest::newRow("bin 31 ones") << "BinaryToDecimal" << ones(31);
        QTest::newRow("bin 31 stray") << "BinaryToDecimal" << QString(31, u'x');
        QTest::newRow("bin negative 31") << "BinaryToDecimal"
                                         << "-" + ones(31);
        QTest::newRow("hex 40000000") << "HexToDecimal"
                                      << "40000000";
        QTest::newRow("hex ffffffff") << "HexToDecimal"
                                      << "ffffffff";
        QTest::newRow("hex -40000000") << "HexToDecimal"
                                       << "-40000000";
        QTest::newRow("hex long") << "HexToDecimal" << QString(100, u'f');
    }

    void overflow() {
        QFETCH(QString, conversion);
        QFETCH(QString, input);
        const Conversion f = byName(conversion);
        QVERIFY(f);
        QVERIFY_THROWS_EXCEPTION(ConversionOverflow, f(input));
        // It is an overflow error that generic handlers also recognise.
        QVERIFY_THROWS_EXCEPTION(std::overflow_error, f(input));
    }

    void roundTrip() {
        for (int v = 0; v <= 4095; ++v) {
            const QString dec = QString::number(v);
            const QString bin = QString::number(v, 2);
            const QString hex = QString::number(v, 16);
            QCOMPARE(DecimalToBinary(dec), bin);
            QCOMPARE(BinaryToDecimal(DecimalToBinary(dec)), dec);
            QCOMPARE(HexToBinary(hex), v == 0 ? QStringLiteral("0") : bin);
            QCOMPARE(HexToBinary(hex.toUpper()), HexToBinary(hex));
            QCOMPARE(BinaryToHex(HexToBinary(hex)), hex);
            QCOMPARE(HexToDecimal(hex), dec);
            if (v != 0) {
                QCOMPARE(DecimalToBinary("-" + dec), "-" + bin);
                QCOMPARE(BinaryToDecimal("-" + bin), "-" + dec);
                QCOMPARE(BinaryToHex("-" + bin), "-" + hex);
                QCOMPARE(HexToDecimal("-" + hex), "-" + dec);
            }
        }
    }
};

TAVRIN_TEST(ExtrasTest)

#include "tst_extras.moc"
