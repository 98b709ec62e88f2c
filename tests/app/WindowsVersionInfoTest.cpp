// The caption's product name as Windows gives it: read from a file's version
// information, with the built-in name where a program carries none. What
// tavrin.exe and tavrin.com themselves carry, scripts/windows reads back from
// the built files.
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTest>

#include "TestSupport.h"
#include "platform/VersionInfo.h"

using namespace tavrin;

class WindowsVersionInfoTest : public QObject {
    Q_OBJECT

private slots:
    void theProductNameIsTheFilesOwn_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        // Qt's own library names another product than this program: what is
        // read is the file's, not a name of the program's own.
        QTest::newRow("a library with version information")
            << QLibraryInfo::path(QLibraryInfo::BinariesPath) + QStringLiteral("/Qt6Core.dll")
            << "Qt6";
        QTest::newRow("a file with none") << QStringLiteral("plain.dll") << "";
        QTest::newRow("no such file") << QStringLiteral("missing.exe") << "";
    }
    void theProductNameIsTheFilesOwn() {
        QFETCH(QString, file);
        QFETCH(QString, name);
        QTemporaryDir folder;
        QFile plain(folder.filePath(QStringLiteral("plain.dll")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("MZ not a program\r\n");
        plain.close();
        const QString path = QFileInfo(file).isAbsolute() ? file : folder.filePath(file);
        QCOMPARE(ProductNameOf(path), name);
    }

    void aProgramWithoutVersionInformationKeepsTheBuiltInName() {
        // The test program carries no version information of its own.
        QCOMPARE(ProgramProductName(QStringLiteral("Built-in")), QStringLiteral("Built-in"));
    }
};

TAVRIN_TEST(WindowsVersionInfoTest)
#include "WindowsVersionInfoTest.moc"
