// A user's identity: the user id and two key pairs (Ed25519 for signing
// records, X25519 for receiving content keys), all derived from one 32-byte
// master seed, the only secret that is ever stored or handed over.
#pragma once

#include "cord/wire.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/secret.hpp"
#include "vornex/crypto/ed25519.hpp"
#include "vornex/crypto/x25519.hpp"

namespace vornex::crypto {

inline constexpr std::size_t kMasterSeedSize = 32;

struct IdentityKeys {
  SigningKeypair signing_key;
  X25519KeyPair hpke_keypair;
};

// The two key pairs of a master seed. Fails with the invalid-byte-length
// error for "identity master seed" unless the seed is 32 bytes, and, should
// a key derivation fail, with "invalid Ed25519 secret key" or "invalid HPKE
// private key" for the key it could not derive.
core::CryptoResult<IdentityKeys> derive_identity_keys(cord::ByteView master_seed);

// Move-only; the master seed and both private keys are zeroed when it is
// dropped. Never changed after construction.
class Identity final : public core::RecordSigner {
 public:
  // The only way to make one. The user id comes from `provider`'s hash.
  static core::CryptoResult<Identity> from_master_seed(const core::CryptoProvider& provider,
                                                       cord::ByteView master_seed);

  Identity(Identity&&) = default;
  Identity& operator=(Identity&&) = default;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;
  ~Identity() override = default;

  const core::UserId& user_id() const { return user_id_; }
  const cord::Bytes& signing_public_key() const { return signing_public_key_; }
  const cord::Bytes& hpke_public_key() const { return hpke_public_key_; }
  const core::SecretBytes& master_seed() const { return master_seed_; }
  const SigningKeypair& signing_key() const { return signing_key_; }
  const X25519KeyPair& hpke_keypair() const { return hpke_keypair_; }
  const X25519PrivateKey& hpke_private_key() const { return hpke_keypair_.private_key; }

  // Ed25519 by the signing key over the signature transcript.
  cord::Bytes sign(cord::ByteView domain, cord::ByteView message) const override;

 private:
  Identity(core::UserId user_id, cord::ByteView master_seed, IdentityKeys keys);

  core::UserId user_id_;
  cord::Bytes signing_public_key_;
  cord::Bytes hpke_public_key_;
  core::SecretBytes master_seed_;
  SigningKeypair signing_key_;
  X25519KeyPair hpke_keypair_;

  // Lets tests forge an inconsistent identity, which nothing else can.
  friend struct IdentityTestAccess;
};

}  // namespace vornex::crypto
