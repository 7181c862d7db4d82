// Advisory whole-file locks (flock) that serialise processes sharing a
// workspace or a user's state directory. A lock is tried at once, then
// again every millisecond or so until 10 s have passed; dropping its holder
// releases it.
#pragma once

#include <chrono>

#include "vornex/core/ids.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

// How long a taker waits; tests shorten it. Writers that follow each other
// closely leave the lock free for a fraction of a millisecond between
// them, so a waiter tries often (at jittered intervals around
// retry_interval) to be the one that takes it then.
struct LockPolicy {
  std::chrono::milliseconds timeout{10'000};
  std::chrono::milliseconds retry_interval{1};
};

class AdvisoryLock {
 public:
  AdvisoryLock(AdvisoryLock&& other) noexcept;
  AdvisoryLock& operator=(AdvisoryLock&& other) noexcept;
  AdvisoryLock(const AdvisoryLock&) = delete;
  AdvisoryLock& operator=(const AdvisoryLock&) = delete;
  ~AdvisoryLock();

 private:
  friend StoreResult<AdvisoryLock> acquire_advisory_lock(const Path&, bool, bool, const ProcessFacts&,
                                                         const LockPolicy&);
  explicit AdvisoryLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The held lock with its file's path; the workspace lock has the same shape.
struct RootStateLock {
  Path path;
  AdvisoryLock lock;
};
using WorkspaceLock = RootStateLock;

// The form without `facts` reads them from the environment.
StoreResult<AdvisoryLock> acquire_advisory_lock(const Path& path, bool exclusive, bool private_mode,
                                                const LockPolicy& policy = {});
StoreResult<AdvisoryLock> acquire_advisory_lock(const Path& path, bool exclusive, bool private_mode,
                                                const ProcessFacts& facts, const LockPolicy& policy = {});
StoreResult<WorkspaceLock> acquire_workspace_lock(const WorkspacePaths& paths, const LockPolicy& policy = {});
StoreResult<RootStateLock> acquire_root_state_lock_with_mode(const WorkspacePaths& paths, const core::HashValue& root,
                                                             bool exclusive, const LockPolicy& policy = {});
StoreResult<RootStateLock> acquire_root_state_lock(const WorkspacePaths& paths, const core::HashValue& root,
                                                   const LockPolicy& policy = {});
StoreResult<RootStateLock> acquire_root_state_shared_lock(const WorkspacePaths& paths, const core::HashValue& root,
                                                          const LockPolicy& policy = {});

}  // namespace vornex::store
