#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "runtime/Host.h"

namespace tavrin {

struct FinderReport;
struct NetworkAddress;
enum class NetOpen;
struct Refusal;
struct SkippedPort;
struct WaitResult;

// A message box's content for a failure: critical icon, title "Error!".
Message ErrorMessage(const QString& text, const QString& detail = {});

// Everything the cluster session tells the user, and the outcome words of
// the write history, in one place: the conversation code only chooses which.
namespace words {

// Advice names what the audience can do: a button or dialog of the window, or
// an option of the command line. The window's words are the messages it has
// always shown.

// The port check before a connection attempt, with what the probe found.
Message PortCheck(const QString& detail, Audience a);
// The configured line speed is not one a port can be set to.
Message InvalidSpeed(const QString& speed, Audience a);
// The port would not open, for a reason other than the check's.
Message OpenFailed(const QString& port, const QString& reason, Audience a);
// Connect was cancelled while the port was still opening.
Message OpenCancelled(const QString& port, Audience a);
// A connection attempt on port ("COM3") ended at command.
Message ConnectionFailed(const QString& command, const WaitResult& result, const QString& port,
                         const QString& speed, Audience a);
// The connection watchdog ran out.
Message Watchdog(const TimeLimits& limits, Audience a);
// The port vanished while nothing was being asked.
Message PortLost(const QString& reason, Audience a);
// The Wi-Fi adapter closed the connection, or the network dropped it.
Message NetworkLost(const QString& reason, Audience a);
// The Wi-Fi adapter could not be reached, and why.
// limitMs: the time the attempt had to reach the adapter.
Message NetworkUnreachable(const NetworkAddress& address, NetOpen why, const QString& systemText,
                           int limitMs, Audience a);
// The settings name a Wi-Fi adapter by an address that cannot be used.
Message NetworkAddressInvalid(const QString& text, Audience a);

// The police-mode read after Connect or after a change.
Message ReadFailed(const WaitResult& result, Audience a);
// The answer arrived but could not be parsed (result: how its wait ended).
Message ReadGarbled(const WaitResult& result, Audience a);

// A police-mode change that never reached the write.
Message ChangeReadFailed(const WaitResult& result, Audience a);
Message ChangeReadGarbled(const WaitResult& result, Audience a);
Message ChangeNotSafe();
// More than the read's answer arrived before the write.
Message ChangeUnsettled();
Message ChangeNotIdentified();
// The line went before the write: nothing was written.
Message ChangeLineLost(const WaitResult& result, Audience a);
Message ChangeNotRecorded(const QString& historyPath, const QString& error);
// A write that went out.
Message ChangeNotApplied(const QString& before);
Message ChangeRefused(const WaitResult& result, Audience a);
// afterText: police mode as read back, or empty when it could not be.
Message ChangeNotConfirmed(const WaitResult& result, const QString& afterText, Audience a);
Message HistoryNotWritten(const QString& historyPath, const QString& error);

// How a wait for the adapter ended, in plain words.
QString Describe(const WaitResult& result);
// A negative response code as the adapter prints it: "22", "7F".
QString NegativeCodeText(int code);
// Meaning of a negative response code, in words.
QString NegativeResponseMeaning(int code);
// What the user can do about a negative response code.
QString NegativeResponseAdvice(int code, Audience audience = Audience::Window);

// The outcome of a search for the adapter, for the user.
QString DescribeSearch(const FinderReport& report, Audience audience = Audience::Window);
// What a set-up command got instead of "OK", as the end of "it ...".
QString RefusalText(const Refusal& refusal);
// Why a search left a port alone.
QString SkipReason(const SkippedPort& skipped);

// The outcome column of the write history.
// Every outcome's words, with %1 and %2 where a code or a text goes: what
// the documents' lists of outcomes are checked against.
QStringList OutcomeForms();
QString OutcomeApplied();
QString OutcomeNotApplied();
QString OutcomeNotReadBack();
QString OutcomeRefused(int code);
QString OutcomeUnconfirmed(const WaitResult& result);
// An outcome whose write the adapter stopped and that went out again.
QString OutcomeResent(const QString& outcome);

}  // namespace words
}  // namespace tavrin
