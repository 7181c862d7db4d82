// Sealed identities for tests. The system only opens them; a test produces
// them as a compatible sealer would, at the cheapest accepted parameters so
// that each unlock costs milliseconds. Salt and nonce are given, so records
// are reproducible.
#pragma once

#include <stdexcept>
#include <string_view>

#include "cord/codec.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/keychain/passphrase_key.hpp"
#include "vornex/keychain/records.hpp"

namespace vornex::test {

inline keychain::KdfParamsV1 cheapest_kdf() {
  return keychain::KdfParamsV1{std::string(keychain::kArgon2idAlgorithm), keychain::kMinMemoryKib, 1, 1};
}

inline cord::ByteView text_bytes(std::string_view text) {
  return cord::ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

inline keychain::SealedIdentityV1 seal_identity(std::string_view passphrase, cord::ByteView root,
                                                cord::ByteView user, cord::ByteView master_seed,
                                                keychain::KdfParamsV1 kdf = cheapest_kdf(),
                                                cord::Bytes salt = cord::Bytes(16, 0x11),
                                                cord::Bytes nonce = cord::Bytes(12, 0x22)) {
  auto key = keychain::derive_passphrase_key(text_bytes(passphrase), salt, kdf);
  auto aad = keychain::envelope_aad_bytes(root, user);
  auto plaintext = cord::serialize(keychain::LocalIdentityV1{core::SecretBytes(master_seed)});
  if (!key || !aad || !plaintext) throw std::runtime_error("test identity could not be sealed");
  auto ciphertext = crypto::aead_seal(key->view(), nonce, *aad, *plaintext);
  if (!ciphertext) throw std::runtime_error("test identity could not be sealed");
  return keychain::SealedIdentityV1{cord::Bytes(root.begin(), root.end()), cord::Bytes(user.begin(), user.end()),
                                    std::move(kdf), std::move(salt), std::move(nonce), std::move(*ciphertext)};
}

}  // namespace vornex::test
