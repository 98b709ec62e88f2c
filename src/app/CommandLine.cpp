#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTextStream>

#include "Version.h"
#include "cluster/HistoryTable.h"
#include "cluster/Operations.h"
#include "cluster/WriteHistory.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "platform/Host.h"
#include "platform/Interrupts.h"
#include "serial/NetworkAddress.h"
#include "serial/SerialPort.h"

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

// Qt's "Unknown option 'x'." as the rest of the program's messages read.
QString asProblem(QString text) {
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    if (!text.isEmpty()) text[0] = text.at(0).toLower();
    return text;
}

// One option: its names, the name of its value (none: it takes none), and
// what --help says of it.
struct OptionSpec {
    QStringList names;
    QString valueName;
    QString help;
};

// Every option the program knows, in the order --help lists them.
const std::vector<OptionSpec>& Options() {
    static const std::vector<OptionSpec> options = {
        {{"status"},
         {},
         "connect with the saved settings, print the cluster's part number, the adapter, the "
         "model and the police mode as \"key: value\" lines, and disconnect"},
        {{"police"},
         "on|off",
         "connect and switch police mode on or off; nothing is written when the cluster "
         "already holds that setting"},
        {{"port"},
         "PORT",
         "use this port for this run only: a number such as 3 or COM3, a device such as "
         "/dev/ttyUSB0, or a Wi-Fi adapter as socket://HOST:PORT (an IPv4 address, [IPv6] or a "
         "name; the speed does not apply); the settings file is not changed"},
        {{"speed"}, "S", "use S bit/s for this run only: " + OfferedSpeedsText()},
        {{"list-ports"}, {}, "list the ports COM1 to COM16 with their devices"},
        {{"find"},
         {},
         "look for the adapter on every free port and speed, and print what was found; "
         "nothing is saved"},
        {{"history"},
         {},
         "print the changes made to clusters, newest first, from the write history beside "
         "the settings file; nothing is changed"},
        {{"h", "help"}, {}, "print this help and exit"},
        {{"version"}, {}, "print the version and the licence and exit"},
    };
    return options;
}

QCommandLineOption toQt(const OptionSpec& spec) {
    return QCommandLineOption(spec.names, spec.help, spec.valueName);
}

