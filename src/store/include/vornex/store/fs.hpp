// Reading and writing whole files. Reads never follow a final symbolic link,
// accept only regular files and stop at a per-file limit. Writes are atomic
// and durable: a fresh temporary sibling, flushed, renamed over the target,
// then the directory flushed.
#pragma once

#include <cstdint>
#include <span>
#include <initializer_list>

#include "cord/set.hpp"
#include "cord/wire.hpp"
#include "vornex/core/records.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

inline constexpr std::uint64_t kVaultFileLimit = 268'435'456;
inline constexpr std::uint64_t kRatchetFileLimit = 268'435'456;
inline constexpr std::uint64_t kTransactionFileLimit = 537'919'488;
inline constexpr std::uint64_t kVerificationCacheLimit = 33'554'432;

// The whole content, or the I/O error: NotFound for a missing file,
// InvalidInput "not a regular file", InvalidData for a file over `max`.
IoResult<cord::Bytes> read_file_bounded(const Path& path, std::uint64_t max);

// Whether the file holds exactly `bytes`: opened and bounded as
// read_file_bounded does (with its errors), then compared piece by piece,
// so that a read-back holds nothing file-sized.
class HeldFile;
// With `held`, a file found equal stays open there, its bytes being the
// caller's: a later look can tell whether the path still names it.
IoResult<bool> file_holds(const Path& path, cord::ByteView bytes, std::uint64_t max, HeldFile* held = nullptr);

// A file's content as consecutive pieces, written and compared in order
// without first being gathered into one file-sized buffer.
using ByteParts = std::span<const cord::ByteView>;
IoResult<bool> file_holds_parts(const Path& path, ByteParts parts, std::uint64_t max, HeldFile* held = nullptr);

// New content written and fully flushed to a fresh temporary sibling of its
// target, waiting for the one rename that puts it in place. Everything that
// can fail for want of space or permission has happened by then, so a
// commit can prepare its files first and afterwards only rename them.
// Dropped before it is placed, it removes its temporary.
class PreparedFile {
 public:
  PreparedFile(Path temporary, Path target) : temporary_(std::move(temporary)), target_(std::move(target)) {}
  PreparedFile(PreparedFile&& other) noexcept;
  PreparedFile& operator=(PreparedFile&& other) noexcept;
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;
  ~PreparedFile();

  const Path& target() const { return target_; }
  const Path& temporary() const { return temporary_; }
  // Whether the rename happened: the new content is then in place, even
  // when the directory flush that follows failed.
  bool placed() const { return placed_; }

  // Renames the temporary over the target, then flushes the directory. A
  // failed rename removes the temporary and leaves the target as it was.
  StoreStatus place();

 private:
  void discard();

  Path temporary_;
  Path target_;
  bool owned_ = true;  // the temporary is still ours to remove
  bool placed_ = false;
};

// Per-user state and keychain files pass private_mode = true: the file ends
// 0600 and its directory 0700, even where they existed wider. The forms
// with `facts` read nothing from the environment.
StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode);
StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode,
                                       const ProcessFacts& facts);
// The same write up to the rename: the directory made, the temporary
// written 0600 and flushed.
StoreResult<PreparedFile> prepare_private_file(const Path& target, cord::ByteView bytes, bool private_mode,
                                               const ProcessFacts& facts);
StoreResult<PreparedFile> prepare_private_file(const Path& target, ByteParts parts, bool private_mode,
                                               const ProcessFacts& facts);

// The shared vault file: ordinary modes, read back and decoded after the write.
StoreStatus write_vault_bytes_atomic(const WorkspacePaths& paths, cord::ByteView bytes);
// Its halves: everything up to the rename, and the read-back after it.
StoreResult<PreparedFile> prepare_vault_bytes(const WorkspacePaths& paths, cord::ByteView bytes);
StoreStatus verify_vault_bytes(const WorkspacePaths& paths, cord::ByteView bytes);
// The read-back by bytes alone, for a writer whose bytes are the encoding
// of records it has validated: bytes equal to those decode as they did.
// Its errors are verify_vault_bytes' for a read that fails or differs.
StoreStatus verify_vault_bytes_equal(const WorkspacePaths& paths, cord::ByteView bytes, HeldFile* held = nullptr);
StoreResult<cord::Bytes> read_vault_bytes(const WorkspacePaths& paths);
StoreResult<cord::Set<core::VaultRecordV1>> read_vault(const WorkspacePaths& paths);

// Whether anything (a link included, not followed) is at the path; the
// I/O error when that cannot be told.
IoResult<bool> entry_present(const Path& path);

// A missing file counts as removed. remove_file only unlinks;
// remove_file_durable then flushes the directory.
StoreStatus remove_file(const Path& path);
StoreStatus remove_file_durable(const Path& path);

// Removes the temporaries that writers of `targets` (files in `dir`) left
// behind when they were killed: names of exactly the form
// temporary_path_for gives. Only for a caller that holds the locks every
// writer of those targets takes, so that no live writer's temporary is
// among them. Best effort: what cannot be listed or removed stays.
void remove_stale_temporaries(const Path& dir, std::initializer_list<Path> targets);

// The pieces the lock takers share. Directory creation (mode 0777 before the
// umask; the private form then sets `dir` to 0700) first checks the fallback
// state directory when `dir` lies in it: made 0700 if missing, refused unless
// it is a real directory of this user that group and others cannot write.
StoreStatus create_private_dir_all(const Path& dir);
StoreStatus create_dir_all(const Path& dir);
StoreStatus create_private_dir_all(const Path& dir, const ProcessFacts& facts);
StoreStatus create_dir_all(const Path& dir, const ProcessFacts& facts);
// "." + name + ".tmp." + 32 random lower-case hex digits, beside the target.
Path temporary_path_for(const Path& target);
StoreStatus replace_file(const Path& tmp, const Path& target);
StoreStatus sync_parent_directory(const Path& path);

}  // namespace vornex::store
