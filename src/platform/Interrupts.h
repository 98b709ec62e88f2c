#pragma once

#include <QObject>

namespace tavrin {

inline constexpr unsigned long kConsoleCloseHoldMs = 4500;

// Ctrl-C (SIGINT) and SIGTERM, or on Windows Ctrl-C and Ctrl-Break at the
// console (both given as SIGINT) and the console's closing, the user's logoff
// and the system's shutdown (all given as SIGTERM), as a signal of the event
// loop, for as long as an object of this class lives: the handler only notes
// the signal, and the program decides in its own time what to do about it.
// The handlers that were there before come back when it goes. One at a time.
//
// Windows ends the process as soon as its handler returns from one of the
// closing events, and at the latest 5 s after it: there the handler holds the
// process until this object goes (the program has done what it does on an
// interrupt) or for kConsoleCloseHoldMs.
class InterruptWatcher : public QObject {
    Q_OBJECT
public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override;
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // Whether the handlers are in place.
    bool watching() const { return notifier_ != nullptr; }

signals:
    void interrupted(int signalNumber);

public:
#ifdef Q_OS_WIN
    // What Windows calls on a thread of its own for a console event
    // (CTRL_C_EVENT ... CTRL_SHUTDOWN_EVENT); true when handled. Public so
    // that a test can deliver an event as Windows does.
    static bool onConsoleEvent(unsigned long type);
#endif

private:
    void onReadable();

    // Wakes the event loop when the handler has noted a signal.
    QObject* notifier_ = nullptr;
};

}  // namespace tavrin
