#include "vornex/crypto/library.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>

namespace vornex::crypto {

bool start_libraries() noexcept {
  if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1) return true;
  ERR_clear_error();
  return false;
}

}  // namespace vornex::crypto
