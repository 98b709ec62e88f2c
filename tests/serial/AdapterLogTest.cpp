// The adapter log: what a Connect leaves in it, through the line in memory and
// through a real serial port, how an entry reads, and its bound.
#include <QTest>

#include "SimRig.h"
#include "runtime/AdapterLog.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

QList<QByteArray> bytesOf(const AdapterLog& log, AdapterLog::Direction direction) {
    QList<QByteArray> out;
    for (const auto& e : log.entries())
        if (e.direction == direction) out << e.bytes;
    return out;
}

}  // namespace

class AdapterLogTest : public QObject {
    Q_OBJECT

private slots:
    void connectLeavesEverySentLineAndEveryReceivedByte_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<Lines>("lines");
        QTest::newRow("plain") << int(Fault::None) << Lines::Memory;
        QTest::newRow("answers in pieces") << int(Fault::Pieces) << Lines::Memory;
        // A real port's buffer holds what has arrived until it is read.
        if (test::kRealLines)
            QTest::newRow("answers in pieces, real port") << int(Fault::Pieces) << Lines::Real;
    }
    void connectLeavesEverySentLineAndEveryReceivedByte() {
        QFETCH(int, fault);
        QFETCH(Lines, lines);
        sim::SimConfig config;
        config.fault = Fault(fault);
        SessionRig rig(config, 3, "38400", lines);
        QVERIFY(rig.connect().ok());
        const AdapterLog& log = rig.host.adapterLog();
        QCOMPARE(bytesOf(log, AdapterLog::Direction::Sent),
                 (QList<QByteArray>{"atz\r\n", "atcaf1\r\n", "atspa6\r\n", "atsh720\r\n",
                                    "ath1\r\n", "22e21a\r\n", "22e217\r\n", "22e219\r\n",
                                    "22e200\r\n", "2103\r\n"}));
        // Every byte the adapter sent is there once, in order, the prompt of
        // the last answer included once it has arrived.
        rig.host.waitUntil([&] { return !rig.sim.outputPending(); }, 2000);
        rig.host.wait(50);
        QCOMPARE(bytesOf(log, AdapterLog::Direction::Received).join(), rig.sim.sentBytes());
        const int reads = int(bytesOf(log, AdapterLog::Direction::Received).size());
        if (fault == int(Fault::Pieces)) {
            // Pieces arriving apart stay apart.
            QVERIFY2(reads > 60, qPrintable(QString::number(reads)));
        } else {
            QVERIFY2(reads >= 10, qPrintable(QString::number(reads)));
        }
    }

    void entriesReadAsTimeArrowAndVisibleText_data() {
        QTest::addColumn<int>("direction");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("sent") << int(AdapterLog::Direction::Sent) << QByteArray("atz\r\n")
                              << "\u2192 atz<CR><LF>";
        QTest::newRow("received") << int(AdapterLog::Direction::Received)
                                  << QByteArray("\x7f\x7f\r?\r\r>")
                                  << "\u2190 <7F><7F><CR>?<CR><CR>>";
        QTest::newRow("noise") << int(AdapterLog::Direction::Received)
                               << QByteArray("\x00\xff\x1b", 3) << "\u2190 <00><FF><1B>";
        QTest::newRow("note") << int(AdapterLog::Direction::Note) << QByteArray("a note")
                              << "-- a note";
    }
    void entriesReadAsTimeArrowAndVisibleText() {
        QFETCH(int, direction);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        const AdapterLog::Entry entry{
            QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3, 42)).toMSecsSinceEpoch(),
            AdapterLog::Direction(direction), bytes};
        QCOMPARE(AdapterLog::format(entry), "09:05:03.042 " + text);
    }

    void keepsTheLastEntriesOnly() {
        AdapterLog log;
        const int extra = 250;
        for (int i = 0; i < int(AdapterLog::kMaxEntries) + extra; ++i)
            log.record(AdapterLog::Direction::Sent, QByteArray::number(i));
        QCOMPARE(log.entries().size(), AdapterLog::kMaxEntries);
        QCOMPARE(log.entries().front().bytes, QByteArray::number(extra));
        QCOMPARE(log.entries().back().bytes,
                 QByteArray::number(AdapterLog::kMaxEntries + extra - 1));
        QCOMPARE(log.total(), quint64(AdapterLog::kMaxEntries + extra));
        log.clear();
        QVERIFY(log.entries().empty());
    }
};

TAVRIN_TEST(AdapterLogTest)
#include "AdapterLogTest.moc"
