#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

namespace tavrin {

// Whether a serial device could be opened right now. NoAnswer: its open
// did not end in time (a Bluetooth adapter that is off or out of range
// keeps it waiting for seconds).
enum class ProbeResult { Available, NotFound, HeldByThisProgram, InUse, NoPermission, NoAnswer };

// How a serial device is run: the speed, 8 data bits, no parity, one stop
// bit, and these.
struct DeviceSettings {
    enum class Flow { None, Software, Hardware };
    qint32 speed = 9600;
    Flow flow = Flow::None;
    bool dtr = false;
    bool rts = false;
};

// Characters the device received damaged, by kind: a frame without its stop
// bit, characters lost because they came faster than they were taken, and a
// wrong parity bit. Several of them with an answer are the plainest sign of a
// line speed that is not the adapter's.
struct LineErrors {
    int framing = 0;
    int overrun = 0;
    int parity = 0;

    bool any() const { return framing > 0 || overrun > 0 || parity > 0; }
    // Errors that come of the two ends running at different speeds; an
    // overrun alone says the computer fell behind.
    bool ofSpeed() const { return framing > 0 || parity > 0; }
    LineErrors& operator+=(const LineErrors& more) {
        framing += more.framing;
        overrun += more.overrun;
        parity += more.parity;
        return *this;
    }
    // What came since an earlier count (none of a kind whose count started
    // again since).
    LineErrors since(const LineErrors& before) const {
        const auto more = [](int now, int then) { return now >= then ? now - then : now; };
        return {more(framing, before.framing), more(overrun, before.overrun),
                more(parity, before.parity)};
    }
    bool operator==(const LineErrors&) const = default;
};

// One open serial device of the system: through Qt SerialPort on Linux, the
// Win32 communications API on Windows. A device that vanishes (unplugged,
// Bluetooth gone) fails at its first error and reports nothing after that;
// so does one that takes nothing of a write within the write limit. The
// device lives on the thread that owns it: its I/O runs there from start().
class SerialDevice : public QObject {
    Q_OBJECT
public:
    enum class Refused { None, NotFound, InUse, NoPermission, Settings, NoAnswer, Other };
    struct Opened {
        std::unique_ptr<SerialDevice> device;
        Refused refused = Refused::None;
        QString why;  // the system's words, when refused
    };

    // Both block until the system has answered, which takes seconds on a
    // Bluetooth port (opening it dials the adapter): they are for a thread
    // of their own. A device Open gives belongs to that thread until it is
    // moved to the one that uses it.
    // Whether the device at path could be opened right now; never keeps it.
    static ProbeResult Probe(const QString& path);
    // Opens the device at path for this program alone, with the settings.
    // The words for a refusal are those of the probe: NotFound, InUse and
    // NoPermission mean what they mean there.
    static Opened Open(const QString& path, const DeviceSettings& settings);

    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // A write of which nothing more has gone out for ms fails the device (0:
    // no limit). Set before start().
    void setWriteLimit(int ms);
    // Starts reading; from here on arrived, lineErrors and failed may come.
    void start();
    // Hands the bytes to the device; false when it refused them at once (why
    // says how). The device is closed then, and nothing more is said of it:
    // the caller tells of the loss.
    bool write(const QByteArray& bytes, QString* why);
    // What has arrived and not been read.
    qint64 waiting() const;
    QByteArray read(qint64 maxBytes);
    QByteArray peek() const;
    // Throws away what has arrived and not been read.
    void clear();
    // Lets go of the device; nothing is reported after this.
    void close();
    bool isOpen() const;

signals:
    // Bytes arrived, each once however they are later read.
    void arrived(const QByteArray& bytes);
    // The line errors the system reported since the last time, before the
    // bytes they came with arrive. Where the system counts none (a
    // pseudo-terminal, a driver that does not say), never.
    void lineErrors(const tavrin::LineErrors& errors);
    // The device failed or vanished: the system's words for it. It is closed.
    void failed(const QString& reason);

private:
    struct Impl;
    explicit SerialDevice(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d_;
};

}  // namespace tavrin
