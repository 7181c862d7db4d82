// Injected I/O faults, for tests only. Preloaded into a process (or linked
// into a test executable), this file defines the C library's file calls
// that the store makes; each forwards to the real one, except that a test
// can make chosen calls fail with an error number of its choice: "the n-th
// call from now on", or "the n-th call of rename". It also counts, while
// armed, the calls that read process-wide state (the environment, the
// current directory, also through a relative path, the effective user id,
// the locale's error texts),
// which nothing a write runs may make: another thread may be changing that
// state while the write runs without the interpreter lock.
//
// The test drives it through the vx_fault_* functions (ctypes in Python,
// plain calls in C++). Rules are set while disarmed; counting and failing
// happen only between vx_fault_arm and vx_fault_disarm.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#define VX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kMaxRules = 8;

struct Rule {
  const char* only = nullptr;  // a call's name, or null for every call
  long nth = 0;                // 1-based, among the calls the rule sees
  int error = 0;
  long seen = 0;
};

// Rules change only while disarmed; the counters are atomic because the
// calls may come from any thread.
Rule g_rules[kMaxRules];
int g_rule_count = 0;
char g_names[kMaxRules][32];
std::atomic<bool> g_armed{false};
std::atomic<long> g_calls{0};
std::atomic<long> g_fired{0};
std::atomic<const char*> g_first_fired{nullptr};
std::atomic<long> g_process_reads{0};
std::atomic<const char*> g_first_process_read{nullptr};

// The definition after this one's: the C library's (or a sanitizer's).
void* next_definition(const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    static const char message[] = "fault injection: no next definition of a call\n";
    (void)!::syscall(SYS_write, 2, message, sizeof message - 1);  // not through write: that may be us
    abort();
  }
  return found;
}

#define VX_REAL(function) \
  static auto* const real = reinterpret_cast<decltype(&function)>(next_definition(#function))

// Counts an I/O call and says whether it is to fail; errno is set then.
bool inject(const char* name) {
  if (!g_armed.load()) return false;
  g_calls.fetch_add(1);
  for (int i = 0; i < g_rule_count; ++i) {
    Rule& rule = g_rules[i];
    if (rule.only != nullptr && strcmp(rule.only, name) != 0) continue;
    if (++rule.seen != rule.nth) continue;
    const char* none = nullptr;
    g_first_fired.compare_exchange_strong(none, name);
    g_fired.fetch_add(1);
    errno = rule.error;
    return true;
  }
  return false;
}

void noted_process_read(const char* name) {
  if (!g_armed.load()) return;
  g_process_reads.fetch_add(1);
  const char* none = nullptr;
  g_first_process_read.compare_exchange_strong(none, name);
}

// A relative path is resolved against the current directory, which is as
// process-wide as the environment: another thread may change it meanwhile.
void noted_path(const char* call, const char* path) {
  if (path != nullptr && path[0] != '/') noted_process_read(call);
}

mode_t mode_argument(int flags, va_list args) {
  bool takes_mode = (flags & O_CREAT) != 0;
#ifdef O_TMPFILE
  takes_mode = takes_mode || (flags & O_TMPFILE) == O_TMPFILE;
#endif
  return takes_mode ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
}

}  // namespace

// Control.

VX_EXPORT void vx_fault_reset() {
  g_armed.store(false);
  g_rule_count = 0;
  g_calls.store(0);
  g_fired.store(0);
  g_first_fired.store(nullptr);
  g_process_reads.store(0);
  g_first_process_read.store(nullptr);
}

// Fails the nth (1-based) call named `only` (every call when null) with
// `error`; 0 when the rule is taken, -1 when the table is full.
VX_EXPORT int vx_fault_add(const char* only, long nth, int error) {
  if (g_rule_count == kMaxRules) return -1;
  Rule& rule = g_rules[g_rule_count];
  rule = Rule{nullptr, nth, error, 0};
  if (only != nullptr) {
    snprintf(g_names[g_rule_count], sizeof g_names[0], "%s", only);
    rule.only = g_names[g_rule_count];
  }
  ++g_rule_count;
  return 0;
}

VX_EXPORT void vx_fault_arm() { g_armed.store(true); }
VX_EXPORT void vx_fault_disarm() { g_armed.store(false); }
VX_EXPORT long vx_fault_calls() { return g_calls.load(); }
VX_EXPORT long vx_fault_fired() { return g_fired.load(); }
VX_EXPORT const char* vx_fault_first_fired() {
  const char* name = g_first_fired.load();
  return name != nullptr ? name : "";
}
VX_EXPORT long vx_fault_process_reads() { return g_process_reads.load(); }
VX_EXPORT const char* vx_fault_first_process_read() {
  const char* name = g_first_process_read.load();
  return name != nullptr ? name : "";
}

// The file calls of a write.

VX_EXPORT int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  VX_REAL(open);
  noted_path("open of a relative path", path);
  if (inject("open")) return -1;
  return real(path, flags, mode);
}

