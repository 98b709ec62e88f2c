#pragma once

#include <QStringList>

#include "Conversation.h"

namespace tavrin::fuzz {

// The safety rules of a conversation, checked on what crossed the line and
// what landed on the disk, without any of the program's own helpers: it
// keeps its own knowledge of the police-mode bit and reads the cluster's
// answers itself. Returns the rules broken, each in words; none when the run
// kept them all.
QStringList Judge(const Record& record);

// The run as a person reads it: one line per event, with its time.
QStringList Transcript(const Record& record);

}  // namespace tavrin::fuzz
