#include <QApplication>
#include <QCoreApplication>
#include <QMutex>
#include <QTextStream>
#include <memory>
#include <optional>

#include "about/frmAbout.h"
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "core/Defines.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "runtime/Host.h"

namespace {

// Qt's own messages (qWarning and the rest, from any thread) as the
// program's: a line each on standard error, through a device of their own.
QIODevice* messageOutput = nullptr;

void toStandardError(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    static QMutex one;
    const QMutexLocker lock(&one);
    messageOutput->write((qFormatLogMessage(type, context, text) + u'\n').toUtf8());
}

// Qt's way comes back before the device goes: messages can come as late as
// the static objects' destruction.
struct MessageRoute {
    explicit MessageRoute(QIODevice* device) {
        messageOutput = device;
        qInstallMessageHandler(toStandardError);
    }
    ~MessageRoute() { qInstallMessageHandler(nullptr); }
    MessageRoute(const MessageRoute&) = delete;
    MessageRoute& operator=(const MessageRoute&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const tavrin::CommandLine command = tavrin::ParseCommandLine(arguments);

    // What the program prints reads right in a console on any code page,
    // and is UTF-8 in a file or a pipe.
    const std::unique_ptr<QIODevice> outDevice = tavrin::OpenTextOutput(1);
    const std::unique_ptr<QIODevice> errDevice = tavrin::OpenTextOutput(2);
    const std::unique_ptr<QIODevice> messageDevice = tavrin::OpenTextOutput(2);
    // A window program with nowhere to print keeps Qt's own way (the
    // debugger's channel on Windows).
    std::optional<MessageRoute> route;
    if (tavrin::TextOutputConnected(2)) route.emplace(messageDevice.get());
    QTextStream out(outDevice.get());
    QTextStream err(errDevice.get());

    // Everything but the window runs without a display.
    switch (command.mode) {
        case tavrin::CommandLine::Mode::Help:
            out << tavrin::UsageText();
            return tavrin::kExitDone;
        case tavrin::CommandLine::Mode::Version:
            out << tavrin::VersionText();
            return tavrin::kExitDone;
        case tavrin::CommandLine::Mode::Invalid:
            err << tavrin::UsageErrorText(command.error);
            return tavrin::kExitUsage;
        case tavrin::CommandLine::Mode::Status:
        case tavrin::CommandLine::Mode::Police:
        case tavrin::CommandLine::Mode::ListPorts:
        case tavrin::CommandLine::Mode::Find:
        case tavrin::CommandLine::Mode::History: {
            QCoreApplication app(argc, argv);
            QCoreApplication::setApplicationName(QStringLiteral("Tavrin"));
            tavrin::Host host;
            // The run suspends while it waits; the event loop runs until it ends.
            std::optional<int> code;
            auto run = tavrin::RunCommandLine(command, host, out, err).then([&code](int c) {
                code = c;
                QCoreApplication::exit(c);
            });
            if (!code) QCoreApplication::exec();
            return code.value_or(tavrin::kExitFailed);
        }
        case tavrin::CommandLine::Mode::Window:
            break;
    }

    if (!tavrin::DisplayAvailable()) {
        err << tavrin::NoDisplayText();
        return tavrin::kExitFailed;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin"));
    QApplication::setDesktopFileName(QStringLiteral("tavrin"));
    QApplication::setWindowIcon(tavrin::ProgramIcon());

    tavrin::Host host;
    tavrin::Defines defines;
    std::unique_ptr<tavrin::Form1> window(tavrin::Main(defines, host));
    return QApplication::exec();
}
