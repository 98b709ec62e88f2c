#include "serial/SerialPort.h"

#include <QDir>
#include <QFileInfo>
#include <QListWidget>

#include "core/Defines.h"
#include "platform/Host.h"

namespace tavrin {

QString SettingsFolder(const Defines& d, const Host& host) {
    return d.IniFilePath.isEmpty() ? host.programFolder() : QFileInfo(d.IniFilePath).absolutePath();
}

QString ComDeviceName(qint16 n, const QString& settingsFolder) {
#ifdef Q_OS_WIN
    Q_UNUSED(settingsFolder);
    return n > 0 ? QStringLiteral("COM%1").arg(n) : QString();
#else
    if (n <= 0) return {};
    if (!settingsFolder.isEmpty()) {
        const QString link = QDir(settingsFolder).filePath(QStringLiteral("ports/com%1").arg(n));
        const QFileInfo info(link);
        if (info.exists() || info.isSymLink()) return link;
    }
    static const char* const kBases[] = {"/dev/ttyUSB", "/dev/ttyACM", "/dev/rfcomm", "/dev/ttyS"};
    if (n > 16) return {};
    return QStringLiteral("%1%2").arg(QLatin1String(kBases[(n - 1) / 4])).arg((n - 1) % 4);
#endif
}

QString ComDevicePath(qint16 n, const QString& settingsFolder) {
    const QString name = ComDeviceName(n, settingsFolder);
#ifdef Q_OS_WIN
    return name;
#else
    if (name.isEmpty()) return {};
    // Qt names its lock file after the path it is given: resolve links so two
    // names for one device share one lock.
    return QFileInfo(name).canonicalFilePath();
#endif
}

ProbeResult ProbeComPort(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                         const Host& host) {
    const QString path = ComDevicePath(n, settingsFolder);
    if (path.isEmpty()) return ProbeResult::NotFound;
    if (own && own->PortOpen() && own->DevicePath == path) return ProbeResult::HeldByThisProgram;
    return host.probeDevice(path);
}

bool ComPortAvailable(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                      const Host& host) {
    return ProbeComPort(n, settingsFolder, own, host) == ProbeResult::Available;
}

QString ProbeDetail(ProbeResult result, qint16 n, const QString& settingsFolder) {
    const QString name = ComDeviceName(n, settingsFolder);
    const QString device = name.isEmpty() ? QStringLiteral("COM%1").arg(n) : name;
    switch (result) {
        case ProbeResult::Available:
            return {};
        case ProbeResult::NotFound:
            return QStringLiteral(
                       "COM%1 (%2) was not found. Check that the adapter is plugged in, "
                       "or choose another port in Setup.")
                .arg(n)
                .arg(device);
        case ProbeResult::HeldByThisProgram:
            return QStringLiteral("COM%1 (%2) is already open in this program.").arg(n).arg(device);
        case ProbeResult::InUse:
            return QStringLiteral(
                       "COM%1 (%2) is in use by another program. Close that program "
                       "and try again.")
                .arg(n)
                .arg(device);
        case ProbeResult::NoPermission:
            return QStringLiteral(
                       "You do not have permission to open %1. Join the \"dialout\" "
                       "group (sudo adduser $USER dialout), then log out and log in "
                       "again.")
                .arg(device);
    }
    return {};
}

int FindListItem(const QString& text, const QListWidget* list) {
    if (!list) return -1;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().startsWith(text, Qt::CaseInsensitive)) return i;
    }
    return -1;
}

QString OfferedSpeedsText() {
    return QStringLiteral("9600, 38400 or 115200");
}

OpenResult OpenComPort(const Defines& d, const QString& settingsFolder, AdapterLine& port,
                       const Host& host) {
    port.CommPort = d.ComPort;
    port.InputLen = 1;
    port.Settings = d.ComSpeed + QStringLiteral(",n,8,1");
    port.Handshaking = 0;
    port.DTREnable = true;
    port.RTSEnable = true;
    port.RThreshold = 1;
    port.SThreshold = 1;
    if (AdapterLine::SpeedFromSettings(port.Settings) <= 0) return OpenResult::InvalidSpeed;
    if (!ComPortAvailable(d.ComPort, settingsFolder, &port, host)) return OpenResult::NotAvailable;
    port.DevicePath = ComDevicePath(d.ComPort, settingsFolder);
    if (!port.setPortOpen(true)) {
        return port.lastError() == AdapterLine::OpenError::InvalidSettings
                   ? OpenResult::InvalidSpeed
                   : OpenResult::NotAvailable;
    }
    port.discardInput();
    return OpenResult::Opened;
}

}  // namespace tavrin
