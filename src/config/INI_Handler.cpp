#include "config/INI_Handler.h"

#include "Version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QTemporaryFile>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "runtime/Host.h"

namespace tavrin {

namespace {

constexpr char kDefaultSpeed[] = "9600";
constexpr qint16 kDefaultPort = 1;
// Compared with the line in lower case.
constexpr QByteArrayView kNetworkKey("network=");
// Beyond this many integer digits no double can hold the number.
constexpr std::size_t kMaxIntegerDigits = std::numeric_limits<double>::max_exponent10 + 1;

// Splits at CR LF, at a CR alone and at a LF alone; a last line without an
// end marker still counts, an end marker at the very end adds no empty line.
QList<QByteArray> SplitLines(const QByteArray& content) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content.at(i);
        if (c != '\r' && c != '\n') continue;
        lines.append(content.mid(start, i - start));
        if (c == '\r' && i + 1 < n && content.at(i + 1) == '\n') ++i;
        start = i + 1;
    }
    if (start < n) lines.append(content.mid(start));
    return lines;
}

// Reads the whole file in one open-read-close; false when it cannot be opened
// or read, or when it is too large to be a settings file.
bool ReadSmallFile(const QString& path, QByteArray* content) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    *content = file.read(kIniMaxFileBytes + 1);
    const bool readFailed = file.error() != QFileDevice::NoError;
    file.close();
    return !readFailed && content->size() <= kIniMaxFileBytes;
}

// Writes a new file beside the old one and renames it over the old one, so a
// crash or a full disk never leaves a half-written settings file behind.
bool ReplaceFile(const QString& path, const QByteArray& content, QString* reason) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *reason = file.errorString();
        return false;
    }
    // QSaveFile commits a short write (a full disk, a file size limit) as if
    // all were well, so the write is flushed and checked before the commit.
    if (file.write(content) != content.size() || !file.flush() ||
        file.error() != QFileDevice::NoError) {
        // After a short write Qt has no system error text to offer.
        *reason = QStringLiteral(
            "The new content could not be written completely; the disk may be "
            "full.");
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *reason = file.errorString();
        return false;
    }
    return true;
}

bool FolderIsWritable(const QString& folder) {
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) return false;
    // Only an actual attempt tells the truth about read-only mounts, ACLs and
    // the like; the probe file is removed again at once.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".tavrin-probe-XXXXXX")));
    return probe.open();
}

// An existing settings file in any letter case, so that start-up and Setup
// reach one single file on a file system that tells letter case apart.
QString IniPathIn(const QString& folder) {
    const QDir dir(folder);
    const QString wanted = QString::fromLatin1(kIniFileName);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    if (names.contains(wanted)) return dir.filePath(wanted);
    for (const QString& name : names) {
        if (name.compare(wanted, Qt::CaseInsensitive) == 0) return dir.filePath(name);
    }
    return dir.filePath(wanted);
}

// An installed copy keeps its settings per user, even when the one running
// it could write to the system's program folder (root, for instance).
bool IsInstalledLocation(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    for (const QString& system : {QString::fromUtf8(version::kInstallBinDir),
                                  QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")}) {
        if (!canonical.isEmpty() && canonical == QFileInfo(system).canonicalFilePath()) return true;
    }
    return false;
}

QString IniFolder(Host& host) {
    const QString program = host.programFolder();
    if (!IsInstalledLocation(program) && FolderIsWritable(program)) return program;
    const QString user = host.userConfigFolder();
    // A failure here shows up as a failed write, which is reported there.
    QDir().mkpath(user);
    return user;
}

void ShowStatus(const Defines& d, const PanelSetter& setPanel3) {
    if (setPanel3) setPanel3(StatusText(d));
}

// The file for d; nullopt when d.Network is set but holds no address.
std::optional<QByteArray> ContentFor(const Defines& d) {
    if (d.Network.isEmpty()) return IniFileContent(d.ComPort, d.ComSpeed);
    const std::optional<NetworkAddress> address = ParseNetworkAddress(d.Network);
    if (!address) return std::nullopt;
    return IniFileContent(d.ComPort, d.ComSpeed, address);
}

}  // namespace

QString StatusText(const Defines& d) {
    if (!d.Network.isEmpty()) {
        const std::optional<NetworkAddress> address = ParseNetworkAddress(d.Network);
        return QStringLiteral("Wi-Fi ") + (address ? address->text() : d.Network);
    }
    return QStringLiteral("COM ") + QString::number(d.ComPort) + QStringLiteral(" / ") + d.ComSpeed;
}

double IniNumber(const QString& text, bool* ok) {
    if (ok) *ok = true;
    bool negative = false;
    bool seenSign = false;
    bool seenDigit = false;
    bool seenPoint = false;
    std::string integerDigits;
    std::string fractionDigits;
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c == u' ' || c == u'\t' || c == u'\n') continue;
        if (c >= u'0' && c <= u'9') {
            (seenPoint ? fractionDigits : integerDigits).push_back(static_cast<char>(c));
            seenDigit = true;
        } else if ((c == u'+' || c == u'-') && !seenSign && !seenDigit && !seenPoint) {
            seenSign = true;
            negative = c == u'-';
        } else if (c == u'.' && !seenPoint) {
            seenPoint = true;
        } else {
            break;
        }
    }

    integerDigits.erase(0, integerDigits.find_first_not_of('0'));
    const std::size_t lastNonZero = fractionDigits.find_last_not_of('0');
    fractionDigits.erase(lastNonZero == std::string::npos ? 0 : lastNonZero + 1);
    if (integerDigits.empty() && fractionDigits.empty()) return 0.0;  // also turns -0 into 0

    const double largest = std::numeric_limits<double>::max();
    const auto overflow = [&] {
        if (ok) *ok = false;
        return negative ? -largest : largest;
    };
    if (integerDigits.size() > kMaxIntegerDigits) return overflow();

    std::string number = negative ? "-" : "";
    number += integerDigits.empty() ? "0" : integerDigits;
    if (!fractionDigits.empty()) number += "." + fractionDigits;
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // With integer digits the number is at least 1, so it overflowed;
        // without, it is too close to zero to matter.
        return integerDigits.empty() ? 0.0 : overflow();
    }
    if (result.ec != std::errc() || !std::isfinite(value)) return 0.0;
    return value;
}

