#include "runtime/AdapterLine.h"

#include <QRegularExpression>
#include <QStringList>

#include "runtime/AdapterLog.h"

namespace tavrin {

qint32 AdapterLine::SpeedFromSettings(const QString& settings) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9}),n,8,1$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(settings);
    if (!match.hasMatch()) return 0;
    return match.captured(1).toInt();
}

bool AdapterLine::setPortOpen(bool open) {
    lastError_ = OpenError::None;
    lastErrorText_.clear();
    if (!open) {
        if (PortOpen()) {
            closeDevice();
            emit closed();
        }
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
    QString why;
    lostReason_.clear();
    lineErrors_ = {};
    lastError_ = openDevice(speed, &why);
    if (lastError_ == OpenError::None) return true;
    lastErrorText_ = why;
    return false;
}

void AdapterLine::notifyArrival() {
    if (RThreshold > 0) emit dataArrived();
}

void AdapterLine::arrivedOn(QIODevice& device) {
    if (log_) {
        const qint64 waiting = device.bytesAvailable();
        if (waiting > loggedUnread_)
            log_->record(AdapterLog::Direction::Received,
                         device.peek(waiting).right(waiting - loggedUnread_));
        loggedUnread_ = waiting;
    }
    notifyArrival();
}

void AdapterLine::taken(qint64 bytes) {
    loggedUnread_ = bytes < 0 ? 0 : qMax<qint64>(0, loggedUnread_ - bytes);
}

void AdapterLine::lose(const QString& reason) {
    if (!PortOpen()) return;
    lostReason_ = reason;
    closeDevice();
    emit closed();
    emit portLost(reason);
}

QString LineErrorsText(const LineErrors& errors) {
    QStringList kinds;
    const auto kind = [&kinds](int n, const char* one, const char* many) {
        if (n > 0) kinds << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    kind(errors.framing, "framing error", "framing errors");
    kind(errors.overrun, "overrun", "overruns");
    kind(errors.parity, "parity error", "parity errors");
    if (kinds.size() < 2) return kinds.join(QString());
    const QString last = kinds.takeLast();
    return kinds.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

void AdapterLine::heardLineErrors(const LineErrors& errors) {
    lineErrors_ += errors;
    if (log_) log_->note(QStringLiteral("the port reported %1").arg(LineErrorsText(errors)));
}

bool AdapterLine::Output(const QByteArray& bytes) {
    if (!PortOpen()) return false;
    if (log_) log_->record(AdapterLog::Direction::Sent, bytes);
    return writeDevice(bytes);
}

QString AdapterLine::Input() {
    if (!PortOpen()) return {};
    // Some adapter clones put NUL characters into their output; no adapter
    // means anything by them, so they never reach a reader (the log keeps
    // them). What follows a NUL is read in its place.
    QByteArray bytes;
    for (;;) {
        const qint64 waiting = deviceWaiting();
        if (waiting <= 0) break;
        const qint64 wanted = InputLen > 0 ? InputLen - bytes.size() : waiting;
        if (wanted <= 0) break;
        QByteArray more = readDevice(qMin(wanted, waiting));
        if (more.isEmpty()) break;
        more.removeIf([](char c) { return c == '\0'; });
        bytes += more;
    }
    return QString::fromLatin1(bytes);
}

QString AdapterLine::Waiting() const {
    if (!PortOpen()) return {};
    QByteArray bytes = peekDevice();
    bytes.removeIf([](char c) { return c == '\0'; });
    return QString::fromLatin1(bytes);
}

void AdapterLine::discardInput() {
    if (PortOpen()) clearDevice();
}

}  // namespace tavrin
