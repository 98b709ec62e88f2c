#include "cluster/ClusterSession.h"

#include <QDir>

#include "cluster/PoliceSafety.h"
#include "cluster/WriteHistory.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "runtime/Clock.h"
#include "runtime/NetLine.h"
#include "serial/PortCheck.h"

namespace tavrin {

namespace {

bool defaultWriteCheck(const QString& record, const QString& request) {
    // The request must be the record just read with the police-mode bit
    // inverted and nothing else changed.
    const QString expected = cluster::ExpectedPoliceWrite(record);
    return !expected.isEmpty() && request == expected;
}

}  // namespace

ClusterSession::ClusterSession(Defines& defines, Host& host, QObject* parent)
    : QObject(parent), d_(defines), host_(host), writeCheck_(defaultWriteCheck) {
    setObjectName(QStringLiteral("ClusterSession"));
    serial_ = host_.createLine(this);
    serial_->setObjectName(QStringLiteral("MSComm1"));
    net_ = host_.createNetLine(this);
    net_->setObjectName(QStringLiteral("NetLine"));
    serialExchange_ = new Exchange(*serial_, host_, this);
    netExchange_ = new Exchange(*net_, host_, this);
    useLine(serial_, serialExchange_);

    // Never fires until a connection attempt arms it; one tick per attempt.
    watchdog_ = new ClockTimer(host_.clock(), this);
    watchdog_->setObjectName(QStringLiteral("Timer1"));
    watchdog_->setSingleShot(true);

    connect(watchdog_, &ClockTimer::timeout, this, &ClusterSession::Timer1_Timer);
    for (AdapterLine* line : {serial_, static_cast<AdapterLine*>(net_)}) {
        line->setLog(&host_.adapterLog());
        connect(line, &AdapterLine::closed, this, [this, line] {
            if (line == port_) onPortClosed();
        });
        connect(line, &AdapterLine::portLost, this, [this, line](const QString& reason) {
            emit portLost(line == net_ ? words::NetworkLost(reason, host_.audience)
                                       : words::PortLost(reason, host_.audience));
        });
    }
}

ClusterSession::~ClusterSession() {
    // Nobody is left to tell about the port closing.
    serial_->disconnect(this);
    net_->disconnect(this);
}

void ClusterSession::useLine(AdapterLine* line, Exchange* exchange) {
    // An attempt uses one line: the one used so far is let go of first.
    if (line != port_) Disconnect();
    port_ = line;
    exchange_ = exchange;
}

std::optional<NetworkAddress> ClusterSession::network() const {
    if (d_.Network.isEmpty()) return std::nullopt;
    return ParseNetworkAddress(d_.Network);
}

bool ClusterSession::isConnected() const {
    return d_.ClusterReady && port_->PortOpen();
}

void ClusterSession::Timer1_Timer() {
    emit watchdogExpired(words::Watchdog(host_.limits, host_.audience));
    watchdog_->stop();
}

void ClusterSession::Disconnect() {
    // onPortClosed follows, as it does whoever else closes the port.
    if (port_ && port_->PortOpen()) port_->close();
}

void ClusterSession::endOperation(SessionReport* report) {
    if (report->status == SessionStatus::Cancelled || !d_.ClusterReady) Disconnect();
    report->connected = isConnected();
}

void ClusterSession::mirrorConnectState(const SessionReport* report) {
    const bool abandoned = report && report->status == SessionStatus::Abandoned;
    d_.ConnectState = abandoned ? 3 : report && report->connected ? 1 : 0;
}

QString ClusterSession::historyPath() const {
    return QDir(SettingsFolder(d_, host_)).filePath(QLatin1String(WriteHistory::kFileName));
}

void ClusterSession::onPortClosed() {
    // Whoever closed the port (Disconnect, Setup, a failed attempt, an
    // unplugged cable), nothing may write through it any more.
    watchdog_->stop();
    d_.ClusterReady = false;
    emit connectionClosed();
}

QCoro::Task<ClusterSession::Prefixed> ClusterSession::prefixedExchange(QString request,
                                                                       QString prefix, Stop stop) {
    Prefixed answer;
    answer.failure.command = request;
    WaitResult r = co_await exchange_->Ask(request, prefix, stop);
    if (r.ok()) {
        answer.phase1 = r.buffer;
        r = co_await exchange_->WaitFor(QStringLiteral("\r"), stop);
    }
    if (r.ok()) answer.remainder = r.buffer;
    answer.failure.result = r;
    co_return answer;
}

bool ClusterSession::recordHistory(const QString& path, const QString& step, const QString& record,
                                   const QString& request, const QString& outcome, QString* error) {
    if (unwinding_) {
        *error = QStringLiteral("the program is ending");
        return false;
    }
    WriteHistory::Line line;
    line.time = QDateTime::currentDateTime();
    line.port = inUse_.port;
    line.speed = inUse_.speed;
    line.partNumber = cluster::DisplayPartNumber(d_);
    line.model = d_.ModelName;
    line.step = step;
    line.record = record;
    line.request = request;
    line.outcome = outcome;
    return WriteHistory(path, [this](QFileDevice& file) { return host_.syncToDisk(file); })
        .append(line, error);
}

}  // namespace tavrin
