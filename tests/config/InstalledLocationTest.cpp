// An installed copy keeps its settings in the user's configuration folder,
// whoever runs it.
#include <QDir>
#include <QTest>

#include "TestSupport.h"
#include "config/INI_Handler.h"

using namespace tavrin;
using namespace tavrin::test;

class InstalledLocationTest : public QObject {
    Q_OBJECT

private slots:
    void systemProgramFolderUsesTheUserConfigFolder() {
        if (!QFileInfo(QStringLiteral("/usr/bin")).isDir()) QSKIP("no /usr/bin here");
        TestHost host;
        const QString config = host.userConfigFolder();
        host.setProgramFolder(QStringLiteral("/usr/bin"));
        const QString path = StartupIniFilePath(host);
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(config).absoluteFilePath());
        QCOMPARE(SetupIniFilePath(host), path);
        QVERIFY(!QFile::exists(QStringLiteral("/usr/bin/QUILLET.INI")) ||
                QFileInfo(path).absolutePath() != QStringLiteral("/usr/bin"));
    }

    void ownFolderIsUsedWhenItCanBeWritten() {
        TestHost host;
        QCOMPARE(QFileInfo(StartupIniFilePath(host)).absolutePath(),
                 QFileInfo(host.programFolder()).absoluteFilePath());
    }
};

TAVRIN_TEST(InstalledLocationTest)
#include "InstalledLocationTest.moc"
