#include "vornex/crypto/kdf.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <atomic>
#include <memory>

#include "vornex/core/libcrypto_gate.hpp"

namespace vornex::crypto {

namespace {

struct KdfContextFree {
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};
struct MacContextFree {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

// Fetches `name` once and keeps it for the life of the process: algorithm
// objects are immutable and may be shared. Only a successful fetch is kept.
// A failed one (memory exhausted, say) fails this call alone and the next
// call tries again, instead of leaving the algorithm unusable until the
// process ends.
// The kept object is never freed: freeing it at exit could come after
// libcrypto's own exit-time cleanup. A global still points to it, so leak
// checkers do not count it.
template <class Algorithm>
Algorithm* fetch_once(std::atomic<Algorithm*>& kept, Algorithm* (*fetch)(OSSL_LIB_CTX*, const char*, const char*),
                      void (*release)(Algorithm*), const char* name) {
  if (Algorithm* algorithm = kept.load(std::memory_order_acquire)) return algorithm;
  Algorithm* fetched = fetch(nullptr, name, nullptr);
  if (fetched == nullptr) {
    ERR_clear_error();
    return nullptr;
  }
  Algorithm* expected = nullptr;
  if (kept.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel, std::memory_order_acquire)) {
    return fetched;
  }
  // Another thread kept its own first; use that one.
  release(fetched);
  return expected;
}

constinit std::atomic<EVP_KDF*> kept_hkdf{nullptr};
constinit std::atomic<EVP_MAC*> kept_hmac{nullptr};

EVP_KDF* hkdf() { return fetch_once(kept_hkdf, EVP_KDF_fetch, EVP_KDF_free, "HKDF"); }
EVP_MAC* hmac() { return fetch_once(kept_hmac, EVP_MAC_fetch, EVP_MAC_free, "HMAC"); }

// libcrypto wants a non-null address even for an empty value.
const std::uint8_t* non_null(cord::ByteView bytes) {
  static const std::uint8_t nothing = 0;
  return bytes.empty() ? &nothing : bytes.data();
}

OSSL_PARAM octets(const char* name, cord::ByteView bytes) {
  // Parameters are declared non-const, though libcrypto only reads (and
  // copies) the bytes.
  return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(non_null(bytes)), bytes.size());
}

// HKDF-Expand. libcrypto copies the PRK and the info and cleanses both
// copies when the context is freed.
bool run_expand(cord::ByteView prk, cord::ByteView info, std::span<std::uint8_t> out) {
  const core::LibcryptoCall call;
  EVP_KDF* kdf = hkdf();
  const std::unique_ptr<EVP_KDF_CTX, KdfContextFree> ctx(kdf == nullptr ? nullptr : EVP_KDF_CTX_new(kdf));
  if (!ctx) {
    ERR_clear_error();
    return false;
  }
  char digest[] = "SHA256";
  int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
      octets(OSSL_KDF_PARAM_KEY, prk),
      octets(OSSL_KDF_PARAM_INFO, info),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    // Leave no stale entry for the next libcrypto caller on this thread.
    ERR_clear_error();
    return false;
  }
  return true;
}

}  // namespace

bool hkdf_extract(cord::ByteView salt, cord::ByteView ikm, SecretArray<kSha256Size>& prk) {
  // HKDF-Extract is HMAC keyed with the salt. It goes through libcrypto's
  // HMAC rather than its HKDF because the latter (3.0) frees its copy of
  // the salt without cleansing it, and the HPKE key schedule passes the
  // shared secret as the salt. HMAC clears its copies of key and data.
  const core::LibcryptoCall call;
  EVP_MAC* mac = hmac();
  const std::unique_ptr<EVP_MAC_CTX, MacContextFree> ctx(mac == nullptr ? nullptr : EVP_MAC_CTX_new(mac));
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  std::size_t written = 0;
  // An empty salt is an empty HMAC key, which HMAC pads with zeros: the 32
  // zero bytes RFC 5869 prescribes when no salt is given.
  if (!ctx || EVP_MAC_init(ctx.get(), non_null(salt), salt.size(), params) != 1 ||
      EVP_MAC_update(ctx.get(), non_null(ikm), ikm.size()) != 1 ||
      EVP_MAC_final(ctx.get(), prk.data(), &written, prk.size()) != 1 || written != prk.size()) {
    // A partial result must not pass for a key.
    prk.wipe();
    ERR_clear_error();
    return false;
  }
  return true;
}

bool hkdf_expand(cord::ByteView prk, cord::ByteView info, std::span<std::uint8_t> out) {
  if (out.empty()) return true;
  if (out.size() > kHkdfMaxOutput || !run_expand(prk, info, out)) {
    wipe_bytes(out.data(), out.size());
    return false;
  }
  return true;
}

}  // namespace vornex::crypto
