// A walk cut at a repetition lays out the rest of its timelines by
// `Timeline::repeat`: every iteration after the cut must read what the
// iteration a whole number of periods before it read, whether or not the
// value at the cut is the one the period started from (a witness, drawn
// at random, need not be), with no change point that changes nothing.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "timeline.hpp"

using namespace vornex::core::validate::detail;
using seq::kLastIteration;
using seq::Timeline;

namespace {

constexpr std::size_t kSeeds = 4000;

TEST(TimelineRepeat, EveryLaterIterationReadsItsPhase) {
  for (std::uint32_t seed = 0; seed < kSeeds; ++seed) {
    std::mt19937 rng(seed);
    const auto to = static_cast<Iteration>(2 + rng() % (kLastIteration - 1));
    const auto from = static_cast<Iteration>(1 + rng() % (to - 1));
    // Few values, so that runs, returns to the start and equal ends all come up.
    const std::uint32_t kinds = 2 + rng() % 3;
    const std::uint32_t change_every = 1 + rng() % 4;
    Timeline<std::uint32_t> t(rng() % kinds);
    std::array<std::uint32_t, kLastIteration + 1> before{};
    before[0] = t.at(0);
    for (Iteration k = 1; k <= to; ++k) {
      if (rng() % change_every == 0) t.set(k, static_cast<std::uint32_t>(rng() % kinds), false, [](Iteration, bool) {});
      before[k] = t.at(k);
    }
    std::vector<Iteration> made;
    t.repeat(from, to, [&](Iteration j, bool created) {
      EXPECT_TRUE(created);
      made.push_back(j);
    });
    const Iteration period = to - from;
    std::size_t points_after = 0;
    for (Iteration k = 0; k <= kLastIteration; ++k) {
      const std::uint32_t want = k <= to ? before[k] : before[from + 1 + (k - to - 1) % period];
      ASSERT_EQ(t.at(k), want) << "seed " << seed << " from " << int(from) << " to " << int(to) << " at " << int(k);
      if (k > to && t.at(k) != t.at(k - 1)) ++points_after;
    }
    // One point made for each change after the cut, and none for nothing.
    EXPECT_EQ(made.size(), points_after) << "seed " << seed;
    for (std::size_t i = 0; i < made.size(); ++i) {
      EXPECT_GT(made[i], to);
      if (i > 0) {
        EXPECT_GT(made[i], made[i - 1]);
      }
    }
  }
}

}  // namespace
