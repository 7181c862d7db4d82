// Canonical ordering of decomposed text in linear time. The normalisation
// library orders marks by exchanging neighbours, which costs the square of
// a run's length; a member can write a run of a hundred thousand marks.
#pragma once

#include <cstdint>
#include <span>

namespace cord::text::detail {

// Puts each run of marks (code points of nonzero combining class) in
// ascending order of class, marks of one class keeping the order they came
// in: the one order that exchanging out-of-order neighbours ends in.
// Returns the steps taken, for the work counter.
std::uint64_t order_marks(std::span<std::int32_t> code_points);

}  // namespace cord::text::detail
