#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class QSerialPort;

namespace tavrin {

class AdapterLog;

// Stand-in for the serial communications control: the same properties under
// the same names, over QSerialPort. The line settings are taken when the port
// opens. Input never blocks.
class MSComm : public QObject {
    Q_OBJECT
public:
    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    enum class OpenError { None, InvalidSettings, NoDevice, Refused };

    // The device behind CommPort: given by whoever owns the port numbering.
    QString DevicePath;

    qint16 CommPort = 1;
    int InputLen = 0;  // 0 takes everything waiting
    QString Settings = QStringLiteral("9600,n,8,1");
    int Handshaking = 0;  // only "none" is used
    bool DTREnable = false;
    bool RTSEnable = false;
    int RThreshold = 0;  // kept for completeness; receive notifications are signals here
    int SThreshold = 0;

    bool PortOpen() const;
    // Opens (true) or closes (false) the port. On failure the port stays
    // closed and lastError()/lastErrorText() tell why.
    bool setPortOpen(bool open);
    OpenError lastError() const { return lastError_; }
    QString lastErrorText() const { return lastErrorText_; }

    // Speed from a "speed,n,8,1" settings text; 0 when the speed part is not
    // a plain positive whole number.
    static qint32 SpeedFromSettings(const QString& settings);

    // Writes the bytes in one write; false if the port is not open.
    bool Output(const QByteArray& bytes);
    // At most InputLen characters that are already waiting; empty if none.
    QString Input();
    qint64 charactersWaiting() const;
    // Throws away whatever has arrived and not been read.
    void discardInput();

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

private:
    void onError(int error);
    void onReadyRead();
    void closePort();

    std::unique_ptr<QSerialPort> port_;
    AdapterLog* log_ = nullptr;
    // Bytes in the serial port's buffer that the log already holds.
    qint64 loggedUnread_ = 0;
    OpenError lastError_ = OpenError::None;
    QString lastErrorText_;
};

// How a wait on the line sleeps: in the event loop, so window events and
// timers run and no CPU is used, until characters arrive, the port closes,
// the waker's signal comes or the time is up.
class LineSleeper {
public:
    template <typename Waker, typename Signal>
    LineSleeper(MSComm& port, const Waker* waker, Signal wake) {
        deadline_.setSingleShot(true);
        deadline_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline_, &QTimer::timeout, &loop_, &QEventLoop::quit);
        QObject::connect(&port, &MSComm::dataArrived, &loop_, &QEventLoop::quit);
        QObject::connect(&port, &MSComm::closed, &loop_, &QEventLoop::quit);
        QObject::connect(waker, wake, &loop_, &QEventLoop::quit);
    }
    // False when the application is quitting: every loop then returns at once.
    bool sleep(qint64 ms) {
        deadline_.start(static_cast<int>(ms));
        const int result = loop_.exec();
        deadline_.stop();
        return result >= 0;
    }

private:
    QEventLoop loop_;
    QTimer deadline_;
};

}  // namespace tavrin
