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
};

}  // namespace tavrin
