#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Host.h"

namespace tavrin::test {

struct SuiteEntry {
    const char* name;
    std::function<QObject*()> make;
};

std::vector<SuiteEntry>& registry();

struct Registrar {
    Registrar(const char* name, std::function<QObject*()> make) {
        registry().push_back({name, std::move(make)});
    }
};

// A host for tests: the program folder is a temporary folder, the fixed pauses
// are recorded instead of slept, and message boxes are recorded instead of
// shown, so nothing waits for a person and nothing touches the machine's files.
class TestHost : public Host {
public:
    explicit TestHost(QString folder = {});
    QString programFolder() const override { return folder_; }
    QString userConfigFolder() const override { return configFolder_; }
    void sleepMs(int ms) override;
    void showMessage(QWidget* parent, const Message& message) override;
    // The answer of a save dialog: the path set here (empty: cancelled).
    QString askSaveFileName(QWidget*, const QString&, const QString&) override {
        return saveFileName;
    }
    QString saveFileName;

    void setProgramFolder(const QString& folder) { folder_ = folder; }
    void setUserConfigFolder(const QString& folder) { configFolder_ = folder; }

    std::vector<int> pauses;
    std::vector<Message> messages;
    // Runs while a message box would be on screen (the box is modal).
    std::function<void(const Message&)> onMessage;

private:
    std::unique_ptr<QTemporaryDir> ownDir_;
    QString folder_;
    QString configFolder_;
};

// A second program (this test binary run with --hold-port) that opens a
// serial device through Qt and keeps it until the object goes away.
struct OtherProgram {
    explicit OtherProgram(const QString& device);
    ~OtherProgram();
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    QProcess process;
    bool held = false;
};

// Makes <folder>/ports/com<n> a link to a path that does not exist, so the
// COM number stands for a missing device and never for one of this machine.
bool linkToNowhere(const QString& folder, int n);

QByteArray readFile(const QString& path);
// CPU time (user + system) this process has used, in milliseconds.
double processCpuMs();
bool writeFile(const QString& path, const QByteArray& bytes);

}  // namespace tavrin::test

#define TAVRIN_TEST(Class) \
    static ::tavrin::test::Registrar tavrinRegistrar_##Class(#Class, [] { return new Class; });
