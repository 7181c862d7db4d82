// A file read whole together with the open file it came from, so that a
// later look can tell whether its path still names that same, unchanged
// file without reading it again. The open descriptor keeps the file's inode
// from being reused meanwhile, and writers replace the files this is used
// for by rename, which always brings a new inode.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <span>

#include "cord/wire.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

class HeldFile {
 public:
  HeldFile() = default;
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  const cord::Bytes& bytes() const { return bytes_; }
  cord::Bytes take_bytes() { return std::move(bytes_); }

  // Whether `path` names the file read, not changed since: the same device
  // and inode, size, modification and status-change times as fstat gave
  // before the read, which read exactly that size. A path that cannot be
  // looked at, or any difference, answers false: the caller reads again.
  bool still_at(const Path& path) const;

  // Closes the file; still_at answers false from then on.
  void release();

 private:
  friend IoResult<HeldFile> read_file_held(const Path& path, std::uint64_t max);
  friend IoResult<bool> file_holds_parts(const Path& path, std::span<const cord::ByteView> parts, std::uint64_t max,
                                         HeldFile* held);

  int fd_ = -1;
  struct stat seen_ {};
  bool settled_ = false;  // the read got exactly the size fstat reported
  cord::Bytes bytes_;
};

// read_file_bounded, keeping the file open (same errors).
IoResult<HeldFile> read_file_held(const Path& path, std::uint64_t max);

// read_vault_bytes, keeping the file open (same errors).
StoreResult<HeldFile> read_vault_held(const WorkspacePaths& paths);

}  // namespace vornex::store
