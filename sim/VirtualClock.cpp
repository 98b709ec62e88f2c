#include "VirtualClock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <algorithm>

namespace tavrin {

void VirtualClock::drainEvents() const {
    QCoreApplication::sendPostedEvents();
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || !windowEvents_) return;
    // Bounded: something that posts an event for every event it handles
    // must not keep time from moving.
    for (int i = 0; i < 10000 && dispatcher->processEvents(QEventLoop::AllEvents); ++i) {
    }
}

bool VirtualClock::runNext(qint64 limitNs) {
    const auto first = std::min_element(due_.begin(), due_.end(), [](const Due& a, const Due& b) {
        return a.ns != b.ns ? a.ns < b.ns : a.order < b.order;
    });
    if (first == due_.end() || first->ns > limitNs) return false;
    const Due due = *first;
    due_.erase(first);
    nowNs_ = std::max(nowNs_, due.ns);
    if (due.timer) {
        fire(*due.timer);
    } else if (due.call) {
        due.call();
    }
    return true;
}

void VirtualClock::after(qint64 ms, std::function<void()> what) {
    due_.push_back(
        Due{nowNs_ + std::max<qint64>(ms, 0) * 1'000'000, order_++, nullptr, std::move(what)});
}

void VirtualClock::advance(qint64 ms) {
    runUntil([] { return false; }, ms);
}

bool VirtualClock::runUntil(const std::function<bool()>& done, qint64 limitMs) {
    const qint64 deadline = nowNs_ + std::max<qint64>(limitMs, 0) * 1'000'000;
    for (;;) {
        drainEvents();
        if (done()) return true;
        if (!runNext(deadline)) break;
    }
    nowNs_ = std::max(nowNs_, deadline);
    return done();
}

void VirtualClock::arm(ClockTimer& timer, qint64 dueNs) {
    due_.push_back(Due{dueNs, order_++, &timer, {}});
}

void VirtualClock::disarm(ClockTimer& timer) {
    due_.erase(std::remove_if(due_.begin(), due_.end(),
                              [&timer](const Due& d) { return d.timer == &timer; }),
               due_.end());
}

}  // namespace tavrin
