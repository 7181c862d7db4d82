#include "vornex/core/libcrypto_gate.hpp"

#include <unistd.h>

#include <array>
#include <cstddef>
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
constinit std::atomic<unsigned> g_next_stripe{0};

std::atomic<long>& own_stripe() {
  thread_local std::atomic<long>* mine =
      &g_stripes[g_next_stripe.fetch_add(1, std::memory_order_relaxed) % kStripes].inside;
  return *mine;
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
