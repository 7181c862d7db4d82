// Stopping a long computation early. Decoding and validating a large vault
// take long enough that Ctrl-C must not wait for them to end: their loops
// ask, every so often, whether the caller wants them to stop. Who answers
// lives above this library (store::InterruptWatch counts SIGINT) and
// installs its answer here once; without one, nothing stops.
#pragma once

#include <cstdint>

#include "vornex/core/work.hpp"

namespace vornex::core {

// Whether the calling thread's caller wants it to stop. Cheap, and safe to
// call from any thread. Once it says stop it must keep saying so until the
// caller's call is over: a computation told to stop may end early, leaving
// what it made meaningless, and the code that called it asks the probe
// again and discards that.
using StopProbe = bool (*)() noexcept;

// Installs the process's probe; installing the same one again changes
// nothing.
void install_stop_probe(StopProbe probe) noexcept;

// What the installed probe says; false without one.
bool stop_requested() noexcept;

// Counts the steps of a loop and asks the probe once per kStopStepsPerPoll
// of them, so that asking costs nothing measurable. Once told to stop it
// says so for good, so that the loops after it end at once as well. A step
// is about a microsecond's work: a costlier step counts for more.
inline constexpr std::uint32_t kStopStepsPerPoll = 4096;

class StopPoll {
 public:
  // Counts `steps` more; true when the computation must stop.
  bool stop(std::uint32_t steps = 1) noexcept {
    if (stopped_) return true;
    pending_ += steps;
    if (pending_ < kStopStepsPerPoll) return false;
    pending_ = 0;
    stopped_ = stop_requested();
    return stopped_;
  }
  bool stopped() const noexcept { return stopped_; }

 private:
  std::uint32_t pending_ = 0;
  bool stopped_ = false;
};

// The same for a computation whose steps are counted as work
// (core/work.hpp), wherever they are counted: it asks once per
// kStopStepsPerPoll steps of the thread's work.
class WorkStopPoll {
 public:
  // True when the computation must stop.
  bool stop() noexcept {
    if (stopped_) return true;
    const std::uint64_t done = work_done();
    if (done < next_) return false;
    next_ = done + kStopStepsPerPoll;
    stopped_ = stop_requested();
    return stopped_;
  }
  bool stopped() const noexcept { return stopped_; }

 private:
  std::uint64_t next_ = 0;
  bool stopped_ = false;
};

}  // namespace vornex::core
