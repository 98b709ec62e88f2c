#include "cluster/ClusterSession.h"

#include <algorithm>

#include <QDir>
#include <QStringList>
#include <QTimer>

#include "cluster/ClusterParsing.h"
#include "cluster/PoliceSafety.h"
#include "cluster/WriteHistory.h"
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

const QString kTryConnect = QStringLiteral("then click Connect to try again.");

// The system's own words about a failure, as a detail after the user's words.
QString systemText(const QString& reason) {
    return reason.isEmpty() ? QString() : QStringLiteral("\n\nSystem message: %1").arg(reason);
}

// What the user can do after a failed wait, in words.
QString adviceFor(const WaitResult& r) {
    switch (r.status) {
        case WaitStatus::AdapterError: {
            const QString& said = r.adapterText;
            if (said == QLatin1String("?"))
                return QStringLiteral(
                    "The adapter does not know this command. Some low-cost adapter "
                    "clones lack commands; a genuine ELM327-type adapter is needed.");
            if (said.contains(QLatin1String("STOPPED")))
                return QStringLiteral(
                           "The adapter stops a request when anything reaches it while it works on "
                           "one: another program using the same adapter, or a faulty cable or "
                           "Bluetooth link sending stray characters. Close other programs that use "
                           "the adapter and check its connection, ") +
                       kTryConnect;
            if (said.contains(QLatin1String("ALERT")) || said.contains(QLatin1String("LV RESET")))
                return QStringLiteral("This usually means low voltage: check the car's battery, ") +
                       kTryConnect;
            if (said.contains(QLatin1String("BUS")) || said.contains(QLatin1String("CAN ERROR")))
                return QStringLiteral(
                           "Check that the adapter sits firmly in the car's socket and that the "
                           "ignition is on, ") +
                       kTryConnect;
            return QStringLiteral(
                       "Check that the ignition is on and that the car is a supported model, ") +
                   kTryConnect;
        }
        case WaitStatus::NegativeResponse:
            return NegativeResponseAdvice(r.negativeCode);
        case WaitStatus::TimedOut:
            return QStringLiteral("Check the adapter's cable and that the ignition is on, ") +
                   kTryConnect;
        case WaitStatus::PortClosed:
            return QStringLiteral(
                       "The adapter was unplugged, lost power, or its Bluetooth link dropped. "
                       "Plug it in again, ") +
                   kTryConnect + systemText(r.adapterText);
        case WaitStatus::Unreadable:
            return QStringLiteral(
                       "The line speed set in Setup is probably not the adapter's. Choose its "
                       "speed in Setup (Find Adapter there can find it), ") +
                   kTryConnect;
        default:
            return QStringLiteral(
                       "The adapter's answer did not make sense. Check the line speed in Setup "
                       "and that the adapter is an ELM327-type adapter, ") +
                   kTryConnect;
    }
}

