#include "cluster/SessionWords.h"

#include <QDir>

#include "runtime/AdapterLine.h"
#include "runtime/NetLine.h"
#include "serial/AnswerReader.h"
#include "serial/LineSpeeds.h"
#include "serial/NetworkAddress.h"
#include "serial/PortCheck.h"

namespace tavrin {

Message ErrorMessage(const QString& text, const QString& detail) {
    return Message{text, QStringLiteral("Error!"), MessageIcon::Critical, detail};
}

namespace words {

namespace {

bool atTerminal(Audience a) {
    return a == Audience::Terminal;
}

// How the advice ends: what to do to try again.
QString tryAgain(Audience a) {
    return atTerminal(a) ? QStringLiteral("then run the command again.")
                         : QStringLiteral("then click Connect to try again.");
}

// Where the line speed is changed, and how the adapter's is found.
QString chooseSpeed(Audience a) {
    return atTerminal(a)
               ? QStringLiteral("Give its speed with --speed (tavrin --find can find it)")
               : QStringLiteral("Choose its speed in Setup (Find Adapter there can find it)");
}

// A time limit in words: "6 seconds", "1 second", "0.3 seconds".
QString secondsText(int ms) {
    if (ms == 1000) return QStringLiteral("1 second");
    return QStringLiteral("%1 seconds")
        .arg(ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'g', 3));
}

// The system's own words about a failure, as a detail after the user's words.
QString systemText(const QString& reason) {
    return reason.isEmpty() ? QString() : QStringLiteral("\n\nSystem message: %1").arg(reason);
}

// The line speed is probably not the adapter's, and where to set it.
QString speedAdvice(Audience a) {
    return (atTerminal(a) ? QStringLiteral("the line speed is probably not the adapter's. ")
                          : QStringLiteral("the line speed set in Setup is probably not the "
                                           "adapter's. ")) +
           chooseSpeed(a) + QStringLiteral(", ") + tryAgain(a);
}

// An answer that went wrong as a wrong line speed makes it go wrong, and the
// port reported line errors as it came: the speed is the likely cause.
bool speedSuspect(const WaitResult& r) {
    if (!r.lineErrors.any()) return false;
    switch (r.status) {
        case WaitStatus::Found:  // arrived, but could not be parsed
        case WaitStatus::TimedOut:
        case WaitStatus::UnexpectedAnswer:
        case WaitStatus::TooLong:
        case WaitStatus::Unreadable:
        case WaitStatus::Unfinished:
            return true;
        default:
            return false;
    }
}

QString lineErrorsAdvice(const WaitResult& r, Audience a) {
    return QStringLiteral("The port reported %1 with the answer: ")
               .arg(LineErrorsText(r.lineErrors)) +
           speedAdvice(a);
}

// What the user can do after a failed wait, in words.
QString adviceFor(const WaitResult& r, Audience a) {
    if (speedSuspect(r)) return lineErrorsAdvice(r, a);
    switch (r.status) {
        case WaitStatus::AdapterError: {
            const QString& said = r.adapterText;
            if (said == QLatin1String("?"))
                return QStringLiteral(
                    "The adapter does not know this command. Some low-cost adapter "
                    "clones lack commands; a genuine ELM327-type adapter is needed.");
            if (said.contains(QLatin1String("STOPPED")))
                return QStringLiteral(
                           "The adapter stops a request when anything reaches it while it works on "
                           "one: another program using the same adapter, or a faulty cable or "
                           "Bluetooth link sending stray characters. Close other programs that use "
                           "the adapter and check its connection, ") +
                       tryAgain(a);
            if (said.contains(QLatin1String("ALERT")) || said.contains(QLatin1String("LV RESET")))
                return QStringLiteral("This usually means low voltage: check the car's battery, ") +
                       tryAgain(a);
            if (said.contains(QLatin1String("BUS")) || said.contains(QLatin1String("CAN ERROR")))
                return QStringLiteral(
                           "Check that the adapter sits firmly in the car's socket and that the "
                           "ignition is on, ") +
                       tryAgain(a);
            return QStringLiteral(
                       "Check that the ignition is on and that the car is a supported model, ") +
                   tryAgain(a);
        }
        case WaitStatus::NegativeResponse:
            return NegativeResponseAdvice(r.negativeCode, a);
        case WaitStatus::TimedOut:
        case WaitStatus::Unfinished:
            return QStringLiteral("Check the adapter's cable and that the ignition is on, ") +
                   tryAgain(a);
        case WaitStatus::PortClosed:
            if (r.network)
                return QStringLiteral(
                           "The Wi-Fi adapter closed the connection, lost power, or this "
                           "computer left its network. Join the adapter's network again, ") +
                       tryAgain(a) + systemText(r.adapterText);
            return QStringLiteral(
                       "The adapter was unplugged, lost power, or its Bluetooth link dropped. "
                       "Plug it in again, ") +
                   tryAgain(a) + systemText(r.adapterText);
        case WaitStatus::Unreadable: {
            QString advice = speedAdvice(a);
            advice[0] = advice[0].toUpper();
            return advice;
        }
        default:
            return (atTerminal(a)
                        ? QStringLiteral("The adapter's answer did not make sense. Check the line "
                                         "speed (--speed) ")
                        : QStringLiteral("The adapter's answer did not make sense. Check the line "
                                         "speed in Setup ")) +
                   QStringLiteral("and that the adapter is an ELM327-type adapter, ") + tryAgain(a);
    }
}

}  // namespace

Message PortCheck(const QString& detail, Audience a) {
    // At a terminal the window's shouted title would only get in the way.
    if (atTerminal(a)) return ErrorMessage(QStringLiteral("The port cannot be used."), detail);
    return Message{QStringLiteral("ERROR! Comm Port is either in use or not found!"),
                   QStringLiteral("ERROR!"), MessageIcon::Critical, detail};
}

Message InvalidSpeed(const QString& speed, Audience a) {
    return Message{
        QStringLiteral("The line speed \"%1\" cannot be used.").arg(speed),
        QStringLiteral("ERROR!"), MessageIcon::Critical,
        atTerminal(a)
            ? QStringLiteral("Give one of the speeds %1 with --speed.").arg(OfferedSpeedsText())
            : QStringLiteral("Choose one of the speeds %1 in Setup, then click Connect again.")
                  .arg(OfferedSpeedsText())};
}

Message OpenFailed(const QString& port, const QString& reason, Audience a) {
    return PortCheck(QStringLiteral("%1 could not be opened. Unplug and replug the adapter and "
                                    "try again.")
                             .arg(port) +
                         systemText(reason),
                     a);
}

Message OpenCancelled(const QString& port, Audience) {
    return Message{QStringLiteral("Connect was cancelled."), QStringLiteral("Connect"),
                   MessageIcon::Information, OpenCancelledDetail(port)};
}

Message ConnectionFailed(const QString& command, const WaitResult& result, const QString& port,
                         const QString& speed, Audience a) {
    if (result.status == WaitStatus::Unreadable || speedSuspect(result)) {
        const QString heard =
            result.lineErrors.any()
                ? QStringLiteral(": the port reported %1").arg(LineErrorsText(result.lineErrors))
                : QString();
        return ErrorMessage(
            QStringLiteral("The adapter's answers could not be read: the line speed is "
                           "probably wrong."),
            QStringLiteral("%1 is set to %2 bit/s, and the adapter seems to use another "
                           "speed%3. ")
                    .arg(port, speed, heard) +
                chooseSpeed(a) +
                (atTerminal(a) ? QStringLiteral(".")
                               : QStringLiteral(", then click Connect again.")));
    }
    return ErrorMessage(
        QStringLiteral("Connection failed at \"%1\": %2.").arg(command, Describe(result)),
        adviceFor(result, a));
}

Message Watchdog(const TimeLimits& limits, Audience a) {
    const QString within = secondsText(limits.watchdogMs);
    return ErrorMessage(
        QStringLiteral("Unable to Connect To ELM"),
        atTerminal(a)
            ? QStringLiteral("The adapter did not finish answering within %1. Check that the "
                             "ignition is on and the adapter's cable is in, and that --port and "
                             "--speed are the adapter's (tavrin --find can find them), then run "
                             "the command again.")
                  .arg(within)
            : QStringLiteral("The adapter did not finish answering within %1. Check that the "
                             "ignition is on and the adapter's cable is in, and that the port "
                             "and speed in Setup are the adapter's (Find Adapter there can find "
                             "them), then click Connect to try again.")
                  .arg(within));
}

Message PortLost(const QString& reason, Audience a) {
    return ErrorMessage(
        QStringLiteral("The connection to the adapter was lost: it was unplugged, lost power, "
                       "or its Bluetooth link dropped."),
        (atTerminal(a) ? QStringLiteral("Plug it in again, then run the command again.")
                       : QStringLiteral("Plug it in again, then click Connect.")) +
            systemText(reason));
}

Message NetworkLost(const QString& reason, Audience a) {
    return ErrorMessage(
        QStringLiteral("The connection to the Wi-Fi adapter was lost: the adapter closed it, lost "
                       "power, or this computer left the adapter's network."),
        (atTerminal(a) ? QStringLiteral("Join the adapter's network again, then run the command "
                                        "again.")
                       : QStringLiteral("Join the adapter's network again, then click Connect.")) +
            systemText(reason));
}

Message NetworkUnreachable(const NetworkAddress& address, NetOpen why, const QString& system,
                           int limitMs, Audience a) {
    const QString text =
        QStringLiteral("The Wi-Fi adapter at %1 could not be reached.").arg(address.text());
    const QString join = QStringLiteral(
        "Check that this computer has joined the adapter's own Wi-Fi network (its name is often "
        "\"WiFi_OBDII\" or similar) and that the ignition is on, ");
    QString detail;
    switch (why) {
        case NetOpen::Refused:
            detail = QStringLiteral(
                         "Something is at %1, but nothing listens on port %2 there. Most Wi-Fi "
                         "adapters use port 35000, some 23: check the port, ")
                         .arg(address.host)
                         .arg(address.port) +
                     tryAgain(a);
            break;
        case NetOpen::HostNotFound:
            detail = QStringLiteral(
                         "The name %1 could not be looked up. Give the adapter's "
                         "address in figures (usually %2), ")
                         .arg(address.host, QLatin1String(kDefaultNetworkHost)) +
                     tryAgain(a);
            break;
        case NetOpen::Unreachable:
            detail =
                QStringLiteral("There is no way to %1 from this computer. ").arg(address.host) +
                join + tryAgain(a);
            break;
        case NetOpen::TimedOut:
            detail = QStringLiteral("%1 did not answer within %2. ")
                         .arg(address.text(), secondsText(limitMs)) +
                     join + tryAgain(a);
            break;
        case NetOpen::NotAllowed:
            detail = QStringLiteral(
                "This run may reach addresses on this computer only (TAVRIN_LOOPBACK_ONLY is "
                "set).");
            break;
        default:
            detail = join + tryAgain(a);
            break;
    }
    return Message{text, QStringLiteral("ERROR!"), MessageIcon::Critical,
                   detail + systemText(system)};
}

Message NetworkAddressInvalid(const QString& text, Audience a) {
    return Message{QStringLiteral("The Wi-Fi adapter's address \"%1\" cannot be used.").arg(text),
                   QStringLiteral("ERROR!"), MessageIcon::Critical,
                   atTerminal(a)
                       ? QStringLiteral("Give it as --port socket://HOST:PORT, for example "
                                        "socket://%1:%2.")
                             .arg(QLatin1String(kDefaultNetworkHost))
                             .arg(kDefaultNetworkPort)
                       : QStringLiteral("Choose Wi-Fi adapter in Setup and give its address and "
                                        "port, then click Connect again.")};
}

Message ReadFailed(const WaitResult& result, Audience a) {
    return ErrorMessage(
        QStringLiteral("The police mode setting could not be read: %1.").arg(Describe(result)),
        QStringLiteral("The setting shown may be out of date. ") + adviceFor(result, a));
}

Message ReadGarbled(const WaitResult& result, Audience a) {
    return ErrorMessage(
        QStringLiteral("The police mode setting could not be read: the "
                       "cluster's answer was incomplete or garbled."),
        QStringLiteral("The setting shown may be out of date.") +
            (speedSuspect(result) ? QLatin1Char(' ') + lineErrorsAdvice(result, a) : QString()));
}

Message ChangeReadFailed(const WaitResult& result, Audience a) {
    return ErrorMessage(QStringLiteral("The police mode record could not be read, so nothing "
                                       "was written: %1.")
                            .arg(Describe(result)),
                        adviceFor(result, a));
}

Message ChangeNotIdentified() {
    return ErrorMessage(QStringLiteral("Nothing was written to the cluster: it was not "
                                       "identified in this connection."),
                        QStringLiteral("Connect again, then try the change once more."));
}

Message ChangeLineLost(const WaitResult& result, Audience a) {
    return ErrorMessage(QStringLiteral("Nothing was written to the cluster: the connection to "
                                       "the adapter was lost before the change."),
                        adviceFor(result, a));
}

Message ChangeReadGarbled(const WaitResult& result, Audience a) {
    return ErrorMessage(
        QStringLiteral("The police mode record could not be read completely, so nothing "
                       "was written to the cluster."),
        speedSuspect(result)
            ? QStringLiteral("The cluster's answer was incomplete or garbled. ") +
                  lineErrorsAdvice(result, a)
            : QStringLiteral("The cluster's answer was incomplete or garbled. Try again."));
}

Message ChangeNotSafe() {
    return ErrorMessage(
        QStringLiteral("The change was not written: the record to write did not match the "
                       "record read."));
}

Message ChangeUnsettled() {
    return ErrorMessage(
        QStringLiteral("The adapter sent more than the answer to the read, so nothing was "
                       "written to the cluster."),
        QStringLiteral("An answer that came late to an earlier request could have been taken "
                       "for the cluster's record. Try again."));
}

Message ChangeNotRecorded(const QString& historyPath, const QString& error) {
    return ErrorMessage(
        QStringLiteral("The change was not written: the write history could not be saved."),
        QStringLiteral("Before every change the program notes what the cluster held in %1, "
                       "and that file could not be written: %2. Check that the folder can be "
                       "written and the disk is not full, then try again.")
            .arg(QDir::toNativeSeparators(historyPath), error));
}

Message ChangeNotApplied(const QString& before) {
    return ErrorMessage(QStringLiteral("The cluster acknowledged the change but did not apply "
                                       "it: police mode is still %1.")
                            .arg(before));
}

Message ChangeRefused(const WaitResult& result, Audience a) {
    return ErrorMessage(
        QStringLiteral("The cluster refused the change: %1.").arg(Describe(result)),
        NegativeResponseAdvice(result.negativeCode, a) +
            (atTerminal(a) ? QStringLiteral(" The setting printed is the one the cluster "
                                            "reports now.")
                           : QStringLiteral(" The setting shown is the one the cluster reports "
                                            "now.")));
}

Message ChangeNotConfirmed(const WaitResult& result, const QString& afterText, Audience a) {
    if (result.status == WaitStatus::PortClosed) {
        return ErrorMessage(
            QStringLiteral("The connection to the adapter was lost during the change; it may "
                           "or may not have been applied."),
            (result.network ? QStringLiteral("Join the adapter's Wi-Fi network again")
                            : QStringLiteral("Plug the adapter in again")) +
                (atTerminal(a) ? QStringLiteral(" and check police mode with tavrin --status.")
                               : QStringLiteral(", click Connect and check police mode.")) +
                systemText(result.adapterText));
    }
    QString now =
        QStringLiteral("Police mode now reads %1, as read back from the cluster.").arg(afterText);
    if (afterText.isEmpty()) {
        now = atTerminal(a) ? QStringLiteral(
                                  "It could not be read back: once the adapter answers "
                                  "again, tavrin --status shows what the cluster holds.")
                            : QStringLiteral(
                                  "It could not be read back: once the adapter answers "
                                  "again, click Connect to see what the cluster holds.");
    }
    return ErrorMessage(QStringLiteral("The cluster did not confirm the change (%1); it may or "
                                       "may not have been applied.")
                            .arg(Describe(result)),
                        now);
}

Message HistoryNotWritten(const QString& historyPath, const QString& error) {
    return Message{
        QStringLiteral("The outcome of the change could not be added to the write history."),
        QStringLiteral("Error!"), MessageIcon::Warning,
        QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(historyPath), error)};
}

