// Connect: the port, the adapter's reset and set-up, the cluster's
// identification and the police-mode read, in the order of the wire.
#include <algorithm>
#include <iterator>

#include "cluster/ClusterSession.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "runtime/AdapterLog.h"
#include "runtime/Clock.h"
#include "runtime/NetLine.h"
#include "serial/AdapterCommands.h"
#include "serial/PortCheck.h"

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
    mirrorConnectState(nullptr);
    SessionReport report = co_await connectSteps(stop);
    endOperation(&report);
    mirrorConnectState(&report);
    co_return report;
}

QCoro::Task<SessionReport> ClusterSession::connectSteps(Stop stop) {
    SessionReport report;
    const Failure failure = co_await ConnectELM(stop, &report);
    if (!failure.ok()) {
        if (failure.result.status == WaitStatus::Abandoned && !stop.requested()) {
            // Told while the window still shows the attempt, as a tick does.
            emit watchdogExpired(words::Watchdog(host_.limits, host_.audience));
        }
        if (stop.requested() || failure.result.status == WaitStatus::Cancelled) {
            // A cancel ends silently, but for the words of an open it cut short.
            report.status = SessionStatus::Cancelled;
            if (failure.words) report.messages << *failure.words;
        } else if (failure.result.status == WaitStatus::Abandoned) {
            report.status = SessionStatus::Abandoned;
        } else {
            report.status = SessionStatus::Failed;
            report.messages << (failure.words ? *failure.words
                                              : words::ConnectionFailed(
                                                    failure.command, failure.result, inUse_.port,
                                                    inUse_.speed, host_.audience));
        }
        co_return report;
    }
    // A completed attempt leaves an open port and an answering adapter to
    // read from; a read that fails leaves the connection as it is.
    const WaitResult paused = co_await exchange_->Pause(kBeforePoliceReadMs, stop);
    Read read;
    if (paused.ok()) {
        read = co_await ReadPoliceMode(stop);
    } else {
        read.failure.command = QLatin1String(kPoliceReadCommand);
        read.failure.result = paused;
    }
    if (read.record) {
        emit connectStep(kConnectSteps, report);
        co_return report;
    }
    report.status = stop.requested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    // A cancel ends the operation silently.
    if (read.failure.result.status != WaitStatus::Cancelled)
        report.messages << readFailedWords(read.failure);
    co_return report;
}

QCoro::Task<ClusterSession::Failure> ClusterSession::openLine(Stop stop, SessionReport* report) {
    const Audience a = host_.audience;
    if (!d_.Network.isEmpty()) {
        const std::optional<NetworkAddress> address = network();
        useLine(net_, netExchange_);
        inUse_ = LineInUse{QStringLiteral("Wi-Fi ") + d_.Network, QString()};
        if (!address) co_return Failure::saying(words::NetworkAddressInvalid(d_.Network, a));
        inUse_.port = QStringLiteral("Wi-Fi ") + address->text();
        report->port = inUse_.port;
        emit connectStep(0, *report);
        QString why;
        const NetOpen opened = co_await net_->connectTo(
            address->host, address->port, host_.limits.connectMs, host_.clock(), stop, &why);
        if (opened == NetOpen::Connected) {
            net_->InputLen = 1;
            co_return Failure{};
        }
        if (opened == NetOpen::Cancelled) co_return Failure::cancelled();
        co_return Failure::saying(
            words::NetworkUnreachable(*address, opened, why, host_.limits.connectMs, a));
    }

    // The port and speed of this attempt, and of the connection it makes,
    // whatever is saved meanwhile: port COMn, or a device named directly.
    useLine(serial_, serialExchange_);
    const QString folder = SettingsFolder(d_, host_);
    const bool numbered = device_.isEmpty();
    inUse_ = LineInUse{numbered ? QStringLiteral("COM%1").arg(d_.ComPort) : device_, d_.ComSpeed};
    const QString path = numbered ? ComDevicePath(d_.ComPort, folder) : DevicePathOf(device_);
    const QString name = numbered ? ComDeviceName(d_.ComPort, folder) : device_;
    const auto portCheck = [&](ProbeResult probe) {
        return Failure::saying(
            words::PortCheck(ProbeDetail(probe, inUse_.port, name, a, host_.limits.openMs), a));
    };
    if (HeldByThisProgram(path, serial_)) co_return portCheck(ProbeResult::HeldByThisProgram);
    report->port = inUse_.port;
    emit connectStep(0, *report);
    // One open answers what a probe would: "in use", "not found", or no
    // answer in time from a Bluetooth adapter that is off or out of range.
    const OpenResult opened =
        co_await OpenDevice(path, d_.ComPort, d_.ComSpeed, *serial_, host_, stop);
    switch (opened) {
        case OpenResult::Opened:
            co_return Failure{};
        case OpenResult::InvalidSpeed:
            co_return Failure::saying(words::InvalidSpeed(d_.ComSpeed, a));
        case OpenResult::Cancelled: {
            // Said all the same: a port that kept the open waiting is worth
            // knowing about.
            Failure cancelled = Failure::cancelled();
            cancelled.words = words::OpenCancelled(inUse_.port, a);
            co_return cancelled;
        }
        case OpenResult::Failed:
            co_return Failure::saying(words::OpenFailed(inUse_.port, serial_->lastErrorText(), a));
        case OpenResult::NotFound:
        case OpenResult::InUse:
        case OpenResult::NoPermission:
        case OpenResult::NoAnswer:
            break;
    }
    co_return portCheck(ProbeResultOf(opened));
}

