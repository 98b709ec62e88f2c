#include "cluster/ClusterSession.h"

#include <QStringList>
#include <QTimer>

#include "cluster/ClusterParsing.h"
#include "cluster/PoliceSafety.h"
#include "core/Defines.h"
#include "platform/MSComm.h"
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

Message portCheckMessage(const QString& detail) {
    return Message{QStringLiteral("ERROR! Comm Port is either in use or not found!"),
                   QStringLiteral("ERROR!"), MessageIcon::Critical, detail};
}

bool defaultWriteCheck(const QString& record, const QString& request) {
    // The request must be the record just read with the police-mode bit
    // inverted and nothing else changed.
    const QString expected = cluster::ExpectedPoliceWrite(record);
    return !expected.isEmpty() && request == expected;
}

}  // namespace

Message ErrorMessage(const QString& text, const QString& detail) {
    return Message{text, QStringLiteral("Error!"), MessageIcon::Critical, detail};
}

ClusterSession::ClusterSession(Defines& defines, Host& host, QObject* parent)
    : QObject(parent), d_(defines), host_(host), writeCheck_(defaultWriteCheck) {
    setObjectName(QStringLiteral("ClusterSession"));
    port_ = new MSComm(this);
    port_->setObjectName(QStringLiteral("MSComm1"));
    exchange_ = new Exchange(*port_, host_, this);

    // Never fires until a connection attempt arms it; one tick per attempt.
    watchdog_ = new QTimer(this);
    watchdog_->setObjectName(QStringLiteral("Timer1"));
    watchdog_->setSingleShot(true);

    connect(watchdog_, &QTimer::timeout, this, &ClusterSession::Timer1_Timer);
    connect(port_, &MSComm::closed, this, &ClusterSession::onPortClosed);
    connect(port_, &MSComm::portLost, this, &ClusterSession::onPortLost);
}

ClusterSession::~ClusterSession() {
    // Nobody is left to tell about the port closing.
    port_->disconnect(this);
}

bool ClusterSession::isConnected() const {
    return d_.ClusterReady && port_->PortOpen();
}

// ---------------------------------------------------------------- Connect

SessionReport ClusterSession::Connect() {
    SessionReport report;
    if (busy()) {
        report.status = SessionStatus::Busy;
        return report;
    }
    Exchange::Session session(*exchange_);
    if (!ConnectELM(&report.messages)) {
        report.status = d_.ConnectState == 3 ? SessionStatus::Abandoned : SessionStatus::Failed;
        return report;
    }
    // Only a completed attempt leaves an open port and an answering adapter
    // to read from.
    host_.sleepMs(500);
    if (!readPoliceMode(&report.messages)) report.status = SessionStatus::Failed;
    return report;
}

bool ClusterSession::ConnectELM(QList<Message>* messages) {
    d_.ConnectState = 0;
    const QString folder = SettingsFolder(d_, host_);
    const ProbeResult probe = ProbeComPort(d_.ComPort, folder, port_);
    if (probe != ProbeResult::Available) {
        messages->append(portCheckMessage(ProbeDetail(probe, d_.ComPort, folder)));
        return false;
    }
    const OpenResult opened = OpenComPort(d_, folder, *port_);
    if (opened == OpenResult::InvalidSpeed) {
        messages->append(Message{
            QStringLiteral("The line speed \"%1\" cannot be used.").arg(d_.ComSpeed),
            QStringLiteral("ERROR!"), MessageIcon::Critical,
            QStringLiteral("Choose one of the speeds %1 in Setup, then click Connect again.")
                .arg(OfferedSpeedsText())});
        return false;
    }
    if (opened != OpenResult::Opened) {
        messages->append(portCheckMessage(port_->lastErrorText()));
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
        closePort();
        return false;
    }
    if (!reset.ok()) {
        endAttempt(kReset, reset, messages);
        return false;
    }

    const QString& buffer = reset.buffer;
    const int p = buffer.indexOf(QLatin1String("ELM"));
    emit adapterIdentified(p >= 0 ? buffer.mid(p, qMax(0, int(buffer.size()) - p - 3))
                                  : identificationWithoutElm(buffer));

    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const WaitResult r = exchange_->Ask(command, QStringLiteral("OK\r"));
        if (!r.ok()) {
            endAttempt(command, r, messages);
            return false;
        }
    }

    host_.sleepMs(1000);

    Failure failure;
    if (!GetClusterInfo(&failure)) {
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
    QString detail;
    if (result.status == WaitStatus::AdapterError && result.adapterText == QLatin1String("?")) {
        detail = QStringLiteral(
            "The adapter does not know this command. Some low-cost adapter "
            "clones lack commands; a genuine ELM327-type adapter is needed.");
    } else if (result.status == WaitStatus::TimedOut || result.status == WaitStatus::PortClosed) {
        detail = QStringLiteral(
            "Check the adapter's cable and that the ignition is on, then "
            "click Connect to try again.");
    } else {
        detail = QStringLiteral(
            "Check that the ignition is on and that the car is a supported "
            "model, then click Connect to try again.");
    }
    closePort();
    messages->append(ErrorMessage(
        QStringLiteral("Connection failed at \"%1\": %2.").arg(command, result.describe()),
        detail));
}

