#include "vornex/keychain/terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cord/text.hpp"
#include "vornex/keychain/unlock.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/interrupt.hpp"

namespace vornex::keychain {

namespace terminal {

namespace {

constexpr std::string_view kInterrupted = "interrupted";

KeychainError failure(std::string reason) { return KeychainError::passphrase_provider(std::move(reason)); }
KeychainError os_failure(int error_number) { return failure(store::IoError::from_errno(error_number).message()); }

struct WipeOnExit {
  std::vector<std::uint8_t>& bytes;
  ~WipeOnExit() { core::secure_wipe(bytes.data(), bytes.size()); }
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The terminal of the prompt in progress (prompts take turns), for the
// process's exit to put back: the prompt waits without the interpreter
// lock, so the program may end while it waits, and its terminal must not
// be left with echo off. The modes are written before the descriptor is.
termios g_shown_modes{};
std::atomic<int> g_hidden_fd{-1};

void show_at_exit() {
  const int fd = g_hidden_fd.exchange(-1);
  if (fd >= 0) ::tcsetattr(fd, TCSANOW, &g_shown_modes);
}

// Echo off from hide() until destruction. ECHONL goes too, or the Enter
// would show; ICANON and ISIG stay, so line editing and Ctrl-C still work.
class HiddenEcho {
 public:
  HiddenEcho() = default;
  HiddenEcho(const HiddenEcho&) = delete;
  HiddenEcho& operator=(const HiddenEcho&) = delete;
  ~HiddenEcho() {
    if (fd_ < 0) return;
    g_hidden_fd.store(-1);
    while (::tcsetattr(fd_, TCSANOW, &g_shown_modes) != 0 && errno == EINTR) {
    }
  }

  // False, with errno set, when the terminal refused.
  bool hide(int fd) {
    if (::tcgetattr(fd, &g_shown_modes) != 0) return false;
    termios hidden = g_shown_modes;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    fd_ = fd;
    g_hidden_fd.store(fd);
    // Flushing drops anything typed ahead of the prompt: it was echoed.
    return ::tcsetattr(fd, TCSAFLUSH, &hidden) == 0;
  }

 private:
  int fd_ = -1;
};

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Waits until `fd` has input (or an end or error to report), looking for an
// interrupt between short waits. False when interrupted.
bool wait_for_input(int fd) {
  // poll skips a negative descriptor; the read reports it instead.
  if (fd < 0) return !store::interrupt_requested();
  for (;;) {
    if (store::interrupt_requested()) return false;
    pollfd ready{fd, POLLIN, 0};
    const int n = ::poll(&ready, 1, kInterruptCheckMillis);
    if (n > 0 || (n < 0 && errno != EINTR)) return !store::interrupt_requested();
  }
}

// Fills line[0, length) up to the "\n", which is read but not counted.
// Returns why it stopped short, or nothing.
std::optional<std::string> read_until_newline(int fd, std::vector<std::uint8_t>& line, std::size_t& length) {
  for (;;) {
    if (!wait_for_input(fd)) return std::string(kInterrupted);
    const ssize_t n = ::read(fd, line.data() + length, 1);
    if (n < 0 && errno == EINTR) continue;  // another signal: keep waiting
    if (n < 0) return store::IoError::from_errno(errno).message();
    if (n == 0) return "unexpected end of input";
    if (line[length] == '\n') return std::nullopt;
    if (++length > kMaxLineBytes) return "passphrase too long";
  }
}

KeychainResult<core::SecretBytes> ask_with_echo_off(std::string_view prompt) {
  const Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return std::unexpected(os_failure(errno));
  HiddenEcho echo;
  if (!echo.hide(tty.get()) || !write_all(tty.get(), prompt)) return std::unexpected(os_failure(errno));
  auto line = read_line(tty.get());
  write_all(tty.get(), "\n");  // the Enter that ended the line was not echoed
  return line;
}

// Whose turn it is to prompt. A child made by fork while another thread
// held it would wait for ever: the child starts with a fresh one.
std::atomic<std::mutex*> g_prompt_turn{nullptr};

// A child made by fork while another thread waits at the prompt has none
// of its own: the terminal is its parent's, hidden by its parent, who
// still reads the passphrase from it. So the child forgets it, and its
// exit leaves the echo off; the parent's own exit still puts it back.
void after_fork_in_child() {
  g_prompt_turn.store(new std::mutex);
  g_hidden_fd.store(-1);
}

bool set_up_once() {
  static const bool ready = [] {
    g_prompt_turn.store(new std::mutex);
    return std::atexit(show_at_exit) == 0 && ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
  }();
  return ready;
}

std::mutex& prompt_turn() {
  set_up_once();
  return *g_prompt_turn.load();
}

}  // namespace

KeychainResult<core::SecretBytes> read_line(int fd) {
  // Sized once: the buffer never reallocates, so no unwiped copy is left.
  std::vector<std::uint8_t> line(kMaxLineBytes + 1);
  const WipeOnExit wipe{line};
  std::size_t length = 0;
  std::optional<std::string> problem = read_until_newline(fd, line, length);
  if (!problem && length > 0 && line[length - 1] == '\r') --length;
  if (!problem && !cord::text::is_utf8({reinterpret_cast<const char*>(line.data()), length})) {
    problem = "passphrase is not valid UTF-8";
  }
  if (problem) return std::unexpected(failure(*std::move(problem)));
  return core::SecretBytes(cord::ByteView(line.data(), length));
}

KeychainResult<core::SecretBytes> ask_hidden(std::string_view prompt) {
  // Declared first, so that the terminal is restored before a default
  // disposition acts on the interrupt as the watch ends.
  const store::InterruptWatch watch;
  // One prompt at a time: two threads opening vaults would otherwise write
  // their prompts over each other and each put back the terminal modes the
  // other had changed, leaving echo off. A Ctrl-C that ends the prompt in
  // progress ends those waiting behind it too: the user meant to stop, and
  // every watch counts it.
  const std::lock_guard held(prompt_turn());
  if (watch.interrupted()) return std::unexpected(interrupted());
  auto result = ask_with_echo_off(prompt);
  // A line that arrived together with the interrupt is dropped (and wiped).
  if (watch.interrupted()) result = std::unexpected(interrupted());
  return result;
}

bool start() { return set_up_once(); }

KeychainError interrupted() { return failure(std::string(kInterrupted)); }

bool interrupted_at_prompt(const KeychainError& error) {
  const std::string* reason = error.reason();
  return error.kind() == KeychainError::Kind::PassphraseProvider && reason != nullptr && *reason == kInterrupted;
}

}  // namespace terminal

KeychainResult<core::SecretBytes> StdinPassphraseProvider::request_passphrase(const KeychainRequest& request) const {
  return terminal::ask_hidden(prompt_for(request));
}

}  // namespace vornex::keychain
