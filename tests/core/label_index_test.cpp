// The label index must find exactly what a plain scan of its entries finds,
// whichever matcher each entry is filed under, and must keep its promises on
// cost: an entry filed where no lookup looks is never read, nor is one not
// yet in force for the iteration asked about.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "vornex/core/label_index.hpp"

namespace {

using namespace vornex::core;

struct Entry {
  KeyspaceSelectorV1 selector;
};
using Slot = LabelSlot<Entry>;

const auto kSelectorOf = [](const Entry& e) -> const KeyspaceSelectorV1& { return e.selector; };
const auto kLive = [](const Slot::Posting&) { return true; };
const auto kAcceptAll = [](const Entry&) { return true; };

KeyspaceLabelMatcherV1 equals(const char* key, std::string value) {
  return {key, label_matcher::Equals{std::move(value)}};
}
KeyspaceLabelMatcherV1 absent(const char* key) { return {key, label_matcher::Absent{}}; }

KeyspaceSelectorV1 selector(std::vector<KeyspaceLabelMatcherV1> labels) {
  return KeyspaceSelectorV1{tuple_matcher::Any{}, std::move(labels)};
}

// Entries live in a deque: the slot keeps pointers to them.
struct Filed {
  std::deque<Entry> entries;
  MatcherCounts counts;
  Slot slot;

  void file(const LabelDemand* demand, Slot::InForce in_force = {}, LookupKind serves = LookupKind::Questions) {
    for (const Entry& e : entries) counts.count(e.selector);
    for (const Entry& e : entries) slot.add(e, e.selector, counts, 0, demand, in_force, serves);
  }
};

// Entries {a In [1, v<i>], b Absent}: each shares its value 1 with all the
// others and its Absent b with all the others, but only the b buckets are
// looked in by nobody asking about a=1, b=1.
void fill_shared(Filed& f, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    f.entries.push_back(Entry{selector({{"a", label_matcher::In{{"1", "v" + std::to_string(i)}}}, absent("b")})});
  }
}

const KeyspaceSelectorV1 kQuestion = selector({equals("a", "1"), equals("b", "1")});
const SecretSelectorV1 kSecret{{}, {{"a", "1"}, {"b", "1"}}};

std::uint64_t cover_work(const Filed& f, std::uint8_t now = Slot::kEveryTier) {
  const std::uint64_t before = work_done();
  EXPECT_EQ(f.slot.covers(kQuestion, kSelectorOf, kLive, kAcceptAll, 0, now), nullptr);
  return work_done() - before;
}

std::uint64_t match_work(const Filed& f) {
  const std::uint64_t before = work_done();
  EXPECT_FALSE(f.slot.matches(kSecret, kSelectorOf, kLive, kAcceptAll));
  return work_done() - before;
}

struct DemandCase {
  const char* name;
  bool secrets;  // the demand and the lookup are a secret's, else a question's
};
void PrintTo(const DemandCase& c, std::ostream* os) { *os << c.name; }

class LabelSlotDemand : public testing::TestWithParam<DemandCase> {};

