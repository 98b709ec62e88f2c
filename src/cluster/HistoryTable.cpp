#include "cluster/HistoryTable.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <optional>

#include "cluster/WriteHistory.h"

namespace tavrin {

namespace {

// The columns WriteHistory writes, by position.
enum Column { Time, Port, Speed, PartNumber, Model, Step, Record, Request, Outcome, kColumns };

// A quoted field may carry line ends; a damaged line with a stray quote must
// not swallow more than a few of the lines after it.
constexpr int kMaxRecordLines = 4;

const QString kUnknown = QStringLiteral("?");

// Control and formatting characters would move a terminal's cursor or turn
// the text around; a hand-edited file may hold any of them.
QString visible(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char('?');
    }
    return text;
}

// Police mode is bit 2 of the record's first byte.
QString policeMode(const QString& record) {
    static const QRegularExpression hex(QStringLiteral("^(?:[0-9A-Fa-f]{2})+$"));
    if (!hex.match(record).hasMatch()) return kUnknown;
    return (record.left(2).toInt(nullptr, 16) & 0x04) ? QStringLiteral("ON")
                                                      : QStringLiteral("OFF");
}

QString displayTime(const QString& text) {
    // Shown in the offset it was written with: the time the user saw then.
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) return visible(text);
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString displayCluster(const QString& partNumber, const QString& model) {
    QStringList parts;
    if (!partNumber.isEmpty()) parts << partNumber;
    if (!model.isEmpty()) parts << model;
    return visible(parts.join(QStringLiteral(", ")));
}

QString displayOutcome(const QString& outcome) {
    return outcome.isEmpty() ? QStringLiteral("no outcome recorded") : visible(outcome);
}

// The CSV record that starts on lines[first], RFC 4180: fields split at
// commas, a quoted field may hold commas, doubled quotes and line ends. The
// number of lines it takes, or 0 when its quotes are out of place.
int parseRecord(const QStringList& lines, int first, QStringList* fields) {
    fields->clear();
    QString field;
    bool inQuotes = false;
    bool closed = false;  // a quoted field ended; only a comma may follow
    for (int n = 0; n < kMaxRecordLines && first + n < lines.size(); ++n) {
        const QString& line = lines[first + n];
        if (n > 0) field += QStringLiteral("\r\n");
        qsizetype fieldStart = 0;
        for (qsizetype k = 0; k < line.size(); ++k) {
            const QChar c = line[k];
            if (inQuotes) {
                if (c != QLatin1Char('"')) {
                    field += c;
                } else if (k + 1 < line.size() && line[k + 1] == QLatin1Char('"')) {
                    field += c;
                    ++k;
                } else {
                    inQuotes = false;
                    closed = true;
                }
            } else if (c == QLatin1Char(',')) {
                *fields << field;
                field.clear();
                closed = false;
                fieldStart = k + 1;
            } else if (closed) {
                return 0;
            } else if (c == QLatin1Char('"')) {
                if (k != fieldStart) return 0;
                inQuotes = true;
            } else {
                field += c;
            }
        }
        if (!inQuotes) {
            *fields << field;
            return n + 1;
        }
    }
    return 0;
}

HistoryRow unreadableRow(int line, const QString& place, const QString& problem) {
    HistoryRow row;
    row.unreadable = true;
    row.outcome = QStringLiteral("Line %1%2 cannot be read: %3.").arg(line).arg(place, problem);
    return row;
}

QString capText(qint64 cap) {
    return QLocale::c().formattedDataSize(cap, 0);
}

// The file's lines, at most its newest cap bytes of them, without their line
// ends; nothing when it could not be read, and table says why (or that only
// the newest part was read).
std::optional<QStringList> readLines(const QString& path, qint64 cap, HistoryTable* table) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        table->error = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes;
    if (!file.isSequential() && file.size() > cap) {
        // The newest part, from the first line that starts in it: one byte
        // more tells whether the cut falls on a line's start.
        table->note =
            QStringLiteral("Only the newest %1 of the file were read; older changes are not shown.")
                .arg(capText(cap));
        file.seek(file.size() - cap - 1);
        bytes = file.read(cap + 1);
        bytes.remove(0, bytes.indexOf('\n') + 1);
    } else {
        bytes = file.read(cap);
    }
    if (file.error() != QFileDevice::NoError) {
        table->error = file.errorString();
        return std::nullopt;
    }

    QString text = QString::fromUtf8(bytes);
    // Saved again by a spreadsheet, it may start with a byte order mark.
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.last().isEmpty()) lines.removeLast();
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    }
    return lines;
}

