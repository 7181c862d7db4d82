// A report derived for one more secret write against the full validation
// of the larger vault: on random vaults (mostly unclean, so the derivation
// must decline) and on clean vaults grown write by write (where it must
// apply), every derived report equals the full one, and a declined or
// undone derivation leaves the report exactly as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "random_vault.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/extend.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::SeededRng;
using vornex::test::VaultBuilder;

namespace {

const std::vector<SecretSelectorV1>& selectors() {
  static const std::vector<SecretSelectorV1> all = {
      test::selector({"app"}),           test::selector({"app", "db"}), test::selector({"app", "db", "x"}),
      test::selector({"web"}),           test::selector({"web", "x"}),  test::selector({}),
      SecretSelectorV1{{"app", "db"}, {{"env", "prod"}}},
  };
  return all;
}

struct Tally {
  int derived = 0;
  int declined = 0;
};

// One candidate write against a vault and its report: the derivation either
// declines and leaves the report untouched, or gives the full report; undone,
// it gives the old report back.
void check_write(const cord::Set<VaultRecordV1>& vault, const ValidationReport& report, const Ratchet& ratchet,
                 bool follows, const VaultRecordV1& record, const VaultBuilder& b, Tally& tally) {
  const cord::Bytes encoding = cord::serialize(record).value();
  const HashValue hash = b.crypto().hash(domains::kRecordHash, encoding);
  ValidationReport derived = report;
  auto undo = extend_with_secret_write(derived, ratchet, follows, record, hash, encoding, b.crypto());
  ASSERT_TRUE(undo.has_value()) << undo.error().message();
  if (!*undo) {
    ++tally.declined;
    EXPECT_EQ(derived, report);
    return;
  }
  ++tally.derived;
  cord::Set<VaultRecordV1> larger = vault;
  ASSERT_TRUE(larger.insert(record).value());
  const ValidationReport full =
      validate_vault_with_verified(larger, ratchet, b.crypto(), report.effective.verified_record_hashes()).value();
  EXPECT_EQ(derived, full);
  undo_secret_write(derived, std::move(**undo));
  EXPECT_EQ(derived, report);
}

VaultRecordV1 random_write(SeededRng& rng, const VaultBuilder& b, const crypto::Identity& signer,
                           std::uint64_t counter) {
  const SecretSelectorV1& selector = rng.pick(selectors());
  if (rng.percent(25)) return b.secret_deleted(signer, selector, counter);
  std::vector<const crypto::Identity*> readers{&b.root(), &signer};
  return b.secret(signer, selector, readers, counter);
}

std::uint64_t random_counter(SeededRng& rng, const ValidationReport& report) {
  const std::uint64_t next = next_counter(report.effective.highest_counter);
  const std::uint64_t roll = rng.below(10);
  if (roll < 7) return next + rng.below(3);
  return rng.below(next + 1);  // at or below what is admitted: must decline
}

TEST(ExtendSecretWrite, RandomVaultsDeclineOrAgree) {
  const VaultBuilder& b = test::shared_builder();
  Tally tally;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    test::RandomVault random = test::random_vault(seed, b);
    std::vector<VaultRecordV1> records;
    for (const HashedRecord& r : random.records) records.push_back(r.record);
    const cord::Set<VaultRecordV1> vault = cord::Set<VaultRecordV1>::from(std::move(records)).value();
    const ValidationReport report = validate_vault_with_verified(vault, random.trust, b.crypto(), {}).value();
    Ratchet ratchet = random.trust;
    ratchet.apply_update(report.ratchet_update);
    SeededRng rng(seed * 7919);
    for (int i = 0; i < 4; ++i) {
      const auto& signer = b.identity(rng.percent(30) ? 1 : static_cast<std::uint8_t>(2 + rng.below(6)));
      check_write(vault, report, ratchet, true, random_write(rng, b, signer, random_counter(rng, report)), b, tally);
    }
  }
  EXPECT_GT(tally.declined, 0);
}

