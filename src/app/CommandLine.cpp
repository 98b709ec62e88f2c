#include "app/CommandLine.h"

#include <QDir>
#include <QRegularExpression>
#include <QTextStream>

#include "Version.h"
#include "cluster/ClusterSession.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "platform/Host.h"
#include "platform/Interrupts.h"

namespace tavrin {

namespace {

// "--name value" or "--name=value"; advances i past what it used.
bool takeValue(const QStringList& args, int* i, const QString& name, QString* value,
               QString* error) {
    const QString arg = args.at(*i);
    if (arg.startsWith(name + QLatin1Char('='))) {
        *value = arg.mid(name.size() + 1);
        return true;
    }
    if (*i + 1 >= args.size()) {
        *error = QStringLiteral("%1 needs a value").arg(name);
        return false;
    }
    *value = args.at(++*i);
    return true;
}

bool isOption(const QString& arg, const QString& name) {
    return arg == name || arg.startsWith(name + QLatin1Char('='));
}

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

}  // namespace

CommandLine ParseCommandLine(const QStringList& args) {
    CommandLine c;
    bool help = false;
    bool version = false;
    bool status = false;
    bool police = false;
    auto invalid = [&c](const QString& why) {
        c.mode = CommandLine::Mode::Invalid;
        c.error = why;
        return c;
    };

    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        QString value;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
        } else if (arg == QLatin1String("--status")) {
            status = true;
        } else if (isOption(arg, QStringLiteral("--police"))) {
            if (!takeValue(args, &i, QStringLiteral("--police"), &value, &c.error))
                return invalid(c.error);
            const QString v = value.toLower();
            if (v != QLatin1String("on") && v != QLatin1String("off"))
                return invalid(QStringLiteral("--police takes on or off, not \"%1\"").arg(value));
            police = true;
            c.policeOn = v == QLatin1String("on");
        } else if (isOption(arg, QStringLiteral("--port"))) {
            if (!takeValue(args, &i, QStringLiteral("--port"), &value, &c.error))
                return invalid(c.error);
            // "3" or "COM3", as the port is named everywhere else.
            static const QRegularExpression form(QStringLiteral("^(?:COM)?([0-9]{1,5})$"),
                                                 QRegularExpression::CaseInsensitiveOption);
            const auto match = form.match(value);
            const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
            if (n < 1 || n > 32767)
                return invalid(QStringLiteral("--port takes a port number such as 3 or COM3, "
                                              "not \"%1\"")
                                   .arg(value));
            c.port = qint16(n);
        } else if (isOption(arg, QStringLiteral("--speed"))) {
            if (!takeValue(args, &i, QStringLiteral("--speed"), &value, &c.error))
                return invalid(c.error);
            static const QRegularExpression digits(QStringLiteral("^[1-9][0-9]{0,8}$"));
            if (!digits.match(value).hasMatch())
                return invalid(QStringLiteral("--speed takes a line speed in bit/s such as "
                                              "38400, not \"%1\"")
                                   .arg(value));
            c.speed = value;
        } else {
            return invalid(QStringLiteral("unknown option \"%1\"").arg(arg));
        }
    }

    if (help) {
        c.mode = CommandLine::Mode::Help;
    } else if (version) {
        c.mode = CommandLine::Mode::Version;
    } else if (status && police) {
        return invalid(QStringLiteral("--status and --police cannot be used together"));
    } else if (status) {
        c.mode = CommandLine::Mode::Status;
    } else if (police) {
        c.mode = CommandLine::Mode::Police;
    } else if (c.port || c.speed) {
        return invalid(QStringLiteral("--port and --speed go with --status or --police"));
    }
    return c;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: tavrin [--status | --police on|off] [--port N] [--speed S]\n"
        "       tavrin --help | --version\n"
        "Without options, tavrin opens its window.\n"
        "\n"
        "  --status          connect with the saved settings, print the cluster's part\n"
        "                    number, the adapter, the model and the police mode as\n"
        "                    \"key: value\" lines, and disconnect\n"
        "  --police on|off   connect and switch police mode on or off; nothing is\n"
        "                    written when the cluster already holds that setting\n"
        "  --port N          use COM N for this run only; the settings file is not changed\n"
        "  --speed S         use S bit/s for this run only (9600, 38400 or 115200)\n"
        "  --help            print this help and exit\n"
        "  --version         print the version and the licence and exit\n"
        "\n"
        "Exit status: 0 done or already so, 1 failed or refused, 2 bad usage,\n"
        "128+N stopped by signal N (Ctrl-C: 130) before anything was written.\n");
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

int RunCommandLine(const CommandLine& command, Host& host, QTextStream& out, QTextStream& err) {
    Defines d;
    d.IniFilePath = StartupIniFilePath(host);
    // A query writes nothing: a missing or damaged file means the defaults,
    // as the window would use them, but no file is created.
    if (!LoadIniFile(d)) {
        d.ComPort = 1;
        d.ComSpeed = QStringLiteral("9600");
        if (!command.port || !command.speed) {
            err << QStringLiteral("No usable settings file at %1; using COM1 at 9600.\n")
                       .arg(QDir::toNativeSeparators(d.IniFilePath));
        }
    }
    if (command.port) d.ComPort = *command.port;
    if (command.speed) d.ComSpeed = *command.speed;

    ClusterSession session(d, host);
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
