#pragma once

#include <memory>

#include "runtime/AdapterLine.h"

namespace tavrin {

class SerialDevice;

// The line over a real serial device of the system: the line settings, DTR
// and RTS, and a port that vanishes (unplugged, Bluetooth gone) closing at
// its first error.
class SerialLine : public AdapterLine {
    Q_OBJECT
public:
    explicit SerialLine(QObject* parent = nullptr);
    ~SerialLine() override;

    // A write of which nothing more goes out for so long loses the line (0:
    // no limit); taken when the port opens.
    void setWriteLimit(int ms) { writeLimitMs_ = ms; }

protected:
    OpenError openDevice(qint32 speed, QString* why) override;
    void closeDevice() override;
    bool isDeviceOpen() const override;
    bool writeDevice(const QByteArray& bytes) override;
    QByteArray readDevice(qint64 maxBytes) override;
    qint64 deviceWaiting() const override;
    QByteArray peekDevice() const override;
    void clearDevice() override;

private:
    std::unique_ptr<SerialDevice> device_;
    int writeLimitMs_;
};

}  // namespace tavrin