VX_EXPORT int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  VX_REAL(open64);
  noted_path("open64 of a relative path", path);
  if (inject("open")) return -1;
  return real(path, flags, mode);
}

VX_EXPORT ssize_t read(int fd, void* buffer, size_t size) {
  VX_REAL(read);
  if (inject("read")) return -1;
  return real(fd, buffer, size);
}

VX_EXPORT ssize_t write(int fd, const void* buffer, size_t size) {
  VX_REAL(write);
  if (inject("write")) return -1;
  return real(fd, buffer, size);
}

VX_EXPORT int fsync(int fd) {
  VX_REAL(fsync);
  if (inject("fsync")) return -1;
  return real(fd);
}

VX_EXPORT int rename(const char* from, const char* to) noexcept {
  VX_REAL(rename);
  noted_path("rename of a relative path", from);
  noted_path("rename of a relative path", to);
  if (inject("rename")) return -1;
  return real(from, to);
}

VX_EXPORT int chmod(const char* path, mode_t mode) noexcept {
  VX_REAL(chmod);
  noted_path("chmod of a relative path", path);
  if (inject("chmod")) return -1;
  return real(path, mode);
}

VX_EXPORT int fchmod(int fd, mode_t mode) noexcept {
  VX_REAL(fchmod);
  if (inject("fchmod")) return -1;
  return real(fd, mode);
}

VX_EXPORT int unlink(const char* path) noexcept {
  VX_REAL(unlink);
  noted_path("unlink of a relative path", path);
  if (inject("unlink")) return -1;
  return real(path);
}

VX_EXPORT int mkdir(const char* path, mode_t mode) noexcept {
  VX_REAL(mkdir);
  noted_path("mkdir of a relative path", path);
  if (inject("mkdir")) return -1;
  return real(path, mode);
}

VX_EXPORT int flock(int fd, int operation) noexcept {
  VX_REAL(flock);
  if (inject("flock")) return -1;
  return real(fd, operation);
}

VX_EXPORT int stat(const char* path, struct stat* out) noexcept {
  VX_REAL(stat);
  noted_path("stat of a relative path", path);
  if (inject("stat")) return -1;
  return real(path, out);
}

VX_EXPORT int lstat(const char* path, struct stat* out) noexcept {
  VX_REAL(lstat);
  noted_path("lstat of a relative path", path);
  if (inject("lstat")) return -1;
  return real(path, out);
}

VX_EXPORT int fstat(int fd, struct stat* out) noexcept {
  VX_REAL(fstat);
  if (inject("fstat")) return -1;
  return real(fd, out);
}

VX_EXPORT char* realpath(const char* path, char* resolved) noexcept {
  VX_REAL(realpath);
  noted_path("realpath of a relative path", path);
  if (inject("realpath")) return nullptr;
  return real(path, resolved);
}

VX_EXPORT DIR* opendir(const char* path) {
  VX_REAL(opendir);
  noted_path("opendir of a relative path", path);
  if (inject("opendir")) return nullptr;
  return real(path);
}

// Reads of process-wide state: counted, never failed.

VX_EXPORT char* getenv(const char* name) noexcept {
  VX_REAL(getenv);
  noted_process_read("getenv");
  return real(name);
}

VX_EXPORT char* secure_getenv(const char* name) noexcept {
  VX_REAL(secure_getenv);
  noted_process_read("secure_getenv");
  return real(name);
}

VX_EXPORT char* getcwd(char* buffer, size_t size) noexcept {
  VX_REAL(getcwd);
  noted_process_read("getcwd");
  return real(buffer, size);
}

VX_EXPORT uid_t geteuid() noexcept {
  VX_REAL(geteuid);
  noted_process_read("geteuid");
  return real();
}

VX_EXPORT char* strerror(int error) noexcept {
  VX_REAL(strerror);
  noted_process_read("strerror");
  return real(error);
}

VX_EXPORT char* setlocale(int category, const char* locale) noexcept {
  VX_REAL(setlocale);
  noted_process_read("setlocale");
  return real(category, locale);
}
