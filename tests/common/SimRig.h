#pragma once

// Test rigs that put the simulated adapter on the far side of a real
// pseudo-terminal.

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <memory>

#include "SimAdapter.h"
#include "TestSupport.h"
#include "app/Defines.h"
#include "app/Form1.h"
#include "platform/MSComm.h"
#include "serial/Exchange.h"

namespace tavrin::test {

// Runs the event loop for ms milliseconds (the simulator lives in it).
inline void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A serial control and an exchange talking to the simulator.
struct PortRig {
    explicit PortRig(sim::SimConfig config = {}) : sim(config), exchange(port, host) {}
    bool open(const QString& speed = QStringLiteral("38400")) {
        if (!sim.start()) return false;
        port.DevicePath = sim.slavePath();
        port.InputLen = 1;
        port.Settings = speed + QStringLiteral(",n,8,1");
        port.DTREnable = true;
        port.RTSEnable = true;
        return port.setPortOpen(true);
    }
    // Sends a command and collects up to the mark.
    WaitResult ask(const QString& command, const QString& mark) {
        return exchange.Ask(command, mark);
    }

    TestHost host;
    sim::SimAdapter sim;
    MSComm port;
    Exchange exchange;
};

// The whole program started as a user would, with the simulator linked as
// its configured COM port in the program folder.
struct AppRig {
    explicit AppRig(sim::SimConfig config = {}, int com = 3, const QString& speed = "38400")
        : sim(config) {
        started = sim.start() && sim.linkAs(host.programFolder(), com);
        writeFile(QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI")),
                  QStringLiteral("QUILLET v1.00 INI File\r\nComPort=COM%1\r\nComSpeed=%2\r\n")
                      .arg(com)
                      .arg(speed)
                      .toLatin1());
        form.reset(Main(d, host));
    }
    // Clicks Connect and returns once the click handler is done.
    void connect() { form->Connect_Command_Click(); }
    QStringList messageTexts() const {
        QStringList texts;
        for (const auto& m : host.messages) texts << m.text;
        return texts;
    }
    // Requests the cluster saw for writing the police-mode record.
    QStringList writes() const {
        QStringList w;
        for (const auto& r : sim.requests())
            if (r.startsWith(QLatin1String("3b"), Qt::CaseInsensitive)) w << r;
        return w;
    }

    TestHost host;
    Defines d;
    sim::SimAdapter sim;
    bool started = false;
    std::unique_ptr<Form1> form;
};

}  // namespace tavrin::test
