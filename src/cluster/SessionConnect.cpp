// Connect: the port, the adapter's reset and set-up, the cluster's
// identification and the police-mode read, in the order of the wire.
#include <algorithm>
#include <iterator>

#include "cluster/ClusterSession.h"
#include "core/Defines.h"
#include "platform/AdapterLine.h"
#include "platform/AdapterLog.h"
#include "platform/Clock.h"
#include "platform/NetLine.h"
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

// The fixed pauses between commands, in milliseconds.
constexpr int kBeforeIdentificationMs = 1000;
constexpr int kBetweenIdentificationMs = 500;
constexpr int kBeforePoliceReadMs = 500;

// The adapter's name in its reset answer: from "ELM" on, without the two
// line ends and the prompt that close it; otherwise the answer's last line.
QString adapterName(const QString& buffer) {
    const int p = buffer.indexOf(QLatin1String("ELM"));
    if (p >= 0) return buffer.mid(p, qMax(0, int(buffer.size()) - p - 3));
    const std::optional<QStringList> lines = AnswerLines(buffer, kReset);
    return lines && !lines->isEmpty() ? lines->last() : QString();
}

}  // namespace

QCoro::Task<SessionReport> ClusterSession::Connect(Stop stop) {
    SessionReport report;
    const auto endedEarly = [&stop] {
        return stop.requested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    };
    bool abandoned = false;
    const bool completed = co_await ConnectELM(&report.messages, &abandoned, stop);
    if (!completed) {
        report.status = abandoned ? SessionStatus::Abandoned : endedEarly();
        co_return report;
    }
    // Only a completed attempt leaves an open port and an answering adapter
    // to read from.
    const bool paused = co_await exchange_->Pause(kBeforePoliceReadMs, stop);
    if (!paused) {
        closePort();
        report.status = endedEarly();
        co_return report;
    }
    const std::optional<cluster::PoliceRecord> read =
        co_await readPoliceMode(&report.messages, stop);
    if (read) {
        emit connectStep(kConnectSteps);
    } else {
        report.status = endedEarly();
    }
    co_return report;
}

QCoro::Task<bool> ClusterSession::openLine(QList<Message>* messages, Stop stop) {
    const Audience a = host_.audience;
    if (!d_.Network.isEmpty()) {
        const std::optional<NetworkAddress> address = network();
        useLine(net_, netExchange_);
        inUse_ = LineInUse{QStringLiteral("Wi-Fi ") + d_.Network, QString()};
        if (!address) {
            messages->append(words::NetworkAddressInvalid(d_.Network, a));
            co_return false;
        }
        inUse_.port = QStringLiteral("Wi-Fi ") + address->text();
        QString why;
        const NetOpen opened = co_await net_->connectTo(
            address->host, address->port, host_.limits.connectMs, host_.clock(), stop, &why);
        if (opened == NetOpen::Connected) {
            net_->InputLen = 1;
            co_return true;
        }
        // A cancelled attempt ends silently.
        if (opened != NetOpen::Cancelled)
            messages->append(words::NetworkUnreachable(*address, opened, why, a));
        co_return false;
    }

    // The port and speed of this attempt, and of the connection it makes,
    // whatever is saved meanwhile: port COMn, or a device named directly.
    useLine(serial_, serialExchange_);
    const QString folder = SettingsFolder(d_, host_);
    const bool numbered = device_.isEmpty();
    inUse_ = LineInUse{numbered ? QStringLiteral("COM%1").arg(d_.ComPort) : device_, d_.ComSpeed};
    const QString path = numbered ? ComDevicePath(d_.ComPort, folder) : DevicePathOf(device_);
    const ProbeResult probe = ProbeDevice(path, serial_, host_);
    if (probe != ProbeResult::Available) {
        const QString name = numbered ? ComDeviceName(d_.ComPort, folder) : device_;
        messages->append(words::PortCheck(ProbeDetail(probe, inUse_.port, name, a), a));
        co_return false;
    }
    const OpenResult opened = OpenDevice(path, d_, *serial_, host_);
    if (opened == OpenResult::InvalidSpeed) {
        messages->append(words::InvalidSpeed(d_.ComSpeed, a));
        co_return false;
    }
    if (opened != OpenResult::Opened) {
        messages->append(words::OpenFailed(inUse_.port, serial_->lastErrorText(), a));
        co_return false;
    }
    co_return true;
}

