#pragma once

// Test rigs that put the simulated adapter on the far side of the program's
// line: in memory on virtual time, or on a real pseudo-terminal.

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <map>
#include <memory>

#include "SimAdapter.h"
#include "TestSupport.h"
#include "app/Form1.h"
#include "cluster/ClusterSession.h"
#include "cluster/Operations.h"
#include "core/Defines.h"
#include "platform/Ports.h"
#include "runtime/AdapterLine.h"
#include "serial/Exchange.h"

namespace tavrin::test {

// Runs the event loop for ms milliseconds of real time (for real lines).
inline void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A serial control and an exchange talking to a simulator: in memory on
// virtual time, or over a pseudo-terminal in real time.
struct PortRig {
    explicit PortRig(sim::SimConfig config = {}, Lines lines = Lines::Memory)
        : host(lines),
          sim(host.addSim(1, config)),
          line(host.createLine(nullptr)),
          port(*line),
          exchange(port, host) {}
    bool open(const QString& speed = QStringLiteral("38400")) {
        port.DevicePath = sim.devicePath();
        port.InputLen = 1;
        port.Settings = speed + QStringLiteral(",n,8,1");
        port.DTREnable = true;
        port.RTSEnable = true;
        return host.finish(port.open(host.clock(), host.limits.openMs));
    }
    // Sends a command and collects up to the mark.
    WaitResult ask(const QString& command, const QString& mark, Stop stop = {}) {
        return host.finish(exchange.Ask(command, mark, stop));
    }
    // Collects, after what buffer holds, up to the mark.
    WaitResult waitFor(const QString& mark, const QString& buffer = {}, Stop stop = {}) {
        return host.finish(exchange.WaitFor(mark, stop, buffer));
    }

    TestHost host;
    sim::SimCore& sim;
    std::unique_ptr<AdapterLine> line;
    AdapterLine& port;
    Exchange exchange;
};

// Every byte a completed Connect puts on the wire, in order.
inline const QByteArray kConnectBytes =
    "atz\r\natcaf1\r\natspa6\r\natsh720\r\nath1\r\n22e21a\r\n22e217\r\n22e219\r\n22e200\r\n2103\r"
    "\n";

// Milliseconds from each command line the simulator received to the next.
inline QList<qint64> gapsMs(const sim::SimCore& sim) {
    QList<qint64> gaps;
    const QList<qint64> times = sim.requestTimesMs();
    for (int i = 1; i < times.size(); ++i) gaps << times[i] - times[i - 1];
    return gaps;
}

// Requests the cluster saw for writing the police-mode record.
inline QStringList writesSeen(const sim::SimCore& sim) {
    QStringList w;
    for (const auto& r : sim.requests())
        if (r.startsWith(QLatin1String("3b"), Qt::CaseInsensitive)) w << r;
    return w;
}

// Writes a settings file for COM com at speed into folder.
inline bool writeSettings(const QString& folder, int com, const QString& speed) {
    return writeFile(QDir(folder).filePath(QStringLiteral("QUILLET.INI")),
                     QStringLiteral("QUILLET v1.00 INI File\r\nComPort=COM%1\r\nComSpeed=%2\r\n")
                         .arg(com)
                         .arg(speed)
                         .toLatin1());
}

// What an operation the owner refused gives a rig: a failure that says so.
template <typename Report>
Report refusedReport() {
    Report r;
    r.status = SessionStatus::Failed;
    r.messages << Message{QStringLiteral("refused in this state"), {}, MessageIcon::Critical, {}};
    return r;
}

// The cluster session and the owner of what runs, without a window, talking
// to the simulator linked as its configured COM port. Everything the session
// announces, and every line the simulator receives, goes into one list of
// events in the order it happened.
struct SessionRig {
    explicit SessionRig(sim::SimConfig config = {}, int com = 3,
                        const QString& speed = QStringLiteral("38400"), Lines lines = Lines::Memory)
        : host(lines), sim(host.addSim(com, config)) {
        d.IniFilePath = QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI"));
        d.ComPort = qint16(com);
        d.ComSpeed = speed;
        ops = std::make_unique<Operations>(d, host);
        session = &ops->session();
        auto* s = session;
        auto note = [this](const QString& what) { events << what; };
        QObject::connect(s, &ClusterSession::connecting, [this, note] {
            named = SessionReport();
            note("connecting");
        });
        // Who has answered, as Connect's report names them, once each.
        QObject::connect(s, &ClusterSession::connectStep, [this](int done, const SessionReport& r) {
            if (done == 0) return;  // the port being opened: nobody has answered yet
            if (r.adapter != named.adapter) events << "adapter:" + r.adapter;
            if (r.partNumber != named.partNumber) events << "model:" + r.model;
            if (r.partNumber != named.partNumber) events << "part:" + r.partNumber;
            named = r;
        });
        QObject::connect(s, &ClusterSession::connected, [note] { note("connected"); });
        QObject::connect(s, &ClusterSession::policeModeUnknown, [note] { note("police:unknown"); });
        QObject::connect(s, &ClusterSession::policeModeShown,
                         [note](const QString& t) { note("police:" + t); });
        QObject::connect(s, &ClusterSession::connectionClosed, [note] { note("closed"); });
        QObject::connect(s, &ClusterSession::watchdogExpired,
                         [note](const Message& m) { note("watchdog:" + m.text); });
        QObject::connect(ops.get(), &Operations::portLost,
                         [note](const Message& m) { note("lost:" + m.text); });
        QObject::connect(&sim, &sim::SimCore::requestReceived,
                         [note](const QString& line) { note("sent:" + line); });
    }
    // Each runs its operation through the owner, to its end.
    SessionReport connect() {
        return host.finish(ops->connectAdapter()).value_or(refusedReport<SessionReport>());
    }
    PoliceReport change(std::optional<bool> wanted = std::nullopt) {
        return host.finish(ops->changePoliceMode(wanted)).value_or(refusedReport<PoliceReport>());
    }
    // What the owner says: connected, with nothing running.
    bool connected() const { return ops->state() == Operations::State::Connected; }
    // Events of one kind ("police", "part", ...), without their prefix.
    QStringList eventsOf(const QString& kind) const {
        QStringList out;
        for (const QString& e : events)
            if (e.startsWith(kind + ':')) out << e.mid(kind.size() + 1);
        return out;
    }
    QStringList writes() const { return writesSeen(sim); }

