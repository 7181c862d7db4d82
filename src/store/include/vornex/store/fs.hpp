// Reading and writing whole files. Reads never follow a final symbolic link,
// accept only regular files and stop at a per-file limit. Writes are atomic
// and durable: a fresh temporary sibling, flushed, renamed over the target,
// then the directory flushed.
#pragma once

#include <cstdint>

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

// Per-user state and keychain files pass private_mode = true: the file ends
// 0600 and its directory 0700, even where they existed wider.
StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode);

// The shared vault file: ordinary modes, read back and decoded after the write.
StoreStatus write_vault_bytes_atomic(const WorkspacePaths& paths, cord::ByteView bytes);
StoreResult<cord::Bytes> read_vault_bytes(const WorkspacePaths& paths);
StoreResult<cord::Set<core::VaultRecordV1>> read_vault(const WorkspacePaths& paths);

// A missing file counts as removed.
StoreStatus remove_file_durable(const Path& path);

// The pieces the lock takers share. Directory creation (mode 0777 before the
// umask; the private form then sets `dir` to 0700) first checks the fallback
// state directory when `dir` lies in it: made 0700 if missing, refused unless
// it is a real directory of this user that group and others cannot write.
StoreStatus create_private_dir_all(const Path& dir);
StoreStatus create_dir_all(const Path& dir);
// "." + name + ".tmp." + 32 random lower-case hex digits, beside the target.
Path temporary_path_for(const Path& target);
StoreStatus replace_file(const Path& tmp, const Path& target);
StoreStatus sync_parent_directory(const Path& path);

}  // namespace vornex::store
