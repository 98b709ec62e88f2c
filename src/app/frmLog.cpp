#include "app/frmLog.h"

#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "platform/AdapterLog.h"
#include "platform/Host.h"

namespace tavrin {

frmLog::frmLog(Host& host, Header header)
    : QDialog(nullptr), host_(host), header_(std::move(header)), log_(&host.adapterLog()) {
    setObjectName(QStringLiteral("frmLog"));
    setWindowTitle(QStringLiteral("Adapter Log"));
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

    cmdSave = new QPushButton(QStringLiteral("&Save\u2026"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdClear = new QPushButton(QStringLiteral("C&lear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClose = new QPushButton(QStringLiteral("&Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdClear);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtLog, 1);
    layout->addLayout(buttons);
    resize(640, 360);

    connect(cmdSave, &QPushButton::clicked, this, &frmLog::cmdSave_Click);
    connect(cmdClear, &QPushButton::clicked, this, &frmLog::cmdClear_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);

    txtLog->setPlainText(log_->lines().join(QLatin1Char('\n')));
    txtLog->verticalScrollBar()->setValue(txtLog->verticalScrollBar()->maximum());
    connect(log_, &AdapterLog::recorded, this, &frmLog::showEntry);
    connect(log_, &AdapterLog::cleared, txtLog, &QPlainTextEdit::clear);
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
