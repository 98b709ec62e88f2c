#include "cluster/ClusterSession.h"

#include <algorithm>
#include <iterator>

#include <QDir>
#include <QStringList>

#include "cluster/PoliceSafety.h"
#include "cluster/WriteHistory.h"
#include "core/Defines.h"
#include "platform/AdapterLine.h"
#include "platform/Clock.h"
#include "serial/AdapterCommands.h"
#include "serial/SerialPort.h"

namespace tavrin {

namespace {

struct Request {
    const char* text;
    const char* prefix;
};
constexpr Request kIdentification[] = {{"22e21a", "62 E2 1A "},
                                       {"22e217", "62 E2 17 "},
                                       {"22e219", "62 E2 19 "},
                                       {"22e200", "62 E2 00 "}};

const QString kReset = QStringLiteral("atz");
const QString kPoliceRead = QStringLiteral("2103");
const QString kPoliceReadPrefix = QStringLiteral("61 03 ");
const QString kPoliceWritePrefix = QStringLiteral("7B 03");
const QString kLineEnd = QStringLiteral("\r");

// The fixed pauses between commands, in milliseconds.
constexpr int kBeforeIdentificationMs = 1000;
constexpr int kBetweenIdentificationMs = 500;
constexpr int kBeforePoliceReadMs = 500;
constexpr int kAroundWriteMs = 500;

// The identification line of a reset answer that lacks "ELM": the last line
// the adapter printed after the echo, without carriage returns or prompt.
QString identificationWithoutElm(const QString& buffer) {
    QString text = buffer;
    text.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    const QStringList lines = text.split(QLatin1Char('\r'));
    QString found;
    bool afterEcho = false;
    for (QString line : lines) {
        const int prompt = line.lastIndexOf(QLatin1Char('>'));
        if (prompt >= 0) line = line.mid(prompt + 1);
        line = line.trimmed();
        if (line.isEmpty()) continue;
        if (line.compare(kReset, Qt::CaseInsensitive) == 0) {
            afterEcho = true;
            found.clear();
            continue;
        }
        if (afterEcho || found.isEmpty()) found = line;
    }
    return found;
}

bool defaultWriteCheck(const QString& record, const QString& request) {
    // The request must be the record just read with the police-mode bit
    // inverted and nothing else changed.
    const QString expected = cluster::ExpectedPoliceWrite(record);
    return !expected.isEmpty() && request == expected;
}

WaitResult cancelled() {
    WaitResult r;
    r.status = WaitStatus::Cancelled;
    return r;
}

}  // namespace

ClusterSession::ClusterSession(Defines& defines, Host& host, QObject* parent)
    : QObject(parent), d_(defines), host_(host), writeCheck_(defaultWriteCheck) {
    setObjectName(QStringLiteral("ClusterSession"));
    port_ = host_.createLine(this);
    port_->setObjectName(QStringLiteral("MSComm1"));
    port_->setLog(&host_.adapterLog());
    exchange_ = new Exchange(*port_, host_, this);
    connect(exchange_, &Exchange::cancellableChanged, this, &ClusterSession::cancellableChanged);

    // Never fires until a connection attempt arms it; one tick per attempt.
    watchdog_ = new ClockTimer(host_.clock(), this);
    watchdog_->setObjectName(QStringLiteral("Timer1"));
    watchdog_->setSingleShot(true);

    connect(watchdog_, &ClockTimer::timeout, this, &ClusterSession::Timer1_Timer);
    connect(port_, &AdapterLine::closed, this, &ClusterSession::onPortClosed);
    connect(port_, &AdapterLine::portLost, this, &ClusterSession::onPortLost);
}

ClusterSession::~ClusterSession() {
    // Nobody is left to tell about the port closing.
    port_->disconnect(this);
}

bool ClusterSession::isConnected() const {
    return d_.ClusterReady && port_->PortOpen();
}

bool ClusterSession::pause(int ms, Failure* failure) {
    if (exchange_->Pause(ms)) return true;
    failure->result = cancelled();
    return false;
}

// ---------------------------------------------------------------- Connect

SessionReport ClusterSession::Connect() {
    SessionReport report;
    if (busy()) {
        report.status = SessionStatus::Busy;
        return report;
    }
    Exchange::Session session(*exchange_);
    auto endedEarly = [this] {
        return exchange_->cancelRequested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    };
    bool abandoned = false;
    if (!ConnectELM(&report.messages, &abandoned)) {
        report.status = abandoned ? SessionStatus::Abandoned : endedEarly();
        return report;
    }
    // Only a completed attempt leaves an open port and an answering adapter
    // to read from.
    Failure failure;
    if (!pause(kBeforePoliceReadMs, &failure)) {
        closePort();
        report.status = endedEarly();
        return report;
    }
    if (readPoliceMode(&report.messages)) {
        emit connectStep(kConnectSteps);
    } else {
        report.status = endedEarly();
    }
    return report;
}

bool ClusterSession::ConnectELM(QList<Message>* messages, bool* abandoned) {
    d_.ConnectState = 0;
    // The port and speed of this attempt, and of the connection it makes,
    // whatever is saved meanwhile: port COMn, or a device named directly.
    const Audience a = host_.audience;
    const QString folder = SettingsFolder(d_, host_);
    const bool numbered = device_.isEmpty();
    inUse_ = LineInUse{numbered ? QStringLiteral("COM%1").arg(d_.ComPort) : device_, d_.ComSpeed};
    const QString path = numbered ? ComDevicePath(d_.ComPort, folder) : DevicePathOf(device_);
    const ProbeResult probe = ProbeDevice(path, port_, host_);
    if (probe != ProbeResult::Available) {
        const QString name = numbered ? ComDeviceName(d_.ComPort, folder) : device_;
        messages->append(words::PortCheck(ProbeDetail(probe, inUse_.port, name, a), a));
        return false;
    }
    const OpenResult opened = OpenDevice(path, d_, *port_, host_);
    if (opened == OpenResult::InvalidSpeed) {
        messages->append(words::InvalidSpeed(d_.ComSpeed, a));
        return false;
    }
    if (opened != OpenResult::Opened) {
        messages->append(words::OpenFailed(inUse_.port, port_->lastErrorText(), a));
        return false;
    }

    exchange_->SendCommand(kReset);
    watchdog_->setInterval(host_.watchdogMs);
    watchdog_->start();
    emit connecting();

    const WaitResult reset =
        exchange_->WaitFor(QStringLiteral(">"), [this] { return d_.ConnectState == 3; });
    if (reset.status == WaitStatus::Abandoned) {
        // The watchdog has told the user; free the port so Connect works again.
        *abandoned = true;
        closePort();
        return false;
    }
    if (!reset.ok()) {
        endAttempt(kReset, reset, messages);
        return false;
    }
    // A prompt among unreadable characters is noise at a wrong line speed,
    // not an adapter, and its "identification" would be noise too; but an
    // answer that names the adapter has only picked up a stray byte or two
    // (the exchange ends a wait at the fourth), which the identification
    // leaves out.
    QString buffer = reset.buffer;
    if (std::any_of(buffer.begin(), buffer.end(), IsUnreadableChar)) {
        if (!buffer.contains(QLatin1String("ELM"))) {
            WaitResult noise = reset;
            noise.status = WaitStatus::Unreadable;
            endAttempt(kReset, noise, messages);
            return false;
        }
        buffer.removeIf(IsUnreadableChar);
    }

    const int p = buffer.indexOf(QLatin1String("ELM"));
    emit adapterIdentified(p >= 0 ? buffer.mid(p, qMax(0, int(buffer.size()) - p - 3))
                                  : identificationWithoutElm(buffer));
    int step = 1;
    emit connectStep(step);

    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const WaitResult r = exchange_->Ask(command, QStringLiteral("OK\r"));
        if (!r.ok()) {
            endAttempt(command, r, messages);
            return false;
        }
        emit connectStep(++step);
    }

