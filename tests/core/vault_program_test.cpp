// The vault program language: what its index operands stand for, how it
// writes selectors, what its references reach, the limits every program
// stays within, and that any byte string runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "random_vault.hpp"
#include "vault_program.hpp"
#include "vault_program_writer.hpp"
#include "vornex/core/validate/pipeline.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::test::program;

namespace {

constexpr auto kFast = test::ProgramSignatures::Placeholder;

test::ProgramVault run(const Code& code, test::ProgramSignatures signatures = kFast) {
  return test::run_vault_program(code, test::shared_builder(), signatures);
}

template <class Body>
std::vector<Body> bodies(const test::ProgramVault& vault) {
  std::vector<Body> out;
  for (const auto& r : vault.records) {
    if (const auto* body = std::get_if<Body>(&r.body())) out.push_back(*body);
  }
  return out;
}

Code a() { return num(1); }
Code any_read() { return read(any()); }

// --- Indices ----------------------------------------------------------------

struct IndexCase {
  const char* name;
  Code program;
  std::vector<std::uint64_t> counters;  // of the grants, in order
};

// Grants from the root whose counters show the index; seeds differ by r.
Code indexed(Code counter) { return Writer().grant(root(), text(Word::N, Suffix::R), as_user(a()), any_read(), counter).code(); }

std::vector<IndexCase> index_cases() {
  const auto in_repeat = [](std::uint16_t count, Code counter) {
    return cat({Writer().repeat(count).code(), indexed(std::move(counter))});
  };
  return {
      {"Plain", in_repeat(3, num(7)), {7, 7, 7}},
      {"T", in_repeat(4, num(1, Ix::T)), {1, 2, 3, 4}},
      {"Down", in_repeat(4, num(1, Ix::Down)), {4, 3, 2, 1}},
      {"K", in_repeat(2, num(1, Ix::K)), {3, 3}},
      {"Half", in_repeat(5, num(10, Ix::Half)), {10, 10, 11, 11, 12}},
      {"WideBase", in_repeat(2, num(1000, Ix::T)), {1000, 1001}},
      // A block of two: r counts both instructions, t the iterations.
      {"BlockR",
       cat({Writer().repeat(3, 2).code(), indexed(num(1, Ix::R)),
            Writer().grant(root(), text(Word::Q, Suffix::T), as_user(a()), any_read(), num(20, Ix::T)).code()}),
       {1, 20, 3, 21, 5, 22}},
      // Nested: the outer iteration inside the inner repeat.
      {"OuterT",
       cat({Writer().repeat(2).repeat(2).code(),
            Writer().grant(root(), text(Word::N, Suffix::OuterT), as_user(a()), read(exact(path({text(Word::X, Suffix::T)}))),
                           num(5, Ix::OuterT)).code()}),
       {5, 5, 6, 6}},
  };
}

struct ProgramIndices : ::testing::TestWithParam<IndexCase> {};

TEST_P(ProgramIndices, CountersFollowTheRepeat) {
  std::vector<std::uint64_t> counters;
  for (const GrantRecordV1& g : bodies<GrantRecordV1>(run(GetParam().program))) counters.push_back(g.counter);
  EXPECT_EQ(counters, GetParam().counters);
}

INSTANTIATE_TEST_SUITE_P(VaultProgram, ProgramIndices, ::testing::ValuesIn(index_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VaultProgram, TextsAppendTheirIndex) {
  Writer w;
  w.repeat(12).grant(root(), text(Word::K, Suffix::PaddedT), as_user(a()), any_read());
  w.repeat(3).grant(root(), text(Word::V, Suffix::Down), as_user(a()), any_read());
  std::vector<std::string> seeds;
  for (const GrantRecordV1& g : bodies<GrantRecordV1>(run(w.code()))) {
    seeds.emplace_back(g.seed.bytes().begin(), g.seed.bytes().end());
  }
  ASSERT_EQ(seeds.size(), 15u);
  EXPECT_EQ(seeds[0], "k000000");
  EXPECT_EQ(seeds[11], "k000011");
  EXPECT_EQ(std::vector<std::string>(seeds.begin() + 12, seeds.end()), (std::vector<std::string>{"v2", "v1", "v0"}));
}

// --- Selectors --------------------------------------------------------------

KeyspaceSelectorV1 selector_of(const Code& selector) {
  const auto grants = bodies<GrantRecordV1>(run(Writer().grant(root(), text(Word::X), as_user(a()), read(selector)).code()));
  if (grants.size() != 1) return {};
  return std::get<grant_permission::Read>(*grants.front().permission).selector;
}

TEST(VaultProgram, LabelsAreSortedByKeyAndDeduplicatedUnlessAsWritten) {
  const Code matchers = labels({equals(text(Word::Z), text(Word::One)), present(text(Word::A)), absent(text(Word::A))});
  const KeyspaceSelectorV1 canonical = selector_of(prefix(path({text(Word::Team)}), matchers));
  EXPECT_EQ(canonical.tuple, TupleMatcherV1(tuple_matcher::Prefix{{"team"}}));
  EXPECT_EQ(canonical.labels, (std::vector<KeyspaceLabelMatcherV1>{{"a", label_matcher::Present{}},
                                                                   {"z", label_matcher::Equals{"1"}}}));
  Code written = prefix(path({text(Word::Team)}), matchers);
  written.front() |= 0x80;
  EXPECT_EQ(selector_of(written).labels.size(), 3u);
  EXPECT_EQ(selector_of(written).labels.front().key, "z");
}

TEST(VaultProgram, InListsJoinTextsAndARangeInOrder) {
  const KeyspaceSelectorV1 s = selector_of(any(labels({in(text(Word::L), {text(Word::W), text(Word::C)}, Word::V, 11)})));
  ASSERT_EQ(s.labels.size(), 1u);
  EXPECT_EQ(std::get<label_matcher::In>(s.labels.front().matcher).values,
            (std::vector<std::string>{"c", "v0", "v1", "v10", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "w"}));
  const KeyspaceSelectorV1 range = selector_of(any(labels({equals_range(text(Word::K), 3, text(Word::One))})));
  EXPECT_EQ(range.labels, (std::vector<KeyspaceLabelMatcherV1>{{"k000000", label_matcher::Equals{"1"}},
                                                               {"k000001", label_matcher::Equals{"1"}},
                                                               {"k000002", label_matcher::Equals{"1"}}}));
}

// --- References -------------------------------------------------------------

// A, the root's read grant "x" to A, then what `then` adds.
test::ProgramVault with_grant(const Writer& then) {
  Writer w;
  w.user(root(), a()).grant(root(), text(Word::X), as_user(a()), any_read());
  return run(cat({w.code(), then.code()}));
}

TEST(VaultProgram, DeleteOfTakesTheTargetsPermissionAndNextCounter) {
  const auto deletions = bodies<GrantDeletedRecordV1>(with_grant(Writer().delete_of(root(), newest(num(0)))));
  ASSERT_EQ(deletions.size(), 1u);
  EXPECT_EQ(deletions.front().counter, 2u);
  EXPECT_EQ(deletions.front().permission, GrantPermissionV1(grant_permission::Read{KeyspaceSelectorV1{}}));
  EXPECT_EQ(deletions.front().grant_id, test::shared_builder().grant_id("x"));
  // The third record from the first is A's entry point, which nothing deletes.
  EXPECT_TRUE(bodies<GrantDeletedRecordV1>(with_grant(Writer().delete_of(root(), from_first(num(2))))).empty());
}

TEST(VaultProgram, RewriteAtTheSameCounterConflicts) {
  const test::ProgramVault vault = with_grant(Writer().rewrite(root(), newest(num(0)), num(0), write(any())));
  ASSERT_EQ(bodies<GrantRecordV1>(vault).size(), 2u);
  const auto report = validate::validate_vault_with_verified(std::span<const validate::HashedRecord>(vault.records),
                                                             vault.trust, test::shared_builder().crypto(), vault.verified);
  ASSERT_TRUE(report.has_value());
  EXPECT_TRUE(report->effective.conflicts.contains(record_key::Grant{test::shared_builder().grant_id("x")}));
}

TEST(VaultProgram, SeenRaisesTheTrustStateAndSpoilBreaksTheSignature) {
  const test::ProgramVault vault = with_grant(Writer().seen(newest(num(0)), num(9)).spoil(from_first(num(1))));
  const RecordKey grant = record_key::Grant{test::shared_builder().grant_id("x")};
  ASSERT_TRUE(vault.trust.counters().contains(grant));
  EXPECT_EQ(vault.trust.counters().at(grant), 9u);
  ASSERT_EQ(vault.records.size(), 4u);
  EXPECT_FALSE(vault.verified.contains(vault.records[1].hash));
  EXPECT_EQ(vault.verified.size(), 3u);
}

// --- Limits and any input ---------------------------------------------------

// No record is as small as a hundred bytes, so the byte limit comes first.
constexpr std::size_t kSmallestRecord = 100;

TEST(VaultProgram, StopsAtTheLimits) {
  Writer w;
  w.repeat(32768).repeat(32768).grant(root(), text(Word::N, Suffix::PaddedT), as_user(num(0, Ix::OuterT)), any_read());
  const test::ProgramVault vault = run(w.code());
  EXPECT_LE(vault.records.size(), test::kProgramMaxRecords);
  EXPECT_LE(vault.bytes, test::kProgramMaxBytes);
  EXPECT_GT(vault.bytes + kSmallestRecord * 2, test::kProgramMaxBytes);
  // A billion instructions that make nothing end at the step limit.
  EXPECT_EQ(run(Writer().repeat(32768).repeat(32768).order(0).code()).records.size(), 1u);
}

TEST(VaultProgram, StopsAtTheByteLimit) {
  Writer w;
  w.repeat(32768).grant(root(), text(Word::N, Suffix::T), as_user(a()),
                        read(any(labels({in(text(Word::L), {}, Word::V, 65535)}))));
  const test::ProgramVault vault = run(w.code());
  EXPECT_LE(vault.bytes, test::kProgramMaxBytes);
  EXPECT_GT(vault.bytes, test::kProgramMaxBytes / 2);
}

constexpr std::uint64_t kRandomPrograms = 16;
constexpr std::uint64_t kRandomProgramBytes = 300;

TEST(VaultProgram, EveryByteStringRuns) {
  for (std::uint64_t seed = 0; seed < kRandomPrograms; ++seed) {
    SCOPED_TRACE(seed);
    test::SeededRng rng(seed);
    Code code(rng.below(kRandomProgramBytes));
    for (std::uint8_t& byte : code) byte = static_cast<std::uint8_t>(rng.next());
    const test::ProgramVault vault = run(code);
    ASSERT_FALSE(vault.records.empty());
    EXPECT_LE(vault.records.size(), test::kProgramMaxRecords);
    EXPECT_LE(vault.bytes, test::kProgramMaxBytes);
    std::set<HashValue> hashes;
    for (const auto& r : vault.records) hashes.insert(r.hash);
    EXPECT_EQ(hashes.size(), vault.records.size());
    EXPECT_TRUE(std::ranges::includes(hashes, vault.verified));
  }
}

TEST(VaultProgram, PlaceholderSignaturesChangeNothingButTheSignatures) {
  Writer w;
  w.user(root(), a()).repeat(3).grant(a(), text(Word::N, Suffix::T), as_user(a()), any_read());
  const test::ProgramVault real = run(w.code(), test::ProgramSignatures::Real);
  const test::ProgramVault placeholder = run(w.code(), kFast);
  ASSERT_EQ(real.records.size(), placeholder.records.size());
  for (std::size_t i = 0; i < real.records.size(); ++i) {
    EXPECT_EQ(real.records[i].record.body, placeholder.records[i].record.body);
    EXPECT_NE(real.records[i].record.signature, placeholder.records[i].record.signature);
  }
  EXPECT_EQ(real.bytes, placeholder.bytes);
}

}  // namespace
