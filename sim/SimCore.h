#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <deque>

#include "ElmResponder.h"
#include "SimConfig.h"
#include "runtime/Clock.h"

namespace tavrin::sim {

// A simulated ELM327-type adapter with an instrument cluster behind it, byte
// by byte: what the adapter does with each character it receives (echo,
// commands at the carriage return, STOPPED when a request is interrupted,
// noise at a wrong line speed) and when each character of its answers leaves
// it. Which line carries those bytes is up to the subclass: a
// pseudo-terminal (SimAdapter), a line in memory (MemoryAdapter) or a TCP
// connection (SimTcp). Its timing runs on the clock it is given, so the same
// simulator runs in real or in virtual time.
class SimCore : public QObject {
    Q_OBJECT
public:
    SimCore(SimConfig config, Clock& clock, QObject* parent = nullptr);
    ~SimCore() override;

    // May be changed while running; takes effect from the next command line.
    SimConfig& config() { return config_; }
    const SimConfig& config() const { return config_; }
    // The cluster's configuration record under local identifier 03.
    QByteArray record() const { return config_.record; }

    // Every command line received, in order, as received (without CR/LF).
    QStringList requests() const { return requests_; }
    // When each of those lines was complete, in milliseconds on the clock.
    QList<qint64> requestTimesMs() const { return requestTimesMs_; }
    QByteArray receivedBytes() const { return received_; }
    // What of those the adapter lost, not listening while it worked
    // (EarlyInput::Dropped).
    QByteArray droppedBytes() const { return dropped_; }
    QByteArray sentBytes() const { return sent_; }
    void clearLog();

    // (Re)starts the line: the adapter is then as after power-up.
    virtual bool start(QString* error = nullptr) = 0;
    virtual bool isRunning() const = 0;
    // Where a program finds the adapter: the device it opens.
    virtual QString devicePath() const = 0;
    // The speed in bit/s the program has set on the line (0 when it is not
    // one of the usual speeds, or the line is closed).
    virtual int lineSpeed() const = 0;
    // Whether the line is a serial one: a device that can be linked as a COM
    // port, at a speed the program sets. A network connection has neither,
    // so the adapter answers there whatever speed it is configured for.
    virtual bool isSerial() const { return true; }
    // Ends the line like pulling the adapter's cable: the program's open
    // port fails and the device is gone.
    void stop();

    // Makes <folder>/ports/com<N> a symbolic link to the device (creating
    // ports/), replacing an older link. The link is removed when the
    // simulator is destroyed, but not on stop(): a dangling link is a port
    // that vanished. Fails on a line that is not serial.
    bool linkAs(const QString& folder, int comNumber, QString* error = nullptr);
    QString linkPath() const { return linkPath_; }
    // The port the program opens for that COM number, as the system names
    // it: the device itself on Linux, "COMn" on Windows, where a link names
    // no port. Empty when not linked.
    QString portPath() const { return portPath_; }
    void removeLink();

    // Puts bytes on the line as if the adapter printed them, delayMs after
    // whatever is already on its way: for what no command makes it say.
    void say(const QByteArray& bytes, int delayMs = 0) { enqueue(bytes, delayMs); }

    // Whether answer bytes are still waiting to go out.
    bool outputPending() const { return !queue_.empty(); }
    // Drops queued answer bytes and whatever sits unread at the program's
    // end, so the next program that opens the line starts clean.
    virtual void discardUnread();

signals:
    void requestReceived(const QString& line);
    void stopped();

protected:
    // Bytes from the program, in the order they arrived.
    void receive(const QByteArray& bytes);
    // Puts bytes on the line towards the program: how many it took; -1 to
    // try again a little later (the far end's queue is full).
    virtual qint64 transmit(const QByteArray& bytes) = 0;
    // Closes the line at both ends.
    virtual void closeLine() = 0;
    // As after power-up: called when a line (re)starts.
    void powerUp();
    Clock& clock() { return clock_; }

private:
    // Until when a character arriving stops the request a segment answers.
    enum class Stoppable {
        No,
        BeforeAnswer,  // until the answer's first byte leaves (InterruptOnInput)
        BeforePrompt,  // until its prompt has left (EarlyInput::Stops)
    };
    struct Segment {
        QByteArray bytes;
        int delayMs = 0;
        bool hangUp = false;  // stop the sim once this segment is due
        bool answer = false;  // part of an answer, up to its prompt: the adapter is busy
        bool prompt = false;  // the prompt that ends it, and what follows that
        Stoppable stoppable = Stoppable::No;
        bool started = false;
        bool writing = false;  // some of its bytes have left
        qint64 readyAtNs = 0;
    };

    void handleByte(char c);
    void finishLine(const QByteArray& raw);
    void enqueue(const QByteArray& bytes, int delayMs);
    void enqueue(Segment segment);
    // A character arrived while a request was being processed: true when it
    // stopped that request, as an ELM327 does.
    bool interruptRequest();
    bool answerUnderWay() const;
    void pump();
    void armPump(qint64 waitNs);
    bool speedMatches() const;
    QByteArray noise();

    SimConfig config_;
    Clock& clock_;
    ElmResponder responder_;
    ClockTimer pumpTimer_;
    qint64 nextCharNs_ = 0;
    std::deque<Segment> queue_;
    QByteArray line_;
    QStringList requests_;
    QList<qint64> requestTimesMs_;
    QByteArray received_;
    QByteArray dropped_;
    QByteArray sent_;
    QString linkPath_;
    QString linkTarget_;
    QString portPath_;
    QRandomGenerator random_;
};

}  // namespace tavrin::sim
