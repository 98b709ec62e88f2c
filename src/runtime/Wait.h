#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <coroutine>
#include <functional>
#include <optional>
#include <stop_token>

#include "runtime/Clock.h"

namespace tavrin {

// What may end an operation's waits early: the user's Cancel, and the
// program letting go of the operation (its owner going away). A Cancel is
// taken at the next turn of the event loop; letting go at once, so that
// nothing stays suspended on objects that are about to go.
struct Stop {
    std::stop_token cancel;
    std::stop_token abort;

    bool requested() const { return cancel.stop_requested() || abort.stop_requested(); }
    // The same, deaf to Cancel: for what follows a request to the cluster
    // that cannot be called back.
    Stop withoutCancel() const { return Stop{{}, abort}; }
};

// Where one operation's Stop comes from. Abort is for the owner going away:
// the waits that listen to it go on there and then, inside the owner's
// destructor, so that none stays suspended on what goes with it. Only the
// owner's own coroutines may listen to it; whoever awaits the owner from
// outside is handed the end through AfterAbort, in a later turn.
class StopSource {
public:
    Stop token() const { return Stop{cancel_.get_token(), abort_.get_token()}; }
    void cancel() { cancel_.request_stop(); }
    void abort() {
        cancel_.request_stop();
        abort_.request_stop();
    }

private:
    std::stop_source cancel_;
    std::stop_source abort_;
};

// Where an owner's operation hands its end to whoever awaits it:
//
//     if (co_await AfterAbort(stop)) co_return report;
//
// Not aborted: goes on at once, false. Aborted, the owner being destroyed:
// goes on from the next turn of the event loop, true, so that the awaiting
// coroutine, which QCoro resumes as soon as this one returns, goes on once
// the destruction is over and not in the middle of it. From there on the
// coroutine must not touch its owner, which is gone.
class AfterAbort {
public:
    explicit AfterAbort(const Stop& stop) : aborted_(stop.abort.stop_requested()) {}
    bool await_ready() const noexcept { return !aborted_; }
    void await_suspend(std::coroutine_handle<> waiting) const;
    bool await_resume() const noexcept { return aborted_; }

private:
    bool aborted_;
};

// One wait of an operation on a Clock, as a coroutine suspends in it:
//
//     Wait wait(clock, stop);
//     wait.wakeOn(&line, &AdapterLine::dataArrived);
//     const bool woken = co_await wait.upTo(ms);
//
// The coroutine goes on once a signal connected with wakeOn arrives, a stop
// is requested or ms have passed on the clock, whichever comes first; while
// it waits, nothing runs on its behalf. It goes on in a later turn of the
// event loop, never inside the signal or the click that woke it.
// For a wait whose end comes from elsewhere (an operation's end, a dialog
// answered) and so has no limit of its own.
inline constexpr qint64 kNoLimitMs = 24LL * 3600 * 1000;

class Wait : public QObject {
    Q_OBJECT
public:
    explicit Wait(Clock& clock, const Stop& stop = {});
    ~Wait() override;
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;

    template <typename Sender, typename Signal>
    void wakeOn(const Sender* sender, Signal signal) {
        connect(sender, signal, this, &Wait::wake);
    }
    // Ends the wait under way, or the next one, early.
    void wake();

    class Awaiter {
    public:
        Awaiter(Wait& wait, qint64 ms) : wait_(wait), ms_(ms) {}
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> waiting) noexcept;
        // True when woken or stopped; false when the time ran out.
        bool await_resume() noexcept;

    private:
        Wait& wait_;
        qint64 ms_;
    };
    Awaiter upTo(qint64 ms) { return Awaiter(*this, ms); }

private:
    // Goes on with the suspended coroutine in a later turn, or at once.
    void resumeLater();
    void resumeNow();

    Stop stop_;
    ClockTimer deadline_;
    std::coroutine_handle<> waiting_;
    bool woken_ = false;
    bool resumePosted_ = false;
    std::optional<std::stop_callback<std::function<void()>>> onCancel_;
    std::optional<std::stop_callback<std::function<void()>>> onAbort_;
};

}  // namespace tavrin
