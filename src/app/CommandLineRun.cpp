// The command line's runs without a window: --status, --police, --list-ports,
// --find and --history.
#include "app/CommandLine.h"

#include <QDir>
#include <QTextStream>

#include "cluster/HistoryTable.h"
#include "cluster/Operations.h"
#include "cluster/WriteHistory.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "platform/Interrupts.h"
#include "platform/SystemWords.h"
#include "runtime/Host.h"
#include "serial/NetworkAddress.h"
#include "serial/PortCheck.h"

namespace tavrin {

namespace {

// What the terminal gets of an adapter's or cluster's text: control
// characters could move the cursor or change colours, so they show as "?".
QString printable(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
    }
    return out;
}

void printMessage(QTextStream& err, const Message& m) {
    err << m.text << '\n';
    if (!m.detail.isEmpty()) err << m.detail << '\n';
    err.flush();
}

// --list-ports: the ports the system lists, with what is known of them;
// none is opened to find out more.
int listPorts(const QString& folder, Host& host, QTextStream& out, QTextStream& err) {
    const QList<PortInfo> known = host.devices().knownPorts();
    int listed = 0;
    for (qint16 n : ListedComPorts(host, folder, true)) {
        out << QStringLiteral("COM%1").arg(n).leftJustified(6) << PortDescription(n, folder, known);
        if (!PortAccessible(ComDevicePath(n, folder)))
            out << " (no permission; " << NoPermissionRemedy() << ')';
        out << '\n';
        ++listed;
    }
    out.flush();
    if (listed > 0) return kExitDone;
    err << "No serial port was found. Plug the adapter in (" << BluetoothPortAdvice() << "), or "
        << PortNumberingAdvice() << '\n';
    return kExitFailed;
}

// --find: the Find Adapter search on every port the system lists; nothing
// is saved.
QCoro::Task<int> findAdapter(Defines& d, Host& host, QTextStream& out, QTextStream& err) {
    const QList<qint16> ports = ListedComPorts(host, SettingsFolder(d, host));
    Operations ops(d, host);
    QObject::connect(&ops, &Operations::searchTrying, [&err](qint16 n, int speed) {
        err << QStringLiteral("COM%1 at %2\u2026\n").arg(n).arg(speed);
        err.flush();
    });
    InterruptWatcher interrupts;
    int interruptedBy = 0;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [&](int signalNumber) {
        if (interruptedBy == 0) interruptedBy = signalNumber;
        ops.cancel();
    });
    const std::optional<FinderReport> report = co_await ops.findAdapter(ports);
    if (interruptedBy != 0) co_return kExitInterrupted + interruptedBy;
    if (!report) co_return kExitFailed;
    out << words::DescribeSearch(*report, Audience::Terminal) << '\n';
    out.flush();
    const int chosen = report->chosen();
    co_return chosen >= 0 && report->found.at(chosen).capable() ? kExitDone : kExitFailed;
}

// What --status and --police print, as the session tells it.
struct Printed {
    QString part;
    QString adapter;
    QString model;
    QString police;
};

void printLines(QTextStream& out, const Printed& p, const QString& change) {
    out << "part-number: " << printable(p.part) << '\n'
        << "adapter: " << printable(p.adapter) << '\n'
        << "model: " << printable(p.model) << '\n';
    if (!p.police.isEmpty()) out << "police-mode: " << p.police << '\n';
    if (!change.isEmpty()) out << "change: " << change << '\n';
    out.flush();
}

// --history: the changes made to clusters, from the write history beside the
// settings file.
int printHistory(const Defines& d, Host& host, QTextStream& out) {
    const QString path =
        QDir(SettingsFolder(d, host)).filePath(QLatin1String(WriteHistory::kFileName));
    const HistoryTable table = ReadHistoryTable(path);
    out << HistoryTableText(table, path);
    out.flush();
    return table.error.isEmpty() ? kExitDone : kExitFailed;
}

