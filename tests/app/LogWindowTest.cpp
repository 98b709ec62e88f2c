// The Log window: one at a time, what it shows, Save and Clear.
#include <QPlainTextEdit>
#include <QPushButton>
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
        QCOMPARE(QString::fromUtf8(readFile(path)), window->txtLog->toPlainText() + "\n");
        QVERIFY(readFile(path).contains("22e21a<CR><LF>"));

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
};

TAVRIN_TEST(LogWindowTest)
#include "LogWindowTest.moc"
