// libsodium must be initialised before its first use. Every entry point
// that calls it goes through here; only the first successful call does
// any work.
#pragma once

namespace vornex::crypto::detail {

// Throws std::runtime_error if the library cannot start, which leaves no
// primitive to work with.
void ensure_sodium();

}  // namespace vornex::crypto::detail
