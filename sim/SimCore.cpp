#include "SimCore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <utility>

#include "platform/Ports.h"

namespace tavrin::sim {

namespace {

constexpr int kWriteRetryMs = 20;    // when the program's input queue is full
constexpr int kHangUpPauseMs = 100;  // lets the reader take the partial answer first
// How long a request keeps the adapter busy before its answer starts: it is
// sent on the bus and the answers are gathered. A real adapter takes tens of
// milliseconds; a line feed right behind the carriage return arrives well
// within that time.
constexpr int kBusTimeMs = 20;

// Each simulator its own noise, the same from one run of a program to the next.
quint32 nextNoiseSeed() {
    static quint32 seed = 0x7A5E;
    return seed++;
}

}  // namespace

SimCore::SimCore(SimConfig config, Clock& clock, QObject* parent)
    : QObject(parent),
      config_(std::move(config)),
      clock_(clock),
      responder_(config_),
      pumpTimer_(clock),
      random_(nextNoiseSeed()) {
    pumpTimer_.setSingleShot(true);
    connect(&pumpTimer_, &ClockTimer::timeout, this, &SimCore::pump);
}

SimCore::~SimCore() {
    removeLink();
}

void SimCore::powerUp() {
    responder_.powerUp();
    line_.clear();
    nextCharNs_ = 0;
}

void SimCore::stop() {
    const bool wasRunning = isRunning();
    queue_.clear();
    pumpTimer_.stop();
    line_.clear();
    closeLine();
    if (wasRunning) emit stopped();
}

bool SimCore::linkAs(const QString& folder, int comNumber, QString* error) {
    // A link to an address would be a COM port no program can open.
    if (!isSerial()) {
        if (error) *error = QStringLiteral("%1 is not a device to link").arg(devicePath());
        return false;
    }
    if (!PortLinksNameDevices()) {
        // The system names the port itself: a line in memory answers to that.
        portPath_ = ComDevicePath(qint16(comNumber), folder);
        return true;
    }
    const QString portsFolder = QDir(folder).filePath(QStringLiteral("ports"));
    if (!QDir().mkpath(portsFolder)) {
        if (error) *error = QStringLiteral("cannot create %1").arg(portsFolder);
        return false;
    }
    const QString link = QDir(portsFolder).filePath(QStringLiteral("com%1").arg(comNumber));
    if (QFileInfo(link).isSymLink() || QFileInfo::exists(link)) QFile::remove(link);
    const QString device = devicePath();
    if (!QFile::link(device, link)) {
        if (error) *error = QStringLiteral("cannot link %1 to %2").arg(link, device);
        return false;
    }
    if (!linkPath_.isEmpty() && linkPath_ != link) removeLink();
    linkPath_ = link;
    linkTarget_ = device;
    portPath_ = ComDevicePath(qint16(comNumber), folder);
    return true;
}

void SimCore::removeLink() {
    if (linkPath_.isEmpty()) return;
    // Only our own link: another sim may have taken the name over since.
    const QFileInfo info(linkPath_);
    if (info.isSymLink() && info.symLinkTarget() == linkTarget_) QFile::remove(linkPath_);
    linkPath_.clear();
    portPath_.clear();
}

void SimCore::clearLog() {
    requests_.clear();
    requestTimesMs_.clear();
    received_.clear();
    dropped_.clear();
    sent_.clear();
}

void SimCore::discardUnread() {
    queue_.clear();
    pumpTimer_.stop();
}

bool SimCore::speedMatches() const {
    return !isSerial() || config_.adapterSpeed <= 0 || lineSpeed() == config_.adapterSpeed;
}

// What an adapter's answer turns into at the wrong line speed: random bytes.
// Half the bursts carry a '>' somewhere, half of those at the end where a
// prompt would stand, so a program that takes any '>' for a prompt is caught.
QByteArray SimCore::noise() {
    const int size = 3 + int(random_.bounded(22));
    QByteArray out(size, '\0');
    for (char& c : out) c = char(random_.bounded(256));
    switch (random_.bounded(4)) {
        case 0:
            out[int(random_.bounded(size))] = '>';
            break;
        case 1:
            out[size - 1] = '>';
            break;
        default:
            break;
    }
    return out;
}

void SimCore::receive(const QByteArray& bytes) {
    for (const char c : bytes) {
        if (!isRunning()) return;
        handleByte(c);
    }
}

bool SimCore::interruptRequest() {
    // An adapter that stops a request only until its answer starts is done
    // with it once the answer is out, whether or not its prompt is.
    const auto first = std::find_if(queue_.begin(), queue_.end(), [](const Segment& s) {
        return s.stoppable == Stoppable::BeforePrompt ||
               (s.stoppable == Stoppable::BeforeAnswer && !s.prompt);
    });
    if (first == queue_.end() || (first->stoppable == Stoppable::BeforeAnswer && first->writing))
        return false;
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [](const Segment& s) { return s.stoppable != Stoppable::No; }),
                 queue_.end());
    Segment stopped;
    stopped.bytes = QByteArrayLiteral("STOPPED\r\r>");
    stopped.answer = true;
    enqueue(stopped);
    return true;
}

bool SimCore::answerUnderWay() const {
    return std::any_of(queue_.begin(), queue_.end(), [](const Segment& s) { return s.answer; });
}

