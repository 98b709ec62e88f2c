// Measures the program against floors taken side by side in the same run:
//   tavrin-bench exchange      CPU while waiting, overhead per exchange at 38400
//   tavrin-bench virtual       a whole Connect on the virtual clock, in real time
//   tavrin-bench soak          10,000 Connect-toggle-Disconnect cycles in memory
//   tavrin-bench table         the whole table (also runs the start-up children)
//   tavrin-bench startup-app|startup-minimal <launch-ns>   (children, internal)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "MemoryLine.h"
#include "SimAdapter.h"
#include "VirtualClock.h"
#include "app/Form1.h"
#include "cluster/ClusterSession.h"
#include "cluster/Operations.h"
#include "core/Defines.h"
#include "runtime/AdapterLog.h"
#include "runtime/Host.h"
#include "runtime/SerialLine.h"
#include "serial/Exchange.h"

using namespace tavrin;

namespace {

class BenchHost : public Host {
public:
    BenchHost() { folder_ = dir_.path(); }
    QString programFolder() const override { return folder_; }
    QString userConfigFolder() const override { return folder_ + QStringLiteral("/cfg"); }
    void showMessage(QWidget*, const Message& m) override { messages << m.text; }
    QStringList messages;

private:
    QTemporaryDir dir_;
    QString folder_;
};

// The tests' kind of host: lines in memory to the simulator, virtual time.
class VirtualHost : public BenchHost {
public:
    Clock& clock() override { return clock_; }
    VirtualClock& vclock() { return clock_; }
    VirtualHost() { setDevices(&ports); }

private:
    VirtualClock clock_;

public:
    sim::MemoryPorts ports{clock_};
};

// Runs the event loop until the operation has ended: its result.
template <typename T>
T finish(QCoro::Task<T>&& task) {
    std::optional<T> result;
    QEventLoop loop;
    auto done = task.then([&](T value) {
        result = std::move(value);
        loop.quit();
    });
    if (!result) loop.exec();
    return std::move(*result);
}

// The same on virtual time.
template <typename T>
T finish(VirtualClock& clock, QCoro::Task<T>&& task) {
    std::optional<T> result;
    auto done = task.then([&](T value) { result = std::move(value); });
    clock.runUntil([&] { return result.has_value(); }, 24 * 3600 * 1000);
    return std::move(*result);
}

// Runs the event loop until the window's operation has ended.
void settle(Form1& form) {
    QEventLoop loop;
    QObject::connect(&form.operations(), &Operations::stateChanged, &loop, [&] {
        if (!form.busy()) loop.quit();
    });
    if (form.busy()) loop.exec();
}

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

qint64 monoNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// CPU share of one core while the program waits 5 s on a silent adapter,
// next to a plain 5 s sleep of the same thread, and to a bare Qt event loop
// waiting 5 s for a timer: what any program waiting in Qt costs on this
// machine.
void cpuWhileWaiting(double* program, double* floor, double* bareLoop) {
    sim::SimConfig config;
    config.fault = sim::Fault::Silence;
    sim::SimAdapter sim(config);
    sim.start();
    BenchHost host;
    host.limits.answerMs = 5000;
    SerialLine port;
    port.DevicePath = sim.slavePath();
    port.InputLen = 1;
    port.Settings = QStringLiteral("38400,n,8,1");
    finish(port.open(host.clock(), host.limits.openMs));
    Exchange exchange(port, host);
    exchange.SendCommand(QStringLiteral("2103"));
    double c0 = cpuMs();
    QElapsedTimer t;
    t.start();
    finish(exchange.WaitFor(QStringLiteral("61 03 "), {}));
    *program = (cpuMs() - c0) / double(t.elapsed()) * 100.0;

    c0 = cpuMs();
    t.restart();
    QThread::msleep(5000);
    *floor = (cpuMs() - c0) / double(t.elapsed()) * 100.0;

    c0 = cpuMs();
    t.restart();
    QEventLoop loop;
    QTimer::singleShot(5000, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    *bareLoop = (cpuMs() - c0) / double(t.elapsed()) * 100.0;
}

// Whether got holds a command's answer whole: mark, the rest of the line it
// stands on, and the adapter's prompt (">") behind it. The program sends
// nothing before an answer's prompt, so a floor that stopped at the line's
// end would leave the prompt's characters on the wire in the program's
// figure alone. The reset's mark is the prompt itself.
bool answeredToPrompt(const QByteArray& got, const QByteArray& mark) {
    const qsizetype at = got.indexOf(mark);
    if (at < 0) return false;
    if (mark == ">") return true;
    const qsizetype lineEnd = got.indexOf('\r', at);
    return lineEnd >= 0 && got.indexOf('>', lineEnd) >= 0;
}

// One police-mode read through the program's exchange, and the same bytes
// read by a bare event-loop reader on the same line, up to the same prompt:
// the floor. The overhead is the median of each round's difference, the two
// reads taken back to back, in turn first, so that a load that comes and
// goes meets both alike.
struct ExchangeFigures {
    double program = 0, floor = 0, overhead = 0;
};

// One police-mode read through a fresh serial control and exchange, with
// the given log recording (or none).
double programExchangeMs(sim::SimAdapter& sim, Host& host, int baud, AdapterLog* log) {
    SerialLine port;
    port.DevicePath = sim.slavePath();
    port.InputLen = 1;
    port.Settings = QString::number(baud) + QStringLiteral(",n,8,1");
    port.setLog(log);
    finish(port.open(host.clock(), host.limits.openMs));
    Exchange exchange(port, host);
    QElapsedTimer t;
    t.start();
    exchange.SendCommand(QStringLiteral("2103"));
    const bool ok = finish(exchange.WaitFor(QStringLiteral("61 03 "), {})).ok() &&
                    finish(exchange.WaitFor(QStringLiteral("\r"), {})).ok();
    const double ms = t.nsecsElapsed() / 1e6;
    if (!ok) std::fprintf(stderr, "exchange failed at %d\n", baud);
    // The wait for the line's end read on to the prompt; let anything later
    // arrive and go, so the next round starts clean.
    QEventLoop l;
    QTimer::singleShot(30, &l, &QEventLoop::quit);
    l.exec();
    port.discardInput();
    return ms;
}

// The same read by a bare reader on the raw line.
double floorExchangeMs(sim::SimAdapter& sim) {
    const int fd = ::open(qPrintable(sim.slavePath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIFLUSH);
    QByteArray got;
    QEventLoop loop;
    QSocketNotifier n(fd, QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
        char b[256];
        ssize_t r;
        while ((r = ::read(fd, b, sizeof b)) > 0) got.append(b, r);
        if (answeredToPrompt(got, "61 03 ")) loop.quit();
    });
    QElapsedTimer t;
    t.start();
    if (::write(fd, "2103\r\n", 6) != 6) std::fprintf(stderr, "write failed\n");
    loop.exec();
    const double ms = t.nsecsElapsed() / 1e6;
    QEventLoop l;
    QTimer::singleShot(30, &l, &QEventLoop::quit);
    l.exec();
    ::close(fd);
    return ms;
}

ExchangeFigures exchangeOverhead(int baud, int rounds) {
    sim::SimConfig config;
    config.baud = baud;
    sim::SimAdapter sim(config);
    sim.start();
    BenchHost host;
    std::vector<double> programMs, floorMs, differences;
    for (int round = 0; round < rounds; ++round) {
        double program = 0, floor = 0;
        if (round % 2 == 0) {
            program = programExchangeMs(sim, host, baud, nullptr);
            floor = floorExchangeMs(sim);
        } else {
            floor = floorExchangeMs(sim);
            program = programExchangeMs(sim, host, baud, nullptr);
        }
        programMs.push_back(program);
        floorMs.push_back(floor);
        differences.push_back(program - floor);
    }
    return {median(programMs), median(floorMs), median(differences)};
}

// One police-mode read through the program's exchange, with the adapter log
// recording and without it, rounds interleaved so both meet the same load;
// the cost is the median of each round's difference.
struct LoggingFigures {
    double withLog = 0, withoutLog = 0, cost = 0;
    std::size_t entries = 0;
};

LoggingFigures loggingOverhead(int baud, int rounds) {
    sim::SimConfig config;
    config.baud = baud;
    sim::SimAdapter sim(config);
    sim.start();
    BenchHost host;
    std::vector<double> with, without, differences;
    for (int round = 0; round < rounds; ++round) {
        const bool logFirst = round % 2 == 0;
        const double first =
            programExchangeMs(sim, host, baud, logFirst ? &host.adapterLog() : nullptr);
        const double second =
            programExchangeMs(sim, host, baud, logFirst ? nullptr : &host.adapterLog());
        with.push_back(logFirst ? first : second);
        without.push_back(logFirst ? second : first);
        differences.push_back(with.back() - without.back());
    }
    return {median(with), median(without), median(differences), host.adapterLog().entries().size()};
}

// Connect to the police-mode label with the real pauses, next to its floor:
// the fixed pauses (3000 ms), the answer bytes on the wire and the
// simulator's own delays, measured by running the same conversation bare.
struct ConnectFigures {
    double wall = 0, floor = 0;
    QString label;
};

// The same conversation as Connect, driven by a bare reader on the raw line
// with the same fixed pauses, each answer read to its prompt: what any
// program needs, whatever its design.
double bareConnectMs(const QString& device) {
    struct Step {
        const char* command;
        const char* mark;
        int pauseAfter;
    };
    const Step steps[] = {{"atz", ">", 0},
                          {"atcaf1", "OK\r", 0},
                          {"atspa6", "OK\r", 0},
                          {"atsh720", "OK\r", 0},
                          {"ath1", "OK\r", 1000},
                          {"22e21a", "62 E2 1A ", 500},
                          {"22e217", "62 E2 17 ", 500},
                          {"22e219", "62 E2 19 ", 500},
                          {"22e200", "62 E2 00 ", 500},
                          {"2103", "61 03 ", 0}};
    const int fd = ::open(qPrintable(device), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    QElapsedTimer t;
    t.start();
    for (const Step& step : steps) {
        QByteArray got;
        QEventLoop loop;
        QSocketNotifier n(fd, QSocketNotifier::Read);
        QObject::connect(&n, &QSocketNotifier::activated, [&] {
            char b[256];
            ssize_t r;
            while ((r = ::read(fd, b, sizeof b)) > 0) got.append(b, r);
            if (answeredToPrompt(got, step.mark)) loop.quit();
        });
        const QByteArray line = QByteArray(step.command) + "\r\n";
        if (::write(fd, line.constData(), line.size()) != line.size()) break;
        loop.exec();
        if (step.pauseAfter) QThread::msleep(step.pauseAfter);
    }
    const double ms = t.nsecsElapsed() / 1e6;
    ::close(fd);
    return ms;
}

ConnectFigures connectTime(const QByteArray& record, int baud) {
    sim::SimConfig config;
    config.baud = baud;
    config.record = record;
    sim::SimAdapter sim(config);
    BenchHost host;
    sim.start();
    sim.linkAs(host.programFolder(), 3);
    QFile f(host.programFolder() + QStringLiteral("/QUILLET.INI"));
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray("QUILLET v1.00 INI File\r\nComPort=COM3\r\nComSpeed=") +
            QByteArray::number(baud) + "\r\n");
    f.close();
    Defines d;
    std::unique_ptr<Form1> form(Main(d, host));
    QElapsedTimer t;
    t.start();
    form->Connect_Command_Click();
    settle(*form);
    ConnectFigures c;
    c.wall = t.nsecsElapsed() / 1e6;
    c.label = form->PM_label->text();
    if (!host.messages.isEmpty()) c.label += QStringLiteral(" (") + host.messages.join("; ") + ")";
    form->Connect_Command_Click();  // Disconnect, freeing the line
    QEventLoop l;
    QTimer::singleShot(50, &l, &QEventLoop::quit);
    l.exec();
    sim.discardUnread();
    c.floor = bareConnectMs(sim.slavePath());
    return c;
}

// A whole Connect, 3 s of pauses and all, on the virtual clock: the real
// time it takes, median of 21. What a conversation test costs.
struct VirtualFigures {
    double realMs = 0, virtualMs = 0;
    QString label;
};

VirtualFigures virtualConnect() {
    std::vector<double> real;
    VirtualFigures v;
    for (int round = 0; round < 21; ++round) {
        VirtualHost host;
        sim::MemoryAdapter* sim = host.ports.add();
        sim->linkAs(host.programFolder(), 3);
        QFile f(host.programFolder() + QStringLiteral("/QUILLET.INI"));
        f.open(QIODevice::WriteOnly);
        f.write("QUILLET v1.00 INI File\r\nComPort=COM3\r\nComSpeed=38400\r\n");
        f.close();
        Defines d;
        std::unique_ptr<Form1> form(Main(d, host));
        const qint64 startVirtual = host.clock().nowMs();
        QElapsedTimer t;
        t.start();
        form->Connect_Command_Click();
        host.vclock().runUntil([&form] { return !form->busy(); }, 600'000);
        real.push_back(t.nsecsElapsed() / 1e6);
        v.virtualMs = double(host.clock().nowMs() - startVirtual);
        v.label = form->PM_label->text();
    }
    v.realMs = median(real);
    return v;
}

long statusKb(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    return 0;
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

// Connect, toggle and Disconnect, over and over in one process on the line in
// memory: what stays behind after each cycle, in memory and descriptors.
struct SoakFigures {
    long rssBeforeKb = 0, rssAfterKb = 0;
    int fdsBefore = 0, fdsAfter = 0;
    int cycles = 0, failed = 0;
};

SoakFigures soak(int cycles) {
    VirtualHost host;
    sim::MemoryAdapter* sim = host.ports.add();
    sim->linkAs(host.programFolder(), 3);
    Defines d;
    d.IniFilePath = host.programFolder() + QStringLiteral("/QUILLET.INI");
    d.ComPort = 3;
    d.ComSpeed = QStringLiteral("38400");
    Operations ops(d, host);
    ClusterSession& session = ops.session();
    SoakFigures s;
    auto cycle = [&] {
        const std::optional<SessionReport> connected = finish(host.vclock(), ops.connectAdapter());
        const std::optional<PoliceReport> changed =
            connected && connected->ok() ? finish(host.vclock(), ops.changePoliceMode({}))
                                         : std::nullopt;
        const bool ok = changed && changed->ok();
        ops.disconnectAdapter();
        host.adapterLog().clear();
        sim->clearLog();
        QFile::remove(session.historyPath());
        if (!ok) ++s.failed;
    };
    // The first cycles fill Qt's and the allocator's caches.
    for (int i = 0; i < 100; ++i) cycle();
    s.rssBeforeKb = statusKb("VmRSS:");
    s.fdsBefore = openDescriptors();
    for (int i = 0; i < cycles; ++i) cycle();
    s.rssAfterKb = statusKb("VmRSS:");
    s.fdsAfter = openDescriptors();
    s.cycles = cycles;
    return s;
}

// Child: shows the window and prints milliseconds since launch and peak RSS.
int startupChild(int argc, char** argv, bool app, qint64 launchNs) {
    QApplication a(argc, argv);
    std::unique_ptr<QMainWindow> w;
    BenchHost host;
    Defines d;
    if (app) {
        w.reset(Main(d, host));
    } else {
        w = std::make_unique<QMainWindow>();
        w->setCentralWidget(new QLabel(QStringLiteral("minimal")));
        w->show();
    }
    while (!(w->windowHandle() && w->windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    std::printf("%.1f %ld\n", (monoNs() - launchNs) / 1e6, statusKb("VmHWM:"));
    return 0;
}

void startupFigures(const char* self, const char* mode, double* ms, double* rssMb) {
    std::vector<double> times, rss;
    for (int i = 0; i < 7; ++i) {
        int pipefd[2];
        if (pipe(pipefd) != 0) return;
        const QByteArray launch = QByteArray::number(monoNs());
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipefd[1], 1);
            execl(self, self, mode, launch.constData(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipefd[1]);
        char buf[128] = {};
        const ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
        close(pipefd[0]);
        waitpid(pid, nullptr, 0);
        double t = 0;
        long kb = 0;
        if (n > 0 && std::sscanf(buf, "%lf %ld", &t, &kb) == 2) {
            times.push_back(t);
            rss.push_back(kb / 1024.0);
        }
    }
    *ms = median(times);
    *rssMb = median(rss);
}

}  // namespace

// Rounds of each exchange figure: more than for the others, as an exchange
// lasts milliseconds and the load of a shared machine moves it by as much.
constexpr int kExchangeRounds = 101;

int main(int argc, char** argv) {
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray("table");
    if (mode.startsWith("startup-") && argc > 2)
        return startupChild(argc, argv, mode == "startup-app", QByteArray(argv[2]).toLongLong());

    QApplication app(argc, argv);
    std::printf("%-44s %12s %12s %10s %s\n", "figure", "program", "floor", "ratio", "target");

    double cpu = 0, cpuFloor = 0;
    double bareLoop = 0;
    cpuWhileWaiting(&cpu, &cpuFloor, &bareLoop);
    std::printf("%-44s %11.3f%% %11.3f%% %10s %s (a bare Qt event loop: %.3f %%)\n",
                "CPU while waiting 5 s (share of a core)", cpu, cpuFloor, "-",
                cpu < 0.2 ? "< 0.2 %  met" : "< 0.2 %  MISSED", bareLoop);

    const std::vector<int> bauds =
        mode == "exchange" ? std::vector<int>{38400} : std::vector<int>{9600, 38400, 115200};
    for (int baud : bauds) {
        const ExchangeFigures e = exchangeOverhead(baud, kExchangeRounds);
        const double over = e.overhead;
        std::printf("%-44s %10.2fms %10.2fms %10.3f %s (overhead %.2f ms)\n",
                    qPrintable(QStringLiteral("Exchange at %1 bit/s (median of %2)")
                                   .arg(baud)
                                   .arg(kExchangeRounds)),
                    e.program, e.floor, e.program / e.floor,
                    over < 2 ? "< 2 ms  met" : "< 2 ms  MISSED", over);
    }
    {
        const LoggingFigures l = loggingOverhead(38400, kExchangeRounds);
        const double over = l.cost;
        std::printf("%-44s %10.2fms %10.2fms %10.3f %s (log costs %.3f ms, %zu entries)\n",
                    "Exchange at 38400 bit/s, log recording", l.withLog, l.withoutLog,
                    l.withLog / l.withoutLog, over < 0.1 ? "< 0.1 ms  met" : "< 0.1 ms  MISSED",
                    over, l.entries);
    }
    if (mode == "exchange") return 0;

    {
        const VirtualFigures v = virtualConnect();
        std::printf("%-44s %10.1fms %10.1fms %10s %s (label %s)\n",
                    "Connect on the virtual clock (real, virtual)", v.realMs, v.virtualMs, "-",
                    v.realMs < 100 ? "< 100 ms real  met" : "< 100 ms real  MISSED",
                    qPrintable(v.label));
    }
    if (mode == "virtual") return 0;

    {
        const SoakFigures s = soak(10000);
        const long growth = s.rssAfterKb - s.rssBeforeKb;
        const bool met = growth < 1024 && s.fdsAfter <= s.fdsBefore && s.failed == 0;
        std::printf("%-44s %9ldkB %9ldkB %10s %s (%ld kB, descriptors %d -> %d, %d failed)\n",
                    "Soak: 10,000 Connect-toggle-Disconnect", s.rssAfterKb, s.rssBeforeKb, "-",
                    met ? "growth < 1 MB, no new descriptors  met"
                        : "growth < 1 MB, no new descriptors  MISSED",
                    growth, s.fdsBefore, s.fdsAfter, s.failed);
    }
    if (mode == "soak") return 0;

    for (const auto& [name, record] : {std::pair{"ON", QByteArray::fromHex("4C12")},
                                       std::pair{"OFF", QByteArray::fromHex("4812")}}) {
        const ConnectFigures c = connectTime(record, 38400);
        std::printf("%-44s %10.1fms %10.1fms %10.4f %s (label %s, +%.1f ms)\n",
                    qPrintable(QStringLiteral("Connect to \"%1\" at 38400 bit/s").arg(name)),
                    c.wall, c.floor, c.wall / c.floor,
                    c.wall - c.floor < 20 ? "< floor+20 ms  met" : "< floor+20 ms  MISSED",
                    qPrintable(c.label), c.wall - c.floor);
    }

    double appMs = 0, appMb = 0, minMs = 0, minMb = 0;
    startupFigures(argv[0], "startup-app", &appMs, &appMb);
    startupFigures(argv[0], "startup-minimal", &minMs, &minMb);
    std::printf("%-44s %10.1fms %10.1fms %10.3f %s\n", "Start-up to a shown window (median of 7)",
                appMs, minMs, appMs / minMs, "next to minimal Qt Widgets");
    std::printf("%-44s %10.1fMB %10.1fMB %10.3f %s\n", "Resident memory at shown window (peak)",
                appMb, minMb, appMb / minMb, "next to minimal Qt Widgets");
    return 0;
}
