#include <io.h>
#include <QDir>
#include <QFileDevice>
#include <QStandardPaths>

#include "platform/System.h"

namespace tavrin {

bool SyncToDisk(QFileDevice& file) {
    // QFile's handle on Windows is a C runtime descriptor; _commit flushes
    // the system's buffers for it (FlushFileBuffers).
    return file.flush() && ::_commit(file.handle()) == 0;
}

QString UserConfigFolder() {
    // The roaming profile: the settings follow the user, as Windows programs'
    // settings do.
    QString base = qEnvironmentVariable("APPDATA");
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(QDir::fromNativeSeparators(base)).filePath(QStringLiteral("Tavrin"));
}

bool DisplayAvailable() {
    return true;
}

}  // namespace tavrin
