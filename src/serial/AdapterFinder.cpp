#include "serial/AdapterFinder.h"

#include <algorithm>

#include "core/Defines.h"
#include "platform/AdapterLine.h"
#include "platform/Clock.h"
#include "platform/Host.h"
#include "serial/AdapterCommands.h"

namespace tavrin {

namespace {

// Two tildes and the carriage return: printable, so no adapter can take the
// line for an empty one (which would repeat the adapter's last command,
// perhaps another program's write to the cluster), and neither hexadecimal
// nor an AT command, so an ELM327 answers "?" and its prompt. Any
// half-received line in the adapter is cleared with it. At a wrong speed an
// adapter decodes other bytes than were sent; for these three, none of them
// is a carriage return at any pairing of the usual speeds from 9600 to
// 500000, so the adapter does not act on them at all.
const QString kRefusedLine = QStringLiteral("~~");
const QString kIdentify = QStringLiteral("ati");
const QStringList kRefused = {QStringLiteral("?")};
const QStringList kOk = {QStringLiteral("OK")};

QString speedsText() {
    QStringList speeds;
    for (int speed : kSearchSpeeds) speeds << QString::number(speed);
    const QString last = speeds.takeLast();
    return speeds.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QString portsText(const QList<qint16>& ports) {
    QStringList names;
    for (qint16 n : ports) names << QStringLiteral("COM%1").arg(n);
    if (names.size() > 4) return QStringLiteral("any of the %1 ports searched").arg(names.size());
    if (names.size() < 2) return names.join(QString());
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QString where(const FoundAdapter& a) {
    return QStringLiteral("COM%1 at %2 bit/s").arg(a.port).arg(a.speed);
}

QString verdict(const FoundAdapter& a) {
    if (a.capable()) return QStringLiteral("all set-up commands answered OK");
    return QStringLiteral("this adapter cannot be used: it ") +
           a.refusals.join(QStringLiteral(" and "));
}

QString skippedText(const QList<SkippedPort>& skipped) {
    if (skipped.isEmpty()) return {};
    QStringList parts;
    for (const SkippedPort& s : skipped)
        parts << QStringLiteral("COM%1 (%2)").arg(s.port).arg(s.why);
    return QStringLiteral("\nSkipped: %1.").arg(parts.join(QStringLiteral(", ")));
}

QString skipReason(ProbeResult probe) {
    switch (probe) {
        case ProbeResult::HeldByThisProgram:
            return QStringLiteral("open in the main window");
        case ProbeResult::InUse:
            return QStringLiteral("in use by another program");
        case ProbeResult::NoPermission:
            return QStringLiteral("no permission; join the \"dialout\" group");
        case ProbeResult::NotFound:
            return QStringLiteral("no longer there");
        case ProbeResult::Available:
            break;
    }
    return {};
}

// What a set-up command got instead of "OK", as the end of "it ...".
QString refusal(const QString& command, const std::optional<QStringList>& lines, bool lost) {
    if (lost) return QStringLiteral("stopped answering at %1").arg(command);
    if (!lines || lines->isEmpty())
        return QStringLiteral("gives no clean answer to %1").arg(command);
    if (*lines == kRefused) return QStringLiteral("answers ? to %1").arg(command);
    return QStringLiteral("answers \"%1\" to %2")
        .arg(lines->join(QLatin1Char(' ')).left(40), command);
}

}  // namespace

int FinderReport::chosen() const {
    for (int i = 0; i < found.size(); ++i) {
        if (found.at(i).capable()) return i;
    }
    return found.isEmpty() ? -1 : 0;
}

QString DescribeSearch(const FinderReport& report, Audience audience) {
    const bool terminal = audience == Audience::Terminal;
    // How to use what was found: Save in the dialog, the options at a terminal.
    const auto useIt = [terminal](const FoundAdapter& a, const QString& windowText) {
        return terminal ? QStringLiteral("Use it with --port %1 --speed %2; nothing was saved.")
                              .arg(a.port)
                              .arg(a.speed)
                        : windowText;
    };
    if (report.stopped)
        return terminal ? QStringLiteral("The search was stopped.")
                        : QStringLiteral("The search was stopped; the selection is as it was.");
    const QString skipped = skippedText(report.skipped);
    if (report.found.isEmpty()) {
        if (report.searched.isEmpty()) {
            return (terminal ? QStringLiteral(
                                   "There was no port to search: none of COM1 to COM16 could be "
                                   "opened. Plug the adapter in, then try again.")
                             : QStringLiteral(
                                   "There was no port to search: none could be opened when this "
                                   "dialog opened. Plug the adapter in, then open Setup again.")) +
                   skipped;
        }
        return QStringLiteral(
                   "No adapter answered on %1 at %2 bit/s. Check that the adapter is plugged "
                   "in (a Bluetooth adapter: paired and bound), that the ignition is on, and "
                   "that you may use serial ports (join the \"dialout\" group).")
                   .arg(portsText(report.searched), speedsText()) +
               skipped;
    }
    if (report.found.size() == 1) {
        const FoundAdapter& a = report.found.first();
        return QStringLiteral("Found %1 on %2: %3. %4")
                   .arg(a.identification, where(a), verdict(a),
                        a.capable() ? useIt(a, QStringLiteral("Press Save to use it."))
                                    : QStringLiteral("A genuine ELM327-type adapter is needed.")) +
               skipped;
    }
    QString text = QStringLiteral("Found %1 adapters:").arg(report.found.size());
    for (const FoundAdapter& a : report.found) {
        text +=
            QStringLiteral("\n\u2022 %1 on %2: %3.").arg(a.identification, where(a), verdict(a));
    }
    const FoundAdapter& chosen = report.found.at(report.chosen());
    text +=
        chosen.capable()
            ? QStringLiteral("\n") +
                  (terminal
                       ? QStringLiteral("%1 can be used. ").arg(where(chosen)) +
                             useIt(chosen, QString())
                       : QStringLiteral("%1 is selected; press Save to use it.").arg(where(chosen)))
            : QStringLiteral("\nNone of them can be used.");
    return text + skipped;
}

std::optional<QStringList> AnswerLines(const QString& text, const QString& sent) {
    if (!text.endsWith(QLatin1Char('>')) || text.count(QLatin1Char('>')) != 1) return std::nullopt;
    QString body = text.chopped(1);
    // A line feed may come with each carriage return; alone it ends a line too.
    body.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    // A stray byte or two on a line that carries the echo of what was sent,
    // or the adapter's name, is a disturbed line, not noise: noise at a wrong
    // speed holds neither. Left out, they do not make the answer unclean.
    const auto stray = [](QChar c) {
        return c != QLatin1Char('\r') && (c.unicode() < 0x20 || c.unicode() > 0x7E);
    };
    const qsizetype strays = std::count_if(body.begin(), body.end(), stray);
    if (strays > 0 && strays <= kMaxStrayBytes) {
        QString cleaned = body;
        cleaned.removeIf(stray);
        const QStringList lines = cleaned.split(QLatin1Char('\r'));
        const bool echoed = std::any_of(lines.begin(), lines.end(), [&sent](const QString& l) {
            return l.trimmed().compare(sent, Qt::CaseInsensitive) == 0;
        });
        if (echoed || cleaned.contains(QLatin1String("ELM"))) body = cleaned;
    }
    QStringList lines;
    bool first = true;
    for (QString line : body.split(QLatin1Char('\r'), Qt::SkipEmptyParts)) {
        // Only plain spaces: trimming all white space would also drop the
        // Latin-1 bytes 0x85 and 0xA0, which noise contains as often as any.
        while (line.startsWith(QLatin1Char(' '))) line.remove(0, 1);
        while (line.endsWith(QLatin1Char(' '))) line.chop(1);
        if (line.isEmpty()) continue;
        const bool echo = first && line.compare(sent, Qt::CaseInsensitive) == 0;
        first = false;
        if (echo) continue;
        for (const QChar c : line) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7E) return std::nullopt;
        }
        lines << line;
    }
    return lines;
}

AdapterFinder::AdapterFinder(const QString& settingsFolder, AdapterLine* mainPort, Host& host,
                             QObject* parent)
    : QObject(parent), folder_(settingsFolder), mainPort_(mainPort), host_(host) {
    port_ = host_.createLine(this);
    port_->setObjectName(QStringLiteral("FinderPort"));
}

void AdapterFinder::setLog(AdapterLog* log) {
    port_->setLog(log);
}

AdapterFinder::~AdapterFinder() {
    // Owners keep the finder alive while run() is on the stack; should one
    // fail to, at least the device is let go.
    port_->setPortOpen(false);
}

void AdapterFinder::stop() {
    if (!running_) return;
    stopRequested_ = true;
    // At once, not when the wait notices: the user may unplug the adapter next.
    port_->setPortOpen(false);
    emit wakeRequested();
}

FinderReport AdapterFinder::run(const QList<qint16>& ports) {
    FinderReport report;
    if (running_) {
        report.stopped = true;
        return report;
    }
    running_ = true;
    stopRequested_ = false;
    for (qint16 n : ports) {
        for (int speed : kSearchSpeeds) {
            if (stopRequested_) break;
            // Again before every speed: the main window may have opened the
            // port since, or another program taken it.
            const ProbeResult probe = ProbeComPort(n, folder_, mainPort_, host_);
            if (probe != ProbeResult::Available) {
                report.skipped << SkippedPort{n, skipReason(probe)};
                break;
            }
            emit trying(n, speed);
            if (stopRequested_) break;
            Defines line;
            line.ComPort = n;
            line.ComSpeed = QString::number(speed);
            if (OpenComPort(line, folder_, *port_, host_) != OpenResult::Opened) {
                const QString why = port_->lastErrorText();
                report.skipped << SkippedPort{
                    n, why.isEmpty() ? QStringLiteral("could not be opened") : why};
                break;
            }
            if (!report.searched.contains(n)) report.searched << n;
            const std::optional<FoundAdapter> found = tryLine(n, speed);
            port_->setPortOpen(false);
            if (found) {
                report.found << *found;
                break;
            }
        }
        if (stopRequested_) break;
    }
    port_->setPortOpen(false);
    report.stopped = stopRequested_;
    if (report.stopped) report.found.clear();
    running_ = false;
    stopRequested_ = false;
    return report;
}

std::optional<FoundAdapter> AdapterFinder::tryLine(qint16 n, int speed) {
    const Answer refused = ask(kRefusedLine, limits.promptMs);
    if (refused.lines != kRefused) return std::nullopt;
    const Answer identity = ask(kIdentify, limits.answerMs);
    if (!identity.lines || identity.lines->size() != 1 || identity.lines == kRefused) {
        return std::nullopt;
    }

    FoundAdapter found;
    found.port = n;
    found.speed = speed;
    found.identification = identity.lines->first();
    for (const char* c : kAdapterSetupCommands) {
        const QString command = QLatin1String(c);
        const Answer answer = ask(command, limits.answerMs);
        if (answer.heard == Heard::Stopped) return std::nullopt;
        if (answer.lines == kOk) continue;
        const bool lost = answer.heard == Heard::Closed;
        found.refusals << refusal(command, answer.lines, lost);
        if (lost) break;
    }
    return found;
}

AdapterFinder::Answer AdapterFinder::ask(const QString& line, int limitMs) {
    Answer answer;
    // The carriage return alone ends a line for every ELM327-type adapter,
    // and leaves nothing behind that could begin another.
    if (!port_->Output(line.toLatin1() + '\r')) {
        answer.heard = stopRequested_ ? Heard::Stopped : Heard::Closed;
        return answer;
    }
    answer.heard = listen(limitMs, &answer.text);
    if (answer.heard == Heard::Prompt) answer.lines = AnswerLines(answer.text, line);
    return answer;
}

// Collects characters up to the first '>', sleeping in the event loop until
// a character, a stop, a closed port or the time limit.
AdapterFinder::Heard AdapterFinder::listen(int limitMs, QString* text) {
    Clock& clock = host_.clock();
    Sleeper sleeper(clock);
    WakeOnLine(sleeper, *port_);
    sleeper.wakeOn(this, &AdapterFinder::wakeRequested);

    const qint64 start = clock.nowMs();
    for (;;) {
        if (stopRequested_) return Heard::Stopped;
        if (!port_->PortOpen()) return Heard::Closed;
        const QString c = port_->Input();
        if (c.isEmpty()) {
            const qint64 left = limitMs - (clock.nowMs() - start);
            if (left <= 0) return Heard::Nothing;
            // The application is quitting: running the limits out would only spin.
            if (!sleeper.sleep(left)) stopRequested_ = true;
            continue;
        }
        *text += c;
        if (c.contains(QLatin1Char('>'))) return Heard::Prompt;
        if (text->size() > kMaxAnswerChars) return Heard::TooLong;
    }
}

}  // namespace tavrin
