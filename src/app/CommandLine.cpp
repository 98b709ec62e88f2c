#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <optional>
#include <vector>

#include "Version.h"
#include "platform/SystemWords.h"
#include "serial/LineSpeeds.h"
#include "serial/NetworkAddress.h"

namespace tavrin {

namespace {

// Qt's "Unknown option 'x'." as the rest of the program's messages read.
QString asProblem(QString text) {
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    if (!text.isEmpty()) text[0] = text.at(0).toLower();
    return text;
}

// One option: its names, the name of its value (none: it takes none), and
// what --help says of it.
struct OptionDef {
    QStringList names;
    QString valueName;
    QString help;
};

// Every option the program knows, in the order --help lists them.
const std::vector<OptionDef>& Options() {
    static const std::vector<OptionDef> options = {
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
         "use this port for this run only: a number such as 3 or COM3, " + DeviceExample() +
             ", or a Wi-Fi adapter as socket://HOST:PORT (an IPv4 address, [IPv6] or a name; "
             "the speed does not apply); the settings file is not changed"},
        {{"speed"}, "S", "use S bit/s for this run only: " + OfferedSpeedsText()},
        {{"list-ports"},
         {},
         "list the serial ports the system lists, with their devices; none is opened"},
        {{"find"},
         {},
         "look for the adapter on every port the system lists and every speed, and print what "
         "was found; "
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

QCommandLineOption toQt(const OptionDef& option) {
    return QCommandLineOption(option.names, option.help, option.valueName);
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

// An option given twice is a mistake, whichever of the two was meant: the
// words that say so, or nothing.
std::optional<QString> repeatedOption(const QCommandLineParser& parser) {
    QStringList seen;
    for (QString name : parser.optionNames()) {
        if (name == QLatin1String("h")) name = QStringLiteral("help");
        if (seen.contains(name)) return QStringLiteral("--%1 is given more than once").arg(name);
        seen << name;
    }
    return std::nullopt;
}

// The options that choose what runs instead of the window, and what each
// chooses.
struct ModeOption {
    const char* name;
    CommandLine::Mode mode;
};
constexpr ModeOption kModeOptions[] = {{"status", CommandLine::Mode::Status},
                                       {"police", CommandLine::Mode::Police},
                                       {"list-ports", CommandLine::Mode::ListPorts},
                                       {"find", CommandLine::Mode::Find},
                                       {"history", CommandLine::Mode::History}};

// The one mode the options choose (the window when none does), or the words
// that say two were given.
std::optional<QString> chooseMode(const QCommandLineParser& parser, CommandLine::Mode* mode) {
    QStringList given;
    for (const ModeOption& option : kModeOptions) {
        if (!parser.isSet(QLatin1String(option.name))) continue;
        if (given.isEmpty()) *mode = option.mode;
        given << QStringLiteral("--") + QLatin1String(option.name);
    }
    if (given.size() > 1)
        return QStringLiteral("%1 and %2 cannot be used together").arg(given[0], given[1]);
    return std::nullopt;
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
    for (const OptionDef& option : Options()) all << toQt(option);
    parser.addOptions(all);
    const auto byName = [&all](const char* name) {
        for (const QCommandLineOption& o : all)
            if (o.names().contains(QLatin1String(name))) return o;
        return QCommandLineOption(QLatin1String(name));
    };
    const QCommandLineOption help = byName("help");
    const QCommandLineOption version = byName("version");
    const QCommandLineOption police = byName("police");
    const QCommandLineOption port = byName("port");
    const QCommandLineOption speed = byName("speed");
    if (!parser.parse(QStringList{QStringLiteral("tavrin")} + arguments))
        return invalid(asProblem(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return invalid(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    if (const std::optional<QString> why = repeatedOption(parser)) return invalid(*why);

    if (parser.isSet(help)) {
        c.mode = CommandLine::Mode::Help;
        return c;
    }
    if (parser.isSet(version)) {
        c.mode = CommandLine::Mode::Version;
        return c;
    }

    CommandLine::Mode mode = CommandLine::Mode::Window;
    if (const std::optional<QString> why = chooseMode(parser, &mode)) return invalid(*why);

    if (parser.isSet(police)) {
        const QString value = parser.value(police).toLower();
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return invalid(
                QStringLiteral("--police takes on or off, not \"%1\"").arg(parser.value(police)));
        c.policeOn = value == QLatin1String("on");
    }
    if (parser.isSet(port)) {
        // "3" or "COM3", as the port is named everywhere else, or a device.
        const QString value = PortArgument(parser.value(port));
        static const QRegularExpression number(QStringLiteral("^(?:COM)?([0-9]{1,5})$"),
                                               QRegularExpression::CaseInsensitiveOption);
        const auto match = number.match(value);
        const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
        const std::optional<NetworkAddress> network = ParseSocketUrl(value);
        if (n >= 1 && n <= 32767) {
            c.port = qint16(n);
        } else if (NamesDevice(value)) {
            c.device = value;
        } else if (network) {
            c.network = network->text();
        } else {
            return invalid(QStringLiteral("--port takes a port number such as 3 or COM3, %1, "
                                          "or a Wi-Fi adapter as socket://HOST:PORT, not \"%2\"")
                               .arg(DeviceExample(), parser.value(port)));
        }
    }
    if (parser.isSet(speed)) {
        if (!OfferedSpeeds().contains(parser.value(speed)))
            return invalid(QStringLiteral("--speed takes %1, not \"%2\"")
                               .arg(OfferedSpeedsText(), parser.value(speed)));
        c.speed = parser.value(speed);
    }

    c.mode = mode;
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
    for (const OptionDef& option : Options()) {
        QString name = QStringLiteral("  --") + option.names.last();
        if (!option.valueName.isEmpty()) name += QLatin1Char(' ') + option.valueName;
        const QStringList lines = wrapped(option.help, kWidth - kColumn);
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

QString NoDisplayText() {
    return QStringLiteral(
        "tavrin: no display found; the window needs a desktop session (start it from one; "
        "to try it without a car, run scripts/run --demo from the source folder there), "
        "and tavrin --help lists what works without one.\n");
}

}  // namespace tavrin
