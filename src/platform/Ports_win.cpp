#include <QRegularExpression>
#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/Ports.h"

#include "platform/Win32.h"

#include <setupapi.h>

namespace tavrin {

namespace {

// GUID_DEVCLASS_PORTS, the "Ports (COM & LPT)" class of Device Manager;
// spelt out so that no header has to define it.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// "COM4" and its number; 0 for anything else (LPT1, a modem's own name).
int comNumber(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^COM([0-9]{1,5})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// A string the system gave with its size in bytes, which may or may not
// count a closing NUL.
QString fromSystem(const std::vector<wchar_t>& text, DWORD bytes) {
    const auto length = std::min<std::size_t>(text.size(), std::size_t(bytes) / sizeof(wchar_t));
    const auto end = std::find(text.begin(), text.begin() + std::ptrdiff_t(length), L'\0');
    return QString::fromWCharArray(text.data(), end - text.begin()).trimmed();
}

QString deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<wchar_t> text(256);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD type = 0;
        DWORD needed = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                              reinterpret_cast<PBYTE>(text.data()),
                                              DWORD(text.size() * sizeof(wchar_t)), &needed)) {
            return type == REG_SZ ? fromSystem(text, needed) : QString();
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        text.resize(needed / sizeof(wchar_t) + 1);
    }
    return {};
}

QString registryString(HKEY key, const wchar_t* name) {
    std::vector<wchar_t> text(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD type = 0;
        DWORD bytes = DWORD(text.size() * sizeof(wchar_t));
        const LONG result = RegQueryValueExW(key, name, nullptr, &type,
                                             reinterpret_cast<LPBYTE>(text.data()), &bytes);
        if (result == ERROR_SUCCESS) return type == REG_SZ ? fromSystem(text, bytes) : QString();
        if (result != ERROR_MORE_DATA) break;
        text.resize(bytes / sizeof(wchar_t) + 1);
    }
    return {};
}

QString portName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || !key) return {};
    const QString name = registryString(key, L"PortName");
    RegCloseKey(key);
    return name;
}

QString instanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::vector<wchar_t> text(256);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD needed = 0;
        if (SetupDiGetDeviceInstanceIdW(set, &device, text.data(), DWORD(text.size()), &needed))
            return fromSystem(text, DWORD(text.size() * sizeof(wchar_t)));
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        text.resize(needed + 1);
    }
    return {};
}

bool known(const QList<PortInfo>& ports, const QString& name) {
    return std::any_of(ports.cbegin(), ports.cend(),
                       [&name](const PortInfo& p) { return p.name == name; });
}

void addDevicePorts(QList<PortInfo>& ports) {
    const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const QString name = portName(set, device).toUpper();
        if (comNumber(name) == 0) continue;
        ports << PortInfo{name, name, deviceProperty(set, device, SPDRP_MFG),
                          deviceProperty(set, device, SPDRP_FRIENDLYNAME), instanceId(set, device)};
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The serial ports the drivers announce, with no more about them. Wine
// lists its ports only here, and so do some drivers of virtual ports.
void addAnnouncedPorts(QList<PortInfo>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[256];
        DWORD nameLength = DWORD(std::size(valueName));
        std::vector<wchar_t> data(64);
        DWORD type = 0;
        DWORD bytes = DWORD(data.size() * sizeof(wchar_t));
        const LONG result = RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type,
                                          reinterpret_cast<LPBYTE>(data.data()), &bytes);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        const QString name = fromSystem(data, bytes).toUpper();
        if (comNumber(name) == 0) continue;
        if (!known(ports, name)) ports << PortInfo{name, name, {}, {}, {}};
    }
    RegCloseKey(key);
}

// The COM names among the system's DOS devices: every real port, and the
// ports a Wine prefix maps, which neither list above holds.
void addDosDevicePorts(QList<PortInfo>& ports) {
    std::vector<wchar_t> names(16 * 1024);
    DWORD length = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        length = QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()));
        if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        names.resize(names.size() * 4);
    }
    // One name after another, each closed by a NUL, the list by a second.
    for (DWORD at = 0; at < length && names[at] != L'\0';) {
        const QString name = QString::fromWCharArray(names.data() + at).toUpper();
        at += DWORD(name.size()) + 1;
        if (comNumber(name) == 0 || known(ports, name)) continue;
        ports << PortInfo{name, name, {}, {}, {}};
    }
}

}  // namespace

QList<PortInfo> KnownPorts() {
    QList<PortInfo> ports;
    addDevicePorts(ports);
    addAnnouncedPorts(ports);
    addDosDevicePorts(ports);
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return comNumber(a.name) < comNumber(b.name);
    });
    return ports;
}

bool PortListed(const QString& path) {
    // Every COM port is a DOS device (it is what \\.\COMn opens), whether
    // SetupAPI, the driver's announcement or a Wine prefix made it.
    const QString name = DevicePathOf(path);
    if (comNumber(name) == 0) return false;
    wchar_t target[512];
    return QueryDosDeviceW(reinterpret_cast<LPCWSTR>(name.utf16()), target,
                           DWORD(std::size(target))) != 0 ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool PortAccessible(const QString&) {
    return true;
}

QString ComDeviceName(qint16 n, const QString& settingsFolder) {
    Q_UNUSED(settingsFolder);
    return n > 0 ? QStringLiteral("COM%1").arg(n) : QString();
}

QString ComDevicePath(qint16 n, const QString& settingsFolder) {
    // The line puts the \\.\ in front when it opens the port.
    return ComDeviceName(n, settingsFolder);
}

QString DevicePathOf(const QString& device) {
    const QString given = device.trimmed();
    static const QRegularExpression com(QStringLiteral(R"(^(?:\\\\\.\\)?(COM[0-9]+)$)"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto match = com.match(given);
    if (match.hasMatch()) return match.captured(1).toUpper();
    return given;
}

bool PortLinksNameDevices() {
    return false;
}

QString PortNumberingAdvice() {
    return QStringLiteral(
        "see which COM number Windows gave it in Device Manager, under Ports (COM & LPT).");
}

}  // namespace tavrin