// Words wrapped to fit width columns.
QStringList wrapped(const QString& text, int width) {
    QStringList lines{QString()};
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!lines.last().isEmpty() && lines.last().size() + 1 + word.size() > width)
            lines << QString();
        if (!lines.last().isEmpty()) lines.last() += QLatin1Char(' ');
        lines.last() += word;
    }
    return lines;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine c;
    auto invalid = [&c](const QString& why) {
        c.mode = CommandLine::Mode::Invalid;
        c.error = why;
        return c;
    };

    QCommandLineParser parser;
    // "-platform" is an unknown option, not the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QList<QCommandLineOption> all;
    for (const OptionSpec& spec : Options()) all << toQt(spec);
    parser.addOptions(all);
    const auto option = [&all](const char* name) {
        for (const QCommandLineOption& o : all)
            if (o.names().contains(QLatin1String(name))) return o;
        return QCommandLineOption(QLatin1String(name));
    };
    const QCommandLineOption help = option("help");
    const QCommandLineOption version = option("version");
    const QCommandLineOption status = option("status");
    const QCommandLineOption police = option("police");
    const QCommandLineOption port = option("port");
    const QCommandLineOption speed = option("speed");
    const QCommandLineOption listPorts = option("list-ports");
    const QCommandLineOption find = option("find");
    const QCommandLineOption history = option("history");
    if (!parser.parse(QStringList{QStringLiteral("tavrin")} + arguments))
        return invalid(asProblem(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return invalid(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    // An option given twice is a mistake, whichever of the two was meant.
    QStringList seen;
    for (QString name : parser.optionNames()) {
        if (name == QLatin1String("h")) name = QStringLiteral("help");
        if (seen.contains(name))
            return invalid(QStringLiteral("--%1 is given more than once").arg(name));
        seen << name;
    }

    if (parser.isSet(help)) {
        c.mode = CommandLine::Mode::Help;
        return c;
    }
    if (parser.isSet(version)) {
        c.mode = CommandLine::Mode::Version;
        return c;
    }

    QStringList modes;
    for (const QCommandLineOption* option : {&status, &police, &listPorts, &find, &history}) {
        if (parser.isSet(*option)) modes << QStringLiteral("--") + option->names().first();
    }
    if (modes.size() > 1)
        return invalid(QStringLiteral("%1 and %2 cannot be used together").arg(modes[0], modes[1]));

    if (parser.isSet(police)) {
        const QString value = parser.value(police).toLower();
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return invalid(
                QStringLiteral("--police takes on or off, not \"%1\"").arg(parser.value(police)));
        c.policeOn = value == QLatin1String("on");
    }
    if (parser.isSet(port)) {
        // "3" or "COM3", as the port is named everywhere else, or a device.
        const QString value = parser.value(port);
        static const QRegularExpression number(QStringLiteral("^(?:COM)?([0-9]{1,5})$"),
                                               QRegularExpression::CaseInsensitiveOption);
        const auto match = number.match(value);
        const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
        const std::optional<NetworkAddress> network = ParseSocketUrl(value);
        if (n >= 1 && n <= 32767) {
            c.port = qint16(n);
        } else if (value.startsWith(QLatin1Char('/'))) {
            c.device = value;
        } else if (network) {
            c.network = network->text();
        } else {
            return invalid(QStringLiteral("--port takes a port number such as 3 or COM3, a "
                                          "device such as /dev/ttyUSB0, or a Wi-Fi adapter as "
                                          "socket://HOST:PORT, not \"%1\"")
                               .arg(value));
        }
    }
    if (parser.isSet(speed)) {
        if (!OfferedSpeeds().contains(parser.value(speed)))
            return invalid(QStringLiteral("--speed takes %1, not \"%2\"")
                               .arg(OfferedSpeedsText(), parser.value(speed)));
        c.speed = parser.value(speed);
    }

    if (parser.isSet(status)) {
        c.mode = CommandLine::Mode::Status;
    } else if (parser.isSet(police)) {
        c.mode = CommandLine::Mode::Police;
    } else if (parser.isSet(listPorts)) {
        c.mode = CommandLine::Mode::ListPorts;
    } else if (parser.isSet(find)) {
        c.mode = CommandLine::Mode::Find;
    } else if (parser.isSet(history)) {
        c.mode = CommandLine::Mode::History;
    }
    const bool override = parser.isSet(port) || parser.isSet(speed);
    if (override && c.mode != CommandLine::Mode::Status && c.mode != CommandLine::Mode::Police) {
        return invalid(
            QStringLiteral("--%1 goes with --status or --police")
                .arg(parser.isSet(port) ? QStringLiteral("port") : QStringLiteral("speed")));
    }
    return c;
}

QString UsageText() {
    // The option column is as wide as the widest option with its value.
    constexpr int kColumn = 20;
    constexpr int kWidth = 78;
    QString text = QStringLiteral(
        "Usage: tavrin [--status | --police on|off] [--port PORT] [--speed S]\n"
        "       tavrin --list-ports | --find | --history | --help | --version\n"
        "Without options, tavrin opens its window.\n"
        "\n");
    for (const OptionSpec& spec : Options()) {
        QString name = QStringLiteral("  --") + spec.names.last();
        if (!spec.valueName.isEmpty()) name += QLatin1Char(' ') + spec.valueName;
        const QStringList lines = wrapped(spec.help, kWidth - kColumn);
        for (int i = 0; i < lines.size(); ++i) {
            text += (i == 0 ? name : QString()).leftJustified(kColumn) + lines[i] + u'\n';
        }
    }
    return text + QStringLiteral(
                      "\n"
                      "Exit status: 0 done or already so, 1 failed or refused, 2 bad usage,\n"
                      "128+N stopped by signal N (Ctrl-C: 130) before anything was written.\n");
}

QString UsageErrorText(const QString& error) {
    return QStringLiteral("tavrin: %1\nTry 'tavrin --help' for more information.\n").arg(error);
}

QString VersionText() {
    return QStringLiteral(
               "%1 %2\n"
               "Copyright (C) 2026 Tavrin developers\n"
               "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
               "This is free software: you are free to change and redistribute it.\n"
               "There is NO WARRANTY, to the extent permitted by law.\n")
        .arg(QLatin1String(version::kProductName), QLatin1String(version::kVersion));
}

bool DisplayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Qt would abort in its platform plugin; an explicit platform (offscreen,
    // for instance) needs no display.
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

QString NoDisplayText() {
    return QStringLiteral(
        "tavrin: no display found; the window needs a desktop session (start it from one; "
        "to try it without a car, run scripts/run --demo from the source folder there), "
        "and tavrin --help lists what works without one.\n");
}

namespace {

// --list-ports: COM1 to COM16 that stand for a device, with what is known of
// it, and whether another program holds it.
int listPorts(const QString& folder, Host& host, QTextStream& out, QTextStream& err) {
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    int listed = 0;
    for (qint16 n = 1; n <= 16; ++n) {
        const ProbeResult probe = ProbeComPort(n, folder, nullptr, host);
        if (probe == ProbeResult::NotFound) continue;
        out << QStringLiteral("COM%1").arg(n).leftJustified(6) << PortDescription(n, folder, known);
        if (probe == ProbeResult::InUse) out << " (in use)";
        if (probe == ProbeResult::NoPermission) out << " (no permission: join the dialout group)";
        out << '\n';
        ++listed;
    }
    out.flush();
    if (listed > 0) return kExitDone;
    err << "No serial port was found among COM1 to COM16. Plug the adapter in (a Bluetooth "
           "adapter: paired and bound), or link ports/comN beside the settings file to its "
           "device.\n";
    return kExitFailed;
}

// --find: the Find Adapter search on every free port; nothing is saved.
QCoro::Task<int> findAdapter(Defines& d, Host& host, QTextStream& out, QTextStream& err) {
    const QString folder = SettingsFolder(d, host);
    QList<qint16> ports;
    for (qint16 n = 1; n <= 16; ++n) {
        if (ComPortAvailable(n, folder, nullptr, host)) ports << n;
    }
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

}  // namespace

QCoro::Task<int> RunCommandLine(CommandLine command, Host& host, QTextStream& out,
                                QTextStream& err) {
    host.audience = Audience::Terminal;
    Defines d;
    d.IniFilePath = StartupIniFilePath(host);
    if (command.mode == CommandLine::Mode::ListPorts)
        co_return listPorts(SettingsFolder(d, host), host, out, err);
    if (command.mode == CommandLine::Mode::Find) co_return co_await findAdapter(d, host, out, err);
    if (command.mode == CommandLine::Mode::History) {
        const QString path =
            QDir(SettingsFolder(d, host)).filePath(QLatin1String(WriteHistory::kFileName));
        const HistoryTable table = ReadHistoryTable(path);
        out << HistoryTableText(table, path);
        out.flush();
        co_return table.error.isEmpty() ? kExitDone : kExitFailed;
    }

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

    Operations ops(d, host);
    ClusterSession& session = ops.session();
    if (command.device) session.setDevice(*command.device);
    Printed printed;
    QObject::connect(&session, &ClusterSession::adapterIdentified,
                     [&printed](const QString& t) { printed.adapter = t; });
    QObject::connect(&session, &ClusterSession::modelIdentified,
                     [&printed](const QString& t) { printed.model = t; });
    QObject::connect(&session, &ClusterSession::clusterIdentified,
                     [&printed](const QString& t) { printed.part = t; });
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
    }
    if (interruptedBy != 0) {
        session.Disconnect();
        co_return kExitInterrupted + interruptedBy;
    }
    if (!connected || !connected->ok()) {
        if (session.isConnected()) printLines(out, printed, {});
        session.Disconnect();
        co_return kExitFailed;
    }

    int code = kExitDone;
    QString change;
    if (command.mode == CommandLine::Mode::Police) {
        const std::optional<PoliceReport> report = co_await ops.changePoliceMode(command.policeOn);
        if (!report || report->status == SessionStatus::Cancelled) {
            session.Disconnect();
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
    session.Disconnect();
    co_return code;
}

}  // namespace tavrin
