#include "runtime/Clock.h"

#include <algorithm>
#include <limits>

namespace tavrin {

namespace {

// Whole milliseconds, rounded up so a timer never fires before its time.
int msUntil(qint64 ns) {
    const qint64 ms = (std::max<qint64>(ns, 0) + 999'999) / 1'000'000;
    return int(std::min<qint64>(ms, std::numeric_limits<int>::max()));
}

}  // namespace

void Clock::fire(ClockTimer& timer) {
    timer.fired();
}

void RealClock::arm(ClockTimer& timer, qint64 dueNs) {
    timer.real_.start(msUntil(dueNs - nowNs()));
}

void RealClock::disarm(ClockTimer& timer) {
    timer.real_.stop();
}

ClockTimer::ClockTimer(Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {
    real_.setSingleShot(true);
    real_.setTimerType(Qt::PreciseTimer);
    connect(&real_, &QTimer::timeout, this, &ClockTimer::fired);
}

ClockTimer::~ClockTimer() {
    stop();
}

void ClockTimer::start() {
    if (active_) clock_.disarm(*this);
    active_ = true;
    dueNs_ = clock_.nowNs() + qint64(interval_) * 1'000'000;
    clock_.arm(*this, dueNs_);
}

void ClockTimer::start(int ms) {
    interval_ = ms;
    start();
}

void ClockTimer::stop() {
    if (!active_) return;
    active_ = false;
    clock_.disarm(*this);
}

qint64 ClockTimer::remainingMs() const {
    if (!active_) return -1;
    return std::max<qint64>(0, (dueNs_ - clock_.nowNs()) / 1'000'000);
}

void ClockTimer::fired() {
    if (!active_) return;
    if (singleShot_) {
        active_ = false;
    } else {
        // From when it was due, so a repeating timer keeps its rhythm.
        dueNs_ += qint64(std::max(interval_, 1)) * 1'000'000;
        clock_.arm(*this, dueNs_);
    }
    emit timeout();
}

}  // namespace tavrin