namespace {

// The outcome column's words, one row for each outcome a change can end
// with; %1 and %2 stand for what varies. The user guide and the manual page
// list the same outcomes, and a test holds them to this table.
enum class OutcomeRow {
    Applied,
    NotApplied,
    NotReadBack,
    Refused,
    NoAnswer,
    PortLost,
    AdapterError,
    Unfinished,
    Unexpected,
    Resent,
    Rows
};

QString outcome(OutcomeRow row) {
    switch (row) {
        case OutcomeRow::Applied:
            return QStringLiteral("applied");
        case OutcomeRow::NotApplied:
            return QStringLiteral("not applied");
        case OutcomeRow::NotReadBack:
            return QStringLiteral("acknowledged, not read back");
        case OutcomeRow::Refused:
            return QStringLiteral("refused %1 (%2)");
        case OutcomeRow::NoAnswer:
            return QStringLiteral("no answer");
        case OutcomeRow::PortLost:
            return QStringLiteral("port lost");
        case OutcomeRow::AdapterError:
            return QStringLiteral("adapter error %1");
        case OutcomeRow::Unfinished:
            return QStringLiteral("answer not finished");
        case OutcomeRow::Unexpected:
            return QStringLiteral("unexpected answer");
        case OutcomeRow::Resent:
            return QStringLiteral("%1 (sent again after STOPPED)");
        case OutcomeRow::Rows:
            break;
    }
    return {};
}

}  // namespace

