// Random values. Every call seeds a ChaCha-based generator of its own with
// 32 bytes of operating-system entropy; no generator is shared between
// calls or threads.
#pragma once

#include <cstdint>
#include <span>

#include "cord/wire.hpp"

namespace vornex::crypto {

// Fills `out` with fresh random bytes. A failing entropy source throws
// std::runtime_error: there is nothing sound to fall back on.
void fill_random(std::span<std::uint8_t> out);

// 32 fresh random bytes.
cord::Bytes random_seed();

}  // namespace vornex::crypto
