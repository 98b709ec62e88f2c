#include "SimAdapter.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavrin::sim {

namespace {

constexpr int kReadRetryMs = 50;     // after EIO, instead of spinning on a dead master
constexpr int kWriteRetryMs = 20;    // when the slave side's input queue is full
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

QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

}  // namespace

SimAdapter::SimAdapter(SimConfig config, QObject* parent)
    : QObject(parent), config_(std::move(config)), responder_(config_), random_(nextNoiseSeed()) {
    readRetry_.setSingleShot(true);
    readRetry_.setInterval(kReadRetryMs);
    connect(&readRetry_, &QTimer::timeout, this, &SimAdapter::retryRead);
    pumpTimer_.setSingleShot(true);
    pumpTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pumpTimer_, &QTimer::timeout, this, &SimAdapter::pump);
    clock_.start();
}

SimAdapter::~SimAdapter() {
    closeLine();
    removeLink();
}

bool SimAdapter::start(QString* error) {
    if (isRunning()) return true;
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        closeLine();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail(errnoText("posix_openpt"));
    if (grantpt(master_) != 0) return fail(errnoText("grantpt"));
    if (unlockpt(master_) != 0) return fail(errnoText("unlockpt"));
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return fail(errnoText("ptsname_r"));
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Raw line: no echo or CR/LF translation by the terminal driver; the
    // echo the program sees is the adapter's own.
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return fail(errnoText("tcgetattr"));
    cfmakeraw(&tio);
    if (tcsetattr(master_, TCSANOW, &tio) != 0) return fail(errnoText("tcsetattr"));

    // Holding the slave open keeps the master from reporting EIO and hang-ups
    // while no program has the port open.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return fail(errnoText("open slave"));

    slavePath_ = QString::fromLocal8Bit(name);
    responder_.powerUp();
    line_.clear();
    nextCharNs_ = 0;
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SimAdapter::onReadable);
    return true;
}

void SimAdapter::closeLine() {
    readRetry_.stop();
    pumpTimer_.stop();
    delete notifier_;
    notifier_ = nullptr;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = -1;
    slave_ = -1;
    queue_.clear();
    line_.clear();
}

void SimAdapter::stop() {
    const bool wasRunning = isRunning();
    closeLine();
    if (wasRunning) emit stopped();
}

bool SimAdapter::linkAs(const QString& folder, int comNumber, QString* error) {
    const QString portsFolder = QDir(folder).filePath(QStringLiteral("ports"));
    if (!QDir().mkpath(portsFolder)) {
        if (error) *error = QStringLiteral("cannot create %1").arg(portsFolder);
        return false;
    }
    const QString link = QDir(portsFolder).filePath(QStringLiteral("com%1").arg(comNumber));
    if (QFileInfo(link).isSymLink() || QFileInfo::exists(link)) QFile::remove(link);
    if (!QFile::link(slavePath_, link)) {
        if (error) *error = QStringLiteral("cannot link %1 to %2").arg(link, slavePath_);
        return false;
    }
    if (!linkPath_.isEmpty() && linkPath_ != link) removeLink();
    linkPath_ = link;
    return true;
}

void SimAdapter::removeLink() {
    if (linkPath_.isEmpty()) return;
    // Only our own link: another sim may have taken the name over since.
    const QFileInfo info(linkPath_);
    if (info.isSymLink() && info.symLinkTarget() == slavePath_) QFile::remove(linkPath_);
    linkPath_.clear();
}

void SimAdapter::clearLog() {
    requests_.clear();
    received_.clear();
    sent_.clear();
}

void SimAdapter::discardUnread() {
    queue_.clear();
    pumpTimer_.stop();
    if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
}

