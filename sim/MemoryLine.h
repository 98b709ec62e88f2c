#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "SimCore.h"
#include "runtime/AdapterLine.h"
#include "runtime/Clock.h"
#include "runtime/Devices.h"

namespace tavrin::sim {

class MemoryLine;
class MemoryPorts;

// The simulated adapter at the far end of a line in memory. Its device is a
// plain file, so the program's port numbering (ports/comN links, resolved)
// finds it as it finds a real device; only a MemoryLine can open it.
class MemoryAdapter : public SimCore {
    Q_OBJECT
public:
    MemoryAdapter(SimConfig config, Clock& clock, const QString& devicePath,
                  QObject* parent = nullptr);
    ~MemoryAdapter() override;

    // Makes the device appear again after stop(), as after power-up.
    bool start(QString* error = nullptr) override;
    bool isRunning() const override { return running_; }
    QString devicePath() const override { return device_; }
    // The speed the program's line was opened at; 0 while none is open.
    int lineSpeed() const override;
    // A program has the device open.
    bool inUse() const { return !line_.isNull(); }
    // How long an open (or a probe) of the device takes, as a Bluetooth
    // port's does while it dials its adapter; 0: at once.
    void setOpenDelay(int ms) { openDelayMs_ = ms; }
    int openDelay() const { return openDelayMs_; }
    // Opens the program gave up waiting for, each closed, untouched, once
    // it ended; and the bytes any of them carried (never any).
    int lateOpens() const { return lateOpens_; }
    // The Windows device instance ID the system lists the port with.
    QString instanceId;
    void discardUnread() override;

protected:
    // Bytes from the program: by default, to the adapter's command
    // interpreter.
    virtual void fromProgram(const QByteArray& bytes) { receive(bytes); }
    qint64 transmit(const QByteArray& bytes) override;
    void closeLine() override;

private:
    friend class MemoryLine;
    friend class MemoryPorts;

    // A late open ends after ms more: closed as soon as it is there.
    void endLateOpen(qint64 ms);

    QString device_;
    bool running_ = false;
    QPointer<MemoryLine> line_;
    int openDelayMs_ = 0;
    int lateOpens_ = 0;
    std::vector<std::unique_ptr<ClockTimer>> lateEnds_;
};

// Simulated adapters on lines in memory, and the lines that reach them: what a
// test host gives the program instead of the machine's serial devices. The
// system lists the ports of the adapters that run, and nothing else.
class MemoryPorts : public Devices {
public:
    explicit MemoryPorts(Clock& clock);
    ~MemoryPorts();
    MemoryPorts(const MemoryPorts&) = delete;
    MemoryPorts& operator=(const MemoryPorts&) = delete;

    // A new simulated adapter, running, with a device of its own.
    MemoryAdapter* add(SimConfig config = {});
    // A path for one more adapter's device, and an adapter made for it to
    // keep (a kind of MemoryAdapter of a test's own); it is started.
    QString newDevicePath();
    MemoryAdapter* adopt(std::unique_ptr<MemoryAdapter> adapter);
    // The running adapter whose device is at path (links resolved), if any.
    MemoryAdapter* find(const QString& path) const;
    AdapterLine* createLine(QObject* parent) override;
    QList<PortInfo> knownPorts() const override;
    bool listed(const QString& path) const override { return find(path) != nullptr; }
    QCoro::Task<ProbeResult> probe(QString path, Clock& clock, int limitMs, Stop stop) override;
    Clock& clock() { return clock_; }
    // The devices probed and opened, each time, in order: what reached the
    // system.
    QStringList probed;
    QStringList opened;

private:
    friend class MemoryLine;
    // Waits out adapter's open delay within limitMs: true when the open
    // may go on; false when it was given up (stopped or past the limit),
    // and the late open then ends by itself.
    static QCoro::Task<bool> waitForOpen(QPointer<MemoryAdapter> adapter, Clock& clock, int limitMs,
                                         Stop stop);

    Clock& clock_;
    QTemporaryDir devices_;
    int devices_made_ = 0;
    std::vector<std::unique_ptr<MemoryAdapter>> adapters_;
};

// A line whose far end is a MemoryAdapter. Bytes cross it in a later turn of
// the event loop, in both directions, as they do through a real device, and
// what arrives within one turn is read as one arrival, as a serial port
// hands it over; it knows the speed it was opened at, so a wrong speed gives
// noise here too.
class MemoryLine : public AdapterLine {
    Q_OBJECT
public:
    explicit MemoryLine(MemoryPorts& ports, QObject* parent = nullptr);
    ~MemoryLine() override;
    qint32 speed() const { return speed_; }

protected:
    QCoro::Task<Opening> openDevice(qint32 speed, Clock& clock, int limitMs, Stop stop) override;
    void closeDevice() override;
    bool isDeviceOpen() const override { return far_ != nullptr; }
    bool writeDevice(const QByteArray& bytes) override;
    QByteArray readDevice(qint64 maxBytes) override;
    qint64 deviceWaiting() const override { return inbox_.size(); }
    QByteArray peekDevice() const override { return inbox_; }
    void clearDevice() override { inbox_.clear(); }

private:
    friend class MemoryAdapter;
    // From the far end: bytes arrived, or the device went away.
    void deliver(const QByteArray& bytes);
    void vanish();
    void carry();
    void arrive();

    MemoryPorts& ports_;
    MemoryAdapter* far_ = nullptr;
    qint32 speed_ = 0;
    QByteArray inbox_;
    QByteArray outbox_;
    QByteArray arriving_;
    ClockTimer wire_;
    ClockTimer arrival_;
};

}  // namespace tavrin::sim
