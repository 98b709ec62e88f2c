#include "MemoryLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <utility>

#include "runtime/AdapterLog.h"

namespace tavrin::sim {

namespace {

// What the system says when a device vanishes under an open port.
QString vanishedText() {
    return QString::fromLocal8Bit(strerror(EIO));
}

}  // namespace

MemoryAdapter::MemoryAdapter(SimConfig config, Clock& clock, const QString& devicePath,
                             QObject* parent)
    : SimCore(std::move(config), clock, parent), device_(devicePath) {}

MemoryAdapter::~MemoryAdapter() {
    if (line_) line_->far_ = nullptr;
    removeLink();
}

bool MemoryAdapter::start(QString* error) {
    if (running_) return true;
    QFile file(device_);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) *error = file.errorString();
        return false;
    }
    running_ = true;
    powerUp();
    return true;
}

void MemoryAdapter::endLateOpen(qint64 ms) {
    // Nothing is written to it: the program gave up on it before it came.
    auto end = std::make_unique<ClockTimer>(clock());
    end->setSingleShot(true);
    connect(end.get(), &ClockTimer::timeout, this, [this] { ++lateOpens_; });
    end->start(int(qMax<qint64>(0, ms)));
    lateEnds_.push_back(std::move(end));
}

int MemoryAdapter::lineSpeed() const {
    return line_ ? line_->speed() : 0;
}

void MemoryAdapter::discardUnread() {
    SimCore::discardUnread();
    if (line_) line_->inbox_.clear();
}

qint64 MemoryAdapter::transmit(const QByteArray& bytes) {
    // Nobody reading: the bytes are gone, as a newly opened port discards
    // whatever waited in it.
    if (line_) line_->deliver(bytes);
    return bytes.size();
}

void MemoryAdapter::closeLine() {
    running_ = false;
    QFile::remove(device_);
    if (MemoryLine* line = line_.data()) {
        line_ = nullptr;
        line->vanish();
    }
}

MemoryPorts::MemoryPorts(Clock& clock) : clock_(clock) {}

MemoryPorts::~MemoryPorts() = default;

QString MemoryPorts::newDevicePath() {
    const QString path =
        QDir(devices_.path()).filePath(QStringLiteral("sim%1").arg(++devices_made_));
    QFile(path).open(QIODevice::WriteOnly);
    return QFileInfo(path).canonicalFilePath();
}

MemoryAdapter* MemoryPorts::adopt(std::unique_ptr<MemoryAdapter> adapter) {
    if (!adapter || adapter->devicePath().isEmpty() || !adapter->start()) return nullptr;
    adapters_.push_back(std::move(adapter));
    return adapters_.back().get();
}

MemoryAdapter* MemoryPorts::add(SimConfig config) {
    return adopt(std::make_unique<MemoryAdapter>(std::move(config), clock_, newDevicePath()));
}

MemoryAdapter* MemoryPorts::find(const QString& path) const {
    if (path.isEmpty()) return nullptr;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    // The newest adapter linked as a port wins, as the link it made does.
    for (auto a = adapters_.rbegin(); a != adapters_.rend(); ++a) {
        if (!(*a)->isRunning()) continue;
        if ((!canonical.isEmpty() && (*a)->devicePath() == canonical) || (*a)->portPath() == path)
            return a->get();
    }
    return nullptr;
}

QList<PortInfo> MemoryPorts::knownPorts() const {
    QList<PortInfo> ports;
    for (const auto& adapter : adapters_) {
        if (!adapter->isRunning() || adapter->portPath().isEmpty()) continue;
        const QString name = QFileInfo(adapter->portPath()).fileName();
        ports << PortInfo{adapter->portPath(), name, QStringLiteral("Tavrin"),
                          QStringLiteral("simulated adapter"), adapter->instanceId};
    }
    return ports;
}

QCoro::Task<bool> MemoryPorts::waitForOpen(QPointer<MemoryAdapter> adapter, Clock& clock,
                                           int limitMs, Stop stop) {
    const int delay = adapter ? adapter->openDelay() : 0;
    if (delay <= 0) co_return true;
    const qint64 started = clock.nowMs();
    Wait wait(clock, stop);
    const bool stopped = co_await wait.upTo(qMin(delay, limitMs));
    if (!stopped && delay <= limitMs) co_return true;
    if (adapter) adapter->endLateOpen(delay - (clock.nowMs() - started));
    co_return false;
}

