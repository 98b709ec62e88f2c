#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>

namespace tavrin::test {

std::vector<SuiteEntry>& registry() {
    static std::vector<SuiteEntry> entries;
    return entries;
}

TestHost::TestHost(Lines lines, QString folder) : lines_(lines) {
    if (folder.isEmpty()) {
        ownDir_ = std::make_unique<QTemporaryDir>();
        folder = ownDir_->path();
    }
    folder_ = folder;
    configFolder_ = QDir(folder).filePath("user-config/Tavrin");
    if (lines_ == Lines::Memory) setDevices(&ports_);
}

Clock& TestHost::clock() {
    return lines_ == Lines::Memory ? static_cast<Clock&>(virtual_) : Host::clock();
}

sim::SimCore& TestHost::addSim(int com, const sim::SimConfig& config) {
    sim::SimCore* sim = nullptr;
    if (lines_ == Lines::Memory) {
        sim = ports_.add(config);
    } else {
#ifndef Q_OS_WIN
        auto pty = std::make_unique<sim::SimAdapter>(config);
        if (pty->start()) sim = ptys_.emplace_back(std::move(pty)).get();
#endif
    }
    if (!sim || !sim->linkAs(folder_, com))
        qFatal("cannot start a simulated adapter as COM%d", com);
    return *sim;
}

sim::SimTcp& TestHost::addWifiSim(const sim::SimConfig& config) {
    auto sim = std::make_unique<sim::SimTcp>(config, clock());
    if (!sim->start()) qFatal("cannot start a simulated Wi-Fi adapter");
    return *wifi_.emplace_back(std::move(sim));
}

void TestHost::wait(int ms) {
    if (lines_ == Lines::Memory) {
        virtual_.advance(ms);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool TestHost::waitUntil(const std::function<bool()>& done, int limitMs) {
    if (lines_ == Lines::Memory) return virtual_.runUntil(done, limitMs);
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

void TestHost::showMessage(QWidget* parent, const Message& message) {
    messages.push_back(message);
    if (onMessage) onMessage(message);
    if (realBoxes) Host::showMessage(parent, message);
}

OtherProgram::OtherProgram(const QString& device, bool deviceLockOnly) {
    process.start(QCoreApplication::applicationFilePath(),
                  {deviceLockOnly ? "--hold-port-locked" : "--hold-port", device});
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

bool comPortsMappable() {
    return qEnvironmentVariableIsSet("TAVRIN_WINE_PORTS");
}

bool mapComPort(int n, bool present) {
    const QStringList address = qEnvironmentVariable("TAVRIN_WINE_PORTS").split(QLatin1Char(':'));
    if (address.size() != 2) return false;
    // The helper runs on this machine: a new connection for each request
    // keeps it simple and costs nothing.
    QTcpSocket helper;
    helper.connectToHost(address[0], quint16(address[1].toUInt()));
    if (!helper.waitForConnected(5000)) return false;
    helper.write(
        QStringLiteral("%1 %2\n").arg(QLatin1String(present ? "map" : "unmap")).arg(n).toLatin1());
    QByteArray reply;
    while (!reply.contains('\n') && helper.waitForReadyRead(5000)) reply += helper.readAll();
    if (!reply.startsWith("ok")) qWarning("the port helper: %s", reply.constData());
    return reply.startsWith("ok");
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
