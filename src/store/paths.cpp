#include "vornex/store/paths.hpp"

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "fork_locks.hpp"
#include "vornex/core/hex.hpp"

namespace vornex::store {

namespace {

constexpr const char* kDefaultTempDir = "/tmp";

// A path's components as byte ranges of its text. Repeated "/" collapse, a
// trailing "/" adds no empty component, and "." counts only as the first
// component of a relative path ("a/./b" is "a", "b"; "./a" is ".", "a").
struct Components {
  struct Range {
    std::size_t begin;
    std::size_t end;
  };
  bool absolute = false;
  std::vector<Range> ranges;
};

Components components(std::string_view text) {
  Components out;
  out.absolute = !text.empty() && text.front() == '/';
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '/') {
      ++i;
      continue;
    }
    const std::size_t end = std::min(text.find('/', i), text.size());
    const bool leading = i == 0;
    if (text.substr(i, end - i) != "." || leading) out.ranges.push_back({i, end});
    i = end;
  }
  return out;
}

std::string_view text_of(std::string_view text, Components::Range range) {
  return text.substr(range.begin, range.end - range.begin);
}

// The environment variable's raw value; an empty value counts as set.
std::optional<Path> env_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return Path(value);
}

Path handed_out(Path dir);

// A per-user directory as the environment names it: `own` as it stands,
// else `xdg`/vornex, else HOME/.local/<local>/vornex; none when all three
// are unset.
std::optional<Path> user_dir(const char* own, const char* xdg, const char* local) {
  if (auto dir = env_path(own)) return dir;
  if (auto dir = env_path(xdg)) return *dir / "vornex";
  if (auto dir = env_path("HOME")) return *dir / ".local" / local / "vornex";
  return std::nullopt;
}

// VORNEX_STATE_DIR, XDG_STATE_HOME, HOME, and the fallback of `facts` last.
Path state_dir_from_environment(const ProcessFacts& facts) {
  if (auto dir = user_dir("VORNEX_STATE_DIR", "XDG_STATE_HOME", "state")) return std::move(*dir);
  return handed_out(facts.fallback_state_dir);
}

// The directory of one trusted root's state files.
Path root_state_dir(const WorkspacePaths& paths, const core::HashValue& root) {
  return paths.state_dir() / hex_hash(root);
}

}  // namespace

WorkspacePaths::WorkspacePaths(Path root, Path vornex_dir, Path vault_path, Path lock_path, Path state_dir,
                               ProcessFacts facts)
    : root_(std::move(root)),
      vornex_dir_(std::move(vornex_dir)),
      vault_path_(std::move(vault_path)),
      lock_path_(std::move(lock_path)),
      state_dir_(std::move(state_dir)),
      facts_(std::move(facts)) {}

Path absolute_path(const Path& path) {
  std::error_code ignored;
  // An empty path (a variable set to "") names the current directory, as
  // the joins that follow would read it.
  const Path out = path.empty() ? std::filesystem::current_path(ignored) : std::filesystem::absolute(path, ignored);
  return out.empty() ? path : out;
}

WorkspacePaths WorkspacePaths::absolute() const {
  const auto made = [](const Path& path) { return absolute_path(path); };
  ProcessFacts facts = facts_;
  facts.fallback_state_dir = made(facts.fallback_state_dir);
  if (facts.keychain_dir) facts.keychain_dir = made(*facts.keychain_dir);
  return WorkspacePaths(made(root_), made(vornex_dir_), made(vault_path_), made(lock_path_), made(state_dir_),
                        std::move(facts));
}

WorkspacePaths WorkspacePaths::from_root_and_vornex_dir(Path root, Path vornex_dir, std::optional<Path> vault_path) {
  Path vault = vault_path ? std::move(*vault_path) : vornex_dir / kVaultFileName;
  // The lock stays in vornex_dir even when the vault file lives elsewhere
  // or has another name, so every writer of the workspace meets on it.
  Path lock = vornex_dir / kWorkspaceLockFileName;
  ProcessFacts facts = ProcessFacts::read();
  Path state = state_dir_from_environment(facts);
  return WorkspacePaths(std::move(root), std::move(vornex_dir), std::move(vault), std::move(lock), std::move(state),
                        std::move(facts));
}

WorkspacePaths WorkspacePaths::from_vault_path(Path vault_path) {
  Path dir = directory_of(vault_path);
  Path root = dir;
  if (file_name_of(dir) == Path(kWorkspaceDirName)) root = directory_of(dir);
  return from_root_and_vornex_dir(std::move(root), std::move(dir), std::move(vault_path));
}

