// The vault program language: what its index operands stand for, how it
// writes selectors, what its references reach, the limits every program
// stays within, and that any byte string runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "random_vault.hpp"
#include "vault_program.hpp"
#include "vault_program_mutator.hpp"
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

void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.name; }
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

// --- Deep paths, shared and private values -----------------------------------

struct PathCase {
  const char* name;
  Code program;                                  // grants from the root, one path each
  std::vector<std::vector<std::string>> paths;  // of their selectors, in order
};

Code grant_at(Code path_, Code seed = text(Word::N, Suffix::T)) {
  return Writer().grant(root(), std::move(seed), as_user(a()), read(prefix(std::move(path_)))).code();
}

std::vector<std::string> segments(std::size_t n, const std::string& filler) { return std::vector<std::string>(n, filler); }

std::vector<PathCase> path_cases() {
  const Code team = text(Word::Team);
  std::vector<std::string> deep = {"team"};
  for (const std::string& s : segments(70, "d")) deep.push_back(s);
  deep.push_back("x");
  return {
      {"Shallow", grant_at(path({team, text(Word::B)})), {{"team", "b"}}},
      // Count bytes below 0xC0 keep their meaning: six and more wrap.
      {"ShallowWraps", grant_at(Code{7, text(Word::Team)[0]}), {{"team"}}},
      {"DeepWithTail", grant_at(deep_path({team}, num(70), text(Word::D), text(Word::X))), {deep}},
      {"DeepOfEmptySegments", grant_at(deep_path({team, text(Word::B)}, num(3), text(Word::Empty))),
       {{"team", "b", "", "", ""}}},
      {"DepthFollowsTheRepeat", cat({Writer().repeat(3).code(), grant_at(deep_path({}, num(1, Ix::T), text(Word::Q)))}),
       {{"q"}, {"q", "q"}, {"q", "q", "q"}}},
      {"DepthIsCapped", grant_at(deep_path({}, num(60000), text(Word::Empty))), {segments(test::kProgramMaxDepth, "")}},
      // Count bytes past 0xCF are shallow again: 0xD0 is 208, four texts.
      {"PastTheDeepBytes", grant_at(cat({Code{0xD0}, team, team, team, team})), {{"team", "team", "team", "team"}}},
  };
}

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }
struct ProgramPaths : ::testing::TestWithParam<PathCase> {};

TEST_P(ProgramPaths, SelectorsHoldThePath) {
  std::vector<std::vector<std::string>> paths;
  for (const GrantRecordV1& g : bodies<GrantRecordV1>(run(GetParam().program))) {
    const auto& selector = std::get<grant_permission::Read>(*g.permission).selector;
    paths.push_back(std::get<tuple_matcher::Prefix>(selector.tuple).segments);
  }
  EXPECT_EQ(paths, GetParam().paths);
}

