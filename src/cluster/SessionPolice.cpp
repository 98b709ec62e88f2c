// The police-mode setting: its read, and the change that reads the record,
// writes it back with the one bit inverted and reads it again, in the order
// of the wire.
#include "cluster/ClusterSession.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"

namespace tavrin {

namespace {

const QString kPoliceReadPrefix = QStringLiteral("61 03 ");
const QString kPoliceWritePrefix = QStringLiteral("7B 03");
const QString kLineEnd = QStringLiteral("\r");

// The pauses before and after the write, in milliseconds.
constexpr int kAroundWriteMs = 500;

}  // namespace

QCoro::Task<ClusterSession::Read> ClusterSession::readRecord(Stop stop) {
    Read read;
    const Prefixed answer =
        co_await prefixedExchange(QLatin1String(kPoliceReadCommand), kPoliceReadPrefix, stop);
    read.failure = answer.failure;
    if (answer.failure.ok())
        read.record = cluster::ApplyPoliceRead(d_, answer.phase1, answer.remainder);
    co_return read;
}

QCoro::Task<ClusterSession::Read> ClusterSession::ReadPoliceMode(Stop stop) {
    const Read read = co_await readRecord(stop);
    if (read.record) emit policeModeShown(read.record->label());
    co_return read;
}

Message ClusterSession::readFailedWords(const Failure& failure) const {
    return failure.result.ok() ? words::ReadGarbled(failure.result, host_.audience)
                               : words::ReadFailed(failure.result, host_.audience);
}

QCoro::Task<ClusterSession::Written> ClusterSession::WritePoliceMode(cluster::PoliceRecord read,
                                                                     QString history, Stop stop) {
    Written w;
    // Built from the record this change read, and from nothing else.
    w.request = cluster::PoliceWriteRequest(read);
    w.failure.command = w.request;
    if (!port_->PortOpen()) {
        w.outcome = WriteOutcome::NotSent;
        w.failure.result = exchange_->closedLine();
        co_return w;
    }
    if (!d_.ClusterReady) {
        w.outcome = WriteOutcome::NotSent;
        w.failure.words = words::ChangeNotIdentified();
        co_return w;
    }
    // Last line of defence, computed independently of the bit table.
    if (!writeCheck_ || !writeCheck_(read.text(), w.request)) {
        w.outcome = WriteOutcome::NotSafe;
        co_return w;
    }
    // What the cluster held must be on the disk before the change is made.
    if (!recordHistory(history, QStringLiteral("before"), read.text(), w.request, {},
                       &w.historyError)) {
        w.outcome = WriteOutcome::NotRecorded;
        co_return w;
    }
    // Nothing stands between this and the wire any more.
    emit writeCommitted();
    WaitResult r = co_await exchange_->Ask(w.request, kPoliceWritePrefix, stop);
    const bool resent = r.resent;
    if (r.ok()) r = co_await exchange_->WaitFor(kLineEnd, stop, r.buffer);
    r.resent = resent;
    w.failure.result = r;
    if (r.ok()) {
        w.outcome = WriteOutcome::Acknowledged;
    } else {
        w.outcome = r.status == WaitStatus::NegativeResponse ? WriteOutcome::Refused
                                                             : WriteOutcome::NotConfirmed;
    }
    co_return w;
}

QCoro::Task<PoliceReport> ClusterSession::ChangePoliceMode(std::optional<bool> wanted, Stop stop) {
    PoliceReport report = co_await changeSteps(wanted, stop);
    endOperation(&report);
    co_return report;
}

QCoro::Task<PoliceReport> ClusterSession::changeSteps(std::optional<bool> wanted, Stop stop) {
    PoliceReport report;
    report.status = SessionStatus::Failed;
    // The history file of this change, whatever is saved meanwhile.
    const QString history = historyPath();

    // The record is read afresh in this same change: the write is built
    // from nothing older.
    const Read read = co_await readRecord(stop);
    if (!read.record) {
        const WaitResult& r = read.failure.result;
        if (r.status == WaitStatus::Cancelled) {
            report.status = SessionStatus::Cancelled;  // a cancel ends the change silently
        } else if (r.ok()) {
            report.messages << words::ChangeReadGarbled(r, host_.audience);
        } else {
            report.messages << words::ChangeReadFailed(r, host_.audience);
        }
        co_return report;
    }
    const QString before = read.record->label();
    report.before = before;
    if (wanted && (before == QLatin1String("ON")) == *wanted) {
        report.change = PoliceChange::AlreadySo;
        report.status = SessionStatus::Done;
        emit policeModeShown(before);
        co_return report;
    }
    // Cancel still ends the change during the pause before the write.
    const WaitResult paused = co_await exchange_->Pause(kAroundWriteMs, stop);
    if (paused.status == WaitStatus::Cancelled) {
        report.status = SessionStatus::Cancelled;
        co_return report;
    }
    if (!paused.ok()) {
        report.messages << words::ChangeLineLost(paused, host_.audience);
        co_return report;
    }
    // The pause lets the line settle: nothing may have come since the read's
    // answer ended. Anything more is an answer the read may have been taken
    // from in error, such as one to an earlier request that came too late,
    // and no write may rest on it.
    if (port_->PortOpen() && !exchange_->settled()) {
        report.messages << words::ChangeUnsettled();
        co_return report;
    }

    // From the write on the change runs to its end: once the request is on
    // the wire it cannot be called back, and the read afterwards is what
    // tells whether it was applied. Only letting go of the whole operation
    // (the program ending) still stops its waits.
    const Stop committed = stop.withoutCancel();
    const Written written = co_await WritePoliceMode(*read.record, history, committed);
    const bool sent = written.outcome == WriteOutcome::Acknowledged ||
                      written.outcome == WriteOutcome::Refused ||
                      written.outcome == WriteOutcome::NotConfirmed;
    if (sent) report.change = PoliceChange::Written;
    // The line lost after the write went out: what the cluster holds now is
    // not known, and that is what is said and recorded.
    std::optional<WaitResult> lost;
    if (written.failure.result.status == WaitStatus::PortClosed) lost = written.failure.result;
    std::optional<cluster::PoliceRecord> readBack;
    if (!lost) {
        const WaitResult after = co_await exchange_->Pause(kAroundWriteMs, committed);
        if (after.status == WaitStatus::PortClosed) {
            lost = after;
        } else if (after.ok()) {
            const Read again = co_await ReadPoliceMode(committed);
            readBack = again.record;
            const WaitResult& r = again.failure.result;
            if (r.status == WaitStatus::PortClosed) {
                lost = r;
            } else if (!again.record && r.status != WaitStatus::Cancelled) {
                report.messages << readFailedWords(again.failure);
            }
        }
    }
    judgeChange(written, before, readBack, lost, history, &report);
    co_return report;
}

void ClusterSession::judgeChange(const Written& written, const QString& before,
                                 const std::optional<cluster::PoliceRecord>& readBack,
                                 const std::optional<WaitResult>& lost, const QString& history,
                                 PoliceReport* report) {
    const WaitResult& result = written.failure.result;
    const QString after = readBack ? readBack->label() : QString();
    // What the read back shows decides, whenever there is one: a write the
    // adapter stopped may have been applied although its resend was refused.
    const bool applied = readBack && after != before;
    QString outcome;
    switch (written.outcome) {
        case WriteOutcome::Acknowledged:
        case WriteOutcome::Refused:
        case WriteOutcome::NotConfirmed:
            if (lost) {
                outcome = words::OutcomeUnconfirmed(*lost);
                report->messages << words::ChangeNotConfirmed(*lost, QString(), host_.audience);
            } else if (applied) {
                outcome = words::OutcomeApplied();
                report->status = SessionStatus::Done;
            } else if (written.outcome == WriteOutcome::Acknowledged) {
                outcome = readBack ? words::OutcomeNotApplied() : words::OutcomeNotReadBack();
                if (readBack) report->messages << words::ChangeNotApplied(before);
            } else if (written.outcome == WriteOutcome::Refused) {
                outcome = words::OutcomeRefused(result.negativeCode);
                report->messages << words::ChangeRefused(result, host_.audience);
            } else {
                outcome = words::OutcomeUnconfirmed(result);
                report->messages << words::ChangeNotConfirmed(result, after, host_.audience);
            }
            if (result.resent) outcome = words::OutcomeResent(outcome);
            break;
        case WriteOutcome::NotSent:
            report->messages << (written.failure.words
                                     ? *written.failure.words
                                     : words::ChangeLineLost(result, host_.audience));
            return;
        case WriteOutcome::NotSafe:
            report->messages << words::ChangeNotSafe();
            return;
        case WriteOutcome::NotRecorded:
            report->messages << words::ChangeNotRecorded(history, written.historyError);
            return;
    }

    // The setting shown before the write is no longer known to hold.
    if (!readBack) emit policeModeUnknown();
    QString error;
    const QString readBackText = readBack ? readBack->text() : QString();
    if (!recordHistory(history, QStringLiteral("after"), readBackText, written.request, outcome,
                       &error)) {
        report->messages << words::HistoryNotWritten(history, error);
    }
}

}  // namespace tavrin
