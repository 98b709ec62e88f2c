#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

#include "platform/Ports.h"
#include "platform/SerialDevice.h"
#include "runtime/Wait.h"

class QObject;

namespace tavrin {

class AdapterLine;
class Clock;

// Where the serial lines lead: the system's devices, or (for the tests, the
// demo and the fuzzer) lines in memory to the simulated adapter.
class Devices {
public:
    virtual ~Devices() = default;
    // A new, closed line; parent owns it.
    virtual AdapterLine* createLine(QObject* parent) = 0;
    // The serial ports the system lists right now.
    virtual QList<PortInfo> knownPorts() const = 0;
    // Whether the system lists a device at path, found without opening it.
    virtual bool listed(const QString& path) const = 0;
    // Whether the device at path could be opened right now, answered within
    // limitMs on clock (NoAnswer past it); a stop gives it up.
    virtual QCoro::Task<ProbeResult> probe(QString path, Clock& clock, int limitMs, Stop stop) = 0;
};

}  // namespace tavrin
