// The settings-file reader on arbitrary file contents, in a temporary folder.
// Afterwards the file on disk is either untouched or exactly the default
// file, and the port and speed in memory are the ones the file on disk gives.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

#include "config/INI_Handler.h"
#include "convert/Extras.h"
#include "core/Defines.h"

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
        require(d.ComPort == 1 && d.ComSpeed == QLatin1String("9600"));
    } else {
        // Read as a fresh program would read it, the same settings come out.
        qint16 port = 0;
        QString speed;
        require(ParseIniContent(disk, &port, &speed));
        require(port == d.ComPort && speed == d.ComSpeed);
        // What was read can be written and read back unchanged (a file that
        // never mentions the speed leaves it empty, which is not a number).
        if (speed.isEmpty()) return 0;
        qint16 port2 = 0;
        QString speed2;
        require(ParseIniContent(IniFileContent(port, speed), &port2, &speed2));
        require(port2 == port && speed2 == speed);
    }
    return 0;
}
