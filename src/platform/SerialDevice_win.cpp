#include <QElapsedTimer>
#include <QTimer>
#include <QWinEventNotifier>
#include <array>
#include <atomic>
#include <memory>
#include <utility>

#include "platform/SerialDevice.h"

#include "platform/CommDriver_win.h"
#include "platform/Win32.h"

namespace tavrin {

HANDLE CommDriver::CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) {
    return ::CreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
}
BOOL CommDriver::GetCommState(HANDLE handle, DCB* dcb) {
    return ::GetCommState(handle, dcb);
}
BOOL CommDriver::SetCommState(HANDLE handle, DCB* dcb) {
    return ::SetCommState(handle, dcb);
}
BOOL CommDriver::SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return ::SetCommTimeouts(handle, timeouts);
}
BOOL CommDriver::EscapeCommFunction(HANDLE handle, DWORD function) {
    return ::EscapeCommFunction(handle, function);
}
BOOL CommDriver::ReadFile(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* ov) {
    return ::ReadFile(handle, buffer, size, nullptr, ov);
}
BOOL CommDriver::WriteFile(HANDLE handle, const void* buffer, DWORD size, OVERLAPPED* ov) {
    return ::WriteFile(handle, buffer, size, nullptr, ov);
}
BOOL CommDriver::GetOverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* count, BOOL wait) {
    return ::GetOverlappedResult(handle, ov, count, wait);
}
BOOL CommDriver::ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(handle, errors, status);
}
BOOL CommDriver::CancelIoEx(HANDLE handle, OVERLAPPED* ov) {
    return ::CancelIoEx(handle, ov);
}
BOOL CommDriver::PurgeComm(HANDLE handle, DWORD flags) {
    return ::PurgeComm(handle, flags);
}
BOOL CommDriver::CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}

namespace {

// The most one read asks for.
constexpr DWORD kReadChunk = 4096;
// A read with nothing to hand over waits this long for the first byte, then
// ends empty and is made again: one wake a minute on a silent line.
constexpr DWORD kReadWaitMs = 60000;
// A driver that ends such a read sooner, with nothing, has not waited (some
// ignore the time-outs, or end reads at once while their device is busy):
// the next read goes out after a pause that doubles from the first to the
// longest, so the line is asked at most 20 times a second and never in a
// loop, and an answer is seen at most that much later.
constexpr int kFirstRetryMs = 2;
constexpr int kLongestRetryMs = 50;

std::atomic<CommDriver*> ownDriver{nullptr};

CommDriver& activeDriver() {
    static CommDriver system;
    CommDriver* own = ownDriver.load();
    return own ? *own : system;
}

QString systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message =
        length && text ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    LocalFree(text);
    if (message.isEmpty()) message = QStringLiteral("system error %1").arg(error);
    return message;
}

// "COM12" as the system opens it: only the \\.\ form reaches COM10 and up.
QString systemName(const QString& path) {
    const QString prefix = QStringLiteral("\\\\.\\");
    return path.startsWith(prefix) ? path : prefix + path;
}

// The first line of what a write carries, for words about it.
QString lineOf(const QByteArray& bytes) {
    QByteArray line = bytes.left(bytes.indexOf('\r') < 0 ? 64 : bytes.indexOf('\r')).left(64);
    line.replace('\n', "");
    for (char c : line)
        if (c < 0x20 || c > 0x7E) return {};
    return QString::fromLatin1(line);
}

// One transfer on the handle: its OVERLAPPED, with an event of the system's
// own, and the buffer the driver reads into or writes from. The driver may
// use both for as long as the transfer is under way.
struct Transfer {
    OVERLAPPED ov{};
    QByteArray buffer;
    bool pending = false;
};

