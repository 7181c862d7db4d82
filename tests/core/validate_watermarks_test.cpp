// The step that decides which records may raise the trust state
// (admitted_watermarks), against the reference's plain reading of it, on
// random vaults: both are given the same records, the same state without a
// rollback floor and the same admitted deletions, and must name the same
// highest counter and the same origin for every key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "random_vault.hpp"
#include "reference_validate.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/provider.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;

constexpr std::uint64_t kSeeds = 150;

TEST(AdmittedWatermarks, RandomVaultsGiveTheReferenceWatermarks) {
  const crypto::Crypto crypto;
  std::uint64_t compared = 0;
  std::uint64_t with_origins = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE(seed);
    const test::RandomVault vault = test::random_vault(seed);
    auto report = validate_vault_with_verified(vault.records, vault.trust, crypto, vault.verified);
    ASSERT_TRUE(report.has_value()) << report.error().message();
    const EffectiveState& validated = report->effective;
    if (!validated.root_user_id || !validated.root_fingerprint) continue;  // refused before any record
    const UserRecordV1& root = validated.users.at(*validated.root_user_id);
    const pipeline::SelectedRoot selected{root.user_id, root.hpke_public_key, root.signing_public_key,
                                          *validated.root_fingerprint};
    const std::span<const VerifiedRecord> records = validated.records;
    const auto [state, deletions] = test::reference::resolve_effective_with_deletions(selected, records, {});

    const Marks marks = admitted_watermarks(records, state, deletions);
    ASSERT_TRUE(std::ranges::is_sorted(marks, [](const Mark& a, const Mark& b) { return *a.key < *b.key; }));
    const Watermarks found = watermarks_of(marks);
    const Watermarks expected = test::reference::admitted_watermarks(records, state, deletions);
    EXPECT_TRUE(found.counters == expected.counters);
    EXPECT_TRUE(found.origins == expected.origins);
    ++compared;
    if (!expected.origins.empty()) ++with_origins;
  }
  // Most vaults have a root and records with origins, or this proves little.
  EXPECT_GT(compared, kSeeds / 2);
  EXPECT_GT(with_origins, kSeeds / 2);
}

}  // namespace
