#include "vornex/store/fork.hpp"

#include "fork_locks.hpp"

namespace vornex::store {

void before_fork() noexcept {
  fork_locks::lock_fallback_dirs();
  fork_locks::lock_watches();
}

void after_fork_in_parent() noexcept {
  fork_locks::unlock_watches_in_parent();
  fork_locks::unlock_fallback_dirs();
}

void after_fork_in_child() noexcept {
  fork_locks::reset_watches_in_child();
  fork_locks::unlock_fallback_dirs();
}

}  // namespace vornex::store
