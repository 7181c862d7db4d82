#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "validated_vault.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::TestVault;

namespace {

VerifiedRecord lww_record(std::uint64_t counter, cord::Bytes signer, cord::Bytes hash, bool root_kind = false) {
  VerifiedRecord r;
  r.record.body =
      root_kind ? RecordBodyV1(VaultRootRecordV1{}) : RecordBodyV1(GroupDeletedRecordV1{GroupId{}, counter});
  r.signer = UserId(HashValue(std::move(signer)));
  r.hash = HashValue(std::move(hash));
  return r;
}

TEST(CompareLww, FirstDifferenceDecides) {
  const std::tuple<const char*, VerifiedRecord, VerifiedRecord, std::strong_ordering> cases[] = {
      {"counter beats signer", lww_record(2, {0}, {0}), lww_record(1, {9}, {9}), std::strong_ordering::greater},
      {"signer beats hash", lww_record(1, {1}, {0}), lww_record(1, {0}, {9}), std::strong_ordering::greater},
      {"hash last", lww_record(1, {1}, {1}), lww_record(1, {1}, {2}), std::strong_ordering::less},
      {"prefix signer is less", lww_record(1, {1}, {9}), lww_record(1, {1, 0}, {0}), std::strong_ordering::less},
      {"root counts as zero", lww_record(0, {1}, {0}, true), lww_record(0, {0}, {0}), std::strong_ordering::greater},
      {"all equal", lww_record(1, {1}, {1}), lww_record(1, {1}, {1}), std::strong_ordering::equal},
  };
  for (const auto& [name, a, b, expected] : cases) EXPECT_EQ(compare_lww(a, b), expected) << name;
}

// Alice holds the root permission, so her principal records count as the root's do.
TestVault with_second_root() {
  TestVault v;
  v.enrol(v.id(2)).add(v.b.grant(v.root(), "root", PrincipalRefV1{v.id(2).user_id()}, test::root_permission()));
  return v;
}

GroupRecordV1 group_body(const TestVault& v, const std::string& handle, std::uint64_t counter) {
  return GroupRecordV1{v.b.group_id("g"), IdSeed(cord::Bytes{'g'}), handle, counter};
}

TEST(Competition, IdenticalBodiesFromTwoSignersAreOneValueWithSmallestHash) {
  TestVault v = with_second_root();
  v.add(v.b.sign(v.root(), group_body(v, "ops", 1))).add(v.b.sign(v.id(2), group_body(v, "ops", 1)));
  const auto records = v.verified();
  const VerifiedRecord& a = records[records.size() - 2];
  const VerifiedRecord& b = records.back();

  const GroupId id = v.b.group_id("g");  // the competition keeps a pointer to it
  validate::detail::Competition<GroupId> competition;
  competition.add(id, a);
  competition.add(id, b);
  ConflictSlots slots;
  const VerifiedRecord* winner = nullptr;
  competition.decide(slots, [&](const GroupId&, const VerifiedRecord& r) { winner = &r; });
  EXPECT_TRUE(slots.empty());
  ASSERT_NE(winner, nullptr);
  EXPECT_EQ(winner->hash, std::min(a.hash, b.hash));
  EXPECT_TRUE(v.state().conflicts.empty());
}

TEST(Competition, DifferingBodiesConflictUntilAHigherCounter) {
  TestVault v = with_second_root();
  v.add(v.b.sign(v.root(), group_body(v, "ops", 1))).add(v.b.sign(v.id(2), group_body(v, "dev", 1)));
  const RecordKey key = record_key::Group{v.b.group_id("g")};
  const EffectiveState s = v.state();
  EXPECT_FALSE(s.groups.contains(v.b.group_id("g")));
  ASSERT_TRUE(s.conflicts.contains(key));
  const ConflictReport& report = s.conflicts.at(key);
  EXPECT_EQ(report.counter, 1u);
  EXPECT_FALSE(report.rollback_counter.has_value());
  EXPECT_EQ(report.candidates.size(), 2u);
  v.add(v.b.sign(v.root(), group_body(v, "ops", 2)));
  const EffectiveState later = v.state();
  EXPECT_FALSE(later.conflicts.contains(key));
  EXPECT_EQ(later.groups.at(v.b.group_id("g")).handle, "ops");
}

TEST(MaterializeConflicts, CandidatesAreSortedDistinctAndMayBeMissing) {
  TestVault v;
  v.add(v.b.group(v.root(), "a")).add(v.b.group(v.root(), "b"));
  auto records = v.verified();
  records.push_back(records[1]);  // the same envelope twice
  std::vector<HashValue> hashes{records[1].hash, records[2].hash};
  std::sort(hashes.begin(), hashes.end());
  const RecordKey key = record_key::Group{v.b.group_id("a")};
  const RecordKey lost = record_key::Group{v.b.group_id("z")};
  ConflictSlots slots{{key, ConflictSlot{hashes, 7}}, {lost, ConflictSlot{{HashValue(cord::Bytes{1})}, 3}}};
  const auto reports = materialize_conflicts(slots, records);
  ASSERT_EQ(reports.size(), 2u);
  const ConflictReport& report = reports.at(key);
  EXPECT_EQ(report.counter, 7u);
  ASSERT_EQ(report.candidates.size(), 2u);
  EXPECT_LT(cord::serialize(report.candidates[0]).value(), cord::serialize(report.candidates[1]).value());
  EXPECT_TRUE(reports.at(lost).candidates.empty());
}

TEST(LwwResolution, ConflictsOnlyAmongAuthorisedTopWrites) {
  TestVault v;
  const auto& alice = v.id(2);
  const auto& reader = v.id(3);
  const auto sel = test::selector({"db"});
  v.enrol(alice).enrol(reader).add(
      v.b.grant(v.root(), "r", PrincipalRefV1{reader.user_id()}, test::read_permission(test::any_keyspace())));
  v.add(v.b.grant(v.root(), "w", PrincipalRefV1{alice.user_id()}, test::write_permission(test::any_keyspace())));
  v.add(v.b.secret(v.root(), sel, {&v.root()}, 5)).add(v.b.secret_deleted(alice, sel, 5));
  v.add(v.b.secret(reader, sel, {&reader}, 9));  // unauthorised: hides nothing
  const auto records = v.verified();
  const EffectiveState s = v.state();
  const RecordKey key = record_key::Secret{v.b.secret_id(sel)};

  const ConflictSlots slots = lww_resolution(records, {}, s);
  ASSERT_EQ(slots.size(), 1u);
  const ConflictSlot& slot = slots.at(key);
  EXPECT_EQ(slot.counter, 5u);
  ASSERT_EQ(slot.hashes.size(), 2u);
  EXPECT_LT(slot.hashes[0], slot.hashes[1]);

  EXPECT_TRUE(lww_resolution(records, {{key, 1}}, s).empty());

  v.add(v.b.secret(alice, sel, {&v.root()}, 6));
  EXPECT_TRUE(lww_resolution(v.verified(), {}, v.state()).empty());
}

}  // namespace
