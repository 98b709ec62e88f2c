// The main window right after start-up, under the offscreen platform.
#include <QAction>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include "TestSupport.h"
#include "app/Form1.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "runtime/Clock.h"

using namespace tavrin;
using namespace tavrin::test;

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void startUpShowsTheIdleWindowAndWritesTheDefaultFile() {
        TestHost host;
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        QVERIFY(form->isVisible());
        QCOMPARE(form->windowTitle(), QString("Tavrin v1.00"));
        QCOMPARE(caption(form->Connect_Command->text()), QString("Connect"));
        QVERIFY(form->Connect_Command->isEnabled());
        QCOMPARE(caption(form->Command1->text()), QString("Toggle Police Mode"));
        QVERIFY(!form->Command1->isEnabled());
        QCOMPARE(form->ClusterInfo->title(), QString("Cluster Information"));
        QCOMPARE(form->Frame1->title(), QString("Police Mode"));
        QCOMPARE(form->ClusterInfotext->text(), QString());
        QCOMPARE(form->PM_label->text(), QString());
        QCOMPARE(form->panelText(1), QString());
        QCOMPARE(form->panelText(2), QString());
        QCOMPARE(form->panelText(3), QString("COM 1 / 9600"));
        QCOMPARE(form->panelText(4), QString("Not Connected"));
        QCOMPARE(d.ConnectState, qint16(0));
        QVERIFY(!d.ClusterReady);
        QVERIFY(!form->MSComm1->PortOpen());
        QVERIFY(!form->Timer1->isActive());
        QVERIFY(host.messages.empty());

        const QString ini = QDir(host.programFolder()).filePath("QUILLET.INI");
        QCOMPARE(d.IniFilePath, ini);
        QCOMPARE(readFile(ini),
                 QByteArray("QUILLET v1.00 INI File\r\nComPort=COM1\r\nComSpeed=9600\r\n"));
    }

    void startUpReadsExistingSettings() {
        TestHost host;
        QVERIFY(writeFile(QDir(host.programFolder()).filePath("QUILLET.INI"),
                          "QUILLET v1.00 INI File\r\nComPort=COM12\r\nComSpeed=115200\r\n"));
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        QCOMPARE(d.ComPort, qint16(12));
        QCOMPARE(d.ComSpeed, QString("115200"));
        QCOMPARE(form->panelText(3), QString("COM 12 / 115200"));
    }

    // A Wi-Fi adapter's long host name gives way in the middle; the window
    // keeps the size a serial port gives it, and the tooltip the address.
    void aLongHostNameKeepsTheWindowsSize() {
        TestHost host;
        Defines serial;
        std::unique_ptr<Form1> plain(Main(serial, host));
        const QString hostName = QString("obd-adapter-in-the-workshop-bay-number-three.example");
        QVERIFY(writeFile(QDir(host.programFolder()).filePath("QUILLET.INI"),
                          "QUILLET v1.00 INI File\r\nComPort=COM1\r\nComSpeed=9600\r\nNetwork=" +
                              hostName.toLatin1() + ":35000\r\n"));
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        QApplication::processEvents();
        QCOMPARE(form->size(), plain->size());
        QVERIFY(form->panelText(3).contains(QChar(0x2026)));
        QVERIFY(form->findChild<QLabel*>("Panel3")->toolTip().contains(hostName + ":35000"));
    }

    void startUpWithNowhereToSaveStillShowsTheWindow() {
        TestHost host;
        // A folder under a regular file can never be written, not even by root.
        const QString blocker = QDir(host.programFolder()).filePath("blocker");
        QVERIFY(writeFile(blocker, "x"));
        host.setProgramFolder(blocker + "/program");
        host.setUserConfigFolder(blocker + "/config");
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        QVERIFY(form->isVisible());
        QCOMPARE(d.ComPort, qint16(1));
        QCOMPARE(d.ComSpeed, QString("9600"));
        QCOMPARE(form->panelText(3), QString("COM 1 / 9600"));
        QCOMPARE(host.messages.size(), size_t(1));
        QVERIFY(host.messages[0].text.contains("cannot be saved"));
    }

    void controlsSitWhereTheLayoutPutsThem_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("Connect_Command") << "Connect_Command" << QRect(56, 8, 81, 33);
        QTest::newRow("Command1") << "Command1" << QRect(272, 8, 81, 33);
        QTest::newRow("ClusterInfo") << "ClusterInfo" << QRect(8, 48, 289, 41);
        QTest::newRow("ClusterInfotext") << "ClusterInfotext" << QRect(8, 16, 161, 17);
        QTest::newRow("Frame1") << "Frame1" << QRect(304, 48, 105, 41);
        QTest::newRow("PM_label") << "PM_label" << QRect(8, 16, 89, 17);
    }
    void controlsSitWhereTheLayoutPutsThem() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        TestHost host;
        Defines d;
        Form1 form(d, host);
        auto* w = form.findChild<QWidget*>(name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), geometry);
    }

    // Ctrl+Q quits, and a screen reader has a name for every field.
    void keyboardAndScreenReader() {
        TestHost host;
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        for (const char* name :
             {"Panel1", "Panel2", "Panel3", "Panel4", "ClusterInfotext", "PM_label"}) {
            QVERIFY2(!form->findChild<QWidget*>(name)->accessibleName().isEmpty(), name);
        }
        form->mnu_About_Click();
        QVERIFY(form->aboutBox()->isVisible());
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!form->isVisible());
        QVERIFY(!form->aboutBox() || !form->aboutBox()->isVisible());
    }

    void menuBarHoldsSetupAboutAndLog() {
        TestHost host;
        Defines d;
        Form1 form(d, host);
        const auto actions = form.menuBar()->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(caption(actions[0]->text()), QString("Setup"));
        QCOMPARE(actions[0]->objectName(), QString("mnu_Setup"));
        QCOMPARE(caption(actions[1]->text()), QString("About"));
        QCOMPARE(caption(actions[2]->text()), QString("Log"));
        QCOMPARE(actions[2]->objectName(), QString("mnu_Log"));
        QVERIFY(!actions[0]->menu() && !actions[1]->menu() && !actions[2]->menu());
        QVERIFY(form.findChild<QStatusBar*>("StatusBar1"));
        QVERIFY(form.findChild<AdapterLine*>("MSComm1"));
        QVERIFY(form.findChild<ClockTimer*>("Timer1"));
        QCOMPARE(form.centralWidget()->size(), QSize(418, 91));
    }
};

TAVRIN_TEST(MainWindowTest)
#include "MainWindowTest.moc"
