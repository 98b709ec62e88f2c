#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace tavrin {

class ClockTimer;

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

protected:
    friend class ClockTimer;
    // A timer of this clock is due at dueNs (it was not armed), or no longer.
    virtual void arm(ClockTimer& timer, qint64 dueNs) = 0;
    virtual void disarm(ClockTimer& timer) = 0;
    static void fire(ClockTimer& timer);
};

// The machine's own monotonic clock and Qt's timers.
class RealClock : public Clock {
public:
    RealClock() { started_.start(); }
    qint64 nowNs() const override { return started_.nsecsElapsed(); }

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

}  // namespace tavrin