// The open handle and its two transfers (a read, always under way while the
// port is open, and a write): everything the driver may still point at.
struct Channel {
    Channel(CommDriver& d, HANDLE h) : driver(d), handle(h) {}
    ~Channel() {
        if (handle != INVALID_HANDLE_VALUE) driver.CloseHandle(handle);
        for (Transfer* t : transfers()) {
            if (t->ov.hEvent) ::CloseHandle(t->ov.hEvent);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    std::array<Transfer*, 2> transfers() { return {&read, &write}; }

    bool createEvents(QString* why);

    // Whether the transfer has ended, asked without waiting; *error is 0 when
    // it ended well.
    bool ended(Transfer& t, DWORD* count, DWORD* error) {
        *count = 0;
        if (driver.GetOverlappedResult(handle, &t.ov, count, FALSE)) {
            *error = ERROR_SUCCESS;
            return true;
        }
        *error = GetLastError();
        return *error != ERROR_IO_INCOMPLETE;
    }

    bool anyPending() {
        for (Transfer* t : transfers())
            if (t->pending) return true;
        return false;
    }

    CommDriver& driver;
    HANDLE handle = INVALID_HANDLE_VALUE;
    Transfer read, write;
};

bool Channel::createEvents(QString* why) {
    for (Transfer* t : transfers()) {
        t->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!t->ov.hEvent) {
            *why = systemMessage(GetLastError());
            return false;
        }
    }
    return true;
}

// A closed device's channel whose cancelled transfers the driver has not
// given back yet. It waits for their own ends, in the event loop, and frees
// the handle and the buffers only then. A transfer that never ends keeps its
// channel for the rest of the run: harmless, where freeing it would not be.
class Reaper : public QObject {
public:
    explicit Reaper(std::unique_ptr<Channel> channel) : channel_(std::move(channel)) {
        for (Transfer* t : channel_->transfers()) {
            if (!t->pending) continue;
            auto* notifier = new QWinEventNotifier(t->ov.hEvent, this);
            connect(notifier, &QWinEventNotifier::activated, this, [this, t] { look(*t); });
        }
    }

private:
    void look(Transfer& t) {
        // Reset before looking: an end that comes after this sets it again.
        ResetEvent(t.ov.hEvent);
        DWORD count = 0;
        DWORD error = 0;
        if (!t.pending || !channel_->ended(t, &count, &error)) return;
        t.pending = false;
        if (channel_->anyPending()) return;
        for (QWinEventNotifier* n : findChildren<QWinEventNotifier*>()) n->setEnabled(false);
        channel_.reset();
        deleteLater();
    }

    std::unique_ptr<Channel> channel_;
};

}  // namespace

void UseCommDriver(CommDriver* driver) {
    ownDriver.store(driver);
}

// One open device over its channel. A notifier turns the end of each
// transfer (its event set, at once or later) into a call in the event loop.
// The read is what waits for characters: its time-outs have it end as soon
// as one byte has arrived. (WaitCommEvent would be the other way, but Wine's
// ends at once on a device without modem lines, such as a pseudo-terminal.)
// An event is reset before its transfer is looked at, and every look asks
// the driver whether the transfer has ended, so no end is missed and a wake
// with nothing behind it costs one look.
//
// Whatever may close the port (a failure, or the signals of an arrival) is
// the last thing each call here does: the port may be gone after it.
struct SerialDevice::Impl {
    Impl(CommDriver& d, HANDLE handle, QString portName)
        : driver(d), channel(std::make_unique<Channel>(d, handle)), name(std::move(portName)) {}

    void watch();
    // Ends every transfer and lets go of the device without waiting for the
    // driver: what it still holds is reaped once it gives it back.
    void shut();

    // Bytes the driver holds, 0 when it cannot say; the line errors it
    // reports with them are kept for the next delivery.
    DWORD inQueue();
    // Takes what the driver holds, then leaves a read of one byte under way,
    // which waits for the next character; what came is handed over. Only
    // what is known to be there is asked for in more than one byte: some
    // drivers (Wine's) end a read only once its whole buffer is filled.
    void pump();
    void onReadEvent();
    // A read ended with nothing: the next goes out from the timer, at once
    // after a wait the driver honoured, otherwise after the back-off.
    void readEndedEmpty();
    void took(DWORD count);
    void deliver();

    void onWriteEvent();
    // A transfer's event came: true, with its count, when it has ended
    // well; false when it has not ended yet, or failed (the device then has).
    bool endedWell(Transfer& t, DWORD* count);
    DWORD startWrite(const QByteArray& bytes);
    void writeStalled();

    void fail(DWORD error) { fail(systemMessage(error)); }
    void fail(const QString& reason);

    CommDriver& driver;
    // Null once the device is closed; while transfers are under way, what
    // the driver may point into.
    std::unique_ptr<Channel> channel;
    // The port as the user named it, for words about it.
    QString name;
    // The device this is the inside of; set once it exists.
    SerialDevice* owner = nullptr;
    // Reading has begun: the notifiers and timers exist and are on.
    bool started = false;
    QWinEventNotifier* readNotifier = nullptr;
    QWinEventNotifier* writeNotifier = nullptr;
    QTimer* readRetry = nullptr;   // the next read, when the last ended empty
    QTimer* writeRetry = nullptr;  // the rest of a write that went nowhere
    QTimer* writeLimit = nullptr;  // nothing more of a write has gone out
    int writeLimitMs = 0;
    int backoffMs = 0;
    QElapsedTimer readSince;
    QByteArray fresh;     // read, not yet handed over
    QByteArray received;  // handed over, not yet taken by Input
    QByteArray queued;    // to be written after the write under way
    LineErrors heard;     // reported, not yet told
};

