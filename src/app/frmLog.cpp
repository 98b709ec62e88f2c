#include "app/frmLog.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "Version.h"
#include "cluster/HistoryTable.h"
#include "core/Defines.h"
#include "runtime/AdapterLog.h"
#include "runtime/Host.h"
#include "serial/AdapterFamily.h"
#include "serial/PortCheck.h"
#include "widgets/FitButton.h"

namespace tavrin {

QStringList AdapterLogHeader(const Defines& d, const Host& host, const QString& adapterName) {
    QString port;
    QString speed = QStringLiteral("Speed: %1 bit/s").arg(d.ComSpeed);
    if (!d.Network.isEmpty()) {
        port = QStringLiteral("Port: Wi-Fi adapter at %1").arg(d.Network);
        speed = QStringLiteral("Speed: does not apply over the network");
    } else {
        const QString name = QStringLiteral("COM%1").arg(d.ComPort);
        const QString device = ComDeviceName(d.ComPort, SettingsFolder(d, host));
        // Windows' own COM names need no second name.
        port = device == name
                   ? QStringLiteral("Port: ") + name
                   : QStringLiteral("Port: %1 (%2)")
                         .arg(name, device.isEmpty() ? QStringLiteral("no device") : device);
    }
    QStringList header = {
        QStringLiteral("%1 %2 adapter log")
            .arg(QLatin1String(version::kProductName), QLatin1String(version::kVersion)),
        QStringLiteral("Saved: %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate)), port,
        speed,
        QStringLiteral("Adapter: %1")
            .arg(adapterName.isEmpty() ? QStringLiteral("not identified") : adapterName)};
    const QString caution = AdapterCaution(adapterName);
    if (!caution.isEmpty()) header << QStringLiteral("Note: this adapter %1.").arg(caution);
    return header;
}

frmLog::frmLog(Host& host, Header header, HistoryPath historyPath)
    : QDialog(nullptr),
      host_(host),
      header_(std::move(header)),
      historyPath_(std::move(historyPath)),
      log_(&host.adapterLog()) {
    setObjectName(QStringLiteral("frmLog"));
    setWindowTitle(QStringLiteral("Log"));
    setWindowFlags(Qt::Window);
    // Outlives the main window if the user closes that first, and is rebuilt
    // from the log on each opening.
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    txtLog = new QPlainTextEdit(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    txtLog->setReadOnly(true);
    txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtLog->setMaximumBlockCount(int(AdapterLog::kMaxEntries));
    txtLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    cmdSave = new FitButton(QStringLiteral("&Save\u2026"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdClear = new FitButton(QStringLiteral("C&lear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClose = new FitButton(QStringLiteral("&Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setDefault(true);

    // Save and Clear act on the adapter log, so they are on its tab; Close
    // serves both.
    auto* logPage = new QWidget;
    auto* logButtons = new QHBoxLayout;
    logButtons->addWidget(cmdSave);
    logButtons->addWidget(cmdClear);
    logButtons->addStretch(1);
    auto* logLayout = new QVBoxLayout(logPage);
    logLayout->addWidget(txtLog, 1);
    logLayout->addLayout(logButtons);

    changesPage_ = new QWidget;
    lblChanges = new QLabel(changesPage_);
    lblChanges->setObjectName(QStringLiteral("lblChanges"));
    lblChanges->setTextFormat(Qt::PlainText);  // a path may hold "<"
    lblChanges->setWordWrap(true);
    lblChanges->setTextInteractionFlags(Qt::TextSelectableByMouse);
    tblChanges = new QTableWidget(0, int(HistoryColumns().size()), changesPage_);
    tblChanges->setObjectName(QStringLiteral("tblChanges"));
    tblChanges->setAccessibleName(QStringLiteral("Changes"));
    tblChanges->setHorizontalHeaderLabels(HistoryColumns());
    tblChanges->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblChanges->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblChanges->setWordWrap(false);
    tblChanges->verticalHeader()->hide();
    tblChanges->horizontalHeader()->setStretchLastSection(true);
    auto* changesLayout = new QVBoxLayout(changesPage_);
    changesLayout->addWidget(lblChanges);
    changesLayout->addWidget(tblChanges, 1);

    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));
    tabs->addTab(logPage, QStringLiteral("&Adapter Log"));
    tabs->addTab(changesPage_, QStringLiteral("C&hanges"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addLayout(buttons);
    resize(720, 400);

    connect(cmdSave, &QPushButton::clicked, this, &frmLog::cmdSave_Click);
    connect(cmdClear, &QPushButton::clicked, this, &frmLog::cmdClear_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);

    txtLog->setPlainText(log_->lines().join(QLatin1Char('\n')));
    txtLog->verticalScrollBar()->setValue(txtLog->verticalScrollBar()->maximum());
    connect(log_, &AdapterLog::recorded, this, &frmLog::showEntry);
    connect(log_, &AdapterLog::cleared, txtLog, &QPlainTextEdit::clear);
    connect(tabs, &QTabWidget::currentChanged, this, [this] {
        if (tabs->currentWidget() == changesPage_) refreshChanges();
    });
}

void frmLog::changeEvent(QEvent* event) {
    // Back from the main window after a change, the tab shows it.
    if (tabs && event->type() == QEvent::ActivationChange && isActiveWindow() &&
        tabs->currentWidget() == changesPage_)
        refreshChanges();
    QDialog::changeEvent(event);
}

void frmLog::refreshChanges() {
    const QString path = historyPath_ ? historyPath_() : QString();
    const HistoryTable table = path.isEmpty() ? HistoryTable{} : ReadHistoryTable(path);
    const QString where = QDir::toNativeSeparators(path);
    if (!table.error.isEmpty()) {
        lblChanges->setText(
            QStringLiteral("The write history %1 could not be read: %2").arg(where, table.error));
    } else if (table.rows.empty()) {
        lblChanges->setText(path.isEmpty()
                                ? QStringLiteral("No changes recorded.")
                                : QStringLiteral("No changes recorded in %1.").arg(where));
    } else {
        QString text = QStringLiteral("Changes recorded in %1, newest first.").arg(where);
        if (!table.note.isEmpty()) text += QLatin1Char(' ') + table.note;
        lblChanges->setText(text);
    }

    tblChanges->clearContents();
    tblChanges->clearSpans();
    tblChanges->setRowCount(int(table.rows.size()));
    for (int r = 0; r < int(table.rows.size()); ++r) {
        const QStringList cells = HistoryCells(table.rows[size_t(r)]);
        for (int c = 0; c < int(cells.size()); ++c)
            tblChanges->setItem(r, c, new QTableWidgetItem(cells[c]));
        // An unreadable line's note runs across the row.
        if (cells.size() == 1) tblChanges->setSpan(r, 0, 1, tblChanges->columnCount());
    }
    tblChanges->resizeColumnsToContents();
}

void frmLog::showEntry(const AdapterLog::Entry& entry) {
    // Follow new lines only while the user is looking at the newest ones.
    QScrollBar* bar = txtLog->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum() - 2;
    const int keep = bar->value();
    if (log_->lastContinues() && !txtLog->document()->isEmpty()) {
        // A further piece of the answer on the last line.
        QTextCursor cursor(txtLog->document());
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(log_->lastLine());
    } else {
        txtLog->appendPlainText(AdapterLog::format(entry));
    }
    bar->setValue(atEnd ? bar->maximum() : keep);
}

void frmLog::cmdClear_Click() {
    if (log_) log_->clear();
    txtLog->clear();
}

bool frmLog::saveTo(const QString& path, QString* error) const {
    QSaveFile file(path);
    const QStringList header = header_ ? header_() : QStringList();
    QByteArray text = header.isEmpty() ? QByteArray() : header.join('\n').toUtf8() + "\n\n";
    text += txtLog->toPlainText().toUtf8();
    if (!text.isEmpty()) text += '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush() ||
        !file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

void frmLog::cmdSave_Click() {
    const QString suggested = QDir::home().filePath(
        QStringLiteral("tavrin-adapter-log-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    const QString path = host_.askSaveFileName(this, QStringLiteral("Save Adapter Log"), suggested);
    if (path.isEmpty()) return;
    QString error;
    if (!saveTo(path, &error)) {
        host_.showMessage(this, Message{QStringLiteral("The log could not be saved as %1.")
                                            .arg(QDir::toNativeSeparators(path)),
                                        QStringLiteral("Log"), MessageIcon::Critical, error});
    }
}

}  // namespace tavrin
