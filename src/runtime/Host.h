#pragma once

#include <QString>

#include "core/Message.h"
#include "core/TimeLimits.h"
#include "runtime/AdapterLine.h"
#include "runtime/AdapterLog.h"
#include "runtime/Clock.h"
#include "runtime/Devices.h"

class QFileDevice;
class QObject;
class QWidget;
class QDialog;

namespace tavrin {

class NetLine;

// The runtime services the rest of the program asks of the machine: where the
// program lives, the clock, the serial lines, modal message boxes and the
// time limits. Tests substitute their own so they stay fast, run on virtual
// time against the simulated adapter, and never touch the machine's own files
// or wait for a person.
class Host {
public:
    virtual ~Host() = default;

    // Folder of the executable file itself, links resolved; never the working
    // directory.
    virtual QString programFolder() const;
    // Per-user configuration folder, used when the program folder cannot be
    // written (an installed copy).
    virtual QString userConfigFolder() const;
    // What every wait, pause and time limit is measured on.
    virtual Clock& clock() { return clock_; }
    // Where the serial lines lead: the system's devices unless lines in
    // memory were given (setDevices).
    Devices& devices() { return devices_ ? *devices_ : systemDevices(); }
    const Devices& devices() const { return devices_ ? *devices_ : systemDevices(); }
    void setDevices(Devices* devices) { devices_ = devices; }
    // A new, closed line to an adapter; parent owns it.
    AdapterLine* createLine(QObject* parent);
    // A new, unconnected line to a network (Wi-Fi) adapter; parent owns it.
    virtual NetLine* createNetLine(QObject* parent);
    // Whether the device a line would open could be opened right now, asked
    // off this thread and answered within limits.openMs (NoAnswer past it).
    QCoro::Task<ProbeResult> probeDevice(QString path, Stop stop = {}) {
        return devices().probe(std::move(path), clock(), limits.openMs, stop);
    }
    // Puts what was written to file on the disk itself, not only in the
    // system's cache; false when that failed.
    virtual bool syncToDisk(QFileDevice& file);
    // A message box with an OK button, shown without waiting for it: the
    // program goes on meanwhile. Messages for one window come one after
    // another, each once the one before it is closed.
    virtual void showMessage(QWidget* parent, const Message& message);
    // The message boxes shown for parent that have not been answered yet.
    static QList<QDialog*> unansweredMessages(QWidget* parent);
    // Asks where to save a file; empty when the user changes their mind.
    virtual QString askSaveFileName(QWidget* parent, const QString& caption,
                                    const QString& suggestedPath);

    // Every exchange with an adapter since the program started.
    AdapterLog& adapterLog() { return log_; }

    // Who the program's messages are for.
    Audience audience = Audience::Window;

    // The time limits of every conversation with an adapter.
    TimeLimits limits;

private:
    static Devices& systemDevices();

    AdapterLog log_;
    RealClock clock_;
    Devices* devices_ = nullptr;
};

}  // namespace tavrin
