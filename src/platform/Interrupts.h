#pragma once

#include <QObject>

namespace tavrin {

// Ctrl-C (SIGINT) and SIGTERM, or on Windows Ctrl-C and Ctrl-Break at the
// console (both given as SIGINT), as a signal of the event loop, for as long as
// an object of this class lives: the handler only notes the signal, and the
// program decides in its own time what to do about it. The handlers that were
// there before come back when it goes. One at a time.
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

private:
    void onReadable();

    // Wakes the event loop when the handler has noted a signal.
    QObject* notifier_ = nullptr;
};

}  // namespace tavrin
