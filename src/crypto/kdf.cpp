#include "vornex/crypto/kdf.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>
#include <stdexcept>

namespace vornex::crypto {

namespace {

struct KdfFree {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
struct KdfContextFree {
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacContextFree {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

// Fetched once: algorithm objects are immutable and may be shared.
EVP_KDF* hkdf() {
  static const std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  return kdf.get();
}

EVP_MAC* hmac() {
  static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  return mac.get();
}

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

SecretArray<kSha256Size> hkdf_extract(cord::ByteView salt, cord::ByteView ikm) {
  // HKDF-Extract is HMAC keyed with the salt. It goes through libcrypto's
  // HMAC rather than its HKDF because the latter (3.0) frees its copy of
  // the salt without cleansing it, and the HPKE key schedule passes the
  // shared secret as the salt. HMAC clears its copies of key and data.
  EVP_MAC* mac = hmac();
  const std::unique_ptr<EVP_MAC_CTX, MacContextFree> ctx(mac == nullptr ? nullptr : EVP_MAC_CTX_new(mac));
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  SecretArray<kSha256Size> prk;
  std::size_t written = 0;
  // An empty salt is an empty HMAC key, which HMAC pads with zeros: the 32
  // zero bytes RFC 5869 prescribes when no salt is given.
  if (!ctx || EVP_MAC_init(ctx.get(), non_null(salt), salt.size(), params) != 1 ||
      EVP_MAC_update(ctx.get(), non_null(ikm), ikm.size()) != 1 ||
      EVP_MAC_final(ctx.get(), prk.data(), &written, prk.size()) != 1 || written != prk.size()) {
    ERR_clear_error();
    throw std::runtime_error("HKDF extraction failed");
  }
  return prk;
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
