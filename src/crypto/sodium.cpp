#include "sodium.hpp"

#include <sodium.h>

#include <atomic>
#include <stdexcept>

namespace vornex::crypto::detail {

namespace {
constinit std::atomic<bool> sodium_ready{false};
}  // namespace

void ensure_sodium() {
  if (sodium_ready.load(std::memory_order_acquire)) return;
  // Only success is remembered: a failed start is tried again on the next
  // call rather than leaving the process without primitives for good.
  // sodium_init may be called again and from several threads at once.
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  sodium_ready.store(true, std::memory_order_release);
}

}  // namespace vornex::crypto::detail