    Failure failure;
    if (!pause(kBeforeIdentificationMs, &failure) || !GetClusterInfo(&failure)) {
        endAttempt(failure.command, failure.result, messages);
        return false;
    }

    d_.ClusterReady = true;
    emit connected();
    d_.ConnectState = 1;
    watchdog_->stop();
    return true;
}

void ClusterSession::endAttempt(const QString& command, const WaitResult& result,
                                QList<Message>* messages) {
    closePort();
    // A cancelled attempt ends silently.
    if (result.status == WaitStatus::Cancelled) return;
    messages->append(
        words::ConnectionFailed(command, result, inUse_.port, inUse_.speed, host_.audience));
}

void ClusterSession::Timer1_Timer() {
    emit watchdogExpired(words::Watchdog(host_.audience));
    d_.ConnectState = 3;
    watchdog_->stop();
    // Let a waiting reset notice at once.
    exchange_->wake();
}

void ClusterSession::Disconnect() {
    closePort();
}

QString ClusterSession::historyPath() const {
    return QDir(SettingsFolder(d_, host_)).filePath(QLatin1String(WriteHistory::kFileName));
}

void ClusterSession::closePort() {
    if (port_->PortOpen()) {
        port_->setPortOpen(false);  // onPortClosed follows
    } else {
        onPortClosed();
    }
}

void ClusterSession::onPortClosed() {
    // Whoever closed the port (Disconnect, Setup, a failed attempt, an
    // unplugged cable), nothing may write through it any more.
    watchdog_->stop();
    d_.ClusterReady = false;
    emit connectionClosed();
}

