#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTextStream>

#include "Version.h"
#include "cluster/ClusterSession.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "platform/Host.h"
#include "platform/Interrupts.h"
#include "serial/AdapterFinder.h"
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

const QStringList kSpeeds = {QStringLiteral("9600"), QStringLiteral("38400"),
                             QStringLiteral("115200")};

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
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption status(QStringLiteral("status"));
    const QCommandLineOption police(QStringLiteral("police"), QString(), QStringLiteral("on|off"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("port"));
    const QCommandLineOption speed(QStringLiteral("speed"), QString(), QStringLiteral("speed"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption find(QStringLiteral("find"));
    parser.addOptions({help, version, status, police, port, speed, listPorts, find});
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
    for (const QCommandLineOption* option : {&status, &police, &listPorts, &find}) {
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
        if (n >= 1 && n <= 32767) {
            c.port = qint16(n);
        } else if (value.startsWith(QLatin1Char('/'))) {
            c.device = value;
        } else {
            return invalid(QStringLiteral("--port takes a port number such as 3 or COM3, or a "
                                          "device such as /dev/ttyUSB0, not \"%1\"")
                               .arg(value));
        }
    }
    if (parser.isSet(speed)) {
        if (!kSpeeds.contains(parser.value(speed)))
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
    return QStringLiteral(
        "Usage: tavrin [--status | --police on|off] [--port PORT] [--speed S]\n"
        "       tavrin --list-ports | --find | --help | --version\n"
        "Without options, tavrin opens its window.\n"
        "\n"
        "  --status          connect with the saved settings, print the cluster's part\n"
        "                    number, the adapter, the model and the police mode as\n"
        "                    \"key: value\" lines, and disconnect\n"
        "  --police on|off   connect and switch police mode on or off; nothing is\n"
        "                    written when the cluster already holds that setting\n"
        "  --port PORT       use this port for this run only: a number such as 3 or COM3,\n"
        "                    or a device such as /dev/ttyUSB0; the settings file is not\n"
        "                    changed\n"
        "  --speed S         use S bit/s for this run only: 9600, 38400 or 115200\n"
        "  --list-ports      list the ports COM1 to COM16 with their devices\n"
        "  --find            look for the adapter on every free port and speed, and\n"
        "                    print what was found; nothing is saved\n"
        "  --help            print this help and exit\n"
        "  --version         print the version and the licence and exit\n"
        "\n"
        "Exit status: 0 done or already so, 1 failed or refused, 2 bad usage,\n"
        "128+N stopped by signal N (Ctrl-C: 130) before anything was written.\n");
}

QString UsageErrorText(const QString& error) {
    return QStringLiteral("tavrin: %1\nTry 'tavrin --help' for more information.\n").arg(error);
}

QString VersionText() {
    return QStringLiteral(
               "%1 %2.%3.%4\n"
               "Copyright (C) 2026 Tavrin developers\n"
               "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
               "This is free software: you are free to change and redistribute it.\n"
               "There is NO WARRANTY, to the extent permitted by law.\n")
        .arg(QLatin1String(version::kProductName))
        .arg(version::kMajor)
        .arg(version::kMinor)
        .arg(version::kRevision);
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
int findAdapter(const QString& folder, Host& host, QTextStream& out, QTextStream& err) {
    QList<qint16> ports;
    for (qint16 n = 1; n <= 16; ++n) {
        if (ComPortAvailable(n, folder, nullptr, host)) ports << n;
    }
    AdapterFinder finder(folder, nullptr, host);
    QObject::connect(&finder, &AdapterFinder::trying, [&err](qint16 n, int speed) {
        err << QStringLiteral("COM%1 at %2\u2026\n").arg(n).arg(speed);
        err.flush();
    });
    InterruptWatcher interrupts;
    int interruptedBy = 0;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [&](int signalNumber) {
        if (interruptedBy == 0) interruptedBy = signalNumber;
        finder.stop();
    });
    const FinderReport report = finder.run(ports);
    if (interruptedBy != 0) return kExitInterrupted + interruptedBy;
    out << DescribeSearch(report, Audience::Terminal) << '\n';
    out.flush();
    const int chosen = report.chosen();
    return chosen >= 0 && report.found.at(chosen).capable() ? kExitDone : kExitFailed;
}

}  // namespace

int RunCommandLine(const CommandLine& command, Host& host, QTextStream& out, QTextStream& err) {
    host.audience = Audience::Terminal;
    Defines d;
    d.IniFilePath = StartupIniFilePath(host);
    const QString folder = SettingsFolder(d, host);
    if (command.mode == CommandLine::Mode::ListPorts) return listPorts(folder, host, out, err);
    if (command.mode == CommandLine::Mode::Find) return findAdapter(folder, host, out, err);

    // A query writes nothing: a missing or damaged file means the defaults,
    // as the window would use them, but no file is created.
    const bool defaults = !LoadIniFile(d);
    if (defaults) {
        d.ComPort = 1;
        d.ComSpeed = QStringLiteral("9600");
    }
    if (command.port) d.ComPort = *command.port;
    if (command.speed) d.ComSpeed = *command.speed;
    const QString portUsed =
        command.device ? *command.device : QStringLiteral("COM%1").arg(d.ComPort);
    if (defaults && !((command.port || command.device) && command.speed)) {
        err << QStringLiteral("No usable settings file at %1; using %2 at %3.\n")
                   .arg(QDir::toNativeSeparators(d.IniFilePath), portUsed, d.ComSpeed);
    }

    ClusterSession session(d, host);
    if (command.device) session.setDevice(*command.device);
    QString part;
    QString adapter;
    QString model;
    QString police;
    QObject::connect(&session, &ClusterSession::adapterIdentified,
                     [&adapter](const QString& t) { adapter = t; });
    QObject::connect(&session, &ClusterSession::modelIdentified,
                     [&model](const QString& t) { model = t; });
    QObject::connect(&session, &ClusterSession::clusterIdentified,
                     [&part](const QString& t) { part = t; });
    QObject::connect(&session, &ClusterSession::policeModeShown,
                     [&police](const QString& t) { police = t; });
    QObject::connect(&session, &ClusterSession::policeModeUnknown,
                     [&police] { police = QStringLiteral("unknown"); });
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
        if (session.Cancel() || !session.busy()) return;
        err << "Finishing the change already sent to the cluster; its outcome follows.\n";
        err.flush();
    });

    const auto printLines = [&](const QString& change) {
        out << "part-number: " << printable(part) << '\n'
            << "adapter: " << printable(adapter) << '\n'
            << "model: " << printable(model) << '\n';
        if (!police.isEmpty()) out << "police-mode: " << police << '\n';
        if (!change.isEmpty()) out << "change: " << change << '\n';
        out.flush();
    };

    const SessionReport connected = session.Connect();
    for (const Message& m : connected.messages) printMessage(err, m);
    if (interruptedBy != 0) {
        session.Disconnect();
        return kExitInterrupted + interruptedBy;
    }
    if (!connected.ok()) {
        if (session.isConnected()) printLines({});
        session.Disconnect();
        return kExitFailed;
    }

    int code = kExitDone;
    QString change;
    if (command.mode == CommandLine::Mode::Police) {
        const PoliceReport report = session.SetPoliceMode(command.policeOn);
        if (report.status == SessionStatus::Cancelled) {
            session.Disconnect();
            return kExitInterrupted + interruptedBy;
        }
        for (const Message& m : report.messages) printMessage(err, m);
        if (report.ok()) {
            change = report.change == PoliceChange::AlreadySo
                         ? QStringLiteral("none, already %1").arg(report.before)
                         : QStringLiteral("%1 -> %2").arg(report.before, police);
        } else {
            if (report.messages.isEmpty())
                printMessage(err, ErrorMessage(QStringLiteral("The change was not written.")));
            code = kExitFailed;
        }
    }
    printLines(change);
    session.Disconnect();
    return code;
}

}  // namespace tavrin