// The settings of this run: the saved ones, or the defaults, with the
// command line's overrides.
void useSettings(const CommandLine& command, Defines& d, QTextStream& err) {
    // A query writes nothing: a missing or damaged file means the defaults,
    // as the window would use them, but no file is created.
    const bool defaults = !LoadIniFile(d);
    if (defaults) {
        d.ComPort = 1;
        d.ComSpeed = QStringLiteral("9600");
    }
    if (command.port) d.ComPort = *command.port;
    if (command.speed) d.ComSpeed = *command.speed;
    // A port given for this run replaces a saved Wi-Fi adapter too.
    if (command.port || command.device) d.Network.clear();
    if (command.network) d.Network = *command.network;
    const QString portUsed =
        !d.Network.isEmpty()
            ? QStringLiteral("socket://") + d.Network
            : (command.device ? *command.device : QStringLiteral("COM%1").arg(d.ComPort));
    if (defaults && !command.network && !((command.port || command.device) && command.speed)) {
        err << QStringLiteral("No usable settings file at %1; using %2 at %3.\n")
                   .arg(QDir::toNativeSeparators(d.IniFilePath), portUsed, d.ComSpeed);
    }
}

}  // namespace

QCoro::Task<int> RunCommandLine(CommandLine command, Host& host, QTextStream& out,
                                QTextStream& err) {
    host.audience = Audience::Terminal;
    Defines d;
    d.IniFilePath = StartupIniFilePath(host);
    if (command.mode == CommandLine::Mode::ListPorts)
        co_return listPorts(SettingsFolder(d, host), host, out, err);
    if (command.mode == CommandLine::Mode::Find) co_return co_await findAdapter(d, host, out, err);
    if (command.mode == CommandLine::Mode::History) co_return printHistory(d, host, out);

    useSettings(command, d, err);

    Operations ops(d, host);
    ClusterSession& session = ops.session();
    if (command.device) session.setDevice(*command.device);
    Printed printed;
    QObject::connect(&session, &ClusterSession::policeModeShown,
                     [&printed](const QString& t) { printed.police = t; });
    QObject::connect(&session, &ClusterSession::policeModeUnknown,
                     [&printed] { printed.police = QStringLiteral("unknown"); });
    QObject::connect(&session, &ClusterSession::watchdogExpired,
                     [&err](const Message& m) { printMessage(err, m); });

    // Ctrl-C or SIGTERM: before the write the operation ends at once and the
    // port is let go; once the write is sent, its outcome is read back,
    // recorded and printed first.
    InterruptWatcher interrupts;
    int interruptedBy = 0;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [&](int signalNumber) {
        if (interruptedBy != 0) return;
        interruptedBy = signalNumber;
        if (ops.cancel() || !ops.running()) return;
        err << "Finishing the change already sent to the cluster; its outcome follows.\n";
        err.flush();
    });

    const std::optional<SessionReport> connected = co_await ops.connectAdapter();
    if (connected) {
        for (const Message& m : connected->messages) printMessage(err, m);
        printed.part = connected->partNumber;
        printed.adapter = connected->adapter;
        printed.model = connected->model;
    }
    if (interruptedBy != 0) {
        co_await ops.shutdown();
        co_return kExitInterrupted + interruptedBy;
    }
    if (!connected || !connected->ok()) {
        if (connected && connected->connected) printLines(out, printed, {});
        co_await ops.shutdown();
        co_return kExitFailed;
    }

    int code = kExitDone;
    QString change;
    if (command.mode == CommandLine::Mode::Police) {
        const std::optional<PoliceReport> report = co_await ops.changePoliceMode(command.policeOn);
        if (!report || report->status == SessionStatus::Cancelled) {
            co_await ops.shutdown();
            co_return interruptedBy != 0 ? kExitInterrupted + interruptedBy : kExitFailed;
        }
        for (const Message& m : report->messages) printMessage(err, m);
        if (report->ok()) {
            change = report->change == PoliceChange::AlreadySo
                         ? QStringLiteral("none, already %1").arg(report->before)
                         : QStringLiteral("%1 -> %2").arg(report->before, printed.police);
        } else {
            if (report->messages.isEmpty())
                printMessage(err, ErrorMessage(QStringLiteral("The change was not written.")));
            code = kExitFailed;
        }
    }
    printLines(out, printed, change);
    co_await ops.shutdown();
    co_return code;
}

}  // namespace tavrin