void ClusterSession::onPortLost(const QString& reason) {
    // A wait in progress reports the loss itself.
    if (exchange_->busy()) return;
    emit portLost(words::PortLost(reason, host_.audience));
}

// ---------------------------------------------------------- Identification

bool ClusterSession::prefixedExchange(const QString& request, const QString& prefix,
                                      QString* phase1, QString* remainder, Failure* failure) {
    // The answer prefix, then the rest of its line in a fresh buffer.
    failure->command = request;
    WaitResult r = exchange_->Ask(request, prefix);
    if (r.ok()) {
        *phase1 = r.buffer;
        r = exchange_->WaitFor(kLineEnd);
    }
    if (!r.ok()) {
        failure->result = r;
        return false;
    }
    *remainder = r.buffer;
    return true;
}

bool ClusterSession::GetClusterInfo(Failure* failure) {
    for (int i = 0; i < 4; ++i) {
        QString phase1;
        QString remainder;
        if (!prefixedExchange(QLatin1String(kIdentification[i].text),
                              QLatin1String(kIdentification[i].prefix), &phase1, &remainder,
                              failure)) {
            return false;
        }
        switch (i) {
            case 0:
                d_.PartPrefix = cluster::PartPrefixFromRemainder(remainder);
                break;
            case 1:
                d_.PartBase = cluster::PartBaseFromRemainder(remainder);
                break;
            case 2:
                cluster::GetClusterModel(d_, remainder);
                emit modelIdentified(d_.ModelName);
                break;
            default:
                break;  // E200 is only awaited
        }
        emit connectStep(2 + int(std::size(kAdapterSetupCommands)) + i);
        if (i < 3 && !pause(kBetweenIdentificationMs, failure)) return false;
    }
    emit clusterIdentified(cluster::DisplayPartNumber(d_));
    return true;
}

// ------------------------------------------------------------- Police mode

std::optional<ClusterSession::ValidRead> ClusterSession::PoliceModeRead(Failure* failure) {
    d_.PM_ReadValid = false;
    QString phase1;
    QString phase2;
    if (!prefixedExchange(kPoliceRead, kPoliceReadPrefix, &phase1, &phase2, failure)) {
        return std::nullopt;
    }
    std::optional<cluster::PoliceRecord> record = cluster::ApplyPoliceRead(d_, phase1, phase2);
    if (!record) return std::nullopt;
    return ValidRead{*record, exchange_->operation()};
}

std::optional<cluster::PoliceRecord> ClusterSession::readPoliceMode(QList<Message>* messages) {
    Failure failure;
    const std::optional<ValidRead> read = PoliceModeRead(&failure);
    if (!read) {
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the operation silently
        } else if (failure.result.ok()) {
            messages->append(words::ReadGarbled());
        } else {
            messages->append(words::ReadFailed(failure.result, host_.audience));
        }
        return std::nullopt;
    }
    emit policeModeShown(read->record.label());
    return read->record;
}

SessionReport ClusterSession::ReadPoliceMode() {
    SessionReport report;
    if (busy()) {
        report.status = SessionStatus::Busy;
        return report;
    }
    Exchange::Session session(*exchange_);
    if (!readPoliceMode(&report.messages)) {
        report.status =
            exchange_->cancelRequested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    }
    return report;
}

