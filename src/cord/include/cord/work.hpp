// The work decoding and validation do, counted at their innermost steps:
// each byte and compound value decoded, each code point normalised and
// each step of putting marks in order, and above that each candidate
// record read, index entry scanned, membership edge walked, label matcher
// and list value compared. Tests and the performance fuzzers bound it by
// the size of the input, so that no cost can hide inside one read or one
// evaluation; nothing else reads it. Loops count into a local total and
// add it here once, so counting costs nothing measurable.
#pragma once

#include <cstdint>

namespace cord {

namespace work_detail {
inline thread_local std::uint64_t t_steps = 0;
}  // namespace work_detail

inline void count_work(std::uint64_t steps) noexcept { work_detail::t_steps += steps; }

// The steps this thread has counted so far.
inline std::uint64_t work_done() noexcept { return work_detail::t_steps; }

}  // namespace cord
