#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vornex/keychain/terminal.hpp"
#include "vornex/keychain/unlock.hpp"

namespace vornex::keychain {
namespace {

using namespace std::chrono_literals;
using core::SecretLabelV1;
using core::SecretSelectorV1;

const core::HashValue kRoot(cord::Bytes{0xab, 0xcd, 0xef, 0x01, 0x23, 0x45});
const core::UserId kUser(core::HashValue(cord::Bytes{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a}));

SecretSelectorV1 app_db() { return {{"app", "db"}, {}}; }

// The passphrase, or the error's text.
std::string text_of(const KeychainResult<core::SecretBytes>& result) {
  return result ? std::string(result->view().begin(), result->view().end()) : result.error().message();
}

KeychainRequest request(KeyUsePurpose purpose, Path root = "/w/payments", std::optional<std::string> vault = {},
                        std::optional<std::string> user = {}) {
  return KeychainRequest{root, root / ".vornex" / "vault.cord", kRoot, kUser, vault, user, std::move(purpose)};
}

TEST(KeychainRequest, MakeCopiesPathsAndWithLabelsReplacesBoth) {
  const auto paths = store::WorkspacePaths::from_root_and_vornex_dir("/w/p", "/w/p/.vornex", Path("/v/x.cord"));
  KeychainRequest made = KeychainRequest::make(paths, kRoot, kUser, key_use::VerifyVault{});
  EXPECT_EQ(made.workspace_root, Path("/w/p"));
  EXPECT_EQ(made.vault_path, Path("/v/x.cord"));
  EXPECT_FALSE(made.vault_label || made.user_label);
  made = std::move(made).with_labels("billing", "alice");
  EXPECT_EQ(made.vault_label, "billing");
  EXPECT_EQ(made.user_label, "alice");
  made = std::move(made).with_labels(std::nullopt, "bob");
  EXPECT_EQ(made.vault_label, std::nullopt);
  EXPECT_EQ(made.user_label, "bob");
}

TEST(PromptText, UserAndProjectFallBackToShortIdsOrTheWorkspaceName) {
  struct Case {
    const char* name;
    KeychainRequest request;
    std::string user, project;
  };
  const Case cases[] = {
      {"no labels", request(key_use::VerifyVault{}), "0f1e2d3c", "abcdef01"},
      {"empty labels", request(key_use::VerifyVault{}, "/w/payments", "", ""), "0f1e2d3c", "abcdef01"},
      {"labels win", request(key_use::StoreIdentity{}, "/w/payments", "billing", "alice"), "alice", "billing"},
      {"store, empty labels", request(key_use::StoreIdentity{}, "/w/payments", "", ""), "this identity", "payments"},
      {"store, trailing slash", request(key_use::StoreIdentity{}, "/w/payments/"), "this identity", "payments"},
      {"store at /", request(key_use::StoreIdentity{}, "/"), "this identity", "abcdef01"},
      {"store, not UTF-8", request(key_use::StoreIdentity{}, "/w/pay\xff"), "this identity", "abcdef01"},
      {"workspace name only when storing", request(key_use::Set{app_db()}), "0f1e2d3c", "abcdef01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(user_for_prompt(c.request), c.user);
    EXPECT_EQ(vault_for_prompt(c.request), c.project);
  }
  KeychainRequest short_ids = request(key_use::VerifyVault{});
  short_ids.root = core::HashValue(cord::Bytes{0x0a, 0xb0});
  short_ids.user = core::UserId(core::HashValue(cord::Bytes{0xff}));
  EXPECT_EQ(vault_for_prompt(short_ids), "0ab0");
  EXPECT_EQ(user_for_prompt(short_ids), "ff");
}

TEST(PromptText, PurposesAndSinks) {
  const SecretSelectorV1 labelled{{"app", "db"}, {SecretLabelV1{"env", "prod"}, SecretLabelV1{"region", "eu"}}};
  const SecretSelectorV1 root_labelled{{}, {SecretLabelV1{"env", "prod"}}};
  const auto reveal = [&](OutputSink sink) { return key_use::Reveal{std::move(sink), app_db()}; };
  const std::pair<KeyUsePurpose, std::string> cases[] = {
      {key_use::Reveal{output_sink::ChildProcess{}, labelled},
       "reveal app/db{env=prod,region=eu} to child process <empty command>"},
      {key_use::Reveal{output_sink::Stdout{}, SecretSelectorV1{}}, "reveal <root> to stdout"},
      {key_use::Reveal{output_sink::File{"/tmp/out\xff.txt"}, root_labelled},
       "reveal <root>{env=prod} to file /tmp/out\xEF\xBF\xBD.txt"},
      {reveal(output_sink::Clipboard{}), "reveal app/db to clipboard"},
      {reveal(output_sink::ChildProcess{{"env", "-i"}}), "reveal app/db to child process env -i"},
      {reveal(output_sink::SdkCaller{"ci"}), "reveal app/db to SDK caller ci"},
      {reveal(output_sink::Other{"a pager"}), "reveal app/db to a pager"},
      {key_use::Run{{"a", "b", "c"}, {"deploy", "--prod"}}, "run deploy --prod with 3 selectors"},
      {key_use::Run{{"app/db"}, {}}, "run <empty command> with app/db"},
      {key_use::Run{{"a", "b"}, {"ls"}}, "run ls with 2 selectors"},
      {key_use::Run{{}, {"ls"}}, "run ls with no selectors"},
      {key_use::Set{app_db()}, "set app/db"},
      {key_use::Move{SecretSelectorV1{{"a"}, {}}, app_db()}, "move a to app/db"},
      {key_use::Delete{app_db()}, "delete app/db"},
      {key_use::Other{std::string(kSdkPurposeText)}, std::string(kSdkPurposeText)},
      {key_use::StoreIdentity{}, "store this identity"},
      {key_use::VerifyVault{}, "verify and inspect the vault"},
  };
  for (const auto& [purpose, text] : cases) EXPECT_EQ(purpose_for_prompt(purpose), text);
}

TEST(PromptText, WholePrompt) {
  EXPECT_EQ(prompt_for(request(key_use::Set{app_db()}, "/w/payments", "billing", "alice")),
            "Unlock Vornex keychain for user \"alice\" in project \"billing\" to set app/db: ");
}

// read_line on a file holding `input`; the bytes left after it are `rest`.
TEST(ReadLine, LineEndingsLimitsAndEncoding) {
  const std::string max(terminal::kMaxLineBytes, 'x');
  struct Case {
    std::string input;
    std::string result;  // the line, or the error text
    std::string rest;
  };
  const std::string failed = "passphrase provider failed: ";
  const Case cases[] = {
      {"secret\n", "secret", ""},
      {"secret\r\n", "secret", ""},
      {"a\rb\n", "a\rb", ""},
      {"\r\r\n", "\r", ""},
      {" se cret \n", " se cret ", ""},
      {"\n", "", ""},
      {"p\xC3\xA4ss\n", "p\xC3\xA4ss", ""},
      {"first\nsecond\n", "first", "second\n"},
      {"", failed + "unexpected end of input", ""},
      {"secret", failed + "unexpected end of input", ""},
      {"\xff\xfe\n", failed + "passphrase is not valid UTF-8", ""},
      {"ok\xC3\n", failed + "passphrase is not valid UTF-8", ""},
      {max + "\n", max, ""},
      {max + "yz\n", failed + "passphrase too long", "z\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(file);
    const int fd = ::fileno(file.get());
    ASSERT_EQ(::write(fd, c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    const auto line = terminal::read_line(fd);
    EXPECT_EQ(text_of(line), c.result);
    std::string rest(c.rest.size() + 1, '\0');
    rest.resize(static_cast<std::size_t>(::read(fd, rest.data(), rest.size())));
    EXPECT_EQ(rest, c.rest);
  }
  EXPECT_EQ(terminal::read_line(-1).error().message(), failed + store::IoError::from_errno(EBADF).message());
}

// --- At a pseudo-terminal ---------------------------------------------------

using Deadline = std::chrono::steady_clock::time_point;

Deadline in_seconds(int seconds) { return std::chrono::steady_clock::now() + std::chrono::seconds(seconds); }

int millis_left(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Appends what `fd` yields to `out` until `done(out)`, end of input, an
// error (EIO on a master whose terminal is gone) or the deadline.
template <class Done>
bool read_into(int fd, std::string& out, Deadline deadline, Done done) {
  while (!done(out)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, millis_left(deadline)) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return done(out);
}
const auto kUntilEnd = [](const std::string&) { return false; };

// Reaps `pid`, killing it when it outlives the deadline; its wait status.
int reap(pid_t pid, Deadline deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (millis_left(deadline) == 0) {
      ADD_FAILURE() << "child " << pid << " did not end; killed";
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  return status;
}

std::string proc_file(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Whether `pid` sleeps, i.e. waits in its read.
bool sleeping(pid_t pid) {
  const std::string stat = proc_file(pid, "stat");
  const auto end_of_name = stat.rfind(')');
  return end_of_name != std::string::npos && stat.substr(end_of_name + 2, 1) == "S";
}

// Whether `signal` waits for delivery to `pid`. Once it is delivered, the
// read it hit has been interrupted, so typing cannot overtake it.
bool pending(pid_t pid, int signal) {
  std::istringstream status(proc_file(pid, "status"));
  for (std::string line; std::getline(status, line);) {
    if ((line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) &&
        (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0) {
      return true;
    }
  }
  return false;
}

volatile sig_atomic_t g_child_interrupts = 0;
void count_interrupt(int) { g_child_interrupts = g_child_interrupts + 1; }
void ignore_signal(int) {}

enum class Sigint { Default, Counted, Ignored };

// In the child: asks, then writes "<interrupts>|<passphrase or error>" to
// `report` and ends. Never returns to the test runner. `from_thread` asks
// from a second thread that blocks SIGINT, so that the interrupt goes to the
// main thread (as in a Python program whose worker thread opens a vault)
// and the asking thread's read is never interrupted by it.
[[noreturn]] void ask_and_report(int report, Sigint sigint, bool from_thread = false) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = ignore_signal;  // no SA_RESTART: a read sees EINTR
  ::sigaction(SIGUSR1, &action, nullptr);
  action.sa_handler = sigint == Sigint::Counted ? count_interrupt : sigint == Sigint::Ignored ? SIG_IGN : SIG_DFL;
  ::sigaction(SIGINT, &action, nullptr);
  std::string answer;
  const auto ask = [&] {
    const auto result = StdinPassphraseProvider{}.request_passphrase(request(key_use::VerifyVault{}));
    answer = text_of(result);
  };
  if (from_thread) {
    std::thread([&] {
      sigset_t interrupt;
      sigemptyset(&interrupt);
      sigaddset(&interrupt, SIGINT);
      ::pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
      ask();
    }).join();
  } else {
    ask();
  }
  const std::string text = std::to_string(g_child_interrupts) + "|" + answer;
  [[maybe_unused]] const auto written = ::write(report, text.data(), text.size());
  ::_exit(0);
}

struct PtyCase {
  const char* name;
  std::string keys;                // typed once the prompt shows
  std::string report;              // "<interrupts>|<result>"; empty when the child dies
  Sigint sigint = Sigint::Default;
  bool literal_cr = false;         // ICRNL off: a typed "\r" reaches the reader as is
  int signal_first = 0;            // sent while the child waits in its read
  bool from_thread = false;        // asked from a thread that never sees SIGINT
};

void PrintTo(const PtyCase& c, std::ostream* out) { *out << c.name; }

class AtTerminal : public ::testing::TestWithParam<PtyCase> {};

TEST_P(AtTerminal, HidesTheAnswerAndRestoresTheTerminal) {
  const PtyCase& c = GetParam();
  const Deadline deadline = in_seconds(10);
  const std::string prompt = prompt_for(request(key_use::VerifyVault{}));
  int master = -1;
  int slave = -1;
  int report[2];
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(::pipe(report), 0);
  termios initial{};
  ASSERT_EQ(::tcgetattr(slave, &initial), 0);
  if (c.literal_cr) initial.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
  initial.c_lflag |= ECHONL;  // would echo the Enter even with ECHO off
  ASSERT_EQ(::tcsetattr(slave, TCSANOW, &initial), 0);
  ASSERT_TRUE(initial.c_lflag & ECHO);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(master);
    ::close(report[0]);
    // A session of its own with the pty as controlling terminal.
    if (::login_tty(slave) != 0) ::_exit(3);
    ask_and_report(report[1], c.sigint, c.from_thread);
  }
  ::close(slave);
  ::close(report[1]);

  std::string transcript;
  const bool prompted =
      read_into(master, transcript, deadline, [&](const std::string& s) { return s.find(prompt) != s.npos; });
  EXPECT_TRUE(prompted) << transcript;
  termios waiting{};
  EXPECT_EQ(::tcgetattr(master, &waiting), 0);  // a Linux master reports its terminal's attributes
  EXPECT_EQ(waiting.c_lflag & (ECHO | ECHONL), 0u) << "echo on while the answer is typed";
  if (c.signal_first != 0) {
    while (!sleeping(pid) && millis_left(deadline) > 0) std::this_thread::sleep_for(1ms);  // between polls too
    ::kill(pid, c.signal_first);
    while (pending(pid, c.signal_first) && millis_left(deadline) > 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(::write(master, c.keys.data(), c.keys.size()), static_cast<ssize_t>(c.keys.size()));

  std::string reported;
  read_into(report[0], reported, deadline, kUntilEnd);
  const int status = reap(pid, deadline);
  read_into(master, transcript, deadline, kUntilEnd);
  termios after{};
  EXPECT_EQ(::tcgetattr(master, &after), 0);
  ::close(master);
  ::close(report[0]);

  EXPECT_EQ(reported, c.report);
  if (c.report.empty()) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  // Nothing typed shows; only the newline written for the unechoed Enter.
  EXPECT_EQ(transcript, prompt + "\r\n");
  EXPECT_EQ(after.c_lflag, initial.c_lflag);
}

const std::string kFailed = "passphrase provider failed: ";

INSTANTIATE_TEST_SUITE_P(
    Prompt, AtTerminal,
    ::testing::Values(PtyCase{"enter", "secret\r", "0|secret"},
                      PtyCase{"newline", "secret\n", "0|secret"},
                      PtyCase{"crlf_bytes", "secret\r\n", "0|secret", Sigint::Default, true},
                      PtyCase{"line_editing_kept", "secx\x7fret\n", "0|secret"},
                      PtyCase{"eof_on_empty_line", "\x04", "0|" + kFailed + "unexpected end of input"},
                      PtyCase{"eof_mid_line", "secret\x04\x04", "0|" + kFailed + "unexpected end of input"},
                      PtyCase{"not_utf8", "\xff\xfe\n", "0|" + kFailed + "passphrase is not valid UTF-8"},
                      PtyCase{"other_signal_retries", "secret\n", "0|secret", Sigint::Default, false, SIGUSR1},
                      PtyCase{"ctrl_c_reaches_handler", "\x03", "1|" + kFailed + "interrupted", Sigint::Counted},
                      PtyCase{"ctrl_c_default_ends_child", "\x03", ""},
                      PtyCase{"sigint_reaches_handler", "", "1|" + kFailed + "interrupted", Sigint::Counted, false,
                              SIGINT},
                      PtyCase{"ctrl_c_ignored", "\x03secret\n", "0|secret", Sigint::Ignored},
                      // The interrupt reaches another thread: the prompt
                      // still ends, and the interrupt is passed on to the
                      // process once the terminal is back.
                      PtyCase{"ctrl_c_in_other_thread", "\x03", "1|" + kFailed + "interrupted", Sigint::Counted,
                              false, 0, true},
                      PtyCase{"ctrl_c_in_other_thread_default_ends_child", "\x03", "", Sigint::Default, false, 0,
                              true},
                      PtyCase{"enter_in_other_thread", "secret\n", "0|secret", Sigint::Counted, false, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Prompt, NoControllingTerminal) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(report[0]);
    ::setsid();  // a new session has no controlling terminal
    ask_and_report(report[1], Sigint::Default);
  }
  ::close(report[1]);
  const Deadline deadline = in_seconds(10);
  std::string reported;
  read_into(report[0], reported, deadline, kUntilEnd);
  ::close(report[0]);
  reap(pid, deadline);
  EXPECT_EQ(reported, "0|" + kFailed + store::IoError::from_errno(ENXIO).message());
}

}  // namespace
}  // namespace vornex::keychain