namespace {

// Never destroyed: threads still inside a call at exit may take them.
std::mutex& fallback_mutex() {
  static std::mutex& m = *new std::mutex;
  return m;
}

std::vector<Path>& handed_out_fallbacks() {
  static std::vector<Path>& dirs = *new std::vector<Path>;
  return dirs;
}

}  // namespace

namespace fork_locks {
void lock_fallback_dirs() noexcept { fallback_mutex().lock(); }
void unlock_fallback_dirs() noexcept { fallback_mutex().unlock(); }
}  // namespace fork_locks

namespace {

Path handed_out(Path dir) {
  const std::lock_guard lock(fallback_mutex());
  auto& dirs = handed_out_fallbacks();
  if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  return dir;
}

}  // namespace

ProcessFacts ProcessFacts::read() {
  // An empty TMPDIR is taken as unset: it would put the state of every user
  // of this program into whatever directory it happens to run in.
  std::optional<Path> tmp = env_path("TMPDIR");
  if (!tmp || tmp->empty()) tmp = Path(kDefaultTempDir);
  const uid_t euid = ::geteuid();
  return ProcessFacts{*tmp / ("vornex-" + std::to_string(euid)), euid,
                      user_dir("VORNEX_KEYCHAIN_DIR", "XDG_DATA_HOME", "share")};
}

Path fallback_state_dir() { return handed_out(ProcessFacts::read().fallback_state_dir); }

std::vector<Path> fallback_state_dirs() { return fallback_state_dirs(ProcessFacts::read()); }

std::vector<Path> fallback_state_dirs(const ProcessFacts& facts) {
  const std::lock_guard lock(fallback_mutex());
  std::vector<Path> dirs = handed_out_fallbacks();
  if (std::find(dirs.begin(), dirs.end(), facts.fallback_state_dir) == dirs.end()) {
    dirs.push_back(facts.fallback_state_dir);
  }
  return dirs;
}

Path default_state_dir() { return state_dir_from_environment(ProcessFacts::read()); }

std::string hex_hash(const core::HashValue& hash) { return core::hex_lower(hash.bytes()); }

Path ratchet_path(const WorkspacePaths& paths, const core::HashValue& root) {
  return root_state_dir(paths, root) / kRatchetFileName;
}

Path root_state_lock_path(const WorkspacePaths& paths, const core::HashValue& root) {
  return root_state_dir(paths, root) / kRootStateLockFileName;
}

Path transaction_path(const WorkspacePaths& paths, const core::HashValue& root) {
  return root_state_dir(paths, root) / kTransactionFileName;
}

Path join_commit_path(const WorkspacePaths& paths, const core::HashValue& root) {
  return root_state_dir(paths, root) / kJoinCommitFileName;
}

Path verification_cache_path(const WorkspacePaths& paths, const core::HashValue& root,
                             const core::HashValue& owner) {
  return root_state_dir(paths, root) / hex_hash(owner) / kVerificationCacheFileName;
}

std::optional<Path> parent_of(const Path& path) {
  const std::string_view text = path.native();
  const Components parts = components(text);
  if (parts.ranges.empty()) return std::nullopt;  // "" and "/"
  if (parts.ranges.size() == 1) return parts.absolute ? Path("/") : Path();
  return Path(std::string(text.substr(0, parts.ranges[parts.ranges.size() - 2].end)));
}

std::optional<Path> file_name_of(const Path& path) {
  const std::string_view text = path.native();
  const Components parts = components(text);
  if (parts.ranges.empty()) return std::nullopt;
  const std::string_view last = text_of(text, parts.ranges.back());
  if (last == "." || last == "..") return std::nullopt;
  return Path(std::string(last));
}

Path directory_of(const Path& path) { return parent_of(path).value_or(Path(".")); }

bool lies_within(const Path& path, const Path& base) {
  // "." names the same place as no component at all.
  const auto names = [](std::string_view text) {
    std::vector<std::string_view> out;
    for (const auto range : components(text).ranges) {
      if (text_of(text, range) != ".") out.push_back(text_of(text, range));
    }
    return out;
  };
  if (components(path.native()).absolute != components(base.native()).absolute) return false;
  const auto inner = names(path.native());
  const auto outer = names(base.native());
  return outer.size() <= inner.size() && std::equal(outer.begin(), outer.end(), inner.begin());
}

}  // namespace vornex::store
