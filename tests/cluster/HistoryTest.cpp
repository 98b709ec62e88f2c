// The write history: its file format on its own, and the two lines every
// write to the simulated cluster leaves in it.
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include "SimRig.h"
#include "cluster/WriteHistory.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

QStringList historyLines(const QString& path) {
    QString text = QString::fromUtf8(readFile(path));
    if (text.endsWith("\r\n")) text.chop(2);
    return text.isEmpty() ? QStringList{} : text.split("\r\n");
}

// "before"/"after" lines without their time stamp.
QStringList withoutTime(const QStringList& lines) {
    QStringList out;
    for (const QString& line : lines.mid(1)) out << line.section(',', 1);
    return out;
}

const QString kHeader = "time,port,speed,part_number,model,step,record,request,outcome";

}  // namespace

class HistoryTest : public QObject {
    Q_OBJECT

private slots:
    void linesAreCsvWithALocalTimeAndItsOffset() {
        WriteHistory::Line line;
        line.time = QDateTime::currentDateTime();
        line.port = "COM3";
        line.speed = "38400";
        line.partNumber = "3R23-123-FB";
        line.model = "Say \"hi\", then go";  // a comma and quotes
        line.step = "after";
        line.record = "4812";
        line.request = "3b034812";
        line.outcome = "refused 22 (conditions not correct)";
        const QString text = WriteHistory::format(line);
        const QRegularExpression form(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d,COM3,38400,"
            "3R23-123-FB,\"Say \"\"hi\"\", then go\",after,4812,3b034812,refused 22 "
            "\\(conditions not correct\\)$");
        QVERIFY2(form.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(WriteHistory::header(), kHeader);
    }

    void appendsAHeaderOnceAndNeverSwallowsACutLine() {
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath("history.csv");
        WriteHistory history(path);
        WriteHistory::Line line;
        line.time = QDateTime::currentDateTime();
        line.step = "before";
        QString error;
        QVERIFY(history.append(line, &error));
        QVERIFY(history.append(line, &error));
        QCOMPARE(historyLines(path).size(), 3);
        QCOMPARE(historyLines(path).first(), kHeader);

        // A line cut short, as a crash during a write would leave it.
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("2026-12-07T10:00:00.000+00:00,COM3");
        file.close();
        QVERIFY(history.append(line, &error));
        const QStringList lines = historyLines(path);
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[3].endsWith(",COM3"));
        QVERIFY(lines[4].contains(",before,"));
    }

    void toggleLeavesTheRecordBeforeAndAfter() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        const QString path = rig.session->historyPath();
        QCOMPARE(path, QDir(rig.host.programFolder()).filePath("history.csv"));
        QVERIFY(!QFile::exists(path));  // a read writes nothing

        // The line before the write is on the disk when the request arrives.
        QStringList linesAtWrite;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line.startsWith("3b")) linesAtWrite = historyLines(path);
        });
        QVERIFY(rig.change().ok());
        QCOMPARE(linesAtWrite.size(), 2);
        QCOMPARE(withoutTime(linesAtWrite),
                 QStringList{"COM3,38400,3R23-123-FB,BA Fairmont Ghia,before,4C12,3b034812,"});

        const QStringList lines = historyLines(path);
        QCOMPARE(lines.first(), kHeader);
        QCOMPARE(withoutTime(lines),
                 (QStringList{"COM3,38400,3R23-123-FB,BA Fairmont Ghia,before,4C12,3b034812,",
                              "COM3,38400,3R23-123-FB,BA Fairmont Ghia,after,4812,3b034812,"
                              "applied"}));

        // Only ever appended to.
        QVERIFY(rig.change().ok());
        const QStringList more = historyLines(path);
        QCOMPARE(more.size(), 5);
        QCOMPARE(more.mid(0, 3), lines);
        QVERIFY(more[4].endsWith(",after,4C12,3b034c12,applied"));
    }

    void outcomesOfWritesThatDidNotSucceed_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("after");
        QTest::newRow("refused") << int(Fault::NegativeWrite)
                                 << ",after,4C12,3b034812,refused 22 (conditions not correct)";
        QTest::newRow("no answer") << int(Fault::Silence) << ",after,4C12,3b034812,no answer";
        QTest::newRow("not applied")
            << int(Fault::WriteNotApplied) << ",after,4C12,3b034812,not applied";
        QTest::newRow("port lost")
            << int(Fault::DisconnectMidAnswer) << ",after,,3b034812,port lost";
    }
    void outcomesOfWritesThatDidNotSucceed() {
        QFETCH(int, fault);
        QFETCH(QString, after);
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = "3b03";
        QVERIFY(!rig.change().ok());
        const QStringList lines = historyLines(rig.session->historyPath());
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[2].endsWith(after), qPrintable(lines[2]));
    }

    void noWriteWithoutTheLineBefore() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        // A folder where the file should be: it cannot be opened for writing,
        // not even by root.
        QVERIFY(QDir().mkpath(rig.session->historyPath()));
        rig.sim.clearLog();
        const PoliceReport report = rig.change();
        QCOMPARE(rig.writes(), QStringList{});
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY2(report.messages[0].text.contains("write history could not be saved"),
                 qPrintable(report.messages[0].text));
        QVERIFY2(report.messages[0].detail.contains("history.csv"),
                 qPrintable(report.messages[0].detail));
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4C12"));
    }
};

TAVRIN_TEST(HistoryTest)
#include "HistoryTest.moc"
