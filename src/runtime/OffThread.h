#pragma once

#include <QCoro/QCoroTask>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/Clock.h"
#include "runtime/Wait.h"

namespace tavrin {

namespace detail {
// Tells the waiting side, on its own thread, that the work has returned.
class OffThreadRelay : public QObject {
    Q_OBJECT
signals:
    void returned();
};
}  // namespace detail

// Runs work, a call that may block for seconds (opening a Bluetooth port
// dials the adapter), on a thread of its own, and suspends until it returns,
// limitMs pass on clock or stop comes, whichever is first. Nothing: it did
// not return in time. On the worker, under the same lock that settles the
// race with the limit, handOver prepares a result that will be taken (moves
// an object to the waiting side's thread); a result that comes too late goes
// to late instead, on the worker, which lets go of it there. The worker
// outlives the wait as long as the call blocks; it touches nothing of the
// waiting side once the wait has ended.
template <typename T>
QCoro::Task<std::optional<T>> RunOffThread(Clock& clock, qint64 limitMs, Stop stop,
                                           std::function<T()> work,
                                           std::function<void(T&)> handOver,
                                           std::function<void(T)> late) {
    struct Shared {
        std::mutex lock;
        bool abandoned = false;
        std::optional<T> result;
    };
    auto shared = std::make_shared<Shared>();
    detail::OffThreadRelay relay;
    detail::OffThreadRelay* to = &relay;
    QThread* worker =
        QThread::create([shared, to, work = std::move(work), handOver = std::move(handOver),
                         late = std::move(late)]() mutable {
            T value = work();
            std::unique_lock<std::mutex> held(shared->lock);
            if (shared->abandoned) {
                held.unlock();
                late(std::move(value));
                return;
            }
            if (handOver) handOver(value);
            shared->result = std::move(value);
            // Posted while the lock is held: the relay is still there.
            QMetaObject::invokeMethod(
                to, [to] { emit to->returned(); }, Qt::QueuedConnection);
        });
    // The thread object goes once the call has returned, however late.
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();

    Wait wait(clock, stop);
    wait.wakeOn(&relay, &detail::OffThreadRelay::returned);
    const qint64 deadline = clock.nowMs() + limitMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> held(shared->lock);
            if (shared->result) co_return std::move(shared->result);
        }
        const qint64 left = deadline - clock.nowMs();
        if (stop.requested() || left <= 0) break;
        // (Not folded into the condition above: GCC 12 mishandles a co_await
        // that short-circuiting may skip.)
        const bool woken = co_await wait.upTo(left);
        if (!woken) break;
    }
    std::lock_guard<std::mutex> held(shared->lock);
    if (shared->result) co_return std::move(shared->result);
    shared->abandoned = true;
    co_return std::nullopt;
}

}  // namespace tavrin