void SimCore::handleByte(char c) {
    received_ += c;
    // The character that stops a request is used up by stopping it.
    if (interruptRequest()) return;
    if (config_.earlyInput == EarlyInput::Dropped && answerUnderWay()) {
        dropped_ += c;
        return;
    }
    if (c == '\n') return;  // an ELM327 ignores line feeds
    if (c == '\r') {
        const QByteArray raw = line_;
        line_.clear();
        finishLine(raw);
        return;
    }
    line_ += c;
    // Under Silence the echo waits for the end of the line, since only then
    // is it known whether the line is one that gets no bytes at all.
    if (responder_.echoOn() && config_.fault != Fault::Silence && speedMatches())
        enqueue(QByteArray(1, c), 0);
}

void SimCore::finishLine(const QByteArray& raw) {
    const QString line = QString::fromLatin1(raw);
    requests_ << line;
    requestTimesMs_ << clock_.nowMs();
    const bool silent = responder_.silent(line);
    if (!silent && !speedMatches()) {
        // The adapter cannot make out the line either, so its state stays as
        // it was; whatever it answers reaches the program as noise.
        enqueue(noise(), config_.answerDelayMs);
        emit requestReceived(line);
        return;
    }
    if (responder_.echoOn()) {
        if (config_.fault != Fault::Silence) {
            enqueue(QByteArrayLiteral("\r"), 0);
        } else if (!silent) {
            enqueue(raw + '\r', 0);
        }
    }
    // Only a request for the bus can be interrupted, and only while the
    // adapter works on it.
    Stoppable stoppable = Stoppable::No;
    if (responder_.isRequest(line)) {
        if (config_.earlyInput == EarlyInput::Stops) {
            stoppable = Stoppable::BeforePrompt;
        } else if (config_.fault == Fault::InterruptOnInput && responder_.faultHits(line)) {
            stoppable = Stoppable::BeforeAnswer;
        }
    }
    const bool latePrompt =
        config_.promptDelayMs > 0 && responder_.startsWith(line, config_.promptDelayCommand);
    const Reply reply = responder_.respond(line);
    QList<Chunk> chunks = reply.chunks;
    const int prompt = latePrompt ? delayPrompt(&chunks, config_.promptDelayMs) : -1;
    for (int i = 0; i < chunks.size(); ++i) {
        Segment segment;
        segment.bytes = chunks[i].bytes;
        segment.delayMs = chunks[i].delayMs;
        if (stoppable != Stoppable::No && i == 0)
            segment.delayMs = qMax(segment.delayMs, kBusTimeMs);
        segment.answer = true;
        segment.prompt = prompt >= 0 && i >= prompt;
        segment.stoppable = stoppable;
        enqueue(segment);
    }
    if (reply.hangUp) {
        Segment hangUp;
        hangUp.delayMs = kHangUpPauseMs;
        hangUp.hangUp = true;
        enqueue(hangUp);
    }
    emit requestReceived(line);
}

void SimCore::enqueue(const QByteArray& bytes, int delayMs) {
    Segment segment;
    segment.bytes = bytes;
    segment.delayMs = delayMs;
    enqueue(segment);
}

void SimCore::enqueue(Segment segment) {
    if (!isRunning()) return;
    queue_.push_back(std::move(segment));
    // Never from inside the receiving call: bytes cross the line in a later
    // turn of the event loop, as they do through a real device.
    if (queue_.size() == 1) armPump(0);
}

void SimCore::armPump(qint64 waitNs) {
    const qint64 ms = (waitNs + 999'999) / 1'000'000;
    pumpTimer_.start(int(std::clamp<qint64>(ms, 0, 1000000)));
}

void SimCore::pump() {
    while (!queue_.empty() && isRunning()) {
        const qint64 now = clock_.nowNs();
        Segment& segment = queue_.front();
        if (!segment.started) {
            // Delays count from when the previous segment has left the line.
            segment.started = true;
            segment.readyAtNs = qMax(now, nextCharNs_) + qint64(segment.delayMs) * 1'000'000;
        }
        if (now < segment.readyAtNs) return armPump(segment.readyAtNs - now);
        if (segment.hangUp) {
            stop();
            return;
        }
        qsizetype count = segment.bytes.size();
        qint64 charNs = 0;
        if (config_.baud > 0) {
            // Ten bits per character: start, eight data bits, stop.
            charNs = 10'000'000'000LL / config_.baud;
            nextCharNs_ = qMax(nextCharNs_, segment.readyAtNs);
            if (nextCharNs_ > now) return armPump(nextCharNs_ - now);
            count = qMin<qsizetype>(count, (now - nextCharNs_) / charNs + 1);
        }
        const qint64 written = count > 0 ? transmit(segment.bytes.left(count)) : 0;
        // Full queue at the program's side (nobody reading) or a hang-up:
        // try again later rather than spin.
        if (written < 0 || (count > 0 && written == 0))
            return armPump(qint64(kWriteRetryMs) * 1'000'000);
        sent_ += segment.bytes.left(written);
        if (written > 0) segment.writing = true;
        segment.bytes.remove(0, written);
        if (charNs > 0) nextCharNs_ += written * charNs;
        if (segment.bytes.isEmpty()) queue_.pop_front();
    }
}

}  // namespace tavrin::sim
