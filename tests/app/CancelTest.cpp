// Ways out of a wait or a pause, and the one screen every end of a connection
// leaves: the real window against the simulator, on virtual time.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "SimRig.h"
#include "config/Setup_Form.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

// The screen Disconnect leaves, whatever ended the connection.
void checkNotConnectedScreen(AppRig& rig, const QString& label) {
    QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Connect"));
    QVERIFY(rig.form->Connect_Command->isEnabled());
    QCOMPARE(rig.form->panelText(1), QString());
    QCOMPARE(rig.form->panelText(2), QString());
    QCOMPARE(rig.form->ClusterInfotext->text(), QString());
    QCOMPARE(rig.form->panelText(4), QString("Not Connected"));
    QVERIFY(!rig.form->Command1->isEnabled());
    QVERIFY(rig.form->mnu_Setup->isEnabled());
    QCOMPARE(rig.form->PM_label->text(), label);
    QVERIFY(!rig.form->PM_label->isEnabled());  // not taken for the current setting
    QVERIFY(!rig.form->MSComm1->PortOpen());
    QVERIFY(!rig.form->Timer1->isActive());
    QVERIFY(!rig.d.ClusterReady);
}

// Counts the paint events a widget gets.
struct PaintCounter : QObject {
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++count;
        return false;
    }
    int count = 0;
};

void seedStaleScreen(AppRig& rig) {
    rig.form->setPanelText(1, "stale part");
    rig.form->setPanelText(2, "stale adapter");
    rig.form->ClusterInfotext->setText("stale model");
}

}  // namespace

