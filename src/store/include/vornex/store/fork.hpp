// A child made by fork has only the thread that forked. A lock another
// thread held at that moment would stay held there for ever, so whoever
// forks takes this library's locks first and gives them back after, in
// parent and child alike (pthread_atfork). Each is held only for moments,
// never while waiting for a person.
#pragma once

namespace vornex::store {

void before_fork() noexcept;
void after_fork_in_parent() noexcept;
void after_fork_in_child() noexcept;

}  // namespace vornex::store
