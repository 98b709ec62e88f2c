#include <QWinEventNotifier>
#include <array>
#include <utility>

#include "platform/SerialDevice.h"

#include "platform/Win32.h"

namespace tavrin {

namespace {

// The most one read asks for.
constexpr DWORD kReadChunk = 4096;
// A read with nothing to hand over waits this long for the first byte, then
// ends empty and is made again: one wake a minute on a silent line.
constexpr DWORD kReadWaitMs = 60000;
// How long closing waits for cancelled transfers, which end at once with
// any driver that behaves.
constexpr DWORD kCancelWaitMs = 2000;

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

}  // namespace

// One open device: its handle and one overlapped transfer of each kind (a
// read, always under way while the port is open, and a write), each with its
// own event, which a notifier turns into a call in the event loop. The read
// is what waits for characters: its time-outs have it end as soon as one
// byte has arrived. (WaitCommEvent would be the other way, but Wine's ends at
// once on a device without modem lines, such as a pseudo-terminal.) A transfer's event is set
// when it ends, at once or later, and reset only while nothing is under way
// on it, so no end is missed.
//
// Whatever may close the port (a failure, or the signals of an arrival) is
// the last thing each call here does: the port may be gone after it.
struct SerialDevice::Impl {
    struct Transfer {
        OVERLAPPED ov{};
        QWinEventNotifier* notifier = nullptr;
        bool pending = false;
    };

    Impl() = default;
    ~Impl() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        for (Transfer* t : transfers()) {
            if (t->ov.hEvent) CloseHandle(t->ov.hEvent);
        }
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::array<Transfer*, 2> transfers() { return {&read, &write}; }

    bool createEvents(QString* why) {
        for (Transfer* t : transfers()) {
            t->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!t->ov.hEvent) {
                *why = systemMessage(GetLastError());
                return false;
            }
        }
        return true;
    }

    void watch() {
        const std::pair<Transfer*, void (Impl::*)()> handlers[] = {{&read, &Impl::onReadEnded},
                                                                   {&write, &Impl::onWriteEnded}};
        for (const auto& [t, handler] : handlers) {
            t->notifier = new QWinEventNotifier(t->ov.hEvent, line);
            // Notifiers are turned off before the port goes; the check is for
            // a wake already on its way.
            QObject::connect(t->notifier, &QWinEventNotifier::activated, line,
                             [owner = line, handler = handler] {
                                 if (owner->d_ && owner->d_->started) (owner->d_.get()->*handler)();
                             });
        }
    }

    // Ends every transfer and closes the device. False if a driver holds on
    // to a transfer: its buffers must then outlive the port.
    bool shut() {
        for (Transfer* t : transfers()) {
            if (!t->notifier) continue;
            t->notifier->setEnabled(false);
            // It may be the notifier whose signal brought the close about.
            t->notifier->deleteLater();
            t->notifier = nullptr;
        }
        if (handle == INVALID_HANDLE_VALUE) return true;
        CancelIoEx(handle, nullptr);
        bool ended = true;
        for (Transfer* t : transfers()) {
            if (!t->pending) continue;
            DWORD count = 0;
            if (WaitForSingleObject(t->ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0)
                GetOverlappedResult(handle, &t->ov, &count, FALSE);
            else
                ended = false;
        }
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        return ended;
    }

    // Bytes the driver holds; 0 when it cannot say.
    DWORD inQueue() {
        COMSTAT status{};
        DWORD errors = 0;
        return ClearCommError(handle, &errors, &status) ? status.cbInQue : 0;
    }

    // Takes what the driver holds, then leaves a read of one byte under way,
    // which waits for the next character; what came is handed over. Only
    // what is known to be there is asked for in more than one byte: some
    // drivers (Wine's) end a read only once its whole buffer is filled.
    void pump() {
        while (!read.pending) {
            const DWORD waiting = qMin(inQueue(), kReadChunk);
            const DWORD wanted = waiting > 0 ? waiting : 1;
            chunk.resize(wanted);
            ResetEvent(read.ov.hEvent);
            if (!ReadFile(handle, chunk.data(), wanted, nullptr, &read.ov)) {
                const DWORD error = GetLastError();
                if (error != ERROR_IO_PENDING) return fail(error);
                read.pending = true;
                break;
            }
            DWORD count = 0;
            if (!GetOverlappedResult(handle, &read.ov, &count, FALSE)) return fail(GetLastError());
            if (count == 0) {
                // Ended at once with nothing, though it should have waited:
                // the next read is made from the event loop, so a driver that
                // does this cannot hold the loop up.
                SetEvent(read.ov.hEvent);
                read.pending = true;
                break;
            }
            fresh += chunk.left(count);
        }
        deliver();
    }

    void deliver() {
        if (fresh.isEmpty()) return;
        const QByteArray bytes = std::exchange(fresh, {});
        received += bytes;
        emit line->arrived(bytes);
    }

    void fail(DWORD error) {
        SerialDevice& owner = *line;
        const QString reason = systemMessage(error);
        // What came before the failure is still told.
        if (!fresh.isEmpty()) emit owner.arrived(std::exchange(fresh, {}));
        owner.close();
        emit owner.failed(reason);
    }

    // Whether the transfer's end is to be handled now. A stale wake (the
    // event set by a transfer already handled) is cleared and ignored.
    bool ended(Transfer& t, DWORD* count) {
        if (!t.pending) {
            ResetEvent(t.ov.hEvent);
            return false;
        }
        if (!GetOverlappedResult(handle, &t.ov, count, FALSE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) return false;
            t.pending = false;
            fail(error);
            return false;
        }
        t.pending = false;
        ResetEvent(t.ov.hEvent);
        return true;
    }

    void onReadEnded() {
        DWORD count = 0;
        if (!ended(read, &count)) return;
        fresh += chunk.left(count);
        pump();
    }

    void onWriteEnded() {
        DWORD count = 0;
        if (!ended(write, &count)) return;
        // Anything a write left unwritten goes ahead of what waited.
        QByteArray next = writing.mid(count) + std::exchange(queued, {});
        writing.clear();
        if (next.isEmpty()) return;
        if (const DWORD error = startWrite(next)) fail(error);
    }

    DWORD startWrite(const QByteArray& bytes) {
        writing = bytes;
        ResetEvent(write.ov.hEvent);
        if (WriteFile(handle, writing.constData(), DWORD(writing.size()), nullptr, &write.ov)) {
            SetEvent(write.ov.hEvent);
        } else {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                writing.clear();
                return error;
            }
        }
        write.pending = true;
        return ERROR_SUCCESS;
    }