bool ClusterSession::recordHistory(const QString& path, const QString& step, const QString& record,
                                   const QString& request, const QString& outcome, QString* error) {
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

ClusterSession::WriteOutcome ClusterSession::WritePoliceMode(const ValidRead& read,
                                                             const QString& history,
                                                             Failure* failure, QString* request,
                                                             QString* historyError) {
    // A record read by another operation may no longer be what the cluster holds.
    if (read.operation != exchange_->operation()) return WriteOutcome::NotSafe;
    *request = cluster::PoliceWriteRequest(d_, read.record);
    if (!d_.ClusterReady) return WriteOutcome::Skipped;
    // Last line of defence, computed independently of the bit table.
    if (!writeCheck_ || !writeCheck_(read.record.text(), *request)) return WriteOutcome::NotSafe;
    // What the cluster held must be on the disk before the change is made.
    if (!recordHistory(history, QStringLiteral("before"), read.record.text(), *request, {},
                       historyError))
        return WriteOutcome::NotRecorded;
    failure->command = *request;
    WaitResult r = exchange_->Ask(*request, kPoliceWritePrefix);
    const bool resent = r.resent;
    if (r.ok()) r = exchange_->WaitFor(kLineEnd, r.buffer, {});
    r.resent = resent;
    failure->result = r;
    if (r.ok()) return WriteOutcome::Acknowledged;
    return r.status == WaitStatus::NegativeResponse ? WriteOutcome::Refused
                                                    : WriteOutcome::NotConfirmed;
}

PoliceReport ClusterSession::TogglePoliceMode() {
    return changePoliceMode(std::nullopt);
}

PoliceReport ClusterSession::SetPoliceMode(bool on) {
    return changePoliceMode(on);
}

PoliceReport ClusterSession::changePoliceMode(std::optional<bool> wanted) {
    PoliceReport report;
    report.status = SessionStatus::Failed;
    if (busy()) {
        report.status = SessionStatus::Busy;
        return report;
    }
    Exchange::Session session(*exchange_);
    // The history file of this operation, whatever is saved meanwhile.
    const QString history = historyPath();

    // The record is read afresh in this same operation: the write is built
    // from nothing older.
    Failure failure;
    const std::optional<ValidRead> read = PoliceModeRead(&failure);
    if (!read) {
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the operation silently
            report.status = SessionStatus::Cancelled;
        } else if (failure.result.ok()) {
            report.messages << words::ChangeReadGarbled();
        } else {
            report.messages << words::ChangeReadFailed(failure.result, host_.audience);
        }
        return report;
    }
    const QString before = read->record.label();
    report.before = before;
    if (wanted && (before == QLatin1String("ON")) == *wanted) {
        report.change = PoliceChange::AlreadySo;
        report.status = SessionStatus::Done;
        emit policeModeShown(before);
        return report;
    }
    // Cancel still ends the change during the pause before the write.
    if (!pause(kAroundWriteMs, &failure)) {
        closePort();
        report.status = SessionStatus::Cancelled;
        return report;
    }
    // The pause lets the line settle: all that may wait now is the prompt
    // that ends the read's own answer. Anything more is an answer the read
    // may have been taken from in error, such as one to an earlier request
    // that came too late, and no write may rest on it.
    if (!exchange_->onlyPromptWaiting()) {
        report.messages << words::ChangeUnsettled();
        return report;
    }

    // From here on the operation runs to its end: once the request is on
    // the wire it cannot be called back, and the read afterwards is what
    // tells whether it was applied.
    exchange_->setCancellable(false);
    QString request;
    QString historyError;
    const WriteOutcome outcome = WritePoliceMode(*read, history, &failure, &request, &historyError);
    const bool sent = outcome == WriteOutcome::Acknowledged || outcome == WriteOutcome::Refused ||
                      outcome == WriteOutcome::NotConfirmed;
    if (sent) report.change = PoliceChange::Written;
    exchange_->Pause(kAroundWriteMs);
    // A lost port has been reported already; reading it again would only repeat that.
    std::optional<cluster::PoliceRecord> readBack;
    if (port_->PortOpen()) readBack = readPoliceMode(&report.messages);
    const QString after = readBack ? readBack->label() : QString();

    // What the read back shows decides, whenever there is one: a write the
    // adapter stopped may have been applied although its resend was refused.
    const bool applied = readBack && after != before;
    QString historyOutcome;
    switch (outcome) {
        case WriteOutcome::Acknowledged:
        case WriteOutcome::Refused:
        case WriteOutcome::NotConfirmed:
            if (applied) {
                historyOutcome = words::OutcomeApplied();
                report.status = SessionStatus::Done;
            } else if (outcome == WriteOutcome::Acknowledged) {
                historyOutcome =
                    readBack ? words::OutcomeNotApplied() : words::OutcomeNotReadBack();
                if (readBack) report.messages << words::ChangeNotApplied(before);
            } else if (outcome == WriteOutcome::Refused) {
                historyOutcome = words::OutcomeRefused(failure.result.negativeCode);
                report.messages << words::ChangeRefused(failure.result, host_.audience);
            } else {
                historyOutcome = words::OutcomeUnconfirmed(failure.result);
                report.messages << words::ChangeNotConfirmed(failure.result, after, host_.audience);
            }
            if (failure.result.resent) historyOutcome = words::OutcomeResent(historyOutcome);
            break;
        case WriteOutcome::NotSafe:
            report.messages << words::ChangeNotSafe();
            break;
        case WriteOutcome::NotRecorded:
            report.messages << words::ChangeNotRecorded(history, historyError);
            break;
        case WriteOutcome::Skipped:
            break;
    }

    if (sent) {
        // The setting shown before the write is no longer known to hold.
        if (!readBack) emit policeModeUnknown();
        QString error;
        const QString readBackText = readBack ? readBack->text() : QString();
        if (!recordHistory(history, QStringLiteral("after"), readBackText, request, historyOutcome,
                           &error)) {
            report.messages << words::HistoryNotWritten(history, error);
        }
    }
    return report;
}

}  // namespace tavrin
