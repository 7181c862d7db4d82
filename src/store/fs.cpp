#include "vornex/store/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "cord/text.hpp"
#include "cord/try.hpp"
#include "posix.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/random.hpp"

namespace vornex::store {

static_assert(kVaultFileLimit == core::validate::kMaxVaultBytes);

namespace {

using detail::UniqueFd;

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kSharedFileMode = 0666;
constexpr mode_t kSharedDirMode = 0777;
constexpr std::size_t kTemporaryRandomBytes = 16;  // 128 bits, 32 hex digits
constexpr const char* kTemporaryFallbackName = "vornex-write";
// macOS refuses single reads and writes above INT_MAX bytes.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;
// The least a read grows its buffer by when the file grew after fstat.
constexpr std::size_t kReadGrowth = std::size_t{64} << 10;

// The error of the call that just failed; take it before anything else
// can overwrite errno.
IoError last_error() { return IoError::from_errno(errno); }

std::unexpected<StoreError> io_at(const Path& path, IoError error) {
  return std::unexpected(StoreError::io(path, std::move(error)));
}

std::unexpected<IoError> refuse_fallback(const char* why) {
  return std::unexpected(IoError::invalid_input(std::string("refusing insecure state directory: ") + why));
}

bool names_a_directory(const Path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

IoResult<void> flush_directory(const Path& dir) {
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(last_error());
  return detail::full_flush(fd.get());
}

// A new directory's entry is flushed in its parent: a file made durable in
// it must not vanish with it in a crash (a first ratchet file would, and
// the trust it records with it).
IoResult<void> made_durable(const Path& dir) {
  const std::optional<Path> parent = parent_of(dir);
  if (!parent) return {};
  return flush_directory(parent->empty() ? Path(".") : *parent);
}

// Creates dir and its missing ancestors with `mode` (before the umask);
// directories that exist already, also through a symbolic link, are fine.
// The empty path is the current directory and needs nothing.
IoResult<void> make_dir_all(const Path& dir, mode_t mode) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), mode) == 0) return made_durable(dir);
  const IoError first = last_error();
  if (first.kind() != IoKind::NotFound) {
    if (names_a_directory(dir)) return {};
    return std::unexpected(first);
  }
  const std::optional<Path> parent = parent_of(dir);
  if (!parent) return std::unexpected(first);
  VX_TRY(make_dir_all(*parent, mode));
  if (::mkdir(dir.c_str(), mode) == 0) return made_durable(dir);
  const IoError second = last_error();
  if (names_a_directory(dir)) return {};  // made by someone else meanwhile
  return std::unexpected(second);
}

// The fallback state directory sits in the temporary directory, where any
// user may have made that name first or put a link there. It is created
// owner-only and accepted only as a real directory of ours that nobody else
// can write to.
IoResult<void> secure_fallback_dir(const Path& fallback) {
  VX_TRY(make_dir_all(directory_of(fallback), kSharedDirMode));
  if (::mkdir(fallback.c_str(), kPrivateDirMode) == 0) {
    VX_TRY(made_durable(fallback));
  } else if (errno != EEXIST) {
    return std::unexpected(last_error());
  }
  struct stat st {};
  if (::lstat(fallback.c_str(), &st) != 0) return std::unexpected(last_error());
  if (S_ISLNK(st.st_mode)) return refuse_fallback("it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return refuse_fallback("it is not a directory");
  if (st.st_uid != ::geteuid()) return refuse_fallback("it belongs to another user");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return refuse_fallback("it is writable by group or others");
  return {};
}

IoResult<void> write_all(int fd, cord::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxIoChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_error());
    }
    if (n == 0) return std::unexpected(IoError::from_errno(EIO));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// The common middle of both writers: the bytes go to a fresh temporary
// sibling created with `mode`, are flushed, and replace the target. A failure
// before the rename removes the temporary and leaves the target untouched.
StoreStatus write_and_replace(const Path& target, cord::ByteView bytes, mode_t mode) {
  const Path tmp = temporary_path_for(target);
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return io_at(tmp, last_error());
  const auto discard = [&](IoError error) {
    fd.reset();
    ::unlink(tmp.c_str());  // the first failure is the one reported
    return io_at(tmp, std::move(error));
  };
  if (auto written = write_all(fd.get(), bytes); !written) return discard(written.error());
  if (auto flushed = detail::full_flush(fd.get()); !flushed) return discard(flushed.error());
  fd.reset();
  return replace_file(tmp, target);
}

}  // namespace

IoResult<cord::Bytes> read_file_bounded(const Path& path, std::uint64_t max) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // before fstat could refuse it.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return std::unexpected(last_error());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_error());
  if (!S_ISREG(st.st_mode)) return std::unexpected(IoError::invalid_input("not a regular file"));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > max) {
    return std::unexpected(IoError::invalid_data("file is " + std::to_string(size) +
                                                 " bytes, above the supported maximum of " + std::to_string(max)));
  }

  // One byte beyond the reported size lets the read see the end of the file
  // without growing the buffer; a file that grew meanwhile is read on up to
  // max + 1 bytes, which is enough to know it is too large.
  const std::uint64_t cap = max == UINT64_MAX ? max : max + 1;
  cord::Bytes out(static_cast<std::size_t>(size + 1));
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (used > max) break;
      out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(cap, used + std::max(used, kReadGrowth))));
    }
    const ssize_t n = ::read(fd.get(), out.data() + used, std::min(out.size() - used, kMaxIoChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_error());
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > max) {
    return std::unexpected(
        IoError::invalid_data("file exceeds the supported maximum of " + std::to_string(max) + " bytes"));
  }
  out.resize(used);
  return out;
}

