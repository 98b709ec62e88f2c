// Runs every test class registered in this executable, one after another,
// and fails if any of them fails.
#include <QApplication>
#include <QTest>
#include <cstdio>
#include <cstring>

#include "TestSupport.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QSerialPort>

namespace {

// "--hold-port DEVICE": act as another program that holds a serial port, so
// tests can check what this program sees of a port that is in use. Through
// Qt (a lock file and exclusive mode), or with "--hold-port-locked" as
// pyserial's exclusive mode does: a plain open and a lock on the device.
int holdPort(const char* device, bool deviceLockOnly) {
    QSerialPort port;
    int fd = -1;
    bool held = false;
    if (deviceLockOnly) {
        fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    } else {
        port.setPortName(QString::fromLocal8Bit(device));
        held = port.open(QIODevice::ReadWrite);
    }
    if (!held) {
        std::printf("failed %s\n", qPrintable(port.errorString()));
        std::fflush(stdout);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    // Keep the port until the test closes our standard input.
    char buffer[64];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
    }
    return 0;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifndef Q_OS_WIN
    if (argc == 3 && (std::strcmp(argv[1], "--hold-port") == 0 ||
                      std::strcmp(argv[1], "--hold-port-locked") == 0)) {
        QCoreApplication app(argc, argv);
        return holdPort(argv[2], std::strcmp(argv[1], "--hold-port-locked") == 0);
    }
#endif
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // "--suite Class" runs that class alone (CTest has an entry for each);
    // it is taken out before Qt Test sees the arguments.
    QString only;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--suite") != 0) continue;
        only = QString::fromLocal8Bit(argv[i + 1]);
        for (int j = i; j + 2 <= argc; ++j) argv[j] = argv[j + 2];
        argc -= 2;
        break;
    }
    // Test functions named on the command line select the suites that have
    // them; options alone run every suite.
    QStringList functions;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!arg.startsWith(QLatin1Char('-'))) functions << arg.section(QLatin1Char(':'), 0, 0);
    }
    int failures = 0;
    int ran = 0;
    for (const auto& entry : tavrin::test::registry()) {
        if (!only.isEmpty() && only != QLatin1String(entry.name)) continue;
        std::unique_ptr<QObject> suite(entry.make());
        const QMetaObject* meta = suite->metaObject();
        bool wanted = functions.isEmpty();
        for (const QString& f : functions) {
            if (meta->indexOfMethod(QMetaObject::normalizedSignature(qPrintable(f + "()"))) >= 0)
                wanted = true;
        }
        if (!wanted) continue;
        ++ran;
        failures += QTest::qExec(suite.get(), argc, argv) != 0 ? 1 : 0;
    }
    if (!only.isEmpty() && ran == 0) {
        std::fprintf(stderr, "no test class %s here\n", qPrintable(only));
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
