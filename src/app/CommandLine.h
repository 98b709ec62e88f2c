#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

class QTextStream;

namespace tavrin {

class Host;

// What the program was asked to do on its command line.
struct CommandLine {
    enum class Mode {
        Window,     // no options: the window, as always
        Help,       // --help
        Version,    // --version
        Status,     // --status
        Police,     // --police on|off
        ListPorts,  // --list-ports
        Find,       // --find
        History,    // --history
        Invalid,    // anything else; error says why
    };
    Mode mode = Mode::Window;
    bool policeOn = false;
    // One-run overrides of the saved settings: a port number, or a device
    // given by its path.
    std::optional<qint16> port;
    std::optional<QString> device;
    // A Wi-Fi adapter's "HOST:PORT", from --port socket://HOST:PORT.
    std::optional<QString> network;
    std::optional<QString> speed;
    QString error;
};

// Exit codes of the command-line modes.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// Interrupted before anything was written: this plus the signal's number.
inline constexpr int kExitInterrupted = 128;

// Reads the arguments that follow the program name.
CommandLine ParseCommandLine(const QStringList& arguments);

QString UsageText();
QString VersionText();
// What a usage error prints: the problem in one line, and where help is.
QString UsageErrorText(const QString& error);

QString NoDisplayText();

// Runs --status, --police, --list-ports, --find or --history without a window, with the
// saved settings and the overrides. Needs a QCoreApplication whose event loop
// runs while it waits. Ends with the exit code.
QCoro::Task<int> RunCommandLine(CommandLine command, Host& host, QTextStream& out,
                                QTextStream& err);

}  // namespace tavrin