    TestHost host;
    Defines d;
    sim::SimCore& sim;
    std::unique_ptr<Operations> ops;
    ClusterSession* session = nullptr;
    QStringList events;
    // Whoever the attempt under way has named so far.
    SessionReport named;
};

inline QStringList texts(const QList<Message>& messages) {
    QStringList out;
    for (const Message& m : messages) out << m.text;
    return out;
}

// The whole program started as a user would, with the simulator linked as
// its configured COM port in the program folder.
struct AppRig {
    explicit AppRig(sim::SimConfig config = {}, int com = 3, const QString& speed = "38400",
                    Lines lines = Lines::Memory)
        : host(lines), sim(host.addSim(com, config)) {
        writeSettings(host.programFolder(), com, speed);
        form.reset(Main(d, host));
    }
    // Clicks Connect, or the toggle, and lets what it started run to its end.
    void connect() {
        form->Connect_Command_Click();
        settle();
    }
    void toggle() {
        form->Command1_Click();
        settle();
    }
    // Lets the window's operation, if any, run to its end.
    void settle() {
        if (!host.waitUntil([this] { return !form->busy(); }, 3'600'000))
            qFatal("the window's operation did not end");
    }
    QStringList messageTexts() const {
        QStringList texts;
        for (const auto& m : host.messages) texts << m.text;
        return texts;
    }
    QStringList writes() const { return writesSeen(sim); }

    TestHost host;
    Defines d;
    sim::SimCore& sim;
    std::unique_ptr<Form1> form;
};

// Simulated adapters of the host's kind linked as COM numbers in its program
// folder, with every other number from COM1 to COM16 linked to nowhere, so
// that no device of this machine ever shows up.
struct SimPorts {
    explicit SimPorts(TestHost& testHost) : host(testHost) {}
    sim::SimCore* add(int n, sim::SimConfig config = {}) {
        return sims[n] = &host.addSim(n, config);
    }
    bool isolate() {
        // Where the system numbers its ports, the test host's probe sees only
        // the simulated ones already.
        if (!PortLinksNameDevices()) return true;
        for (int n = 1; n <= 16; ++n) {
            if (!sims.count(n) && !linkToNowhere(host.programFolder(), n)) return false;
        }
        return true;
    }
    sim::SimCore& operator[](int n) { return *sims.at(n); }

    TestHost& host;
    std::map<int, sim::SimCore*> sims;
};

// The first line a search for the adapter must never send, shown as hex; empty
// when every line is one it may send, each ended by a carriage return alone.
// None of them is empty, hexadecimal (a request for the car) or a reset.
inline QString foreignSearchLine(const QByteArray& received) {
    static const QByteArrayList allowed = {"~~",     "ati",     "sti", "atcaf1",
                                           "atspa6", "atsh720", "ath1"};
    if (!received.isEmpty() && !received.endsWith('\r'))
        return QStringLiteral("unended ") + QString::fromLatin1(received.toHex(' '));
    QByteArrayList lines = received.split('\r');
    lines.removeLast();
    for (const QByteArray& line : lines) {
        if (!allowed.contains(line))
            return QStringLiteral("[%1]").arg(QString::fromLatin1(line.toHex(' ')));
    }
    return {};
}

}  // namespace tavrin::test
