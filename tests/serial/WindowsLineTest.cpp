// The Win32 line's own paths, through a driver the test plays: the ways a
// real driver ends transfers (in part, late, empty, never, with an error)
// and gives line errors, which a pseudo-terminal under Wine never shows.
// The simulated adapter sits at the driver's far end, and each path ends as
// the same event ends on Linux: the same statuses and words, and nothing
// written after a loss. A change whose write is refused is told once.
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "TestSupport.h"
#include "cluster/Operations.h"
#include "cluster/SessionWords.h"
#include "core/Defines.h"
#include "platform/CommDriver_win.h"
#include "runtime/AdapterLine.h"
#include "runtime/SerialLine.h"
#include "serial/Exchange.h"

using namespace tavrin;

namespace {

// How the test's driver ends what the device asks of it.
enum class Script {
    Plain,            // as a good driver: at once when it can, otherwise later
    PartialWrites,    // each write takes 3 bytes, and the device writes the rest
    SlowWrites,       // each write ends 30 ms later, so lines queue behind it
    EmptyReads,       // reads end at once with nothing, the time-outs ignored
    WriteRefused,     // the write of the request fails at once
    WriteFailsLater,  // the write of the request ends later with an error
    WriteNeverEnds,   // the write of the request never ends (a half-dead link)
    LineErrors,       // each burst that arrives at the wrong speed has a framing error
    HeldPastClose,    // a cancelled read is given back only 200 ms after the close
};

constexpr DWORD kDeadDevice = ERROR_GEN_FAILURE;

QString systemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString message = QString::fromWCharArray(text, int(length)).trimmed();
    LocalFree(text);
    return message;
}

// A COM port's driver: one handle, the bytes on their way in, and every
// transfer the device started, by its OVERLAPPED. Ends come from the event
// loop, as a driver's do, through the transfers' own events.
class TestDriver : public CommDriver {
public:
    struct Op {
        char* buffer = nullptr;
        DWORD size = 0;
        bool write = false;
        bool done = false;
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        HANDLE event = nullptr;
    };

    Script script = Script::Plain;
    // The request whose write the script's write faults are about.
    QByteArray request = "2103";
    const HANDLE handle = reinterpret_cast<HANDLE>(quintptr(0x7e57));
    DCB dcb{};
    QByteArray incoming;  // from the adapter, not yet read
    QByteArray written;   // taken by writes, in order
    int readCalls = 0;
    int writeCalls = 0;
    bool hungUp = false;
    bool open = false;
    bool closedWithTransfers = false;  // CloseHandle while a transfer was under way
    bool heldEnded = false;            // the read held past the close has ended
    DWORD errors = 0;                  // for the next ClearCommError
    std::map<OVERLAPPED*, Op> ops;
    // Bytes a write takes reach the adapter through this.
    std::function<void(const QByteArray&)> toAdapter;

    HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, DWORD, DWORD) override {
        if (QString::fromWCharArray(name) != QLatin1String("\\\\.\\COM7")) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        open = true;
        return handle;
    }
    BOOL GetCommState(HANDLE, DCB* d) override {
        *d = dcb;
        return TRUE;
    }
    BOOL SetCommState(HANDLE, DCB* d) override {
        dcb = *d;
        return TRUE;
    }
    BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS*) override { return TRUE; }
    BOOL EscapeCommFunction(HANDLE, DWORD) override { return TRUE; }

    BOOL ReadFile(HANDLE, void* buffer, DWORD size, OVERLAPPED* ov) override {
        ++readCalls;
        if (hungUp) return failNow(kDeadDevice);
        Op& op = start(ov, static_cast<char*>(buffer), size, false);
        if (!incoming.isEmpty() || script == Script::EmptyReads) {
            take(op);
            return TRUE;
        }
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }

    BOOL WriteFile(HANDLE, const void* buffer, DWORD size, OVERLAPPED* ov) override {
        ++writeCalls;
        if (hungUp) return failNow(kDeadDevice);
        const QByteArray bytes(static_cast<const char*>(buffer), int(size));
        const bool faulty = bytes.startsWith(request);
        if (faulty && script == Script::WriteRefused) return failNow(kDeadDevice);
        start(ov, const_cast<char*>(static_cast<const char*>(buffer)), size, true);
        if (faulty && script == Script::WriteNeverEnds) return pending();
        const DWORD taken = script == Script::PartialWrites ? qMin<DWORD>(size, 3) : size;
        const DWORD error = faulty && script == Script::WriteFailsLater ? kDeadDevice : 0;
        const int afterMs = script == Script::SlowWrites ? 30 : 0;
        QTimer::singleShot(afterMs, &context_,
                           [this, ov, taken, error] { endWrite(ov, taken, error); });
        return pending();
    }

    BOOL GetOverlappedResult(HANDLE, OVERLAPPED* ov, DWORD* count, BOOL) override {
        const auto it = ops.find(ov);
        if (it == ops.end() || !it->second.done) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        *count = it->second.count;
        if (it->second.error != ERROR_SUCCESS) {
            SetLastError(it->second.error);
            return FALSE;
        }
        return TRUE;
    }

    BOOL ClearCommError(HANDLE, DWORD* e, COMSTAT* status) override {
        if (hungUp) {
            SetLastError(kDeadDevice);
            return FALSE;
        }
        *e = std::exchange(errors, 0);
        status->cbInQue = DWORD(incoming.size());
        return TRUE;
    }

    BOOL CancelIoEx(HANDLE, OVERLAPPED*) override {
        for (auto& [ov, op] : ops) {
            if (op.done) continue;
            if (script == Script::HeldPastClose && !op.write) {
                // The driver still writes into the buffer when it lets go.
                QTimer::singleShot(200, &context_, [this, ov = ov] {
                    Op& held = ops.at(ov);
                    held.buffer[0] = 'x';
                    heldEnded = true;
                    end(held, 0, ERROR_OPERATION_ABORTED);
                });
                continue;
            }
            end(op, 0, ERROR_OPERATION_ABORTED);
        }
        return TRUE;
    }

    BOOL PurgeComm(HANDLE, DWORD flags) override {
        if (flags & PURGE_RXCLEAR) incoming.clear();
        return TRUE;
    }

    BOOL CloseHandle(HANDLE) override {
        for (const auto& [ov, op] : ops)
            if (!op.done) closedWithTransfers = true;
        open = false;
        return TRUE;
    }

    // From the adapter's end of the line.
    void fromAdapter(const QByteArray& bytes) {
        incoming += bytes;
        if (script == Script::LineErrors) errors |= CE_FRAME;
        for (auto& [ov, op] : ops) {
            if (!op.write && !op.done) take(op);
        }
    }
    void hangUp() {
        hungUp = true;
        for (auto& [ov, op] : ops) {
            if (!op.done) end(op, 0, kDeadDevice);
        }
    }

private:
    // Ends still to come go with the driver.
    QObject context_;

    Op& start(OVERLAPPED* ov, char* buffer, DWORD size, bool write) {
        Op& op = ops[ov];
        op = Op{buffer, size, write, false, 0, ERROR_SUCCESS, ov->hEvent};
        return op;
    }
    static BOOL pending() {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    static BOOL failNow(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    void take(Op& op) {
        const QByteArray bytes = incoming.left(int(op.size));
        incoming.remove(0, bytes.size());
        std::copy(bytes.begin(), bytes.end(), op.buffer);
        end(op, DWORD(bytes.size()), ERROR_SUCCESS);
    }
    void endWrite(OVERLAPPED* ov, DWORD taken, DWORD error) {
        const auto it = ops.find(ov);
        if (it == ops.end() || it->second.done) return;
        const QByteArray bytes(it->second.buffer, error ? 0 : int(taken));
        end(it->second, error ? 0 : taken, error);
        written += bytes;
        if (toAdapter && !bytes.isEmpty()) toAdapter(bytes);
    }
    static void end(Op& op, DWORD count, DWORD error) {
        op.done = true;
        op.count = count;
        op.error = error;
        SetEvent(op.event);
    }
};

// The simulated adapter at the driver's far end, on the real clock.
class DriverAdapter : public sim::SimCore {
public:
    DriverAdapter(sim::SimConfig config, Clock& clock, TestDriver& driver)
        : SimCore(std::move(config), clock), driver_(driver) {
        driver_.toAdapter = [this](const QByteArray& bytes) { receive(bytes); };
        powerUp();
    }
    bool start(QString* = nullptr) override { return true; }
    bool isRunning() const override { return !driver_.hungUp; }
    QString devicePath() const override { return QStringLiteral("COM7"); }
    int lineSpeed() const override { return driver_.open ? int(driver_.dcb.BaudRate) : 0; }

protected:
    qint64 transmit(const QByteArray& bytes) override {
        driver_.fromAdapter(bytes);
        return bytes.size();
    }
    void closeLine() override { driver_.hangUp(); }

private:
    TestDriver& driver_;
};

// The machine's lines and clock, with COM7 the test's driver: it is the one
// port there is.
class DriverHost : public test::TestHost {
public:
    DriverHost() : TestHost(test::Lines::Real) {
        limits.writeMs = 300;
        setDevices(&ports);
    }
    // The test's driver stands for COM7, which the system does not list.
    test::ListedDevices ports{devices(), {QStringLiteral("COM7")}};
};

// The test's driver in the system's place for as long as it lives.
struct DriverInUse {
    explicit DriverInUse(TestDriver& driver) { UseCommDriver(&driver); }
    ~DriverInUse() { UseCommDriver(nullptr); }
};

}  // namespace

