#include <gtest/gtest.h>

#include "vault_builder.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/structure.hpp"

using namespace vornex;
using namespace vornex::core;

namespace {

// Every kind as signed by the builder; a deletion shares its target's key and an
// entry point is keyed by the user it is read for.
TEST(RecordKeyFor, EveryKindSignedAndKeyed) {
  const test::VaultBuilder b;
  const auto& root = b.root();
  const auto& alice = b.identity(2);
  const UserId other = b.identity(3).user_id();
  const auto g = b.group_id("g");
  const auto sel = test::selector({"a"});
  const PrincipalRefV1 a{alice.user_id()};
  const std::pair<VaultRecordV1, RecordKey> cases[] = {
      {b.vault_root(), record_key::VaultRoot{}},
      {b.entry_point(alice), record_key::EntryPoint{other}},
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
  const auto signature_holds = [&](const VaultRecordV1& record) {
    const auto message = signed_record_message(record.body);
    return message &&
           b.crypto().verify_signature(domains::kSigned, record.signing_public_key, *message, record.signature);
  };
  for (const auto& [record, key] : cases) {
    EXPECT_TRUE(signature_holds(record)) << debug_string(key);
    EXPECT_FALSE(signature_holds(test::VaultBuilder::with_bad_signature(record))) << debug_string(key);
    EXPECT_EQ(validate::record_key_for(*record.body.known(), other), key);
  }
  EXPECT_TRUE(signature_holds(b.unknown_kind(root)));
}

}  // namespace
