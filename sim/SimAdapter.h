#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>

#include "ElmResponder.h"
#include "SimConfig.h"

class QSocketNotifier;

namespace tavrin::sim {

// A simulated ELM327-type adapter with an instrument cluster behind it, on the
// master side of a pseudo-terminal. A program opens slavePath() as if it were
// the adapter's serial port. Everything runs on the thread's event loop, so a
// test can drive the sim and the program under test on one thread.
class SimAdapter : public QObject {
    Q_OBJECT
public:
    explicit SimAdapter(SimConfig config = {}, QObject* parent = nullptr);
    ~SimAdapter() override;

    // Creates the pseudo-terminal; the adapter is then as after power-up.
    bool start(QString* error = nullptr);
    // Closes both ends, like pulling the adapter's cable; the program's open
    // port then fails on its next read.
    void stop();
    bool isRunning() const { return master_ >= 0; }
    // Path of the line's slave end, e.g. /dev/pts/7 (the last one, once stopped).
    QString slavePath() const { return slavePath_; }

    // Makes <folder>/ports/com<N> a symbolic link to the slave (creating
    // ports/), replacing an older link. The sim removes the link when it is
    // destroyed, but not on stop(): a dangling link is a port that vanished.
    bool linkAs(const QString& folder, int comNumber, QString* error = nullptr);
    QString linkPath() const { return linkPath_; }
    void removeLink();

    // May be changed while running; takes effect from the next command line.
    SimConfig& config() { return config_; }
    const SimConfig& config() const { return config_; }
    // The cluster's configuration record under local identifier 03.
    QByteArray record() const { return config_.record; }

    // Every command line received, in order, as received (without CR/LF).
    QStringList requests() const { return requests_; }
    QByteArray receivedBytes() const { return received_; }
    QByteArray sentBytes() const { return sent_; }
    void clearLog();

    // The speed in bit/s the program has set on the line (0 when it is not
    // one of the usual speeds, or the line is closed).
    int lineSpeed() const;

    // Whether answer bytes are still waiting to go out.
    bool outputPending() const { return !queue_.empty(); }
    // Drops queued answer bytes and whatever sits unread at the slave end, so
    // the next program that opens the line starts clean.
    void discardUnread();

signals:
    void requestReceived(const QString& line);
    void stopped();

private:
    struct Segment {
        QByteArray bytes;
        int delayMs = 0;
        bool hangUp = false;   // stop the sim once this segment is due
        bool request = false;  // the answer to a request still being processed
        bool started = false;
        bool writing = false;  // some of its bytes have left
        qint64 readyAtNs = 0;
    };

    void onReadable();
    void retryRead();
    void handleByte(char c);
    void finishLine(const QByteArray& raw);
    void enqueue(const QByteArray& bytes, int delayMs, bool hangUp = false, bool request = false);
    // A character arrived while a request was being processed: true when it
    // stopped that request, as an ELM327 does.
    bool interruptRequest();
    void pump();
    void armPump(qint64 waitNs);
    void closeLine();
    bool speedMatches() const;
    QByteArray noise();

    SimConfig config_;
    ElmResponder responder_;
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QString linkPath_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer readRetry_;
    QTimer pumpTimer_;
    QElapsedTimer clock_;
    qint64 nextCharNs_ = 0;
    std::deque<Segment> queue_;
    QByteArray line_;
    QStringList requests_;
    QByteArray received_;
    QByteArray sent_;
    QRandomGenerator random_;
};

}  // namespace tavrin::sim
