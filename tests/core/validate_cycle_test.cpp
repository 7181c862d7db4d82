// A fixed point that never settles is read off once its state repeats:
// the report must be the one the walk through every iteration gives, on
// random vaults that oscillate (managers rewriting their own grants, rings
// of managers rewriting each other's, with delays and deletions) and on
// the random vaults of the differential test; and its work stays near that
// of the same vault without the rewrites, which settles.
//
// VORNEX_CYCLE_SEEDS=n runs n oscillating vaults instead of the default,
// VORNEX_CYCLE_FIRST_SEED=s starts at seed s.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "env_number.hpp"
#include "oscillating_vault.hpp"
#include "random_vault.hpp"
#include "reference_validate.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/literal_iterations.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;

namespace {

const test::VaultBuilder& b = test::shared_builder();

struct Vault {
  std::vector<HashedRecord> records;
  Ratchet trust = Ratchet::make(b.selected_root().fingerprint.to_vec());
  VerifiedHashes verified;
};

Vault vault_of(const std::vector<VaultRecordV1>& records) {
  Vault v;
  v.trust.absorb_record(FormatVersionRatchetRecordV1{1});
  for (const VaultRecordV1& r : records) {
    v.records.push_back(test::hashed_record(b, r));
    v.verified.insert(v.records.back().hash);
  }
  return v;
}

using Outcome = decltype(validate_vault_with_verified(std::span<const HashedRecord>(), std::declval<const Ratchet&>(),
                                                      b.crypto(), std::declval<const VerifiedHashes&>()));

Outcome validate(const std::vector<HashedRecord>& records, const Ratchet& trust, const VerifiedHashes& verified,
                 bool literal, std::uint64_t* work = nullptr) {
  set_literal_iterations(literal);
  const std::uint64_t before = validation_work();
  Outcome out = validate_vault_with_verified(std::span<const HashedRecord>(records), trust, b.crypto(), verified);
  if (work != nullptr) *work = validation_work() - before;
  set_literal_iterations(false);
  return out;
}

// An empty text when both give the same report or the same error.
std::string compare(const Outcome& cut, const Outcome& literal) {
  if (!cut || !literal) {
    const auto text = [](const Outcome& o) { return o ? std::string("a report") : o.error().message(); };
    return text(cut) == text(literal) ? std::string() : "cut: " + text(cut) + ", literal: " + text(literal);
  }
  return *cut == *literal ? std::string() : "the reports differ";
}

TEST(ValidateCycle, OscillatingVaultsGiveTheLiteralReport) {
  const std::uint64_t count = test::env_number("VORNEX_CYCLE_SEEDS", 160);
  const std::uint64_t first = test::env_number("VORNEX_CYCLE_FIRST_SEED", 1);
  std::uint64_t blocked = 0;
  std::uint64_t blocked_with_deletions = 0;
  std::uint64_t settled_with_deletions = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    test::OscillatingOptions options;
    options.seed = seed;
    options.oscillators = 1 + seed % 4;
    options.records = 30 + (seed * 7) % 50;
    options.rewrites = seed % 8 != 0;
    const Vault v = vault_of(test::oscillating_vault(options, b));
    const Outcome cut = validate(v.records, v.trust, v.verified, false);
    const Outcome literal = validate(v.records, v.trust, v.verified, true);
    const std::string found = compare(cut, literal);
    EXPECT_TRUE(found.empty()) << "seed " << seed << ": " << found;
    if (seed % 8 == 1) {
      // The literal walk is the reference engine's too.
      const auto expected = test::reference::validate_vault_with_verified(v.records, v.trust, b.crypto(), v.verified);
      ASSERT_TRUE(expected.has_value() && cut.has_value()) << "seed " << seed;
      EXPECT_TRUE(*expected == *cut) << "seed " << seed << ": the reference's report differs";
    }
    if (!cut) continue;
    const bool admitted = !cut->effective.deleted_grants.empty();
    if (cut->effective.blocked) {
      ++blocked;
      if (admitted) ++blocked_with_deletions;
    } else if (admitted) {
      ++settled_with_deletions;
    }
  }
  // The cases that matter came up: walks that never settle, among them
  // ones that admitted deletions (a walk per admission), and deletions
  // that settled an oscillation.
  EXPECT_GE(blocked, count / 3);
  EXPECT_GE(blocked_with_deletions, count / 8);
  EXPECT_GE(settled_with_deletions, count / 40);
}

TEST(ValidateCycle, RandomVaultsGiveTheLiteralReport) {
  const std::uint64_t count = test::env_number("VORNEX_CYCLE_SEEDS", 160);
  const std::uint64_t first = test::env_number("VORNEX_CYCLE_FIRST_SEED", 1);
  std::uint64_t blocked = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    const test::RandomVault v = test::random_vault(seed, b);
    const Outcome cut = validate(v.records, v.trust, v.verified, false);
    const Outcome literal = validate(v.records, v.trust, v.verified, true);
    const std::string found = compare(cut, literal);
    EXPECT_TRUE(found.empty()) << "seed " << seed << ": " << found;
    if (cut && cut->effective.blocked) ++blocked;
  }
  EXPECT_GE(blocked, 1u);
}

// A vault whose sixteen oscillators take every grant under them along in
// every iteration costs about what its twin without the rewrites does,
// where the literal walk costs many times that.
TEST(ValidateCycle, NeverSettlingCostsAboutWhatSettlingDoes) {
  for (const std::size_t records : {std::size_t{1000}, std::size_t{4000}}) {
    SCOPED_TRACE(records);
    test::OscillatingOptions options;
    options.records = records;
    const Vault never = vault_of(test::oscillating_vault(options, b));
    options.rewrites = false;
    const Vault settles = vault_of(test::oscillating_vault(options, b));
    std::uint64_t cut = 0;
    std::uint64_t literal = 0;
    std::uint64_t twin = 0;
    const Outcome blocked = validate(never.records, never.trust, never.verified, false, &cut);
    validate(never.records, never.trust, never.verified, true, &literal);
    const Outcome settled = validate(settles.records, settles.trust, settles.verified, false, &twin);
    ASSERT_TRUE(blocked.has_value() && settled.has_value());
    EXPECT_TRUE(blocked->effective.blocked);
    EXPECT_FALSE(settled->effective.blocked);
    EXPECT_LE(cut, 2 * twin) << "cut " << cut << ", twin " << twin;
    EXPECT_GE(literal, 8 * twin) << "the shape no longer oscillates through its grants";
  }
}

}  // namespace
