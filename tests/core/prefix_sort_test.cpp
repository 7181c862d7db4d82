// prefix_sort must give exactly what std::stable_sort gives with the same
// order, however the prefixes spread: uniform as hashes, crowded into a
// few values, at both ends of the range, or all equal.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "vornex/core/prefix_sort.hpp"

namespace {

using vornex::core::prefix_sort;

struct Item {
  std::uint64_t prefix = 0;
  std::uint32_t rest = 0;   // orders items of one prefix
  std::uint32_t index = 0;  // where it started: shows stability
  bool operator==(const Item&) const = default;
};

bool less(const Item& a, const Item& b) { return a.prefix != b.prefix ? a.prefix < b.prefix : a.rest < b.rest; }

enum class Spread { Uniform, FewValues, Ends, AllEqual, Narrow };

std::vector<Item> items(std::size_t n, Spread spread, std::mt19937_64& rng) {
  std::vector<Item> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t p = rng();
    switch (spread) {
      case Spread::Uniform: break;
      case Spread::FewValues: p = (p % 5) << 40; break;
      case Spread::Ends: p = (p & 1) != 0 ? UINT64_MAX - (p % 3) : p % 3; break;
      case Spread::AllEqual: p = 42; break;
      case Spread::Narrow: p = 1000 + p % (n / 4 + 1); break;
    }
    // Few distinct rests, so that equal items meet and must keep their order.
    out[i] = Item{p, static_cast<std::uint32_t>(rng() % 4), static_cast<std::uint32_t>(i)};
  }
  return out;
}

struct Case {
  Spread spread;
  const char* name;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class PrefixSort : public ::testing::TestWithParam<Case> {};

TEST_P(PrefixSort, GivesWhatAStableSortGives) {
  std::mt19937_64 rng(7);
  for (const std::size_t n : {0, 1, 2, 63, 64, 65, 100, 1000, 4097, 20000}) {
    SCOPED_TRACE(n);
    std::vector<Item> sorted = items(n, GetParam().spread, rng);
    std::vector<Item> expected = sorted;
    std::stable_sort(expected.begin(), expected.end(), less);
    prefix_sort(sorted, [](const Item& item) { return item.prefix; }, less);
    EXPECT_EQ(sorted, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Spreads, PrefixSort,
                         ::testing::Values(Case{Spread::Uniform, "uniform"}, Case{Spread::FewValues, "few_values"},
                                           Case{Spread::Ends, "ends"}, Case{Spread::AllEqual, "all_equal"},
                                           Case{Spread::Narrow, "narrow"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
