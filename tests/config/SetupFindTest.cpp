// Find Adapter in the real Setup dialog, against simulated adapters in memory
// linked as COM ports of a temporary program folder, on virtual time.
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>

#include "ListSupport.h"
#include "SimRig.h"
#include "cluster/Operations.h"
#include "config/Setup_Form.h"
#include "serial/AdapterFinder.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

const QByteArray kSaved = "QUILLET v1.00 INI File\r\nComPort=COM3\r\nComSpeed=38400\r\n";

sim::SimConfig silent() {
    sim::SimConfig config;
    config.fault = sim::Fault::Silence;
    return config;
}

sim::SimConfig onlyAt(int speed) {
    sim::SimConfig config;
    config.adapterSpeed = speed;
    return config;
}

// The main window, its settings in a temporary folder saved as COM3 at
// 38400, and simulators as the only ports.
struct FindBench {
    Defines d;
    TestHost host;
    std::unique_ptr<Form1> form;
    SimPorts ports{host};

    FindBench() {
        writeFile(iniPath(), kSaved);
        form.reset(Main(d, host));
    }
    ~FindBench() {
        if (QWidget* dialog = form->setupDialog()) delete dialog;
    }
    QString iniPath() const { return QDir(host.programFolder()).filePath("QUILLET.INI"); }

    // Opens Setup once the ports are in place.
    Setup_Form* open() {
        if (!ports.isolate()) return nullptr;
        form->mnu_Setup_Click();
        auto* dialog = qobject_cast<Setup_Form*>(form->setupDialog());
        if (dialog) host.waitUntil([dialog] { return dialog->portsBeingChecked() == 0; }, 10'000);
        return dialog;
    }
    qint64 nowMs() { return host.clock().nowMs(); }
    // Lets the search, or whatever else runs, come to its end.
    void settle() {
        QVERIFY(host.waitUntil([this] { return !form->operations().running(); }, 3'600'000));
    }
    // Searches that would have to wait for a time limit show plainly.
    void slowLimits() {
        host.limits.searchPromptMs = 5000;
        host.limits.searchAnswerMs = 5000;
    }
    QString foreignLines() {
        for (const auto& [n, sim] : ports.sims) {
            const QString foreign = foreignSearchLine(sim->receivedBytes());
            if (!foreign.isEmpty()) return QStringLiteral("COM%1: %2").arg(n).arg(foreign);
        }
        return {};
    }
};

// Whether the whole status text shows inside the dialog.
bool statusFits(const Setup_Form* dlg) {
    const QRect status = dlg->FindStatus->geometry();
    return dlg->rect().contains(status) &&
           status.height() >= dlg->FindStatus->heightForWidth(status.width());
}

}  // namespace

class SetupFindTest : public QObject {
    Q_OBJECT

private slots:
    void selectsTheCapableAdapterAmongSeveral() {
        FindBench b;
        QVERIFY(b.ports.add(2, silent()));
        QVERIFY(b.ports.add(4, onlyAt(115200)));
        sim::SimConfig clone;
        clone.identification = QStringLiteral("OBDII v2.1");
        clone.unsupported = QStringList{QStringLiteral("atspa6")};
        QVERIFY(b.ports.add(6, clone));
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        choose(dlg->CommPort_List, QStringLiteral("COM2"));
        choose(dlg->Speed_List, QStringLiteral("9600"));

        QStringList progress;
        bool searchingLooksSo = true;
        connect(&b.form->operations(), &Operations::searchTrying, this, [&] {
            progress << dlg->FindStatus->text();
            searchingLooksSo = searchingLooksSo && caption(dlg->FindAdapter->text()) == "Stop" &&
                               !dlg->CommPort_List->isEnabled() && !dlg->Speed_List->isEnabled();
        });
        QTest::mouseClick(dlg->FindAdapter, Qt::LeftButton);
        b.settle();

        QCOMPARE(progress.first(), QStringLiteral("COM2 at 38400\u2026"));
        QVERIFY(progress.contains(QStringLiteral("COM4 at 115200\u2026")));
        QVERIFY(searchingLooksSo);
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM4"));
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("115200"));
        const QString said = dlg->FindStatus->text();
        for (const char* phrase :
             {"Found 2 adapters", "ELM327 v1.5 on COM4 at 115200 bit/s",
              "OBDII v2.1 on COM6 at 38400 bit/s: this adapter cannot be used: it answers ? to "
              "atspa6",
              "COM4 at 115200 bit/s is selected"}) {
            QVERIFY2(said.contains(QLatin1String(phrase)), qPrintable(said));
        }
        QVERIFY(statusFits(dlg));
        QCOMPARE(caption(dlg->FindAdapter->text()), QStringLiteral("Find Adapter"));
        QVERIFY(dlg->CommPort_List->isEnabled() && dlg->Speed_List->isEnabled());

