#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include "platform/Ports.h"

namespace tavrin {

QList<PortInfo> KnownPorts() {
    QList<PortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        ports << PortInfo{info.systemLocation(), info.portName(), info.manufacturer().trimmed(),
                          info.description().trimmed(), {}};
    }
    return ports;
}

bool PortListed(const QString& path) {
    // The device nodes are the system's list: a pseudo-terminal or a device
    // a ports/comN link leads to counts as much as one Qt enumerates.
    struct stat info {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISCHR(info.st_mode);
}

bool PortAccessible(const QString& path) {
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

QString ComDeviceName(qint16 n, const QString& settingsFolder) {
    if (n <= 0) return {};
    if (!settingsFolder.isEmpty()) {
        const QString link = QDir(settingsFolder).filePath(QStringLiteral("ports/com%1").arg(n));
        const QFileInfo info(link);
        if (info.exists() || info.isSymLink()) return link;
    }
    static const char* const kBases[] = {"/dev/ttyUSB", "/dev/ttyACM", "/dev/rfcomm", "/dev/ttyS"};
    if (n > 16) return {};
    return QStringLiteral("%1%2").arg(QLatin1String(kBases[(n - 1) / 4])).arg((n - 1) % 4);
}

QString ComDevicePath(qint16 n, const QString& settingsFolder) {
    const QString name = ComDeviceName(n, settingsFolder);
    if (name.isEmpty()) return {};
    // Qt names its lock file after the path it is given: resolve links so two
    // names for one device share one lock.
    return QFileInfo(name).canonicalFilePath();
}

QString DevicePathOf(const QString& device) {
    return QFileInfo(device).canonicalFilePath();
}

bool PortLinksNameDevices() {
    return true;
}

QString PortNumberingAdvice() {
    return QStringLiteral("link ports/comN beside the settings file to its device.");
}

}  // namespace tavrin
