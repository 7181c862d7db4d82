// Lower-case hexadecimal, the one spelling of bytes in file names, messages
// and references.
#pragma once

#include <string>

#include "cord/wire.hpp"

namespace vornex::core {

std::string hex_lower(cord::ByteView bytes);

}  // namespace vornex::core
