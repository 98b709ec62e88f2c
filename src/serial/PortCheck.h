#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include "platform/Ports.h"
#include "runtime/AdapterLine.h"
#include "runtime/Host.h"

namespace tavrin {

class Host;
struct Defines;

// Folder that holds the settings file in use; the ports/comN links live there.
QString SettingsFolder(const Defines& d, const Host& host);

// Whether the device at path (as ComDevicePath gives it) could be opened
// right now, by the kind of line the host gives. Never keeps the port. A
// port that own has open is held by this program.
ProbeResult ProbeDevice(const QString& path, const AdapterLine* own, const Host& host);
// The same for port n.
ProbeResult ProbeComPort(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                         const Host& host);
bool ComPortAvailable(qint16 n, const QString& settingsFolder, const AdapterLine* own,
                      const Host& host);
// User-facing detail for a failed probe (empty when there is nothing to add):
// for port n, or for a port named so with its device's name (empty: none).
QString ProbeDetail(ProbeResult result, qint16 n, const QString& settingsFolder,
                    Audience audience = Audience::Window);
QString ProbeDetail(ProbeResult result, const QString& port, const QString& device,
                    Audience audience);

enum class OpenResult { Opened, NotAvailable, InvalidSpeed };
// Applies the line settings to port in the usual order and opens it if the
// probe passes. Pending input is discarded after opening.
OpenResult OpenComPort(const Defines& d, const QString& settingsFolder, AdapterLine& port,
                       const Host& host);
// The same for the device at path, at d's speed.
OpenResult OpenDevice(const QString& path, const Defines& d, AdapterLine& port, const Host& host);

// Port n in words: its name, the device a link leads to ("→"), and what the
// system knows of it ("—" maker and description), for a tooltip or a list.
QString PortDescription(qint16 n, const QString& settingsFolder, const QList<PortInfo>& known);

}  // namespace tavrin
