#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <memory>

namespace tavrin {

class ClockTimer;
class Sleeper;

// The time every wait, pause and time limit of the conversation is measured
// on. The program runs on the real clock; tests run on a virtual one that
// jumps ahead whenever nothing else is pending, so a ten-second time limit
// costs no real time and every run sees the same order of events.
class Clock {
public:
    virtual ~Clock() = default;

    // Monotonic time since the clock started.
    virtual qint64 nowNs() const = 0;
    qint64 nowMs() const { return nowNs() / 1'000'000; }

    // Sleeps in the event loop (window events and timers run, no CPU is used)
    // until the sleeper is woken or ms have passed. False when the
    // application is quitting: every later sleep would return at once.
    virtual bool sleep(Sleeper& sleeper, qint64 ms) = 0;
    // Lets every pending event run, without waiting for more.
    virtual void runPendingEvents() = 0;

protected:
    friend class ClockTimer;
    // A timer of this clock is due at dueNs (it was not armed), or no longer.
    virtual void arm(ClockTimer& timer, qint64 dueNs) = 0;
    virtual void disarm(ClockTimer& timer) = 0;
    static void fire(ClockTimer& timer);
};

// The machine's own monotonic clock and Qt's event loop.
class RealClock : public Clock {
public:
    RealClock() { started_.start(); }
    qint64 nowNs() const override { return started_.nsecsElapsed(); }
    bool sleep(Sleeper& sleeper, qint64 ms) override;
    void runPendingEvents() override;

protected:
    void arm(ClockTimer& timer, qint64 dueNs) override;
    void disarm(ClockTimer& timer) override;

private:
    QElapsedTimer started_;
};

// A timer on a Clock, in the manner of QTimer: single-shot or repeating,
// with an interval in milliseconds.
class ClockTimer : public QObject {
    Q_OBJECT
public:
    explicit ClockTimer(Clock& clock, QObject* parent = nullptr);
    ~ClockTimer() override;

    void setInterval(int ms) { interval_ = ms; }
    int interval() const { return interval_; }
    void setSingleShot(bool single) { singleShot_ = single; }
    bool isSingleShot() const { return singleShot_; }
    bool isActive() const { return active_; }
    // (Re)starts the interval from now.
    void start();
    void start(int ms);
    void stop();
    // Milliseconds until it fires; -1 when it is not active.
    qint64 remainingMs() const;

signals:
    void timeout();

private:
    friend class Clock;
    friend class RealClock;
    void fired();

    Clock& clock_;
    int interval_ = 0;
    bool singleShot_ = false;
    bool active_ = false;
    qint64 dueNs_ = 0;
    QTimer real_;  // used by the real clock only
};

// One wait in the event loop on a Clock. Signals connected with wakeOn end a
// running sleep early; a sleeper lives as long as the waits it serves.
class Sleeper : public QObject {
    Q_OBJECT
public:
    explicit Sleeper(Clock& clock);

    template <typename Sender, typename Signal>
    void wakeOn(const Sender* sender, Signal signal) {
        connect(sender, signal, this, &Sleeper::wake);
    }
    bool sleep(qint64 ms) { return clock_.sleep(*this, ms); }
    void wake();
    bool woken() const { return woken_; }

private:
    friend class RealClock;
    friend class VirtualClock;

    // The real clock's loop and deadline, made on its first sleep: the
    // virtual clock needs neither.
    QEventLoop& loop();

    Clock& clock_;
    bool woken_ = false;
    bool sleeping_ = false;
    std::unique_ptr<QEventLoop> loop_;
    std::unique_ptr<QTimer> deadline_;
};

}  // namespace tavrin
