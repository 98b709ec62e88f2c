#include <QStringList>

#include "cluster/SessionWords.h"
#include "platform/SystemWords.h"
#include "serial/AdapterFamily.h"
#include "serial/AdapterFinder.h"
#include "serial/AnswerReader.h"
#include "serial/LineSpeeds.h"

// The words for what the adapter and the cluster answered, and for what a
// search for the adapter found.
namespace tavrin::words {

namespace {

QString troubleMeaning(AdapterTrouble trouble) {
    switch (trouble) {
        case AdapterTrouble::UnknownCommand:
            return QStringLiteral("the adapter does not know this command");
        case AdapterTrouble::NoData:
            return QStringLiteral("nothing on the car's bus answered");
        case AdapterTrouble::Stopped:
            return QStringLiteral("the adapter interrupted the request");
        case AdapterTrouble::NoBus:
            return QStringLiteral("the adapter found no bus to talk on");
        case AdapterTrouble::BusTrouble:
            return QStringLiteral("the adapter reported trouble on the car's bus");
        case AdapterTrouble::Damaged:
            return QStringLiteral("the adapter received a damaged answer");
        case AdapterTrouble::Sleeping:
            return QStringLiteral("the adapter reset itself or is going to sleep");
        case AdapterTrouble::General:
            break;
    }
    return QStringLiteral("the adapter reported an error");
}

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
    if (!a.address.isEmpty()) return QStringLiteral("Wi-Fi %1").arg(a.address);
    const QString role = BluetoothRoleText(a.bluetooth);
    return QStringLiteral("COM%1 at %2 bit/s").arg(a.port).arg(a.speed) +
           (role.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(role));
}

QString verdict(const FoundAdapter& a) {
    if (a.capable() && a.formatsAlways)
        return QStringLiteral(
            "the set-up commands answered OK, but for atcaf1, which it does not know: it formats "
            "the car's answers always, which is what the program needs");
    if (a.capable()) return QStringLiteral("all set-up commands answered OK");
    QStringList refusals;
    for (const Refusal& r : a.refusals) refusals << RefusalText(r);
    return QStringLiteral("this adapter cannot be used: it ") +
           refusals.join(QStringLiteral(" and "));
}

QString skippedText(const QList<SkippedPort>& skipped) {
    if (skipped.isEmpty()) return {};
    QStringList parts;
    for (const SkippedPort& s : skipped)
        parts << QStringLiteral("COM%1 (%2)").arg(s.port).arg(SkipReason(s));
    return QStringLiteral("\nSkipped: %1.").arg(parts.join(QStringLiteral(", ")));
}

}  // namespace

QString Describe(const WaitResult& r) {
    switch (r.status) {
        case WaitStatus::Found:
            return QStringLiteral("the expected answer arrived");
        case WaitStatus::TimedOut:
            return r.pendingSeen ? QStringLiteral(
                                       "the cluster asked for more time but then did not answer "
                                       "in time")
                                 : QStringLiteral("the adapter did not answer in time");
        case WaitStatus::AdapterError:
            return QStringLiteral("%1 (it answered \"%2\")")
                .arg(
                    troubleMeaning(AdapterErrorIn(r.adapterText).value_or(AdapterTrouble::General)),
                    r.adapterText);
        case WaitStatus::NegativeResponse:
            return QStringLiteral("the cluster refused the request with code %1 (%2)")
                .arg(NegativeCodeText(r.negativeCode), NegativeResponseMeaning(r.negativeCode));
        case WaitStatus::UnexpectedAnswer:
            return r.adapterText.isEmpty()
                       ? QStringLiteral("the adapter ended its answer without the expected text")
                       : QStringLiteral("the adapter answered \"%1\" instead of the expected text")
                             .arg(r.adapterText);
        case WaitStatus::PortClosed:
            return QStringLiteral("the connection to the adapter was lost");
        case WaitStatus::TooLong:
            return QStringLiteral("the adapter sent a long answer without the expected text");
        case WaitStatus::Abandoned:
            return QStringLiteral("the wait was abandoned");
        case WaitStatus::Cancelled:
            return QStringLiteral("the wait was cancelled");
        case WaitStatus::Unreadable:
            return QStringLiteral("the adapter's answer could not be read");
        case WaitStatus::Unfinished:
            return QStringLiteral(
                "the adapter did not finish its answer: its prompt (\">\") never came");
    }
    return {};
}

QString NegativeResponseMeaning(int code) {
    switch (code) {
        case 0x10:
            return QStringLiteral("general reject");
        case 0x11:
            return QStringLiteral("service not supported");
        case 0x12:
            return QStringLiteral("sub-function not supported or invalid format");
        case 0x13:
            return QStringLiteral("incorrect message length");
        case 0x21:
            return QStringLiteral("busy, repeat request");
        case 0x22:
            return QStringLiteral("conditions not correct");
        case 0x24:
            return QStringLiteral("request sequence error");
        case 0x31:
            return QStringLiteral("request out of range");
        case 0x33:
            return QStringLiteral("security access denied");
        case 0x35:
            return QStringLiteral("invalid key");
        case 0x36:
            return QStringLiteral("exceeded number of attempts");
        case 0x37:
            return QStringLiteral("required time delay not expired");
        case 0x72:
            return QStringLiteral("programming failure");
        case 0x78:
            return QStringLiteral("response pending");
        case 0x7E:
            return QStringLiteral("sub-function not supported in active session");
        case 0x7F:
            return QStringLiteral("service not supported in active session");
        default:
            return QStringLiteral("unknown reason");
    }
}

