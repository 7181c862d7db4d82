// The interrupt watch: what it sees, what the program's own SIGINT
// disposition sees, and what is left once the watch is gone; and a lock's
// wait that Ctrl-C ends. Each case runs in a child process, whose signal
// dispositions are its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "store_fixture.hpp"
#include "vornex/store/interrupt.hpp"
#include "vornex/store/lock.hpp"

namespace {

using namespace vornex::store;
using namespace std::chrono_literals;

volatile sig_atomic_t g_plain_calls = 0;
volatile sig_atomic_t g_info_calls = 0;
void count_plain(int) { g_plain_calls = g_plain_calls + 1; }
void count_info(int signal, siginfo_t* info, void*) {
  if (signal == SIGINT && info != nullptr && info->si_signo == SIGINT) g_info_calls = g_info_calls + 1;
}

enum class Before { Plain, WithInfo, Ignored, Default };

void set_disposition(Before before) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  switch (before) {
    case Before::Plain: action.sa_handler = count_plain; break;
    case Before::WithInfo:
      action.sa_sigaction = count_info;
      action.sa_flags = SA_SIGINFO;
      break;
    case Before::Ignored: action.sa_handler = SIG_IGN; break;
    case Before::Default: action.sa_handler = SIG_DFL; break;
  }
  ::sigaction(SIGINT, &action, nullptr);
}

bool disposition_is(Before before) {
  struct sigaction now {};
  ::sigaction(SIGINT, nullptr, &now);
  switch (before) {
    case Before::Plain: return (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == count_plain;
    case Before::WithInfo: return (now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == count_info;
    case Before::Ignored: return (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_IGN;
    case Before::Default: return (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_DFL;
  }
  return false;
}

// Runs `body` in a child; its report (written to the pipe it gets) and
// how it ended.
struct Ended {
  std::string report;
  int status = 0;
};
template <class F>
Ended in_child(F body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    body(pipe_fds[1]);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  Ended ended;
  char buffer[256];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) ended.report.append(buffer, n);
  ::close(pipe_fds[0]);
  ::waitpid(child, &ended.status, 0);
  return ended;
}

void say(int fd, const std::string& text) { [[maybe_unused]] auto n = ::write(fd, text.data(), text.size()); }

std::string yes_no(bool b) { return b ? "y" : "n"; }

struct DispositionCase {
  const char* name;
  Before before;
  // "<interrupted><requested><passed on>|<disposition back>", or the
  // report up to where the process was ended.
  std::string report;
  bool ended_by_sigint = false;
};

void PrintTo(const DispositionCase& c, std::ostream* out) { *out << c.name; }

class WatchDispositions : public ::testing::TestWithParam<DispositionCase> {};

TEST_P(WatchDispositions, CountPassOnAndPutBack) {
  const DispositionCase& c = GetParam();
  const Ended ended = in_child([&](int out) {
    set_disposition(c.before);
    {
      const InterruptWatch watch;
      say(out, yes_no(watch.interrupted()) + "|");
      ::raise(SIGINT);  // delivered to this thread before raise returns
      const bool passed_on = g_plain_calls + g_info_calls == 1;
      say(out, yes_no(watch.interrupted()) + yes_no(interrupt_requested()) + yes_no(passed_on) + "|");
    }
    say(out, yes_no(disposition_is(c.before)) + yes_no(interrupt_requested()));
  });
  EXPECT_EQ(ended.report, c.report);
  if (c.ended_by_sigint) {
    EXPECT_TRUE(WIFSIGNALED(ended.status) && WTERMSIG(ended.status) == SIGINT) << ended.status;
  } else {
    EXPECT_TRUE(WIFEXITED(ended.status) && WEXITSTATUS(ended.status) == 0) << ended.status;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Interrupts, WatchDispositions,
    ::testing::Values(DispositionCase{"handler", Before::Plain, "n|yyy|yn"},
                      DispositionCase{"handler_with_info", Before::WithInfo, "n|yyy|yn"},
                      // Never counted, so nothing stops for it.
                      DispositionCase{"ignored", Before::Ignored, "n|nnn|yn"},
                      // Raised again once the watch is gone: the process ends there.
                      DispositionCase{"default", Before::Default, "n|yyn|", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InterruptWatch, NestedWatchesAndOtherThreads) {
  const Ended ended = in_child([](int out) {
    set_disposition(Before::Plain);
    say(out, yes_no(interrupt_requested()));  // outside any watch
    const InterruptWatch outer;
    ::raise(SIGINT);
    {
      // Begun after the interrupt, but under a watch that saw it.
      const InterruptWatch inner;
      say(out, yes_no(inner.interrupted()) + yes_no(interrupt_requested()));
    }
    bool other_saw = true;
    std::thread([&] {
      // Another thread's watch begins afterwards: nothing since.
      const InterruptWatch own;
      other_saw = own.interrupted() || interrupt_requested();
    }).join();
    say(out, yes_no(other_saw) + yes_no(disposition_is(Before::Plain)) + "|");
  });
  // The handler stays ours while the outer watch lives.
  EXPECT_EQ(ended.report, "nyynn|");
}

TEST(InterruptWatch, KeepsADispositionTheProgramSetMeanwhile) {
  const Ended ended = in_child([](int out) {
    set_disposition(Before::Plain);
    {
      const InterruptWatch watch;
      set_disposition(Before::WithInfo);
    }
    say(out, yes_no(disposition_is(Before::WithInfo)));
  });
  EXPECT_EQ(ended.report, "y");
}

class InterruptedLock : public vornex::test::TempDirTest {};

TEST_F(InterruptedLock, CtrlCEndsTheWait) {
  const Path path = dir_ / "l";
  const Ended ended = in_child([&](int out) {
    set_disposition(Before::Plain);
    std::optional<AdvisoryLock> held(acquire_advisory_lock(path, true, false, LockPolicy{100ms, 5ms}).value());
    const InterruptWatch watch;
    // Sent to the process while the wait goes on, as a terminal's Ctrl-C is.
    std::thread interrupter([] {
      std::this_thread::sleep_for(100ms);
      ::kill(::getpid(), SIGINT);
    });
    const auto waited = acquire_advisory_lock(path, true, false, LockPolicy{60'000ms, 5ms});
    interrupter.join();
    say(out, waited ? "taken" : waited.error().message());
  });
  EXPECT_EQ(ended.report, "interrupted");
}

}  // namespace
