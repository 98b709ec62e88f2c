#include "runtime/Host.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "platform/Ports.h"
#include "platform/SerialDevice.h"
#include "platform/System.h"
#include "runtime/NetLine.h"
#include "runtime/OffThread.h"
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

namespace {

// The system's serial devices, opened and probed off the window's thread.
class SystemDevices : public Devices {
public:
    AdapterLine* createLine(QObject* parent) override { return new SerialLine(parent); }
    QList<PortInfo> knownPorts() const override { return KnownPorts(); }
    bool listed(const QString& path) const override { return PortListed(path); }
    QCoro::Task<ProbeResult> probe(QString path, Clock& clock, int limitMs, Stop stop) override {
        // Named first: GCC 12 destroys a lambda made inside a co_await's
        // operands twice.
        std::function<ProbeResult()> probe = [path] { return SerialDevice::Probe(path); };
        std::function<void(ProbeResult)> late = [](ProbeResult) {};
        const std::optional<ProbeResult> probed = co_await RunOffThread<ProbeResult>(
            clock, limitMs, stop, std::move(probe), {}, std::move(late));
        co_return probed.value_or(ProbeResult::NoAnswer);
    }
};

}  // namespace

Devices& Host::systemDevices() {
    static SystemDevices devices;
    return devices;
}

AdapterLine* Host::createLine(QObject* parent) {
    AdapterLine* line = devices().createLine(parent);
    // A real serial line's writes have the limit in use.
    if (auto* serial = qobject_cast<SerialLine*>(line)) serial->setWriteLimit(limits.writeMs);
    return line;
}

NetLine* Host::createNetLine(QObject* parent) {
    return new NetLine(parent);
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
