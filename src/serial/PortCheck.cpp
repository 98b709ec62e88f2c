#include "serial/PortCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "core/Defines.h"
#include "platform/Ports.h"
#include "platform/SystemWords.h"
#include "runtime/Host.h"

namespace tavrin {

QString SettingsFolder(const Defines& d, const Host& host) {
    return d.IniFilePath.isEmpty() ? host.programFolder() : QFileInfo(d.IniFilePath).absolutePath();
}

bool HeldByThisProgram(const QString& path, const AdapterLine* own) {
    return own && own->PortOpen() && !path.isEmpty() && own->DevicePath == path;
}

QCoro::Task<ProbeResult> ProbeDevice(QString path, const AdapterLine* own, Host& host, Stop stop) {
    if (path.isEmpty() || !host.devices().listed(path)) co_return ProbeResult::NotFound;
    if (HeldByThisProgram(path, own)) co_return ProbeResult::HeldByThisProgram;
    co_return co_await host.probeDevice(path, stop);
}

QCoro::Task<ProbeResult> ProbeComPort(qint16 n, QString settingsFolder, const AdapterLine* own,
                                      Host& host, Stop stop) {
    co_return co_await ProbeDevice(ComDevicePath(n, settingsFolder), own, host, stop);
}

QString ProbeDetail(ProbeResult result, qint16 n, const QString& settingsFolder, Audience audience,
                    int limitMs) {
    return ProbeDetail(result, QStringLiteral("COM%1").arg(n), ComDeviceName(n, settingsFolder),
                       audience, limitMs);
}

QString ProbeDetail(ProbeResult result, const QString& port, const QString& device,
                    Audience audience, int limitMs) {
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
        case ProbeResult::NoAnswer:
            return QStringLiteral(
                       "%1 did not open within %2 seconds. If it is a Bluetooth adapter, it may "
                       "be switched off or out of range: switch it on, bring it closer, and try "
                       "again.")
                .arg(named)
                .arg((limitMs + 999) / 1000);
    }
    return {};
}

QString OpenCancelledDetail(const QString& port) {
    return QStringLiteral(
               "%1 was still opening when you cancelled. If it is a Bluetooth adapter, it may be "
               "switched off or out of range.")
        .arg(port);
}

BluetoothRole BluetoothRoleOf(const QString& instanceId) {
    // BTHENUM\{service}_LOCALMFG&0000\7&1E2A83AD&0&000000000000_00000000: the
    // last field before the "_" of the last part is the adapter's address,
    // all zeros on the incoming port, which no adapter is behind.
    if (!instanceId.startsWith(QLatin1String("BTHENUM\\"), Qt::CaseInsensitive))
        return BluetoothRole::None;
    const QString last = instanceId.section(QLatin1Char('\\'), -1);
    const QString address = last.section(QLatin1Char('&'), -1).section(QLatin1Char('_'), 0, 0);
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{12}$"));
    if (hex.match(address).hasMatch())
        return address == QLatin1String("000000000000") ? BluetoothRole::Incoming
                                                        : BluetoothRole::Outgoing;
    return instanceId.contains(QLatin1String("_LOCALMFG&0000\\"), Qt::CaseInsensitive)
               ? BluetoothRole::Incoming
               : BluetoothRole::Outgoing;
}

QString BluetoothRoleText(BluetoothRole role) {
    switch (role) {
        case BluetoothRole::Outgoing:
            return QStringLiteral("Bluetooth, outgoing: use this one");
        case BluetoothRole::Incoming:
            return QStringLiteral("Bluetooth, incoming: never answers");
        case BluetoothRole::None:
            break;
    }
    return {};
}

namespace {

// "COM21" and its number; 0 for anything else.
qint16 comNumberOf(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^COM([0-9]{1,5})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(name);
    const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
    return n > 0 && n <= 32767 ? qint16(n) : 0;
}

const PortInfo* infoOf(qint16 n, const QString& settingsFolder, const QList<PortInfo>& known) {
    const QString name = ComDeviceName(n, settingsFolder);
    const QString path = ComDevicePath(n, settingsFolder);
    for (const PortInfo& info : known) {
        if (info.location == path || info.location == name) return &info;
    }
    return nullptr;
}

}  // namespace