    // The device this is the inside of; set once it exists.
    SerialDevice* line = nullptr;
    // Reading has begun: the notifiers are on.
    bool started = false;
    // A transfer outlived the close: the driver may still write into these
    // buffers, so they are never freed.
    bool held = false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    Transfer read, write;
    QByteArray chunk;     // filled in by the read under way
    QByteArray fresh;     // read, not yet handed over
    QByteArray received;  // handed over, not yet taken by Input
    QByteArray writing;   // given to the write under way
    QByteArray queued;    // to be written after it
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

SerialDevice::SerialDevice(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {
    d_->line = this;
}

SerialDevice::~SerialDevice() {
    close();
    // A transfer the driver would not give back still writes into the
    // buffers when it ends: those stay.
    if (d_->held) (void)d_.release();
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
    const QString name = systemName(path);
    const HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(name.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        opened.refused = refusalOf(error);
        opened.why = systemMessage(error);
        return opened;
    }
    auto port = std::make_unique<Impl>();
    port->handle = handle;
    const auto refuse = [&opened](Refused how, QString why) {
        opened.refused = how;
        opened.why = std::move(why);
        return std::move(opened);
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return refuse(Refused::Other, systemMessage(GetLastError()));
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
    if (!SetCommState(handle, &dcb)) {
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
    if (!SetCommTimeouts(handle, &timeouts))
        return refuse(Refused::Other, systemMessage(GetLastError()));
    // Set as asked rather than left as the driver had them: an ELM327 takes
    // RTS for an interrupt. A pseudo-terminal under Wine may refuse; that is
    // harmless. Under RTS/CTS flow control RTS is the driver's.
    EscapeCommFunction(handle, settings.dtr ? SETDTR : CLRDTR);
    if (!hardware) EscapeCommFunction(handle, settings.rts ? SETRTS : CLRRTS);
    PurgeComm(handle, PURGE_RXCLEAR);
    QString why;
    if (!port->createEvents(&why)) return refuse(Refused::Other, why);
    opened.device.reset(new SerialDevice(std::move(port)));
    return opened;
}

void SerialDevice::start() {
    if (!isOpen() || d_->started) return;
    d_->watch();
    d_->started = true;
    // The first read goes out from the event loop, as every later one: a
    // failure there is told once this has returned.
    SetEvent(d_->read.ov.hEvent);
    d_->read.pending = true;
}

bool SerialDevice::isOpen() const {
    return d_ && d_->handle != INVALID_HANDLE_VALUE;
}

void SerialDevice::close() {
    if (!d_ || d_->handle == INVALID_HANDLE_VALUE) return;
    d_->started = false;
    if (!d_->shut()) d_->held = true;
}

bool SerialDevice::write(const QByteArray& bytes, QString* why) {
    if (!isOpen()) return false;
    Impl& port = *d_;
    if (bytes.isEmpty()) return true;
    if (port.write.pending) {
        port.queued += bytes;
        return true;
    }
    const DWORD error = port.startWrite(bytes);
    if (error == ERROR_SUCCESS) return true;
    *why = systemMessage(error);
    // The device fails from the event loop, as after a failure found later:
    // whoever is writing does not expect it to close under them.
    QMetaObject::invokeMethod(
        this,
        [this, reason = *why] {
            if (!isOpen()) return;
            close();
            emit failed(reason);
        },
        Qt::QueuedConnection);
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
    PurgeComm(d_->handle, PURGE_RXCLEAR);
}

}  // namespace tavrin
