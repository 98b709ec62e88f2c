// The settings-file reader on arbitrary file contents, in a temporary folder.
// Afterwards the file on disk is either untouched or exactly the default
// file, and the port, speed and network address in memory are the ones the
// file on disk gives.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "config/INI_Handler.h"
#include "convert/Extras.h"
#include "core/Defines.h"
#include "serial/NetworkAddress.h"

using namespace tavrin;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

QByteArray slurp(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

// The reader replaces files durably (with a flush to disk), which on a real
// disk limits the fuzzer to a few hundred runs a second; memory is enough.
QString scratchTemplate() {
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        return QStringLiteral("/dev/shm/tavrin-fuzz-XXXXXX");
    return QDir::temp().filePath(QStringLiteral("tavrin-fuzz-XXXXXX"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input is the file, and the committed seeds (fuzz/corpus/ini)
    // are files: an input of another kind would change what every seed
    // means, and goes to a target, and a corpus, of its own.
    static QTemporaryDir folder(scratchTemplate());
    require(folder.isValid());
    const QString path = QDir(folder.path()).filePath(QLatin1String(kIniFileName));
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile f(path);
        require(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(f.write(input) == input.size());
    }

    Defines d;
    d.IniFilePath = path;
    QString panel;
    try {
        const bool saved = ReadIniFile(d, [&panel](const QString& text) { panel = text; });
        require(saved);
    } catch (const ConversionOverflow&) {
        return 0;
    }

    require(panel == StatusText(d));
    const QByteArray disk = slurp(path);
    const QByteArray defaults = IniFileContent(1, QStringLiteral("9600"));
    require(disk == input || disk == defaults);
    if (disk == defaults && disk != input) {
        require(d.ComPort == 1 && d.ComSpeed == QLatin1String("9600") && d.Network.isEmpty());
    } else {
        // Read as a fresh program would read it, the same settings come out.
        qint16 port = 0;
        QString speed;
        QString network;
        require(ParseIniContent(disk, &port, &speed, &network));
        require(port == d.ComPort && speed == d.ComSpeed && network == d.Network);
        const std::optional<NetworkAddress> address = ParseNetworkAddress(network);
        require(network.isEmpty() || (address && address->text() == network));
        // What was read can be written and read back unchanged (a file that
        // never mentions the speed leaves it empty, which is not a number).
        if (speed.isEmpty()) return 0;
        const QByteArray threeLines = IniFileContent(port, speed);
        const QByteArray written = IniFileContent(port, speed, address);
        // The three lines come first as ever, and a reader of three-line
        // files skips what follows them: it holds no key word.
        require(written.startsWith(threeLines));
        const QByteArray rest = written.sliced(threeLines.size()).toLower();
        require(!rest.contains("comport") && !rest.contains("comspeed"));
        qint16 port2 = 0;
        QString speed2;
        QString network2;
        require(ParseIniContent(written, &port2, &speed2, &network2));
        require(port2 == port && speed2 == speed && network2 == network);
    }
    return 0;
}
