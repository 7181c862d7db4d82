#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "vault_builder.hpp"
#include "vornex/core/validate/structure.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::VaultBuilder;

namespace {

const VaultBuilder& builder() { return vornex::test::shared_builder(); }

std::optional<std::string> message_of(const Finding& found) {
  if (!found) return std::nullopt;
  return std::get<issue::InvalidStructure>(*found).message;
}

template <class Body>
Body& as(VaultRecordV1& record) {
  return std::get<Body>(*record.body.known());
}

struct RuleCase {
  const char* name;
  std::function<VaultRecordV1(const VaultBuilder&)> make;
  std::optional<std::string> message;
};

class StructuralRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(StructuralRule, FirstBrokenRuleDecides) {
  const VaultBuilder& b = builder();
  const VaultRecordV1 record = GetParam().make(b);
  EXPECT_EQ(message_of(structurally_validate_record(record, *record.body.known(), b.selected_root(), b.crypto())),
            GetParam().message);
}

SecretSelectorV1 labelled(std::vector<SecretLabelV1> labels) { return SecretSelectorV1{{"app"}, std::move(labels)}; }

KeyspaceSelectorV1 with_labels(std::vector<KeyspaceLabelMatcherV1> labels) {
  return KeyspaceSelectorV1{tuple_matcher::Any{}, std::move(labels)};
}

GrantPermissionV1 manage(std::vector<KeyspaceGrantClassV1> classes) {
  return ManageKeyspaceGrantV1{test::any_keyspace(), std::move(classes)};
}

constexpr std::uint64_t kCeiling = std::uint64_t{1} << 62;

const auto& alice() { return builder().identity(2); }
UserId alice_id() { return alice().user_id(); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, StructuralRule,
    ::testing::Values(
        RuleCase{"RootValid", [](const auto& b) { return b.vault_root(); }, std::nullopt},
        RuleCase{"RootWrongKey",
                 [](const auto& b) {
                   auto r = b.vault_root();
                   r.signing_public_key = alice().signing_public_key();
                   return r;
                 },
                 "invalid root record"},
        RuleCase{"EntryPointValid", [](const auto& b) { return b.entry_point(alice()); }, std::nullopt},
        RuleCase{"EntryPointOtherRoot",
                 [](const auto& b) {
                   auto r = b.entry_point(alice());
                   as<EntryPointRecordV1>(r).root_user_id = alice_id();
                   return r;
                 },
                 "invalid entry point record"},
        RuleCase{"UserValidSignedByAnyone", [](const auto& b) { return b.user(alice(), b.identity(3)); }, std::nullopt},
        RuleCase{"UserWrongId",
                 [](const auto& b) {
                   auto r = b.user(b.root(), alice());
                   as<UserRecordV1>(r).user_id = b.root().user_id();
                   return r;
                 },
                 "invalid user record"},
        RuleCase{"UserHandleValid", [](const auto& b) { return b.user_handle(b.root(), "alice", alice_id()); },
                 std::nullopt},
        RuleCase{"UserHandleNotNormalised",
                 [](const auto& b) {
                   auto r = b.user_handle(b.root(), "alice", alice_id());
                   as<UserHandleRecordV1>(r).handle = "Alice";  // its id is still that of "alice"
                   return r;
                 },
                 "invalid user handle"},
        RuleCase{"UserHandleWrongId",
                 [](const auto& b) {
                   auto r = b.user_handle(b.root(), "alice", alice_id());
                   as<UserHandleRecordV1>(r).handle = "bob";
                   return r;
                 },
                 "invalid user handle"},
        RuleCase{"GroupValid", [](const auto& b) { return b.group(b.root(), "ops"); }, std::nullopt},
        RuleCase{"GroupHandleTooLong",
                 [](const auto& b) {
                   auto r = b.group(b.root(), "ops");
                   as<GroupRecordV1>(r).handle = std::string(65, 'a');
                   return r;
                 },
                 "invalid group record"},
        RuleCase{"GroupWrongId",
                 [](const auto& b) {
                   auto r = b.group(b.root(), "ops");
                   as<GroupRecordV1>(r).group_id = b.group_id("dev");
                   return r;
                 },
                 "invalid group record"},
        RuleCase{"GroupDeletedAnyId",
                 [](const auto& b) { return b.group_deleted(b.root(), GroupId(HashValue({1, 2}))); }, std::nullopt},
        RuleCase{"MemberWrongId",
                 [](const auto& b) {
                   auto r = b.member(b.root(), b.group_id("ops"), PrincipalRefV1{alice_id()});
                   as<GroupMemberRecordV1>(r).group_id = b.group_id("dev");
                   return r;
                 },
                 "invalid group membership"},
        RuleCase{"MemberDeletedWrongId",
                 [](const auto& b) {
                   auto r = b.member_deleted(b.root(), b.group_id("ops"), PrincipalRefV1{alice_id()});
                   as<GroupMemberDeletedRecordV1>(r).member = PrincipalRefV1{b.root().user_id()};
                   return r;
                 },
                 "invalid group membership deletion"},
        RuleCase{"GrantValid",
                 [](const auto& b) { return b.grant(b.root(), "g", PrincipalRefV1{alice_id()}, manage({grant_class::Read{}, grant_class::Manage{}})); },
                 std::nullopt},
        RuleCase{"GrantWrongId",
                 [](const auto& b) {
                   auto r = b.grant(b.root(), "g", PrincipalRefV1{alice_id()}, test::root_permission());
                   as<GrantRecordV1>(r).grant_id = b.grant_id("h");
                   return r;
                 },
                 "invalid grant"},
        // The permission is judged before the id.
        RuleCase{"GrantEmptyManageAndWrongId",
                 [](const auto& b) {
                   auto r = b.grant(b.root(), "g", PrincipalRefV1{alice_id()}, manage({}));
                   as<GrantRecordV1>(r).grant_id = b.grant_id("h");
                   return r;
                 },
                 "manage grant must grant at least one class"},
        RuleCase{"GrantRepeatedClass",
                 [](const auto& b) {
                   return b.grant(b.root(), "g", PrincipalRefV1{alice_id()},
                                  manage({grant_class::Write{}, grant_class::Write{}}));
                 },
                 "manage grant classes must be sorted and unique"},
        RuleCase{"GrantDeletedEmptyPrefix",
                 [](const auto& b) {
                   return b.grant_deleted(b.root(), b.grant_id("g"),
                                          test::read_permission(KeyspaceSelectorV1{tuple_matcher::Prefix{}, {}}));
                 },
                 "empty tuple prefix must be encoded as any"},
        RuleCase{"UserDeletedOther", [](const auto& b) { return b.user_deleted(b.root(), alice_id()); }, std::nullopt},
        RuleCase{"UserDeletedRoot", [](const auto& b) { return b.user_deleted(b.root(), b.root().user_id()); },
                 "invalid user deletion"},
        RuleCase{"SecretValidNoReaders", [](const auto& b) { return b.secret(b.root(), test::selector({"a"}), {}); },
                 std::nullopt},
        RuleCase{"SecretDuplicateReader",
                 [](const auto& b) { return b.secret(b.root(), test::selector({"a"}), {&alice(), &alice()}); },
                 "duplicate recipient slot"},
        // The id is compared before the readers.
        RuleCase{"SecretWrongIdAndDuplicateReader",
                 [](const auto& b) {
                   auto r = b.secret(b.root(), test::selector({"a"}), {&alice(), &alice()});
                   as<SecretRecordV1>(r).secret_id = b.secret_id(test::selector({"b"}));
                   return r;
                 },
                 "invalid secret value"},
        RuleCase{"SecretUnsortedLabels",
                 [](const auto& b) {
                   auto r = b.secret(b.root(), test::selector({"a"}), {});
                   auto& s = as<SecretRecordV1>(r);
                   s.selector = labelled({{"z", "1"}, {"a", "2"}});
                   return r;
                 },
                 "secret selector labels must be sorted and unique"},
        RuleCase{"SecretDeletedWrongId",
                 [](const auto& b) {
                   auto r = b.secret_deleted(b.root(), test::selector({"a"}));
                   as<SecretDeletedRecordV1>(r).selector = test::selector({"b"});
                   return r;
                 },
                 "invalid secret deletion"},
        RuleCase{"VaultHandleValid", [](const auto& b) { return b.vault_handle(b.root(), "team-1"); }, std::nullopt},
        RuleCase{"VaultHandleBadText",
                 [](const auto& b) {
                   auto r = b.vault_handle(b.root(), "team-1");
                   as<VaultHandleRecordV1>(r).handle = "-team";
                   return r;
                 },
                 "invalid vault handle record"},
        RuleCase{"CounterAtCeiling", [](const auto& b) { return b.group_deleted(b.root(), b.group_id("x"), kCeiling); },
                 std::nullopt},
        // Above the ceiling wins over every other broken rule.
        RuleCase{"CounterAboveCeiling",
                 [](const auto& b) { return b.user_deleted(b.root(), b.root().user_id(), kCeiling + 1); },
                 "counter exceeds the supported ceiling"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectorRules, LabelOrderAndInMatchers) {
  using M = KeyspaceLabelMatcherV1;
  const auto present = [](const char* key) { return M{key, label_matcher::Present{}}; };
  const auto in = [](const char* key, std::vector<std::string> values) {
    return M{key, label_matcher::In{std::move(values)}};
  };
  const std::string labels = "keyspace selector labels must be sorted and unique";
  const struct {
    KeyspaceSelectorV1 selector;
    std::optional<std::string> message;
  } cases[] = {
      {with_labels({present("a"), present("ab")}), std::nullopt},
      {with_labels({present("ab"), present("a")}), labels},
      {with_labels({present("a"), present("a")}), labels},
      {with_labels({in("a", {})}), "label in matcher must not be empty"},
      {with_labels({in("a", {"x", "x"})}), "label in matcher must be sorted and unique"},
      {with_labels({in("a", {"x", "y"})}), std::nullopt},
      {KeyspaceSelectorV1{tuple_matcher::Exact{}, {}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(message_of(validate_keyspace_selector(c.selector)), c.message);

  EXPECT_FALSE(validate_secret_selector(labelled({{"a", "2"}, {"b", "1"}})));
  EXPECT_TRUE(validate_secret_selector(labelled({{"a", "1"}, {"a", "2"}})));
  EXPECT_FALSE(validate_permission(manage({grant_class::Read{}, grant_class::Manage{}})));
  EXPECT_EQ(message_of(validate_permission(manage({grant_class::Manage{}, grant_class::Read{}}))),
            "manage grant classes must be sorted and unique");
}

TEST(RecordKeyFor, DeletionSharesItsTargetsKeyAndEntryPointIsKeyedBySigner) {
  const VaultBuilder& b = builder();
  const auto key_of = [&](const VaultRecordV1& r) { return record_key_for(*r.body.known(), alice_id()); };
  EXPECT_EQ(key_of(b.entry_point(b.identity(3))), RecordKey(record_key::EntryPoint{alice_id()}));
  EXPECT_EQ(key_of(b.user_deleted(b.root(), b.root().user_id())), RecordKey(record_key::User{b.root().user_id()}));
  EXPECT_EQ(key_of(b.secret_deleted(b.root(), test::selector({"a"}))),
            RecordKey(record_key::Secret{b.secret_id(test::selector({"a"}))}));
  EXPECT_EQ(key_of(b.vault_root()), RecordKey(record_key::VaultRoot{}));
}

TEST(ToIssue, CarriesTheDisplayText) {
  EXPECT_EQ(to_issue(CoreError::validation("x")), ValidationIssue(issue::InvalidStructure{"validation failed: x"}));
}

}  // namespace
