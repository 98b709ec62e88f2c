#ifndef Q_OS_WIN
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#ifndef Q_OS_WIN
#include <QSerialPort>
#endif
#include <QSignalSpy>
#include <QTest>
#include <map>
#include <memory>

#include "ListSupport.h"
#include "TestSupport.h"
#include "app/Form1.h"
#include "config/Setup_Form.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using tavrin::test::choose;
using tavrin::test::items;
using tavrin::test::selected;

namespace {

#ifndef Q_OS_WIN
// A pseudo-terminal whose slave side stands in for a serial device; the
// master stays open for as long as the object lives.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const char* name = ::ptsname(master_);
        if (name) slave_ = QString::fromLocal8Bit(name);
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const QString& slave() const { return slave_; }

private:
    int master_ = -1;
    QString slave_;
};
#endif

const QByteArray kFileHeader = "QUILLET v1.00 INI File\r\n";

// Where COM numbers without a link of their own would point on this machine.
const char* const kDefaultDevices[] = {
    "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyACM0", "/dev/ttyACM1",
    "/dev/ttyACM2", "/dev/ttyACM3", "/dev/rfcomm0", "/dev/rfcomm1", "/dev/rfcomm2", "/dev/rfcomm3",
    "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3"};

// The machine's own lines. On Windows, of COM1 to COM16 only those the test
// mapped are there: Wine gives some numbers to the machine's own serial
// devices (COM1 is /dev/ttyS0 wherever that exists), and no mapping can take
// those away, as the dangling links do on Linux.
struct PortsHost : test::TestHost {
    PortsHost() : TestHost(test::Lines::Real) {
#ifdef Q_OS_WIN
        setDevices(&ports);
#endif
    }
#ifdef Q_OS_WIN
    // Only the ports the test mapped: Wine gives some numbers to the
    // machine's own serial devices, and its DOS device list misses the
    // mappings the port helper makes.
    test::ListedDevices ports{devices()};
#endif
};

// A main window whose settings live in a fresh temporary folder, and the
// ports that folder's links make available.
struct Bench {
    Defines d;
    // The ports are the machine's kind: pseudo-terminals, some held by another
    // program, probed as real devices are.
    PortsHost host;
    Form1 form{d, host};
#ifndef Q_OS_WIN
    std::map<int, std::unique_ptr<Pty>> ptys;
#endif

    Bench() {
        d.IniFilePath = QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI"));
    }
    ~Bench() {
        if (QWidget* dialog = form.setupDialog()) delete dialog;
    }

    QString folder() const {
        return host.programFolder();
    }
    QString iniPath() const {
        return d.IniFilePath;
    }
    QString linkPath(int n) const {
        return QDir(folder()).filePath(QStringLiteral("ports/com%1").arg(n));
    }

    // Ports in `available` get a pseudo-terminal; with isolate, every other
    // COM number stands for no device, so none of this machine's shows up.
    // On Windows the system numbers the ports, and the port helper maps them.
    bool makePorts(const QList<int>& available, bool isolate = true) {
#ifdef Q_OS_WIN
        for (int n = 1; n <= 16; ++n) {
            const bool present = available.contains(n);
            if ((present || isolate) && !test::mapComPort(n, present)) return false;
            if (present) host.ports.paths << QStringLiteral("COM%1").arg(n);
        }
        return true;
#else
        QDir(folder()).mkpath(QStringLiteral("ports"));
        for (int n = 1; n <= 16; ++n) {
            if (available.contains(n)) {
                auto pty = std::make_unique<Pty>();
                if (pty->slave().isEmpty() || !QFile::link(pty->slave(), linkPath(n))) {
                    return false;
                }
                ptys[n] = std::move(pty);
            } else if (isolate && !test::linkToNowhere(folder(), n)) {
                return false;
            }
        }
        return true;
#endif
    }

    // Opens Setup and lets its probes answer.
    Setup_Form* open() {
        form.mnu_Setup_Click();
        auto* dialog = qobject_cast<Setup_Form*>(form.setupDialog());
        if (dialog) host.waitUntil([dialog] { return dialog->portsBeingChecked() == 0; }, 10'000);
        return dialog;
    }
};

}  // namespace

class SetupFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
#ifdef Q_OS_WIN
        if (!test::comPortsMappable())
            QSKIP("COM ports are made by tests/common/WinePorts.py, which this suite runs under");
