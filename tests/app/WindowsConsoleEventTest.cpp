// The console's events on Windows, delivered as Windows delivers them: on a
// thread of their own, to the handler. Closing the console (and a logoff or a
// shutdown) ends the run as Ctrl-C does, and the handler holds the process
// until the run has ended, so a change whose write went out still records
// its outcome.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>
#include <atomic>
#include <csignal>
#include <thread>

#include "SimRig.h"
#include "app/CommandLine.h"
#include "platform/Interrupts.h"

#include "platform/Win32.h"

using namespace tavrin;
using namespace tavrin::test;

class WindowsConsoleEventTest : public QObject {
    Q_OBJECT

private slots:
    void handler_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("holds");
        QTest::newRow("Ctrl-C") << int(CTRL_C_EVENT) << SIGINT << false;
        QTest::newRow("Ctrl-Break") << int(CTRL_BREAK_EVENT) << SIGINT << false;
        QTest::newRow("console closed") << int(CTRL_CLOSE_EVENT) << SIGTERM << true;
        QTest::newRow("logoff") << int(CTRL_LOGOFF_EVENT) << SIGTERM << true;
        QTest::newRow("shutdown") << int(CTRL_SHUTDOWN_EVENT) << SIGTERM << true;
    }
    void handler() {
        QFETCH(int, type);
        QFETCH(int, signal);
        QFETCH(bool, holds);
        auto watcher = std::make_unique<InterruptWatcher>();
        QVERIFY(watcher->watching());
        QSignalSpy interrupted(watcher.get(), &InterruptWatcher::interrupted);
        std::atomic<bool> returned{false};
        bool handled = false;
        std::thread windows([&] {
            handled = InterruptWatcher::onConsoleEvent(DWORD(type));
            returned = true;
        });
        QVERIFY(interrupted.wait(2000));
        QCOMPARE(interrupted.count(), 1);
        QCOMPARE(interrupted.at(0).at(0).toInt(), signal);
        QTest::qWait(300);
        QCOMPARE(returned.load(), !holds);
        // Once the run is over (the watcher goes) the process may end.
        QElapsedTimer released;
        released.start();
        watcher.reset();
        windows.join();
        QVERIFY(handled);
        QCOMPARE_LT(released.elapsed(), 1000);
    }

    // A run that never ends is held only until just before Windows' limit;
    // with no watcher the default handler (the process ends) is left to act.
    void holdEndsBeforeTheLimit() {
        InterruptWatcher watcher;
        QElapsedTimer held;
        held.start();
        QVERIFY(InterruptWatcher::onConsoleEvent(CTRL_CLOSE_EVENT));
        QCOMPARE_GE(held.elapsed(), qint64(kConsoleCloseHoldMs) - 50);
        QCOMPARE_LT(held.elapsed(), 5000);
    }
    void noWatcherLeavesTheEventToWindows() {
        QVERIFY(!InterruptWatcher::onConsoleEvent(CTRL_CLOSE_EVENT));
        QVERIFY(!InterruptWatcher::onConsoleEvent(CTRL_C_EVENT));
    }

    // The console closed as the change's write goes out: the handler returns
    // only once the outcome has been read back and recorded.
    void closedMidChangeRecordsTheOutcome() {
        TestHost host;
        sim::SimCore& sim = host.addSim(3);
        QVERIFY(writeSettings(host.programFolder(), 3, "38400"));
        const QString history = QDir(host.programFolder()).filePath("history.csv");
        std::thread windows;
        std::atomic<int> linesWhenReleased{-1};
        QObject::connect(&sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (!line.startsWith("3b") || windows.joinable()) return;
            windows = std::thread([&] {
                InterruptWatcher::onConsoleEvent(CTRL_CLOSE_EVENT);
                linesWhenReleased = int(readFile(history).count("\r\n"));
            });
        });
        QString out;
        QString err;
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        const int code = host.finish(
            RunCommandLine(ParseCommandLine({"--police", "off"}), host, outStream, errStream));
        QVERIFY(windows.joinable());
        windows.join();
        outStream.flush();
        errStream.flush();
        QCOMPARE(code, kExitDone);
        QCOMPARE(writesSeen(sim).size(), 1);
        // The header, the change's "before" line and its "after" line.
        QCOMPARE(linesWhenReleased.load(), 3);
        QVERIFY2(out.endsWith("change: ON -> OFF\n"), qPrintable(out));
    }
};

TAVRIN_TEST(WindowsConsoleEventTest)
#include "WindowsConsoleEventTest.moc"
