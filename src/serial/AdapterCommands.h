#pragma once

namespace tavrin {

// Adapter set-up after the reset, in order; each is answered "OK". The
// connection sends them, and Find Adapter checks that an adapter knows them.
inline constexpr const char* kAdapterSetupCommands[] = {"atcaf1", "atspa6", "atsh720", "ath1"};

}  // namespace tavrin