Q_DECLARE_METATYPE(Script)

class WindowsLineTest : public QObject {
    Q_OBJECT

private slots:
    void eachPathEndsAsOnLinux_data() {
        QTest::addColumn<Script>("script");
        QTest::addColumn<int>("adapterSpeed");  // 0: the line's own
        QTest::addColumn<int>("answerDelayMs");
        QTest::addColumn<QString>("fault");  // the simulated adapter's, on 2103
        QTest::addColumn<WaitStatus>("status");
        QTest::addColumn<QStringList>("words");  // in the read's failure, as the window says it

        const QString lost = QStringLiteral("the connection to the adapter was lost");
        const QString dead = systemText(kDeadDevice);
        QTest::newRow("partial writes")
            << Script::PartialWrites << 0 << 0 << QString() << WaitStatus::Found << QStringList();
        QTest::newRow("queued writes")
            << Script::SlowWrites << 0 << 0 << QString() << WaitStatus::Found << QStringList();
        QTest::newRow("empty completions while the adapter thinks")
            << Script::EmptyReads << 0 << 400 << QString() << WaitStatus::Found << QStringList();
        QTest::newRow("a read error")
            << Script::Plain << 0 << 0 << "DisconnectMidAnswer" << WaitStatus::PortClosed
            << QStringList{lost, "Plug it in again", dead};
        QTest::newRow("a write refused at once")
            << Script::WriteRefused << 0 << 0 << QString() << WaitStatus::PortClosed
            << QStringList{lost, "Plug it in again", dead};
        QTest::newRow("a write error later") << Script::WriteFailsLater << 0 << 0 << QString()
                                             << WaitStatus::PortClosed << QStringList{lost, dead};
        QTest::newRow("a write that never ends")
            << Script::WriteNeverEnds << 0 << 0 << QString() << WaitStatus::PortClosed
            << QStringList{lost, "The write of \"2103\" to COM7 did not finish within 0.3 seconds"};
        QTest::newRow("framing errors at a wrong speed")
            << Script::LineErrors << 9600 << 0 << QString() << WaitStatus::Unreadable
            << QStringList{"could not be read", "framing error", "probably not the adapter's",
                           "Find Adapter"};
        QTest::newRow("a transfer that outlives the close")
            << Script::HeldPastClose << 0 << 0 << QString() << WaitStatus::Found << QStringList();
    }

