#include "runtime/Wait.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <utility>

namespace tavrin {

Wait::Wait(Clock& clock, const Stop& stop) : stop_(stop), deadline_(clock) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &ClockTimer::timeout, this, &Wait::resumeLater);
    if (stop_.cancel.stop_possible())
        onCancel_.emplace(stop_.cancel, std::function<void()>([this] { wake(); }));
    // The owner going: its own waits end there and then (see StopSource).
    if (stop_.abort.stop_possible())
        onAbort_.emplace(stop_.abort, std::function<void()>([this] {
                             woken_ = true;
                             resumeNow();
                         }));
}

Wait::~Wait() {
    // The stop callbacks go first: they must not reach a half-destroyed wait.
    onAbort_.reset();
    onCancel_.reset();
}

void Wait::wake() {
    woken_ = true;
    resumeLater();
}

void Wait::resumeLater() {
    if (!waiting_ || resumePosted_) return;
    resumePosted_ = true;
    // Queued: whoever woke the wait (a click, a signal of the line) finishes
    // first, and the coroutine goes on from the event loop itself. A wait
    // that is gone by then takes the call with it.
    QMetaObject::invokeMethod(this, &Wait::resumeNow, Qt::QueuedConnection);
}

void Wait::resumeNow() {
    resumePosted_ = false;
    if (!waiting_) return;
    deadline_.stop();
    // The coroutine may finish and take this wait with it: nothing after this.
    std::exchange(waiting_, {}).resume();
}

bool Wait::Awaiter::await_ready() const noexcept {
    return wait_.woken_ || ms_ <= 0 || wait_.stop_.requested();
}

void Wait::Awaiter::await_suspend(std::coroutine_handle<> waiting) noexcept {
    wait_.waiting_ = waiting;
    wait_.deadline_.start(int(qMin<qint64>(ms_, 0x7FFFFFFF)));
}

bool Wait::Awaiter::await_resume() noexcept {
    const bool woken = std::exchange(wait_.woken_, false);
    return woken || wait_.stop_.requested();
}

void AfterAbort::await_suspend(std::coroutine_handle<> waiting) const {
    // Posted to the application, which outlives every owner.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [waiting] { waiting.resume(); }, Qt::QueuedConnection);
}

}  // namespace tavrin
