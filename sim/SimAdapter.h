#pragma once

#include <QString>
#include <QTimer>

#include "SimCore.h"

class QSocketNotifier;

namespace tavrin::sim {

// The simulated adapter on the master side of a pseudo-terminal. A program
// opens slavePath() as if it were the adapter's serial port. Everything runs
// on the thread's event loop, so a test can drive the sim and the program
// under test on one thread.
class SimAdapter : public SimCore {
    Q_OBJECT
public:
    explicit SimAdapter(SimConfig config = {}, QObject* parent = nullptr);
    ~SimAdapter() override;

    // Creates the pseudo-terminal; the adapter is then as after power-up.
    bool start(QString* error = nullptr) override;
    bool isRunning() const override { return master_ >= 0; }
    // Path of the line's slave end, e.g. /dev/pts/7 (the last one, once stopped).
    QString slavePath() const { return slavePath_; }
    QString devicePath() const override { return slavePath_; }
    // On Linux the master end reports the settings of the slave end: the
    // speed the program set when it opened its port.
    int lineSpeed() const override;
    void discardUnread() override;

protected:
    qint64 transmit(const QByteArray& bytes) override;
    void closeLine() override;

private:
    void onReadable();
    void retryRead();

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer readRetry_;
};

}  // namespace tavrin::sim
