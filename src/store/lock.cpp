#include "vornex/store/lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <random>
#include <thread>
#include <utility>

#include "cord/try.hpp"
#include "posix.hpp"
#include "vornex/crypto/random.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/interrupt.hpp"

namespace vornex::store {

namespace {

using detail::UniqueFd;

constexpr mode_t kLockFileMode = 0600;
// O_NONBLOCK keeps a FIFO planted at the lock path from hanging the open;
// it changes nothing for a regular file, and flock has its own LOCK_NB.
constexpr int kLockOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// The lock file, created when missing and never truncated. In a workspace
// shared with other users it may be another user's 0600 file: a read-only
// descriptor takes a flock just as well, so EACCES falls back to one.
IoResult<UniqueFd> open_lock_file(const Path& path) {
  using detail::retry_interrupted;
  UniqueFd fd(retry_interrupted([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | kLockOpenFlags, kLockFileMode); }));
  if (fd) return fd;
  const IoError error = IoError::from_errno(errno);
  if (error.os_error() == EACCES) {
    UniqueFd read_only(retry_interrupted([&] { return ::open(path.c_str(), O_RDONLY | kLockOpenFlags); }));
    if (read_only) return read_only;
  }
  return std::unexpected(error);
}

// The pause before the next attempt: the policy's interval, varied by up to
// half of it either way so that waiters do not fall into step with each
// other or with a holder's rhythm.
std::chrono::microseconds jittered(std::chrono::milliseconds interval) {
  thread_local std::minstd_rand generator{[] {
    std::array<std::uint8_t, sizeof(std::uint32_t)> seed{};
    crypto::fill_random(seed);
    return std::uint32_t{seed[0]} | std::uint32_t{seed[1]} << 8 | std::uint32_t{seed[2]} << 16 |
           std::uint32_t{seed[3]} << 24;
  }()};
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(interval).count();
  if (micros < 2) return std::chrono::microseconds(micros);
  std::uniform_int_distribution<std::int64_t> spread(micros / 2, micros + micros / 2);
  return std::chrono::microseconds(spread(generator));
}

}  // namespace

AdvisoryLock::AdvisoryLock(AdvisoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

AdvisoryLock& AdvisoryLock::operator=(AdvisoryLock&& other) noexcept {
  if (this != &other) {
    AdvisoryLock released(std::move(*this));
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

AdvisoryLock::~AdvisoryLock() {
  if (fd_ < 0) return;
  // Closing alone would not release the lock while a forked child still
  // shares the open file description; unlocking releases it for all.
  // A failed unlock is not reported: the close releases the lock anyway.
  (void)detail::retry_interrupted([&] { return ::flock(fd_, LOCK_UN); });
  ::close(fd_);
}

StoreResult<AdvisoryLock> acquire_advisory_lock(const Path& path, bool exclusive, bool private_mode,
                                                const LockPolicy& policy) {
  return acquire_advisory_lock(path, exclusive, private_mode, ProcessFacts::read(), policy);
}

StoreResult<AdvisoryLock> acquire_advisory_lock(const Path& path, bool exclusive, bool private_mode,
                                                const ProcessFacts& facts, const LockPolicy& policy) {
  const Path dir = directory_of(path);
  VX_TRY(private_mode ? create_private_dir_all(dir, facts) : create_dir_all(dir, facts));
  auto fd = open_lock_file(path);
  if (!fd) return std::unexpected(StoreError::io(path, std::move(fd).error()));

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (;;) {
    if (::flock(fd->get(), operation) == 0) return AdvisoryLock(fd->release());
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) return std::unexpected(StoreError::io(path, IoError::from_errno(error)));
    // The deadline is judged only after a refused attempt, so the last
    // attempt falls at or just after it.
    const Clock::duration waited = Clock::now() - start;
    // A wait of seconds is a long call: Ctrl-C ends it.
    if (interrupt_requested()) return std::unexpected(StoreError::interrupted());
    if (waited >= policy.timeout) return std::unexpected(StoreError::lock_held(path));
    std::this_thread::sleep_for(std::min<Clock::duration>(jittered(policy.retry_interval), policy.timeout - waited));
  }
}

StoreResult<WorkspaceLock> acquire_workspace_lock(const WorkspacePaths& paths, const LockPolicy& policy) {
  VX_TRY(create_dir_all(paths.vornex_dir(), paths.facts()));
  VX_TRY_ASSIGN(AdvisoryLock lock, acquire_advisory_lock(paths.lock_path(), true, false, paths.facts(), policy));
  return WorkspaceLock{paths.lock_path(), std::move(lock)};
}

StoreResult<RootStateLock> acquire_root_state_lock_with_mode(const WorkspacePaths& paths, const core::HashValue& root,
                                                             bool exclusive, const LockPolicy& policy) {
  Path path = root_state_lock_path(paths, root);
  VX_TRY_ASSIGN(AdvisoryLock lock, acquire_advisory_lock(path, exclusive, true, paths.facts(), policy));
  return RootStateLock{std::move(path), std::move(lock)};
}

StoreResult<RootStateLock> acquire_root_state_lock(const WorkspacePaths& paths, const core::HashValue& root,
                                                   const LockPolicy& policy) {
  return acquire_root_state_lock_with_mode(paths, root, true, policy);
}

StoreResult<RootStateLock> acquire_root_state_shared_lock(const WorkspacePaths& paths, const core::HashValue& root,
                                                          const LockPolicy& policy) {
  return acquire_root_state_lock_with_mode(paths, root, false, policy);
}

}  // namespace vornex::store
