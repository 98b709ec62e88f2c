// tavrin-screenshots OUTDIR: pictures of the real windows for the user guide.
// The simulated adapter runs in this process, on a line in memory and on
// virtual time, linked as COM1 in a temporary program folder, so the main
// window is shown connected to a (simulated) car at once, and nothing outside
// that folder is read or written. For Setup after Find Adapter a second one,
// answering only at 115200 bit/s, is linked as COM4.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>
#include <memory>

#include "MemoryLine.h"
#include "VirtualClock.h"
#include "app/Form1.h"
#include "config/Setup_Form.h"
#include "core/Defines.h"
#include "runtime/Host.h"

namespace {

// Time is virtual, the lines lead to the simulators in memory, and message
// boxes are printed instead of shown, since nobody is there to close them.
class ShotHost : public tavrin::Host {
public:
    explicit ShotHost(QString folder) : folder_(std::move(folder)) { setDevices(&ports); }
    QString programFolder() const override { return folder_; }
    QString userConfigFolder() const override {
        return QDir(folder_).filePath(QStringLiteral("config"));
    }
    tavrin::Clock& clock() override { return clock_; }
    void showMessage(QWidget*, const tavrin::Message& message) override {
        std::fprintf(stderr, "message: %s %s\n", qPrintable(message.text),
                     qPrintable(message.detail));
        ++messages;
    }
    int messages = 0;
    // Lets virtual time pass until the window's operation has ended.
    void finish(const tavrin::Form1& form) {
        clock_.runUntil([&form] { return !form.busy(); }, 600'000);
    }
    // Lets virtual time pass until Setup's probes have all answered.
    void finish(const tavrin::Setup_Form& setup) {
        clock_.runUntil([&setup] { return setup.portsBeingChecked() == 0; }, 600'000);
    }

private:
    tavrin::VirtualClock clock_;
    QString folder_;

public:
    tavrin::sim::MemoryPorts ports{clock_};
};

void settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

bool save(QWidget* widget, const QString& path) {
    if (!widget) {
        std::fprintf(stderr, "no window to picture for %s\n", qPrintable(path));
        return false;
    }
    widget->show();
    widget->raise();
    settle();
    if (!widget->grab().save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrin"));
    QApplication::setDesktopFileName(QStringLiteral("tavrin"));
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: tavrin-screenshots OUTDIR\n");
        return 2;
    }
    const QDir out(args.at(1));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    QTemporaryDir folder;
    ShotHost host(folder.path());
    tavrin::sim::SimConfig config;
    config.identification = QStringLiteral("ELM327 (sim)");
    tavrin::sim::MemoryAdapter* sim = host.ports.add(config);
    QString error;
    if (!folder.isValid() || !sim || !sim->linkAs(folder.path(), 1, &error)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(error));
        return 1;
    }
    // The other numbers stand for missing devices, so Setup lists only the
    // simulators and Find Adapter never writes to a device of this machine.
    for (int n = 2; n <= 16; ++n) {
        const QDir dir(folder.path());
        if (!QFile::link(dir.filePath(QStringLiteral("absent/com%1").arg(n)),
                         dir.filePath(QStringLiteral("ports/com%1").arg(n)))) {
            std::fprintf(stderr, "cannot link COM%d\n", n);
            return 1;
        }
    }
    QFile ini(QDir(folder.path()).filePath(QStringLiteral("QUILLET.INI")));
    if (!ini.open(QIODevice::WriteOnly) ||
        ini.write("QUILLET v1.00 INI File\r\nComPort=COM1\r\nComSpeed=38400\r\n") < 0) {
        std::fprintf(stderr, "cannot write the settings file\n");
        return 1;
    }
    ini.close();

    tavrin::Defines defines;
    std::unique_ptr<tavrin::Form1> form(tavrin::Main(defines, host));
    form->Connect_Command_Click();
    host.finish(*form);
    settle();
    if (host.messages > 0 || defines.ConnectState != 1) {
        std::fprintf(stderr, "the connection to the simulator failed\n");
        return 1;
    }

    bool ok = save(form.get(), out.filePath(QStringLiteral("main-window.png")));
    // Setup closes the port, so the connected window is pictured first.
    form->mnu_About_Click();
    ok = save(form->aboutBox(), out.filePath(QStringLiteral("about.png"))) && ok;
    if (form->aboutBox()) form->aboutBox()->close();
    form->mnu_Setup_Click();
    if (auto* setup = qobject_cast<tavrin::Setup_Form*>(form->setupDialog())) host.finish(*setup);
    ok = save(form->setupDialog(), out.filePath(QStringLiteral("setup.png"))) && ok;
    if (form->setupDialog()) form->setupDialog()->close();
    settle();

    // Find Adapter: COM1 falls silent, and the adapter on COM4 answers only
    // at 115200, so the search has to go past two speeds to find it.
    tavrin::sim::SimConfig fast = config;
    fast.adapterSpeed = 115200;
    tavrin::sim::MemoryAdapter* other = host.ports.add(fast);
    if (!other || !other->linkAs(folder.path(), 4, &error)) {
        std::fprintf(stderr, "cannot start the second simulator: %s\n", qPrintable(error));
        return 1;
    }
    sim->config().fault = tavrin::sim::Fault::Silence;
    form->mnu_Setup_Click();
    auto* setup = qobject_cast<tavrin::Setup_Form*>(form->setupDialog());
    if (setup) {
        setup->show();
        host.finish(*setup);
        setup->FindAdapter_Click();
        host.finish(*form);
    }
    ok = save(setup, out.filePath(QStringLiteral("setup-find.png"))) && ok;
    return ok ? 0 : 1;
}