class CancelTest : public QObject {
    Q_OBJECT

private slots:
    void cancelEndsTheWaitAtOnce_data() {
        QTest::addColumn<QString>("silentAt");
        QTest::addColumn<bool>("toggle");  // cancel the toggle's read, not Connect
        QTest::addColumn<bool>("escape");  // Esc instead of the button
        QTest::newRow("reset") << "atz" << false << false;
        QTest::newRow("reset, Esc") << "atz" << false << true;
        QTest::newRow("identification") << "22e217" << false << false;
        QTest::newRow("police-mode read") << "2103" << false << false;
        QTest::newRow("police-mode read, Esc") << "2103" << false << true;
        QTest::newRow("toggle's read") << "2103" << true << false;
    }
    void cancelEndsTheWaitAtOnce() {
        QFETCH(QString, silentAt);
        QFETCH(bool, toggle);
        QFETCH(bool, escape);
        AppRig rig;
        rig.host.limits.watchdogMs = 10000;  // only Cancel can end these waits early
        if (toggle) {
            rig.connect();
            QCOMPARE(rig.form->PM_label->text(), QString("ON"));
        }
        rig.sim.config().fault = Fault::Silence;
        rig.sim.config().faultCommand = silentAt;

        qint64 cancelledAt = -1;
        bool cancelled = false;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line != silentAt || cancelled) return;
            cancelled = true;
            // A deliberate Cancel, not the second click of a double-click.
            rig.host.vclock().after(500, [&] {
                QCOMPARE(caption(rig.form->Connect_Command->text()), QString("Cancel"));
                QVERIFY(rig.form->Connect_Command->isEnabled());
                cancelledAt = rig.host.clock().nowMs();
                if (escape) {
                    QTest::keyClick(rig.form.get(), Qt::Key_Escape);
                } else {
                    rig.form->Connect_Command->click();
                }
            });
        });
        if (toggle) {
            rig.toggle();
        } else {
            rig.connect();
        }
        QVERIFY(cancelled);
        QCOMPARE(rig.host.clock().nowMs(), cancelledAt);
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QVERIFY(rig.writes().isEmpty());
        checkNotConnectedScreen(rig, toggle ? "ON" : "");

        rig.sim.config().fault = Fault::None;
        rig.connect();
        QVERIFY2(rig.host.messages.empty(), qPrintable(rig.messageTexts().join(" | ")));
        QCOMPARE(rig.form->panelText(4), QString("Connected"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));
    }

    void everyEndOfAConnectionLeavesTheSameScreen_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("Disconnect") << "disconnect";
        QTest::newRow("cancel") << "cancel";
        QTest::newRow("failed attempt") << "failed";
        QTest::newRow("watchdog") << "watchdog";
        QTest::newRow("Setup closes the port") << "setup";
        QTest::newRow("adapter unplugged") << "unplug";
    }
    void everyEndOfAConnectionLeavesTheSameScreen() {
        QFETCH(QString, path);
        AppRig rig;
        rig.host.limits.watchdogMs = 300;
        rig.connect();
        QCOMPARE(rig.form->panelText(1), QString("3R23-123-FB"));
        QCOMPARE(rig.form->PM_label->text(), QString("ON"));

        if (path == "disconnect") {
            rig.form->Connect_Command->click();
        } else if (path == "setup") {
            rig.form->mnu_Setup_Click();
            QVERIFY(rig.form->setupDialog());
        } else if (path == "unplug") {
            rig.sim.stop();
            QVERIFY(rig.host.waitUntil(
                [&] { return rig.form->panelText(4) == QString("Not Connected"); }, 3000));
        } else {
            // A new attempt from a screen an earlier path left behind.
            rig.form->Connect_Command->click();
            seedStaleScreen(rig);
            if (path == "cancel") {
                rig.sim.config().fault = Fault::Silence;
                rig.sim.config().faultCommand = "22e200";
                QObject::connect(&rig.sim, &sim::SimCore::requestReceived,
                                 [&](const QString& line) {
                                     if (line == "22e200")
                                         rig.host.vclock().after(
                                             50, [&] { rig.form->Connect_Command->click(); });
                                 });
            } else if (path == "failed") {
                rig.sim.config().fault = Fault::NoData;
                rig.sim.config().faultCommand = "22e200";
            } else {
                rig.sim.config().fault = Fault::Silence;
            }
            rig.connect();
        }
        checkNotConnectedScreen(rig, "ON");
        if (rig.form->setupDialog()) rig.form->setupDialog()->close();
    }

    // Closing the window cancels what has not been written, lets a write that
    // went out finish and be recorded, and closes once the operation is over.
    void closingTheWindowDuringAnOperation_data() {
        QTest::addColumn<QString>("when");
        QTest::addColumn<int>("writes");
        QTest::addColumn<int>("historyLines");  // header included
        QTest::newRow("during Connect") << "connect" << 0 << 0;
        QTest::newRow("before the write") << "pause" << 0 << 0;
        QTest::newRow("once the write is sent") << "write" << 1 << 3;
    }
    void closingTheWindowDuringAnOperation() {
        QFETCH(QString, when);
        QFETCH(int, writes);
        QFETCH(int, historyLines);
        AppRig rig;
        QString panelAfterClose;
        auto closeNow = [&] {
            rig.form->close();
            panelAfterClose = rig.form->panelText(4);
        };
        if (when == "connect") {
            rig.host.vclock().after(1200, closeNow);
            rig.connect();
        } else {
            rig.connect();
            QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
                // Into the pause after the read, or with the write on its way.
                if (when == "pause" && line == "2103") rig.host.vclock().after(200, closeNow);
                if (when == "write" && line.startsWith("3b")) closeNow();
            });
            rig.toggle();
        }
        QCOMPARE(rig.writes().size(), writes);
        QCOMPARE(readFile(rig.form->session().historyPath()).count("\r\n"), historyLines);
        // While a sent change is read back, the window says why it stays.
        if (writes) QCOMPARE(panelAfterClose, QString("Finishing..."));
        QVERIFY(!rig.form->isVisible());
        QVERIFY(!rig.form->MSComm1->PortOpen());
        QVERIFY(rig.host.messages.empty());
    }

    // A change that has sent its write when the window is closed ends in a
    // failure: its message is shown on the open window, and the window goes
    // only once the message has been read.
    void theLastWordIsReadBeforeTheWindowCloses() {
        AppRig rig;
        rig.host.realBoxes = true;
        rig.connect();
        rig.sim.config().fault = Fault::WriteNotApplied;
        bool openAtMessage = false;
        rig.host.onMessage = [&](const Message&) { openAtMessage = rig.form->isVisible(); };
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line.startsWith("3b")) rig.form->close();
        });
        rig.toggle();
        QCOMPARE(rig.host.messages.size(), size_t(1));
        QVERIFY(rig.host.messages.front().text.contains("did not apply"));
        QVERIFY(openAtMessage);
        rig.host.wait(5000);
        const QList<QDialog*> boxes = Host::unansweredMessages(rig.form.get());
        QCOMPARE(boxes.size(), 1);
        QVERIFY(rig.form->isVisible());
        boxes.first()->accept();
        rig.host.wait(100);
        QVERIFY(!rig.form->isVisible());
        QCOMPARE(readFile(rig.form->session().historyPath()).count(",after,"), 1);
    }

    // Connect's pauses are waits in the event loop: the window repaints in
    // each of them, and Cancel in the first one lets nothing more out.
    void theWindowLivesThroughThePauses() {
        AppRig rig;
        PaintCounter paints(rig.form->PM_label);
        // One moment inside each pause: before the identification, after
        // three of its answers, before the police-mode read.
        QList<int> paintedIn;
        for (int at : {300, 1200, 1700, 2200, 2700}) {
            rig.host.vclock().after(at, [&, at] {
                const int before = paints.count;
                rig.form->PM_label->update();
                rig.host.vclock().after(50, [&, at, before] {
                    if (paints.count > before) paintedIn << at;
                });
            });
        }
        rig.connect();
        QCOMPARE(paintedIn, (QList<int>{300, 1200, 1700, 2200, 2700}));

        rig.form->Connect_Command->click();  // Disconnect
        rig.sim.clearLog();
        const qint64 start = rig.host.clock().nowMs();
        rig.host.vclock().after(600, [&] { rig.form->Connect_Command->click(); });
        rig.connect();
        QCOMPARE(rig.host.clock().nowMs() - start, 600);
        QCOMPARE(rig.sim.requests(), (QStringList{"atz", "atcaf1", "atspa6", "atsh720", "ath1"}));
        QVERIFY(rig.host.messages.empty());
        checkNotConnectedScreen(rig, "ON");
    }
};

TAVRIN_TEST(CancelTest)
#include "CancelTest.moc"