QString NegativeCodeText(int code) {
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

QString NegativeResponseAdvice(int code, Audience audience) {
    switch (code) {
        case 0x11:
        case 0x12:
        case 0x31:
        case 0x7E:
        case 0x7F:
            return QStringLiteral(
                "This cluster does not allow the request: it is probably not one of the "
                "supported cars.");
        case 0x13:
            return QStringLiteral(
                "The cluster's record has a length this program does not expect; nothing "
                "was changed.");
        case 0x21:
            return QStringLiteral("The cluster is busy: wait a moment and try again.");
        case 0x22:
            return QStringLiteral(
                "The cluster will not do this now. Turn the ignition on with the engine off, "
                "then try again.");
        case 0x24:
            return audience == Audience::Terminal
                       ? QStringLiteral("Run the command again.")
                       : QStringLiteral("Click Disconnect, then Connect, and try again.");
        case 0x33:
            return QStringLiteral(
                "The cluster is locked against changes; this program cannot unlock it.");
        case 0x35:
        case 0x36:
        case 0x37:
            return QStringLiteral("Turn the ignition off, wait ten minutes, then try again.");
        case 0x72:
            return QStringLiteral(
                "The cluster could not store the change. Do not repeat it at once; read the "
                "setting again first.");
        case 0x78:
            return QStringLiteral(
                "The cluster asked for more time and then did not answer. Turn the "
                "ignition off and on, then try again.");
        default:
            return QStringLiteral("Try again; if it happens again, the car may not be supported.");
    }
}

QString RefusalText(const Refusal& r) {
    switch (r.kind) {
        case Refusal::Kind::StoppedAnswering:
            return QStringLiteral("stopped answering at %1").arg(r.command);
        case Refusal::Kind::Unclean:
            return QStringLiteral("gives no clean answer to %1").arg(r.command);
        case Refusal::Kind::UnknownCommand:
            return QStringLiteral("answers ? to %1").arg(r.command);
        case Refusal::Kind::OtherAnswer:
            break;
    }
    return QStringLiteral("answers \"%1\" to %2").arg(r.answer.left(40), r.command);
}

QString SkipReason(const SkippedPort& s) {
    switch (s.probe) {
        case ProbeResult::HeldByThisProgram:
            return QStringLiteral("open in the main window");
        case ProbeResult::InUse:
            return QStringLiteral("in use by another program");
        case ProbeResult::NoPermission:
            return QStringLiteral("no permission; ") + NoPermissionRemedy();
        case ProbeResult::NotFound:
            return QStringLiteral("no longer there");
        case ProbeResult::NoAnswer:
            return QStringLiteral(
                "did not open in time; a Bluetooth adapter may be off or out of range");
        case ProbeResult::Available:
            break;
    }
    return s.openError.isEmpty() ? QStringLiteral("could not be opened") : s.openError;
}

QString DescribeSearch(const FinderReport& report, Audience audience) {
    const bool terminal = audience == Audience::Terminal;
    // How to use what was found: Save in the dialog, the options at a terminal.
    const auto useIt = [terminal](const FoundAdapter& a, const QString& windowText) {
        if (!terminal) return windowText;
        if (!a.address.isEmpty())
            return QStringLiteral("Use it with --port socket://%1; nothing was saved.")
                .arg(a.address);
        return QStringLiteral("Use it with --port %1 --speed %2; nothing was saved.")
            .arg(a.port)
            .arg(a.speed);
    };
    if (report.stopped)
        return terminal ? QStringLiteral("The search was stopped.")
                        : QStringLiteral("The search was stopped; the selection is as it was.");
    if (!report.address.isEmpty()) {
        if (report.reached != NetOpen::Connected) {
            const Message m =
                NetworkUnreachable(*ParseNetworkAddress(report.address), report.reached,
                                   report.systemText, report.connectMs, audience);
            return m.text + QLatin1Char(' ') + m.detail;
        }
        if (report.found.isEmpty())
            return QStringLiteral(
                       "Something answered at %1, but not as an ELM327-type adapter does. Check "
                       "the port: most Wi-Fi adapters use 35000, some 23.")
                .arg(report.address);
    }
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
                   "in (%3), that the ignition is on, and %4.")
                   .arg(portsText(report.searched), speedsText(), BluetoothPortAdvice(),
                        PortAccessCheck()) +
               skipped;
    }
    if (report.found.size() == 1) {
        const FoundAdapter& a = report.found.first();
        const QString caution = AdapterCaution(a.identification, a.chip);
        return QStringLiteral("Found %1 %2 %3: %4. %5")
                   .arg(AdapterSelfName(a.identification, a.chip),
                        a.address.isEmpty() ? QStringLiteral("on") : QStringLiteral("at"), where(a),
                        verdict(a),
                        a.capable() ? useIt(a, QStringLiteral("Press Save to use it."))
                                    : QStringLiteral("A genuine ELM327-type adapter is needed.")) +
               (caution.isEmpty() ? QString() : QStringLiteral("\nThis adapter %1.").arg(caution)) +
               skipped;
    }
    QString text = QStringLiteral("Found %1 adapters:").arg(report.found.size());
    for (const FoundAdapter& a : report.found) {
        const QString caution = AdapterCaution(a.identification, a.chip);
        text += QStringLiteral("\n\u2022 %1 on %2: %3.")
                    .arg(AdapterSelfName(a.identification, a.chip), where(a), verdict(a));
        if (!caution.isEmpty()) text += QStringLiteral(" It %1.").arg(caution);
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

}  // namespace tavrin::words
