#include "runtime/Host.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "platform/SerialDevice.h"
#include "platform/System.h"
#include "runtime/NetLine.h"
#include "runtime/SerialLine.h"

namespace tavrin {

QString Host::programFolder() const {
    // applicationFilePath() reads /proc/self/exe on Linux, which already has
    // links resolved; canonicalFilePath() covers the other platforms.
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    const QString canonical = exe.canonicalFilePath();
    return QFileInfo(canonical.isEmpty() ? exe.absoluteFilePath() : canonical).absolutePath();
}

QString Host::userConfigFolder() const {
    return UserConfigFolder();
}

AdapterLine* Host::createLine(QObject* parent) {
    auto* line = new SerialLine(parent);
    line->setWriteLimit(limits.writeMs);
    return line;
}

NetLine* Host::createNetLine(QObject* parent) {
    return new NetLine(parent);
}

ProbeResult Host::probeDevice(const QString& path) const {
    return SerialDevice::Probe(path);
}

bool Host::syncToDisk(QFileDevice& file) {
    return SyncToDisk(file);
}

namespace {
const char kAnswered[] = "tavrinAnswered";
}  // namespace

QList<QDialog*> Host::unansweredMessages(QWidget* parent) {
    QList<QDialog*> open;
    if (!parent) return open;
    for (QMessageBox* box :
         parent->findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!box->property(kAnswered).toBool()) open << box;
    }
    return open;
}

void Host::showMessage(QWidget* parent, const Message& message) {
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    switch (message.icon) {
        case MessageIcon::Critical:
            box->setIcon(QMessageBox::Critical);
            break;
        case MessageIcon::Warning:
            box->setIcon(QMessageBox::Warning);
            break;
        case MessageIcon::Information:
            box->setIcon(QMessageBox::Information);
            break;
    }
    box->setWindowTitle(message.title);
    box->setText(message.text);
    if (!message.detail.isEmpty()) box->setInformativeText(message.detail);
    box->setStandardButtons(QMessageBox::Ok);
    // Shown, not run: whatever the program is doing goes on while the box is
    // up. A box still waiting its turn for the same window goes first.
    QObject::connect(box, &QDialog::finished, box, [box] { box->setProperty(kAnswered, true); });
    QDialog* before = nullptr;
    for (QDialog* other : unansweredMessages(parent)) {
        if (other != box) before = other;
    }
    if (before) {
        QObject::connect(before, &QDialog::finished, box, &QDialog::open);
    } else {
        box->open();
    }
}

QString Host::askSaveFileName(QWidget* parent, const QString& caption,
                              const QString& suggestedPath) {
    return QFileDialog::getSaveFileName(parent, caption, suggestedPath);
}

}  // namespace tavrin
