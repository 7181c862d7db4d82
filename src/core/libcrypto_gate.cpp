#include "vornex/core/libcrypto_gate.hpp"

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace vornex::core {

namespace {

// Threads count their calls on stripes of their own cache lines, so that
// threads hashing side by side do not contend for one counter.
constexpr std::size_t kStripes = 16;

struct alignas(64) Stripe {
  std::atomic<long> inside{0};
};

// Trivially destructible: the gate outlives every exit handler.
constinit std::array<Stripe, kStripes> g_stripes{};
constinit std::atomic<bool> g_closed{false};

// A thread's stripe by where its stack lies: threads' stacks are apart, and
// any stripe is correct as long as a call leaves by the one it came in by.
// (A thread-local would cost a lookup per call in a shared library.)
std::atomic<long>& own_stripe() {
  const int here = 0;
  const auto page = reinterpret_cast<std::uintptr_t>(&here) >> 16;
  return g_stripes[page % kStripes].inside;
}

[[noreturn]] void stop_here() {
  for (;;) ::pause();
}

}  // namespace

// The count is raised before the gate is looked at, and the closer sets the
// gate before it reads the counts (both sequentially consistent): either
// the caller sees the gate closed, or the closer sees the caller inside.
LibcryptoCall::LibcryptoCall() : inside_(own_stripe()) {
  inside_.fetch_add(1, std::memory_order_seq_cst);
  if (g_closed.load(std::memory_order_seq_cst)) {
    inside_.fetch_sub(1, std::memory_order_seq_cst);
    stop_here();
  }
}

LibcryptoCall::~LibcryptoCall() { inside_.fetch_sub(1, std::memory_order_release); }

bool close_libcrypto_gate(std::chrono::milliseconds patience) noexcept {
  g_closed.store(true, std::memory_order_seq_cst);
  const auto give_up = std::chrono::steady_clock::now() + patience;
  for (const Stripe& stripe : g_stripes) {
    while (stripe.inside.load(std::memory_order_seq_cst) != 0) {
      if (std::chrono::steady_clock::now() >= give_up) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  return true;
}

void reset_libcrypto_gate_after_fork() noexcept {
  for (Stripe& stripe : g_stripes) stripe.inside.store(0, std::memory_order_relaxed);
}

}  // namespace vornex::core
