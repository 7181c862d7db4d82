// What both invitation targets check once an invitation is accepted: its
// Cord bytes re-encode to exactly themselves, the seed gives an identity or
// a clear crypto error, and the baseline seeds a trust state that encodes
// and reads back equal.
#pragma once

#include "support.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/keychain/unlock.hpp"
#include "vornex/ops/invite.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::fuzz {

inline void check_invitation(cord::ByteView cord_bytes, const core::InvitationMaterial& material) {
  auto invite = cord::deserialize<core::Invite>(cord_bytes);
  check_ok(invite, "decoding an accepted invitation's bytes as an invitation");
  auto encoded = cord::serialize(*invite);
  check_ok(encoded, "re-encoding an accepted invitation");
  check(same_bytes(*encoded, cord_bytes), "an accepted invitation re-encodes to exactly itself");

  const crypto::Crypto crypto;
  auto provider = keychain::FixedIdentityProvider::from_master_seed(crypto, material.master_seed.view());
  if (!provider) {
    check(provider.error().kind() == keychain::KeychainError::Kind::Crypto, "an invitation's seed is refused clearly",
          provider.error().message());
  }
  if (!material.baseline) return;
  const core::Ratchet seeded = ops::seed_ratchet_from_baseline(material.root, *material.baseline);
  auto bytes = store::encode_ratchet(seeded);
  check_ok(bytes, "encoding a ratchet seeded from an invitation");
  auto back = store::decode_ratchet("ratchet.cord", *bytes);
  check_ok(back, "decoding a ratchet seeded from an invitation");
  check(*back == seeded, "a ratchet seeded from an invitation reads back equal");
}

}  // namespace vornex::fuzz