QCoro::Task<ClusterSession::Failure> ClusterSession::ConnectELM(Stop stop, SessionReport* report) {
    const Failure opened = co_await openLine(stop, report);
    if (!opened.ok()) co_return opened;

    // One budget for the whole attempt from the reset on. The reset's wait
    // ends at its deadline; later waits are not cut short by it, but its
    // tick still tells the user the adapter has had its time.
    Clock& clock = host_.clock();
    const qint64 deadline = clock.nowMs() + host_.limits.watchdogMs;
    exchange_->SendCommand(kReset);
    emit connecting();
    const WaitResult reset = co_await exchange_->WaitFor(QStringLiteral(">"), stop, {}, deadline);
    if (!reset.ok()) co_return Failure::at(kReset, reset);
    watchdog_->setInterval(int(qMax<qint64>(1, deadline - clock.nowMs())));
    watchdog_->start();

    // A prompt among unreadable characters is noise at a wrong line speed,
    // not an adapter, and its "identification" would be noise too; but an
    // answer that names the adapter has only picked up a stray byte or two
    // (a wait ends at the fourth), which the identification leaves out.
    QString buffer = reset.buffer;
    if (std::any_of(buffer.begin(), buffer.end(), IsUnreadableChar)) {
        if (!buffer.contains(QLatin1String("ELM"))) {
            WaitResult noise = reset;
            noise.status = WaitStatus::Unreadable;
            co_return Failure::at(kReset, noise);
        }
        buffer.removeIf(IsUnreadableChar);
    }
    report->adapter = adapterName(buffer);
    int step = 1;
    emit connectStep(step, *report);

    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const WaitResult r = co_await exchange_->Ask(command, QStringLiteral("OK\r"), stop);
        if (!r.ok() && !FormattingAlwaysOn(command, r)) co_return Failure::at(command, r);
        if (!r.ok()) {
            // Formatting is on after a reset on every ELM327-type adapter;
            // one that cannot switch it (many Wi-Fi adapters) keeps it on.
            if (AdapterLog* log = port_->log())
                log->note(QStringLiteral("the adapter does not know \"%1\": it formats CAN "
                                         "answers always, as after atz; going on")
                              .arg(command));
        }
        emit connectStep(++step, *report);
    }

    const WaitResult paused = co_await exchange_->Pause(kBeforeIdentificationMs, stop);
    if (!paused.ok()) co_return Failure::at(QLatin1String(kIdentification[0].text), paused);
    const Failure identified = co_await GetClusterInfo(stop, report);
    if (!identified.ok()) co_return identified;

    d_.ClusterReady = true;
    emit connected();
    watchdog_->stop();
    co_return Failure{};
}

QCoro::Task<ClusterSession::Failure> ClusterSession::GetClusterInfo(Stop stop,
                                                                    SessionReport* report) {
    for (int i = 0; i < 4; ++i) {
        const Prefixed answer = co_await prefixedExchange(
            QLatin1String(kIdentification[i].text), QLatin1String(kIdentification[i].prefix), stop);
        if (!answer.failure.ok()) co_return answer.failure;
        const QString& remainder = answer.remainder;
        switch (i) {
            case 0:
                d_.PartPrefix = cluster::PartPrefixFromRemainder(remainder);
                break;
            case 1:
                d_.PartBase = cluster::PartBaseFromRemainder(remainder);
                break;
            case 2:
                cluster::GetClusterModel(d_, remainder);
                report->model = d_.ModelName;
                break;
            default:
                // E200 is only awaited; its answer completes the identity.
                report->partNumber = cluster::DisplayPartNumber(d_);
                break;
        }
        emit connectStep(2 + int(std::size(kAdapterSetupCommands)) + i, *report);
        if (i == 3) break;
        const WaitResult paused = co_await exchange_->Pause(kBetweenIdentificationMs, stop);
        if (!paused.ok()) co_return Failure::at(QLatin1String(kIdentification[i + 1].text), paused);
    }
    co_return Failure{};
}

}  // namespace tavrin
