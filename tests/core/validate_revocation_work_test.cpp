// The revocation shapes of the random vaults, built by hand: a grantor
// deletes, one by one, grants whose holder made something under each, and
// the holder (or someone below it) has a deletion of its own still to come.
// Each is judged as the reference judges it, and the state work of its
// validation grows with the revocations, each by what it changes, and not
// with the rest of the vault.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "random_vault.hpp"
#include "reference_validate.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using test::RevocationShape;

namespace vornex::test {
void PrintTo(RevocationShape shape, std::ostream* out) { *out << revocation_shape_name(shape); }
}  // namespace vornex::test

namespace {

KeyspaceSelectorV1 labelled(std::vector<std::string> path, const std::string& env) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, {{"env", label_matcher::Equals{env}}}};
}

GrantPermissionV1 manage_all(KeyspaceSelectorV1 selector) {
  return ManageKeyspaceGrantV1{std::move(selector), {grant_class::Read{}, grant_class::Write{}, grant_class::Manage{}}};
}

std::string numbered(const char* name, std::size_t i) { return name + std::to_string(i); }

// B's grants under its env=dev keyspace, beside the revoked env=prod ones.
constexpr std::size_t kQuestions = 8;

struct RevocationWork : ::testing::TestWithParam<RevocationShape> {
  const test::VaultBuilder& b = test::shared_builder();
  std::vector<VaultRecordV1> records;
  Ratchet trust = Ratchet::make(b.selected_root().fingerprint.to_vec());

  RevocationWork() { trust.absorb_record(FormatVersionRatchetRecordV1{1}); }

  const crypto::Identity& a() const { return b.identity(2); }        // the manager over team
  const crypto::Identity& holder() const { return b.identity(3); }   // B, or Z under root administrators
  const crypto::Identity& next() const { return b.identity(4); }     // C
  const crypto::Identity& below() const { return b.identity(5); }    // D, in a chain
  const crypto::Identity& ballast_user() const { return b.identity(7); }
  const crypto::Identity& administrator(std::size_t i) const { return b.identity(static_cast<std::uint8_t>(10 + i)); }
  PrincipalRefV1 user(const crypto::Identity& who) const { return who.user_id(); }

  // B's grants for env=dev lie under the paths of the revoked env=prod
  // entries: only their labels keep them apart.
  static GrantPermissionV1 question(std::size_t j) {
    return test::read_permission(labelled({"team", "b", numbered("s", j % 2), numbered("q", j)}, "dev"));
  }

  void add(VaultRecordV1 record) { records.push_back(std::move(record)); }
  void enrol(const crypto::Identity& who) {
    add(b.user(b.root(), who, 1));
    add(b.entry_point(who, 1));
  }

