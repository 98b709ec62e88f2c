// The CPU the Windows program costs while it waits on a silent COM port, next
// to what a plain sleep and a bare Qt event loop cost, measured the same way
// (GetProcessTimes, user and kernel time, as a share of one core). Wine
// counts in clock ticks of 10 ms, each charged to whatever runs when it
// falls, so the figures are the totals of many rounds of 5 s, and two ticks
// either way are the noise of the measure (in three runs of a minute the
// bare loop took 10, 40 and 10 ms). Run by bench/wine under Wine, with the
// port a pseudo-terminal nothing writes to:
//   tavrin-bench-idle COM3 [rounds [ms of each wait]]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/Win32.h"
#include "runtime/Host.h"
#include "runtime/SerialLine.h"
#include "serial/Exchange.h"

using namespace tavrin;

namespace {

// The length of one wait, as on Linux.
int waitMs = 5000;

double cpuMs() {
    FILETIME created{}, ended{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto ms = [](const FILETIME& t) {
        return double((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10'000.0;
    };
    return ms(kernel) + ms(user);
}

// What some waits cost, all told.
struct Cost {
    double cpuMs = 0;
    qint64 wallMs = 0;
    // The share of one core, in per cent.
    double share() const { return wallMs > 0 ? cpuMs / double(wallMs) * 100.0 : 0; }
};

template <typename F>
void measure(Cost& cost, F what) {
    const double before = cpuMs();
    QElapsedTimer wall;
    wall.start();
    what();
    cost.cpuMs += cpuMs() - before;
    cost.wallMs += wall.elapsed();
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The program's own wait for an answer on the silent line, after a request
// went out, until the limit.
bool programWait(Exchange& exchange) {
    std::optional<WaitResult> result;
    QEventLoop loop;
    auto task = exchange.WaitFor(QStringLiteral("61 03 "), {});
    auto done = task.then([&](WaitResult r) {
        result = std::move(r);
        loop.quit();
    });
    if (!result) loop.exec();
    return result->status == WaitStatus::TimedOut;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString port = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("COM3");
    const int rounds = argc > 2 ? qMax(1, atoi(argv[2])) : 12;
    if (argc > 3) waitMs = qMax(100, atoi(argv[3]));
    Host host;
    host.limits.answerMs = waitMs;
    SerialLine line;
    line.DevicePath = port;
    line.InputLen = 1;
    line.Settings = QStringLiteral("38400,n,8,1");
    // Opened off this thread, as the program opens it; the event loop runs
    // until the open has ended.
    std::optional<bool> opened;
    QEventLoop opening;
    auto open = line.open(host.clock(), host.limits.openMs).then([&](bool ok) {
        opened = ok;
        opening.quit();
    });
    if (!opened) opening.exec();
    if (!*opened) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(port), qPrintable(line.lastErrorText()));
        return 1;
    }
    // Rounds interleaved, so that all three meet the same load.
    Cost program, sleeping, bareLoop;
    for (int round = 0; round < rounds; ++round) {
        Exchange exchange(line, host);
        bool silent = exchange.SendCommand(QStringLiteral("2103"));
        measure(program, [&] { silent = silent && programWait(exchange); });
        if (!silent) {
            std::fprintf(stderr, "%s is not silent\n", qPrintable(port));
            return 1;
        }
        measure(sleeping, [] { Sleep(waitMs); });
        measure(bareLoop, [] { runFor(waitMs); });
    }
    // One tick in the time measured, and the noise of two.
    const double tick = 10.0 / double(program.wallMs) * 100.0;
    const bool met = program.cpuMs <= bareLoop.cpuMs + 20.0;
    std::printf(
        "%-44s %11.3f%% %11.3f%% %s (a bare Qt event loop: %.3f %%; %.0f, %.0f and "
        "%.0f ms of CPU in %.0f s each, one tick %.3f %%)\n",
        qPrintable(
            QStringLiteral("CPU while waiting %1 s under Wine (a core)").arg(waitMs / 1000.0)),
        program.share(), sleeping.share(),
        met ? "no more than a bare event loop  met" : "no more than a bare event loop  MISSED",
        bareLoop.share(), program.cpuMs, sleeping.cpuMs, bareLoop.cpuMs, program.wallMs / 1000.0,
        tick);
    return 0;
}
