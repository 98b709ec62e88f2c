// The conversation fuzzer's judge can fail: a run it must pass, and writes
// planted on the line that break its rules.
#include <QTest>

#include "Conversation.h"
#include "Judge.h"

using namespace tavrin::fuzz;

class JudgeTest : public QObject {
    Q_OBJECT

private slots:
    void plantedWritesBreakTheRules_data() {
        QTest::addColumn<QByteArray>("planted");
        QTest::addColumn<int>("atMs");
        QTest::addColumn<QStringList>("broken");
        // The toggle reads at 3050 ms, writes at 3550 and reads back at 4050.
        QTest::newRow("nothing planted") << QByteArray() << 0 << QStringList{};
        QTest::newRow("a write the record does not allow")
            << QByteArray("3b03ffff\r") << 3800
            << QStringList{"\"3b03ffff\" was sent for the record 4C12; only \"3b034812\" may be",
                           "two different writes in one operation"};
        QTest::newRow("the right write, once more without a STOPPED")
            << QByteArray("3b034812\r") << 3800
            << QStringList{"\"3b034812\" was sent again without cause"};
        QTest::newRow("the right write, with nothing in the history")
            << QByteArray("3b034812\r") << 3300
            << QStringList{"no \"before\" line for \"3b034812\" in the history"};
    }
    void plantedWritesBreakTheRules() {
        QFETCH(QByteArray, planted);
        QFETCH(int, atMs);
        QFETCH(QStringList, broken);
        // A two-byte record 4C 12, Connect and one toggle, every answer right.
        const std::uint8_t script[] = {1, 0x4C, 0x12, 1, 0, 0};
        ConversationRunner runner;
        if (!planted.isEmpty()) runner.plant(atMs, planted);
        QCOMPARE(Judge(runner.run(script, sizeof script)), broken);
    }
};

TAVRIN_TEST(JudgeTest)
#include "JudgeTest.moc"
