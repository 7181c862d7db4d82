// Every call into libcrypto passes a gate. libcrypto may have been started by
// another part of the process (Python's hashlib, hmac, ssl) with an exit
// handler that frees its tables; threads the interpreter does not stop at
// exit (daemon threads inside a call, which runs without the interpreter
// lock) would still be hashing or deriving keys then. Closing the gate, from
// an exit handler that runs before libcrypto's, waits for the calls inside
// to leave and keeps out every later one for good: the process is ending,
// and a thread that would enter stops where it is.
#pragma once

#include <atomic>
#include <chrono>

namespace vornex::core {

// Held for the length of one call into libcrypto.
class LibcryptoCall {
 public:
  LibcryptoCall();
  LibcryptoCall(const LibcryptoCall&) = delete;
  LibcryptoCall& operator=(const LibcryptoCall&) = delete;
  ~LibcryptoCall();

 private:
  std::atomic<long>& inside_;
};

// Closes the gate and waits until no call is inside, or until `patience`
// has passed (a call that long is not a hash; exiting beats hanging).
// Returns whether every call left.
bool close_libcrypto_gate(std::chrono::milliseconds patience = std::chrono::seconds(10)) noexcept;

// In a child made by fork: only the forking thread lives on, and it was
// inside no call, so the counts of the others are dropped.
void reset_libcrypto_gate_after_fork() noexcept;

}  // namespace vornex::core