INSTANTIATE_TEST_SUITE_P(VaultProgram, ProgramPaths, ::testing::ValuesIn(path_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct MatcherCase {
  const char* name;
  Code matcher;
  // The matcher each of two repeats writes.
  std::vector<KeyspaceLabelMatcherV1> first;
  std::vector<KeyspaceLabelMatcherV1> second;
};

std::vector<MatcherCase> matcher_cases() {
  using label_matcher::In;
  return {
      {"InSharedAndPrivate", in(text(Word::A), {text(Word::One), text(Word::V, Suffix::T)}),
       {{"a", In{{"1", "v0"}}}}, {{"a", In{{"1", "v1"}}}}},
      {"InSharedOnly", in(text(Word::A), {text(Word::One)}), {{"a", In{{"1"}}}}, {{"a", In{{"1"}}}}},
      {"AbsentShared", absent(text(Word::B)), {{"b", label_matcher::Absent{}}}, {{"b", label_matcher::Absent{}}}},
      {"AbsentPrivate", absent(text(Word::B, Suffix::T)), {{"b0", label_matcher::Absent{}}},
       {{"b1", label_matcher::Absent{}}}},
      {"EqualsPrivateValue", equals(text(Word::A), text(Word::V, Suffix::Down)), {{"a", label_matcher::Equals{"v1"}}},
       {{"a", label_matcher::Equals{"v0"}}}},
  };
}

void PrintTo(const MatcherCase& c, std::ostream* os) { *os << c.name; }
struct ProgramMatchers : ::testing::TestWithParam<MatcherCase> {};

TEST_P(ProgramMatchers, SharedPartsRepeatAndPrivateOnesFollowTheIndex) {
  Writer w;
  w.repeat(2).grant(root(), text(Word::N, Suffix::T), as_user(a()), read(any(labels({GetParam().matcher}))));
  const auto grants = bodies<GrantRecordV1>(run(w.code()));
  ASSERT_EQ(grants.size(), 2u);
  EXPECT_EQ(std::get<grant_permission::Read>(*grants[0].permission).selector.labels, GetParam().first);
  EXPECT_EQ(std::get<grant_permission::Read>(*grants[1].permission).selector.labels, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(VaultProgram, ProgramMatchers, ::testing::ValuesIn(matcher_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Users past the builder's are numbered identities: each its own, the same
// in every run, and members of a group like any other.
TEST(VaultProgram, NumberedUsersJoinBigGroups) {
  constexpr std::uint16_t kMembers = 300;
  Writer w;
  w.group(root(), num(0)).repeat(kMembers, 2).user(root(), numbered(0, Ix::T)).member(root(), num(0), as_user(numbered(0, Ix::T)));
  // Past the last numbered user the count starts again; below them the
  // builder's users wrap as they always did.
  w.user(root(), numbered(test::kNumberedUsers)).user(root(), num(test::kBuilderUsers + 2));
  const test::ProgramVault vault = run(w.code());
  std::set<UserId> users;
  for (const UserRecordV1& u : bodies<UserRecordV1>(vault)) users.insert(u.user_id);
  EXPECT_EQ(users.size(), kMembers + 1);
  EXPECT_EQ(bodies<GroupMemberRecordV1>(vault).size(), kMembers);
  const test::VaultBuilder& b = test::shared_builder();
  EXPECT_EQ(bodies<UserRecordV1>(vault).back().user_id, b.identity(2).user_id());
  for (std::size_t u = 1; u <= kMembers; ++u) {
    EXPECT_TRUE(users.contains(test::program_user(b, test::kBuilderUsers + u).user_id())) << u;
  }
  EXPECT_EQ(test::program_user(b, test::kBuilderUsers).user_id(),
            b.identity(static_cast<std::uint8_t>(test::kBuilderUsers + 1)).user_id());
  EXPECT_EQ(&test::program_user(b, 4000), &test::program_user(b, 4000));
  const auto report = validate::validate_vault_with_verified(std::span<const validate::HashedRecord>(vault.records),
                                                             vault.trust, b.crypto(), vault.verified);
  ASSERT_TRUE(report.has_value());
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

// No record is as large as a kilobyte without long lists, so small
// grants meet the record limit first.
constexpr std::size_t kLargestPlainRecord = 1024;

TEST(VaultProgram, StopsAtTheLimits) {
  Writer w;
  w.repeat(32768).repeat(32768).grant(root(), text(Word::N, Suffix::PaddedT), as_user(num(0, Ix::OuterT)), any_read());
  const test::ProgramVault vault = run(w.code());
  EXPECT_EQ(vault.records.size(), test::kProgramMaxRecords);
  EXPECT_LE(vault.bytes, test::kProgramMaxRecords * kLargestPlainRecord);
  EXPECT_LE(vault.bytes, test::kProgramMaxBytes);
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

// --- The structural mutator -------------------------------------------------

TEST(VaultProgram, MapFindsEachPartWhereItIsRead) {
  Writer w;
  w.user(root(), a()).repeat(300).grant(root(), text(Word::N, Suffix::T), as_user(a()),
                                            read(prefix(path({text(Word::Team)}), labels({in(text(Word::A), {}, Word::V, 5)}))));
  w.secret(a(), path({}), no_labels());
  const Code code = w.code();
  const auto sites = test::map_vault_program(code);
  std::vector<std::pair<test::ProgramSiteKind, std::uint32_t>> found;
  for (const test::ProgramSite& s : sites) {
    if (s.kind == test::ProgramSiteKind::RepeatCount || s.kind == test::ProgramSiteKind::ListCount) {
      found.emplace_back(s.kind, s.begin);
    }
  }
  // user(4 bytes), repeat op at 4, its two-byte count at 5; the grant at 8:
  // op, signer, seed, principal (2), permission op, selector op, path (2),
  // labels count, matcher kind, key, list count, word, the u16 at 22, and
  // the counter at 24, where the repeat ends.
  EXPECT_EQ(found, (std::vector<std::pair<test::ProgramSiteKind, std::uint32_t>>{
                       {test::ProgramSiteKind::RepeatCount, 5}, {test::ProgramSiteKind::ListCount, 22}}));
  const auto tops = std::ranges::count_if(sites, [](const auto& s) {
    return s.kind == test::ProgramSiteKind::Instruction && s.depth == 0;
  });
  EXPECT_EQ(tops, 3);  // the user, the repeat with its grant, the secret
  const auto repeat = std::ranges::find_if(sites, [](const auto& s) { return s.op == test::ProgramOp::Repeat; });
  ASSERT_NE(repeat, sites.end());
  EXPECT_EQ(repeat->end, 25u);
}

constexpr std::uint64_t kMutations = 200;
constexpr std::size_t kMutationRoom = 600;

// Whatever it draws, the mutator leaves programs that run within the
// limits and the size it was given, and most draws find a place.
TEST(VaultProgram, MutationsKeepProgramsWithinTheirSize) {
  Writer w;
  w.user(root(), a()).repeat(40).grant(root(), text(Word::N, Suffix::T), as_user(a()),
                                       manage(prefix(path({text(Word::Team)}), labels({equals(text(Word::A), text(Word::One))}))));
  std::size_t edited = 0;
  Code code = w.code();
  for (std::uint64_t seed = 0; seed < kMutations; ++seed) {
    if (seed % 16 == 0) code = w.code();
    if (test::mutate_vault_program(code, kMutationRoom, seed) != test::ProgramEdit::None) ++edited;
    ASSERT_LE(code.size(), kMutationRoom);
    const test::ProgramVault vault = run(code);
    ASSERT_LE(vault.records.size(), test::kProgramMaxRecords);
    const Code crossed = test::cross_vault_programs(code, w.code(), kMutationRoom, seed);
    ASSERT_LE(crossed.size(), kMutationRoom);
  }
  EXPECT_GT(edited, kMutations / 2);
}

// Scaling every count multiplies a shape's repeats together.
TEST(VaultProgram, ScalingAllCountsScalesTheShape) {
  Writer w;
  w.user(root(), a()).repeat(10).grant(root(), text(Word::N, Suffix::T), as_user(a()), any_read());
  w.repeat(5).grant_deleted(root(), text(Word::N, Suffix::Down), any_read(), num(2));
  const std::size_t before = bodies<GrantRecordV1>(run(w.code())).size();
  std::set<std::size_t> grants_after;
  for (std::uint64_t seed = 0; seed < kMutations; ++seed) {
    Code code = w.code();
    if (test::mutate_vault_program(code, kMutationRoom, seed) != test::ProgramEdit::ScaleAll) continue;
    const test::ProgramVault vault = run(code);
    const std::size_t grants = bodies<GrantRecordV1>(vault).size();
    const std::size_t deletions = bodies<GrantDeletedRecordV1>(vault).size();
    // Both repeats by one factor: grants twice the deletions, as before.
    if (grants > before) {
      EXPECT_EQ(grants, 2 * deletions);
    }
    grants_after.insert(grants);
  }
  EXPECT_TRUE(grants_after.contains(before * 4));
  EXPECT_TRUE(grants_after.contains(before / 2));
}

struct ReshareCase {
  const char* name;
  Code matcher;
  std::vector<KeyspaceLabelMatcherV1> reached;  // among the matcher edits
};

std::vector<ReshareCase> reshare_cases() {
  using label_matcher::In;
  const Code l = text(Word::L);
  return {
      // Made shared: the private value dropped, as In or as Equals.
      {"InToItsSharedValue", in(l, {text(Word::C), text(Word::V, Suffix::T)}),
       {{"l", In{{"c"}}}, {"l", label_matcher::Equals{"c"}}}},
      // Made private: a value of each repeat's own beside the shared one.
      {"EqualsToSharedAndPrivate", equals(l, text(Word::C)), {{"l", In{{"c", "v0"}}}}},
      // A key the others have, asked to be absent.
      {"KeyMadeAbsent", equals(l, text(Word::E, Suffix::T)), {{"l", label_matcher::Absent{}}}},
  };
}

void PrintTo(const ReshareCase& c, std::ostream* os) { *os << c.name; }
struct ProgramReshare : ::testing::TestWithParam<ReshareCase> {};

TEST_P(ProgramReshare, MatcherEditsMakeValuesSharedOrPrivate) {
  Writer w;
  w.repeat(2).grant(root(), text(Word::N, Suffix::T), as_user(a()), read(any(labels({GetParam().matcher}))));
  std::vector<KeyspaceLabelMatcherV1> found;
  for (std::uint64_t seed = 0; seed < kMutations * 4; ++seed) {
    Code code = w.code();
    const test::ProgramEdit edit = test::mutate_vault_program(code, kMutationRoom, seed);
    if (edit != test::ProgramEdit::Matcher && edit != test::ProgramEdit::Labels) continue;
    const auto grants = bodies<GrantRecordV1>(run(code));
    if (grants.empty()) continue;
    const auto& labels_ = std::get<grant_permission::Read>(*grants.front().permission).selector.labels;
    if (labels_.size() == 1) found.push_back(labels_.front());
  }
  for (const KeyspaceLabelMatcherV1& want : GetParam().reached) {
    EXPECT_NE(std::ranges::find(found, want), found.end()) << want.key;
  }
}

INSTANTIATE_TEST_SUITE_P(VaultProgram, ProgramReshare, ::testing::ValuesIn(reshare_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
