// Ctrl-C during a long call that runs without the Python interpreter lock.
// Python's own handler only sets a flag that the main thread looks at
// between bytecodes, so a call that runs on, in any thread, would never
// see it. While a watch lives, SIGINT is also counted here, and the call's
// steps ask between them whether one came.
#pragma once

#include <cstdint>

namespace vornex::store {

// Catches SIGINT while it lives: the interrupt is counted, then handed to
// the handler that was there, so the program sees it as it would have
// (Python's handler sets its flag at once). A SIGINT the process ignores
// stays ignored and is never counted. Where the disposition was the
// default, which would end the process, the interrupt is raised again once
// the last watch is gone and the disposition is back, so the caller can
// first put things back (a terminal's echo, say). A disposition the
// program set while a watch lived is kept when the last one goes.
//
// Watches nest and may live in several threads at once; one handler serves
// them all. Create and destroy them where no other thread changes the
// SIGINT disposition (with the interpreter lock held, in the module).
// Each thread answers `interrupt_requested` from the outermost watch it
// lives under.
class InterruptWatch {
 public:
  InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;
  ~InterruptWatch();

  // Whether SIGINT came since this watch, or the outermost watch of this
  // thread that it lives under, began.
  bool interrupted() const noexcept;

 private:
  std::uint64_t start_;
  const InterruptWatch* outer_;
};

// Whether the watch this thread lives under has seen an interrupt; false
// outside any watch.
bool interrupt_requested() noexcept;

}  // namespace vornex::store
