// Records as wide as a member can write them: a grant whose selector has
// many path segments and many label matchers, a secret with many labels.
// What validation files for each grows with the record, not with its
// square (a quadratic index of the grant below would take tens of
// gigabytes), and the outcome is what the grants give.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "random_vault.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;

namespace {

constexpr std::size_t kSegments = 20'000;
constexpr std::size_t kLabelKeys = 2'000;
constexpr std::size_t kInValues = 20'000;
constexpr std::size_t kSecretLabels = 40'000;

// Zero-padded, so that the numbers sort as the texts do.
std::string numbered(const char* name, std::size_t i) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%06zu", i);
  return name + std::string(digits);
}

GrantPermissionV1 manage_all(KeyspaceSelectorV1 selector) {
  return ManageKeyspaceGrantV1{std::move(selector), {grant_class::Read{}, grant_class::Write{}, grant_class::Manage{}}};
}

// Deep under "w", with a Present matcher for each of many keys and one In
// matcher of many values.
KeyspaceSelectorV1 wide_selector() {
  std::vector<std::string> path{"w"};
  for (std::size_t i = 0; i < kSegments; ++i) path.push_back(numbered("s", i));
  KeyspaceSelectorV1 selector{tuple_matcher::Prefix{std::move(path)}, {}};
  for (std::size_t i = 0; i < kLabelKeys; ++i) selector.labels.push_back({numbered("k", i), label_matcher::Present{}});
  label_matcher::In in;
  for (std::size_t i = 0; i < kInValues; ++i) in.values.push_back(numbered("v", i));
  selector.labels.push_back({"v", std::move(in)});
  return selector;
}

TEST(WideRecords, AWideGrantUnderARevokedEntryAndAWideSecretAreJudgedInLinearSpace) {
  const test::VaultBuilder& b = test::shared_builder();
  const crypto::Identity& a = b.identity(2);       // manager over "w"
  const crypto::Identity& holder = b.identity(3);  // given "w" by A, then not
  const crypto::Identity& reader = b.identity(4);
  const crypto::Identity& writer = b.identity(5);
  std::vector<VaultRecordV1> records{b.vault_root()};
  for (const crypto::Identity* who : {&a, &holder, &reader, &writer}) {
    records.push_back(b.user(b.root(), *who, 1));
    records.push_back(b.entry_point(*who, 1));
  }
  records.push_back(b.grant(b.root(), "source", a.user_id(), manage_all(test::prefix({"w"})), 1));
  records.push_back(b.grant(a, "narrow", holder.user_id(), manage_all(test::prefix({"w"})), 1));
  // B's wide grant asks a question of every label key and value, under the
  // path A's entry covers; A's revocation takes the entry away.
  records.push_back(b.grant(holder, "wide", reader.user_id(), test::read_permission(wide_selector()), 1));
  records.push_back(b.grant_deleted(a, b.grant_id("narrow"), manage_all(test::prefix({"w"})), 2));
  records.push_back(b.grant_deleted(holder, b.grant_id("wide"), test::read_permission(wide_selector()), 3));

  // A writer whose entries are filed by label writes a secret of many labels.
  const KeyspaceSelectorV1 labelled{tuple_matcher::Prefix{{"s"}}, {{"env", label_matcher::Equals{"prod"}}}};
  records.push_back(b.grant(b.root(), "write", writer.user_id(), test::write_permission(labelled), 1));
  SecretSelectorV1 secret{{"s", "x"}, {}};
  for (std::size_t i = 0; i < kSecretLabels; ++i) secret.labels.push_back({numbered("a", i), "1"});
  secret.labels.push_back({"env", "prod"});
  records.push_back(b.secret(writer, secret, {&writer}));

  std::vector<HashedRecord> in;
  VerifiedHashes verified;
  for (const VaultRecordV1& r : records) {
    in.push_back(test::hashed_record(b, r));
    verified.insert(in.back().hash);
  }
  Ratchet trust = Ratchet::make(b.selected_root().fingerprint.to_vec());
  trust.absorb_record(FormatVersionRatchetRecordV1{1});
  const auto report = validate_vault_with_verified(std::span<const HashedRecord>(in), trust, b.crypto(), verified);
  ASSERT_TRUE(report.has_value()) << report.error().message();
  EXPECT_TRUE(report->issues.empty());
  const EffectiveState& state = report->effective;
  EXPECT_TRUE(state.deleted_grants.contains(b.grant_id("narrow")));
  // Made while B held the entry, the wide grant stood until then; with the
  // entry gone, B can no longer delete it.
  EXPECT_FALSE(state.grants.contains(b.grant_id("wide")));
  EXPECT_FALSE(state.deleted_grants.contains(b.grant_id("wide")));
  EXPECT_TRUE(state.authority_ref(holder.user_id()).manage.empty());
  EXPECT_EQ(state.latest_secret.size(), 1u);
}

}  // namespace
