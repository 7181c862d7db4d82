#include "vornex/keychain/passphrase_key.hpp"

#include <argon2.h>

#include <algorithm>

#include "cord/codec.hpp"
#include "vornex/core/secret.hpp"
#include "vornex/crypto/aead.hpp"

namespace vornex::keychain {

namespace {

bool kdf_accepted(cord::ByteView salt, const KdfParamsV1& kdf) {
  return salt.size() == kSaltSize && kdf.algorithm == kArgon2idAlgorithm && kdf.memory_kib >= kMinMemoryKib &&
         kdf.memory_kib <= kMaxMemoryKib && kdf.iterations >= kMinIterations && kdf.iterations <= kMaxIterations &&
         kdf.lanes >= kMinLanes && kdf.lanes <= kMaxLanes;
}

// Wipes a plaintext buffer, its spare capacity included, on every way out.
class WipedOnExit {
 public:
  explicit WipedOnExit(cord::Bytes& bytes) : bytes_(bytes) {}
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;
  ~WipedOnExit() { core::secure_wipe(bytes_.data(), bytes_.capacity()); }

 private:
  cord::Bytes& bytes_;
};

}  // namespace

KeychainResult<cord::Bytes> envelope_aad_bytes(cord::ByteView root, cord::ByteView user) {
  auto encoded = cord::serialize(SealedIdentityAadV1{cord::Bytes(root.begin(), root.end()),
                                                     cord::Bytes(user.begin(), user.end())});
  if (!encoded) return std::unexpected(KeychainError(std::move(encoded).error()));
  return std::move(*encoded);
}

KeychainResult<PassphraseKey> derive_passphrase_key(cord::ByteView passphrase, cord::ByteView salt,
                                                    const KdfParamsV1& kdf) {
  if (!kdf_accepted(salt, kdf)) return std::unexpected(KeychainError::invalid_kdf_params());
  if (passphrase.size() > ARGON2_MAX_PWD_LENGTH) {
    return std::unexpected(KeychainError::argon2(argon2_error_message(ARGON2_PWD_TOO_LONG)));
  }
  PassphraseKey key;
  // Lanes come from the record and shape the result; one thread computes
  // them all, since this system starts no threads. The library is asked
  // not to touch the inputs, which stay the caller's to wipe.
  argon2_context context{};
  context.out = key.data();
  context.outlen = static_cast<std::uint32_t>(key.size());
  context.pwd = const_cast<std::uint8_t*>(passphrase.data());
  context.pwdlen = static_cast<std::uint32_t>(passphrase.size());
  context.salt = const_cast<std::uint8_t*>(salt.data());
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.t_cost = kdf.iterations;
  context.m_cost = kdf.memory_kib;
  context.lanes = kdf.lanes;
  context.threads = 1;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  if (const int result = argon2_ctx(&context, Argon2_id); result != ARGON2_OK) {
    return std::unexpected(KeychainError::argon2(argon2_error_message(result)));
  }
  return key;
}

KeychainResult<LocalIdentityV1> open_local_identity(cord::ByteView passphrase, cord::ByteView root,
                                                    cord::ByteView user, const SealedIdentityV1& sealed) {
  if (!std::ranges::equal(sealed.root, root) || !std::ranges::equal(sealed.user, user) ||
      sealed.nonce.size() != kSealNonceSize) {
    return std::unexpected(KeychainError::inconsistent(core::UserId(core::HashValue(cord::Bytes(user.begin(), user.end())))));
  }
  auto aad = envelope_aad_bytes(sealed.root, sealed.user);
  if (!aad) return std::unexpected(std::move(aad).error());
  auto key = derive_passphrase_key(passphrase, sealed.salt, sealed.kdf);
  if (!key) return std::unexpected(std::move(key).error());
  auto opened = crypto::aead_open(key->view(), sealed.nonce, *aad, sealed.ciphertext);
  if (!opened) return std::unexpected(KeychainError::unlock_failed());
  const WipedOnExit wipe(*opened);
  auto local = cord::deserialize<LocalIdentityV1>(*opened);
  if (!local) return std::unexpected(KeychainError(std::move(local).error()));
  return std::move(*local);
}

KeychainResult<crypto::Identity> identity_from_local(const crypto::Crypto& crypto, const LocalIdentityV1& local) {
  auto identity = crypto::Identity::from_master_seed(crypto, local.master_seed.view());
  if (!identity) return std::unexpected(KeychainError(std::move(identity).error()));
  return std::move(*identity);
}

}  // namespace vornex::keychain
