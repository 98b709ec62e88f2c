#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace tavrin::test {

std::vector<SuiteEntry>& registry() {
    static std::vector<SuiteEntry> entries;
    return entries;
}

TestHost::TestHost(QString folder) {
    if (folder.isEmpty()) {
        ownDir_ = std::make_unique<QTemporaryDir>();
        folder = ownDir_->path();
    }
    folder_ = folder;
    configFolder_ = QDir(folder).filePath("user-config/Tavrin");
    // Short limits keep the suite fast; tests that need the real ones set them.
    watchdogMs = 6000;
    answerTimeLimitMs = 3000;
}

void TestHost::sleepMs(int ms) {
    pauses.push_back(ms);
}

void TestHost::showMessage(QWidget*, const Message& message) {
    messages.push_back(message);
    if (onMessage) onMessage(message);
}

OtherProgram::OtherProgram(const QString& device) {
    process.start(QCoreApplication::applicationFilePath(), {"--hold-port", device});
    held = process.waitForStarted(5000) && process.waitForReadyRead(5000) &&
           process.readAllStandardOutput().startsWith("held");
}

OtherProgram::~OtherProgram() {
    process.closeWriteChannel();
    if (!process.waitForFinished(5000)) process.kill();
}

bool linkToNowhere(const QString& folder, int n) {
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("ports"))) return false;
    return QFile::link(dir.filePath(QStringLiteral("absent/com%1").arg(n)),
                       dir.filePath(QStringLiteral("ports/com%1").arg(n)));
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

}  // namespace tavrin::test

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace tavrin::test {

double processCpuMs() {
#ifdef Q_OS_UNIX
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
#else
    return 0;
#endif
}

}  // namespace tavrin::test
