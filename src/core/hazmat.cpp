#include "vornex/core/hazmat.hpp"

#include <string>

namespace vornex::core {

std::string HazmatError::message() const {
  if (const auto* core = core_error()) return "core error: " + core->message();
  return "signer identity does not match signing public key";
}

}  // namespace vornex::core
