#include "vornex/core/stop.hpp"

#include <atomic>

namespace vornex::core {

namespace {
constinit std::atomic<StopProbe> g_probe{nullptr};
}  // namespace

void install_stop_probe(StopProbe probe) noexcept { g_probe.store(probe, std::memory_order_release); }

bool stop_requested() noexcept {
  const StopProbe probe = g_probe.load(std::memory_order_acquire);
  return probe != nullptr && probe();
}

}  // namespace vornex::core
