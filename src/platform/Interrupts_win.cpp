#include <QWinEventNotifier>
#include <atomic>
#include <csignal>
#include <mutex>

#include "platform/Interrupts.h"

#include "platform/Win32.h"

namespace tavrin {

namespace {

// Windows calls the handler on a thread of its own: it only notes the event
// and sets a Win32 event, which the event loop's notifier picks up.
std::mutex wakeGuard;  // the wake event's life: the handler may run as it goes
HANDLE wakeEvent = nullptr;
std::atomic<int> pendingInterrupts{0};
std::atomic<int> pendingCloses{0};

// Set when the watcher goes, that is when the program has finished what it
// does on an interrupt; made once and never closed, since a handler may still
// wait on it after the watcher has gone.
HANDLE finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI consoleHandler(DWORD type) {
    return InterruptWatcher::onConsoleEvent(type);
}

}  // namespace

bool InterruptWatcher::onConsoleEvent(unsigned long type) {
    const bool closing =
        type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (!closing && type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return false;
    {
        const std::lock_guard lock(wakeGuard);
        if (!wakeEvent) return false;
        (closing ? pendingCloses : pendingInterrupts).fetch_add(1);
        SetEvent(wakeEvent);
    }
    // The process ends as soon as this returns, or when Windows' limit is
    // over: hold it until the program has finished (a change whose write went
    // out has read its outcome back and recorded it), or until just before
    // the limit.
    if (closing) WaitForSingleObject(finishedEvent, kConsoleCloseHoldMs);
    return true;
}

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent) {
    const std::lock_guard lock(wakeGuard);
    if (wakeEvent || !finishedEvent) return;
    wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!wakeEvent) return;
    ResetEvent(finishedEvent);
    if (!SetConsoleCtrlHandler(consoleHandler, TRUE)) {
        CloseHandle(wakeEvent);
        wakeEvent = nullptr;
        return;
    }
    auto* notifier = new QWinEventNotifier(wakeEvent, this);
    connect(notifier, &QWinEventNotifier::activated, this, &InterruptWatcher::onReadable);
    notifier_ = notifier;
}

InterruptWatcher::~InterruptWatcher() {
    if (!notifier_) return;
    delete notifier_;
    {
        const std::lock_guard lock(wakeGuard);
        CloseHandle(wakeEvent);
        wakeEvent = nullptr;
        pendingInterrupts = 0;
        pendingCloses = 0;
    }
    // Before the handler is taken out: the system may hold the list of
    // handlers locked while one of them waits (Wine does).
    SetEvent(finishedEvent);
    SetConsoleCtrlHandler(consoleHandler, FALSE);
}

void InterruptWatcher::onReadable() {
    // A closing console is asked to end, as SIGTERM asks on Linux.
    for (int n = pendingCloses.exchange(0); n > 0; --n) emit interrupted(SIGTERM);
    for (int n = pendingInterrupts.exchange(0); n > 0; --n) emit interrupted(SIGINT);
}

}  // namespace tavrin
