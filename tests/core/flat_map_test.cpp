// The flat sorted map against std::map on random operation sequences with
// repeated keys and unordered input, and the work it does on hostile input
// bounded by counts of comparisons and moves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vornex/core/flat_map.hpp"

namespace {

using vornex::core::FlatMap;
using Flat = FlatMap<int, std::string>;
using Ref = std::map<int, std::string>;
using Pairs = std::vector<std::pair<int, std::string>>;

// Folds whose result depends on the order of their arguments, so a fold
// applied the wrong way round or to the wrong pair shows.
const auto kAppend = [](std::string& kept, const std::string& later) { kept += "+" + later; };
const auto kKeepFirst = [](std::string&, const std::string&) {};
const auto kKeepLast = [](std::string& kept, const std::string& later) { kept = later; };

// What a fold does, pair by pair in the given order, on a std::map.
template <class Fold>
void ref_fold_in(Ref& ref, const Pairs& pairs, Fold fold) {
  for (const auto& [key, value] : pairs) {
    auto [it, inserted] = ref.try_emplace(key, value);
    if (!inserted) fold(it->second, value);
  }
}

Pairs random_pairs(std::mt19937_64& rng, std::size_t count, int key_range, bool ascending) {
  Pairs pairs;
  for (std::size_t i = 0; i < count; ++i) {
    pairs.emplace_back(static_cast<int>(rng() % static_cast<std::uint64_t>(key_range)), "v" + std::to_string(rng() % 1000));
  }
  if (ascending) {
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    pairs.erase(std::unique(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
                pairs.end());
  }
  return pairs;
}

void expect_same(const Flat& flat, const Ref& ref, int key_range) {
  ASSERT_EQ(flat.size(), ref.size());
  EXPECT_TRUE(flat == ref);
  EXPECT_TRUE(std::equal(flat.begin(), flat.end(), ref.begin(), ref.end(),
                         [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; }));
  // Every lookup, of keys held and not held, including both ends.
  for (int key = -1; key <= key_range; ++key) {
    const auto it = flat.find(key);
    const auto expected = ref.find(key);
    ASSERT_EQ(it == flat.end(), expected == ref.end()) << key;
    EXPECT_EQ(flat.contains(key), ref.contains(key));
    if (expected != ref.end()) {
      EXPECT_EQ(it->second, expected->second);
      EXPECT_EQ(flat.at(key), expected->second);
    } else {
      EXPECT_THROW((void)flat.at(key), std::out_of_range);
    }
    const auto lower = flat.lower_bound(key);
    const auto ref_lower = ref.lower_bound(key);
    EXPECT_EQ(lower - flat.begin(), std::distance(ref.begin(), ref_lower)) << key;
  }
}

TEST(FlatMap, RandomOperationSequencesMatchStdMap) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const int key_range = 1 + static_cast<int>(rng() % 60);
    // Built from unordered pairs with repeats, or from ordered ones.
    Pairs start = random_pairs(rng, rng() % 80, key_range, rng() % 4 == 0);
    Ref ref;
    ref_fold_in(ref, start, kAppend);
    Flat flat = Flat::from_unsorted(start, kAppend);
    expect_same(flat, ref, key_range);

    for (int step = 0; step < 12; ++step) {
      switch (rng() % 7) {
        case 0: {
          const int key = static_cast<int>(rng() % static_cast<std::uint64_t>(key_range));
          const std::string value = "e" + std::to_string(step);
          const auto [it, inserted] = flat.emplace(key, value);
          const auto [ref_it, ref_inserted] = ref.try_emplace(key, value);
          EXPECT_EQ(inserted, ref_inserted);
          EXPECT_EQ(it->first, key);
          EXPECT_EQ(it->second, ref_it->second);
          break;
        }
        case 1: {
          const int key = static_cast<int>(rng() % static_cast<std::uint64_t>(key_range));
          flat[key] += "i";
          ref[key] += "i";
          break;
        }
        case 2: {  // merge a copy, keeping ours
          const Pairs other = random_pairs(rng, rng() % 30, key_range, true);
          flat.merge(Flat::from_unsorted(other, kKeepLast), kKeepFirst);
          ref_fold_in(ref, other, kKeepFirst);
          break;
        }
        case 3: {  // merge moved in, folding both values in order
          const Pairs other = random_pairs(rng, rng() % 30, key_range, rng() % 2 == 0);
          Flat incoming = Flat::from_unsorted(other, kAppend);
          Ref incoming_ref;
          ref_fold_in(incoming_ref, other, kAppend);
          flat.merge(std::move(incoming), kAppend);
          for (const auto& [key, value] : incoming_ref) {
            auto [it, inserted] = ref.try_emplace(key, value);
            if (!inserted) kAppend(it->second, value);
          }
          break;
        }
        case 4: {  // drop by key and value; the visits come in key order
          const int cut = static_cast<int>(rng() % static_cast<std::uint64_t>(key_range));
          std::vector<int> visited;
          flat.erase_if([&](const auto& pair) {
            visited.push_back(pair.first);
            return pair.first % 3 == cut % 3 || pair.second.size() > 6;
          });
          EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end()));
          std::erase_if(ref, [&](const auto& pair) { return pair.first % 3 == cut % 3 || pair.second.size() > 6; });
          break;
        }
        case 5: {
          const int key = static_cast<int>(rng() % static_cast<std::uint64_t>(key_range));
          EXPECT_EQ(flat.erase(key), ref.erase(key));
          break;
        }
        default: {
          if (const auto it = ref.find(static_cast<int>(rng() % static_cast<std::uint64_t>(key_range))); it != ref.end()) {
            std::string* held = flat.lookup(it->first);
            ASSERT_NE(held, nullptr);
            *held += "w";
            it->second += "w";
          }
        }
      }
      expect_same(flat, ref, key_range);
    }
    // Equal contents built by another road compare equal.
    Pairs pairs(ref.begin(), ref.end());
    std::shuffle(pairs.begin(), pairs.end(), rng);
    EXPECT_EQ(Flat::from_unsorted(pairs, kAppend), flat);
  }
}

