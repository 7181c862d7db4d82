#include <sodium.h>

#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

void wipe_bytes(void* data, std::size_t size) noexcept {
  if (size != 0) sodium_memzero(data, size);
}

}  // namespace vornex::crypto
