// Identities from a fixed master seed, checked against values computed
// independently (support.hpp), and the signed records they build.
#include <gtest/gtest.h>

#include <limits>

#include "support.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/signed_records.hpp"

namespace vornex::crypto {
// Forges what no constructor can: an identity whose user id was altered.
struct IdentityTestAccess {
  static void set_user_id(Identity& identity, core::UserId user_id) { identity.user_id_ = std::move(user_id); }
};
}  // namespace vornex::crypto

namespace {

using namespace vornex;
using namespace vornex::crypto;
using namespace vornex::test;

Identity fixed_identity() { return Identity::from_master_seed(Crypto(), kSeed).value(); }

TEST(Identity, DerivedFromSeed) {
  const Identity identity = fixed_identity();
  EXPECT_EQ(identity.signing_public_key(), kSigningPublic);
  EXPECT_EQ(identity.hpke_public_key(), kHpkePublic);
  EXPECT_EQ(to_bytes(identity.hpke_private_key().view()), kHpkePrivate);
  EXPECT_EQ(identity.user_id().to_vec(), kUserId);
  EXPECT_EQ(to_bytes(identity.master_seed().view()), kSeed);
  // Ed25519 signing is deterministic, so this pins the secret key too.
  EXPECT_EQ(identity.sign(core::domains::kSigned, text("hello")), kHelloSignature);
}

TEST(Identity, SeedMustBe32Bytes) {
  for (const std::size_t size : {0u, 31u, 33u}) {
    const auto identity = Identity::from_master_seed(Crypto(), Bytes(size, 7));
    ASSERT_FALSE(identity.has_value());
    EXPECT_EQ(identity.error(), core::CryptoError::invalid_byte_length("identity master seed", 32, size));
  }
}

core::SecretSelectorV1 selector() { return core::SecretSelectorV1{{"db", "password"}, {{"env", "prod"}}}; }
core::SealedPayloadV1 payload() {
  const core::RecipientSlotV1 slot{kUserId, Bytes(32, 3), Bytes(48, 4)};
  return core::SealedPayloadV1{Bytes(12, 1), Bytes(20, 2), {slot}};
}

// As validation checks it: the envelope's key over the signed message of
// its body, under "vornex.signed.v1" and no other domain.
void expect_verifies(const core::VaultRecordV1& record) {
  const Bytes message = core::signed_record_message(record.body).value();
  const Crypto crypto;
  EXPECT_EQ(record.signing_public_key, kSigningPublic);
  EXPECT_TRUE(crypto.verify_signature(core::domains::kSigned, record.signing_public_key, message, record.signature));
  EXPECT_FALSE(
      crypto.verify_signature(core::domains::kVerificationCache, record.signing_public_key, message, record.signature));
}

TEST(SignedRecords, SecretAndDeletion) {
  const Crypto crypto;
  const Identity identity = fixed_identity();
  const core::SecretId id = core::derive_secret_id(crypto, selector()).value();
  for (const std::uint64_t counter : {std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()}) {
    const auto record = secret_record(crypto, identity, selector(), payload(), counter).value();
    expect_verifies(record);
    EXPECT_EQ(record.body, core::RecordBodyV1(core::SecretRecordV1{id, selector(), payload(), counter}));
    const auto deletion = secret_deleted_record(crypto, identity, selector(), counter).value();
    expect_verifies(deletion);
    EXPECT_EQ(deletion.body, core::RecordBodyV1(core::SecretDeletedRecordV1{id, selector(), counter}));
  }

  // Built twice, the same record: appending the copy changes nothing.
  RecordSet records;
  append_record(records, secret_record(crypto, identity, selector(), payload(), 3).value());
  append_record(records, secret_record(crypto, identity, selector(), payload(), 3).value());
  EXPECT_EQ(records.size(), 1u);
  append_record(records, secret_record(crypto, identity, selector(), payload(), 4).value());
  EXPECT_EQ(records.size(), 2u);
}

TEST(SignedRecords, AlteredIdentityCannotSign) {
  const Crypto crypto;
  Identity identity = fixed_identity();
  const core::UserId real = identity.user_id();
  EXPECT_EQ(ensure_identity_consistent(crypto, identity), real);

  const core::UserId forged(core::HashValue(Bytes(32, 0xEE)));
  IdentityTestAccess::set_user_id(identity, forged);
  const auto mismatch = core::HazmatError::identity_mismatch(forged, real);
  EXPECT_EQ(ensure_identity_consistent(crypto, identity).error(), mismatch);
  for (const auto& built : {
           secret_record(crypto, identity, selector(), payload(), 1),
           secret_deleted_record(crypto, identity, selector(), 1),
           signed_payload(crypto, identity, core::SecretDeletedRecordV1{}),
       }) {
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error(), mismatch);
    EXPECT_EQ(built.error().message(), "signer identity does not match signing public key");
  }
}

}  // namespace