TEST_P(LabelSlotDemand, FilesWhereTheLookupsDoNotLook) {
  const bool secrets = GetParam().secrets;
  const auto work = [&](std::size_t n, bool with_demand) {
    Filed f;
    fill_shared(f, n);
    LabelDemand demand;
    for (const Entry& e : f.entries) demand.add_entry(e.selector);
    if (secrets) {
      demand.add_secret(kSecret);
    } else {
      demand.add_question(kQuestion);
    }
    f.file(with_demand ? &demand : nullptr, {}, secrets ? LookupKind::Secrets : LookupKind::Questions);
    return secrets ? match_work(f) : cover_work(f);
  };
  // With the demand the lookup reads none of the entries, however many.
  EXPECT_EQ(work(10, true), work(1000, true));
  EXPECT_LT(work(1000, true), 20u);
  // Without it each entry is filed under its value 1, which the lookup reads.
  EXPECT_GE(work(1000, false), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Lookups, LabelSlotDemand,
                         testing::Values(DemandCase{"Questions", false}, DemandCase{"Secrets", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Small random selectors in sorted order: keys ascending, In lists
// ascending, a key repeated now and then (the first decides).
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  KeyspaceSelectorV1 keyspace() {
    KeyspaceSelectorV1 out = selector({});
    for (const char* key : {"a", "b", "c"}) {
      if (pick(3) == 0) continue;
      KeyspaceLabelMatcherV1 m{key, label_matcher::Present{}};
      switch (pick(4)) {
        case 0:
          break;
        case 1:
          m.matcher = label_matcher::Equals{value()};
          break;
        case 2: {
          std::vector<std::string> values;
          for (const auto& v : kValues) {
            if (pick(2) == 0) values.push_back(v);
          }
          // An empty list now and then, though no record holds one.
          if (values.empty() && pick(4) != 0) values.push_back(value());
          m.matcher = label_matcher::In{values};
          break;
        }
        default:
          m.matcher = label_matcher::Absent{};
          break;
      }
      out.labels.push_back(m);
      if (pick(12) == 0) out.labels.push_back(out.labels.back());
    }
    return out;
  }

  SecretSelectorV1 secret() {
    SecretSelectorV1 out{{}, {}};
    for (const char* key : {"a", "b", "c"}) {
      if (pick(3) != 0) out.labels.push_back({key, value()});
      if (!out.labels.empty() && pick(12) == 0) out.labels.push_back({out.labels.back().key, value()});
    }
    return out;
  }

  std::string value() { return kValues[pick(kValues.size())]; }
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  static inline const std::vector<std::string> kValues{"1", "2", "3"};
  std::mt19937 rng_;
};

class LabelSlotScan : public testing::TestWithParam<bool> {};

TEST_P(LabelSlotScan, AnswersAsAPlainLoop) {
  const bool with_demand = GetParam();
  std::size_t covered = 0, matched = 0, asked = 0;
  for (unsigned seed = 0; seed < 200; ++seed) {
    Generator g(seed);
    Filed f;
    // Every other seed files few entries, so that a place has fewer
    // buckets than a target has labels and is searched by its buckets.
    const std::size_t n = 1 + g.pick(seed % 2 == 0 ? 30 : 3);
    for (std::size_t i = 0; i < n; ++i) f.entries.push_back(Entry{g.keyspace()});
    // Some entries are refused by the caller, which the index must pass over.
    std::set<const Entry*> refused;
    for (const Entry& e : f.entries) {
      if (g.pick(6) == 0) refused.insert(&e);
    }
    const auto accept = [&](const Entry& e) { return !refused.contains(&e); };
    std::vector<KeyspaceSelectorV1> questions;
    std::vector<SecretSelectorV1> secrets;
    for (int q = 0; q < 40; ++q) {
      questions.push_back(g.keyspace());
      secrets.push_back(g.secret());
    }
    LabelDemand demand;
    for (const Entry& e : f.entries) demand.add_entry(e.selector);
    for (const auto& q : questions) demand.add_question(q, g.pick(2) == 0 ? &f.counts : nullptr);
    for (const auto& s : secrets) demand.add_secret(s);
    f.file(with_demand ? &demand : nullptr);

    for (std::size_t q = 0; q < questions.size(); ++q) {
      ++asked;
      const KeyspaceSelectorV1& target = questions[q];
      bool any_covers = false;
      for (const Entry& e : f.entries) any_covers |= accept(e) && sorted_selector_subsumes(e.selector, target);
      const Entry* hit = f.slot.covers(target, kSelectorOf, kLive, accept, g.pick(1000));
      ASSERT_EQ(hit != nullptr, any_covers) << "seed " << seed << " question " << q;
      if (hit != nullptr) {
        ++covered;
        EXPECT_TRUE(accept(*hit));
        EXPECT_TRUE(sorted_selector_subsumes(hit->selector, target)) << "seed " << seed << " question " << q;
      }

      const SecretSelectorV1& secret = secrets[q];
      bool any_matches = false;
      for (const Entry& e : f.entries) any_matches |= accept(e) && sorted_selector_matches(e.selector, secret);
      ASSERT_EQ(f.slot.matches(secret, kSelectorOf, kLive, accept), any_matches)
          << "seed " << seed << " secret " << q;
      matched += any_matches;
    }
  }
  // Both answers must be common enough for the comparison to mean much.
  EXPECT_GT(covered, asked / 10);
  EXPECT_LT(covered, asked * 9 / 10);
  EXPECT_GT(matched, asked / 10);
  EXPECT_LT(matched, asked * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(Filing, LabelSlotScan, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "ByDemand" : "ByCounts"); });

struct TierCase {
  std::uint8_t now;
  bool found;
};
void PrintTo(const TierCase& c, std::ostream* os) { *os << "now " << int{c.now}; }

// Entries in force from iteration 3 up to 6, with a label matcher or
// none (the plain ones every lookup at their place reads).
class LabelSlotTiers : public testing::TestWithParam<std::tuple<TierCase, bool>> {};

TEST_P(LabelSlotTiers, EntriesOutOfForceAreNeitherFoundNorRead) {
  const auto [tier, plain] = GetParam();
  const auto [now, found] = tier;
  const KeyspaceSelectorV1 target = selector({equals("a", "1")});
  const auto lookup = [&](std::size_t n) {
    Filed f;
    for (std::size_t i = 0; i < n; ++i) {
      f.entries.push_back(Entry{plain ? selector({}) : selector({equals("a", "1")})});
    }
    f.file(nullptr, {3, 6});
    const std::uint64_t before = work_done();
    const Entry* hit = f.slot.covers(target, kSelectorOf, kLive, kAcceptAll, 0, now);
    return std::pair{hit != nullptr, work_done() - before};
  };
  const auto [few_found, few_work] = lookup(10);
  const auto [many_found, many_work] = lookup(1000);
  EXPECT_EQ(few_found, found);
  EXPECT_EQ(many_found, found);
  if (!found) {
    EXPECT_EQ(few_work, many_work);
  }
}

INSTANTIATE_TEST_SUITE_P(Now, LabelSlotTiers,
                         testing::Combine(testing::Values(TierCase{1, false}, TierCase{2, false}, TierCase{3, true},
                                                          TierCase{5, true}, TierCase{6, false}, TierCase{7, false},
                                                          TierCase{Slot::kEveryTier, true}),
                                          testing::Bool()),
                         [](const auto& info) {
                           return "Now" + std::to_string(std::get<0>(info.param).now) +
                                  (std::get<1>(info.param) ? "Plain" : "Labelled");
                         });

// Entries filed again as their span moves, the old postings withdrawn:
// a lookup finds them by their last span alone, and one past it reads
// nothing, however many filings there were.
TEST(LabelSlot, RefiledEntriesAreFoundByTheirLastSpan) {
  struct Versioned {
    KeyspaceSelectorV1 selector;
    std::uint32_t generation = 0;
  };
  std::deque<Versioned> entries;
  for (std::size_t i = 0; i < 50; ++i) entries.push_back(Versioned{selector({})});
  LabelSlot<Versioned> slot;
  MatcherCounts counts;
  const auto of = [](const Versioned& v) -> const KeyspaceSelectorV1& { return v.selector; };
  const auto live = [](const LabelSlot<Versioned>::Posting& p) { return p.generation == p.entry->generation; };
  const auto accept = [](const Versioned&) { return true; };
  // Each entry in force over [1, 2), then [1, 3), ... [1, 9): eight filings.
  for (std::uint8_t until = 2; until < 10; ++until) {
    for (Versioned& v : entries) slot.add(v, v.selector, counts, ++v.generation, nullptr, {1, until});
  }
  const KeyspaceSelectorV1 target = selector({equals("a", "1")});
  for (std::uint8_t now = 1; now < 12; ++now) {
    EXPECT_EQ(slot.covers(target, of, live, accept, now, now) != nullptr, now < 9) << int{now};
  }
  const std::uint64_t before = work_done();
  EXPECT_EQ(slot.covers(target, of, live, accept, 0, 10), nullptr);
  EXPECT_LE(work_done() - before, 4u);
}

// Entries filed again for fewer iterations, in buckets a lookup reads or
// in private ones beside: after as many lookups as there are postings, an
// iteration none of them reaches costs what it does in a slot that only
// ever held the new spans, where it had cost a read of the buckets.
struct ShrinkCase {
  const char* name;
  std::size_t private_buckets;  // entries {a=v<i>}, which the lookup never reads
  bool plain;                   // the read entries have no label matcher
};
void PrintTo(const ShrinkCase& c, std::ostream* os) { *os << c.name; }

class LabelSlotShrink : public testing::TestWithParam<ShrinkCase> {};

TEST_P(LabelSlotShrink, AnEntryFiledForFewerIterationsLeavesNoWiderSpan) {
  const ShrinkCase c = GetParam();
  struct Versioned {
    KeyspaceSelectorV1 selector;
    std::uint32_t generation = 0;
  };
  using VSlot = LabelSlot<Versioned>;
  const auto of = [](const Versioned& v) -> const KeyspaceSelectorV1& { return v.selector; };
  const auto live = [](const VSlot::Posting& p) { return p.generation == p.entry->generation; };
  const auto accept = [](const Versioned&) { return true; };
  const KeyspaceSelectorV1 target = selector({equals("a", "1")});
  const auto make = [&](std::deque<Versioned>& entries) {
    for (std::size_t i = 0; i < 20; ++i) entries.push_back(Versioned{c.plain ? selector({}) : selector({equals("a", "1")})});
    for (std::size_t i = 0; i < c.private_buckets; ++i) {
      entries.push_back(Versioned{selector({equals("a", "v" + std::to_string(i))})});
    }
  };
  const auto search = [&](VSlot& slot, std::uint8_t now) {
    const std::uint64_t before = work_done();
    EXPECT_EQ(slot.covers(target, of, live, accept, 0, now), nullptr);
    return work_done() - before;
  };
  MatcherCounts counts;
  std::deque<Versioned> moved;
  make(moved);
  VSlot refiled;
  for (Versioned& v : moved) refiled.add(v, v.selector, counts, ++v.generation, nullptr, {1, 40});
  for (Versioned& v : moved) refiled.add(v, v.selector, counts, ++v.generation, nullptr, {1, 2});
  std::deque<Versioned> fixed;
  make(fixed);
  VSlot fresh;
  for (Versioned& v : fixed) fresh.add(v, v.selector, counts, ++v.generation, nullptr, {1, 2});

  const std::uint64_t first = search(refiled, 20);
  EXPECT_GT(first, search(fresh, 20));
  // The span is narrowed once the searches have cost a read of every posting.
  for (std::size_t i = 0; i < 2 * moved.size(); ++i) search(refiled, 20);
  for (const std::uint8_t now : {std::uint8_t{5}, std::uint8_t{20}, std::uint8_t{39}}) {
    EXPECT_EQ(search(refiled, now), search(fresh, now)) << int{now};
  }
  // Still found where the new span holds.
  const Versioned* hit = refiled.covers(target, of, live, accept, 0, 1);
  EXPECT_NE(hit, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Spans, LabelSlotShrink,
                         testing::Values(ShrinkCase{"Plain", 0, true}, ShrinkCase{"OneBucket", 0, false},
                                         ShrinkCase{"PrivateBucketsBeside", 30, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LabelSlot, StartSpreadsTheEntryFound) {
  constexpr std::size_t kEntries = 40;
  const KeyspaceSelectorV1 target = selector({equals("a", "1"), equals("b", "2")});
  Filed f;
  // Covering entries filed in several buckets, and one that is not plain.
  for (std::size_t i = 0; i < kEntries; ++i) {
    f.entries.push_back(Entry{i % 2 == 0 ? selector({equals("a", "1")}) : selector({equals("b", "2")})});
  }
  f.file(nullptr);
  std::set<const Entry*> seen;
  for (std::uint64_t start = 0; start < 4 * kEntries; ++start) {
    const Entry* hit = f.slot.covers(target, kSelectorOf, kLive, kAcceptAll, start);
    ASSERT_NE(hit, nullptr);
    seen.insert(hit);
  }
  EXPECT_GE(seen.size(), kEntries / 4);
}

}  // namespace
