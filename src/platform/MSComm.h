#pragma once

#include <memory>

#include "platform/AdapterLine.h"

#ifndef Q_OS_WIN
class QSerialPort;
#endif

namespace tavrin {

// The line over a real serial device: the device's lock, the line settings,
// DTR and RTS, and a port that vanishes (unplugged, Bluetooth gone) closing
// at its first error. Through Qt SerialPort on Linux, through the Win32
// communications API on Windows.
class MSComm : public AdapterLine {
    Q_OBJECT
public:
    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    // Whether the device at path could be opened right now; never keeps it.
    static ProbeResult Probe(const QString& path);

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
#ifdef Q_OS_WIN
    struct Win32Port;
    std::unique_ptr<Win32Port> win_;
#else
    void onError(int error);

    std::unique_ptr<QSerialPort> port_;
#endif
};

}  // namespace tavrin