namespace {

// What an open's failure means. A port another program holds refuses a
// second handle (serial drivers admit one). A Bluetooth port whose adapter
// does not answer the dial ends in "The semaphore timeout period has
// expired".
SerialDevice::Refused refusalOf(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return SerialDevice::Refused::InUse;
        case ERROR_SEM_TIMEOUT:
            return SerialDevice::Refused::NoAnswer;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return SerialDevice::Refused::NotFound;
        default:
            return SerialDevice::Refused::Other;
    }
}

}  // namespace

void SerialDevice::Impl::watch() {
    SerialDevice* device = owner;
    const auto onEnd = [device](void (Impl::*handler)()) {
        return [device, handler] {
            // A wake already on its way when the port closed is dropped.
            if (device->d_ && device->d_->started) (device->d_.get()->*handler)();
        };
    };
    readNotifier = new QWinEventNotifier(channel->read.ov.hEvent, device);
    QObject::connect(readNotifier, &QWinEventNotifier::activated, device,
                     onEnd(&Impl::onReadEvent));
    writeNotifier = new QWinEventNotifier(channel->write.ov.hEvent, device);
    QObject::connect(writeNotifier, &QWinEventNotifier::activated, device,
                     onEnd(&Impl::onWriteEvent));
    readRetry = new QTimer(device);
    readRetry->setSingleShot(true);
    QObject::connect(readRetry, &QTimer::timeout, device, onEnd(&Impl::pump));
    writeRetry = new QTimer(device);
    writeRetry->setSingleShot(true);
    QObject::connect(writeRetry, &QTimer::timeout, device, [device] {
        Impl* d = device->d_.get();
        if (!d->started || !d->channel || d->channel->write.pending || d->queued.isEmpty()) return;
        if (const DWORD error = d->startWrite(std::exchange(d->queued, {}))) d->fail(error);
    });
    writeLimit = new QTimer(device);
    writeLimit->setSingleShot(true);
    QObject::connect(writeLimit, &QTimer::timeout, device, onEnd(&Impl::writeStalled));
}

void SerialDevice::Impl::shut() {
    started = false;
    for (QWinEventNotifier* n : {readNotifier, writeNotifier}) {
        if (!n) continue;
        n->setEnabled(false);
        // It may be the notifier whose signal brought the close about.
        n->deleteLater();
    }
    readNotifier = writeNotifier = nullptr;
    for (QTimer* t : {readRetry, writeRetry, writeLimit}) {
        if (t) t->stop();
    }
    if (!channel) return;
    Channel& c = *channel;
    driver.CancelIoEx(c.handle, nullptr);
    for (Transfer* t : c.transfers()) {
        DWORD count = 0;
        DWORD error = 0;
        if (t->pending && c.ended(*t, &count, &error)) t->pending = false;
    }
    if (c.anyPending()) {
        new Reaper(std::move(channel));
    } else {
        channel.reset();
    }
}

DWORD SerialDevice::Impl::inQueue() {
    COMSTAT status{};
    DWORD errors = 0;
    if (!driver.ClearCommError(channel->handle, &errors, &status)) return 0;
    if (errors & CE_FRAME) ++heard.framing;
    if (errors & (CE_OVERRUN | CE_RXOVER)) ++heard.overrun;
    if (errors & CE_RXPARITY) ++heard.parity;
    return status.cbInQue;
}

void SerialDevice::Impl::pump() {
    Transfer& read = channel->read;
    while (!read.pending && !readRetry->isActive()) {
        const DWORD waiting = qMin(inQueue(), kReadChunk);
        const DWORD wanted = waiting > 0 ? waiting : 1;
        read.buffer.resize(qsizetype(wanted));
        ResetEvent(read.ov.hEvent);
        readSince.start();
        if (!driver.ReadFile(channel->handle, read.buffer.data(), wanted, &read.ov)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return fail(error);
            read.pending = true;
            break;
        }
        // Ended at once; its event is set too, and found stale later.
        DWORD count = 0;
        if (!driver.GetOverlappedResult(channel->handle, &read.ov, &count, FALSE))
            return fail(GetLastError());
        if (count == 0) {
            readEndedEmpty();
            break;
        }
        took(count);
    }
    deliver();
}

