#include <io.h>
#include <QStringDecoder>
#include <algorithm>

#include "platform/Console.h"

#include "platform/Win32.h"

namespace tavrin {

namespace {

HANDLE handleOf(int fd) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    // -2: the descriptor has no stream behind it (a window program's).
    return handle == INVALID_HANDLE_VALUE || handle == reinterpret_cast<HANDLE>(-2) ? nullptr
                                                                                    : handle;
}

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && GetConsoleMode(handle, &mode);
}

// The console shows characters: the UTF-8 is decoded (a character split
// between two writes waits for its second half) and goes out as UTF-16,
// which no code page stands between. A file or a pipe gets the bytes, with
// CR LF line ends.
class TextOutput : public QIODevice {
public:
    explicit TextOutput(int fd) : handle_(handleOf(fd)), console_(isConsole(handle_)) {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override {
        if (!handle_) return length;
        if (console_) {
            writeConsole(decoder_.decode(QByteArrayView(data, length)));
        } else {
            writeFile(data, length);
        }
        return length;
    }

private:
    void writeConsole(const QString& text) {
        // Older consoles refuse one call of more than some tens of
        // kilobytes; a pair of surrogates stays in one call.
        constexpr qsizetype kChunk = 4096;
        for (qsizetype at = 0; at < text.size();) {
            qsizetype n = std::min(kChunk, text.size() - at);
            if (at + n < text.size() && text.at(at + n - 1).isHighSurrogate()) --n;
            DWORD written = 0;
            if (!WriteConsoleW(handle_, text.utf16() + at, DWORD(n), &written, nullptr) ||
                written == 0)
                return;
            at += qsizetype(written);
        }
    }
    void writeFile(const char* data, qint64 length) {
        QByteArray bytes;
        bytes.reserve(length + length / 16);
        for (qint64 i = 0; i < length; ++i) {
            if (data[i] == '\n' && last_ != '\r') bytes += '\r';
            bytes += data[i];
            last_ = data[i];
        }
        for (qsizetype at = 0; at < bytes.size();) {
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.constData() + at, DWORD(bytes.size() - at), &written,
                           nullptr) ||
                written == 0)
                return;  // a closed pipe or a full disk: the rest goes nowhere
            at += qsizetype(written);
        }
    }

    HANDLE handle_;
    bool console_;
    QStringDecoder decoder_{QStringDecoder::Utf8};
    char last_ = 0;
};

}  // namespace

std::unique_ptr<QIODevice> OpenTextOutput(int fd) {
    return std::make_unique<TextOutput>(fd);
}

bool TextOutputConnected(int fd) {
    const HANDLE handle = handleOf(fd);
    return handle && (isConsole(handle) || GetFileType(handle) != FILE_TYPE_UNKNOWN);
}

}  // namespace tavrin
