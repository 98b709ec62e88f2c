#include "platform/MSComm.h"

#include <QWinEventNotifier>
#include <array>
#include <utility>

#include "platform/AdapterLog.h"

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

quint64 lastPortId = 0;

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
struct MSComm::Win32Port {
    struct Transfer {
        OVERLAPPED ov{};
        QWinEventNotifier* notifier = nullptr;
        bool pending = false;
    };

    explicit Win32Port(MSComm& owner) : line(owner) {}
    ~Win32Port() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        for (Transfer* t : transfers()) {
            if (t->ov.hEvent) CloseHandle(t->ov.hEvent);
        }
    }
    Win32Port(const Win32Port&) = delete;
    Win32Port& operator=(const Win32Port&) = delete;

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
        const std::pair<Transfer*, void (Win32Port::*)()> handlers[] = {
            {&read, &Win32Port::onReadEnded}, {&write, &Win32Port::onWriteEnded}};
        for (const auto& [t, handler] : handlers) {
            t->notifier = new QWinEventNotifier(t->ov.hEvent, &line);
            // Notifiers are turned off before the port goes; the check is for
            // a wake already on its way.
            QObject::connect(t->notifier, &QWinEventNotifier::activated, &line,
                             [owner = &line, handler = handler] {
                                 if (owner->win_) (owner->win_.get()->*handler)();
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
        MSComm& owner = line;
        if (owner.log()) owner.log()->record(AdapterLog::Direction::Received, bytes);
        owner.notifyArrival();
    }

    void fail(DWORD error) {
        MSComm& owner = line;
        const QString reason = systemMessage(error);
        // What came before the failure still belongs in the log.
        if (!fresh.isEmpty() && owner.log())
            owner.log()->record(AdapterLog::Direction::Received, std::exchange(fresh, {}));
        owner.lose(reason);
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

    MSComm& line;
    const quint64 id = ++lastPortId;
    HANDLE handle = INVALID_HANDLE_VALUE;
    Transfer read, write;
    QByteArray chunk;     // filled in by the read under way
    QByteArray fresh;     // read, not yet handed over
    QByteArray received;  // handed over, not yet taken by Input
    QByteArray writing;   // given to the write under way
    QByteArray queued;    // to be written after it
};

MSComm::MSComm(QObject* parent) : AdapterLine(parent) {}

MSComm::~MSComm() {
    closeDevice();
}

ProbeResult MSComm::Probe(const QString& path) {
    const QByteArray name = systemName(path).toLatin1();
    const HANDLE handle = CreateFileA(name.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                   ? ProbeResult::InUse
                   : ProbeResult::NotFound;
    }
    CloseHandle(handle);
    return ProbeResult::Available;
}

bool MSComm::isDeviceOpen() const {
    return win_ && win_->handle != INVALID_HANDLE_VALUE;
}

AdapterLine::OpenError MSComm::openDevice(qint32 speed, QString* why) {
    const QString name = systemName(DevicePath);
    const HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(name.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = systemMessage(GetLastError());
        return OpenError::Refused;
    }
    auto port = std::make_unique<Win32Port>(*this);
    port->handle = handle;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        *why = systemMessage(GetLastError());
        return OpenError::Refused;
    }
    // The serial control's handshaking as Linux has it: with RTS/CTS and
    // XON/XOFF both asked for, the hardware lines, which a device cannot
    // ignore.
    const bool hardware = Handshaking == comRTS || Handshaking == comRTSXOnXOff;
    const bool software = Handshaking == comXOnXOff;
    dcb.BaudRate = DWORD(speed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = hardware;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTREnable ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = hardware    ? RTS_CONTROL_HANDSHAKE
                      : RTSEnable ? RTS_CONTROL_ENABLE
                                  : RTS_CONTROL_DISABLE;
    dcb.fOutX = software;
    dcb.fInX = software;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fErrorChar = FALSE;
    // NULs arrive as they are: the log keeps them, Input drops them.
    dcb.fNull = FALSE;
    // A line error must not stop all reads until it is cleared.
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        *why =
            QStringLiteral("the device refused %1 bit/s: %2").arg(speed).arg(systemMessage(error));
        return OpenError::InvalidSettings;
    }
    // A read ends at once with what has arrived, or with the first byte to
    // arrive, or empty after kReadWaitMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    if (!SetCommTimeouts(handle, &timeouts)) {
        *why = systemMessage(GetLastError());
        return OpenError::Refused;
    }
    // Set as asked rather than left as the driver had them: an ELM327 takes
    // RTS for an interrupt. A pseudo-terminal under Wine may refuse; that is
    // harmless. Under RTS/CTS flow control RTS is the driver's.
    EscapeCommFunction(handle, DTREnable ? SETDTR : CLRDTR);
    if (!hardware) EscapeCommFunction(handle, RTSEnable ? SETRTS : CLRRTS);
    PurgeComm(handle, PURGE_RXCLEAR);
    if (!port->createEvents(why)) return OpenError::Refused;

    win_ = std::move(port);
    win_->watch();
    taken(-1);
    // The first read goes out from the event loop, as every later one: a
    // failure there is a lost port, told once the open has returned.
    SetEvent(win_->read.ov.hEvent);
    win_->read.pending = true;
    return OpenError::None;
}

void MSComm::closeDevice() {
    if (!win_) return;
    // A transfer the driver would not give back still writes into the
    // port's buffers when it ends: those stay.
    if (win_->shut())
        win_.reset();
    else
        (void)win_.release();
}

bool MSComm::writeDevice(const QByteArray& bytes) {
    Win32Port& port = *win_;
    if (bytes.isEmpty()) return true;
    if (port.write.pending) {
        port.queued += bytes;
        return true;
    }
    const DWORD error = port.startWrite(bytes);
    if (error == ERROR_SUCCESS) return true;
    // The port closes from the event loop, as after a failure found later:
    // whoever is writing does not expect it to close under them.
    QMetaObject::invokeMethod(
        this,
        [this, id = port.id, reason = systemMessage(error)] {
            if (win_ && win_->id == id) lose(reason);
        },
        Qt::QueuedConnection);
    return false;
}

QByteArray MSComm::readDevice(qint64 maxBytes) {
    QByteArray& received = win_->received;
    const QByteArray bytes = received.left(maxBytes);
    received.remove(0, bytes.size());
    taken(bytes.size());
    return bytes;
}

qint64 MSComm::deviceWaiting() const {
    return win_ ? win_->received.size() : 0;
}

QByteArray MSComm::peekDevice() const {
    return win_ ? win_->received : QByteArray();
}

void MSComm::clearDevice() {
    win_->received.clear();
    PurgeComm(win_->handle, PURGE_RXCLEAR);
    taken(-1);
}

}  // namespace tavrin
