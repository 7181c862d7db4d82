// Which root a vault belongs to: only self-signed root records whose id
// follows from their keys and whose signature verifies count, one per key.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ops_fixture.hpp"
#include "vornex/ops/trust.hpp"

namespace {

using namespace vornex;
using test::must;
using test::shared_builder;
using Kind = ops::OpsError::Kind;

const test::VaultBuilder& b() { return shared_builder(); }

core::HashValue fingerprint(const crypto::Identity& identity) {
  return must(core::key_hash(b().crypto(), identity.signing_public_key()));
}

core::VaultRecordV1 root_signed_by(const crypto::Identity& signer, const cord::Bytes& hpke) {
  const core::UserId id = must(core::derive_user_id(b().crypto(), signer.signing_public_key(), hpke));
  return b().sign(signer, core::VaultRootRecordV1{id, hpke});
}

// Many records that are not roots: handles signed by the root, a user, an
// entry point and a record of an unknown kind.
const std::vector<core::VaultRecordV1>& noise() {
  static const std::vector<core::VaultRecordV1> records = [] {
    std::vector<core::VaultRecordV1> out;
    for (int i = 0; i < 300; ++i) {
      out.push_back(b().user_handle(b().root(), "h" + std::to_string(i), b().identity(2).user_id()));
    }
    out.push_back(b().user(b().root(), b().identity(2)));
    out.push_back(b().entry_point(b().identity(2)));
    out.push_back(b().unknown_kind(b().root()));
    return out;
  }();
  return records;
}

TEST(TrustedRootCandidate, Table) {
  const auto& one = b().root();
  const auto& three = b().identity(3);
  const core::HashValue fp1 = fingerprint(one);
  const core::HashValue fp3 = fingerprint(three);
  const auto both = std::minmax(fp1, fp3);

  const core::VaultRecordV1 valid = b().vault_root();
  const core::VaultRecordV1 bad_signature = test::VaultBuilder::with_bad_signature(valid);
  // The body names user 2, whose id does not follow from identity 1's keys.
  const core::VaultRecordV1 foreign_id =
      b().sign(one, core::VaultRootRecordV1{b().identity(2).user_id(), one.hpke_public_key()});
  const core::VaultRecordV1 other_key = root_signed_by(three, three.hpke_public_key());
  // Signed by identity 1 again, with another HPKE key and the id that follows.
  const core::VaultRecordV1 same_key = root_signed_by(one, b().identity(4).hpke_public_key());
  ASSERT_NE(same_key, valid);

  struct Case {
    const char* name;
    std::vector<core::VaultRecordV1> records;
    std::vector<core::HashValue> expected;  // empty: NoRootRecord
  };
  const Case cases[] = {
      {"no records", {}, {}},
      {"only others", noise(), {}},
      {"one valid", {valid}, {fp1}},
      {"only a bad signature", {bad_signature}, {}},
      {"bad signature beside a valid one", {bad_signature, other_key}, {fp3}},
      {"id not derived from keys", {foreign_id}, {}},
      {"id not derived beside a valid one", {foreign_id, valid}, {fp1}},
      {"two keys", {valid, other_key}, {both.first, both.second}},
      {"two keys in the other order", {other_key, valid}, {both.first, both.second}},
      {"one key twice", {valid, same_key}, {fp1}},
  };
  for (const Case& c : cases) {
    for (const bool with_noise : {false, true}) {
      std::vector<core::VaultRecordV1> records = c.records;
      if (with_noise) std::ranges::copy(noise(), std::back_inserter(records));
      const auto set = must(cord::Set<core::VaultRecordV1>::from(records));
      const auto result = ops::trusted_root_candidate(set, b().crypto());
      const std::string name = std::string(c.name) + (with_noise ? " with noise" : "");
      if (c.expected.size() == 1) {
        ASSERT_TRUE(result.has_value()) << name << ": " << result.error().message();
        EXPECT_EQ(*result, c.expected[0]) << name;
        continue;
      }
      ASSERT_FALSE(result.has_value()) << name;
      if (c.expected.empty()) {
        EXPECT_EQ(result.error().kind(), Kind::NoRootRecord) << name;
      } else {
        EXPECT_EQ(result.error().kind(), Kind::MultipleRootRecords) << name;
        EXPECT_EQ(result.error().message(),
                  "vault contains multiple self-signed root records that could identify ratchet state: [" +
                      core::debug_string(c.expected[0]) + ", " + core::debug_string(c.expected[1]) + "]")
            << name;
      }
    }
  }
}

}  // namespace
