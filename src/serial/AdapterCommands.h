#pragma once

#include <QString>

#include "serial/AnswerReader.h"

namespace tavrin {

// Adapter set-up after the reset, in order; each is answered "OK". The
// connection sends them, and Find Adapter checks that an adapter knows them.
inline constexpr const char* kAdapterSetupCommands[] = {"atcaf1", "atspa6", "atsh720", "ath1"};

// The set-up command that turns CAN formatting on. Formatting is on after a
// reset on every ELM327-type adapter, so one that does not know the command
// ("?"; many Wi-Fi adapters cannot switch formatting) formats always, and
// can still be used.
inline constexpr char kFormattingOn[] = "atcaf1";

// Whether an answer to a set-up command is such an adapter's "?".
inline bool FormattingAlwaysOn(const QString& command, const WaitResult& result) {
    return command == QLatin1String(kFormattingOn) && result.status == WaitStatus::AdapterError &&
           AdapterErrorIn(result.adapterText) == AdapterTrouble::UnknownCommand;
}

}  // namespace tavrin
