// The listing against the plain one it replaced (copy every live secret,
// then filter, then order by text), on random vaults and many filters; and
// the in-place lookup of one live secret against the copied listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "random_vault.hpp"
#include "vornex/core/authz.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/frontend/selector.hpp"
#include "vornex/frontend/vault.hpp"

namespace {

using namespace vornex;
using core::SecretLabelV1;
using core::SecretSelectorV1;
using core::validate::EffectiveState;

constexpr std::uint64_t kSeeds = 150;

// The plain listing: every live secret copied, each tested against a
// pattern built for it, then a stable sort by text.
std::vector<SecretSelectorV1> plain_listing(const EffectiveState& state, const std::optional<SecretSelectorV1>& filter) {
  std::vector<std::pair<std::string, SecretSelectorV1>> kept;
  for (const core::validate::ActiveSecretV1& secret : state.secret_records()) {
    if (filter) {
      core::KeyspaceSelectorV1 pattern{core::tuple_matcher::Prefix{filter->tuple}, {}};
      for (const SecretLabelV1& label : filter->labels) {
        pattern.labels.push_back(core::KeyspaceLabelMatcherV1{label.key, core::label_matcher::Equals{label.value}});
      }
      if (!core::selector_matches(pattern, secret.secret.selector)) continue;
    }
    kept.emplace_back(frontend::selector_string(secret.secret.selector), secret.secret.selector);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SecretSelectorV1> out;
  for (auto& [text, selector] : kept) out.push_back(std::move(selector));
  return out;
}

// Filters made from every selector the vault mentions: each prefix of its
// path with no label, each one label and all its labels; then no filter,
// the empty filter, and some that match nothing or only by label.
std::vector<std::optional<SecretSelectorV1>> filters_for(const EffectiveState& state) {
  std::vector<SecretSelectorV1> made;
  const auto add = [&](SecretSelectorV1 s) {
    if (std::ranges::find(made, s) == made.end()) made.push_back(std::move(s));
  };
  for (const core::validate::VerifiedRecord& record : state.records) {
    const auto* secret = std::get_if<core::SecretRecordV1>(&record.body());
    if (secret == nullptr) continue;
    const SecretSelectorV1& s = secret->selector;
    for (std::size_t depth = 0; depth <= s.tuple.size(); ++depth) {
      const std::vector<std::string> path(s.tuple.begin(), s.tuple.begin() + static_cast<std::ptrdiff_t>(depth));
      add(SecretSelectorV1{path, {}});
      add(SecretSelectorV1{path, s.labels});
      for (const SecretLabelV1& label : s.labels) add(SecretSelectorV1{path, {label}});
    }
  }
  add(SecretSelectorV1{{"nothing", "here"}, {}});
  add(SecretSelectorV1{{}, {{"env", "prod"}}});
  add(SecretSelectorV1{{"app"}, {{"env", "staging"}}});
  std::vector<std::optional<SecretSelectorV1>> out{std::nullopt};
  out.insert(out.end(), made.begin(), made.end());
  return out;
}

TEST(Listing, MatchesThePlainListingOnRandomVaults) {
  const crypto::Crypto& crypto = test::shared_builder().crypto();
  std::size_t states = 0, listings = 0, narrowed = 0, conflicted = 0, checked_lookups = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const test::RandomVault vault = test::random_vault(seed);
    const auto report = core::validate::validate_vault_with_verified(
        std::span<const core::validate::HashedRecord>(vault.records), vault.trust, crypto, vault.verified);
    if (!report) continue;
    const EffectiveState& state = report->effective;
    ++states;
    conflicted += state.conflicts.empty() ? 0 : 1;
    const std::vector<SecretSelectorV1> everything = plain_listing(state, std::nullopt);
    for (const auto& filter : filters_for(state)) {
      const auto expected = plain_listing(state, filter);
      ASSERT_EQ(frontend::list_selectors(state, filter), expected)
          << "seed " << seed << ", filter " << (filter ? frontend::selector_string(*filter) : "none");
      ++listings;
      narrowed += !expected.empty() && expected.size() < everything.size() ? 1 : 0;
    }

    // One secret looked up in place is the copy the listing holds, and a
    // secret that is not listed (deleted, conflicted or never written) has
    // none.
    const std::vector<core::validate::ActiveSecretV1> live = state.secret_records();
    for (const auto& filter : filters_for(state)) {
      if (!filter) continue;
      const auto found = state.live_secret(*filter, crypto);
      ASSERT_TRUE(found.has_value());
      const auto listed = std::ranges::find_if(
          live, [&](const core::validate::ActiveSecretV1& a) { return a.secret.selector == *filter; });
      if (listed == live.end()) {
        EXPECT_EQ(*found, nullptr) << "seed " << seed << ", " << frontend::selector_string(*filter);
        continue;
      }
      ASSERT_NE(*found, nullptr) << "seed " << seed << ", " << frontend::selector_string(*filter);
      EXPECT_EQ((*found)->record, listed->envelope);
      EXPECT_EQ(std::get<core::SecretRecordV1>((*found)->body()), listed->secret);
      ++checked_lookups;
    }
  }
  // The vaults must have given the listing something to get wrong.
  EXPECT_GT(states, kSeeds / 2);
  EXPECT_GT(narrowed, listings / 10);
  EXPECT_GT(conflicted, 0u);
  EXPECT_GT(checked_lookups, states);
}

}  // namespace
