#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QtGlobal>

#include "core/Message.h"
#include "core/TimeLimits.h"
#include "platform/Ports.h"
#include "runtime/AdapterLine.h"
#include "runtime/Wait.h"

namespace tavrin {

class Host;
struct Defines;

// Folder that holds the settings file in use; the ports/comN links live there.
QString SettingsFolder(const Defines& d, const Host& host);

// Whether own, this program's line, has the device at path open.
bool HeldByThisProgram(const QString& path, const AdapterLine* own);

// Whether the device at path (as ComDevicePath gives it) could be opened
// right now, by the kind of line the host gives; never keeps the port. Not
// found, without an open, when the system does not list it; held by this
// program when own has it open; otherwise the device is asked, off the
// window's thread, and NoAnswer when it has not answered within the host's
// open limit (a Bluetooth adapter that is off or out of range).
QCoro::Task<ProbeResult> ProbeDevice(QString path, const AdapterLine* own, Host& host,
                                     Stop stop = {});
// The same for port n.
QCoro::Task<ProbeResult> ProbeComPort(qint16 n, QString settingsFolder, const AdapterLine* own,
                                      Host& host, Stop stop = {});
// User-facing detail for a failed probe (empty when there is nothing to add):
// for port n, or for a port named so with its device's name (empty: none).
// limitMs: the open limit, for NoAnswer's words.
QString ProbeDetail(ProbeResult result, qint16 n, const QString& settingsFolder,
                    Audience audience = Audience::Window, int limitMs = TimeLimits{}.openMs);
QString ProbeDetail(ProbeResult result, const QString& port, const QString& device,
                    Audience audience, int limitMs = TimeLimits{}.openMs);
// The words for an open that was still waiting when a Cancel came.
QString OpenCancelledDetail(const QString& port);

// What a Windows device instance ID says of a Bluetooth serial port. Windows
// makes two for each paired adapter: the outgoing one dials the adapter, the
// incoming one waits for the adapter to call, which an OBD adapter never does.
enum class BluetoothRole { None, Outgoing, Incoming };
BluetoothRole BluetoothRoleOf(const QString& instanceId);
// Its words in a port's description ("Bluetooth, outgoing: use this one");
// empty for None.
QString BluetoothRoleText(BluetoothRole role);

// The COM numbers of the ports the system lists, in ascending order: COM1 to
// COM16 where the system lists the device they stand for, the COM names it
// lists above those, and any a ports/comN link names. Bluetooth incoming
// ports are left out, as they never answer, unless incoming is set.
QList<qint16> ListedComPorts(const Host& host, const QString& settingsFolder,
                             bool incoming = false);

// How an open of a port ended; the probe's words serve the refusals.
enum class OpenResult {
    Opened,
    NotFound,
    InUse,
    NoPermission,
    NoAnswer,      // not open within the host's open limit
    Cancelled,     // a stop came while it was opening
    InvalidSpeed,  // the speed is not one the line can take
    Failed,        // anything else: the line's lastErrorText() says what
};
// The probe's finding that a refused open stands for.
ProbeResult ProbeResultOf(OpenResult result);
// Applies the line settings to port in the usual order and opens the device
// at path, at speed: not found, without an open, when the system does not
// list it. The open runs off the window's thread, within the host's open
// limit. Pending input is discarded after opening.
QCoro::Task<OpenResult> OpenDevice(QString path, qint16 comPort, QString speed, AdapterLine& port,
                                   Host& host, Stop stop = {});
// The same for port d.ComPort at d.ComSpeed.
QCoro::Task<OpenResult> OpenComPort(const Defines& d, QString settingsFolder, AdapterLine& port,
                                    Host& host, Stop stop = {});

// Port n in words: its name, the device a link leads to ("→"), what the
// system knows of it ("—" maker and description) and, for a Bluetooth port,
// which of its pair it is, for a tooltip or a list.
QString PortDescription(qint16 n, const QString& settingsFolder, const QList<PortInfo>& known);

}  // namespace tavrin
