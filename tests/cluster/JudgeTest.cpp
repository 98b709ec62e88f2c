// The conversation fuzzer's judge can fail: a run it must pass, writes
// planted on the line that break its rules, and a program that does not take
// the Cancel it offers.
#include <QTest>

#include "Conversation.h"
#include "Judge.h"

using namespace tavrin::fuzz;

Q_DECLARE_METATYPE(tavrin::fuzz::Slip)

namespace {

// A two-byte record 4C 12, Connect and one toggle, every answer right.
const QByteArray kToggle = QByteArray::fromHex("014c12010000");
// The same, with the user pressing Cancel 200 ms after the toggle's read
// (the first line of the first change) reached the adapter: in the pause
// before the write.
const QByteArray kCancelBeforeWrite = QByteArray::fromHex(
    "014c120100010001"
    "0001c8");

}  // namespace

class JudgeTest : public QObject {
    Q_OBJECT

private slots:
    void plantedFaultsBreakTheRules_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("planted");
        QTest::addColumn<int>("atMs");
        QTest::addColumn<Slip>("slip");
        QTest::addColumn<QStringList>("broken");
        // The toggle reads at 3050 ms, writes at 3550 and reads back at 4050.
        QTest::newRow("nothing planted")
            << kToggle << QByteArray() << 0 << Slip::None << QStringList{};
        QTest::newRow("a write the record does not allow")
            << kToggle << QByteArray("3b03ffff\r") << 3800 << Slip::None
            << QStringList{"\"3b03ffff\" was sent for the record 4C12; only \"3b034812\" may be",
                           "two different writes in one operation"};
        QTest::newRow("the right write, once more without a STOPPED")
            << kToggle << QByteArray("3b034812\r") << 3800 << Slip::None
            << QStringList{"\"3b034812\" was sent again without cause"};
        QTest::newRow("the right write, with nothing in the history")
            << kToggle << QByteArray("3b034812\r") << 3300 << Slip::None
            << QStringList{"no \"before\" line for \"3b034812\" in the history"};
        QTest::newRow("a Cancel before the write, taken")
            << kCancelBeforeWrite << QByteArray() << 0 << Slip::None << QStringList{};
        QTest::newRow("a Cancel before the write, acknowledged and ignored")
            << kCancelBeforeWrite << QByteArray() << 0 << Slip::IgnoreCancelBeforeWrite
            << QStringList{"\"3b034812\" was sent after Cancel was pressed",
                           "\"2103\" was sent after Cancel was pressed"};
        QTest::newRow("a Cancel before the write, offered and refused")
            << kCancelBeforeWrite << QByteArray() << 0 << Slip::RefuseCancelBeforeWrite
            << QStringList{"a Cancel the program offered was refused",
                           "\"3b034812\" was sent after Cancel was pressed",
                           "\"2103\" was sent after Cancel was pressed"};
    }
    void plantedFaultsBreakTheRules() {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, planted);
        QFETCH(int, atMs);
        QFETCH(Slip, slip);
        QFETCH(QStringList, broken);
        ConversationRunner runner;
        runner.plantSlip(slip);
        if (!planted.isEmpty()) runner.plant(atMs, planted);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(script.constData());
        QCOMPARE(Judge(runner.run(bytes, std::size_t(script.size()))), broken);
    }
};

TAVRIN_TEST(JudgeTest)
#include "JudgeTest.moc"