bool SerialDevice::Impl::endedWell(Transfer& t, DWORD* count) {
    ResetEvent(t.ov.hEvent);
    DWORD error = 0;
    if (!t.pending || !channel->ended(t, count, &error)) return false;
    t.pending = false;
    if (error == ERROR_SUCCESS) return true;
    fail(error);
    return false;
}

void SerialDevice::Impl::onReadEvent() {
    DWORD count = 0;
    if (!endedWell(channel->read, &count)) return;
    if (count == 0) {
        readEndedEmpty();
        return deliver();
    }
    took(count);
    pump();
}

void SerialDevice::Impl::readEndedEmpty() {
    if (readSince.elapsed() >= qint64(kReadWaitMs) * 9 / 10) {
        backoffMs = 0;
    } else {
        backoffMs = backoffMs == 0 ? kFirstRetryMs : qMin(backoffMs * 2, kLongestRetryMs);
    }
    readRetry->start(backoffMs);
}

void SerialDevice::Impl::took(DWORD count) {
    fresh += channel->read.buffer.left(qsizetype(count));
    backoffMs = 0;
}

void SerialDevice::Impl::deliver() {
    if (heard.any()) {
        emit owner->lineErrors(std::exchange(heard, {}));
        if (!channel) return;
    }
    if (fresh.isEmpty()) return;
    const QByteArray bytes = std::exchange(fresh, {});
    received += bytes;
    emit owner->arrived(bytes);
}

void SerialDevice::Impl::fail(const QString& reason) {
    SerialDevice& device = *owner;
    // What came before the failure is still told.
    if (!fresh.isEmpty()) emit device.arrived(std::exchange(fresh, {}));
    device.close();
    emit device.failed(reason);
}

void SerialDevice::Impl::onWriteEvent() {
    Transfer& write = channel->write;
    DWORD count = 0;
    if (!endedWell(write, &count)) return;
    // Anything a write left unwritten goes ahead of what waited.
    QByteArray next = write.buffer.mid(qsizetype(count)) + std::exchange(queued, {});
    write.buffer.clear();
    if (next.isEmpty()) {
        writeLimit->stop();
        return;
    }
    if (count == 0) {
        // It went nowhere: again after a pause, not in a loop; the limit
        // still runs.
        queued = std::move(next);
        writeRetry->start(kLongestRetryMs);
        return;
    }
    // Some went out: the limit starts again for the rest.
    if (writeLimitMs > 0) writeLimit->start(writeLimitMs);
    if (const DWORD e = startWrite(next)) fail(e);
}

DWORD SerialDevice::Impl::startWrite(const QByteArray& bytes) {
    Transfer& write = channel->write;
    write.buffer = bytes;
    ResetEvent(write.ov.hEvent);
    if (driver.WriteFile(channel->handle, write.buffer.constData(), DWORD(write.buffer.size()),
                         &write.ov)) {
        // Ended at once: its end is taken from the event, as a later one's.
        SetEvent(write.ov.hEvent);
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            write.buffer.clear();
            return error;
        }
    }
    write.pending = true;
    if (writeLimitMs > 0 && writeLimit && !writeLimit->isActive()) writeLimit->start(writeLimitMs);
    return ERROR_SUCCESS;
}

void SerialDevice::Impl::writeStalled() {
    if (!channel || (!channel->write.pending && queued.isEmpty())) return;
    const QString line = lineOf(channel->write.buffer + queued);
    const QString seconds = writeLimitMs % 1000 == 0
                                ? QString::number(writeLimitMs / 1000)
                                : QString::number(writeLimitMs / 1000.0, 'g', 3);
    fail(QStringLiteral("The write%1 to %2 did not finish within %3 seconds: the port took "
                        "nothing more of it.")
             .arg(line.isEmpty() ? QString() : QStringLiteral(" of \"%1\"").arg(line), name,
                  seconds));
}

