#include "SimAdapter.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavrin::sim {

namespace {

constexpr int kReadRetryMs = 50;  // after EIO, instead of spinning on a dead master

// A pseudo-terminal carries bytes in real time.
Clock& realClock() {
    static RealClock clock;
    return clock;
}

QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

}  // namespace

SimAdapter::SimAdapter(SimConfig config, QObject* parent)
    : SimCore(std::move(config), realClock(), parent) {
    readRetry_.setSingleShot(true);
    readRetry_.setInterval(kReadRetryMs);
    connect(&readRetry_, &QTimer::timeout, this, &SimAdapter::retryRead);
}

SimAdapter::~SimAdapter() {
    stop();
    removeLink();
}

bool SimAdapter::start(QString* error) {
    if (isRunning()) return true;
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        closeLine();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail(errnoText("posix_openpt"));
    if (grantpt(master_) != 0) return fail(errnoText("grantpt"));
    if (unlockpt(master_) != 0) return fail(errnoText("unlockpt"));
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return fail(errnoText("ptsname_r"));
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Raw line: no echo or CR/LF translation by the terminal driver; the
    // echo the program sees is the adapter's own.
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return fail(errnoText("tcgetattr"));
    cfmakeraw(&tio);
    if (tcsetattr(master_, TCSANOW, &tio) != 0) return fail(errnoText("tcsetattr"));

    // Holding the slave open keeps the master from reporting EIO and hang-ups
    // while no program has the port open.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return fail(errnoText("open slave"));

    slavePath_ = QString::fromLocal8Bit(name);
    powerUp();
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SimAdapter::onReadable);
    return true;
}

void SimAdapter::closeLine() {
    readRetry_.stop();
    delete notifier_;
    notifier_ = nullptr;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = -1;
    slave_ = -1;
}

void SimAdapter::discardUnread() {
    SimCore::discardUnread();
    if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
}

int SimAdapter::lineSpeed() const {
    if (master_ < 0) return 0;
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return 0;
    static const std::pair<speed_t, int> kSpeeds[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    const speed_t speed = cfgetospeed(&tio);
    for (const auto& [code, bits] : kSpeeds) {
        if (code == speed) return bits;
    }
    return 0;
}

void SimAdapter::onReadable() {
    char buffer[512];
    while (master_ >= 0) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            receive(QByteArray(buffer, n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // EIO (or an end of file): the slave side is in a hang-up. Polling
        // again at once would spin, so look again a little later.
        if (notifier_) notifier_->setEnabled(false);
        readRetry_.start();
        return;
    }
}

void SimAdapter::retryRead() {
    if (notifier_) notifier_->setEnabled(true);
}

qint64 SimAdapter::transmit(const QByteArray& bytes) {
    for (;;) {
        const ssize_t written = ::write(master_, bytes.constData(), size_t(bytes.size()));
        if (written >= 0) return written;
        if (errno != EINTR) return -1;
    }
}

}  // namespace tavrin::sim
