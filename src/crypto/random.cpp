#include "vornex/crypto/random.hpp"

#include <sodium.h>
#include <unistd.h>

#include <stdexcept>

#include "sodium.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

void fill_random(std::span<std::uint8_t> out) {
  detail::ensure_sodium();
  static_assert(randombytes_SEEDBYTES == 32);
  SecretArray<randombytes_SEEDBYTES> seed;
  if (getentropy(seed.data(), seed.size()) != 0) throw std::runtime_error("entropy source failed");
  if (!out.empty()) randombytes_buf_deterministic(out.data(), out.size(), seed.data());
}

cord::Bytes random_seed() {
  cord::Bytes seed(32);
  fill_random(seed);
  return seed;
}

}  // namespace vornex::crypto