// How a write that got no usable answer ended, for the history.
QString unconfirmedOutcome(const WaitResult& r) {
    switch (r.status) {
        case WaitStatus::TimedOut:
            return QStringLiteral("no answer");
        case WaitStatus::PortClosed:
            return QStringLiteral("port lost");
        case WaitStatus::AdapterError:
            return QStringLiteral("adapter error %1").arg(r.adapterText);
        default:
            return QStringLiteral("unexpected answer");
    }
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
    port_->setLog(&host_.adapterLog());
    exchange_ = new Exchange(*port_, host_, this);
    connect(exchange_, &Exchange::cancellableChanged, this, &ClusterSession::cancellableChanged);

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
        report.status = exchange_->cancelRequested() ? SessionStatus::Cancelled
                        : d_.ConnectState == 3       ? SessionStatus::Abandoned
                                                     : SessionStatus::Failed;
        return report;
    }
    // Only a completed attempt leaves an open port and an answering adapter
    // to read from.
    host_.sleepMs(500);
    if (!readPoliceMode(&report.messages)) {
        report.status =
            exchange_->cancelRequested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    }
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
        messages->append(portCheckMessage(
            QStringLiteral("COM%1 passed the first check but could not be opened. Unplug and "
                           "replug the adapter and try again.")
                .arg(d_.ComPort) +
            systemText(port_->lastErrorText())));
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
    // A prompt among unreadable characters is noise at a wrong line speed,
    // not an adapter, and its "identification" would be noise too.
    if (std::any_of(reset.buffer.begin(), reset.buffer.end(), IsUnreadableChar)) {
        WaitResult noise = reset;
        noise.status = WaitStatus::Unreadable;
        endAttempt(kReset, noise, messages);
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
    closePort();
    // A cancelled attempt ends silently.
    if (result.status == WaitStatus::Cancelled) return;
    if (result.status == WaitStatus::Unreadable) {
        messages->append(ErrorMessage(
            QStringLiteral("The adapter's answers could not be read: the line speed is "
                           "probably wrong."),
            QStringLiteral("COM%1 is set to %2 bit/s, and the adapter seems to use another "
                           "speed. Choose its speed in Setup (Find Adapter there can find it), "
                           "then click Connect again.")
                .arg(d_.ComPort)
                .arg(d_.ComSpeed)));
        return;
    }
    messages->append(ErrorMessage(
        QStringLiteral("Connection failed at \"%1\": %2.").arg(command, result.describe()),
        adviceFor(result)));
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
    emit portLost(ErrorMessage(
        QStringLiteral("The connection to the adapter was lost: it was unplugged, lost power, "
                       "or its Bluetooth link dropped."),
        QStringLiteral("Plug it in again, then click Connect.") + systemText(reason)));
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
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the operation silently
            return false;
        }
        messages->append(ErrorMessage(
            QStringLiteral("The police mode setting could not be read: %1.")
                .arg(failure.result.describe()),
            QStringLiteral("The setting shown may be out of date. ") + adviceFor(failure.result)));
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
    if (!readPoliceMode(&report.messages)) {
        report.status =
            exchange_->cancelRequested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    }
    return report;
}

bool ClusterSession::recordHistory(const QString& step, const QString& record,
                                   const QString& request, const QString& outcome, QString* error) {
    WriteHistory::Line line;
    line.time = QDateTime::currentDateTime();
    line.port = QStringLiteral("COM%1").arg(d_.ComPort);
    line.speed = d_.ComSpeed;
    line.partNumber = cluster::DisplayPartNumber(d_);
    line.model = d_.ModelName;
    line.step = step;
    line.record = record;
    line.request = request;
    line.outcome = outcome;
    return WriteHistory(historyPath()).append(line, error);
}

