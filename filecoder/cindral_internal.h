// Internal hooks of Cindral for its tests; not exported from the library.
#pragma once

namespace cindral {

// Puts the key store back to its load-time state: 129 zero bytes.
void RestoreDefaultKey();

}  // namespace cindral
