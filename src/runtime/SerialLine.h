#pragma once

#include <memory>

#include "runtime/AdapterLine.h"

namespace tavrin {

class SerialDevice;

// The line over a real serial device of the system: the line settings, DTR
// and RTS, and a port that vanishes (unplugged, Bluetooth gone) closing at
// its first error. The device is opened on a thread of its own, since an
// open may block for seconds, and then handed to this line's thread.
class SerialLine : public AdapterLine {
    Q_OBJECT
public:
    explicit SerialLine(QObject* parent = nullptr);
    ~SerialLine() override;

    // A write of which nothing more goes out for so long loses the line (0:
    // no limit); taken when the port opens.
    void setWriteLimit(int ms) { writeLimitMs_ = ms; }

protected:
    QCoro::Task<Opening> openDevice(qint32 speed, Clock& clock, int limitMs, Stop stop) override;
    void closeDevice() override;
    bool isDeviceOpen() const override;
    bool writeDevice(const QByteArray& bytes) override;
    QByteArray readDevice(qint64 maxBytes) override;
    qint64 deviceWaiting() const override;
    QByteArray peekDevice() const override;
    void clearDevice() override;

private:
    void use(std::unique_ptr<SerialDevice> device);

    std::unique_ptr<SerialDevice> device_;
    int writeLimitMs_;
};

}  // namespace tavrin