ClusterSession::WriteOutcome ClusterSession::WritePoliceMode(const QString& readRecord,
                                                             Failure* failure, QString* request,
                                                             QString* historyError) {
    *request = cluster::BuildPoliceWriteRequest(d_);
    if (!d_.ClusterReady) return WriteOutcome::Skipped;
    // Last line of defence, computed independently of the bit table.
    if (!writeCheck_ || !writeCheck_(readRecord, *request)) return WriteOutcome::NotSafe;
    // What the cluster held must be on the disk before the change is made.
    if (!recordHistory(QStringLiteral("before"), readRecord, *request, {}, historyError))
        return WriteOutcome::NotRecorded;
    failure->command = *request;
    WaitResult r = exchange_->Ask(*request, kPoliceWritePrefix);
    if (r.ok()) r = exchange_->WaitFor(kLineEnd, r.buffer, {});
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

    // The record is read afresh in this same operation: the write is built
    // from nothing older.
    Failure failure;
    if (!PoliceModeRead(&failure)) {
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the operation silently
            report.status = SessionStatus::Cancelled;
            return report;
        }
        report.messages << ErrorMessage(QStringLiteral("The police mode record could not be "
                                                       "read, so nothing was written: %1.")
                                            .arg(failure.result.describe()),
                                        adviceFor(failure.result));
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

    // From here on the operation runs to its end: once the request is on
    // the wire it cannot be called back, and the read afterwards is what
    // tells whether it was applied.
    exchange_->setCancellable(false);
    cluster::InvertPoliceBit(d_);
    host_.sleepMs(500);
    QString request;
    QString historyError;
    const WriteOutcome outcome = WritePoliceMode(readRecord, &failure, &request, &historyError);
    const bool sent = outcome == WriteOutcome::Acknowledged || outcome == WriteOutcome::Refused ||
                      outcome == WriteOutcome::NotConfirmed;
    if (sent) report.change = PoliceChange::Written;
    host_.sleepMs(500);
    // A lost port has been reported already; reading it again would only repeat that.
    const bool reread = port_->PortOpen() && readPoliceMode(&report.messages);
    const QString after = reread ? cluster::PoliceModeLabel(d_) : QString();

    QString historyOutcome;
    switch (outcome) {
        case WriteOutcome::Acknowledged:
            if (!reread) {
                historyOutcome = QStringLiteral("acknowledged, not read back");
            } else if (after == before) {
                historyOutcome = QStringLiteral("not applied");
                report.messages << ErrorMessage(
                    QStringLiteral("The cluster acknowledged the change but did not apply "
                                   "it: police mode is still %1.")
                        .arg(before));
            } else {
                historyOutcome = QStringLiteral("applied");
                report.status = SessionStatus::Done;
            }
            break;
        case WriteOutcome::Refused:
            historyOutcome = QStringLiteral("refused %1 (%2)")
                                 .arg(NegativeCodeText(failure.result.negativeCode),
                                      NegativeResponseMeaning(failure.result.negativeCode));
            report.messages << ErrorMessage(
                QStringLiteral("The cluster refused the change: %1.")
                    .arg(failure.result.describe()),
                NegativeResponseAdvice(failure.result.negativeCode) +
                    QStringLiteral(" The setting shown is the one the cluster reports now."));
            break;
        case WriteOutcome::NotConfirmed: {
            historyOutcome = unconfirmedOutcome(failure.result);
            const QString now = reread ? QStringLiteral(
                                             "Police mode now reads %1, as read back from the "
                                             "cluster.")
                                             .arg(after)
                                       : QStringLiteral(
                                             "It could not be read back: once the adapter answers "
                                             "again, click Connect to see what the cluster holds.");
            if (failure.result.status == WaitStatus::PortClosed) {
                report.messages << ErrorMessage(
                    QStringLiteral("The connection to the adapter was lost during the change; "
                                   "it may or may not have been applied."),
                    QStringLiteral("Plug the adapter in again, click Connect and check police "
                                   "mode.") +
                        systemText(failure.result.adapterText));
            } else {
                report.messages << ErrorMessage(
                    QStringLiteral("The cluster did not confirm the change (%1); it may or may "
                                   "not have been applied.")
                        .arg(failure.result.describe()),
                    now);
            }
            break;
        }
        case WriteOutcome::NotSafe:
            report.messages << ErrorMessage(
                QStringLiteral("The change was not written: the record to write did not "
                               "match the record read."));
            break;
        case WriteOutcome::NotRecorded:
            report.messages << ErrorMessage(
                QStringLiteral("The change was not written: the write history could not be "
                               "saved."),
                QStringLiteral("Before every change the program notes what the cluster held "
                               "in %1, and that file could not be written: %2. Check that the "
                               "folder can be written and the disk is not full, then try "
                               "again.")
                    .arg(QDir::toNativeSeparators(historyPath()), historyError));
            break;
        case WriteOutcome::Skipped:
            break;
    }

    if (sent) {
        QString error;
        const QString readBack = reread ? cluster::RecordText(d_) : QString();
        if (!recordHistory(QStringLiteral("after"), readBack, request, historyOutcome, &error)) {
            report.messages << Message{
                QStringLiteral("The outcome of the change could not be added to the write "
                               "history."),
                QStringLiteral("Error!"), MessageIcon::Warning,
                QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(historyPath()), error)};
        }
    }
    return report;
}

}  // namespace tavrin
