#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "platform/Console.h"

namespace tavrin {

namespace {

// A terminal, a file and a pipe all take the UTF-8 as it is.
class TextOutput : public QIODevice {
public:
    explicit TextOutput(int fd) : fd_(fd) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override {
        qint64 done = 0;
        while (done < length) {
            const ssize_t n = ::write(fd_, data + done, std::size_t(length - done));
            if (n < 0 && errno == EINTR) continue;
            // A closed pipe or a full disk: what is left goes nowhere, as
            // with a stream that leads nowhere.
            if (n <= 0) break;
            done += n;
        }
        return length;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<QIODevice> OpenTextOutput(int fd) {
    return std::make_unique<TextOutput>(fd);
}

bool TextOutputConnected(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

}  // namespace tavrin
