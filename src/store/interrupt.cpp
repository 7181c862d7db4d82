#include "vornex/store/interrupt.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "fork_locks.hpp"
#include "vornex/core/stop.hpp"

namespace vornex::store {

namespace {

// Counted by the handler: a lock-free atomic is safe to touch there.
std::atomic<std::uint64_t> g_interrupts{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// The disposition ours replaced. Written only while ours is not installed,
// before it is, so the handler always reads a settled value.
struct sigaction g_previous {};

// Under watch_mutex().
int g_watchers = 0;
bool g_installed = false;
std::uint64_t g_interrupts_at_install = 0;

thread_local const InterruptWatch* t_outermost = nullptr;
thread_local int t_depth = 0;  // watches this thread lives under

// Never destroyed: threads still inside a call at exit may take it.
std::mutex& watch_mutex() {
  static std::mutex& m = *new std::mutex;
  return m;
}

bool plain(const struct sigaction& action) { return (action.sa_flags & SA_SIGINFO) == 0; }
bool ignored(const struct sigaction& action) { return plain(action) && action.sa_handler == SIG_IGN; }
bool by_default(const struct sigaction& action) { return plain(action) && action.sa_handler == SIG_DFL; }

void on_interrupt(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  g_interrupts.fetch_add(1, std::memory_order_relaxed);
  if (!plain(g_previous)) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
  }
  errno = saved_errno;
}

bool ours(const struct sigaction& action) { return !plain(action) && action.sa_sigaction == on_interrupt; }

// Without SA_RESTART, so that a read blocked at a prompt returns EINTR.
void install_locked() {
  struct sigaction current {};
  if (::sigaction(SIGINT, nullptr, &current) != 0 || ignored(current) || ours(current)) return;
  g_previous = current;
  struct sigaction handler {};
  handler.sa_sigaction = on_interrupt;
  handler.sa_flags = SA_SIGINFO | (current.sa_flags & SA_ONSTACK);
  handler.sa_mask = current.sa_mask;
  g_interrupts_at_install = g_interrupts.load();
  g_installed = ::sigaction(SIGINT, &handler, nullptr) == 0;
}

// True when the interrupt must be raised again now that the default is back.
bool uninstall_locked() {
  if (!g_installed) return false;
  g_installed = false;
  struct sigaction current {};
  if (::sigaction(SIGINT, &g_previous, &current) != 0) return false;
  if (!ours(current)) {
    // The program set a disposition of its own meanwhile: that one stays.
    ::sigaction(SIGINT, &current, nullptr);
    return false;
  }
  return by_default(g_previous) && g_interrupts.load() != g_interrupts_at_install;
}

}  // namespace

InterruptWatch::InterruptWatch() : start_(0), outer_(t_outermost) {
  // Long loops below this library (decoding, validation) ask it too.
  core::install_stop_probe(&interrupt_requested);
  {
    const std::lock_guard lock(watch_mutex());
    if (g_watchers++ == 0) install_locked();
  }
  start_ = outer_ != nullptr ? outer_->start_ : g_interrupts.load();
  if (outer_ == nullptr) t_outermost = this;
  ++t_depth;
}

InterruptWatch::~InterruptWatch() {
  if (t_outermost == this) t_outermost = nullptr;
  --t_depth;
  bool raise_again = false;
  {
    const std::lock_guard lock(watch_mutex());
    if (g_watchers > 0 && --g_watchers == 0) raise_again = uninstall_locked();
  }
  // Sent to the process, not this thread, so that it reaches a thread that
  // takes it, as the first one did.
  if (raise_again) ::kill(::getpid(), SIGINT);
}

bool InterruptWatch::interrupted() const noexcept { return g_interrupts.load(std::memory_order_relaxed) != start_; }

bool interrupt_requested() noexcept { return t_outermost != nullptr && t_outermost->interrupted(); }

namespace fork_locks {

void lock_watches() noexcept { watch_mutex().lock(); }

void unlock_watches_in_parent() noexcept { watch_mutex().unlock(); }

void reset_watches_in_child() noexcept {
  g_watchers = t_depth;
  if (g_watchers == 0) (void)uninstall_locked();
  watch_mutex().unlock();
}

}  // namespace fork_locks

}  // namespace vornex::store