// What makes a record no line of ours: its quotes (taken 0), its number of
// fields, or its step; empty for a line WriteHistory could have written.
QString recordProblem(int taken, const QStringList& fields) {
    if (taken == 0) return QStringLiteral("its quotes are out of place");
    if (fields.size() != kColumns) {
        return (fields.size() == 1 ? QStringLiteral("1 field")
                                   : QStringLiteral("%1 fields").arg(fields.size())) +
               QStringLiteral(" instead of %1").arg(kColumns);
    }
    if (fields[Step] != QLatin1String("before") && fields[Step] != QLatin1String("after") &&
        fields != WriteHistory::columns()) {
        return QStringLiteral("its step is \u201C%1\u201D, not before or after")
            .arg(visible(fields[Step].left(20)));
    }
    return {};
}

}  // namespace

QString HistoryRow::policeMode() const {
    if (unreadable) return {};
    return before + QStringLiteral(" \u2192 ") + after;
}

HistoryTable ReadHistoryTable(const QString& path, qint64 cap) {
    HistoryTable table;
    // Nothing written yet, which is no fault.
    if (!QFileInfo::exists(path)) return table;
    const std::optional<QStringList> read = readLines(path, cap, &table);
    if (!read) return table;
    const QStringList& lines = *read;
    // Line numbers count from the file's start only when it was read whole.
    const QString place =
        !table.note.isEmpty() ? QStringLiteral(" of the newest %1").arg(capText(cap)) : QString();

    std::vector<HistoryRow> rows;  // oldest first, as in the file
    // A "before" line waits for the "after" line of the same request, which
    // follows it directly unless the program stopped in between.
    std::optional<HistoryRow> pending;
    QString pendingRequest;
    const auto flush = [&] {
        if (pending) rows.push_back(*pending);
        pending.reset();
    };
    QStringList fields;
    for (int i = 0; i < lines.size();) {
        if (lines[i].isEmpty()) {
            ++i;
            continue;
        }
        const int taken = parseRecord(lines, i, &fields);
        const QString problem = recordProblem(taken, fields);
        if (!problem.isEmpty()) {
            flush();
            rows.push_back(unreadableRow(i + 1, place, problem));
            ++i;
            continue;
        }
        i += taken;
        if (fields == WriteHistory::columns()) continue;  // the header line

        HistoryRow row;
        row.time = displayTime(fields[Time]);
        row.port = visible(fields[Port]);
        row.cluster = displayCluster(fields[PartNumber], fields[Model]);
        if (fields[Step] == QLatin1String("before")) {
            flush();
            row.before = policeMode(fields[Record]);
            row.after = kUnknown;
            row.outcome = displayOutcome({});
            pending = row;
            pendingRequest = fields[Request];
        } else if (pending && pendingRequest == fields[Request]) {
            pending->after = policeMode(fields[Record]);
            pending->outcome = displayOutcome(fields[Outcome]);
            flush();
        } else {
            // Its "before" line is damaged or was not read.
            flush();
            row.before = kUnknown;
            row.after = policeMode(fields[Record]);
            row.outcome = displayOutcome(fields[Outcome]);
            rows.push_back(row);
        }
    }
    flush();
    table.rows.assign(rows.rbegin(), rows.rend());
    return table;
}

QStringList HistoryColumns() {
    return {QStringLiteral("Time"), QStringLiteral("Port"), QStringLiteral("Cluster"),
            QStringLiteral("Police mode"), QStringLiteral("Outcome")};
}

QStringList HistoryCells(const HistoryRow& row) {
    if (row.unreadable) return {row.outcome};
    return {row.time, row.port, row.cluster, row.policeMode(), row.outcome};
}

QString HistoryTableText(const HistoryTable& table, const QString& path) {
    const QString where = QDir::toNativeSeparators(path);
    if (!table.error.isEmpty())
        return QStringLiteral("%1 could not be read: %2\n").arg(where, table.error);
    if (table.rows.empty()) return QStringLiteral("No changes recorded in %1.\n").arg(where);

    std::vector<QStringList> lines{HistoryColumns()};
    for (const HistoryRow& row : table.rows) lines.push_back(HistoryCells(row));
    // An unreadable line's note runs across the columns and sets no width.
    std::vector<qsizetype> widths(HistoryColumns().size(), 0);
    for (const QStringList& cells : lines) {
        if (cells.size() != qsizetype(widths.size())) continue;
        for (qsizetype c = 0; c < cells.size(); ++c) widths[c] = qMax(widths[c], cells[c].size());
    }
    QString out;
    for (const QStringList& cells : lines) {
        QString line;
        for (qsizetype c = 0; c < cells.size(); ++c) {
            if (c > 0) line += QStringLiteral("  ");
            line += c + 1 < cells.size() ? cells[c].leftJustified(widths[c]) : cells[c];
        }
        out += line + QLatin1Char('\n');
    }
    if (!table.note.isEmpty()) out += table.note + QLatin1Char('\n');
    return out;
}

QString HistoryTableText(const QString& path) {
    return HistoryTableText(ReadHistoryTable(path), path);
}

}  // namespace tavrin
