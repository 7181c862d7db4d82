// The vaults a hostile member can write to make validation work hardest
// (support/hostile_shapes): each is judged as the reference engine judges
// it and has the effect its shape is built for, and validation's counted
// work on it grows near-linearly with its records and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "hostile_shapes.hpp"
#include "reference_validate.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/work.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using test::HostileShape;
using test::HostileVault;

namespace vornex::test {
void PrintTo(HostileShape shape, std::ostream* out) { *out << hostile_shape_name(shape); }
}  // namespace vornex::test

namespace {

// Small enough for the reference engine, large enough that every shape
// has several of whatever it repeats.
constexpr std::size_t kSmall = 64;
// Beside what a shape repeats: its cast, their entry points, the grants
// and groups it starts from.
constexpr std::size_t kFixedRecords = 16;
// A value or label matcher is a few bytes at least.
constexpr std::size_t kMinBytesPerValue = 4;
// The two sizes the work bound compares, a factor four apart.
constexpr std::size_t kSize = 500;
constexpr std::size_t kGrowthFactor = 4;
// Near-linear work grows about four times for four times the size; the
// rest is room for the indexes' logarithms.
constexpr std::uint64_t kGrowth = 5;
// Steps per record and byte of the vault, whatever the shape: the linear
// shapes take half a step or less (biginlist, whose In values are each
// checked in order, filed and counted, takes the most).
constexpr std::uint64_t kPerUnit = 1;


ValidationReport engine(const HostileVault& v, std::span<const HashedRecord> records) {
  auto report = validate_vault_with_verified(records, v.trust, test::shared_builder().crypto(), v.verified);
  if (!report) throw std::runtime_error("validation failed: " + report.error().message());
  return std::move(*report);
}

ValidationReport reference(const HostileVault& v, std::span<const HashedRecord> records) {
  auto report = test::reference::validate_vault_with_verified(records, v.trust, test::shared_builder().crypto(), v.verified);
  if (!report) throw std::runtime_error("reference validation failed: " + report.error().message());
  return std::move(*report);
}

// The work counted while the engine validates the vault.
std::uint64_t work_of(const HostileVault& v) {
  const std::uint64_t before = work_done();
  const ValidationReport report = engine(v, v.records);
  const std::uint64_t after = work_done();
  EXPECT_EQ(test::hostile_report_problem(v, report), "");
  return after - before;
}

struct HostileShapes : ::testing::TestWithParam<HostileShape> {};

TEST_P(HostileShapes, JudgedAsTheReferenceJudgesItAndHaveTheirEffect) {
  const HostileVault v = test::build_hostile_shape(GetParam(), kSmall);
  if (test::sized_by_one_record(GetParam())) {
    // One record carries the size: a value or matcher costs bytes.
    EXPECT_LT(v.records.size(), kFixedRecords);
    EXPECT_GT(v.bytes, kSmall * kMinBytesPerValue);
  } else {
    // About n records, give or take rounding and the fixed ones.
    EXPECT_LE(v.records.size(), kSmall + kSmall / 8 + kFixedRecords);
    EXPECT_GE(v.records.size() + kSmall / 8, kSmall);
  }
  const ValidationReport expected = reference(v, v.records);
  const ValidationReport got = engine(v, v.records);
  EXPECT_EQ(test::reference::differing_fields(got, expected), "");
  EXPECT_EQ(test::hostile_report_problem(v, expected), "");
  EXPECT_EQ(test::hostile_report_problem(v, got), "");
}

// With only the first k revocations, each shape built on them shows what
// the revocations left change: the toggled records all in force or none,
// by the parity of the winner left, or the one rewritten grant handed to
// the record below. So each revocation changes an answer, which is what
// makes these shapes costly. In the shapes that keep their first entry
// (inrevoke, nestgrow) or revoke entries nobody asks under (groupask), the
// holder's entries shrink one by one while every answer below stays.
struct HostileRevocations : HostileShapes {};

TEST_P(HostileRevocations, EachRevocationChangesWhatItsShapeChanges) {
  constexpr std::size_t kPrefixes = 3;
  const HostileVault v = test::build_hostile_shape(GetParam(), kSmall);
  ASSERT_GT(v.revocations.size(), kPrefixes);
  ASSERT_TRUE(v.check_with_revocations);
  for (std::size_t kept = 0; kept < kPrefixes; ++kept) {
    SCOPED_TRACE(kept);
    const std::set<std::size_t> dropped(v.revocations.begin() + static_cast<std::ptrdiff_t>(kept), v.revocations.end());
    std::vector<HashedRecord> records;
    for (std::size_t i = 0; i < v.records.size(); ++i) {
      if (!dropped.contains(i)) records.push_back(v.records[i]);
    }
    const ValidationReport expected = reference(v, records);
    const ValidationReport got = engine(v, records);
    EXPECT_EQ(test::reference::differing_fields(got, expected), "");
    EXPECT_EQ(v.check_with_revocations(expected, kept), "");
  }
}

TEST_P(HostileShapes, WorkGrowsNearLinearly) {
  const HostileVault small = test::build_hostile_shape(GetParam(), kSize);
  const std::uint64_t at_small = work_of(small);
  const HostileVault large = test::build_hostile_shape(GetParam(), kGrowthFactor * kSize);
  const std::uint64_t at_large = work_of(large);
  const std::string measured = std::to_string(at_small) + " at " + std::to_string(kSize) + ", " +
                               std::to_string(at_large) + " at " + std::to_string(kGrowthFactor * kSize);
  // Against the vault's own growth, records and bytes: a shape whose bytes
  // grow faster than its records (nestgrow's paths deepen with its size)
  // may take as much more work.
  const double units_small = static_cast<double>(small.records.size() + small.bytes);
  const double units_large = static_cast<double>(large.records.size() + large.bytes);
  const double vault_growth = std::max(1.0, units_large / units_small / static_cast<double>(kGrowthFactor));
  EXPECT_LE(static_cast<double>(at_large), static_cast<double>(kGrowth * at_small) * vault_growth) << measured;
  EXPECT_LE(at_small, kPerUnit * (small.records.size() + small.bytes)) << measured;
  EXPECT_LE(at_large, kPerUnit * (large.records.size() + large.bytes)) << measured;
}

// Not run by default: the work at four sizes, for the table of growth.
TEST_P(HostileShapes, DISABLED_WorkTable) {
  std::printf("%-16s", test::hostile_shape_name(GetParam()));
  std::uint64_t last = 0;
  for (const std::size_t n : {std::size_t{250}, std::size_t{1000}, std::size_t{4000}, std::size_t{16000}}) {
    const HostileVault v = test::build_hostile_shape(GetParam(), n);
    const std::uint64_t work = work_of(v);
    std::printf("  %6zu: %10llu (x%5.2f, %.2f/unit)", n, static_cast<unsigned long long>(work),
                last == 0 ? 0.0 : static_cast<double>(work) / static_cast<double>(last),
                static_cast<double>(work) / static_cast<double>(v.records.size() + v.bytes));
    last = work;
  }
  std::printf("\n");
}

const auto kShapeName = [](const auto& info) { return std::string(test::hostile_shape_name(info.param)); };

INSTANTIATE_TEST_SUITE_P(ValidateHostileShapes, HostileShapes, ::testing::ValuesIn(test::kHostileShapes), kShapeName);
INSTANTIATE_TEST_SUITE_P(ValidateHostileShapes, HostileRevocations,
                         ::testing::Values(HostileShape::ToggleLabel, HostileShape::PendTarget, HostileShape::PendFakeUp,
                                           HostileShape::Conflict1, HostileShape::ToggleGrant, HostileShape::MemberFlip,
                                           HostileShape::InRevoke, HostileShape::InDel, HostileShape::NestGrow,
                                           HostileShape::GroupAsk),
                         kShapeName);

}  // namespace
