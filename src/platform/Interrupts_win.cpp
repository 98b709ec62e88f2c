#include <QWinEventNotifier>
#include <atomic>
#include <csignal>

#include "platform/Interrupts.h"

#include "platform/Win32.h"

namespace tavrin {

namespace {

// Windows calls the handler on a thread of its own: it only notes the event
// and sets a Win32 event, which the event loop's notifier picks up.
HANDLE wakeEvent = nullptr;
std::atomic<int> pending{0};

BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    pending.fetch_add(1);
    SetEvent(wakeEvent);
    return TRUE;
}

}  // namespace

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent) {
    if (wakeEvent) return;
    wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!wakeEvent) return;
    if (!SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
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
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    delete notifier_;
    CloseHandle(wakeEvent);
    wakeEvent = nullptr;
    pending = 0;
}

void InterruptWatcher::onReadable() {
    for (int n = pending.exchange(0); n > 0; --n) emit interrupted(SIGINT);
}

}  // namespace tavrin
