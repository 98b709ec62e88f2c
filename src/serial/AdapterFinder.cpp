#include "serial/AdapterFinder.h"

#include <algorithm>

#include "runtime/AdapterLine.h"
#include "runtime/Host.h"
#include "runtime/NetLine.h"
#include "serial/AdapterCommands.h"
#include "serial/LineSpeeds.h"

namespace tavrin {

namespace {

// Two tildes and the carriage return: printable, so no adapter can take the
// line for an empty one (which would repeat the adapter's last command,
// perhaps another program's write to the cluster), and neither hexadecimal
// nor an AT command, so an ELM327 answers "?" and its prompt. Any
// half-received line in the adapter is cleared with it. At a wrong speed an
// adapter decodes other bytes than were sent; for these three, none of them
// is a carriage return at any pairing of the usual speeds from 9600 to
// 500000, so the adapter does not act on them at all.
const QString kRefusedLine = QStringLiteral("~~");
const QString kIdentify = QStringLiteral("ati");
// The STN chips' own identification; others answer "?".
const QString kIdentifyChip = QStringLiteral("sti");
const QStringList kOk = {QStringLiteral("OK")};

Refusal refusal(const QString& command, const std::optional<QStringList>& lines, bool lost) {
    Refusal r;
    r.command = command;
    if (lost) {
        r.kind = Refusal::Kind::StoppedAnswering;
    } else if (!lines || lines->isEmpty()) {
        r.kind = Refusal::Kind::Unclean;
    } else if (lines->size() == 1 &&
               AdapterErrorIn(lines->first()) == AdapterTrouble::UnknownCommand) {
        r.kind = Refusal::Kind::UnknownCommand;
    } else {
        r.kind = Refusal::Kind::OtherAnswer;
        r.answer = lines->join(QLatin1Char(' '));
    }
    return r;
}

bool isUnknownCommandAnswer(const std::optional<QStringList>& lines) {
    return lines && lines->size() == 1 &&
           AdapterErrorIn(lines->first()) == AdapterTrouble::UnknownCommand;
}

}  // namespace

int FinderReport::chosen() const {
    for (int i = 0; i < found.size(); ++i) {
        if (found.at(i).capable()) return i;
    }
    return found.isEmpty() ? -1 : 0;
}

AdapterFinder::AdapterFinder(AdapterLine* mainPort, Host& host, QObject* parent)
    : QObject(parent), mainPort_(mainPort), host_(host) {
    serial_ = host_.createLine(this);
    serial_->setObjectName(QStringLiteral("FinderPort"));
    net_ = host_.createNetLine(this);
    serialReader_ = new AnswerReader(*serial_, host_, this);
    netReader_ = new AnswerReader(*net_, host_, this);
    use(serial_, serialReader_);
}

void AdapterFinder::setLog(AdapterLog* log) {
    serial_->setLog(log);
    net_->setLog(log);
}

AdapterFinder::~AdapterFinder() {
    // Whatever happens to a search, the device is let go.
    serial_->close();
    net_->close();
}

void AdapterFinder::use(AdapterLine* line, AnswerReader* reader) {
    port_ = line;
    reader_ = reader;
}

QCoro::Task<FinderReport> AdapterFinder::runAt(NetworkAddress address, Stop stop) {
    use(net_, netReader_);
    FinderReport report;
    report.address = address.text();
    report.connectMs = host_.limits.connectMs;
    // A Cancel ends the attempt at once, as it closes a port.
    std::stop_callback closeAtOnce(stop.cancel, [this] { net_->close(); });
    report.reached = co_await net_->connectTo(address.host, address.port, host_.limits.connectMs,
                                              host_.clock(), stop, &report.systemText);
    if (report.reached == NetOpen::Connected) {
        net_->InputLen = 1;
        std::optional<FoundAdapter> found = co_await tryLine(0, 0, stop);
        net_->close();
        if (found) {
            found->address = report.address;
            report.found << *found;
        }
    }
    report.stopped = stop.requested();
    if (report.stopped) report.found.clear();
    co_return report;
}

QCoro::Task<FinderReport> AdapterFinder::run(QList<qint16> ports, QString settingsFolder,
                                             Stop stop) {
    use(serial_, serialReader_);
    FinderReport report;
    // A Cancel closes the port at once, not when the wait notices: the user
    // may unplug the adapter next.
    std::stop_callback closeAtOnce(stop.cancel, [this] { port_->close(); });
    const QList<PortInfo> known = host_.devices().knownPorts();
    for (qint16 n : ports) {
        const QString path = ComDevicePath(n, settingsFolder);
        // What the system does not list is not there: no open to find out.
        if (path.isEmpty() || !host_.devices().listed(path)) {
            report.skipped << SkippedPort{n, ProbeResult::NotFound, {}};
            continue;
        }
        for (int speed : kSearchSpeeds) {
            if (stop.requested()) break;
            // Again before every speed: the main window may have opened the
            // port since.
            if (HeldByThisProgram(path, mainPort_)) {
                report.skipped << SkippedPort{n, ProbeResult::HeldByThisProgram, {}};
                break;
            }
            emit trying(n, speed);
            if (stop.requested()) break;
            // One open tells what a probe would: a port another program
            // holds, or one that does not answer its open in time (a
            // Bluetooth adapter off or out of range), is passed over.
            const OpenResult opened =
                co_await OpenDevice(path, n, QString::number(speed), *port_, host_, stop);
            if (opened == OpenResult::Cancelled || stop.requested()) break;
            if (opened != OpenResult::Opened) {
                report.skipped << SkippedPort{
                    n, ProbeResultOf(opened),
                    opened == OpenResult::Failed ? port_->lastErrorText() : QString()};
                break;
            }
            if (!report.searched.contains(n)) report.searched << n;
            const std::optional<FoundAdapter> found = co_await tryLine(n, speed, stop);
            port_->close();
            if (found) {
                report.found << *found;
                for (const PortInfo& info : known) {
                    if (info.location == path || info.location == ComDeviceName(n, settingsFolder))
                        report.found.last().bluetooth = BluetoothRoleOf(info.instanceId);
                }
                break;
            }
        }
        if (stop.requested()) break;
    }
    port_->close();
    report.stopped = stop.requested();
    if (report.stopped) report.found.clear();
    co_return report;
}

QCoro::Task<std::optional<FoundAdapter>> AdapterFinder::tryLine(qint16 n, int speed, Stop stop) {
    const TimeLimits& limits = host_.limits;
    const Answer refused = co_await ask(kRefusedLine, limits.searchPromptMs, stop);
    if (!isUnknownCommandAnswer(refused.lines)) co_return std::nullopt;
    const Answer identity = co_await ask(kIdentify, limits.searchAnswerMs, stop);
    if (!identity.lines || identity.lines->size() != 1 || isUnknownCommandAnswer(identity.lines))
        co_return std::nullopt;

    FoundAdapter found;
    found.port = n;
    found.speed = speed;
    found.identification = identity.lines->first();
    const Answer chip = co_await ask(kIdentifyChip, limits.searchAnswerMs, stop);
    if (chip.heard == Heard::Stopped) co_return std::nullopt;
    if (chip.lines && chip.lines->size() == 1 && !AdapterErrorIn(chip.lines->first()))
        found.chip = chip.lines->first();
    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const Answer answer = co_await ask(command, limits.searchAnswerMs, stop);
        if (answer.heard == Heard::Stopped) co_return std::nullopt;
        if (answer.lines == kOk) continue;
        if (command == QLatin1String(kFormattingOn) && isUnknownCommandAnswer(answer.lines)) {
            found.formatsAlways = true;
            continue;
        }
        const bool lost = answer.heard == Heard::Closed;
        found.refusals << refusal(command, answer.lines, lost);
        if (lost) break;
    }
    co_return found;
}

