// Ctrl-C must not wait for a large vault to be decoded and validated: each
// long loop asks the stop probe every few thousand steps, and once it says
// stop, decoding and validation end with "interrupted" within one more
// round of steps, whichever phase they are in. Counted, not timed: the
// signatures checked and the fixed point's evaluations after the request.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "must.hpp"
#include "random_vault.hpp"
#include "vault_builder.hpp"
#include "vornex/core/stop.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;

namespace {

// Grants from a manager, each a record, an item and a question its
// entry answers: enough of them that decoding asks the probe at least once
// and every other phase takes several rounds of steps, and few enough to
// sign quickly under the sanitizers.
constexpr std::size_t kGrants = 5'000;

// The probe the tests steer; by default it never says stop.
std::function<bool()> g_says_stop;
bool test_probe() noexcept { return g_says_stop && g_says_stop(); }

// Counts the signatures it checks.
class CountingCrypto final : public CryptoProvider {
 public:
  explicit CountingCrypto(const CryptoProvider& inner) : inner_(inner) {}
  HashValue hash(cord::ByteView domain, cord::ByteView data) const override { return inner_.hash(domain, data); }
  bool verify_signature(cord::ByteView domain, cord::ByteView key, cord::ByteView message,
                        cord::ByteView signature) const override {
    ++checked;
    return inner_.verify_signature(domain, key, message, signature);
  }
  mutable std::uint64_t checked = 0;

 private:
  const CryptoProvider& inner_;
};

class Stopping : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const test::VaultBuilder& b = test::shared_builder();
    const crypto::Identity& manager = b.identity(2);
    const crypto::Identity& reader = b.identity(3);
    std::vector<VaultRecordV1> records{b.vault_root()};
    for (const crypto::Identity* who : {&manager, &reader}) {
      records.push_back(b.user(b.root(), *who, 1));
      records.push_back(b.entry_point(*who, 1));
    }
    records.push_back(b.grant(b.root(), "manage", manager.user_id(),
                              ManageKeyspaceGrantV1{test::prefix({"app"}), {grant_class::Read{}}}, 1));
    for (std::size_t i = 0; i < kGrants; ++i) {
      records.push_back(b.grant(manager, "g" + std::to_string(i), reader.user_id(),
                                test::read_permission(test::prefix({"app", "s" + std::to_string(i)})), 1));
    }
    cord::Set<VaultRecordV1> set;
    for (VaultRecordV1& r : records) set.insert(std::move(r));
    file_ = new cord::Bytes(test::must(encode_vault(set)));
  }
  static void TearDownTestSuite() {
    delete file_;
    file_ = nullptr;
  }
  void SetUp() override { install_stop_probe(&test_probe); }
  void TearDown() override { g_says_stop = nullptr; }

  static std::vector<HashedRecord> decoded() { return test::must(decode_vault_hashed(*file_, test::shared_builder().crypto())); }

  static Ratchet trust() {
    Ratchet r = Ratchet::make(test::shared_builder().selected_root().fingerprint.to_vec());
    r.absorb_record(FormatVersionRatchetRecordV1{1});
    return r;
  }

  static VerifiedHashes every_hash(const std::vector<HashedRecord>& records) {
    VerifiedHashes all;
    for (const HashedRecord& r : records) all.insert(r.hash);
    return all;
  }

  static cord::Bytes* file_;
};

cord::Bytes* Stopping::file_ = nullptr;

bool interrupted(const CoreError& error) { return error.kind() == CoreError::Kind::Interrupted; }

TEST_F(Stopping, DecodingEndsOnceTheProbeSaysStop) {
  std::uint64_t asked = 0;
  g_says_stop = [&] {
    ++asked;
    return true;
  };
  const auto records = decode_vault_hashed(*file_, test::shared_builder().crypto());
  ASSERT_FALSE(records.has_value());
  EXPECT_TRUE(interrupted(records.error()));
  EXPECT_EQ(records.error().message(), "interrupted");
  EXPECT_EQ(asked, 1u);

  g_says_stop = [] { return false; };
  EXPECT_EQ(decoded().size(), kGrants + 6);
}

// The request comes after `after` signatures; the run checks at most one
// round of them more.
TEST_F(Stopping, SignatureChecksEndOnceTheProbeSaysStop) {
  const CountingCrypto crypto(test::shared_builder().crypto());
  for (const std::uint64_t after : {std::uint64_t{0}, std::uint64_t{1'000}, std::uint64_t{kGrants / 2}}) {
    SCOPED_TRACE(after);
    std::vector<HashedRecord> records = decoded();
    crypto.checked = 0;
    g_says_stop = [&] { return crypto.checked >= after; };
    const auto report = validate_vault_with_verified(std::move(records), trust(), crypto, VerifiedHashes{});
    ASSERT_FALSE(report.has_value());
    EXPECT_TRUE(interrupted(report.error()));
    EXPECT_LE(crypto.checked, after + kStopStepsPerPoll / 32);
  }
}

// With every signature vouched for, the fixed point is the long part; a
// request halfway through it ends it within a round or two of steps.
TEST_F(Stopping, TheFixedPointEndsOnceTheProbeSaysStop) {
  const std::vector<HashedRecord> records = decoded();
  const VerifiedHashes verified = every_hash(records);
  g_says_stop = [] { return false; };
  std::uint64_t start = validation_work();
  ASSERT_TRUE(validate_vault_with_verified(records, trust(), test::shared_builder().crypto(), verified).has_value());
  const std::uint64_t whole = validation_work() - start;
  ASSERT_GT(whole, 4 * kStopStepsPerPoll);

  start = validation_work();
  const std::uint64_t half = whole / 2;
  g_says_stop = [&] { return validation_work() - start >= half; };
  const auto report = validate_vault_with_verified(records, trust(), test::shared_builder().crypto(), verified);
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(interrupted(report.error()));
  // The request is seen within one round of steps, and what is under way
  // ends within another.
  EXPECT_LE(validation_work() - start, half + 2 * kStopStepsPerPoll);
}

}  // namespace
