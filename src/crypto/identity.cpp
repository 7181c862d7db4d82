#include "vornex/crypto/identity.hpp"

#include <string_view>
#include <utility>

#include "vornex/crypto/hpke.hpp"
#include "vornex/crypto/kdf.hpp"

namespace vornex::crypto {

namespace {

cord::ByteView ascii(std::string_view text) {
  return cord::ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// These do not follow the usual "vornex.<purpose>.v1" form, and must stay
// exactly as they are: every user id ever issued depends on them.
constexpr std::string_view kIdentitySalt = "kestrel-seed-lbl-1";
constexpr std::string_view kEd25519Info = "kestrel-seed-lbl-1.ed25519";
constexpr std::string_view kX25519Info = "kestrel-seed-lbl-1.x25519";

}  // namespace

core::CryptoResult<IdentityKeys> derive_identity_keys(cord::ByteView master_seed) {
  if (master_seed.size() != kMasterSeedSize) {
    return std::unexpected(
        core::CryptoError::invalid_byte_length("identity master seed", kMasterSeedSize, master_seed.size()));
  }
  // Every intermediate below is a SecretArray, zeroed on every way out.
  SecretArray<kSha256Size> prk;
  // The extraction feeds both keys. Its failure is reported as the Ed25519
  // key's, the first key derived from it and so the first one that could
  // not be made.
  if (!hkdf_extract(ascii(kIdentitySalt), master_seed, prk)) {
    return std::unexpected(core::CryptoError::invalid_ed25519_secret_key());
  }
  SecretArray<kEd25519SeedSize> ed25519_secret;
  if (!hkdf_expand(prk.view(), ascii(kEd25519Info), ed25519_secret.span())) {
    return std::unexpected(core::CryptoError::invalid_ed25519_secret_key());
  }
  SecretArray<kX25519KeySize> x25519_material;
  if (!hkdf_expand(prk.view(), ascii(kX25519Info), x25519_material.span())) {
    return std::unexpected(core::CryptoError::invalid_hpke_private_key());
  }
  // Fails only with "invalid HPKE private key".
  auto hpke_keypair = hpke::derive_key_pair(x25519_material.view());
  if (!hpke_keypair) return std::unexpected(std::move(hpke_keypair).error());
  return IdentityKeys{SigningKeypair::from_seed(ed25519_secret.view()), std::move(*hpke_keypair)};
}

Identity::Identity(core::UserId user_id, cord::ByteView master_seed, IdentityKeys keys)
    : user_id_(std::move(user_id)),
      signing_public_key_(keys.signing_key.public_key().begin(), keys.signing_key.public_key().end()),
      hpke_public_key_(keys.hpke_keypair.public_key.begin(), keys.hpke_keypair.public_key.end()),
      master_seed_(master_seed),
      signing_key_(std::move(keys.signing_key)),
      hpke_keypair_(std::move(keys.hpke_keypair)) {}

core::CryptoResult<Identity> Identity::from_master_seed(const core::CryptoProvider& provider,
                                                        cord::ByteView master_seed) {
  VX_TRY_ASSIGN(IdentityKeys keys, derive_identity_keys(master_seed));
  const auto& signing_public = keys.signing_key.public_key();
  const auto& hpke_public = keys.hpke_keypair.public_key;
  VX_TRY_ASSIGN(core::UserId user_id, core::derive_user_id(provider, signing_public, hpke_public));
  return Identity(std::move(user_id), master_seed, std::move(keys));
}

cord::Bytes Identity::sign(cord::ByteView domain, cord::ByteView message) const {
  return signing_key_.sign(domain, message);
}

}  // namespace vornex::crypto
