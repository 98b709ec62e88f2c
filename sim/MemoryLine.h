#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "SimCore.h"
#include "runtime/AdapterLine.h"

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
    void discardUnread() override;

protected:
    // Bytes from the program: by default, to the adapter's command
    // interpreter.
    virtual void fromProgram(const QByteArray& bytes) { receive(bytes); }
    qint64 transmit(const QByteArray& bytes) override;
    void closeLine() override;

private:
    friend class MemoryLine;

    QString device_;
    bool running_ = false;
    QPointer<MemoryLine> line_;
};

// Simulated adapters on lines in memory, and the lines that reach them: what a
// test host gives the program instead of the machine's serial devices.
class MemoryPorts {
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
    // Whether the device at path could be opened now.
    ProbeResult probe(const QString& path) const;
    AdapterLine* createLine(QObject* parent);
    Clock& clock() { return clock_; }

private:
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
    OpenError openDevice(qint32 speed, QString* why) override;
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
