#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "vault_builder.hpp"
#include "vornex/core/validate/structure.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::VaultBuilder;

namespace {

const VaultBuilder& builder() { return vornex::test::shared_builder(); }
const auto& alice() { return builder().identity(2); }
UserId alice_id() { return alice().user_id(); }
constexpr std::uint64_t kCeiling = std::uint64_t{1} << 62;

std::optional<std::string> message_of(const Finding& found) {
  if (!found) return std::nullopt;
  return std::get<issue::InvalidStructure>(*found).message;
}

// A built (and signed) record with one field of its body changed afterwards.
template <class Body, class Edit>
VaultRecordV1 edited(VaultRecordV1 record, Edit edit) {
  edit(std::get<Body>(*record.body.known()));
  return record;
}

SecretSelectorV1 labelled(std::vector<SecretLabelV1> labels) { return SecretSelectorV1{{"app"}, std::move(labels)}; }
KeyspaceSelectorV1 with_labels(std::vector<KeyspaceLabelMatcherV1> labels) {
  return KeyspaceSelectorV1{tuple_matcher::Any{}, std::move(labels)};
}
GrantPermissionV1 manage(std::vector<KeyspaceGrantClassV1> classes) {
  return ManageKeyspaceGrantV1{test::any_keyspace(), std::move(classes)};
}

// A valid and a broken record of every kind; the first broken rule decides.
TEST(StructuralRule, EveryKindAndCheckOrder) {
  const VaultBuilder& b = builder();
  const auto& root = b.root();
  const PrincipalRefV1 a{alice_id()};
  const auto sel = test::selector({"a"});
  const auto check = [&](const VaultRecordV1& record) {
    return message_of(structurally_validate_record(record, *record.body.known(), b.selected_root(), b.crypto()));
  };
  for (const VaultRecordV1& valid :
       {b.vault_root(), b.entry_point(alice()), b.user(alice(), b.identity(3)),  // a user record signed by anyone
        b.user_handle(root, "alice", alice_id()), b.group(root, "ops"),
        b.group_deleted(root, GroupId(HashValue({1, 2}))),  // any id
        b.grant(root, "g", a, manage({grant_class::Read{}, grant_class::Manage{}})), b.user_deleted(root, alice_id()),
        b.secret(root, sel, {}), b.vault_handle(root, "team-1"), b.group_deleted(root, b.group_id("x"), kCeiling)}) {
    EXPECT_EQ(check(valid), std::nullopt) << debug_string(record_key_for(*valid.body.known(), alice_id()));
  }
  auto wrong_root_key = b.vault_root();
  wrong_root_key.signing_public_key = alice().signing_public_key();
  const std::tuple<const char*, VaultRecordV1, std::string> cases[] = {
      {"RootWrongKey", wrong_root_key, "invalid root record"},
      {"EntryPointOtherRoot",
       edited<EntryPointRecordV1>(b.entry_point(alice()), [](auto& e) { e.root_user_id = alice_id(); }),
       "invalid entry point record"},
      {"UserWrongId", edited<UserRecordV1>(b.user(root, alice()), [&](auto& u) { u.user_id = root.user_id(); }),
       "invalid user record"},
      // Its id is still that of "alice".
      {"UserHandleNotNormalised",
       edited<UserHandleRecordV1>(b.user_handle(root, "alice", alice_id()), [](auto& h) { h.handle = "Alice"; }),
       "invalid user handle"},
      {"UserHandleWrongId",
       edited<UserHandleRecordV1>(b.user_handle(root, "alice", alice_id()), [](auto& h) { h.handle = "bob"; }),
       "invalid user handle"},
      {"GroupHandleTooLong",
       edited<GroupRecordV1>(b.group(root, "ops"), [](auto& g) { g.handle = std::string(65, 'a'); }),
       "invalid group record"},
      {"GroupWrongId", edited<GroupRecordV1>(b.group(root, "ops"), [&](auto& g) { g.group_id = b.group_id("dev"); }),
       "invalid group record"},
      {"MemberWrongId",
       edited<GroupMemberRecordV1>(b.member(root, b.group_id("ops"), a),
                                   [&](auto& m) { m.group_id = b.group_id("dev"); }),
       "invalid group membership"},
      {"MemberDeletedWrongId",
       edited<GroupMemberDeletedRecordV1>(b.member_deleted(root, b.group_id("ops"), a),
                                          [&](auto& m) { m.member = PrincipalRefV1{root.user_id()}; }),
       "invalid group membership deletion"},
      {"GrantWrongId",
       edited<GrantRecordV1>(b.grant(root, "g", a, test::root_permission()),
                             [&](auto& g) { g.grant_id = b.grant_id("h"); }),
       "invalid grant"},
      // The permission is judged before the id.
      {"GrantEmptyManageAndWrongId",
       edited<GrantRecordV1>(b.grant(root, "g", a, manage({})), [&](auto& g) { g.grant_id = b.grant_id("h"); }),
       "manage grant must grant at least one class"},
      {"GrantRepeatedClass", b.grant(root, "g", a, manage({grant_class::Write{}, grant_class::Write{}})),
       "manage grant classes must be sorted and unique"},
      {"GrantDeletedEmptyPrefix",
       b.grant_deleted(root, b.grant_id("g"), test::read_permission(KeyspaceSelectorV1{tuple_matcher::Prefix{}, {}})),
       "empty tuple prefix must be encoded as any"},
      {"UserDeletedRoot", b.user_deleted(root, root.user_id()), "invalid user deletion"},
      {"SecretDuplicateReader", b.secret(root, sel, {&alice(), &alice()}), "duplicate recipient slot"},
      // The id is compared before the readers.
      {"SecretWrongIdAndDuplicateReader",
       edited<SecretRecordV1>(b.secret(root, sel, {&alice(), &alice()}),
                              [&](auto& s) { s.secret_id = b.secret_id(test::selector({"b"})); }),
       "invalid secret value"},
      {"SecretUnsortedLabels",
       edited<SecretRecordV1>(b.secret(root, sel, {}),
                              [](auto& s) { s.selector = labelled({{"z", "1"}, {"a", "2"}}); }),
       "secret selector labels must be sorted and unique"},
      {"SecretDeletedWrongId",
       edited<SecretDeletedRecordV1>(b.secret_deleted(root, sel), [](auto& s) { s.selector = test::selector({"b"}); }),
       "invalid secret deletion"},
      {"VaultHandleBadText",
       edited<VaultHandleRecordV1>(b.vault_handle(root, "team-1"), [](auto& h) { h.handle = "-team"; }),
       "invalid vault handle record"},
      // Above the ceiling wins over every other broken rule.
      {"CounterAboveCeiling", b.user_deleted(root, root.user_id(), kCeiling + 1),
       "counter exceeds the supported ceiling"},
  };
  for (const auto& [name, record, message] : cases) EXPECT_EQ(check(record), message) << name;
}

TEST(SelectorRules, LabelOrderAndInMatchers) {
  using M = KeyspaceLabelMatcherV1;
  const auto present = [](const char* key) { return M{key, label_matcher::Present{}}; };
  const auto in = [](const char* key, std::vector<std::string> values) {
    return M{key, label_matcher::In{std::move(values)}};
  };
  const std::string labels = "keyspace selector labels must be sorted and unique";
  const std::pair<KeyspaceSelectorV1, std::optional<std::string>> cases[] = {
      {with_labels({present("a"), present("ab")}), std::nullopt},
      {with_labels({present("ab"), present("a")}), labels},
      {with_labels({present("a"), present("a")}), labels},
      {with_labels({in("a", {})}), "label in matcher must not be empty"},
      {with_labels({in("a", {"x", "x"})}), "label in matcher must be sorted and unique"},
      {with_labels({in("a", {"x", "y"})}), std::nullopt},
      {KeyspaceSelectorV1{tuple_matcher::Exact{}, {}}, std::nullopt},
  };
  for (const auto& [selector, message] : cases) EXPECT_EQ(message_of(validate_keyspace_selector(selector)), message);

  EXPECT_FALSE(validate_secret_selector(labelled({{"a", "2"}, {"b", "1"}})));
  EXPECT_TRUE(validate_secret_selector(labelled({{"a", "1"}, {"a", "2"}})));
  EXPECT_FALSE(validate_permission(manage({grant_class::Read{}, grant_class::Manage{}})));
  EXPECT_EQ(message_of(validate_permission(manage({grant_class::Manage{}, grant_class::Read{}}))),
            "manage grant classes must be sorted and unique");
  EXPECT_EQ(to_issue(CoreError::validation("x")), ValidationIssue(issue::InvalidStructure{"validation failed: x"}));
}

}  // namespace
