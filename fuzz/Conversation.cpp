#include "Conversation.h"

#include <QDir>
#include <QFile>

#include "cluster/Operations.h"
#include "core/Defines.h"

namespace tavrin::fuzz {

namespace {

// How an answer comes, as the script chooses it.
enum class Answer {
    Right,        // as a good adapter and cluster give it
    Changed,      // the right answer with bytes changed, added or cut
    Pieces,       // the right answer in pieces, with pauses, some past the limit
    Silence,      // nothing at all
    ErrorWord,    // STOPPED, NO DATA, ?, CAN ERROR or BUFFER FULL
    Refusal,      // 7F, the service and a code; 78 once or repeated
    OtherRecord,  // a record 03 other than the cluster held a moment ago
    Noise,        // random bytes, NULs among them
    Vanish,       // the line goes dead
    Count,
};

const char* const kErrorWords[] = {"STOPPED", "NO DATA", "?", "CAN ERROR", "BUFFER FULL"};

QByteArray hexByte(int b) {
    return QByteArray::number(b & 0xFF, 16).toUpper().rightJustified(2, '0');
}

QByteArray joined(const sim::Reply& reply) {
    QByteArray all;
    for (const sim::Chunk& chunk : reply.chunks) all += chunk.bytes;
    return all;
}

}  // namespace

std::size_t ScriptReader::scriptSize(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(data, qsizetype(size));
    const qsizetype mark = bytes.indexOf(QByteArrayView(kLater));
    return mark < 0 ? size : std::size_t(mark);
}

ScriptReader ScriptReader::later(const std::uint8_t* data, std::size_t size) {
    const std::size_t script = scriptSize(data, size);
    if (script == size) return ScriptReader();
    const std::size_t from = script + sizeof(kLater) - 1;
    ScriptReader reader;
    reader.data_ = data + from;
    reader.size_ = size - from;
    return reader;
}

ScriptedAdapter::ScriptedAdapter(Clock& clock, const QString& device, Record& record)
    : MemoryAdapter({}, clock, device), record_(record), responder_(config()) {}

void ScriptedAdapter::reset(ScriptReader* script) {
    script_ = script;
    config() = sim::SimConfig();
    // The record the cluster holds: one or two bytes, any values.
    const int length = 1 + script->below(2);
    QByteArray record;
    for (int i = 0; i < length; ++i) record += char(script->byte());
    config().record = record;
    responder_.powerUp();
    line_.clear();
    lines_ = 0;
    setLatePrompt(0, false);
    discardUnread();
    if (!isRunning()) start();
}

void ScriptedAdapter::setLatePrompt(int delayMs, bool deaf) {
    promptDelayMs_ = delayMs;
    deaf_ = deaf;
}

void ScriptedAdapter::fromProgram(const QByteArray& bytes) {
    record_.events.push_back({Event::Kind::Sent, clock().nowMs(), bytes, {}});
    for (const char c : bytes) {
        if (!isRunning()) return;
        if (deaf_ && outputPending()) continue;
        if (c == '\n') continue;  // an ELM327 ignores line feeds
        if (c != '\r') {
            line_ += c;
            continue;
        }
        const QString line = QString::fromLatin1(std::exchange(line_, QByteArray()));
        emit lineReceived(lines_++, line);
        answer(line);
    }
}

qint64 ScriptedAdapter::transmit(const QByteArray& bytes) {
    record_.events.push_back({Event::Kind::Received, clock().nowMs(), bytes, {}});
    return MemoryAdapter::transmit(bytes);
}

QByteArray ScriptedAdapter::rightAnswer(const QString& line) {
    const bool echo = responder_.echoOn();
    const QByteArray reply = joined(responder_.respond(line));
    return echo ? line.toLatin1() + '\r' + reply : reply;
}

void ScriptedAdapter::tell(const QByteArray& bytes, int delayMs) {
    QList<sim::Chunk> chunks{sim::Chunk{bytes, delayMs}};
    if (promptDelayMs_ > 0) sim::delayPrompt(&chunks, promptDelayMs_);
    for (const sim::Chunk& chunk : chunks) say(chunk.bytes, chunk.delayMs);
}

void ScriptedAdapter::answer(const QString& line) {
    ScriptReader& s = *script_;
    const auto kind = Answer(s.below(int(Answer::Count)));
    switch (kind) {
        case Answer::Right:
            tell(rightAnswer(line));
            break;
        case Answer::Changed: {
            QByteArray text = rightAnswer(line);
            for (int n = 1 + s.below(3); n > 0; --n) {
                const int at = text.isEmpty() ? 0 : s.below(int(text.size()));
                switch (s.below(3)) {
                    case 0:
                        if (!text.isEmpty()) text[at] = char(s.byte());
                        break;
                    case 1:
                        text.insert(at, char(s.byte()));
                        break;
                    default:
                        text.remove(at, 1 + s.below(4));
                        break;
                }
            }
            tell(text);
            break;
        }
        case Answer::Pieces: {
            const QByteArray text = rightAnswer(line);
            int at = 0;
            for (int pieces = 2 + s.below(3); pieces > 0 && at < text.size(); --pieces) {
                const int size = pieces == 1 ? int(text.size()) - at : 1 + s.below(12);
                // Most pauses short; some past the ten-second time limit.
                const int pause = s.below(4) == 0 ? s.word() % 15000 : s.below(200);
                tell(text.mid(at, size), pause);
                at += size;
            }
            break;
        }
        case Answer::Silence:
            break;
        case Answer::ErrorWord:
            tell((responder_.echoOn() ? line.toLatin1() + '\r' : QByteArray()) +
                 kErrorWords[s.below(5)] + "\r\r>");
            break;
        case Answer::Refusal: {
            const QByteArray service = line.left(2).toLatin1().toUpper();
            const int code = s.below(2) ? 0x78 : s.byte();
            QByteArray text = responder_.echoOn() ? line.toLatin1() + '\r' : QByteArray();
            for (int n = 1 + s.below(3); n > 0; --n)
                text += "728 03 7F " + service + ' ' + hexByte(code) + " \r";
            tell(text);
            // After "response pending", the answer itself, or not.
            if (code == 0x78 && s.below(2))
                tell(joined(responder_.respond(line)), s.below(300));
            else
                tell("\r>");
            break;
        }
        case Answer::OtherRecord: {
            QByteArray record;
            for (int i = 1 + s.below(2); i > 0; --i) record += char(s.byte());
            config().record = record;
            tell(rightAnswer(line));
            break;
        }
        case Answer::Noise: {
            QByteArray noise;
            for (int n = 1 + s.below(32); n > 0; --n) noise += char(s.below(3) ? s.byte() : 0);
            tell(noise);
            break;
        }
        case Answer::Vanish:
            record_.events.push_back({Event::Kind::Vanished, clock().nowMs(), {}, {}});
            stop();
            break;
        case Answer::Count:
            break;
    }
}

ConversationHost::ConversationHost(Record& record)
    : record_(record),
      // In memory where there is a memory file system: the history is synced
      // after every line, thousands of times a second.
      folder_(QDir(QStringLiteral("/dev/shm")).exists()
                  ? QStringLiteral("/dev/shm/tavrin-conversation-XXXXXX")
                  : QDir::temp().filePath(QStringLiteral("tavrin-conversation-XXXXXX"))) {
    setDevices(&ports);
}

bool ConversationHost::syncToDisk(QFileDevice& file) {
    const bool ok = Host::syncToDisk(file);
    record_.events.push_back({Event::Kind::Synced, clock_.nowMs(), {}, {}});
    return ok;
}

ConversationRunner::ConversationRunner() : host_(record_) {
    // No window and no socket takes part: posted events are all there is.
    host_.virtualClock().setWindowEvents(false);
    adapter_ = static_cast<ScriptedAdapter*>(host_.ports.adopt(std::make_unique<ScriptedAdapter>(
        host_.virtualClock(), host_.ports.newDevicePath(), record_)));
    if (!adapter_ || !adapter_->linkAs(host_.programFolder(), 3)) qFatal("no scripted adapter");
}

ConversationRunner::~ConversationRunner() = default;

void ConversationRunner::forget() {
    record_ = Record();
    host_.adapterLog().clear();
    adapter_->clearLog();
}

std::optional<Pause> ConversationRunner::pauseNow(const QString& running) const {
    if (running.isEmpty() || running == QLatin1String("connect")) return std::nullopt;
    // The last line this change sent, whether its answer has ended in the
    // prompt (the change is then in the pause after that line), and whether
    // the change has written yet.
    QByteArray last;
    bool answered = false;
    bool written = false;
    for (auto e = record_.events.rbegin(); e != record_.events.rend(); ++e) {
        if (e->kind == Event::Kind::OperationStarted) break;
        if (e->kind == Event::Kind::Received && last.isNull() && e->bytes.contains('>'))
            answered = true;
        if (e->kind != Event::Kind::Sent) continue;
        if (last.isNull()) last = e->bytes.trimmed();
        if (e->bytes.startsWith("3b")) written = true;
    }
    if (!answered) return std::nullopt;
    // The read back ends in a prompt too, but no pause follows it.
    if (last == "2103" && !written) return Pause::BeforeTheWrite;
    if (last.startsWith("3b")) return Pause::AfterTheWrite;
    return std::nullopt;
}

QStringList Reach::lines() const {
    static const char* const actions[] = {"Cancel", "second click", "close"};
    QStringList out{QStringLiteral("reach: %1 conversations, %2 with a change")
                        .arg(conversations)
                        .arg(withChange)};
    for (int a = 0; a < int(UserAction::Count); ++a) {
        out << QStringLiteral("reach: %1 before the write %2, after the write %3")
                   .arg(QLatin1String(actions[a]), -12)
                   .arg(in[a][int(Pause::BeforeTheWrite)])
                   .arg(in[a][int(Pause::AfterTheWrite)]);
    }
    return out;
}

void ConversationRunner::plant(qint64 atMs, const QByteArray& bytes) {
    plantAtMs_ = atMs;
    plantBytes_ = bytes;
}

ConversationRunner::Plan ConversationRunner::readPlan() {
    Plan plan;
    const int changes = script_.below(3);
    for (int i = 0; i < changes; ++i) plan.kinds << script_.below(3);
    // The user acts k ms after a line of one of the operations reached the
    // adapter: timed by the wire, so that the moments that matter (the
    // pauses before and after a write, the read back) are reached as often
    // as any.
    for (int events = script_.below(4); events > 0; --events) {
        Plan::Planned p;
        p.action = UserAction(script_.below(int(UserAction::Count)));
        p.operation = script_.below(3);
        p.line = script_.below(p.operation == 0 ? 10 : 3);
        p.delayMs = script_.below(4) == 0 ? script_.word() % 3000 : script_.below(600);
        plan.planned << p;
    }
    // The adapter's prompt: at once, or up to 127 ms after the answer; and
    // whether it hears what arrives before its answer is out.
    plan.prompt = script_.byte();
    return plan;
}

void ConversationRunner::act(Run& run, UserAction action) {
    Operations& ops = run.ops;
    VirtualClock& clock = host_.virtualClock();
    if (const std::optional<Pause> pause = pauseNow(run.running))
        record_.reached[int(action)][int(*pause)] = true;
    if (action == UserAction::SecondClick) {
        if (run.running.isEmpty()) return;
        // The second click of a double click reaches the owner, which must
        // refuse it there and then.
        const bool refused = run.running == QLatin1String("connect")
                                 ? ops.connectAdapter().isReady()
                                 : ops.changePoliceMode(std::nullopt).isReady();
        if (!refused) record_.problems << QStringLiteral("a second %1 ran").arg(run.running);
        return;
    }
    if (action == UserAction::Close) run.closed = true;  // closing the window: cancel, and no more
    // What the user saw: a Cancel on offer. What the program then does with
    // it is for the judge to weigh.
    if (!ops.check(Operations::Action::Cancel).allowed) return;
    record_.events.push_back({Event::Kind::CancelPressed, clock.nowMs(), {}, {}});
    const bool slipped = slip_ != Slip::None && pauseNow(run.running) == Pause::BeforeTheWrite;
    if (slipped && slip_ == Slip::IgnoreCancelBeforeWrite) return;
    const bool taken = !slipped && ops.cancel();
    if (!taken) record_.events.push_back({Event::Kind::CancelRefused, clock.nowMs(), {}, {}});
}

template <typename Start>
SessionStatus ConversationRunner::operation(Run& run, const QString& name, Start start) {
    VirtualClock& clock = host_.virtualClock();
    run.running = name;
    ++run.operationNow;
    run.lineInOperation = 0;
    record_.events.push_back({Event::Kind::OperationStarted, clock.nowMs(), {}, name});
    std::optional<SessionStatus> status;
    auto ended = start().then(
        [&status](auto report) { status = report ? report->status : SessionStatus::Failed; });
    clock.runUntil([&status] { return status.has_value(); }, 24 * 3600 * 1000);
    if (!status) record_.problems << QStringLiteral("%1 never ended").arg(name);
    run.running.clear();
    // Let what is still on the line arrive within the operation.
    clock.advance(50);
    record_.events.push_back({Event::Kind::OperationEnded,
                              clock.nowMs(),
                              {},
                              QString::number(int(status.value_or(SessionStatus::Failed)))});
    return status.value_or(SessionStatus::Failed);
}

void ConversationRunner::checkAtRest(const Run& run) {
    // The session is at rest in one of its states.
    Operations& ops = run.ops;
    if (ops.running()) record_.problems << QStringLiteral("still busy");
    if (ops.check(Operations::Action::Cancel).allowed)
        record_.problems << QStringLiteral("still cancellable");
    if (ops.session().watchdog().isActive())
        record_.problems << QStringLiteral("watchdog still armed");
    if (ops.session().port().PortOpen() != (ops.state() == Operations::State::Connected))
        record_.problems << QStringLiteral("port open without a connection");
}

void ConversationRunner::countReach(const Plan& plan, SessionStatus connected) {
    ++reach_.conversations;
    if (!plan.kinds.isEmpty() && connected == SessionStatus::Done) ++reach_.withChange;
    for (int a = 0; a < int(UserAction::Count); ++a) {
        for (int p = 0; p < int(Pause::Count); ++p) reach_.in[a][p] += record_.reached[a][p];
    }
}

const Record& ConversationRunner::run(const std::uint8_t* data, std::size_t size) {
    forget();
    // In the order the committed seeds were made for; a choice added since
    // reads ScriptReader::later(data, size) (see ScriptReader).
    script_ = ScriptReader(data, size);
    const QString history = QDir(host_.programFolder()).filePath(QStringLiteral("history.csv"));
    QFile::remove(history);
    adapter_->reset(&script_);

    Defines d;
    d.IniFilePath = QDir(host_.programFolder()).filePath(QStringLiteral("QUILLET.INI"));
    d.ComPort = 3;
    d.ComSpeed = QStringLiteral("38400");
    Operations ops(d, host_);
    VirtualClock& clock = host_.virtualClock();
    const qint64 start = clock.nowMs();

    // What the operations are, and what the user does meanwhile.
    const Plan plan = readPlan();
    adapter_->setLatePrompt(plan.prompt & 0x7F, (plan.prompt & 0x80) != 0);
    Run run(ops);
    const auto lines =
        QObject::connect(adapter_, &ScriptedAdapter::lineReceived, [&](int, const QString&) {
            for (const Plan::Planned& p : plan.planned) {
                if (p.operation == run.operationNow && p.line == run.lineInOperation)
                    clock.after(p.delayMs, [this, &run, action = p.action] { act(run, action); });
            }
            ++run.lineInOperation;
        });
    if (plantAtMs_ >= 0) {
        const QByteArray bytes = plantBytes_;
        clock.after(plantAtMs_, [&ops, bytes] { ops.session().port().Output(bytes); });
        plantAtMs_ = -1;
    }

    const SessionStatus connected =
        operation(run, QStringLiteral("connect"), [&ops] { return ops.connectAdapter(); });
    if (connected == SessionStatus::Done) {
        for (int kind : plan.kinds) {
            if (run.closed || ops.state() != Operations::State::Connected) break;
            const std::optional<bool> wanted =
                kind == 0 ? std::nullopt : std::optional<bool>(kind == 1);
            const QString name = kind == 0   ? QStringLiteral("toggle")
                                 : kind == 1 ? QStringLiteral("on")
                                             : QStringLiteral("off");
            operation(run, name, [&ops, wanted] { return ops.changePoliceMode(wanted); });
        }
    }

    checkAtRest(run);
    ops.disconnectAdapter();
    QObject::disconnect(lines);
    countReach(plan, connected);
    // Nothing scheduled for this run may reach the next.
    clock.advance(qMax<qint64>(0, start + 20001 - clock.nowMs()));
    clock.advance(20000);

    QFile file(history);
    if (file.open(QIODevice::ReadOnly)) record_.history = file.readAll();
    return record_;
}

}  // namespace tavrin::fuzz