  // The shape with `n` revocations, after `ballast` read grants from the
  // root to a user of its own, outside every keyspace the shape uses, and
  // (beside many questions) `questions` grants of B's under env=dev.
  void build(std::size_t n, std::size_t ballast, std::size_t questions = kQuestions) {
    records.clear();
    add(b.vault_root());
    if (ballast > 0) enrol(ballast_user());
    for (std::size_t i = 0; i < ballast; ++i) {
      add(b.grant(b.root(), numbered("ballast-", i), user(ballast_user()),
                  test::read_permission(test::prefix({"ballast", std::to_string(i)})), 1));
    }
    for (const std::uint8_t u : {2, 3, 4, 5}) enrol(b.identity(u));
    const auto narrow = [](const char* owner, std::size_t i) {
      return manage_all(test::prefix({"team", owner, numbered("s", i)}));
    };
    const auto read_below = [](const char* owner, std::size_t i) {
      return test::read_permission(test::prefix({"team", owner, numbered("s", i), "x"}));
    };
    switch (GetParam()) {
      case RevocationShape::Used:
      case RevocationShape::Pending:
      case RevocationShape::GroupUsed: {
        add(b.grant(b.root(), "source", user(a()), manage_all(test::prefix({"team"})), 1));
        PrincipalRefV1 to = user(holder());
        if (GetParam() == RevocationShape::GroupUsed) {
          // B is in G through a group of its own.
          add(b.group(b.root(), "g", 1));
          add(b.group(b.root(), "h", 1));
          add(b.member(b.root(), b.group_id("g"), PrincipalRefV1{b.group_id("h")}, 1));
          add(b.member(b.root(), b.group_id("h"), user(holder()), 1));
          to = PrincipalRefV1{b.group_id("g")};
        }
        for (std::size_t i = 0; i < n; ++i) {
          add(b.grant(a(), numbered("narrow-", i), to, narrow("b", i), 1));
          if (GetParam() == RevocationShape::Pending) {
            // Every other target is a grant A made there; the rest never were.
            if (i % 2 == 1) add(b.grant(a(), numbered("target-", i), user(next()), read_below("b", i), 1));
            add(b.grant_deleted(holder(), b.grant_id(numbered("target-", i)), read_below("b", i), 3));
          } else {
            add(b.grant(holder(), numbered("use-", i), user(next()), read_below("b", i), 1));
          }
          add(b.grant_deleted(a(), b.grant_id(numbered("narrow-", i)), narrow("b", i), 2));
        }
        if (GetParam() != RevocationShape::Pending) {
          add(b.grant_deleted(holder(), b.grant_id("use-0"), read_below("b", 0), 3));
        }
        break;
      }
      case RevocationShape::ChainUsed:
        add(b.grant(b.root(), "source", user(a()), manage_all(test::prefix({"team"})), 1));
        add(b.grant(a(), "sub", user(holder()), manage_all(test::prefix({"team", "b"})), 1));
        for (std::size_t i = 0; i < n; ++i) {
          add(b.grant(holder(), numbered("narrow-", i), user(next()), narrow("b", i), 1));
          add(b.grant(next(), numbered("use-", i), user(below()), read_below("b", i), 1));
          add(b.grant_deleted(holder(), b.grant_id(numbered("narrow-", i)), narrow("b", i), 2));
        }
        add(b.grant_deleted(next(), b.grant_id("use-0"), read_below("b", 0), 3));
        break;
      case RevocationShape::RootAdministrators:
        add(b.grant(b.root(), "source", user(a()), test::root_permission(), 1));
        for (std::size_t i = 0; i < n; ++i) {
          enrol(administrator(i));
          add(b.grant(a(), numbered("narrow-", i), user(administrator(i)), test::root_permission(), 1));
          add(b.grant(administrator(i), numbered("use-", i), user(holder()), narrow("z", i), 1));
          add(b.grant_deleted(a(), b.grant_id(numbered("narrow-", i)), test::root_permission(), 2));
        }
        add(b.grant_deleted(holder(), b.grant_id("use-0"), narrow("z", 0), 3));
        break;
      case RevocationShape::BesideManyQuestions:
        add(b.grant(b.root(), "source", user(a()), manage_all(test::prefix({"team"})), 1));
        add(b.grant(a(), "dev", user(holder()), manage_all(labelled({"team", "b"}, "dev")), 1));
        for (std::size_t j = 0; j < questions; ++j) {
          add(b.grant(holder(), numbered("question-", j), user(next()), question(j), 1));
        }
        for (std::size_t i = 0; i < n; ++i) {
          // Half differ from the one before only by their label.
          const GrantPermissionV1 prod =
              manage_all(labelled({"team", "b", numbered("s", i / 2)}, i % 2 == 0 ? "prod" : "prod-eu"));
          add(b.grant(a(), numbered("narrow-", i), user(holder()), prod, 1));
          add(b.grant_deleted(a(), b.grant_id(numbered("narrow-", i)), prod, 2));
        }
        add(b.grant_deleted(holder(), b.grant_id("question-0"), question(0), 3));
        break;
    }
  }

  std::vector<HashedRecord> hashed() const {
    std::vector<HashedRecord> out;
    for (const VaultRecordV1& r : records) out.push_back(test::hashed_record(b, r));
    return out;
  }

  // Every record's signature vouched for: the work counted is validation's
  // alone, and the signatures are checked elsewhere.
  static VerifiedHashes every_hash(const std::vector<HashedRecord>& hashed) {
    VerifiedHashes out;
    for (const HashedRecord& h : hashed) out.insert(h.hash);
    return out;
  }

  // The state work of validating the shape; every revocation must be
  // admitted, or the work would not be the shape's.
  std::uint64_t work(std::size_t n, std::size_t ballast, std::size_t questions = kQuestions) {
    build(n, ballast, questions);
    const std::vector<HashedRecord> in = hashed();
    const std::uint64_t before = validation_work();
    const auto report = validate_vault_with_verified(std::span<const HashedRecord>(in), trust, b.crypto(), every_hash(in));
    const std::uint64_t after = validation_work();
    EXPECT_TRUE(report.has_value());
    if (report) {
      EXPECT_TRUE(report->issues.empty()) << debug_string(report->issues);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(report->effective.deleted_grants.contains(b.grant_id(numbered("narrow-", i)))) << i;
      }
    }
    return after - before;
  }
};