        // Only the allowed lines went out, and nothing was saved.
        QVERIFY2(b.foreignLines().isEmpty(), qPrintable(b.foreignLines()));
        QCOMPARE(b.ports[2].requests(), QStringList(3, QStringLiteral("~~")));
        // What the search said and heard is in the adapter log, as every exchange is.
        const QStringList logged = b.host.adapterLog().lines();
        int refusedLines = 0;
        for (int n : {2, 4, 6}) refusedLines += int(b.ports[n].requests().count("~~"));
        QVERIFY(refusedLines >= 5);
        QCOMPARE(logged.filter(QStringLiteral("\u2192 ~~<CR>")).size(), refusedLines);
        QVERIFY(!logged.filter(QStringLiteral("\u2190 ")).filter("ELM327 v1.5<CR>").isEmpty());
        QCOMPARE(readFile(b.iniPath()), kSaved);
        QCOMPARE(b.d.ComPort, qint16(3));
        QVERIFY(b.host.messages.empty());
        QVERIFY(dlg->isVisible());
    }

    void noAdapterLeavesTheSelection_data() {
        QTest::addColumn<int>("savedPort");
        QTest::addColumn<QString>("portSelected");
        QTest::newRow("saved port listed") << 3 << "COM3";
        QTest::newRow("saved port not listed") << 9 << QString();
    }

    void noAdapterLeavesTheSelection() {
        QFETCH(int, savedPort);
        QFETCH(QString, portSelected);
        FindBench b;
        QVERIFY(b.ports.add(1, silent()));
        QVERIFY(b.ports.add(3, silent()));
        b.d.ComPort = qint16(savedPort);
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        QCOMPARE(selected(dlg->CommPort_List), portSelected);

        dlg->FindAdapter_Click();
        b.settle();

        const QString said = dlg->FindStatus->text();
        // The system's own advice in it is SystemWordsTest's.
        for (const char* phrase :
             {"No adapter answered on COM1 or COM3", "plugged in", "ignition"}) {
            QVERIFY2(said.contains(QLatin1String(phrase)), qPrintable(said));
        }
        QVERIFY(statusFits(dlg));
        QCOMPARE(selected(dlg->CommPort_List), portSelected);
        QCOMPARE(dlg->CommPort_List->selectedItems().size(), portSelected.isEmpty() ? 0 : 1);
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("38400"));
    }

    void stopInTheMiddleThenFindAgain() {
        FindBench b;
        QVERIFY(b.ports.add(3, silent()));
        QVERIFY(b.ports.add(5));
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        // A stop that had to wait for the limit would show plainly.
        b.slowLimits();
        bool closedAtOnce = false;
        auto stopper = connect(&b.ports[3], &sim::SimCore::requestReceived, this, [&] {
            QCOMPARE(caption(dlg->FindAdapter->text()), QStringLiteral("Stop"));
            QTest::mouseClick(dlg->FindAdapter, Qt::LeftButton);
            closedAtOnce = !b.form->operations().finder().port().PortOpen();
        });
        const qint64 start = b.nowMs();
        dlg->FindAdapter_Click();
        b.settle();

        QCOMPARE(b.nowMs() - start, 0);
        QVERIFY(closedAtOnce);
        QVERIFY(dlg->FindStatus->text().contains(QStringLiteral("stopped")));
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM3"));
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("38400"));
        QCOMPARE(caption(dlg->FindAdapter->text()), QStringLiteral("Find Adapter"));
        QVERIFY(dlg->CommPort_List->isEnabled());
        QVERIFY(b.ports[5].requests().isEmpty());

        disconnect(stopper);
        b.host.limits = TimeLimits();
        QTest::mouseClick(dlg->FindAdapter, Qt::LeftButton);
        b.settle();
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM5"));
        QCOMPARE(selected(dlg->Speed_List), QStringLiteral("38400"));
        QVERIFY2(dlg->FindStatus->text().contains(QStringLiteral("Found ELM327 v1.5 on COM5")),
                 qPrintable(dlg->FindStatus->text()));
    }

    void leavingDuringASearch_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("Cancel") << "cancel" << kSaved;
        QTest::newRow("Escape") << "escape" << kSaved;
        QTest::newRow("closing the window") << "close" << kSaved;
        QTest::newRow("Save")
            << "save"
            << QByteArray("QUILLET v1.00 INI File\r\nComPort=COM3\r\nComSpeed=115200\r\n");
    }

    // The dialog goes at once: the search is the owner's, not the dialog's,
    // and ends in the next turn with its port already closed.
    void leavingDuringASearch() {
        QFETCH(QString, how);
        QFETCH(QByteArray, file);
        FindBench b;
        QVERIFY(b.ports.add(3, silent()));
        QVERIFY(b.ports.add(5));
        QPointer<Setup_Form> dlg = b.open();
        QVERIFY(dlg);
        b.slowLimits();
        choose(dlg->Speed_List, QStringLiteral("115200"));

        bool goneAtOnce = false;
        bool closedAtOnce = false;
        connect(&b.ports[3], &sim::SimCore::requestReceived, this, [&] {
            if (how == "cancel") QTest::mouseClick(dlg->SetupCancel, Qt::LeftButton);
            if (how == "save") QTest::mouseClick(dlg->SaveConfig, Qt::LeftButton);
            if (how == "escape") QTest::keyClick(dlg, Qt::Key_Escape);
            if (how == "close") QVERIFY(dlg->close());
            closedAtOnce = !b.form->operations().finder().port().PortOpen();
            goneAtOnce = !dlg || !dlg->isVisible();
        });
        const qint64 start = b.nowMs();
        dlg->FindAdapter_Click();
        b.settle();
        QCOMPARE(b.nowMs() - start, 0);

        QVERIFY(closedAtOnce);
        QVERIFY(goneAtOnce);
        QTRY_VERIFY(dlg.isNull());
        QCOMPARE(b.form->setupDialog(), nullptr);
        QCOMPARE(b.form->operations().state(), Operations::State::Idle);
        QCOMPARE(readFile(b.iniPath()), file);
        QCOMPARE(b.d.ComSpeed, how == "save" ? QStringLiteral("115200") : QStringLiteral("38400"));
        QVERIFY(b.ports[5].requests().isEmpty());
        QVERIFY(b.host.messages.empty());
    }

    // What the main window does during a search ends in a defined state,
    // with nothing of its own sent on a port the search has open.
    void mainWindowDuringASearch_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("searchGoesOn");
        QTest::newRow("Connect is refused and says why") << "connect" << true;
        QTest::newRow("closing the window stops the search") << "close" << false;
    }
    void mainWindowDuringASearch() {
        QFETCH(QString, what);
        QFETCH(bool, searchGoesOn);
        FindBench b;
        QVERIFY(b.ports.add(3, silent()));
        QVERIFY(b.ports.add(5));
        QPointer<Setup_Form> dlg = b.open();
        QVERIFY(dlg);
        bool acted = false;
        connect(&b.ports[3], &sim::SimCore::requestReceived, this, [&] {
            if (acted) return;
            acted = true;
            if (what == "connect") {
                QTest::mouseClick(b.form->Connect_Command, Qt::LeftButton);
            } else {
                b.form->close();
            }
        });
        dlg->FindAdapter_Click();
        b.settle();

        QVERIFY(acted);
        if (what != "connect") QVERIFY(!b.form->isVisible());
        QCOMPARE(b.form->operations().state(), Operations::State::Idle);
        QVERIFY(!b.form->MSComm1->PortOpen());
        // The search's own lines only, on every port.
        QVERIFY2(b.foreignLines().isEmpty(), qPrintable(b.foreignLines()));
        QCOMPARE(b.ports[5].requests().isEmpty(), !searchGoesOn);
        if (what == "connect") {
            QCOMPARE(caption(b.form->Connect_Command->text()), QStringLiteral("Connect"));
            QCOMPARE(b.host.messages.size(), std::size_t(1));
            QVERIFY2(b.host.messages.front().text.contains("Find Adapter"),
                     qPrintable(b.host.messages.front().text));
            QVERIFY(dlg->FindStatus->text().contains(QStringLiteral("Found ELM327 v1.5 on COM5")));
        } else {
            QVERIFY(!b.form->isVisible());
            QVERIFY(dlg->isVisible());
            QVERIFY(dlg->FindStatus->text().contains(QStringLiteral("stopped")));
            QVERIFY(b.host.messages.empty());
        }
    }

    // "Wi-Fi adapter": Find checks the one address the fields give (never a
    // network), and Save keeps it on the settings file's fourth line, which
    // Connect then uses.
    void aWifiAdapterAtItsOneAddress_data() {
        QTest::addColumn<QString>("at");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("saved");
        QTest::newRow("the simulator") << "sim"
                                       << "Found ELM327 v1.5 at Wi-Fi 127.0.0.1:" << true;
        QTest::newRow("nothing listens") << "closed"
                                         << "nothing listens on port" << true;
        QTest::newRow("no address") << ""
                                    << "Give the adapter's address" << false;
    }
    void aWifiAdapterAtItsOneAddress() {
        QFETCH(QString, at);
        QFETCH(QString, said);
        QFETCH(bool, saved);
        FindBench b;
        QVERIFY(b.ports.add(3));
        sim::SimTcp& wifi = b.host.addWifiSim();
        quint16 port = wifi.port();
        if (at == "closed") {
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost));
            port = gone.serverPort();
        }
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        choose(dlg->CommPort_List, Setup_Form::kWifiItem);
        QVERIFY(dlg->NetAddress->isVisible());
        dlg->NetAddress->setText(at.isEmpty() ? QString() : QStringLiteral("127.0.0.1"));
        dlg->NetPort->setText(QString::number(port));

        dlg->FindAdapter_Click();
        b.settle();
        QVERIFY2(dlg->FindStatus->text().contains(said), qPrintable(dlg->FindStatus->text()));
        QVERIFY(b.ports[3].receivedBytes().isEmpty());

        dlg->SaveConfig_Click();
        const QByteArray file = readFile(b.iniPath());
        const QString network = QStringLiteral("127.0.0.1:%1").arg(port);
        QCOMPARE(file.endsWith("\r\nNetwork=" + network.toLatin1() + "\r\n"), saved);
        QCOMPARE(file.startsWith(kSaved), true);
        if (!saved) return;
        QCOMPARE(b.form->panelText(3), "Wi-Fi " + network);
        if (at != "sim") return;
        b.form->Connect_Command_Click();
        b.settle();
        QCOMPARE(b.form->panelText(4), QStringLiteral("Connected"));
        QCOMPARE(b.form->PM_label->text(), QStringLiteral("ON"));
    }

    void noSearchWhileTheMainWindowIsConnected() {
        FindBench b;
        QVERIFY(b.ports.add(2, silent()));
        QVERIFY(b.ports.add(3));
        Setup_Form* dlg = b.open();
        QVERIFY(dlg);
        // Connect after Setup was opened: a search now could hold up the main
        // window's exchange, and the search skips that port in any case.
        b.form->Connect_Command_Click();
        b.settle();
        QCOMPARE(b.form->operations().state(), Operations::State::Connected);
        b.ports[2].clearLog();
        b.ports[3].clearLog();

        dlg->FindAdapter_Click();

        QCOMPARE(b.form->operations().state(), Operations::State::Connected);
        QVERIFY(b.form->MSComm1->PortOpen());
        QVERIFY2(
            dlg->FindStatus->text().contains(QStringLiteral("COM3 is open in the main window")),
            qPrintable(dlg->FindStatus->text()));
        QVERIFY(b.ports[2].receivedBytes().isEmpty());
        QVERIFY(b.ports[3].receivedBytes().isEmpty());
        QCOMPARE(selected(dlg->CommPort_List), QStringLiteral("COM3"));
    }
};

TAVRIN_TEST(SetupFindTest)
#include "SetupFindTest.moc"
