// The Log window: one at a time, what it shows, Save and Clear, and the
// changes made on its second tab.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "SimRig.h"
#include "app/frmLog.h"

using namespace tavrin;
using namespace tavrin::test;

class LogWindowTest : public QObject {
    Q_OBJECT

private slots:
    void showsTheLogAndFollowsNewLines() {
        AppRig rig;
        rig.form->mnu_Log_Click();
        auto* window = qobject_cast<frmLog*>(rig.form->logWindow());
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->txtLog->toPlainText(), QString());
        rig.form->mnu_Log_Click();  // the same window, brought to the front
        QCOMPARE(rig.form->logWindow(), window);

        rig.connect();
        rig.host.wait(50);  // the prompt of the last answer
        QCOMPARE(window->txtLog->toPlainText(), rig.host.adapterLog().lines().join('\n'));
        const QStringList shown = window->txtLog->toPlainText().split('\n');
        QVERIFY2(shown.first().endsWith("\u2192 atz<CR><LF>"), qPrintable(shown.first()));
        QVERIFY(shown.filter("\u2190 ").size() >= 10);

        // Opened again later, it shows everything since the program started.
        window->close();
        QTRY_VERIFY(!rig.form->logWindow());
        rig.form->mnu_Log_Click();
        auto* again = qobject_cast<frmLog*>(rig.form->logWindow());
        QVERIFY(again);
        QCOMPARE(again->txtLog->toPlainText(), rig.host.adapterLog().lines().join('\n'));
        again->close();
    }

    // An answer that comes in pieces is one line, its joins marked; a saved
    // log says under a header where it came from.
    void oneLinePerCommandAndPerAnswer() {
        sim::SimConfig config;
        config.fault = sim::Fault::Pieces;
        AppRig rig(config);
        rig.connect();
        rig.host.wait(50);  // the prompt of the last answer
        const QStringList lines = rig.host.adapterLog().lines();
        QCOMPARE(lines.size(), 20);
        for (int i = 0; i < lines.size(); i += 2) {
            QVERIFY2(lines[i].contains("\u2192 "), qPrintable(lines[i]));
            QVERIFY2(lines[i + 1].contains("\u2190 ") && lines[i + 1].contains("\u00B7"),
                     qPrintable(lines[i + 1]));
        }
        // The echo at once, then the answer in its pieces.
        QVERIFY2(lines[3].contains("\u2190 atcaf1<CR>O\u00B7K<CR>"), qPrintable(lines[3]));
    }

    void saveWritesWhatIsShownAndClearEmptiesIt() {
        AppRig rig;
        rig.connect();
        rig.form->mnu_Log_Click();
        auto* window = qobject_cast<frmLog*>(rig.form->logWindow());
        QVERIFY(window);
        const QString path = QDir(rig.host.programFolder()).filePath("saved-log.txt");
        rig.host.saveFileName = path;
        window->cmdSave->click();
        QVERIFY(rig.host.messages.empty());
        const QString saved = QString::fromUtf8(readFile(path));
        QVERIFY(saved.endsWith("\n\n" + window->txtLog->toPlainText() + "\n"));
        const QStringList header = saved.section("\n\n", 0, 0).split('\n');
        QCOMPARE(header.size(), 6);
        QCOMPARE(header[0], QString("Tavrin 1.0.0 adapter log"));
        QVERIFY(header[1].startsWith("Saved: 20"));
        const QString device = ComDeviceName(3, rig.host.programFolder());
        QCOMPARE(header[2],
                 device == "COM3" ? QString("Port: COM3") : "Port: COM3 (" + device + ")");
        QCOMPARE(header[3], QString("Speed: 38400 bit/s"));
        QCOMPARE(header[4], QString("Adapter: ELM327 v1.5"));
        // The clones' version gets its one line of care.
        QVERIFY(header[5].startsWith("Note: this adapter calls itself v1.5, a version the ELM327 "
                                     "never had"));

        // A save the user called off writes nothing; one that fails says so.
        rig.host.saveFileName.clear();
        window->cmdSave->click();
        rig.host.saveFileName = QDir(path).filePath("inside-a-file.txt");
        window->cmdSave->click();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages[0].text.startsWith("The log could not be saved"));

        window->cmdClear->click();
        QCOMPARE(window->txtLog->toPlainText(), QString());
        QVERIFY(rig.host.adapterLog().entries().empty());
        window->close();
    }

    void showsAtMostTheLastLines() {
        TestHost host;
        for (int i = 0; i < int(AdapterLog::kMaxEntries) + 100; ++i)
            host.adapterLog().record(AdapterLog::Direction::Sent, QByteArray::number(i));
        frmLog window(host);
        QCOMPARE(window.txtLog->blockCount(), int(AdapterLog::kMaxEntries));
        host.adapterLog().record(AdapterLog::Direction::Sent, "newest");
        QCOMPARE(window.txtLog->blockCount(), int(AdapterLog::kMaxEntries));
        QVERIFY(window.txtLog->toPlainText().endsWith("\u2192 newest"));
    }

    // Read afresh each time the tab is shown; an unreadable line runs across
    // the row.
    void changesTabShowsTheHistoryNewestFirst() {
        TestHost host;
        const QString path = QDir(host.programFolder()).filePath("history.csv");
        const QByteArray first =
            "time,port,speed,part_number,model,step,record,request,outcome\r\n"
            "2026-12-07T14:03:11.204+10:00,COM3,38400,3R23-123-FB,BA Fairmont Ghia,before,4C12,"
            "3b034812,\r\n"
            "2026-12-07T14:03:12.219+10:00,COM3,38400,3R23-123-FB,BA Fairmont Ghia,after,4812,"
            "3b034812,applied\r\n";
        QVERIFY(writeFile(path, first));
        frmLog window(host, {}, [path] { return path; });
        window.show();
        window.tabs->setCurrentIndex(1);
        QCOMPARE(window.tblChanges->rowCount(), 1);
        QCOMPARE(window.tblChanges->item(0, 3)->text(), QString("ON \u2192 OFF"));

        window.tabs->setCurrentIndex(0);
        QVERIFY(writeFile(path, first + "2026-12-08T09:15:40.001+10:00,COM3,38400,3R23-123-FB,BA "
                                        "Fairmont Ghia,before,4812,3b034c12,\r\n"
                                        "2026-12-08T09:15:41.017+10:00,COM3,38400\r\n"));
        window.tabs->setCurrentIndex(1);
        QCOMPARE(window.tblChanges->rowCount(), 3);
        QCOMPARE(window.tblChanges->item(0, 0)->text(),
                 QString("Line 5 cannot be read: 3 fields instead of 9."));
        QCOMPARE(window.tblChanges->columnSpan(0, 0), window.tblChanges->columnCount());
        QCOMPARE(window.tblChanges->item(1, 0)->text(), QString("2026-12-08 09:15:40"));
        QCOMPARE(window.tblChanges->item(1, 4)->text(), QString("no outcome recorded"));
    }
};

TAVRIN_TEST(LogWindowTest)
#include "LogWindowTest.moc"