TEST_P(RevocationWork, JudgedAsTheReferenceJudgesIt) {
  constexpr std::size_t kRevoked = 4;
  build(kRevoked, 3);
  const std::vector<HashedRecord> in = hashed();
  const VerifiedHashes verified = every_hash(in);
  const auto expected = test::reference::validate_vault_with_verified(in, trust, b.crypto(), verified);
  const auto borrowed = validate_vault_with_verified(std::span<const HashedRecord>(in), trust, b.crypto(), verified);
  std::vector<HashedRecord> copy = in;
  const auto consumed = validate_vault_with_verified(std::move(copy), trust, b.crypto(), verified);
  ASSERT_TRUE(expected.has_value() && borrowed.has_value() && consumed.has_value());
  EXPECT_EQ(test::reference::differing_fields(*borrowed, *expected), "");
  EXPECT_EQ(test::reference::differing_fields(*consumed, *expected), "");

  // What each revocation takes with it.
  const EffectiveState& r = expected->effective;
  EXPECT_TRUE(expected->issues.empty()) << debug_string(expected->issues);
  for (std::size_t i = 0; i < kRevoked; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(r.deleted_grants.contains(b.grant_id(numbered("narrow-", i))));
    EXPECT_FALSE(r.grants.contains(b.grant_id(numbered("use-", i))));
    EXPECT_FALSE(r.deleted_grants.contains(b.grant_id(numbered("target-", i))));
  }
  const AuthoritySet& holder_now = r.authority_ref(holder().user_id());
  switch (GetParam()) {
    case RevocationShape::BesideManyQuestions:
      // Nothing B asked about went: its deletion is admitted, and its other
      // grants under env=dev stand.
      EXPECT_TRUE(r.deleted_grants.contains(b.grant_id("question-0")));
      for (std::size_t j = 1; j < kQuestions; ++j) EXPECT_TRUE(r.grants.contains(b.grant_id(numbered("question-", j))));
      EXPECT_EQ(holder_now.manage, std::vector<ManageKeyspaceGrantV1>{
                                       std::get<grant_permission::Manage>(manage_all(labelled({"team", "b"}, "dev")))});
      break;
    case RevocationShape::RootAdministrators:
      EXPECT_TRUE(r.authority_ref(a().user_id()).is_root);
      EXPECT_FALSE(r.authority_ref(administrator(0).user_id()).is_root);
      EXPECT_TRUE(holder_now.manage.empty());
      EXPECT_FALSE(r.deleted_grants.contains(b.grant_id("use-0")));
      break;
    case RevocationShape::Pending:
      // B's deletions are refused, so the targets A made stand.
      EXPECT_TRUE(holder_now.manage.empty());
      for (std::size_t i = 1; i < kRevoked; i += 2) EXPECT_TRUE(r.grants.contains(b.grant_id(numbered("target-", i))));
      break;
    case RevocationShape::ChainUsed:
      // B keeps what A gave it; C, its grantee, has nothing left.
      EXPECT_EQ(holder_now.manage.size(), 1u);
      EXPECT_TRUE(r.authority_ref(next().user_id()).manage.empty());
      EXPECT_FALSE(r.deleted_grants.contains(b.grant_id("use-0")));
      break;
    default:
      EXPECT_TRUE(holder_now.manage.empty());
      EXPECT_FALSE(r.deleted_grants.contains(b.grant_id("use-0")));
      break;
  }
}

// Each revocation here adds three to five records and takes away a few
// values (its grant, the holder's entry and answers, the use); at most
// eight in all, evaluated in each of at most eight iterations, while these
// shapes settle within five. Each evaluation reads a handful of records,
// index entries and matchers, counted as a step each.
constexpr std::uint64_t kStepsPerEvaluation = 16;
constexpr std::uint64_t kWorkPerRevocation = 8 * 8 * kStepsPerEvaluation;

TEST_P(RevocationWork, WorkGrowsWithTheRevocationsNotWithTheVault) {
  constexpr std::size_t kFew = 4;
  constexpr std::size_t kMid = 12;
  constexpr std::size_t kMany = 20;
  // The later revocations cost no more than the earlier ones: none pays
  // for those admitted before it. (The order of user ids moves a few
  // evaluations between them.)
  const std::uint64_t few = work(kFew, 0);
  const std::uint64_t mid = work(kMid, 0);
  const std::uint64_t added = work(kMany, 0) - few;
  EXPECT_LE(added - (mid - few), (mid - few) + (mid - few) / 16);
  EXPECT_LE(added, (kMany - kFew) * kWorkPerRevocation);
  for (const std::size_t ballast : {std::size_t{100}, std::size_t{400}}) {
    SCOPED_TRACE(ballast);
    EXPECT_EQ(work(kMany, ballast) - work(kFew, ballast), added);
  }
  if (GetParam() == RevocationShape::BesideManyQuestions) {
    // Nor with the questions B asks under the revoked entries' paths: each
    // may cost a few steps more to look past the entries along its path,
    // once, but never once per revocation.
    constexpr std::size_t kMoreQuestions = 8 * kQuestions;
    EXPECT_LE(work(kMany, 0, kMoreQuestions) - work(kFew, 0, kMoreQuestions),
              added + (kMoreQuestions - kQuestions) * kStepsPerEvaluation);
  }
}

std::string name_of(RevocationShape shape) {
  switch (shape) {
    case RevocationShape::Used: return "Used";
    case RevocationShape::Pending: return "Pending";
    case RevocationShape::GroupUsed: return "GroupUsed";
    case RevocationShape::ChainUsed: return "ChainUsed";
    case RevocationShape::RootAdministrators: return "RootAdministrators";
    case RevocationShape::BesideManyQuestions: return "BesideManyQuestions";
  }
  return "?";
}

INSTANTIATE_TEST_SUITE_P(ValidateRevocations, RevocationWork,
                         ::testing::Values(RevocationShape::Used, RevocationShape::Pending, RevocationShape::GroupUsed,
                                           RevocationShape::ChainUsed, RevocationShape::RootAdministrators,
                                           RevocationShape::BesideManyQuestions),
                         [](const auto& info) { return name_of(info.param); });

}  // namespace
