#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <vector>

namespace tavrin {

// One write to the cluster as history.csv tells it, for people rather than
// spreadsheets: its "before" and "after" lines joined into one row.
struct HistoryRow {
    QString time;     // "2026-12-07 14:03:11", in the offset it was written with
    QString port;     // "COM3"
    QString cluster;  // "3R23-123-FB, BA Fairmont Ghia"
    QString before;   // police mode: "ON", "OFF", or "?" when the record does not say
    QString after;
    QString outcome;  // as recorded; for an unreadable line, what is wrong with it
    bool unreadable = false;

    // "OFF → ON"; empty for an unreadable line.
    QString policeMode() const;
};

struct HistoryTable {
    std::vector<HistoryRow> rows;  // newest first
    // Why the file could not be read at all; empty for a missing file,
    // which only means nothing was ever written.
    QString error;
    // Set when older lines were left unread, the file being larger than the
    // cap: a sentence saying so.
    QString note;
};

// More than years of changes; a larger file is damaged or not ours, and the
// window must not wait for it.
constexpr qint64 kHistoryReadCap = 4 * 1024 * 1024;

// Reads the write history at path, at most its last cap bytes. Only reads:
// the file is opened read-only and never created.
HistoryTable ReadHistoryTable(const QString& path, qint64 cap = kHistoryReadCap);

// Column titles, as both the window and the terminal show them.
QStringList HistoryColumns();
// The cells of a row in the order of HistoryColumns().
QStringList HistoryCells(const HistoryRow& row);

// The table for a terminal: a header line and one aligned line per row, or a
// line saying there is nothing to show or why the file could not be read.
QString HistoryTableText(const HistoryTable& table, const QString& path);
QString HistoryTableText(const QString& path);

}  // namespace tavrin
