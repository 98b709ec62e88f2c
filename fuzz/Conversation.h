#pragma once

// One whole conversation, Connect and up to two police-mode changes, run by
// the cluster session against an adapter and cluster whose every answer a
// script chooses, on the line in memory and the virtual clock; and a record
// of everything that happened, for the judge.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ElmResponder.h"
#include "MemoryLine.h"
#include "VirtualClock.h"
#include "cluster/ClusterSession.h"
#include "runtime/Host.h"

namespace tavrin {
class Operations;
}

namespace tavrin::fuzz {

// The script's bytes, read as they are needed; once they run out every read
// gives 0, so a short script ends in plain, right answers.
//
// The committed seeds (fuzz/corpus/conversation) are scripts for the reads
// as they stand, in the order they stand: a read added among them would
// shift every byte after it, and every seed would run another conversation.
// So the reads keep their order, and a choice added to the conversation
// reads what follows kLater in the input (ScriptReader::later), with a
// reader of its own: no committed seed holds kLater, so there it reads 0,
// which must choose what the conversation did before the choice was added.
// A seed for the new choice ends in kLater and its bytes. That way the
// seeds keep their bytes and their meaning.
class ScriptReader {
public:
    static constexpr char kLater[] = "\xFF\xFFlater";

    ScriptReader() = default;
    // Reads data up to kLater, or all of it.
    ScriptReader(const std::uint8_t* data, std::size_t size)
        : data_(data), size_(scriptSize(data, size)) {}
    // What follows kLater in data: the choices added since the seeds were
    // made; nothing (every read 0) when data holds no kLater.
    static ScriptReader later(const std::uint8_t* data, std::size_t size);

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    int below(int n) { return n > 0 ? byte() % n : 0; }
    int word() { return (byte() << 8) | byte(); }

private:
    static std::size_t scriptSize(const std::uint8_t* data, std::size_t size);

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
};

// What happened, in order.
struct Event {
    enum class Kind {
        Sent,              // bytes from the program reached the adapter
        Received,          // the adapter put bytes on the line to the program
        OperationStarted,  // text: "connect", "toggle", "on", "off"
        OperationEnded,    // text: how it ended
        CancelPressed,     // the user pressed Cancel (or closed) while the program offered it
        CancelRefused,     // ... and the program said it took none
        Synced,            // a history line was put on the disk
        Vanished,          // the adapter's line went dead
    };
    Kind kind;
    qint64 timeMs = 0;
    QByteArray bytes;
    QString text;
};

// Where in a police-mode change a user's action came.
enum class Pause { BeforeTheWrite, AfterTheWrite, Count };
// The user's actions, as the script chooses them.
enum class UserAction { Cancel, SecondClick, Close, Count };

struct Record {
    std::vector<Event> events;
    // Which actions came in which pause of a change, in this conversation.
    bool reached[int(UserAction::Count)][int(Pause::Count)] = {};
    QByteArray history;    // the history file as it stands afterwards
    QStringList problems;  // what the run itself saw go wrong (a double click that ran)
};

// The adapter and cluster: the script chooses each answer and how it comes.
class ScriptedAdapter : public sim::MemoryAdapter {
    Q_OBJECT
public:
    ScriptedAdapter(Clock& clock, const QString& device, Record& record);
    void reset(ScriptReader* script);
    // The prompt that ends each answer comes delayMs after the answer's last
    // line; when deaf, what arrives while an answer is still on its way is
    // lost.
    void setLatePrompt(int delayMs, bool deaf);

signals:
    // A whole line from the program reached the adapter: the n-th of the run.
    void lineReceived(int n, const QString& line);

protected:
    void fromProgram(const QByteArray& bytes) override;
    qint64 transmit(const QByteArray& bytes) override;

private:
    void answer(const QString& line);
    QByteArray rightAnswer(const QString& line);
    // Puts an answer's bytes on the line, its prompt as late as set.
    void tell(const QByteArray& bytes, int delayMs = 0);

    Record& record_;
    ScriptReader* script_ = nullptr;
    sim::ElmResponder responder_;
    QByteArray line_;
    int lines_ = 0;
    int promptDelayMs_ = 0;
    bool deaf_ = false;
};

// What the user did in which pause, over many conversations.
struct Reach {
    quint64 conversations = 0;
    quint64 withChange = 0;  // conversations in which a change ran
    quint64 in[int(UserAction::Count)][int(Pause::Count)] = {};
    QStringList lines() const;
};

// A slip planted in the user's side of the run, for the judge's positive
// controls: the program's answer to a Cancel in the pause before the write
// is replaced by one that ignores it, or one that refuses it.
enum class Slip { None, IgnoreCancelBeforeWrite, RefuseCancelBeforeWrite };

// A host of the run's own: virtual time, the scripted adapter behind COM3,
// a folder in memory for the history, and a record of every sync.
class ConversationHost : public Host {
public:
    explicit ConversationHost(Record& record);
    QString programFolder() const override { return folder_.path(); }
    QString userConfigFolder() const override { return folder_.path(); }
    Clock& clock() override { return clock_; }
    bool syncToDisk(QFileDevice& file) override;
    void showMessage(QWidget*, const Message&) override {}

    VirtualClock& virtualClock() { return clock_; }

private:
    Record& record_;
    QTemporaryDir folder_;
    VirtualClock clock_;

public:
    sim::MemoryPorts ports{clock_};
};

// Runs conversations one after another in one set-up, each from its own
// script.
class ConversationRunner {
public:
    ConversationRunner();
    ~ConversationRunner();

    const Record& run(const std::uint8_t* data, std::size_t size);
    // Lets go of everything the last run kept, so that a run allocates no
    // more than it frees (libFuzzer looks for leaks after any run that does).
    void forget();

    // For the judge's own test: at ms into the next run, put these bytes on
    // the line as if the program had sent them.
    void plant(qint64 atMs, const QByteArray& bytes);
    // For the judge's positive controls only: from now on, every run has
    // this slip.
    void plantSlip(Slip slip) { slip_ = slip; }

    const Reach& reach() const { return reach_; }

private:
    // What a conversation will do, as its script chooses it before it starts.
    struct Plan {
        QList<int> kinds;  // the changes after Connect: 0 toggle, 1 on, 2 off
        // A user's action, k ms after the n-th line of an operation (Connect,
        // the first or the second change) reached the adapter.
        struct Planned {
            UserAction action;
            int operation;
            int line;
            int delayMs;
        };
        QList<Planned> planned;
        int prompt = 0;  // how late the adapter's prompt comes, and whether it is deaf
    };
    // The conversation under way.
    struct Run {
        explicit Run(Operations& owner) : ops(owner) {}
        Operations& ops;
        QString running;  // the operation under way, for a second click
        bool closed = false;
        int operationNow = -1;
        int lineInOperation = 0;
    };
    Plan readPlan();
    // The user does what the plan says, as the program offers it.
    void act(Run& run, UserAction action);
    // Runs one operation from its start until the owner reports its end.
    template <typename Start>
    SessionStatus operation(Run& run, const QString& name, Start start);
    // What the run itself sees wrong once the conversation is over.
    void checkAtRest(const Run& run);
    void countReach(const Plan& plan, SessionStatus connected);
    // The pause of a change the conversation is in now, if any.
    std::optional<Pause> pauseNow(const QString& running) const;
    Record record_;
    ConversationHost host_;
    ScriptedAdapter* adapter_ = nullptr;
    ScriptReader script_;
    qint64 plantAtMs_ = -1;
    QByteArray plantBytes_;
    Slip slip_ = Slip::None;
    Reach reach_;
};

}  // namespace tavrin::fuzz
