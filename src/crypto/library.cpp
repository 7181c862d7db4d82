#include "vornex/crypto/library.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <pthread.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "sodium.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/libcrypto_gate.hpp"
#include "vornex/crypto/kdf.hpp"

namespace vornex::crypto {

namespace {

void close_gate_at_exit() { core::close_libcrypto_gate(); }

void reset_gate_in_child() { core::reset_libcrypto_gate_after_fork(); }

// Each primitive once, as an opening would use it: the libraries start
// what they need on first use (libsodium picks its implementations,
// libcrypto loads its providers and fetches the algorithms we keep), each
// under a lock of its own. A fork that caught one of those half done would
// leave the lock held in the child for ever.
bool use_every_primitive() noexcept {
  try {
    detail::ensure_sodium();
    (void)core::domain_hash({}, {});
    static constexpr std::array<std::uint8_t, 1> kSample{0};
    SecretArray<kSha256Size> prk;
    std::array<std::uint8_t, kSha256Size> out{};
    return hkdf_extract(kSample, kSample, prk) && hkdf_expand(prk.view(), kSample, out);
  } catch (const std::exception&) {
    return false;  // a library that cannot start, or memory exhausted
  }
}

}  // namespace

bool start_libraries() noexcept {
  if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) != 1) {
    ERR_clear_error();
    return false;
  }
  // Registered after libcrypto's own exit handler, if another user of the
  // process started it with one, so that this one runs first.
  static std::once_flag& registered = *new std::once_flag;
  bool ok = true;
  std::call_once(registered, [&] {
    ok = std::atexit(close_gate_at_exit) == 0 && ::pthread_atfork(nullptr, nullptr, reset_gate_in_child) == 0;
  });
  return ok && use_every_primitive();
}

}  // namespace vornex::crypto
