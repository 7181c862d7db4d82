// The locks of this library that a fork can catch held by another thread,
// each taken before the fork and given back after it (store/fork.hpp).
#pragma once

namespace vornex::store::fork_locks {

void lock_fallback_dirs() noexcept;
void unlock_fallback_dirs() noexcept;

void lock_watches() noexcept;
void unlock_watches_in_parent() noexcept;
// The child has one thread: the other threads' watches are gone with them,
// so the handler is uninstalled unless this thread still lives under one.
void reset_watches_in_child() noexcept;

}  // namespace vornex::store::fork_locks
