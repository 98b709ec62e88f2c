#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QIODevice>
#include <QObject>
#include <QString>

#include "platform/SerialDevice.h"
#include "runtime/Wait.h"

namespace tavrin {

class AdapterLog;

// The serial line to the adapter, as the serial communications control
// presents it: the control's properties under their own names, open and
// close, a write, a read of what has arrived, and signals when bytes arrive,
// when the port fails and when it closes. The exchange, the session and the
// adapter search see nothing else, so the same conversation runs over a real
// serial device (SerialLine) or over a line in memory to the simulated adapter.
// The line settings are taken when the port opens. Input never blocks.
class AdapterLine : public QObject {
    Q_OBJECT
public:
    explicit AdapterLine(QObject* parent = nullptr) : QObject(parent) {}

    enum class OpenError {
        None,
        InvalidSettings,  // the settings' speed, or the device refused it
        NoDevice,         // no device stands for CommPort
        NotFound,         // the device is not there
        InUse,            // another program holds it
        NoPermission,     // the system does not let this user open it
        NoAnswer,   // the device did not open within the limit (a Bluetooth adapter dialled and did
                    // not answer)
        Cancelled,  // the open was given up at a stop
        Refused,    // anything else; lastErrorText() has the system's words
    };

    // The device behind CommPort: given by whoever owns the port numbering.
    QString DevicePath;

    qint16 CommPort = 1;
    int InputLen = 0;  // 0 takes everything waiting
    QString Settings = QStringLiteral("9600,n,8,1");
    // Flow control, as the serial control numbers it.
    enum { comNone = 0, comXOnXOff = 1, comRTS = 2, comRTSXOnXOff = 3 };
    int Handshaking = comNone;
    bool DTREnable = false;
    bool RTSEnable = false;
    // Characters that make a receive notification (dataArrived); 0: none, so
    // nothing waiting on the line wakes when characters arrive.
    int RThreshold = 1;

    bool PortOpen() const { return isDeviceOpen(); }
    // Opens the port with the line settings, and suspends until it is open
    // or refused, limitMs have passed on clock, or stop comes. Opening a
    // device may block for seconds, so it is never done on this thread. On
    // failure the port stays closed and lastError()/lastErrorText() tell
    // why; an open given up at the limit or a stop is closed, untouched,
    // whenever it ends.
    QCoro::Task<bool> open(Clock& clock, int limitMs, Stop stop = {});
    // Closes the port, if it is open.
    void close();
    OpenError lastError() const { return lastError_; }
    QString lastErrorText() const { return lastErrorText_; }

    // Speed from a "speed,n,8,1" settings text; 0 when the speed part is not
    // a plain positive whole number.
    static qint32 SpeedFromSettings(const QString& settings);

    // Writes the bytes in one write; false if the port is not open.
    bool Output(const QByteArray& bytes);
    // At most InputLen characters that are already waiting, NULs left out;
    // empty if none.
    QString Input();
    qint64 charactersWaiting() const { return PortOpen() ? deviceWaiting() : 0; }
    // What Input would give if it took everything waiting, without taking
    // it; empty when the port is not open.
    QString Waiting() const;
    // Throws away whatever has arrived and not been read.
    void discardInput();

    // The system's words for the last loss of the port (portLost's reason);
    // empty once it opens again.
    QString lostReason() const { return lostReason_; }
    // The line errors the device reported since the port last opened.
    LineErrors lineErrors() const { return lineErrors_; }

    // A connection over the network rather than a serial line: what is said
    // of its loss differs.
    virtual bool isNetwork() const { return false; }

    // Where every write and every arrival is recorded; may be null.
    void setLog(AdapterLog* log) { log_ = log; }
    AdapterLog* log() const { return log_; }

signals:
    // New characters can be read.
    void dataArrived();
    // The port closed because of a serial error (device gone, other end
    // closed). The port is already closed when this is emitted.
    void portLost(const QString& reason);
    // The port closed, for whatever reason.
    void closed();

protected:
    struct Opening {
        OpenError error = OpenError::None;
        QString why;  // the system's words, on failure
    };
    // Opens the device at DevicePath, at speed bit/s, 8 data bits, no
    // parity, one stop bit, flow control, DTR and RTS as the properties say,
    // within limitMs on clock; a stop gives it up.
    virtual QCoro::Task<Opening> openDevice(qint32 speed, Clock& clock, int limitMs, Stop stop) = 0;
    virtual void closeDevice() = 0;
    virtual bool isDeviceOpen() const = 0;
    virtual bool writeDevice(const QByteArray& bytes) = 0;
    virtual QByteArray readDevice(qint64 maxBytes) = 0;
    virtual qint64 deviceWaiting() const = 0;
    virtual QByteArray peekDevice() const = 0;
    virtual void clearDevice() = 0;

    // The device failed or vanished: closes the port and tells so once.
    void lose(const QString& reason);
    // The device reported line errors: counted, and noted in the log.
    void heardLineErrors(const LineErrors& errors);
    // Characters have arrived: a receive notification, when they are wanted.
    void notifyArrival();
    // For a device that buffers what arrives (a serial port, a socket):
    // records in the log only what arrived since the last look, one entry
    // per arrival however readers later take it apart, then notifies.
    void arrivedOn(QIODevice& device);
    // So many bytes of that buffer were read, or (-1) all were dropped.
    void taken(qint64 bytes);

private:
    AdapterLog* log_ = nullptr;
    // Bytes in the device's buffer that the log already holds.
    qint64 loggedUnread_ = 0;
    OpenError lastError_ = OpenError::None;
    QString lastErrorText_;
    QString lostReason_;
    bool opening_ = false;
    LineErrors lineErrors_;
};

// Line errors in words: "3 framing errors and 1 overrun"; empty for none.
QString LineErrorsText(const LineErrors& errors);

// A wait on the line ends when characters arrive or the port closes.
inline void WakeOnLine(Wait& wait, const AdapterLine& line) {
    wait.wakeOn(&line, &AdapterLine::dataArrived);
    wait.wakeOn(&line, &AdapterLine::closed);
}

}  // namespace tavrin
