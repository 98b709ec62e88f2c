// Start-up: the main window, the settings it starts with, and its caption.
#include "Version.h"
#include "app/Form1.h"
#include "config/INI_Handler.h"
#include "core/Defines.h"
#include "runtime/Host.h"

namespace tavrin {

QString MainCaption() {
    return QStringLiteral("%1 v%2.%3%4")
        .arg(QLatin1String(version::kProductName))
        .arg(version::kMajor)
        .arg(version::kMinor)
        .arg(version::kRevision);
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