    void eachPathEndsAsOnLinux() {
        QFETCH(Script, script);
        QFETCH(int, adapterSpeed);
        QFETCH(int, answerDelayMs);
        QFETCH(QString, fault);
        QFETCH(WaitStatus, status);
        QFETCH(QStringList, words);

        TestDriver driver;
        driver.script = script;
        DriverInUse inUse(driver);
        DriverHost host;
        sim::SimConfig config;
        config.adapterSpeed = adapterSpeed;
        config.answerDelayMs = answerDelayMs;
        if (!fault.isEmpty()) {
            config.fault = sim::Fault::DisconnectMidAnswer;
            config.faultCommand = QStringLiteral("2103");
        }
        DriverAdapter adapter(config, host.clock(), driver);
        std::unique_ptr<AdapterLine> line(host.createLine(nullptr));
        line->setLog(&host.adapterLog());
        line->DevicePath = QStringLiteral("COM7");
        line->InputLen = 1;
        line->Settings = QStringLiteral("38400,n,8,1");
        QVERIFY(host.finish(line->open(host.clock(), host.limits.openMs)));
        QSignalSpy lostSpy(line.get(), &AdapterLine::portLost);
        Exchange exchange(*line, host);

        // A line before the request, for writes to queue behind.
        if (script == Script::SlowWrites) QVERIFY(line->Output("at\r\n"));
        const int readsBefore = driver.readCalls;
        QElapsedTimer took;
        took.start();
        WaitResult r =
            host.finish(exchange.Ask(QStringLiteral("2103"), QStringLiteral("61 03 "), {}));
        if (r.ok()) r = host.finish(exchange.WaitFor(QStringLiteral("\r"), {}));

        QCOMPARE(r.status, status);
        const Message m = words::ReadFailed(r, Audience::Window);
        for (const QString& w : words)
            QVERIFY2((m.text + m.detail).contains(w), qPrintable(m.text + " / " + m.detail));
        if (r.ok()) {
            // Every byte out in order, the answer read whole.
            QVERIFY2(driver.written.endsWith("2103\r\n"), driver.written.constData());
            QCOMPARE(r.buffer, QStringLiteral("4C 12 \r"));
        }
        if (script == Script::EmptyReads) {
            // 400 ms of an adapter thinking: a few dozen reads at most, never
            // a loop (one without a pause makes hundreds).
            QVERIFY2(driver.readCalls - readsBefore < 40,
                     qPrintable(QString::number(driver.readCalls)));
        }
        if (script == Script::WriteRefused) QVERIFY(took.elapsed() < 100);
        if (script == Script::LineErrors) {
            // Heard in the log with its count.
            QVERIFY(host.adapterLog().lines().join('\n').contains("the port reported"));
        }
        if (status == WaitStatus::PortClosed) {
            // Lost once, with the reason the words give, and then nothing goes out.
            QVERIFY(!line->PortOpen());
            QCOMPARE(lostSpy.count(), 1);
            QVERIFY(!r.adapterText.isEmpty() && m.detail.contains(r.adapterText));
            const QByteArray writtenThen = driver.written;
            const int writesThen = driver.writeCalls;
            QVERIFY(!line->Output("atz\r\n"));
            host.wait(50);
            QCOMPARE(driver.written, writtenThen);
            QCOMPARE(driver.writeCalls, writesThen);
        } else {
            QCOMPARE(lostSpy.count(), 0);
            // Closing does not wait for the driver.
            QElapsedTimer closing;
            closing.start();
            line->close();
            QVERIFY2(closing.elapsed() < 50, qPrintable(QString::number(closing.elapsed())));
        }
        // The handle and the buffers go once the driver has let go, never before.
        QVERIFY(host.waitUntil([&] { return !driver.open; }, 2000));
        QVERIFY(!driver.closedWithTransfers);
        QCOMPARE(driver.heldEnded, script == Script::HeldPastClose);
    }

    // The write of a change that Windows refuses at once: the change ends
    // there, told once with the system's reason, and the history says the
    // line was lost after its "before" line.
    void refusedWriteOfAChangeIsToldOnce() {
        TestDriver driver;
        DriverInUse inUse(driver);
        DriverHost host;
        DriverAdapter adapter({}, host.clock(), driver);
        driver.request = "3b03";
        Defines d;
        d.IniFilePath = QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI"));
        d.ComPort = 7;
        d.ComSpeed = QStringLiteral("38400");
        Operations ops(d, host);
        QSignalSpy lostBoxes(&ops, &Operations::portLost);
        const auto connected = host.finish(ops.connectAdapter());
        QVERIFY(connected && connected->ok());
        // From here on, Windows refuses the write of the record.
        driver.script = Script::WriteRefused;
        const auto changed = host.finish(ops.changePoliceMode({}));
        QVERIFY(changed && !changed->ok());
        QCOMPARE(changed->messages.size(), 1);
        QCOMPARE(lostBoxes.count(), 0);
        const Message& m = changed->messages.first();
        QVERIFY2(m.text.contains("may or may not have been applied") &&
                     m.detail.contains(systemText(kDeadDevice)),
                 qPrintable(m.text + " / " + m.detail));
        QCOMPARE(adapter.requests().filter(QRegularExpression("^3b")).size(), 0);
        const QByteArray history = test::readFile(ops.session().historyPath());
        QVERIFY2(history.contains(",before,4C12,3b034812,") &&
                     history.contains(",after,,3b034812,port lost"),
                 history.constData());
        QCOMPARE(ops.state(), Operations::State::Idle);
    }
};

TAVRIN_TEST(WindowsLineTest)
#include "WindowsLineTest.moc"
