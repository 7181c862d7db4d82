#include "sodium.hpp"

#include <sodium.h>

#include <stdexcept>

namespace vornex::crypto::detail {

void ensure_sodium() {
  // A function-local static runs its initialiser once, even under races.
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium could not be initialised");
}

}  // namespace vornex::crypto::detail
