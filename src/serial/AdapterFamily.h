#pragma once

#include <QString>

namespace tavrin {

// What is known of an adapter from what it says of itself: its banner (the
// answer to "atz" or "ati") and, for the chips that answer it, "sti". Never a
// reason to refuse one: some clones behave well under any name, and some
// genuine chips are copied exactly.
//
// One plain line where the kind is known to need care, naming what the
// adapter said; empty otherwise.
QString AdapterCaution(const QString& banner, const QString& chip = {});

// The banner and chip as one name: "ELM327 v1.3a (STN1110 r4.2.1)".
QString AdapterSelfName(const QString& banner, const QString& chip);

}  // namespace tavrin
