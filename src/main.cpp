#include <QApplication>
#include <memory>

#include "about/frmAbout.h"
#include "app/Form1.h"
#include "core/Defines.h"
#include "platform/Host.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin"));
    QApplication::setDesktopFileName(QStringLiteral("tavrin"));
    QApplication::setWindowIcon(tavrin::ProgramIcon());

    tavrin::Host host;
    tavrin::Defines defines;
    std::unique_ptr<tavrin::Form1> window(tavrin::Main(defines, host));
    return QApplication::exec();
}