QStringList OutcomeForms() {
    QStringList forms;
    for (int row = 0; row < int(OutcomeRow::Rows); ++row) forms << outcome(OutcomeRow(row));
    return forms;
}

QString OutcomeApplied() {
    return outcome(OutcomeRow::Applied);
}

QString OutcomeNotApplied() {
    return outcome(OutcomeRow::NotApplied);
}

QString OutcomeNotReadBack() {
    return outcome(OutcomeRow::NotReadBack);
}

QString OutcomeRefused(int code) {
    return outcome(OutcomeRow::Refused).arg(NegativeCodeText(code), NegativeResponseMeaning(code));
}

QString OutcomeResent(const QString& outcomeText) {
    return outcome(OutcomeRow::Resent).arg(outcomeText);
}

QString OutcomeUnconfirmed(const WaitResult& r) {
    switch (r.status) {
        case WaitStatus::TimedOut:
            return outcome(OutcomeRow::NoAnswer);
        case WaitStatus::PortClosed:
            return outcome(OutcomeRow::PortLost);
        case WaitStatus::AdapterError:
            return outcome(OutcomeRow::AdapterError).arg(r.adapterText);
        case WaitStatus::Unfinished:
            return outcome(OutcomeRow::Unfinished);
        default:
            return outcome(OutcomeRow::Unexpected);
    }
}

}  // namespace words
}  // namespace tavrin
