#include "canonical_order.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include <utf8proc.h>

namespace cord::text::detail {

namespace {

// Runs up to this long are sorted by insertion, whose moves are at most
// this many per mark; longer ones by counting over every class.
constexpr std::size_t kShortRun = 32;
// Combining classes are one byte.
constexpr std::size_t kClasses = 256;

unsigned combining_class(std::int32_t code_point) {
  return utf8proc_get_property(code_point)->combining_class;
}

std::uint64_t insertion_sort(std::span<std::int32_t> run) {
  std::uint64_t moves = 0;
  for (std::size_t i = 1; i < run.size(); ++i) {
    const std::int32_t mark = run[i];
    const unsigned cls = combining_class(mark);
    std::size_t j = i;
    for (; j > 0 && combining_class(run[j - 1]) > cls; --j, ++moves) run[j] = run[j - 1];
    run[j] = mark;
  }
  return run.size() + moves;
}

std::uint64_t counting_sort(std::span<std::int32_t> run) {
  std::array<std::size_t, kClasses + 1> next{};
  for (const std::int32_t mark : run) ++next[combining_class(mark) + 1];
  for (std::size_t c = 1; c <= kClasses; ++c) next[c] += next[c - 1];
  std::vector<std::int32_t> sorted(run.size());
  for (const std::int32_t mark : run) sorted[next[combining_class(mark)]++] = mark;
  std::ranges::copy(sorted, run.begin());
  return 3 * run.size() + kClasses;
}

}  // namespace

std::uint64_t order_marks(std::span<std::int32_t> code_points) {
  std::uint64_t steps = code_points.size();
  const std::size_t n = code_points.size();
  std::size_t i = 0;
  while (i < n) {
    if (combining_class(code_points[i]) == 0) {
      ++i;
      continue;
    }
    std::size_t end = i;
    unsigned previous = 0;
    bool ordered = true;
    for (; end < n; ++end) {
      const unsigned cls = combining_class(code_points[end]);
      if (cls == 0) break;
      ordered = ordered && cls >= previous;
      previous = cls;
    }
    if (!ordered) {
      const std::span<std::int32_t> run = code_points.subspan(i, end - i);
      steps += run.size() <= kShortRun ? insertion_sort(run) : counting_sort(run);
    }
    i = end;
  }
  return steps;
}

}  // namespace cord::text::detail
