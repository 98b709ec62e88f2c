// A write the far end stops taking, on a real pseudo-terminal: the line is
// lost at the write limit, in words that name the write, and said once. (The
// Win32 line's own ways of stalling are WindowsLineTest's.)
#ifndef Q_OS_WIN
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "TestSupport.h"
#include "cluster/SessionWords.h"
#include "runtime/AdapterLine.h"
#include "serial/Exchange.h"

using namespace tavrin;

class WriteLimitTest : public QObject {
    Q_OBJECT

private slots:
    void aWriteThatStallsLosesTheLine_data() {
        // Whether far more than a pseudo-terminal holds for a reader that
        // never reads goes ahead of the request.
        QTest::addColumn<bool>("flood");
        QTest::addColumn<bool>("lost");
        QTest::newRow("the far end takes nothing more") << true << true;
        // Nothing answers: the answer's limit ends the wait, not the write's.
        QTest::newRow("a command line goes out") << false << false;
    }
    void aWriteThatStallsLosesTheLine() {
#ifdef Q_OS_WIN
        QSKIP("needs a pseudo-terminal");
#else
        QFETCH(bool, flood);
        QFETCH(bool, lost);
        // A pseudo-terminal whose other end is held but never read.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));
        test::TestHost host(test::Lines::Real);
        host.limits.writeMs = 300;
        host.limits.answerMs = 1000;
        std::unique_ptr<AdapterLine> line(host.createLine(nullptr));
        line->DevicePath = slave;
        line->Settings = QStringLiteral("38400,n,8,1");
        QVERIFY(host.finish(line->open(host.clock(), host.limits.openMs)));
        QSignalSpy lostSpy(line.get(), &AdapterLine::portLost);
        Exchange exchange(*line, host);
        if (flood) QVERIFY(line->Output(QByteArray(1 << 20, 'a')));
        const WaitResult r =
            host.finish(exchange.Ask(QStringLiteral("2103"), QStringLiteral("61 03 "), {}), 10'000);
        ::close(master);

        QCOMPARE(r.status, lost ? WaitStatus::PortClosed : WaitStatus::TimedOut);
        QCOMPARE(lostSpy.count(), lost ? 1 : 0);
        if (lost) {
            const Message m = words::ReadFailed(r, Audience::Window);
            QVERIFY2(m.detail.contains("did not finish within 0.3 seconds"), qPrintable(m.detail));
            QVERIFY(!line->Output("atz\r\n"));
        }
#endif
    }
};

TAVRIN_TEST(WriteLimitTest)
#include "WriteLimitTest.moc"