QCoro::Task<bool> ClusterSession::ConnectELM(QList<Message>* messages, bool* abandoned, Stop stop) {
    d_.ConnectState = 0;
    const bool opened = co_await openLine(messages, stop);
    if (!opened) co_return false;

    exchange_->SendCommand(kReset);
    watchdog_->setInterval(host_.limits.watchdogMs);
    watchdog_->start();
    emit connecting();

    const WaitResult reset = co_await exchange_->WaitFor(QStringLiteral(">"), stop, QString(),
                                                         [this] { return d_.ConnectState == 3; });
    if (reset.status == WaitStatus::Abandoned) {
        // The watchdog has told the user; free the port so Connect works again.
        *abandoned = true;
        closePort();
        co_return false;
    }
    if (!reset.ok()) {
        endAttempt(kReset, reset, messages);
        co_return false;
    }
    // A prompt among unreadable characters is noise at a wrong line speed,
    // not an adapter, and its "identification" would be noise too; but an
    // answer that names the adapter has only picked up a stray byte or two
    // (a wait ends at the fourth), which the identification leaves out.
    QString buffer = reset.buffer;
    if (std::any_of(buffer.begin(), buffer.end(), IsUnreadableChar)) {
        if (!buffer.contains(QLatin1String("ELM"))) {
            WaitResult noise = reset;
            noise.status = WaitStatus::Unreadable;
            endAttempt(kReset, noise, messages);
            co_return false;
        }
        buffer.removeIf(IsUnreadableChar);
    }
    emit adapterIdentified(adapterName(buffer));
    int step = 1;
    emit connectStep(step);

    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const WaitResult r = co_await exchange_->Ask(command, QStringLiteral("OK\r"), stop);
        if (!r.ok() && !FormattingAlwaysOn(command, r)) {
            endAttempt(command, r, messages);
            co_return false;
        }
        if (!r.ok()) {
            // Formatting is on after a reset on every ELM327-type adapter;
            // one that cannot switch it (many Wi-Fi adapters) keeps it on.
            if (AdapterLog* log = port_->log())
                log->note(QStringLiteral("the adapter does not know \"%1\": it formats CAN "
                                         "answers always, as after atz; going on")
                              .arg(command));
        }
        emit connectStep(++step);
    }

    Failure failure;
    bool identified = co_await exchange_->Pause(kBeforeIdentificationMs, stop);
    if (!identified) failure.result.status = WaitStatus::Cancelled;
    if (identified) identified = co_await GetClusterInfo(&failure, stop);
    if (!identified) {
        endAttempt(failure.command, failure.result, messages);
        co_return false;
    }

    d_.ClusterReady = true;
    emit connected();
    d_.ConnectState = 1;
    watchdog_->stop();
    co_return true;
}

QCoro::Task<bool> ClusterSession::GetClusterInfo(Failure* failure, Stop stop) {
    for (int i = 0; i < 4; ++i) {
        QString phase1;
        QString remainder;
        const bool answered = co_await prefixedExchange(QLatin1String(kIdentification[i].text),
                                                        QLatin1String(kIdentification[i].prefix),
                                                        &phase1, &remainder, failure, stop);
        if (!answered) co_return false;
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
        if (i == 3) break;
        const bool paused = co_await exchange_->Pause(kBetweenIdentificationMs, stop);
        if (!paused) {
            failure->result = WaitResult{};
            failure->result.status = WaitStatus::Cancelled;
            co_return false;
        }
    }
    emit clusterIdentified(cluster::DisplayPartNumber(d_));
    co_return true;
}

}  // namespace tavrin
