// The gate every call into libcrypto passes. Once it is closed (at exit,
// before libcrypto frees its tables), no call may reach libcrypto again:
// each of our entry points stops at the gate instead of returning. A child
// made by fork while another thread was inside a call can still close it.
// Each case runs in a child process, since a closed gate stays closed.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "vornex/core/crypto.hpp"
#include "vornex/core/libcrypto_gate.hpp"
#include "vornex/crypto/kdf.hpp"
#include "vornex/crypto/library.hpp"

namespace {

using namespace vornex;

const cord::Bytes kInput(64, 0x5a);

// Each entry point into libcrypto, called once.
const std::vector<std::pair<const char*, std::function<void()>>>& entry_points() {
  static const auto* entries = new std::vector<std::pair<const char*, std::function<void()>>>{
      {"domain hash", [] { (void)core::domain_hash(kInput, kInput); }},
      {"HKDF extract",
       [] {
         crypto::SecretArray<crypto::kSha256Size> prk;
         (void)crypto::hkdf_extract(kInput, kInput, prk);
       }},
      {"HKDF expand",
       [] {
         std::array<std::uint8_t, 32> out{};
         (void)crypto::hkdf_expand(cord::ByteView(kInput.data(), 32), kInput, out);
       }},
  };
  return *entries;
}

// Runs `body` in a child process; its exit status.
int in_child(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(LibcryptoGate, NoCallReturnsOnceItIsClosed) {
  ASSERT_TRUE(crypto::start_libraries());
  for (const auto& [name, call] : entry_points()) {
    SCOPED_TRACE(name);
    call();  // libcrypto's tables and this thread's context exist before
    const int status = in_child([&] {
      if (!core::close_libcrypto_gate()) return 2;
      std::atomic<bool> returned{false};
      std::thread([&] {
        call();
        returned = true;
      }).detach();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      return returned ? 1 : 0;  // the stopped thread goes with the process
    });
    EXPECT_EQ(status, 0) << "1: the call reached libcrypto after the gate closed; 2: the gate did not close";
  }
}

TEST(LibcryptoGate, ClosesInAChildForkedWhileAThreadWasInside) {
  ASSERT_TRUE(crypto::start_libraries());
  // A thread hashes large inputs without pause, so that the fork is very
  // likely to find it inside a call.
  const cord::Bytes large(8 << 20, 0x11);
  std::atomic<bool> stop{false};
  std::atomic<long> hashed{0};
  std::thread hasher([&] {
    while (!stop) {
      (void)core::domain_hash(kInput, large);
      ++hashed;
    }
  });
  while (hashed == 0) std::this_thread::yield();
  const int status = in_child([] { return core::close_libcrypto_gate(std::chrono::seconds(2)) ? 0 : 1; });
  stop = true;
  hasher.join();
  EXPECT_EQ(status, 0) << "the child waited for a thread that does not exist in it";
}

}  // namespace