// A key that counts its comparisons and moves.
struct Counted {
  int value = 0;
  static inline std::uint64_t compares = 0;
  static inline std::uint64_t moves = 0;
  Counted() = default;
  explicit Counted(int v) : value(v) {}
  Counted(const Counted&) = default;
  Counted& operator=(const Counted&) = default;
  Counted(Counted&& other) noexcept : value(other.value) { ++moves; }
  Counted& operator=(Counted&& other) noexcept {
    value = other.value;
    ++moves;
    return *this;
  }
  bool operator<(const Counted& other) const {
    ++compares;
    return value < other.value;
  }
  bool operator==(const Counted& other) const { return value == other.value; }
};

using CountedMap = FlatMap<Counted, int>;

std::uint64_t n_log_n(std::size_t n) { return static_cast<std::uint64_t>(n * std::log2(static_cast<double>(n) + 2)); }

// Building from input in order, reversed, all one key or interleaved, and
// merging a large interleaved map into another, stay near-linear; a loop of
// inserts in the middle would move about n * m / 2 entries.
// Sorting by a prefix first builds the map the plain sort builds, equal
// keys folded in their given order, whether the prefix tells every key
// apart, only groups them or says nothing.
TEST(FlatMap, PrefixSortedBuildsMatchThePlainOne) {
  const auto exact = [](int key) { return static_cast<std::uint64_t>(key); };
  const auto grouped = [](int key) { return static_cast<std::uint64_t>(key / 8); };
  const auto blind = [](int) { return std::uint64_t{0}; };
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const int key_range = 1 + static_cast<int>(rng() % 60);
    const Pairs pairs = random_pairs(rng, rng() % 200, key_range, rng() % 4 == 0);
    Ref ref;
    ref_fold_in(ref, pairs, kAppend);
    const Flat plain = Flat::from_unsorted(pairs, kAppend);
    for (const Flat& prefixed : {Flat::from_unsorted(pairs, kAppend, exact), Flat::from_unsorted(pairs, kAppend, grouped),
                                 Flat::from_unsorted(pairs, kAppend, blind)}) {
      EXPECT_EQ(prefixed, plain);
      expect_same(prefixed, ref, key_range);
    }
  }
}

TEST(FlatMap, WorkStaysNearLinearOnHostileInput) {
  constexpr std::size_t kN = 1 << 14;
  const auto build = [](auto key_of) {
    std::vector<std::pair<Counted, int>> pairs;
    pairs.reserve(kN);
    for (std::size_t i = 0; i < kN; ++i) pairs.emplace_back(Counted(key_of(static_cast<int>(i))), static_cast<int>(i));
    Counted::compares = 0;
    Counted::moves = 0;
    return CountedMap::from_unsorted(std::move(pairs), [](int& kept, int later) { kept = std::max(kept, later); });
  };
  constexpr int kHalf = static_cast<int>(kN / 2);
  const std::vector<std::pair<const char*, int (*)(int)>> shapes = {
      {"ascending", [](int i) { return i; }},
      {"descending", [](int i) { return -i; }},
      {"one key", [](int) { return 7; }},
      {"interleaved", [](int i) { return i % 2 == 0 ? i : kHalf * 4 - i; }},
  };
  for (const auto& [name, key_of] : shapes) {
    SCOPED_TRACE(name);
    const CountedMap map = build(key_of);
    EXPECT_LE(Counted::compares, 4 * n_log_n(kN));
    EXPECT_LE(Counted::moves, 4 * n_log_n(kN));
  }
  // In order, one pass checks it and nothing moves.
  (void)build([](int i) { return i; });
  EXPECT_LE(Counted::compares, kN);
  EXPECT_EQ(Counted::moves, 0u);

  CountedMap evens = build([](int i) { return 2 * i; });
  const CountedMap odds = build([](int i) { return 2 * i + 1; });
  Counted::compares = 0;
  Counted::moves = 0;
  evens.merge(odds, [](int&, int) {});
  EXPECT_EQ(evens.size(), 2 * kN);
  EXPECT_LE(Counted::compares, 4 * n_log_n(2 * kN));
  EXPECT_LE(Counted::moves, 8 * kN);
  EXPECT_TRUE(std::is_sorted(evens.begin(), evens.end(), [](const auto& a, const auto& b) { return a.first < b.first; }));
}

}  // namespace
