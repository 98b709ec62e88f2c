#pragma once

#include <functional>
#include <vector>

#include "runtime/Clock.h"

namespace tavrin {

// A clock for tests and fuzzing: time stands still while anything is pending
// in the event loop, and jumps to the next deadline (a timer or a scheduled
// call) once nothing is. Whoever runs it (a test, the fuzzer) drives it with
// advance() or runUntil(); the program's operations only ever suspend on it.
// No real time passes, and the order of events is the same in every run.
class VirtualClock : public Clock {
public:
    qint64 nowNs() const override { return nowNs_; }

    // Calls what at ms from now, in the order scheduled among calls and
    // timers due at the same moment.
    void after(qint64 ms, std::function<void()> what);
    // Lets ms pass, running whatever falls due meanwhile.
    void advance(qint64 ms);
    // Lets time pass until done() holds or limitMs have passed; what done()
    // says at the end.
    bool runUntil(const std::function<bool()>& done, qint64 limitMs);
    // Nothing is scheduled any more (timers included).
    bool idle() const { return due_.empty(); }
    // Whether pending events of the window system and of sockets are run
    // too, or only events posted within the program; a run without windows
    // or sockets saves the event loop's polling.
    void setWindowEvents(bool run) { windowEvents_ = run; }

protected:
    void arm(ClockTimer& timer, qint64 dueNs) override;
    void disarm(ClockTimer& timer) override;

private:
    struct Due {
        qint64 ns = 0;
        quint64 order = 0;
        ClockTimer* timer = nullptr;
        std::function<void()> call;
    };
    // Runs every pending event; nothing here moves time.
    void drainEvents() const;
    // Runs the earliest thing due at or before limitNs, moving time to it;
    // false when nothing is due by then.
    bool runNext(qint64 limitNs);

    qint64 nowNs_ = 0;
    bool windowEvents_ = true;
    quint64 order_ = 0;
    std::vector<Due> due_;
};

}  // namespace tavrin
