// The Python boundary: every call from the interpreter into the module runs
// inside `guarded`, so that no C++ exception ever unwinds into the
// interpreter. An escaped exception becomes the internal-failure class.
#pragma once

#include <cstring>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "vornex_py/python.hpp"

namespace vornex::py {

// Sets the internal-failure exception with the given text; if even that is
// impossible the process stops with "uncaught panic at ffi boundary".
void raise_internal_failure(const char* message);

// Whether the exception being handled is the forced unwind of a thread
// being ended (pthread_exit), which must pass. Call only inside a catch-all
// handler. The unwind is not a C++ exception, so there is no exception
// object to take: a handler for `abi::__forced_unwind&` binds a reference
// to null, which the sanitizers rightly refuse.
inline bool forced_unwind_in_flight() noexcept { return !std::current_exception(); }

// Runs `body`; returns its result, or `on_failure` with a Python exception
// set when it threw.
//
// Not noexcept, and the forced unwind passes: a thread that takes the
// interpreter lock back while the interpreter finalises is ended by
// pthread_exit, whose unwind must reach the thread's start. Swallowing it
// (or meeting a noexcept frame) aborts the process.
template <class R, class F>
R guarded(R on_failure, F&& body) {
  R result = on_failure;
  try {
    result = std::forward<F>(body)();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what());
  } catch (...) {
    if (forced_unwind_in_flight()) throw;
    raise_internal_failure("unknown internal failure");
  }
  return result;
}

// The text of a failure caught while the interpreter lock is released, kept
// in place: copying it into a string could throw again there, and nothing
// may unwind through a released lock.
class FailureNote {
 public:
  void note(const char* text) noexcept {
    std::strncpy(text_, text, sizeof text_ - 1);
    set_ = true;
  }
  explicit operator bool() const noexcept { return set_; }
  const char* text() const noexcept { return text_; }

 private:
  char text_[512] = {};
  bool set_ = false;
};

// Runs `body` without the interpreter lock, so that other threads run while
// it works or waits; `body` must not touch Python. What it throws is caught
// before the lock is taken back and raised as an internal failure after, so
// nothing unwinds through a released lock. Empty, with that error set, when
// it threw.
template <class F>
auto without_interpreter_lock(F&& body) -> std::optional<std::invoke_result_t<F>> {
  std::optional<std::invoke_result_t<F>> result;
  FailureNote failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(std::forward<F>(body)());
  } catch (const std::exception& e) {
    failure.note(e.what());
  } catch (...) {
    if (forced_unwind_in_flight()) throw;
    failure.note("unknown internal failure");
  }
  Py_END_ALLOW_THREADS
  if (failure) raise_internal_failure(failure.text());
  return result;
}

}  // namespace vornex::py
