#include "cluster/WriteHistory.h"

#include <QFile>

#include "platform/System.h"

namespace tavrin {

namespace {

// RFC 4180: a field with a comma, a quote or a line end is quoted, and its
// quotes doubled; a spreadsheet then reads every field back as it was.
QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString isoTime(const QDateTime& time) {
    // The offset is written even for UTC, so lines from a laptop that moved
    // between time zones still sort and compare.
    QDateTime local = time.toLocalTime();
    local.setOffsetFromUtc(local.offsetFromUtc());
    QString text = local.toString(Qt::ISODateWithMs);
    if (text.endsWith(QLatin1Char('Z'))) {
        text.chop(1);
        text += QStringLiteral("+00:00");
    }
    return text;
}

}  // namespace

const QStringList& WriteHistory::columns() {
    static const QStringList names = {"time", "port",   "speed",   "part_number", "model",
                                      "step", "record", "request", "outcome"};
    return names;
}

QString WriteHistory::header() {
    return columns().join(QLatin1Char(','));
}

QString WriteHistory::format(const Line& line) {
    const QStringList fields = {isoTime(line.time), line.port,    line.speed,
                                line.partNumber,    line.model,   line.step,
                                line.record,        line.request, line.outcome};
    QStringList out;
    for (const QString& f : fields) out << csvField(f);
    return out.join(QLatin1Char(','));
}

bool WriteHistory::append(const Line& line, QString* error) const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        if (error) *error = file.errorString();
        return false;
    }
    QByteArray bytes;
    const qint64 size = file.size();
    if (size == 0) {
        bytes += header().toUtf8() + "\r\n";
    } else {
        // A line cut short by a crash must not swallow the next one.
        file.seek(size - 1);
        char last = 0;
        if (file.getChar(&last) && last != '\n') bytes += "\r\n";
        file.seek(size);
    }
    bytes += format(line).toUtf8() + "\r\n";
    // On the disk, not only in the system's cache: the next step may be the
    // one that loses power.
    bool ok = file.write(bytes) == bytes.size();
    if (sync_) {
        ok = ok && sync_(file);
    } else {
        ok = ok && SyncToDisk(file);
    }
    if (!ok && error) {
        *error = file.error() != QFileDevice::NoError
                     ? file.errorString()
                     : QStringLiteral(
                           "The line could not be written completely; the disk may "
                           "be full.");
    }
    file.close();
    return ok;
}

}  // namespace tavrin
