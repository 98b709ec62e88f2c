// The changes table: history.csv read for people, newest first, in the
// window's terms and as text for a terminal, without changing the file.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "TestSupport.h"
#include "cluster/HistoryTable.h"

using namespace tavrin;
using namespace tavrin::test;

namespace changestable {

const QByteArray kCsvHeader = "time,port,speed,part_number,model,step,record,request,outcome\r\n";

QByteArray before(const QByteArray& time, const QByteArray& record, const QByteArray& request,
                  const QByteArray& model = "BA Fairmont Ghia") {
    return time + ",COM3,38400,3R23-123-FB," + model + ",before," + record + "," + request +
           ",\r\n";
}

QByteArray after(const QByteArray& time, const QByteArray& record, const QByteArray& request,
                 const QByteArray& outcome) {
    return time + ",COM3,38400,3R23-123-FB,BA Fairmont Ghia,after," + record + "," + request + "," +
           outcome + "\r\n";
}

const QByteArray kTime1 = "2026-12-07T14:03:11.204+10:00";
const QByteArray kTime2 = "2026-12-07T14:03:12.219+10:00";
const QByteArray kTime3 = "2026-12-08T09:15:40.001+10:00";
const QByteArray kTime4 = "2026-12-08T09:15:41.017+10:00";

const QString kCluster = "3R23-123-FB, BA Fairmont Ghia";

}  // namespace changestable

class ChangesTableTest : public QObject {
    Q_OBJECT

private slots:
    void changesTable_data() {
        using namespace changestable;
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("cap");
        // Cells as the window shows them, joined by " | "; an unreadable
        // line is a single cell.
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("ordinary file")
            << true
            << kCsvHeader + before(kTime1, "4C12", "3b034812") +
                   after(kTime2, "4812", "3b034812", "applied") + before(kTime3, "48", "3b034c") +
                   after(kTime4, "", "3b034c", "\"acknowledged, not read back\"")
            << kHistoryReadCap
            << QStringList{
                   "2026-12-08 09:15:40 | COM3 | " + kCluster +
                       " | OFF \u2192 ? | acknowledged, not read back",
                   "2026-12-07 14:03:11 | COM3 | " + kCluster + " | ON \u2192 OFF | applied"};

        // The program stopped, or lost the port, between the two lines.
        QTest::newRow("before without after")
            << true
            << kCsvHeader + before(kTime1, "4C12", "3b034812") +
                   before(kTime2, "4C12", "3b034812") +
                   after(kTime3, "4812", "3b034812", "applied") + before(kTime4, "4812", "3b034c12")
            << kHistoryReadCap
            << QStringList{
                   "2026-12-08 09:15:41 | COM3 | " + kCluster +
                       " | OFF \u2192 ? | no outcome recorded",
                   "2026-12-07 14:03:12 | COM3 | " + kCluster + " | ON \u2192 OFF | applied",
                   "2026-12-07 14:03:11 | COM3 | " + kCluster +
                       " | ON \u2192 ? | no outcome recorded"};

        // Cut by a crash, mangled in an editor: each such line is a row of
        // its own, and what can be read around it still is. A record that is
        // not hexadecimal says nothing; control characters would move a
        // terminal's cursor.
        QTest::newRow("damaged lines")
            << true
            << kCsvHeader + before(kTime1, "4C12", "3b034812") +
                   after(kTime2, "4812", "3b034812", "applied") + kTime3 + ",COM3,38400\r\n" +
                   before(kTime3, "4x12", "3b034c12", "BA \x1b[2J Ghia") +
                   after(kTime4, "4C12", "3b034c12", "applied") + kTime4 +
                   ",COM3,38400,3R23-123-FB,\"BA\"x,before,4812,3b034c12,\r\n" + kTime4 +
                   ",COM3,38400,3R23-123-FB,BA,during,4812,3b034c12,\r\n"
            << kHistoryReadCap
            << QStringList{
                   "Line 8 cannot be read: its step is \u201Cduring\u201D, not before or after.",
                   "Line 7 cannot be read: its quotes are out of place.",
                   "2026-12-08 09:15:40 | COM3 | 3R23-123-FB, BA ?[2J Ghia | ? \u2192 ON | "
                   "applied",
                   "Line 4 cannot be read: 3 fields instead of 9.",
                   "2026-12-07 14:03:11 | COM3 | " + kCluster + " | ON \u2192 OFF | applied"};

        QTest::newRow("empty file") << true << QByteArray() << kHistoryReadCap << QStringList{};
        QTest::newRow("no file") << false << QByteArray() << kHistoryReadCap << QStringList{};

        // A file larger than the cap: its newest lines, from the first whole
        // one, and an "after" whose "before" was left unread.
        const QByteArray newest = after(kTime2, "4812", "3b034812", "applied") +
                                  before(kTime3, "4812", "3b034c12") +
                                  after(kTime4, "4C12", "3b034c12", "applied");
        QTest::newRow("newest part only")
            << true << kCsvHeader + before(kTime1, "4C12", "3b034812") + newest
            << qint64(newest.size() + 5)
            << QStringList{
                   "2026-12-08 09:15:40 | COM3 | " + kCluster + " | OFF \u2192 ON | applied",
                   "2026-12-07 14:03:12 | COM3 | " + kCluster + " | ? \u2192 OFF | applied"};
    }

    void changesTable() {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        QFETCH(qint64, cap);
        QFETCH(QStringList, rows);
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath("history.csv");
        if (exists) QVERIFY(writeFile(path, content));

        const HistoryTable table = ReadHistoryTable(path, cap);
        QCOMPARE(table.error, QString());
        QStringList shown;
        for (const HistoryRow& row : table.rows) shown << HistoryCells(row).join(" | ");
        QCOMPARE(shown, rows);
        QCOMPARE(!table.note.isEmpty(), cap != kHistoryReadCap);

        // The terminal's table: the same cells under their titles.
        const QStringList text = HistoryTableText(table, path).split('\n', Qt::SkipEmptyParts);
        if (rows.isEmpty()) {
            QCOMPARE(text,
                     QStringList{"No changes recorded in " + QDir::toNativeSeparators(path) + "."});
        } else {
            QCOMPARE(text.size(), rows.size() + 1 + (table.note.isEmpty() ? 0 : 1));
            const QStringList titles = HistoryColumns();
            for (int i = 0; i < rows.size(); ++i) {
                const QStringList cells = rows[i].split(" | ");
                const QString& line = text[i + 1];
                if (cells.size() == 1) QCOMPARE(line, cells[0]);
                for (int c = 0; c < cells.size() && cells.size() > 1; ++c) {
                    const QString from = line.mid(text[0].indexOf(titles[c]));
                    QVERIFY2(from.startsWith(cells[c] + (c + 1 < cells.size() ? "  " : "")),
                             qPrintable(line));
                }
            }
        }

        // Only read.
        QCOMPARE(QFile::exists(path), exists);
        if (exists) QCOMPARE(readFile(path), content);
    }
};

TAVRIN_TEST(ChangesTableTest)
#include "ChangesTableTest.moc"
