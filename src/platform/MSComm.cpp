#include "platform/MSComm.h"

#include <QRegularExpression>
#include <QSerialPort>

#include "platform/AdapterLog.h"

namespace tavrin {

MSComm::MSComm(QObject* parent) : QObject(parent) {}

MSComm::~MSComm() {
    if (port_) {
        port_->disconnect(this);
        if (port_->isOpen()) port_->close();
    }
}

bool MSComm::PortOpen() const {
    return port_ && port_->isOpen();
}

qint32 MSComm::SpeedFromSettings(const QString& settings) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9}),n,8,1$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(settings);
    if (!match.hasMatch()) return 0;
    return match.captured(1).toInt();
}

bool MSComm::setPortOpen(bool open) {
    lastError_ = OpenError::None;
    lastErrorText_.clear();
    if (!open) {
        closePort();
        return true;
    }
    if (PortOpen()) return true;

    const qint32 speed = SpeedFromSettings(Settings);
    if (speed <= 0) {
        lastError_ = OpenError::InvalidSettings;
        lastErrorText_ = QStringLiteral("invalid line settings \"%1\"").arg(Settings);
        return false;
    }
    if (DevicePath.isEmpty()) {
        lastError_ = OpenError::NoDevice;
        lastErrorText_ = QStringLiteral("no device for COM%1").arg(CommPort);
        return false;
    }

    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(DevicePath);
    port_->setReadBufferSize(0);
    if (!port_->open(QIODevice::ReadWrite)) {
        lastError_ = OpenError::Refused;
        lastErrorText_ = port_->errorString();
        port_->disconnect(this);
        port_.reset();
        return false;
    }
    const bool configured = port_->setBaudRate(speed) && port_->setDataBits(QSerialPort::Data8) &&
                            port_->setParity(QSerialPort::NoParity) &&
                            port_->setStopBits(QSerialPort::OneStop) &&
                            port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        lastError_ = OpenError::InvalidSettings;
        lastErrorText_ =
            QStringLiteral("the device refused %1 bit/s: %2").arg(speed).arg(port_->errorString());
        port_->disconnect(this);
        port_->close();
        port_.reset();
        return false;
    }
    // A pseudo-terminal has no modem lines; failing to raise them is harmless.
    port_->setDataTerminalReady(DTREnable);
    port_->setRequestToSend(RTSEnable);
    port_->clearError();
    // Watch for trouble only once the port is set up: a refused modem-line
    // change above is not a reason to close it.
    loggedUnread_ = 0;
    connect(port_.get(), &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(port_.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });
    return true;
}

void MSComm::closePort() {
    if (!port_) return;
    const bool wasOpen = port_->isOpen();
    port_->disconnect(this);
    if (wasOpen) port_->close();
    // The QSerialPort may be inside its own signal emission; let Qt delete it.
    port_.release()->deleteLater();
    if (wasOpen) emit closed();
}

void MSComm::onError(int error) {
    const auto e = static_cast<QSerialPort::SerialPortError>(error);
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError ||
        e == QSerialPort::UnsupportedOperationError)
        return;
    if (!PortOpen()) return;
    // Close on the first error: Qt would otherwise report a vanished device
    // again on every read notification, at full speed.
    const QString reason = port_->errorString();
    closePort();
    emit portLost(reason);
}

void MSComm::onReadyRead() {
    if (log_) {
        // Only what arrived since the last look: one log entry per arrival,
        // however the reader later takes it apart.
        const qint64 waiting = port_->bytesAvailable();
        if (waiting > loggedUnread_) {
            log_->record(AdapterLog::Direction::Received,
                         port_->peek(waiting).right(waiting - loggedUnread_));
        }
        loggedUnread_ = waiting;
    }
    emit dataArrived();
}

bool MSComm::Output(const QByteArray& bytes) {
    if (!PortOpen()) return false;
    if (log_) log_->record(AdapterLog::Direction::Sent, bytes);
    return port_->write(bytes) == bytes.size();
}

QString MSComm::Input() {
    if (!PortOpen()) return {};
    const qint64 waiting = port_->bytesAvailable();
    if (waiting <= 0) return {};
    const qint64 take = InputLen > 0 ? qMin<qint64>(InputLen, waiting) : waiting;
    const QByteArray bytes = port_->read(take);
    loggedUnread_ = qMax<qint64>(0, loggedUnread_ - bytes.size());
    return QString::fromLatin1(bytes);
}

qint64 MSComm::charactersWaiting() const {
    return PortOpen() ? port_->bytesAvailable() : 0;
}

void MSComm::discardInput() {
    if (!PortOpen()) return;
    port_->clear(QSerialPort::Input);
    port_->readAll();
    loggedUnread_ = 0;
}

}  // namespace tavrin
