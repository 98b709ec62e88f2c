// Standard output and error as the program writes them: the same UTF-8
// whatever pieces it comes in, to a file or a pipe; and on Windows, to a
// console whatever its code page, characters.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "TestSupport.h"
#include "platform/Console.h"

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>

#include "platform/Win32.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace tavrin;

namespace {

// "ON → OFF", the history table's change, as UTF-8.
const QByteArray kArrow = "ON \xE2\x86\x92 OFF";

int openForWriting(const QString& path) {
#ifdef Q_OS_WIN
    return ::_wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                    _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
#else
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
#endif
}

void closeDescriptor(int fd) {
#ifdef Q_OS_WIN
    ::_close(fd);
#else
    ::close(fd);
#endif
}

#ifdef Q_OS_WIN
// What the console shows from position at on, as far as length characters.
QString consoleText(HANDLE console, COORD at, int length) {
    std::vector<wchar_t> cells(static_cast<std::size_t>(length));
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(console, cells.data(), DWORD(length), at, &read)) return {};
    return QString::fromWCharArray(cells.data(), int(read));
}
#endif

}  // namespace

class ConsoleTest : public QObject {
    Q_OBJECT

private slots:
    // Text split anywhere, in the middle of a character too, comes out whole;
    // Windows' files get CR LF line ends, and a CR LF given is not doubled.
    void fileGetsUtf8_data() {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("linux");
        QTest::addColumn<QByteArray>("windows");
        QTest::newRow("one piece") << QList<QByteArray>{kArrow + "\n"} << kArrow + "\n"
                                   << kArrow + "\r\n";
        QTest::newRow("a character split")
            << QList<QByteArray>{"ON \xE2\x86", "\x92 OFF\n"} << kArrow + "\n"
            << kArrow + "\r\n";
        QTest::newRow("byte by byte")
            << QList<QByteArray>{"\xE2", "\x80", "\x94", "\n", "\xE2", "\x80", "\xA6"}
            << QByteArray("\xE2\x80\x94\n\xE2\x80\xA6")
            << QByteArray("\xE2\x80\x94\r\n\xE2\x80\xA6");
        QTest::newRow("CR LF given") << QList<QByteArray>{"a\r", "\nb\n"} << QByteArray("a\r\nb\n")
                                     << QByteArray("a\r\nb\r\n");
    }
    void fileGetsUtf8() {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, linux);
        QFETCH(QByteArray, windows);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        const int fd = openForWriting(path);
        QVERIFY(fd >= 0);
        QVERIFY(TextOutputConnected(fd));
        {
            const std::unique_ptr<QIODevice> device = OpenTextOutput(fd);
            for (const QByteArray& piece : pieces) QCOMPARE(device->write(piece), piece.size());
        }
        closeDescriptor(fd);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
#ifdef Q_OS_WIN
        QCOMPARE(file.readAll(), windows);
#else
        QCOMPARE(file.readAll(), linux);
#endif
    }

    // A descriptor that leads nowhere takes everything and keeps nothing.
    void nowhere() {
        const int fd = 9999;
        QVERIFY(!TextOutputConnected(fd));
        QCOMPARE(OpenTextOutput(fd)->write(kArrow), kArrow.size());
    }

#ifdef Q_OS_WIN
    // On a code page 437 console the arrow, the dash and the dots read as
    // they are; the bytes written as they were (WriteFile) do not, which
    // shows that the check can fail.
    void consoleShowsCharacters_data() {
        QTest::addColumn<bool>("asBytes");
        QTest::addColumn<bool>("readsRight");
        QTest::newRow("through the device") << false << true;
        QTest::newRow("the bytes themselves") << true << false;
    }
    void consoleShowsCharacters() {
        QFETCH(bool, asBytes);
        QFETCH(bool, readsRight);
        HANDLE console =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (console == INVALID_HANDLE_VALUE && AllocConsole())
            console =
                CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (console == INVALID_HANDLE_VALUE) QSKIP("no console to be had");
        const UINT codePage = GetConsoleOutputCP();
        QVERIFY(SetConsoleOutputCP(437));
        CONSOLE_SCREEN_BUFFER_INFO info{};
        QVERIFY(GetConsoleScreenBufferInfo(console, &info));
        // A line of its own, at the start.
        COORD at{0, SHORT(info.dwCursorPosition.Y + 1)};
        DWORD written = 0;
        WriteConsoleW(console, L"\n", 1, &written, nullptr);
        GetConsoleScreenBufferInfo(console, &info);
        at = info.dwCursorPosition;
        const QString expected = QStringLiteral("ON \u2192 OFF \u2014 \u2026 \u2022");
        const QByteArray utf8 = expected.toUtf8();
        if (asBytes) {
            WriteFile(console, utf8.constData(), DWORD(utf8.size()), &written, nullptr);
        } else {
            const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(console), _O_WRONLY);
            QVERIFY(fd >= 0);
            QVERIFY(TextOutputConnected(fd));
            // Split inside the arrow, as a stream's buffer may split it.
            const std::unique_ptr<QIODevice> device = OpenTextOutput(fd);
            device->write(utf8.left(4));
            device->write(utf8.mid(4));
        }
        const QString shown = consoleText(console, at, int(expected.size()));
        SetConsoleOutputCP(codePage);
        QCOMPARE(shown == expected, readsRight);
    }
#endif
};

TAVRIN_TEST(ConsoleTest)
#include "ConsoleTest.moc"
