#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <optional>

#include "runtime/NetLine.h"
#include "serial/AnswerReader.h"
#include "serial/NetworkAddress.h"
#include "serial/PortCheck.h"

namespace tavrin {

class AdapterLine;
class AdapterLog;
class Host;
class NetLine;

// A set-up command an adapter did not answer "OK".
struct Refusal {
    enum class Kind {
        Unclean,           // no clean answer at all
        UnknownCommand,    // "?"
        OtherAnswer,       // something else
        StoppedAnswering,  // the line closed under it
    };
    Kind kind = Kind::Unclean;
    QString command;
    QString answer;  // OtherAnswer: its lines, joined by a space
};

// An adapter that answered cleanly on one port at one speed.
struct FoundAdapter {
    qint16 port = 0;
    int speed = 0;
    QString identification;  // its answer to "ati"
    QString chip;            // its answer to "sti", where it knows the command
    // The set-up commands it did not answer "OK", in the order sent. Empty:
    // it can be used.
    QList<Refusal> refusals;
    // It answers "?" to the command that turns CAN formatting on: it formats
    // always, which is what the program asks for.
    bool formatsAlways = false;
    // Found at this Wi-Fi address rather than on a numbered port.
    QString address;
    // Which of a Bluetooth pair's ports it was found on.
    BluetoothRole bluetooth = BluetoothRole::None;

    bool capable() const { return refusals.isEmpty(); }
};

// A listed port the search left alone, and why: the probe's finding, or,
// when the probe passed, what the system said as the port would not open.
struct SkippedPort {
    qint16 port = 0;
    ProbeResult probe = ProbeResult::Available;
    QString openError;
};

struct FinderReport {
    bool stopped = false;
    QList<qint16> searched;  // ports the search opened at least once
    // A Wi-Fi adapter's address that was checked, how the attempt to reach
    // it ended, and the system's words when it failed.
    QString address;
    NetOpen reached = NetOpen::Connected;
    QString systemText;
    int connectMs = 0;  // the time it had to reach the address
    QList<FoundAdapter> found;
    QList<SkippedPort> skipped;

    // The adapter to select: the first capable one, otherwise the first one
    // found; -1 when none was found.
    int chosen() const;
};

// Looks for an ELM327-type adapter on the ports it is given: at each speed it
// opens the port, sends a line any adapter refuses, and on a clean refusal
// asks for the identification and checks that every set-up command the
// connection uses is answered "OK". Nothing else is ever sent: no request
// reaches the car, the adapter is not reset, and never a bare carriage
// return, which would make an ELM327 repeat its last command.
//
// A search is an operation of its own: it suspends while it waits, and a
// Cancel ends it at once, closing its port there and then. It skips any port
// this program's main serial control has open or another program holds.
class AdapterFinder : public QObject {
    Q_OBJECT
public:
    // Far more than any answer to these lines: a device streaming text (a GPS
    // receiver, a console) is not an adapter.
    static constexpr int kMaxAnswerChars = 256;

    // mainPort: the main window's serial control; its port is never touched
    // (it may go away). The host gives the search its line, its clock and its
    // time limits.
    AdapterFinder(AdapterLine* mainPort, Host& host, QObject* parent = nullptr);
    ~AdapterFinder() override;

    // Searches the ports in the order given; settingsFolder is where the
    // ports/comN links live.
    QCoro::Task<FinderReport> run(QList<qint16> ports, QString settingsFolder, Stop stop);
    // Checks the one Wi-Fi adapter at address, as a port is checked; a
    // network is never scanned.
    QCoro::Task<FinderReport> runAt(NetworkAddress address, Stop stop);

    // The search's own line, as the last search used it (closed whenever no
    // search runs).
    const AdapterLine& port() const { return *port_; }
    // Where what the search sends and hears is recorded; may be null.
    void setLog(AdapterLog* log);

signals:
    // A port and speed is about to be tried.
    void trying(qint16 port, int speed);

private:
    enum class Heard { Prompt, Nothing, TooLong, Closed, Stopped };
    struct Answer {
        Heard heard = Heard::Nothing;
        QString text;
        std::optional<QStringList> lines;
    };

    QCoro::Task<std::optional<FoundAdapter>> tryLine(qint16 n, int speed, Stop stop);
    QCoro::Task<Answer> ask(QString line, int limitMs, Stop stop);
    void use(AdapterLine* line, AnswerReader* reader);

    QPointer<AdapterLine> mainPort_;
    Host& host_;
    AdapterLine* serial_ = nullptr;
    NetLine* net_ = nullptr;
    AnswerReader* serialReader_ = nullptr;
    AnswerReader* netReader_ = nullptr;
    // The line and reader of the search under way.
    AdapterLine* port_ = nullptr;
    AnswerReader* reader_ = nullptr;
};

}  // namespace tavrin