StoreStatus create_dir_all(const Path& dir) {
  for (const Path& fallback : fallback_state_dirs()) {
    if (!lies_within(dir, fallback)) continue;
    if (auto secured = secure_fallback_dir(fallback); !secured) return io_at(fallback, secured.error());
  }
  if (auto made = make_dir_all(dir, kSharedDirMode); !made) return io_at(dir, made.error());
  return {};
}

StoreStatus create_private_dir_all(const Path& dir) {
  VX_TRY(create_dir_all(dir));
  // The current directory is not ours to restrict.
  if (dir.empty()) return {};
  // Set after creation: the directory may have existed wider, and the
  // umask may have taken bits the owner needs.
  if (::chmod(dir.c_str(), kPrivateDirMode) != 0) return io_at(dir, last_error());
  return {};
}

Path temporary_path_for(const Path& target) {
  std::array<std::uint8_t, kTemporaryRandomBytes> random{};
  crypto::fill_random(random);
  const std::optional<Path> name = file_name_of(target);
  const std::string base = name && cord::text::is_utf8(name->native()) ? name->native() : kTemporaryFallbackName;
  const std::string digits = hex_hash(core::HashValue(cord::Bytes(random.begin(), random.end())));
  return directory_of(target) / ("." + base + ".tmp." + digits);
}

StoreStatus replace_file(const Path& tmp, const Path& target) {
  if (::rename(tmp.c_str(), target.c_str()) == 0) return {};
  const IoError error = last_error();
  const auto discard = [&](IoError reported) {
    ::unlink(tmp.c_str());
    return io_at(target, std::move(reported));
  };
  // POSIX rename replaces; AlreadyExists comes only from platforms whose
  // rename does not, where the target has to go first.
  if (error.kind() != IoKind::AlreadyExists) return discard(error);
  if (::unlink(target.c_str()) != 0) return discard(last_error());
  if (::rename(tmp.c_str(), target.c_str()) != 0) return discard(last_error());
  return {};
}

StoreStatus sync_parent_directory(const Path& path) {
  const std::optional<Path> parent = parent_of(path);
  if (!parent) return {};
  // A bare file name lives in the current directory, so that is flushed.
  const Path dir = parent->empty() ? Path(".") : *parent;
  if (auto flushed = flush_directory(dir); !flushed) return io_at(dir, flushed.error());
  return {};
}

StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode) {
  const Path dir = directory_of(target);
  VX_TRY(private_mode ? create_private_dir_all(dir) : create_dir_all(dir));
  VX_TRY(write_and_replace(target, bytes, kPrivateFileMode));
  // Exactly 0600 whatever the umask took from the temporary's mode.
  if (::chmod(target.c_str(), kPrivateFileMode) != 0) return io_at(target, last_error());
  return sync_parent_directory(target);
}

StoreStatus write_vault_bytes_atomic(const WorkspacePaths& paths, cord::ByteView bytes) {
  const Path& vault = paths.vault_path();
  if (bytes.size() > kVaultFileLimit) {
    return std::unexpected(StoreError::vault_invalid(
        vault, core::CoreError::validation("vault is " + std::to_string(bytes.size()) +
                                           " bytes, above the supported maximum of " +
                                           std::to_string(kVaultFileLimit))));
  }
  VX_TRY(create_dir_all(paths.vornex_dir()));
  VX_TRY(create_dir_all(directory_of(vault)));
  VX_TRY(write_and_replace(vault, bytes, kSharedFileMode));
  VX_TRY(sync_parent_directory(vault));

  VX_TRY_ASSIGN(const cord::Bytes written, read_vault_bytes(paths));
  if (!std::ranges::equal(written, bytes)) {
    return std::unexpected(StoreError::vault_invalid(
        vault, core::CoreError::validation("vault bytes differed immediately after atomic write")));
  }
  if (auto decoded = core::validate::decode_vault(written); !decoded) {
    return std::unexpected(StoreError::vault_invalid(vault, std::move(decoded).error()));
  }
  return {};
}

StoreResult<cord::Bytes> read_vault_bytes(const WorkspacePaths& paths) {
  const Path& vault = paths.vault_path();
  auto bytes = read_file_bounded(vault, kVaultFileLimit);
  if (bytes) return std::move(*bytes);
  switch (bytes.error().kind()) {
    case IoKind::NotFound: return std::unexpected(StoreError::vault_missing(vault));
    case IoKind::InvalidData:
      return std::unexpected(StoreError::vault_invalid(vault, core::CoreError::validation(bytes.error().message())));
    default: return io_at(vault, std::move(bytes).error());
  }
}

StoreResult<cord::Set<core::VaultRecordV1>> read_vault(const WorkspacePaths& paths) {
  VX_TRY_ASSIGN(const cord::Bytes bytes, read_vault_bytes(paths));
  auto records = core::validate::decode_vault(bytes);
  if (!records) return std::unexpected(StoreError::vault_invalid(paths.vault_path(), std::move(records).error()));
  return std::move(*records);
}

StoreStatus remove_file_durable(const Path& path) {
  if (::unlink(path.c_str()) != 0) {
    const IoError error = last_error();
    if (error.kind() == IoKind::NotFound) return {};
    return io_at(path, error);
  }
  return sync_parent_directory(path);
}

}  // namespace vornex::store
