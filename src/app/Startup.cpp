// Start-up: the main window, the settings it starts with, and its caption.
#include "Version.h"
#include "app/Form1.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "platform/VersionInfo.h"
#include "runtime/Host.h"

namespace tavrin {

// The name is the one Windows shows in the program's Properties, so the two
// never disagree; the built-in one where there is none.
QString MainCaption() {
    // One pass, so a "%" in the name is never taken for a place of its own.
    return QStringLiteral("%1 v%2.%3%4")
        .arg(ProgramProductName(QLatin1String(version::kProductName)),
             QString::number(version::kMajor), QString::number(version::kMinor),
             QString::number(version::kRevision));
}

Form1* Main(Defines& defines, Host& host) {
    auto* form = new Form1(defines, host);
    form->setWindowTitle(MainCaption());
    defines.IniFilePath = StartupIniFilePath(host);
    QString error;
    const bool saved = ReadIniFile(
        defines, [form](const QString& text) { form->setPanelText(3, text); }, &error);
    form->setPanelText(3, StatusText(defines));
    form->setPanelText(4, QStringLiteral("Not Connected"));
    form->show();
    if (!saved) {
        host.showMessage(form, Message{QStringLiteral("The settings cannot be saved."),
                                       QStringLiteral("Error!"), MessageIcon::Warning, error});
    }
    return form;
}

}  // namespace tavrin
