#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include <memory>
#include <optional>

#include "about/frmAbout.h"
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "core/Defines.h"
#include "platform/System.h"
#include "runtime/Host.h"

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const tavrin::CommandLine command = tavrin::ParseCommandLine(arguments);

    // Everything but the window runs without a display.
    QTextStream out(stdout);
    QTextStream err(stderr);
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
