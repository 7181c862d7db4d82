#include <gtest/gtest.h>

#include <limits>

#include "vault_builder.hpp"
#include "vornex/core/crypto.hpp"

using namespace vornex;
using namespace vornex::core;

namespace {

bool signature_holds(const test::VaultBuilder& b, const VaultRecordV1& record) {
  const auto message = signed_record_message(record.body);
  return message &&
         b.crypto().verify_signature(domains::kSigned, record.signing_public_key, *message, record.signature);
}

TEST(VaultBuilder, EveryKindIsSignedAndKeyedByWhatItWrites) {
  const test::VaultBuilder b;
  const auto& root = b.root();
  const auto& alice = b.identity(2);
  const auto g = b.group_id("g");
  const auto sel = test::selector({"a"});
  const PrincipalRefV1 a{alice.user_id()};
  const std::pair<VaultRecordV1, RecordKey> cases[] = {
      {b.vault_root(), record_key::VaultRoot{}},
      {b.entry_point(alice), record_key::EntryPoint{alice.user_id()}},
      {b.user(root, alice), record_key::User{alice.user_id()}},
      {b.user_handle(root, "alice", alice.user_id()), record_key::UserHandle{b.user_handle_id("alice")}},
      {b.vault_handle(root, "prod"), record_key::VaultHandle{b.vault_handle_id("prod")}},
      {b.group(root, "g"), record_key::Group{g}},
      {b.group_deleted(root, g), record_key::Group{g}},
      {b.member(root, g, a), record_key::GroupMember{b.member_id(g, a)}},
      {b.member_deleted(root, g, a), record_key::GroupMember{b.member_id(g, a)}},
      {b.grant(root, "x", a, test::manage_permission(test::any_keyspace())), record_key::Grant{b.grant_id("x")}},
      {b.grant_deleted(root, b.grant_id("x"), test::root_permission()), record_key::Grant{b.grant_id("x")}},
      {b.user_deleted(root, alice.user_id()), record_key::User{alice.user_id()}},
      {b.secret(root, sel, {&root, &alice}), record_key::Secret{b.secret_id(sel)}},
      {b.secret_deleted(alice, sel), record_key::Secret{b.secret_id(sel)}},
  };
  for (const auto& [record, key] : cases) {
    EXPECT_TRUE(signature_holds(b, record)) << debug_string(key);
    EXPECT_FALSE(signature_holds(b, test::VaultBuilder::with_bad_signature(record))) << debug_string(key);
    EXPECT_EQ(b.verified(record).key, key);
  }
  EXPECT_EQ(b.verified(b.entry_point(alice)).signer, alice.user_id());
}

TEST(VaultBuilder, SpoiledRecordsStayWellFramed) {
  const test::VaultBuilder b;
  const auto unknown = b.unknown_kind(b.root());
  EXPECT_FALSE(unknown.body.is_known());
  EXPECT_TRUE(signature_holds(b, unknown));
  EXPECT_EQ(cord::deserialize<VaultRecordV1>(cord::serialize(unknown).value()).value(), unknown);

  const std::uint64_t huge = std::uint64_t{1} << 62;
  const auto high = b.verified(b.group(b.root(), "g", huge + 1));
  EXPECT_EQ(record_counter(high.body()), huge + 1);

  const auto twice = b.verified(b.secret(b.root(), test::selector({"a"}), {&b.root(), &b.root()}));
  const auto& slots = std::get<SecretRecordV1>(twice.body()).payload.recipient_slots;
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0].recipient, slots[1].recipient);
}

}  // namespace