int SimAdapter::lineSpeed() const {
    if (master_ < 0) return 0;
    // On Linux the master end reports the settings of the slave end: the
    // speed the program set when it opened its port.
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return 0;
    static const std::pair<speed_t, int> kSpeeds[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    const speed_t speed = cfgetospeed(&tio);
    for (const auto& [code, bits] : kSpeeds) {
        if (code == speed) return bits;
    }
    return 0;
}

bool SimAdapter::speedMatches() const {
    return config_.adapterSpeed <= 0 || lineSpeed() == config_.adapterSpeed;
}

// What an adapter's answer turns into at the wrong line speed: random bytes.
// Half the bursts carry a '>' somewhere, half of those at the end where a
// prompt would stand, so a program that takes any '>' for a prompt is caught.
QByteArray SimAdapter::noise() {
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

void SimAdapter::onReadable() {
    char buffer[512];
    while (master_ >= 0) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t i = 0; i < n && master_ >= 0; ++i) handleByte(buffer[i]);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // EIO (or an end of file): the slave side is in a hang-up. Polling
        // again at once would spin, so look again a little later.
        if (notifier_) notifier_->setEnabled(false);
        readRetry_.start();
        return;
    }
}

void SimAdapter::retryRead() {
    if (notifier_) notifier_->setEnabled(true);
}

bool SimAdapter::interruptRequest() {
    const auto first =
        std::find_if(queue_.begin(), queue_.end(), [](const Segment& s) { return s.request; });
    // Once the answer is being printed, the request is over.
    if (first == queue_.end() || first->writing) return false;
    queue_.erase(
        std::remove_if(queue_.begin(), queue_.end(), [](const Segment& s) { return s.request; }),
        queue_.end());
    enqueue(QByteArrayLiteral("STOPPED\r\r>"), 0);
    return true;
}

void SimAdapter::handleByte(char c) {
    received_ += c;
    // The character that stops a request is used up by stopping it.
    if (config_.fault == Fault::InterruptOnInput && interruptRequest()) return;
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

void SimAdapter::finishLine(const QByteArray& raw) {
    const QString line = QString::fromLatin1(raw);
    requests_ << line;
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
    const bool interruptible = config_.fault == Fault::InterruptOnInput &&
                               responder_.faultHits(line) && responder_.isRequest(line);
    const Reply reply = responder_.respond(line);
    bool first = true;
    for (const Chunk& chunk : reply.chunks) {
        const int delay = interruptible && first ? qMax(chunk.delayMs, kBusTimeMs) : chunk.delayMs;
        enqueue(chunk.bytes, delay, false, interruptible);
        first = false;
    }
    if (reply.hangUp) enqueue(QByteArray(), kHangUpPauseMs, true);
    emit requestReceived(line);
}

void SimAdapter::enqueue(const QByteArray& bytes, int delayMs, bool hangUp, bool request) {
    if (!isRunning()) return;
    Segment segment;
    segment.bytes = bytes;
    segment.delayMs = delayMs;
    segment.hangUp = hangUp;
    segment.request = request;
    queue_.push_back(segment);
    if (queue_.size() == 1) pump();
}

void SimAdapter::armPump(qint64 waitNs) {
    const qint64 ms = (waitNs + 999'999) / 1'000'000;
    pumpTimer_.start(int(std::clamp<qint64>(ms, 0, 1000000)));
}

void SimAdapter::pump() {
    while (!queue_.empty() && isRunning()) {
        const qint64 now = clock_.nsecsElapsed();
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
        const ssize_t written = count > 0 ? ::write(master_, segment.bytes.constData(), count) : 0;
        if (written < 0) {
            if (errno == EINTR) continue;
            // Full queue at the slave side (nobody reading) or a hang-up:
            // try again later rather than spin.
            return armPump(qint64(kWriteRetryMs) * 1'000'000);
        }
        sent_ += segment.bytes.left(written);
        if (written > 0) segment.writing = true;
        segment.bytes.remove(0, written);
        if (charNs > 0) nextCharNs_ += written * charNs;
        if (segment.bytes.isEmpty()) queue_.pop_front();
    }
}

}  // namespace tavrin::sim