QCoro::Task<ProbeResult> MemoryPorts::probe(QString path, Clock& clock, int limitMs, Stop stop) {
    probed << path;
    const QPointer<MemoryAdapter> adapter(find(path));
    if (!adapter) co_return ProbeResult::NotFound;
    const bool waited = co_await waitForOpen(adapter, clock, limitMs, stop);
    if (!waited) co_return ProbeResult::NoAnswer;
    if (!adapter) co_return ProbeResult::NotFound;
    co_return adapter->inUse() ? ProbeResult::InUse : ProbeResult::Available;
}

AdapterLine* MemoryPorts::createLine(QObject* parent) {
    return new MemoryLine(*this, parent);
}

MemoryLine::MemoryLine(MemoryPorts& ports, QObject* parent)
    : AdapterLine(parent), ports_(ports), wire_(ports.clock()), arrival_(ports.clock()) {
    wire_.setSingleShot(true);
    connect(&wire_, &ClockTimer::timeout, this, &MemoryLine::carry);
    arrival_.setSingleShot(true);
    connect(&arrival_, &ClockTimer::timeout, this, &MemoryLine::arrive);
}

MemoryLine::~MemoryLine() {
    if (far_) far_->line_ = nullptr;
}

QCoro::Task<AdapterLine::Opening> MemoryLine::openDevice(qint32 speed, Clock& clock, int limitMs,
                                                         Stop stop) {
    ports_.opened << DevicePath;
    const QPointer<MemoryLine> self(this);
    QPointer<MemoryAdapter> far(ports_.find(DevicePath));
    const bool waited = co_await MemoryPorts::waitForOpen(far, clock, limitMs, stop);
    if (!waited) {
        if (!self || stop.requested()) co_return Opening{OpenError::Cancelled, {}};
        co_return Opening{OpenError::NoAnswer, QString::fromLocal8Bit(strerror(ETIMEDOUT))};
    }
    if (!self) co_return Opening{OpenError::Cancelled, {}};
    if (!far) co_return Opening{OpenError::NotFound, QString::fromLocal8Bit(strerror(ENOENT))};
    if (far->inUse()) co_return Opening{OpenError::InUse, QString::fromLocal8Bit(strerror(EBUSY))};
    far_ = far;
    far_->line_ = this;
    speed_ = speed;
    inbox_.clear();
    outbox_.clear();
    co_return Opening{};
}

void MemoryLine::closeDevice() {
    // Unsent bytes go with the port, as they do when a real one closes.
    wire_.stop();
    arrival_.stop();
    outbox_.clear();
    arriving_.clear();
    inbox_.clear();
    if (far_) far_->line_ = nullptr;
    far_ = nullptr;
    speed_ = 0;
}

bool MemoryLine::writeDevice(const QByteArray& bytes) {
    outbox_ += bytes;
    if (!wire_.isActive()) wire_.start(0);
    return true;
}

QByteArray MemoryLine::readDevice(qint64 maxBytes) {
    const QByteArray bytes = inbox_.left(maxBytes);
    inbox_.remove(0, bytes.size());
    return bytes;
}

void MemoryLine::carry() {
    if (!far_) return;
    const QByteArray bytes = std::exchange(outbox_, QByteArray());
    far_->fromProgram(bytes);
}

void MemoryLine::deliver(const QByteArray& bytes) {
    if (!far_ || bytes.isEmpty()) return;
    arriving_ += bytes;
    if (!arrival_.isActive()) arrival_.start(0);
}

void MemoryLine::arrive() {
    if (!far_ || arriving_.isEmpty()) return;
    const QByteArray bytes = std::exchange(arriving_, QByteArray());
    inbox_ += bytes;
    if (AdapterLog* log = this->log()) log->record(AdapterLog::Direction::Received, bytes);
    notifyArrival();
}

void MemoryLine::vanish() {
    lose(vanishedText());
}

}  // namespace tavrin::sim
