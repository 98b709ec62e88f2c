#include "serial/PortCheck.h"

#include <QDir>
#include <QFileInfo>

#include "core/Defines.h"
#include "platform/Ports.h"
#include "platform/SystemWords.h"
#include "runtime/Host.h"

namespace tavrin {

QString SettingsFolder(const Defines& d, const Host& host) {
    return d.IniFilePath.isEmpty() ? host.programFolder() : QFileInfo(d.IniFilePath).absolutePath();
}

ProbeResult ProbeDevice(const QString& path, const AdapterLine* own, const Host& host) {
    if (path.isEmpty()) return ProbeResult::NotFound;
    if (own && own->PortOpen() && own->DevicePath == path) return ProbeResult::HeldByThisProgram;
    return host.probeDevice(path);
}

ProbeResult ProbeComPort(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                         const Host& host) {
    return ProbeDevice(ComDevicePath(n, settingsFolder), own, host);
}

bool ComPortAvailable(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                      const Host& host) {
    return ProbeComPort(n, settingsFolder, own, host) == ProbeResult::Available;
}

QString ProbeDetail(ProbeResult result, qint16 n, const QString& settingsFolder,
                    Audience audience) {
    return ProbeDetail(result, QStringLiteral("COM%1").arg(n), ComDeviceName(n, settingsFolder),
                       audience);
}

QString ProbeDetail(ProbeResult result, const QString& port, const QString& device,
                    Audience audience) {
    // "COM3 (its device)", or the device alone when it was named directly.
    const QString named =
        device.isEmpty() || device == port ? port : QStringLiteral("%1 (%2)").arg(port, device);
    const bool terminal = audience == Audience::Terminal;
    switch (result) {
        case ProbeResult::Available:
            return {};
        case ProbeResult::NotFound:
            if (device.isEmpty()) return NoDeviceAdvice(port, terminal);
            return QStringLiteral("%1 was not found. Check that the adapter is plugged in, %2")
                .arg(named, terminal ? QStringLiteral("or give another port with --port (tavrin "
                                                      "--list-ports lists them).")
                                     : QStringLiteral("or choose another port in Setup."));
        case ProbeResult::HeldByThisProgram:
            return QStringLiteral("%1 is already open in this program.").arg(named);
        case ProbeResult::InUse:
            return QStringLiteral(
                       "%1 is in use by another program. Close that program and try again.")
                .arg(named);
        case ProbeResult::NoPermission:
            return QStringLiteral("You do not have permission to open %1. ")
                       .arg(device.isEmpty() ? port : device) +
                   NoPermissionAdvice();
    }
    return {};
}

QString PortDescription(qint16 n, const QString& settingsFolder, const QList<PortInfo>& known) {
    const QString name = ComDeviceName(n, settingsFolder);
    const QString path = ComDevicePath(n, settingsFolder);
    QString text = QDir::toNativeSeparators(name);
    if (!path.isEmpty() && path != name) {
        text += QStringLiteral(" \u2192 ") + QDir::toNativeSeparators(path);
    }
    for (const PortInfo& info : known) {
        if (info.location != path && info.location != name) continue;
        QStringList about;
        const QString& maker = info.maker;
        const QString& description = info.description;
        if (!maker.isEmpty()) about << maker;
        // Many adapters repeat the maker at the start of the description.
        if (!description.isEmpty() && description != maker) about << description;
        if (!about.isEmpty()) text += QStringLiteral(" \u2014 ") + about.join(QLatin1Char(' '));
        break;
    }
    return text;
}

OpenResult OpenComPort(const Defines& d, const QString& settingsFolder, AdapterLine& port,
                       const Host& host) {
    return OpenDevice(ComDevicePath(d.ComPort, settingsFolder), d, port, host);
}

OpenResult OpenDevice(const QString& path, const Defines& d, AdapterLine& port, const Host& host) {
    port.CommPort = d.ComPort;
    port.InputLen = 1;
    port.Settings = d.ComSpeed + QStringLiteral(",n,8,1");
    port.Handshaking = AdapterLine::comNone;
    port.DTREnable = true;
    port.RTSEnable = true;
    port.RThreshold = 1;
    if (AdapterLine::SpeedFromSettings(port.Settings) <= 0) return OpenResult::InvalidSpeed;
    if (ProbeDevice(path, &port, host) != ProbeResult::Available) return OpenResult::NotAvailable;
    port.DevicePath = path;
    if (!port.setPortOpen(true)) {
        return port.lastError() == AdapterLine::OpenError::InvalidSettings
                   ? OpenResult::InvalidSpeed
                   : OpenResult::NotAvailable;
    }
    port.discardInput();
    return OpenResult::Opened;
}

}  // namespace tavrin