bool IniPortNumber(const QString& text, qint16* port) {
    bool ok = false;
    const double value = IniNumber(text, &ok);
    // Range first, so the conversion to an integer below is always defined.
    if (!ok || !std::isfinite(value) || value < -32768.5 || value > 32767.5) return false;
    const double below = std::floor(value);
    const double rest = value - below;
    double rounded = below;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(below, 2.0) != 0.0)) rounded = below + 1.0;
    if (rounded < -32768.0 || rounded > 32767.0) return false;
    *port = static_cast<qint16>(rounded);
    return true;
}

QString IniSpeedText(double value) {
    if (value == 0.0 || !std::isfinite(value)) return QStringLiteral("0");
    return QString::number(value, 'f', QLocale::FloatingPointShortest);
}

QByteArray IniFileContent(qint16 comPort, const QString& comSpeed,
                          const std::optional<NetworkAddress>& network) {
    QByteArray content(kIniHeader);
    content += "\r\nComPort=COM" + QByteArray::number(comPort);
    content += "\r\nComSpeed=" + comSpeed.toLatin1() + "\r\n";
    if (network) content += "Network=" + network->text().toLatin1() + "\r\n";
    return content;
}

bool ParseIniContent(const QByteArray& content, qint16* comPort, QString* comSpeed,
                     QString* network) {
    const QList<QByteArray> lines = SplitLines(content);
    if (lines.isEmpty() || lines.first() != kIniHeader) return false;

    qint16 port = *comPort;
    QString speed = *comSpeed;
    QString address;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const QByteArray lower = line.toLower();
        // The values sit at fixed positions, right after "ComPort=COM" and
        // "ComSpeed=" in a written file, whatever the line holds there.
        if (lower.contains("comport")) {
            if (line.size() < 11) return false;
            if (!IniPortNumber(QString::fromLatin1(line.mid(11)), &port)) return false;
        }
        if (lower.contains("comspeed")) {
            if (line.size() < 9) return false;
            bool ok = false;
            const double value = IniNumber(QString::fromLatin1(line.mid(9)), &ok);
            if (!ok) return false;
            speed = IniSpeedText(value);
        }
        // A line that holds no address is skipped, as a reader of three-line
        // files skips it: the serial port is used then.
        if (lower.startsWith(kNetworkKey)) {
            const QString text = QString::fromLatin1(line.sliced(kNetworkKey.size()));
            if (const std::optional<NetworkAddress> parsed = ParseNetworkAddress(text))
                address = parsed->text();
        }
    }
    *comPort = port;
    *comSpeed = speed;
    if (network) *network = address;
    return true;
}

QString StartupIniFilePath(Host& host) {
    return IniPathIn(IniFolder(host));
}

QString SetupIniFilePath(Host& host) {
    // "QUILLET.ini" and "QUILLET.INI" are one file.
    return StartupIniFilePath(host);
}

bool LoadIniFile(Defines& d) {
    QByteArray content;
    return ReadSmallFile(d.IniFilePath, &content) &&
           ParseIniContent(content, &d.ComPort, &d.ComSpeed, &d.Network);
}

bool ReadIniFile(Defines& d, const PanelSetter& setPanel3, QString* error) {
    if (LoadIniFile(d)) {
        ShowStatus(d, setPanel3);
        return true;
    }

    // Missing or unusable: start afresh with the defaults.
    d.ComPort = kDefaultPort;
    d.ComSpeed = QString::fromLatin1(kDefaultSpeed);
    d.Network.clear();
    QString reason;
    const bool written = ReplaceFile(d.IniFilePath, IniFileContent(d.ComPort, d.ComSpeed), &reason);
    ShowStatus(d, setPanel3);
    if (!written && error) {
        *error = QStringLiteral(
                     "The settings file could not be created:\n%1\n\n%2\n\n"
                     "COM1 at 9600 bits per second is used until settings are saved.")
                     .arg(QDir::toNativeSeparators(d.IniFilePath), reason);
    }
    return written;
}

bool WriteIniFile(const Defines& d, const PanelSetter& setPanel3, QString* error) {
    QString reason;
    bool written = false;
    if (const std::optional<QByteArray> content = ContentFor(d)) {
        written = ReplaceFile(d.IniFilePath, *content, &reason);
    } else {
        reason =
            QStringLiteral("\"%1\" is not a network address of the form HOST:PORT.").arg(d.Network);
    }
    ShowStatus(d, setPanel3);
    if (!written && error) {
        *error = QStringLiteral(
                     "The settings could not be saved to:\n%1\n\n%2\n\n"
                     "The file was left as it was.")
                     .arg(QDir::toNativeSeparators(d.IniFilePath), reason);
    }
    return written;
}

}  // namespace tavrin
