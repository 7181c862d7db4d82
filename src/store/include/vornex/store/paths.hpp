// Where the store's files live: the vault file and the workspace lock in the
// workspace's ".vornex" directory, and one user's trust in a vault (ratchet,
// pending transaction, verification cache, join-commit journal, root-state
// lock) in a per-user state directory, one subdirectory per trusted root.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "vornex/core/ids.hpp"
#include "vornex/store/error.hpp"

namespace vornex::store {

inline constexpr const char* kVaultFileName = "vault.cord";
inline constexpr const char* kWorkspaceLockFileName = "vault.cord.lock";
inline constexpr const char* kWorkspaceDirName = ".vornex";
inline constexpr const char* kRatchetFileName = "ratchet.cord";
inline constexpr const char* kRootStateLockFileName = "state.lock";
inline constexpr const char* kTransactionFileName = "transaction.cord";
inline constexpr const char* kJoinCommitFileName = "join-commit.cord";
inline constexpr const char* kVerificationCacheFileName = "cache.cord";

// What the store takes from the process besides paths: the fallback state
// directory (TMPDIR, or "/tmp", joined with "vornex-<euid>"), the effective
// user id that must own it, and the keychain directory the environment
// names (VORNEX_KEYCHAIN_DIR, else XDG_DATA_HOME/vornex, else
// HOME/.local/share/vornex; none when all three are unset). Read once, when
// paths are built: openings and writes run without the interpreter lock,
// while another thread may be changing the environment, so nothing reached
// from them reads it.
struct ProcessFacts {
  Path fallback_state_dir;
  uid_t euid = 0;
  std::optional<Path> keychain_dir;

  static ProcessFacts read();
  bool operator==(const ProcessFacts&) const = default;
};

// Immutable once built; nothing is created on disk by building it. The state
// directory is fixed here, so later changes of the environment do not move
// an open session's files.
class WorkspacePaths {
 public:
  static WorkspacePaths from_root_and_vornex_dir(Path root, Path vornex_dir, std::optional<Path> vault_path);
  static WorkspacePaths from_vault_path(Path vault_path);

  const Path& root() const { return root_; }
  const Path& vornex_dir() const { return vornex_dir_; }
  const Path& vault_path() const { return vault_path_; }
  const Path& lock_path() const { return lock_path_; }
  const Path& state_dir() const { return state_dir_; }
  const ProcessFacts& facts() const { return facts_; }

  // The same paths made absolute against the current directory, lexically
  // (no link is resolved), so that a later change of directory cannot make
  // them name other files.
  WorkspacePaths absolute() const;

  bool operator==(const WorkspacePaths&) const = default;

 private:
  WorkspacePaths(Path root, Path vornex_dir, Path vault_path, Path lock_path, Path state_dir, ProcessFacts facts);

  Path root_;
  Path vornex_dir_;
  Path vault_path_;
  Path lock_path_;
  Path state_dir_;
  ProcessFacts facts_;
};

// `path` made absolute against the current directory, lexically (no link is
// resolved); the empty path names the current directory. Unchanged when the
// current directory cannot be found.
Path absolute_path(const Path& path);

// VORNEX_STATE_DIR, else XDG_STATE_HOME/vornex, else HOME/.local/state/vornex,
// else the temporary directory's "vornex-<euid>". Read at every call; a
// variable set to the empty string is used as it is.
Path default_state_dir();
// The last resort of default_state_dir: TMPDIR (or "/tmp") joined with
// "vornex-<euid>". Other users can create names there first, so the store
// checks this directory before it creates anything inside it.
Path fallback_state_dir();
// Every fallback directory handed out so far in this process, and the one
// `facts` name (by default, the one the environment names now): a session
// keeps its state directory after the environment changes, and the check
// must follow it there. Only the default form reads the environment.
std::vector<Path> fallback_state_dirs();
std::vector<Path> fallback_state_dirs(const ProcessFacts& facts);

// Lower-case hexadecimal of all the hash's bytes.
std::string hex_hash(const core::HashValue& hash);

Path ratchet_path(const WorkspacePaths& paths, const core::HashValue& root);
Path root_state_lock_path(const WorkspacePaths& paths, const core::HashValue& root);
Path transaction_path(const WorkspacePaths& paths, const core::HashValue& root);
Path join_commit_path(const WorkspacePaths& paths, const core::HashValue& root);
Path verification_cache_path(const WorkspacePaths& paths, const core::HashValue& root, const core::HashValue& owner);

// Path pieces by the store's own rules (std::filesystem differs on a
// trailing "/" and on a bare file name):
// the parent, empty for a single relative component, none for "" and "/".
std::optional<Path> parent_of(const Path& path);
// The last component, none where there is none ("/", "..", "").
std::optional<Path> file_name_of(const Path& path);
// The directory a file's siblings are made in: its parent, else ".".
Path directory_of(const Path& path);
// Whether `path` is `base` or lies below it, compared component by component
// without touching the file system.
bool lies_within(const Path& path, const Path& base);

}  // namespace vornex::store
