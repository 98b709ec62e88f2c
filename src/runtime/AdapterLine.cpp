#include "runtime/AdapterLine.h"

#include <QPointer>
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

QCoro::Task<bool> AdapterLine::open(Clock& clock, int limitMs, Stop stop) {
    if (PortOpen()) co_return true;
    lastError_ = OpenError::None;
    lastErrorText_.clear();
    // One open at a time: the owner of what runs sees to that.
    if (opening_) {
        lastError_ = OpenError::Refused;
        lastErrorText_ = QStringLiteral("the port is already being opened");
        co_return false;
    }
    const qint32 speed = SpeedFromSettings(Settings);
    if (speed <= 0) {
        lastError_ = OpenError::InvalidSettings;
        lastErrorText_ = QStringLiteral("invalid line settings \"%1\"").arg(Settings);
        co_return false;
    }
    if (DevicePath.isEmpty()) {
        lastError_ = OpenError::NoDevice;
        lastErrorText_ = QStringLiteral("no device for COM%1").arg(CommPort);
        co_return false;
    }
    lostReason_.clear();
    lineErrors_ = {};
    opening_ = true;
    const QPointer<AdapterLine> self(this);
    const Opening opened = co_await openDevice(speed, clock, limitMs, stop);
    // The line may be gone by now (its owner let go of it): only the
    // result is left to give.
    if (!self || stop.abort.stop_requested()) co_return false;
    opening_ = false;
    lastError_ = opened.error;
    lastErrorText_ = opened.why;
    co_return opened.error == OpenError::None;
}

void AdapterLine::close() {
    if (!PortOpen()) return;
    closeDevice();
    emit closed();
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