SerialDevice::SerialDevice(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {
    d_->owner = this;
}

SerialDevice::~SerialDevice() {
    close();
}

ProbeResult SerialDevice::Probe(const QString& path) {
    const QByteArray name = systemName(path).toLatin1();
    const HANDLE handle = CreateFileA(name.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (refusalOf(GetLastError())) {
            case Refused::InUse:
                return ProbeResult::InUse;
            case Refused::NoAnswer:
                return ProbeResult::NoAnswer;
            default:
                return ProbeResult::NotFound;
        }
    }
    CloseHandle(handle);
    return ProbeResult::Available;
}

SerialDevice::Opened SerialDevice::Open(const QString& path, const DeviceSettings& settings) {
    Opened opened;
    CommDriver& driver = activeDriver();
    const QString name = systemName(path);
    const HANDLE handle =
        driver.CreateFileW(reinterpret_cast<LPCWSTR>(name.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        opened.refused = refusalOf(error);
        opened.why = systemMessage(error);
        return opened;
    }
    auto port = std::make_unique<Impl>(driver, handle, path);
    const auto refuse = [&opened](Refused how, QString why) {
        opened.refused = how;
        opened.why = std::move(why);
        return std::move(opened);
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!driver.GetCommState(handle, &dcb))
        return refuse(Refused::Other, systemMessage(GetLastError()));
    // With RTS/CTS and XON/XOFF both asked for, the hardware lines, which a
    // device cannot ignore.
    const bool hardware = settings.flow == DeviceSettings::Flow::Hardware;
    const bool software = settings.flow == DeviceSettings::Flow::Software;
    dcb.BaudRate = DWORD(settings.speed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = hardware;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = settings.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = hardware       ? RTS_CONTROL_HANDSHAKE
                      : settings.rts ? RTS_CONTROL_ENABLE
                                     : RTS_CONTROL_DISABLE;
    dcb.fOutX = software;
    dcb.fInX = software;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fErrorChar = FALSE;
    // NULs arrive as they are: the log keeps them, the reader drops them.
    dcb.fNull = FALSE;
    // A line error must not stop all reads until it is cleared.
    dcb.fAbortOnError = FALSE;
    if (!driver.SetCommState(handle, &dcb)) {
        return refuse(Refused::Settings, QStringLiteral("the device refused %1 bit/s: %2")
                                             .arg(settings.speed)
                                             .arg(systemMessage(GetLastError())));
    }
    // A read ends at once with what has arrived, or with the first byte to
    // arrive, or empty after kReadWaitMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    if (!driver.SetCommTimeouts(handle, &timeouts))
        return refuse(Refused::Other, systemMessage(GetLastError()));
    // Set as asked rather than left as the driver had them: an ELM327 takes
    // RTS for an interrupt. A pseudo-terminal under Wine may refuse; that is
    // harmless. Under RTS/CTS flow control RTS is the driver's.
    driver.EscapeCommFunction(handle, settings.dtr ? SETDTR : CLRDTR);
    if (!hardware) driver.EscapeCommFunction(handle, settings.rts ? SETRTS : CLRRTS);
    driver.PurgeComm(handle, PURGE_RXCLEAR);
    QString why;
    if (!port->channel->createEvents(&why)) return refuse(Refused::Other, why);
    opened.device.reset(new SerialDevice(std::move(port)));
    return opened;
}

void SerialDevice::setWriteLimit(int ms) {
    d_->writeLimitMs = qMax(0, ms);
}

void SerialDevice::start() {
    if (!isOpen() || d_->started) return;
    d_->watch();
    d_->started = true;
    // A write handed over before this is under the limit from here on.
    if (d_->channel->write.pending && d_->writeLimitMs > 0) d_->writeLimit->start(d_->writeLimitMs);
    // The first read goes out from the event loop, as every later one: a
    // failure there is told once this has returned.
    d_->readRetry->start(0);
}

bool SerialDevice::isOpen() const {
    return d_ && d_->channel;
}

void SerialDevice::close() {
    if (!isOpen()) return;
    d_->shut();
}

bool SerialDevice::write(const QByteArray& bytes, QString* why) {
    if (!isOpen()) {
        *why = QStringLiteral("the port is closed");
        return false;
    }
    Impl& port = *d_;
    if (bytes.isEmpty()) return true;
    if (port.channel->write.pending || !port.queued.isEmpty()) {
        port.queued += bytes;
        return true;
    }
    const DWORD error = port.startWrite(bytes);
    if (error == ERROR_SUCCESS) return true;
    *why = systemMessage(error);
    // Nothing more goes out or comes in; the caller tells of the loss.
    close();
    return false;
}

qint64 SerialDevice::waiting() const {
    return isOpen() ? d_->received.size() : 0;
}

QByteArray SerialDevice::read(qint64 maxBytes) {
    if (!isOpen()) return {};
    QByteArray& received = d_->received;
    const QByteArray bytes = received.left(maxBytes);
    received.remove(0, bytes.size());
    return bytes;
}

QByteArray SerialDevice::peek() const {
    return isOpen() ? d_->received : QByteArray();
}

void SerialDevice::clear() {
    if (!isOpen()) return;
    d_->received.clear();
    d_->driver.PurgeComm(d_->channel->handle, PURGE_RXCLEAR);
}

}  // namespace tavrin
