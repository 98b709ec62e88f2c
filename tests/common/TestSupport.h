#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "MemoryLine.h"
#ifndef Q_OS_WIN
#include "SimAdapter.h"
#endif
#include "SimTcp.h"
#include "VirtualClock.h"
#include "runtime/Host.h"

namespace tavrin::test {

struct SuiteEntry {
    const char* name;
    std::function<QObject*()> make;
};

std::vector<SuiteEntry>& registry();

struct Registrar {
    Registrar(const char* name, std::function<QObject*()> make) {
        registry().push_back({name, std::move(make)});
    }
};

// Which lines a test host gives the program: lines in memory to simulated
// adapters, on a virtual clock; or the machine's serial devices (the tests'
// pseudo-terminals) on the real clock, for what only a real port shows.
enum class Lines { Memory, Real };

// Real lines run on a pseudo-terminal, which Windows has not: there the
// simulator runs on Linux and reaches the program through a COM port, in the
// Windows end-to-end run.
#ifdef Q_OS_WIN
inline constexpr bool kRealLines = false;
#else
inline constexpr bool kRealLines = true;
#endif
#define TAVRIN_NEEDS_REAL_LINES() \
    if (!::tavrin::test::kRealLines) QSKIP("needs a pseudo-terminal")

// The system's own devices, of which only the paths given are listed: for
// ports a test makes in a way the system's own list misses (a COM port
// mapped in a Wine prefix while it runs, a driver of the test's own).
struct ListedDevices : Devices {
    explicit ListedDevices(Devices& system, QStringList paths = {})
        : system(system), paths(std::move(paths)) {}
    AdapterLine* createLine(QObject* parent) override { return system.createLine(parent); }
    QList<PortInfo> knownPorts() const override { return {}; }
    bool listed(const QString& path) const override {
        return paths.contains(path, Qt::CaseInsensitive);
    }
    QCoro::Task<ProbeResult> probe(QString path, Clock& clock, int limitMs, Stop stop) override {
        return system.probe(std::move(path), clock, limitMs, stop);
    }
    Devices& system;
    QStringList paths;
};

// A host for tests: the program folder is a temporary folder, message boxes
// are recorded instead of shown, and by default time is virtual and every
// port leads to a simulator in memory, so nothing waits for a person or for
// the clock and nothing touches the machine's files or devices.
class TestHost : public Host {
public:
    explicit TestHost(Lines lines = Lines::Memory, QString folder = {});
    QString programFolder() const override { return folder_; }
    QString userConfigFolder() const override { return configFolder_; }
    Clock& clock() override;
    void showMessage(QWidget* parent, const Message& message) override;
    // The answer of a save dialog: the path set here (empty: cancelled).
    QString askSaveFileName(QWidget*, const QString&, const QString&) override {
        return saveFileName;
    }
    QString saveFileName;

    void setProgramFolder(const QString& folder) { folder_ = folder; }
    void setUserConfigFolder(const QString& folder) { configFolder_ = folder; }

    Lines lines() const { return lines_; }
    // The virtual clock (Lines::Memory): run it on, schedule a click.
    VirtualClock& vclock() { return virtual_; }
    sim::MemoryPorts& ports() { return ports_; }
    // A simulated adapter of the host's kind, running and linked as COM com
    // in the program folder; owned by the host.
    sim::SimCore& addSim(int com, const sim::SimConfig& config = {});
    // A simulated Wi-Fi adapter on 127.0.0.1, listening on a free port, on
    // the host's clock; owned by the host. Its address: "127.0.0.1:PORT".
    sim::SimTcp& addWifiSim(const sim::SimConfig& config = {});
    // Lets ms pass on the host's clock (real time for real lines).
    void wait(int ms);
    // Lets time pass until done() holds, at most limitMs; what done() says.
    bool waitUntil(const std::function<bool()>& done, int limitMs);
    // Lets time pass until the operation has ended, and gives its result. An
    // operation that never ends is a fault no test can go on from.
    template <typename T>
    T finish(QCoro::Task<T>&& task, int limitMs = 3'600'000) {
        std::optional<T> result;
        auto done = task.then([&result](T value) { result = std::move(value); });
        // Real time is dear: a minute is far more than any operation takes.
        if (lines_ == Lines::Real) limitMs = qMin(limitMs, 60'000);
        if (!waitUntil([&result] { return result.has_value(); }, limitMs))
            qFatal("an operation did not end within %d ms", limitMs);
        return std::move(*result);
    }

    std::vector<Message> messages;
    // Runs as a message box is shown.
    std::function<void(const Message&)> onMessage;
    // Shows the real boxes too (offscreen), as the program does.
    bool realBoxes = false;

private:
    Lines lines_;
    std::unique_ptr<QTemporaryDir> ownDir_;
    QString folder_;
    QString configFolder_;
    VirtualClock virtual_;
    sim::MemoryPorts ports_{virtual_};
#ifndef Q_OS_WIN
    std::vector<std::unique_ptr<sim::SimAdapter>> ptys_;
#endif
    std::vector<std::unique_ptr<sim::SimTcp>> wifi_;
};

// A second program (this test binary run with --hold-port) that opens a
// serial device and keeps it until the object goes away: through Qt, or with
// deviceLockOnly, with a plain open and a lock on the device itself.
struct OtherProgram {
    explicit OtherProgram(const QString& device, bool deviceLockOnly = false);
    ~OtherProgram();
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    QProcess process;
    bool held = false;
};

// Makes <folder>/ports/com<n> a link to a path that does not exist, so the
// COM number stands for a missing device and never for one of this machine.
bool linkToNowhere(const QString& folder, int n);

// Windows' own COM ports, for a suite run under Wine by the port helper
// (tests/common/WinePorts.py; tests/CMakeLists.txt names the suites): COM n
// made a serial device of its own, a pseudo-terminal the helper holds, or no
// device at all. False when there is no helper to ask.
bool mapComPort(int n, bool present);
bool comPortsMappable();

// A button's or menu item's caption as it reads, without its mnemonic's "&".
inline QString caption(const QString& text) {
    QString shown = text;
    shown.remove(QLatin1Char('&'));
    return shown;
}

QByteArray readFile(const QString& path);
// CPU time (user + system) this process has used, in milliseconds.
double processCpuMs();
bool writeFile(const QString& path, const QByteArray& bytes);

}  // namespace tavrin::test

#define TAVRIN_TEST(Class) \
    static ::tavrin::test::Registrar tavrinRegistrar_##Class(#Class, [] { return new Class; });

Q_DECLARE_METATYPE(tavrin::test::Lines)