void ClusterSession::Timer1_Timer() {
    emit watchdogExpired(ErrorMessage(QStringLiteral("Unable to Connect To ELM")));
    d_.ConnectState = 3;
    watchdog_->stop();
    // Let a waiting reset notice at once.
    exchange_->wake();
}

void ClusterSession::Disconnect() {
    closePort();
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
    emit portLost(ErrorMessage(QStringLiteral("The connection to the adapter was lost."), reason));
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
        if (i < 3) host_.sleepMs(500);
    }
    emit clusterIdentified(cluster::DisplayPartNumber(d_));
    return true;
}

// ------------------------------------------------------------- Police mode

bool ClusterSession::PoliceModeRead(Failure* failure) {
    d_.PM_ReadValid = false;
    QString phase1;
    QString phase2;
    if (!prefixedExchange(kPoliceRead, kPoliceReadPrefix, &phase1, &phase2, failure)) {
        return false;
    }
    cluster::ApplyPoliceRead(d_, phase1, phase2);
    return true;
}

bool ClusterSession::readPoliceMode(QList<Message>* messages) {
    Failure failure;
    if (!PoliceModeRead(&failure)) {
        messages->append(
            ErrorMessage(QStringLiteral("The police mode setting could not be read: %1.")
                             .arg(failure.result.describe()),
                         QStringLiteral("The setting shown may be out of date.")));
        return false;
    }
    if (!d_.PM_ReadValid) {
        messages->append(
            ErrorMessage(QStringLiteral("The police mode setting could not be read: the "
                                        "cluster's answer was incomplete or garbled."),
                         QStringLiteral("The setting shown may be out of date.")));
        return false;
    }
    const QString label = cluster::PoliceModeLabel(d_);
    if (!label.isEmpty()) emit policeModeShown(label);
    return true;
}

SessionReport ClusterSession::ReadPoliceMode() {
    SessionReport report;
    if (busy()) {
        report.status = SessionStatus::Busy;
        return report;
    }
    Exchange::Session session(*exchange_);
    if (!readPoliceMode(&report.messages)) report.status = SessionStatus::Failed;
    return report;
}

ClusterSession::WriteOutcome ClusterSession::WritePoliceMode(const QString& readRecord,
                                                             Failure* failure) {
    const QString request = cluster::BuildPoliceWriteRequest(d_);
    if (!d_.ClusterReady) return WriteOutcome::Skipped;
    // Last line of defence, computed independently of the bit table.
    if (!writeCheck_ || !writeCheck_(readRecord, request)) return WriteOutcome::NotSafe;
    failure->command = request;
    WaitResult r = exchange_->Ask(request, kPoliceWritePrefix);
    if (r.ok()) r = exchange_->WaitFor(kLineEnd, r.buffer, {});
    if (!r.ok()) {
        failure->result = r;
        return WriteOutcome::Refused;
    }
    return WriteOutcome::Acknowledged;
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

    // The record is read afresh in this same operation: the write is built
    // from nothing older.
    Failure failure;
    if (!PoliceModeRead(&failure)) {
        report.messages << ErrorMessage(QStringLiteral("The police mode record could not be "
                                                       "read, so nothing was written: %1.")
                                            .arg(failure.result.describe()));
        return report;
    }
    if (!d_.PM_ReadValid) {
        report.messages << ErrorMessage(
            QStringLiteral("The police mode record could not be read completely, so nothing "
                           "was written to the cluster."),
            QStringLiteral("The cluster's answer was incomplete or garbled. Try again."));
        return report;
    }
    const QString readRecord = cluster::RecordText(d_);
    const QString before = cluster::PoliceModeLabel(d_);
    report.before = before;
    if (wanted && (before == QLatin1String("ON")) == *wanted) {
        report.change = PoliceChange::AlreadySo;
        report.status = SessionStatus::Done;
        emit policeModeShown(before);
        return report;
    }

    cluster::InvertPoliceBit(d_);
    host_.sleepMs(500);
    const WriteOutcome outcome = WritePoliceMode(readRecord, &failure);
    if (outcome == WriteOutcome::Acknowledged || outcome == WriteOutcome::Refused)
        report.change = PoliceChange::Written;
    host_.sleepMs(500);
    // A lost port has been reported already; reading it again would only repeat that.
    const bool reread = port_->PortOpen() && readPoliceMode(&report.messages);

    switch (outcome) {
        case WriteOutcome::Acknowledged:
            if (reread && cluster::PoliceModeLabel(d_) == before) {
                report.messages << ErrorMessage(
                    QStringLiteral("The cluster acknowledged the change but did not apply "
                                   "it: police mode is still %1.")
                        .arg(before));
            } else if (reread) {
                report.status = SessionStatus::Done;
            }
            break;
        case WriteOutcome::Refused:
            report.messages << ErrorMessage(
                QStringLiteral("The cluster refused the change: %1.")
                    .arg(failure.result.describe()),
                QStringLiteral("The setting shown is the one the cluster reports now."));
            break;
        case WriteOutcome::NotSafe:
            report.messages << ErrorMessage(
                QStringLiteral("The change was not written: the record to write did not "
                               "match the record read."));
            break;
        case WriteOutcome::Skipped:
            break;
    }
    return report;
}

}  // namespace tavrin