#endif
    }

    void layoutAndWindow() {
        Bench b;
        QVERIFY(b.makePorts({}));
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Setup"));
        QCOMPARE(dlg->width(), 238);
        QVERIFY(!(dlg->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dlg->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(dlg->isVisible());
        QVERIFY(!dlg->isModal());
        QVERIFY(dlg->isWindow());
        QCOMPARE(dlg->parentWidget(), nullptr);
        QVERIFY(dlg->testAttribute(Qt::WA_DeleteOnClose));

        QCOMPARE(dlg->Frame1->title(), QStringLiteral("Comm Ports"));
        QCOMPARE(dlg->Frame2->title(), QStringLiteral("Comm Speed"));
        QCOMPARE(caption(dlg->SaveConfig->text()), QStringLiteral("Save"));
        QCOMPARE(caption(dlg->SetupCancel->text()), QStringLiteral("Cancel"));
        QCOMPARE(dlg->Frame1->geometry(), QRect(8, 8, 105, 81));
        QCOMPARE(dlg->CommPort_List->geometry(), QRect(8, 16, 89, 56));
        QCOMPARE(dlg->CommPort_List->parentWidget(), dlg->Frame1);
        QCOMPARE(dlg->SaveConfig->geometry(), QRect(64, 96, 49, 25));
        QCOMPARE(dlg->SetupCancel->geometry(), QRect(120, 96, 49, 25));
        QCOMPARE(dlg->Frame2->geometry(), QRect(120, 8, 113, 81));
        QCOMPARE(dlg->Speed_List->geometry(), QRect(8, 16, 97, 56));
        QCOMPARE(dlg->Speed_List->parentWidget(), dlg->Frame2);
        QCOMPARE(dlg->findChild<QListWidget*>(QStringLiteral("CommPort_List")), dlg->CommPort_List);
        QCOMPARE(dlg->CommPort_List->selectionMode(), QAbstractItemView::SingleSelection);

        // The search's part lies below the rest, and the dialog shows all of
        // its text.
        QCOMPARE(caption(dlg->FindAdapter->text()), QStringLiteral("Find Adapter"));
        QCOMPARE(dlg->FindAdapter->geometry(), QRect(8, 136, 97, 25));
        const QRect status = dlg->FindStatus->geometry();
        QVERIFY(status.top() > dlg->FindAdapter->geometry().bottom());
        QVERIFY(dlg->rect().contains(status));
        QVERIFY(status.height() >= dlg->FindStatus->heightForWidth(status.width()));
        QCOMPARE(dlg->height(), status.bottom() + 1 + 8);

        // Tab: the port list, Save, Cancel, the speed list, then the search.
        QList<QWidget*> order;
        QWidget* w = dlg->CommPort_List;
        const QList<QWidget*> wanted = {dlg->CommPort_List, dlg->SaveConfig, dlg->SetupCancel,
                                        dlg->Speed_List, dlg->FindAdapter};
        for (int i = 0; i < 50 && order.size() < wanted.size(); ++i, w = w->nextInFocusChain()) {
            if (wanted.contains(w) && !order.contains(w)) order << w;
        }
        QCOMPARE(order, wanted);
    }

    void listsOpenablePorts_data() {
        QTest::addColumn<QList<int>>("available");
        QTest::addColumn<QList<int>>("heldElsewhere");
        QTest::addColumn<int>("comPort");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("selection");

        QTest::newRow("1, 3, 12 with 3 saved") << QList<int>{1, 3, 12} << QList<int>{} << 3
                                               << QStringList{"COM1", "COM3", "COM12"} << "COM3";
        QTest::newRow("COM1 missing selects COM10")
            << QList<int>{10, 12} << QList<int>{} << 1 << QStringList{"COM10", "COM12"} << "COM10";
        QTest::newRow("COM1 present wins over COM10")
            << QList<int>{1, 10} << QList<int>{} << 1 << QStringList{"COM1", "COM10"} << "COM1";
        QTest::newRow("saved port held by another program")
            << QList<int>{2, 5} << QList<int>{5} << 5 << QStringList{"COM2"} << QString();
        QTest::newRow("no port can be opened")
            << QList<int>{} << QList<int>{} << 1 << QStringList{} << QString();
        QTest::newRow("ports 9 to 16 like 1 to 8")
            << QList<int>{9, 16} << QList<int>{} << 16 << QStringList{"COM9", "COM16"} << "COM16";
    }

    void listsOpenablePorts() {
        QFETCH(QList<int>, available);
        QFETCH(QList<int>, heldElsewhere);
        QFETCH(int, comPort);
        QFETCH(QStringList, listed);
        QFETCH(QString, selection);

        Bench b;
        QVERIFY(b.makePorts(available));
#ifdef Q_OS_WIN
        if (!heldElsewhere.isEmpty()) QSKIP("Wine lets any number of programs open one COM port");
#else
        // Another program keeps these open for the whole opening.
        std::vector<std::unique_ptr<QSerialPort>> holders;
        for (int n : heldElsewhere) {
            auto port = std::make_unique<QSerialPort>(b.ptys.at(n)->slave());
            QVERIFY(port->open(QIODevice::ReadWrite));
            holders.push_back(std::move(port));
        }
#endif
        b.d.ComPort = qint16(comPort);
        b.d.ComSpeed = QStringLiteral("9600");

        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(comItems(dlg->CommPort_List), listed);
        QCOMPARE(items(dlg->CommPort_List).last(), QStringLiteral("Wi-Fi adapter"));
        QCOMPARE(selected(dlg->CommPort_List), selection);
        QCOMPARE(dlg->CommPort_List->selectedItems().size(), selection.isEmpty() ? 0 : 1);
    }

    void unlinkedNumbersUseTheDeviceTable() {
#ifdef Q_OS_WIN
        QSKIP("Windows numbers its ports itself: there is no table of devices");
#endif
        Bench b;
        QVERIFY(b.makePorts({2}, /*isolate=*/false));
        b.d.ComPort = 2;
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        const QStringList listed = items(dlg->CommPort_List);
        QVERIFY(listed.contains(QStringLiteral("COM2")));
        int checked = 0;
        for (int n = 1; n <= 16; ++n) {
            if (n == 2) continue;
            // A real device on this machine could be listed; nothing to assert then.
            if (QFileInfo::exists(QLatin1String(kDefaultDevices[n - 1]))) continue;
            QVERIFY2(!listed.contains(QStringLiteral("COM%1").arg(n)),
                     qPrintable(listed.join(',')));
            ++checked;
        }
        if (checked == 0) QSKIP("every default serial device exists on this machine");
    }

    void portToolTipNamesTheDevice() {
        Bench b;
        QVERIFY(b.makePorts({4}));
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(comItems(dlg->CommPort_List).size(), 1);
        const QString tip = dlg->CommPort_List->item(0)->toolTip();
#ifdef Q_OS_WIN
        // The port as Windows names it: there is no link to follow.
        QVERIFY2(tip.startsWith(QStringLiteral("COM4")) && !tip.contains(QStringLiteral("\u2192")),
                 qPrintable(tip));
#else
        QVERIFY2(tip.contains(b.linkPath(4)), qPrintable(tip));
        QVERIFY2(tip.contains(b.ptys.at(4)->slave()), qPrintable(tip));
        QVERIFY2(tip.indexOf(b.linkPath(4)) < tip.indexOf(b.ptys.at(4)->slave()), qPrintable(tip));
#endif
    }

    void preselectsSpeed_data() {
        QTest::addColumn<QString>("comSpeed");
        QTest::addColumn<QString>("selection");
        QTest::newRow("38400") << "38400"
                               << "38400";
        QTest::newRow("9600") << "9600"
                              << "9600";
        QTest::newRow("115200") << "115200"
                                << "115200";
        QTest::newRow("19200 is not offered") << "19200" << QString();
        QTest::newRow("0 is not offered") << "0" << QString();
        QTest::newRow("a beginning selects the speed") << "1152"
                                                       << "115200";
        // Every item begins with the empty text: the first is taken.
        QTest::newRow("empty") << ""
                               << "9600";
    }

    void preselectsSpeed() {
        QFETCH(QString, comSpeed);
        QFETCH(QString, selection);
        Bench b;
        QVERIFY(b.makePorts({1}));
        b.d.ComPort = 1;
        b.d.ComSpeed = comSpeed;
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(items(dlg->Speed_List), (QStringList{"9600", "38400", "115200"}));
        QCOMPARE(selected(dlg->Speed_List), selection);
    }

    void saveWritesSettings_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("panel");
        QTest::newRow("COM12 at 115200")
            << "COM12"
            << "115200" << kFileHeader + "ComPort=COM12\r\nComSpeed=115200\r\n"
            << "COM 12 / 115200";
        QTest::newRow("COM3 without a speed")
            << "COM3" << QString() << kFileHeader + "ComPort=COM3\r\nComSpeed=\r\n"
            << "COM 3 / ";
    }

    void saveWritesSettings() {
        QFETCH(QString, port);
        QFETCH(QString, speed);
        QFETCH(QByteArray, file);
        QFETCH(QString, panel);

        Bench b;
        QVERIFY(b.makePorts({3, 12}));
        QVERIFY(test::writeFile(b.iniPath(), kFileHeader + "ComPort=COM3\r\nComSpeed=9600\r\n"));
        b.d.ComPort = 3;
        b.d.ComSpeed = QStringLiteral("9600");
        b.form.setPanelText(3, QStringLiteral("COM 3 / 9600"));

        QPointer<Setup_Form> dlg = b.open();
        QVERIFY(dlg);
        choose(dlg->CommPort_List, port);
        if (speed.isEmpty()) {
            dlg->Speed_List->clearSelection();
        } else {
            choose(dlg->Speed_List, speed);
        }
        QTest::mouseClick(dlg->SaveConfig, Qt::LeftButton);

        QVERIFY(b.host.messages.empty());
        QCOMPARE(b.d.ComPort, qint16(port.mid(3).toInt()));
        QCOMPARE(b.d.ComSpeed, speed);
        QCOMPARE(b.form.panelText(3), panel);
        // Whatever name Setup uses, the one file start-up reads holds the choice.
        QCOMPARE(QFileInfo(b.d.IniFilePath).absolutePath(), QFileInfo(b.iniPath()).absolutePath());
        QCOMPARE(test::readFile(b.d.IniFilePath), file);
        QCOMPARE(test::readFile(QDir(b.folder()).filePath(QStringLiteral("QUILLET.INI"))), file);
        const QStringList all = QDir(b.folder()).entryList(QDir::Files);
        QCOMPARE(all.filter(QStringLiteral("quillet.ini"), Qt::CaseInsensitive).size(), 1);

        QVERIFY(!dlg->isVisible());
        QTRY_VERIFY(dlg.isNull());
        QCOMPARE(b.form.setupDialog(), nullptr);
    }

    void cancelChangesNothing() {
        Bench b;
        QVERIFY(b.makePorts({3, 12}));
        const QByteArray before = kFileHeader + "ComPort=COM3\r\nComSpeed=38400\r\n";
        QVERIFY(test::writeFile(b.iniPath(), before));
        b.d.ComPort = 3;
        b.d.ComSpeed = QStringLiteral("38400");
        b.form.setPanelText(3, QStringLiteral("COM 3 / 38400"));

        QPointer<Setup_Form> dlg = b.open();
        QVERIFY(dlg);
        choose(dlg->CommPort_List, QStringLiteral("COM12"));
        choose(dlg->Speed_List, QStringLiteral("115200"));
        QTest::mouseClick(dlg->SetupCancel, Qt::LeftButton);

        QVERIFY(!dlg->isVisible());
        QTRY_VERIFY(dlg.isNull());
        QCOMPARE(b.d.ComPort, qint16(3));
        QCOMPARE(b.d.ComSpeed, QStringLiteral("38400"));
        QCOMPARE(test::readFile(b.iniPath()), before);
        QCOMPARE(b.form.panelText(3), QStringLiteral("COM 3 / 38400"));

        dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM3"));
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("38400"));
    }

    void saveWithoutPortRefuses_data() {
        QTest::addColumn<QList<int>>("available");
        QTest::addColumn<QString>("why");
        QTest::newRow("no port could be opened") << QList<int>{} << "could be opened";
        QTest::newRow("saved port not listed") << QList<int>{2} << "Choose a port";
    }

    void saveWithoutPortRefuses() {
        QFETCH(QList<int>, available);
        QFETCH(QString, why);
        Bench b;
        QVERIFY(b.makePorts(available));
        const QByteArray before = kFileHeader + "ComPort=COM5\r\nComSpeed=38400\r\n";
        QVERIFY(test::writeFile(b.iniPath(), before));
        b.d.ComPort = 5;
        b.d.ComSpeed = QStringLiteral("38400");
        b.form.setPanelText(3, QStringLiteral("COM 5 / 38400"));

        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(selected(dlg->CommPort_List), QString());
        choose(dlg->Speed_List, QStringLiteral("115200"));
        QTest::mouseClick(dlg->SaveConfig, Qt::LeftButton);

        QCOMPARE(b.host.messages.size(), size_t(1));
        const Message& m = b.host.messages.front();
        QCOMPARE(m.title, QStringLiteral("Setup"));
        QCOMPARE(m.icon, MessageIcon::Warning);
        QVERIFY2(m.text.contains(QStringLiteral("No port is selected")), qPrintable(m.text));
        QVERIFY2(m.detail.contains(why), qPrintable(m.detail));
        QCOMPARE(test::readFile(b.iniPath()), before);
        QCOMPARE(b.d.ComPort, qint16(5));
        QCOMPARE(b.d.ComSpeed, QStringLiteral("38400"));
        QCOMPARE(b.form.panelText(3), QStringLiteral("COM 5 / 38400"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(b.form.setupDialog(), dlg);
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("115200"));
    }

    void saveFailureKeepsDialogOpen() {
        Bench b;
        QVERIFY(b.makePorts({3, 12}));
        b.d.ComPort = 3;
        b.d.ComSpeed = QStringLiteral("9600");
        const QString oldPath = b.d.IniFilePath;
        b.form.setPanelText(3, QStringLiteral("COM 3 / 9600"));
        // No folder can be made under a plain file, not even by root.
        const QString blocker = QDir(b.folder()).filePath(QStringLiteral("blocker"));
        QVERIFY(test::writeFile(blocker, "x"));
        b.host.setProgramFolder(QDir(blocker).filePath(QStringLiteral("program")));
        b.host.setUserConfigFolder(QDir(blocker).filePath(QStringLiteral("config")));

        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        choose(dlg->CommPort_List, QStringLiteral("COM12"));
        QTest::mouseClick(dlg->SaveConfig, Qt::LeftButton);

        QCOMPARE(b.host.messages.size(), size_t(1));
        const Message& m = b.host.messages.front();
        QCOMPARE(m.title, QStringLiteral("Setup"));
        QVERIFY2(m.text.contains(QStringLiteral("could not be saved")), qPrintable(m.text));
        QVERIFY2(m.text.contains(QStringLiteral("blocker")), qPrintable(m.text));
        QCOMPARE(b.d.ComPort, qint16(3));
        QCOMPARE(b.d.ComSpeed, QStringLiteral("9600"));
        QCOMPARE(b.d.IniFilePath, oldPath);
        QCOMPARE(b.form.panelText(3), QStringLiteral("COM 3 / 9600"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM12"));
    }

    void secondOpeningKeepsTheDialog() {
        Bench b;
        QVERIFY(b.makePorts({1, 3}));
        b.d.ComPort = 1;
        Setup_Form* first = b.open();
        QVERIFY(first);
        choose(first->CommPort_List, QStringLiteral("COM3"));
        choose(first->Speed_List, QStringLiteral("38400"));

        Setup_Form* second = b.open();
        QCOMPARE(second, first);
        QVERIFY(second->isVisible());
        QCOMPARE(comItems(second->CommPort_List), (QStringList{"COM1", "COM3"}));
        QCOMPARE(selected(second->CommPort_List), QStringLiteral("COM3"));
        QCOMPARE(selected(second->Speed_List), QStringLiteral("38400"));
        int dialogs = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<Setup_Form*>(w) && w->isVisible()) ++dialogs;
        }
        QCOMPARE(dialogs, 1);
    }

    void openingClosesOwnPort() {
        Bench b;
        QVERIFY(b.makePorts({3}));
        b.d.ComPort = 3;
        b.d.ComSpeed = QStringLiteral("38400");
        QCOMPARE(
            b.host.finish(OpenComPort(b.d, SettingsFolder(b.d, b.host), *b.form.MSComm1, b.host)),
            OpenResult::Opened);
        QVERIFY(b.form.MSComm1->PortOpen());
        QCOMPARE(
            b.host.finish(ProbeComPort(3, SettingsFolder(b.d, b.host), b.form.MSComm1, b.host)),
            ProbeResult::HeldByThisProgram);
        QSignalSpy closed(b.form.MSComm1, &AdapterLine::closed);

        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QVERIFY(!b.form.MSComm1->PortOpen());
        QCOMPARE(closed.count(), 1);
        // Freed, it passes the probe again.
        QCOMPARE(comItems(dlg->CommPort_List), QStringList{"COM3"});
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM3"));

        // Cancel does not reopen it.
        QTest::mouseClick(dlg->SetupCancel, Qt::LeftButton);
        QVERIFY(!b.form.MSComm1->PortOpen());
    }

    void outlivesTheMainWindow() {
        Bench b;
        QVERIFY(b.makePorts({1}));
        b.form.show();
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QVERIFY(b.form.close());
        QVERIFY(!b.form.isVisible());
        QVERIFY(dlg->isVisible());
        QCOMPARE(b.form.setupDialog(), dlg);
    }
};

TAVRIN_TEST(SetupFormTest)
#include "SetupFormTest.moc"
