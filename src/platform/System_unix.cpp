#include <unistd.h>
#include <QDir>
#include <QFileDevice>
#include <QStandardPaths>

#include "platform/System.h"

namespace tavrin {

bool SyncToDisk(QFileDevice& file) {
    return file.flush() && ::fsync(file.handle()) == 0;
}

QString UserConfigFolder() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) base = QDir::home().filePath(".config");
    return QDir(base).filePath(QStringLiteral("Tavrin"));
}

bool DisplayAvailable() {
    // An explicit platform (offscreen, for instance) needs no display.
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace tavrin