QList<qint16> ListedComPorts(const Host& host, const QString& settingsFolder, bool incoming) {
    const QList<PortInfo> known = host.devices().knownPorts();
    QList<qint16> candidates;
    for (qint16 n = 1; n <= 16; ++n) candidates << n;
    for (const PortInfo& info : known) candidates << comNumberOf(info.name);
    const QDir links(QDir(settingsFolder).filePath(QStringLiteral("ports")));
    for (const QString& link : links.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (link.startsWith(QLatin1String("com"))) candidates << comNumberOf(link);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    QList<qint16> ports;
    for (qint16 n : candidates) {
        if (n <= 0 || !host.devices().listed(ComDevicePath(n, settingsFolder))) continue;
        const PortInfo* info = infoOf(n, settingsFolder, known);
        if (!incoming && info && BluetoothRoleOf(info->instanceId) == BluetoothRole::Incoming)
            continue;
        ports << n;
    }
    return ports;
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
        const QString role = BluetoothRoleText(BluetoothRoleOf(info.instanceId));
        if (!role.isEmpty()) about << QStringLiteral("(%1)").arg(role);
        if (!about.isEmpty()) text += QStringLiteral(" \u2014 ") + about.join(QLatin1Char(' '));
        break;
    }
    return text;
}

ProbeResult ProbeResultOf(OpenResult result) {
    switch (result) {
        case OpenResult::NotFound:
            return ProbeResult::NotFound;
        case OpenResult::InUse:
            return ProbeResult::InUse;
        case OpenResult::NoPermission:
            return ProbeResult::NoPermission;
        case OpenResult::NoAnswer:
        case OpenResult::Cancelled:
            return ProbeResult::NoAnswer;
        case OpenResult::Opened:
        case OpenResult::InvalidSpeed:
        case OpenResult::Failed:
            break;
    }
    return ProbeResult::Available;
}

QCoro::Task<OpenResult> OpenDevice(QString path, qint16 comPort, QString speed, AdapterLine& port,
                                   Host& host, Stop stop) {
    port.CommPort = comPort;
    port.InputLen = 1;
    port.Settings = speed + QStringLiteral(",n,8,1");
    port.Handshaking = AdapterLine::comNone;
    port.DTREnable = true;
    port.RTSEnable = true;
    port.RThreshold = 1;
    // What the system does not list is not there: no open to find out.
    if (path.isEmpty() || !host.devices().listed(path)) co_return OpenResult::NotFound;
    if (AdapterLine::SpeedFromSettings(port.Settings) <= 0) co_return OpenResult::InvalidSpeed;
    port.DevicePath = path;
    const bool opened = co_await port.open(host.clock(), host.limits.openMs, stop);
    if (!opened) {
        switch (port.lastError()) {
            case AdapterLine::OpenError::InvalidSettings:
                co_return OpenResult::InvalidSpeed;
            case AdapterLine::OpenError::NoDevice:
            case AdapterLine::OpenError::NotFound:
                co_return OpenResult::NotFound;
            case AdapterLine::OpenError::InUse:
                co_return OpenResult::InUse;
            case AdapterLine::OpenError::NoPermission:
                co_return OpenResult::NoPermission;
            case AdapterLine::OpenError::NoAnswer:
                co_return OpenResult::NoAnswer;
            case AdapterLine::OpenError::Cancelled:
                co_return OpenResult::Cancelled;
            case AdapterLine::OpenError::None:
            case AdapterLine::OpenError::Refused:
                break;
        }
        co_return OpenResult::Failed;
    }
    port.discardInput();
    co_return OpenResult::Opened;
}

QCoro::Task<OpenResult> OpenComPort(const Defines& d, QString settingsFolder, AdapterLine& port,
                                    Host& host, Stop stop) {
    co_return co_await OpenDevice(ComDevicePath(d.ComPort, settingsFolder), d.ComPort, d.ComSpeed,
                                  port, host, stop);
}

}  // namespace tavrin
