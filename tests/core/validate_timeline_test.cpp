// A timeline reads, at every iteration, what a plain array of the walk's
// values would hold, however its points were set. A walk cut at a
// repetition lays out the rest of its timelines by
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

// Values set at random iterations, each for the rest of the walk or for
// its own iteration only, read back at every iteration as a plain array
// of the walk's values holds them, with a point only where one differs.
TEST(TimelineSet, ReadsAsAnArrayOfEveryIteration) {
  const auto no_point = [](Iteration, bool) {};
  for (std::uint32_t seed = 0; seed < kSeeds; ++seed) {
    std::mt19937 rng(seed);
    std::array<std::uint32_t, kLastIteration + 1> want{};
    Timeline<std::uint32_t> t(0);
    const std::uint32_t kinds = 2 + rng() % 4;
    for (std::uint32_t step = 0, steps = 1 + rng() % 80; step < steps; ++step) {
      const auto k = static_cast<Iteration>(1 + rng() % kLastIteration);
      const std::uint32_t value = rng() % kinds;
      const bool restore = rng() % 3 == 0;
      t.set(k, value, restore, no_point);
      if (restore) {
        want[k] = value;
      } else {
        // Later iterations that held the old value take the new one up to
        // the next change.
        const std::uint32_t old = want[k];
        Iteration j = k;
        while (j <= kLastIteration && want[j] == old) want[j++] = value;
      }
      std::size_t points = 0;
      for (Iteration j = 0; j <= kLastIteration; ++j) {
        ASSERT_EQ(t.at(j), want[j]) << "seed " << seed << " step " << step << " at " << int(j);
        if (j > 0 && want[j] != want[j - 1]) ++points;
      }
      ASSERT_EQ(t.change_count(), points) << "seed " << seed << " step " << step;
    }
  }
}

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
