// Whether the authority fixed point walks every iteration up to the last
// even once its state repeats an earlier one. Off, as validation runs: the
// rest of the walk is periodic from there and is read off instead. Tests
// turn it on for the thread they run on, to compare the two.
#pragma once

namespace vornex::core::validate {

namespace literal_detail {
inline thread_local bool t_literal_iterations = false;
}  // namespace literal_detail

inline void set_literal_iterations(bool on) noexcept { literal_detail::t_literal_iterations = on; }
inline bool literal_iterations() noexcept { return literal_detail::t_literal_iterations; }

}  // namespace vornex::core::validate
