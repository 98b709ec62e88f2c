// tavrin-sim: a simulated ELM327-type adapter with an instrument cluster
// behind it, on a pseudo-terminal or a TCP port of the loopback, for demos and
// trying the program by hand.
#include <fcntl.h>
#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <memory>

#include "AdapterFamilies.h"
#include "SimAdapter.h"
#include "SimTcp.h"

using tavrin::sim::Fault;
using tavrin::sim::SimAdapter;
using tavrin::sim::SimConfig;
using tavrin::sim::SimCore;
using tavrin::sim::SimTcp;

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop picks the byte up.
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

bool installSignalPipe() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void say(const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// Control characters of a received line as \xNN, so that a line of DEL
// characters does not look like an empty one (which would repeat a command).
QString shown(const QString& line) {
    QString out;
    for (const QChar c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

bool hexOption(const QCommandLineParser& parser, const QString& name, QByteArray* out) {
    if (!parser.isSet(name)) return true;
    QString text = parser.value(name);
    text.remove(QLatin1Char(' '));
    bool ok = text.size() % 2 == 0;
    for (QChar c : text) ok = ok && QString(QStringLiteral("0123456789abcdefABCDEF")).contains(c);
    if (!ok) {
        say(QStringLiteral("--%1: not hexadecimal bytes: %2").arg(name, parser.value(name)));
        return false;
    }
    *out = QByteArray::fromHex(text.toLatin1());
    return true;
}

bool intOption(const QCommandLineParser& parser, const QString& name, int base, int* out) {
    if (!parser.isSet(name)) return true;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok, base);
    if (!ok || value < 0) {
        say(QStringLiteral("--%1: not a number: %2").arg(name, parser.value(name)));
        return false;
    }
    *out = value;
    return true;
}

// Every option, in the order --help lists them.
void describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("Simulated ELM327-type adapter with an instrument cluster behind it."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("link-folder"), QStringLiteral("Create DIR/ports/comN linked to the line."),
         QStringLiteral("DIR")},
        {QStringLiteral("com"), QStringLiteral("Port number N for --link-folder (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("tcp"),
         QStringLiteral("Listen on 127.0.0.1:PORT, as a Wi-Fi adapter does, instead of on a "
                        "pseudo-terminal (0 = any free port)."),
         QStringLiteral("PORT")},
        {QStringLiteral("adapter"),
         QStringLiteral("Behave as an adapter of this family: %1. Other options change what it "
                        "sets.")
             .arg(tavrin::sim::adapterFamilyNames().join(QStringLiteral(", "))),
         QStringLiteral("FAMILY")},
        {QStringLiteral("prefix"), QStringLiteral("Part number prefix, 4 characters."),
         QStringLiteral("TEXT")},
        {QStringLiteral("e217"), QStringLiteral("E217 bytes, e.g. 00990123."),
         QStringLiteral("HEX")},
        {QStringLiteral("e219"), QStringLiteral("E219 bytes, e.g. 0A02."), QStringLiteral("HEX")},
        {QStringLiteral("e200"), QStringLiteral("E200 bytes."), QStringLiteral("HEX")},
        {QStringLiteral("record"), QStringLiteral("Record 03, 1 or 2 bytes, e.g. 4C12."),
         QStringLiteral("HEX")},
        {QStringLiteral("fault"),
         QStringLiteral("Fault: %1.").arg(tavrin::sim::faultNames().join(QStringLiteral(", "))),
         QStringLiteral("NAME")},
        {QStringLiteral("fault-command"),
         QStringLiteral("Apply the fault only to commands starting with TEXT."),
         QStringLiteral("TEXT")},
        {QStringLiteral("negative-code"),
         QStringLiteral("Negative response code for the Negative* faults (default 22)."),
         QStringLiteral("HEX")},
        {QStringLiteral("pending-count"),
         QStringLiteral("Response-pending answers before the real one (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("baud"), QStringLiteral("Pace answers at N bits per second (0 = unpaced)."),
         QStringLiteral("N")},
        {QStringLiteral("adapter-speed"),
         QStringLiteral("Answer only when the line is set to N bit/s; at any other speed "
                        "answer each line with random bytes (0 = any speed)."),
         QStringLiteral("N")},
        {QStringLiteral("delay"), QStringLiteral("Pause before each answer."),
         QStringLiteral("MS")},
        {QStringLiteral("reset-delay"), QStringLiteral("Extra pause before the reset answer."),
         QStringLiteral("MS")},
        {QStringLiteral("identification"), QStringLiteral("Adapter identification line."),
         QStringLiteral("TEXT")},
        {QStringLiteral("unsupported"),
         QStringLiteral("Comma-separated AT commands answered with '?'."), QStringLiteral("LIST")},
        {QStringLiteral("require-header"),
         QStringLiteral("The cluster only answers after atsh720.")},
        {QStringLiteral("log"), QStringLiteral("Also append the request log to FILE."),
         QStringLiteral("FILE")},
    });
}

// What the options ask for: the adapter and the cluster behind it, and where
// it listens.
struct Options {
    SimConfig config;
    QString family;
    int com = 1;
    int tcpPort = 0;
    bool tcp = false;
};

// The adapter and cluster the options describe; false once it has said what
// is wrong with them.
bool readSimulation(const QCommandLineParser& parser, Options* options) {
    SimConfig& config = options->config;
    // The family first, so that the options given with it change what it sets.
    const QString family = parser.value(QStringLiteral("adapter"));
    options->family = family;
    if (parser.isSet(QStringLiteral("adapter")) &&
        !tavrin::sim::applyAdapterFamily(family, &config)) {
        say(QStringLiteral("--adapter: unknown adapter family %1; known: %2")
                .arg(family, tavrin::sim::adapterFamilyNames().join(QStringLiteral(", "))));
        return false;
    }
    if (parser.isSet(QStringLiteral("prefix"))) {
        config.partPrefix = parser.value(QStringLiteral("prefix"));
        if (config.partPrefix.size() != 4) {
            say(QStringLiteral("--prefix: 4 characters expected"));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("identification")))
        config.identification = parser.value(QStringLiteral("identification"));
    if (parser.isSet(QStringLiteral("fault-command")))
        config.faultCommand = parser.value(QStringLiteral("fault-command"));
    if (parser.isSet(QStringLiteral("unsupported")))
        config.unsupported =
            parser.value(QStringLiteral("unsupported")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    config.requireHeader = parser.isSet(QStringLiteral("require-header"));
    if (!hexOption(parser, QStringLiteral("e217"), &config.e217) ||
        !hexOption(parser, QStringLiteral("e219"), &config.e219) ||
        !hexOption(parser, QStringLiteral("e200"), &config.e200) ||
        !hexOption(parser, QStringLiteral("record"), &config.record) ||
        !intOption(parser, QStringLiteral("negative-code"), 16, &config.negativeCode) ||
        !intOption(parser, QStringLiteral("pending-count"), 10, &config.pendingCount) ||
        !intOption(parser, QStringLiteral("baud"), 10, &config.baud) ||
        !intOption(parser, QStringLiteral("adapter-speed"), 10, &config.adapterSpeed) ||
        !intOption(parser, QStringLiteral("delay"), 10, &config.answerDelayMs) ||
        !intOption(parser, QStringLiteral("reset-delay"), 10, &config.resetDelayMs)) {
        return false;
    }
    if (config.record.size() < 1 || config.record.size() > 2) {
        say(QStringLiteral("--record: 1 or 2 bytes expected"));
        return false;
    }
    if (parser.isSet(QStringLiteral("fault"))) {
        bool ok = false;
        config.fault = tavrin::sim::faultFromName(parser.value(QStringLiteral("fault")), &ok);
        if (!ok) {
            say(QStringLiteral("--fault: unknown fault %1; known: %2")
                    .arg(parser.value(QStringLiteral("fault")),
                         tavrin::sim::faultNames().join(QStringLiteral(", "))));
            return false;
        }
    }
    return true;
}

// Where the adapter listens: a pseudo-terminal, perhaps linked as a COM
// port, or a TCP port; false once it has said what is wrong.
bool readListening(const QCommandLineParser& parser, Options* options) {
    if (!intOption(parser, QStringLiteral("com"), 10, &options->com) ||
        !intOption(parser, QStringLiteral("tcp"), 10, &options->tcpPort)) {
        return false;
    }
    options->tcp = parser.isSet(QStringLiteral("tcp"));
    if (options->tcpPort > 65535) {
        say(QStringLiteral("--tcp: not a port number: %1").arg(options->tcpPort));
        return false;
    }
    if (options->tcp && parser.isSet(QStringLiteral("link-folder"))) {
        say(QStringLiteral("--link-folder: a TCP port cannot be linked as a COM port"));
        return false;
    }
    return true;
}

// What runs, as the first lines of the output say it.
void announce(const Options& options) {
    const SimConfig& config = options.config;
    if (!options.family.isEmpty())
        say(QStringLiteral("Adapter family %1").arg(options.family.toLower()));
    if (config.adapterSpeed > 0) {
        say(QStringLiteral("Answers only at %1 bit/s").arg(config.adapterSpeed));
    }
    if (config.fault != Fault::None) {
        say(QStringLiteral("Fault %1%2")
                .arg(tavrin::sim::faultName(config.fault),
                     config.faultCommand.isEmpty() ? QString()
                                                   : QStringLiteral(" on commands starting with %1")
                                                         .arg(config.faultCommand)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrin-sim"));

    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);
    Options options;
    if (!readSimulation(parser, &options) || !readListening(parser, &options)) return 2;
    const SimConfig& config = options.config;

    QFile logFile;
    if (parser.isSet(QStringLiteral("log"))) {
        logFile.setFileName(parser.value(QStringLiteral("log")));
        if (!logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            say(QStringLiteral("--log: cannot open %1").arg(logFile.fileName()));
            return 2;
        }
    }

    if (!installSignalPipe()) {
        say(QStringLiteral("cannot install the signal handlers"));
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        app.quit();
    });

    std::unique_ptr<SimCore> adapter;
    if (options.tcp) {
        adapter = std::make_unique<SimTcp>(config, quint16(options.tcpPort));
    } else {
        adapter = std::make_unique<SimAdapter>(config);
    }
    SimCore& sim = *adapter;
    QString error;
    if (!sim.start(&error)) {
        say(QStringLiteral("cannot create the line: %1").arg(error));
        return 1;
    }
    // The line a user copies into the program's port setting.
    say(QStringLiteral("Simulated adapter on %1").arg(sim.devicePath()));
    if (parser.isSet(QStringLiteral("link-folder"))) {
        if (!sim.linkAs(parser.value(QStringLiteral("link-folder")), options.com, &error)) {
            say(QStringLiteral("cannot create the link: %1").arg(error));
            return 1;
        }
        say(QStringLiteral("Linked as %1").arg(sim.linkPath()));
    }
    announce(options);

    QObject::connect(&sim, &SimCore::requestReceived, &app, [&logFile](const QString& line) {
        const QString entry = QStringLiteral("%1 %2").arg(
            QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")), shown(line));
        say(entry);
        if (logFile.isOpen()) {
            logFile.write(entry.toLocal8Bit() + '\n');
            logFile.flush();
        }
    });
    QObject::connect(&sim, &SimCore::stopped, &app, [&app] {
        say(QStringLiteral("Line closed"));
        app.quit();
    });

    const int status = app.exec();
    QObject::disconnect(&sim, &SimCore::stopped, nullptr, nullptr);
    sim.stop();
    sim.removeLink();
    return status;
}
