#include "vornex/crypto/library.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <pthread.h>

#include <cstdlib>
#include <mutex>

#include "vornex/core/libcrypto_gate.hpp"

namespace vornex::crypto {

namespace {

void close_gate_at_exit() { core::close_libcrypto_gate(); }

void reset_gate_in_child() { core::reset_libcrypto_gate_after_fork(); }

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
  return ok;
}

}  // namespace vornex::crypto