QCoro::Task<AdapterFinder::Answer> AdapterFinder::ask(QString line, int limitMs, Stop stop) {
    Answer answer;
    // The carriage return alone ends a line for every ELM327-type adapter,
    // and leaves nothing behind that could begin another.
    reader_->expect(line);
    if (!port_->Output(line.toLatin1() + '\r')) {
        answer.heard = stop.requested() ? Heard::Stopped : Heard::Closed;
        co_return answer;
    }
    // Collected up to the first '>'; the whole text is judged afterwards.
    Listening how;
    how.endMark = QStringLiteral(">");
    how.limitMs = limitMs;
    how.maxChars = kMaxAnswerChars;
    how.judged = false;
    // Line errors say the speed is wrong before the limit could.
    how.endOnLineErrors = true;
    const WaitResult r = co_await reader_->collect(how, QString(), stop);
    answer.text = r.buffer;
    switch (r.status) {
        case WaitStatus::Found:
            answer.heard = Heard::Prompt;
            answer.lines = AnswerLines(answer.text, line);
            break;
        case WaitStatus::TooLong:
            answer.heard = Heard::TooLong;
            break;
        case WaitStatus::Cancelled:
            answer.heard = Heard::Stopped;
            break;
        case WaitStatus::PortClosed:
            answer.heard = stop.requested() ? Heard::Stopped : Heard::Closed;
            break;
        default:
            // Silence, or noise at a wrong speed: no clean answer here.
            answer.heard = Heard::Nothing;
            break;
    }
    co_return answer;
}

}  // namespace tavrin
