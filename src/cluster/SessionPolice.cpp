// The police-mode setting: its read, and the change that reads the record,
// writes it back with the one bit inverted and reads it again, in the order
// of the wire.
#include "cluster/ClusterSession.h"
#include "core/Defines.h"
#include "platform/AdapterLine.h"

namespace tavrin {

namespace {

const QString kPoliceRead = QStringLiteral("2103");
const QString kPoliceReadPrefix = QStringLiteral("61 03 ");
const QString kPoliceWritePrefix = QStringLiteral("7B 03");
const QString kLineEnd = QStringLiteral("\r");

// The pauses before and after the write, in milliseconds.
constexpr int kAroundWriteMs = 500;

}  // namespace

QCoro::Task<std::optional<cluster::PoliceRecord>> ClusterSession::PoliceModeRead(Failure* failure,
                                                                                 Stop stop) {
    QString phase1;
    QString phase2;
    const bool answered =
        co_await prefixedExchange(kPoliceRead, kPoliceReadPrefix, &phase1, &phase2, failure, stop);
    if (!answered) co_return std::nullopt;
    co_return cluster::ApplyPoliceRead(d_, phase1, phase2);
}

QCoro::Task<std::optional<cluster::PoliceRecord>> ClusterSession::readPoliceMode(
    QList<Message>* messages, Stop stop) {
    Failure failure;
    const std::optional<cluster::PoliceRecord> read = co_await PoliceModeRead(&failure, stop);
    if (!read) {
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the operation silently
        } else if (failure.result.ok()) {
            messages->append(words::ReadGarbled());
        } else {
            messages->append(words::ReadFailed(failure.result, host_.audience));
        }
        co_return std::nullopt;
    }
    emit policeModeShown(read->label());
    co_return read;
}

QCoro::Task<SessionReport> ClusterSession::ReadPoliceMode(Stop stop) {
    SessionReport report;
    const std::optional<cluster::PoliceRecord> read =
        co_await readPoliceMode(&report.messages, stop);
    if (!read) report.status = stop.requested() ? SessionStatus::Cancelled : SessionStatus::Failed;
    co_return report;
}

QCoro::Task<ClusterSession::Written> ClusterSession::WritePoliceMode(cluster::PoliceRecord read,
                                                                     QString history,
                                                                     Failure* failure, Stop stop) {
    Written w;
    // Built from the record this change read, and from nothing else.
    w.request = cluster::PoliceWriteRequest(read);
    if (!d_.ClusterReady) co_return w;
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
    failure->command = w.request;
    WaitResult r = co_await exchange_->Ask(w.request, kPoliceWritePrefix, stop);
    const bool resent = r.resent;
    if (r.ok()) r = co_await exchange_->WaitFor(kLineEnd, stop, r.buffer);
    r.resent = resent;
    failure->result = r;
    if (r.ok()) {
        w.outcome = WriteOutcome::Acknowledged;
    } else {
        w.outcome = r.status == WaitStatus::NegativeResponse ? WriteOutcome::Refused
                                                             : WriteOutcome::NotConfirmed;
    }
    co_return w;
}

QCoro::Task<PoliceReport> ClusterSession::ChangePoliceMode(std::optional<bool> wanted, Stop stop) {
    PoliceReport report;
    report.status = SessionStatus::Failed;
    // The history file of this change, whatever is saved meanwhile.
    const QString history = historyPath();

    // The record is read afresh in this same change: the write is built
    // from nothing older.
    Failure failure;
    const std::optional<cluster::PoliceRecord> read = co_await PoliceModeRead(&failure, stop);
    if (!read) {
        if (failure.result.status == WaitStatus::Cancelled) {
            closePort();  // a cancel ends the change silently
            report.status = SessionStatus::Cancelled;
        } else if (failure.result.ok()) {
            report.messages << words::ChangeReadGarbled();
        } else {
            report.messages << words::ChangeReadFailed(failure.result, host_.audience);
        }
        co_return report;
    }
    const QString before = read->label();
    report.before = before;
    if (wanted && (before == QLatin1String("ON")) == *wanted) {
        report.change = PoliceChange::AlreadySo;
        report.status = SessionStatus::Done;
        emit policeModeShown(before);
        co_return report;
    }
    // Cancel still ends the change during the pause before the write.
    const bool paused = co_await exchange_->Pause(kAroundWriteMs, stop);
    if (!paused) {
        closePort();
        report.status = SessionStatus::Cancelled;
        co_return report;
    }
    // The pause lets the line settle: all that may wait now is the prompt
    // that ends the read's own answer. Anything more is an answer the read
    // may have been taken from in error, such as one to an earlier request
    // that came too late, and no write may rest on it.
    if (!exchange_->settled()) {
        report.messages << words::ChangeUnsettled();
        co_return report;
    }

    // From here on the change runs to its end: once the request is on the
    // wire it cannot be called back, and the read afterwards is what tells
    // whether it was applied. Only letting go of the whole operation (the
    // program ending) still stops its waits.
    emit writeCommitted();
    const Stop committed = stop.withoutCancel();
    const Written written = co_await WritePoliceMode(*read, history, &failure, committed);
    const bool sent = written.outcome == WriteOutcome::Acknowledged ||
                      written.outcome == WriteOutcome::Refused ||
                      written.outcome == WriteOutcome::NotConfirmed;
    if (sent) report.change = PoliceChange::Written;
    co_await exchange_->Pause(kAroundWriteMs, committed);
    // A lost port has been reported already; reading it again would only
    // repeat that. A change let go of sends nothing more.
    std::optional<cluster::PoliceRecord> readBack;
    if (port_->PortOpen() && !committed.requested())
        readBack = co_await readPoliceMode(&report.messages, committed);
    judgeChange(written, failure, before, readBack, history, &report);
    co_return report;
}

void ClusterSession::judgeChange(const Written& written, const Failure& failure,
                                 const QString& before,
                                 const std::optional<cluster::PoliceRecord>& readBack,
                                 const QString& history, PoliceReport* report) {
    const QString after = readBack ? readBack->label() : QString();
    // What the read back shows decides, whenever there is one: a write the
    // adapter stopped may have been applied although its resend was refused.
    const bool applied = readBack && after != before;
    QString outcome;
    switch (written.outcome) {
        case WriteOutcome::Acknowledged:
        case WriteOutcome::Refused:
        case WriteOutcome::NotConfirmed:
            if (applied) {
                outcome = words::OutcomeApplied();
                report->status = SessionStatus::Done;
            } else if (written.outcome == WriteOutcome::Acknowledged) {
                outcome = readBack ? words::OutcomeNotApplied() : words::OutcomeNotReadBack();
                if (readBack) report->messages << words::ChangeNotApplied(before);
            } else if (written.outcome == WriteOutcome::Refused) {
                outcome = words::OutcomeRefused(failure.result.negativeCode);
                report->messages << words::ChangeRefused(failure.result, host_.audience);
            } else {
                outcome = words::OutcomeUnconfirmed(failure.result);
                report->messages << words::ChangeNotConfirmed(failure.result, after,
                                                              host_.audience);
            }
            if (failure.result.resent) outcome = words::OutcomeResent(outcome);
            break;
        case WriteOutcome::NotSafe:
            report->messages << words::ChangeNotSafe();
            return;
        case WriteOutcome::NotRecorded:
            report->messages << words::ChangeNotRecorded(history, written.historyError);
            return;
        case WriteOutcome::Skipped:
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
