#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <optional>

#include "serial/SerialPort.h"

namespace tavrin {

class AdapterLine;
class AdapterLog;
class Host;

// Speeds a search tries on every port, most likely first: most USB adapters
// ship at 38400, older ones at 9600, newer ones at 115200.
inline constexpr int kSearchSpeeds[] = {38400, 9600, 115200};

// An adapter that answered cleanly on one port at one speed.
struct FoundAdapter {
    qint16 port = 0;
    int speed = 0;
    QString identification;  // its answer to "ati"
    // One phrase per set-up command it did not answer "OK", in the order
    // sent, e.g. "it answers ? to atspa6". Empty: it can be used.
    QStringList refusals;

    bool capable() const { return refusals.isEmpty(); }
};

// A listed port the search left alone, and why.
struct SkippedPort {
    qint16 port = 0;
    QString why;
};

struct FinderReport {
    bool stopped = false;
    QList<qint16> searched;  // ports the search opened at least once
    QList<FoundAdapter> found;
    QList<SkippedPort> skipped;

    // The adapter to select: the first capable one, otherwise the first one
    // found; -1 when none was found.
    int chosen() const;
};

// The outcome of a search in words, for the user.
QString DescribeSearch(const FinderReport& report, Audience audience = Audience::Window);

// The lines of an answer that ends in the adapter's prompt, without the echo
// of `sent` and without empty lines; nothing when the text is not a clean
// answer. Clean means: exactly one '>', as its last character, and apart from
// carriage returns, line feeds and the echo, only printable ASCII; up to
// kMaxStrayBytes other bytes are left out of an answer that holds the echo or
// "ELM". A wrong line speed turns an answer into random bytes, which fail
// this almost always; what little passes must still be the exact answer a
// step expects. (NULs never get this far: reading leaves them out.)
inline constexpr int kMaxStrayBytes = 3;
std::optional<QStringList> AnswerLines(const QString& text, const QString& sent);

// Looks for an ELM327-type adapter on the ports it is given: at each speed it
// opens the port, sends a line any adapter refuses, and on a clean refusal
// asks for the identification and checks that every set-up command the
// connection uses is answered "OK". Nothing else is ever sent: no request
// reaches the car, the adapter is not reset, and never a bare carriage
// return, which would make an ELM327 repeat its last command.
//
// A search runs in the caller's event loop, like every other wait, and can
// be stopped at any moment. It skips any port this program's main serial
// control has open or another program holds.
class AdapterFinder : public QObject {
    Q_OBJECT
public:
    // Time limits of one step. An ELM327 answers a line within milliseconds
    // and a Bluetooth link adds some tens; 300 ms tells a silent line or a
    // wrong speed from an adapter, and keeps a search of 16 ports at three
    // speeds with no adapter anywhere within 15 s.
    static constexpr int kPromptLimitMs = 300;
    // Once an adapter has answered cleanly it gets more room: judging a slow
    // adapter to lack a command would be worse than a slower search.
    static constexpr int kAnswerLimitMs = 1000;
    // Far more than any answer to these lines: a device streaming text (a GPS
    // receiver, a console) is not an adapter.
    static constexpr int kMaxAnswerChars = 256;

    struct Limits {
        int promptMs = kPromptLimitMs;
        int answerMs = kAnswerLimitMs;
    };

    // settingsFolder: where the ports/comN links live. mainPort: the main
    // window's serial control; its port is never touched (it may go away).
    // The host gives the search its line and its clock.
    AdapterFinder(const QString& settingsFolder, AdapterLine* mainPort, Host& host,
                  QObject* parent = nullptr);
    ~AdapterFinder() override;

    // Searches the ports in the order given and returns when done or
    // stopped. Returns an empty stopped report if a search is already running.
    FinderReport run(const QList<qint16>& ports);
    // Ends a running search: its port closes at once, and run() returns as
    // soon as its wait has woken.
    void stop();
    bool running() const { return running_; }

    Limits limits;
    // The search's own serial control (closed whenever no search runs).
    const AdapterLine& port() const { return *port_; }
    // Where what the search sends and hears is recorded; may be null.
    void setLog(AdapterLog* log);

signals:
    // A port and speed is about to be tried.
    void trying(qint16 port, int speed);
    void wakeRequested();

private:
    enum class Heard { Prompt, Nothing, TooLong, Closed, Stopped };
    struct Answer {
        Heard heard = Heard::Nothing;
        QString text;
        std::optional<QStringList> lines;
    };

    std::optional<FoundAdapter> tryLine(qint16 n, int speed);
    Answer ask(const QString& line, int limitMs);
    Heard listen(int limitMs, QString* text);

    QString folder_;
    QPointer<AdapterLine> mainPort_;
    Host& host_;
    AdapterLine* port_ = nullptr;
    bool running_ = false;
    bool stopRequested_ = false;
};

}  // namespace tavrin