// A clean vault: the root, three users with entry points, grants of each
// kind, and secrets by those who may write them.
cord::Set<VaultRecordV1> clean_vault(const VaultBuilder& b) {
  const auto& alice = b.identity(2);
  const auto& bob = b.identity(3);
  const auto& carol = b.identity(4);
  std::vector<VaultRecordV1> records{b.vault_root()};
  for (const auto* user : {&alice, &bob, &carol}) {
    records.push_back(b.user(b.root(), *user, 1));
    records.push_back(b.entry_point(*user, 1));
  }
  records.push_back(b.grant(b.root(), "alice-app", alice.user_id(), test::write_permission(test::prefix({"app"})), 2));
  records.push_back(b.grant(b.root(), "bob-any", bob.user_id(), test::write_permission(test::any_keyspace()), 2));
  records.push_back(b.grant(b.root(), "carol-read", carol.user_id(), test::read_permission(test::any_keyspace()), 2));
  records.push_back(b.secret(alice, test::selector({"app", "db"}), {&b.root(), &alice}, 3));
  records.push_back(b.secret(bob, test::selector({"web"}), {&b.root(), &bob}, 4));
  return cord::Set<VaultRecordV1>::from(std::move(records)).value();
}

TEST(ExtendSecretWrite, CleanVaultsGrownWriteByWriteAgree) {
  const VaultBuilder& b = test::shared_builder();
  Tally tally;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    SeededRng rng(seed);
    cord::Set<VaultRecordV1> vault = clean_vault(b);
    Ratchet validated_against = Ratchet::make(b.selected_root().fingerprint.to_vec());
    ValidationReport report = validate_vault_with_verified(vault, validated_against, b.crypto(), {}).value();
    ASSERT_TRUE(report.issues.empty());
    for (int step = 0; step < 25; ++step) {
      SCOPED_TRACE(step);
      Ratchet ratchet = validated_against;
      ratchet.apply_update(report.ratchet_update);
      // Carol may only read, and the stranger is no user: both must decline.
      const std::uint8_t who = static_cast<std::uint8_t>(rng.below(5));
      const auto& signer = who == 4 ? b.identity(200) : b.identity(static_cast<std::uint8_t>(1 + who));
      const VaultRecordV1 record = random_write(rng, b, signer, random_counter(rng, report));
      check_write(vault, report, ratchet, true, record, b, tally);
      // Declined when the caller's ratchet holds more than the report knew.
      check_write(vault, report, ratchet, false, record, b, tally);

      cord::Set<VaultRecordV1> larger = vault;
      ASSERT_TRUE(larger.insert(record).value());
      ValidationReport next =
          validate_vault_with_verified(larger, ratchet, b.crypto(), report.effective.verified_record_hashes()).value();
      if (!next.issues.empty() || !next.effective.secret_record_is_current(
                                      b.crypto().hash(domains::kRecordHash, cord::serialize(record).value()))) {
        continue;  // a write the write path would refuse
      }
      vault = std::move(larger);
      validated_against = std::move(ratchet);
      report = std::move(next);
    }
  }
  // The writes by those who may write, above every counter, to a valid
  // selector (about a quarter of all) are derived.
  EXPECT_GT(tally.derived, 12 * 25 / 5);
  EXPECT_GT(tally.declined, 12 * 25);
}

}  // namespace

namespace {

// A verification cache's hashes used in place give the report the same
// hashes given as a set do: ascending as a cache holds them, and in any
// other order (then sorted first).
TEST(VerifiedList, AgreesWithTheSetOnRandomVaults) {
  const VaultBuilder& b = test::shared_builder();
  for (std::uint64_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(seed);
    const test::RandomVault random = test::random_vault(seed, b);
    const ValidationReport expected =
        validate_vault_with_verified(std::vector<HashedRecord>(random.records), random.trust, b.crypto(),
                                     random.verified)
            .value();
    std::vector<HashValue> ascending(random.verified.begin(), random.verified.end());
    EXPECT_EQ(validate_vault_with_verified_list(std::vector<HashedRecord>(random.records), random.trust, b.crypto(),
                                                ascending)
                  .value(),
              expected);
    std::vector<HashValue> shuffled = ascending;
    std::reverse(shuffled.begin(), shuffled.end());
    if (!shuffled.empty()) shuffled.push_back(shuffled.front());  // a repeat, too
    EXPECT_EQ(validate_vault_with_verified_list(std::vector<HashedRecord>(random.records), random.trust, b.crypto(),
                                                shuffled)
                  .value(),
              expected);
  }
}

}  // namespace
