#include "vornex/store/fs.hpp"

#include "cord/pages.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cord/text.hpp"
#include "cord/try.hpp"
#include "posix.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/random.hpp"
#include "vornex/store/held_file.hpp"

namespace vornex::store {

static_assert(kVaultFileLimit == core::validate::kMaxVaultBytes);

namespace {

using detail::UniqueFd;

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kSharedFileMode = 0666;
constexpr mode_t kSharedDirMode = 0777;
constexpr std::size_t kTemporaryRandomBytes = 16;  // 128 bits
constexpr std::size_t kTemporaryDigits = 2 * kTemporaryRandomBytes;
constexpr const char* kTemporaryFallbackName = "vornex-write";
// macOS refuses single reads and writes above INT_MAX bytes.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;
// The least a read grows its buffer by when the file grew after fstat.
constexpr std::size_t kReadGrowth = std::size_t{64} << 10;
// A read-back that compares holds no more than this of the file at once.
constexpr std::size_t kCompareChunk = std::size_t{1} << 20;

// The error of the call that just failed; take it before anything else
// can overwrite errno.
IoError last_error() { return IoError::from_errno(errno); }

std::unexpected<StoreError> io_at(const Path& path, IoError error) {
  return std::unexpected(StoreError::io(path, std::move(error)));
}

std::unexpected<IoError> refuse_fallback(const char* why) {
  return std::unexpected(IoError::invalid_input(std::string("refusing insecure state directory: ") + why));
}

using detail::retry_interrupted;

int open_file(const Path& path, int flags, mode_t mode = 0) {
  return retry_interrupted([&] { return ::open(path.c_str(), flags, mode); });
}

// Removing a temporary after a failure: the first failure is the one
// reported, so the removal's own result is not.
void discard_temporary(const Path& tmp) { (void)retry_interrupted([&] { return ::unlink(tmp.c_str()); }); }

// Whether something that is a directory (also through a link) is at the
// path; ENOENT when nothing is.
IoResult<bool> names_a_directory(const Path& path) {
  struct stat st {};
  if (retry_interrupted([&] { return ::stat(path.c_str(), &st); }) != 0) return std::unexpected(last_error());
  return S_ISDIR(st.st_mode);
}

// After mkdir failed with `made`: success when a directory is there after
// all; else the failure of whichever call tells why. A stat that found
// nothing leaves mkdir's own reason (a parent we may not write, a dangling
// link), any other stat failure is its own.
IoResult<void> directory_after_failed_mkdir(const Path& dir, const IoError& made) {
  auto present = names_a_directory(dir);
  if (!present) {
    if (present.error().kind() == IoKind::NotFound) return std::unexpected(made);
    return std::unexpected(std::move(present).error());
  }
  if (*present) return {};
  return std::unexpected(made);
}

IoResult<void> flush_directory(const Path& dir) {
  const UniqueFd fd(open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

int make_directory(const Path& dir, mode_t mode) {
  return retry_interrupted([&] { return ::mkdir(dir.c_str(), mode); });
}

// Creates dir and its missing ancestors with `mode` (before the umask);
// directories that exist already, also through a symbolic link, are fine.
// The empty path is the current directory and needs nothing.
IoResult<void> make_dir_all(const Path& dir, mode_t mode) {
  if (dir.empty()) return {};
  if (make_directory(dir, mode) == 0) return made_durable(dir);
  const IoError first = last_error();
  if (first.kind() != IoKind::NotFound) return directory_after_failed_mkdir(dir, first);
  const std::optional<Path> parent = parent_of(dir);
  if (!parent) return std::unexpected(first);
  VX_TRY(make_dir_all(*parent, mode));
  if (make_directory(dir, mode) == 0) return made_durable(dir);
  // Made by someone else meanwhile, perhaps.
  return directory_after_failed_mkdir(dir, last_error());
}

// The fallback state directory sits in the temporary directory, where any
// user may have made that name first or put a link there. It is created
// owner-only and accepted only as a real directory of ours that nobody else
// can write to.
IoResult<void> secure_fallback_dir(const Path& fallback, uid_t euid) {
  VX_TRY(make_dir_all(directory_of(fallback), kSharedDirMode));
  if (make_directory(fallback, kPrivateDirMode) == 0) {
    VX_TRY(made_durable(fallback));
  } else if (errno != EEXIST) {
    return std::unexpected(last_error());
  }
  struct stat st {};
  if (retry_interrupted([&] { return ::lstat(fallback.c_str(), &st); }) != 0) return std::unexpected(last_error());
  if (S_ISLNK(st.st_mode)) return refuse_fallback("it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return refuse_fallback("it is not a directory");
  if (st.st_uid != euid) return refuse_fallback("it belongs to another user");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return refuse_fallback("it is writable by group or others");
  return {};
}

IoResult<void> write_all(int fd, cord::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry_interrupted([&] { return ::write(fd, bytes.data(), std::min(bytes.size(), kMaxIoChunk)); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return std::unexpected(IoError::from_errno(EIO));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// The common first half of both writers: the bytes go to a fresh temporary
// sibling created with `mode` and are flushed. `exact_mode` is then set on
// it, whatever the umask took, before it is ever renamed, so that nothing
// after the rename can fail for want of permission. A failure removes the
// temporary and leaves the target untouched.
StoreResult<PreparedFile> write_temporary(const Path& target, ByteParts parts, mode_t mode,
                                          std::optional<mode_t> exact_mode) {
  const Path tmp = temporary_path_for(target);
  UniqueFd fd(open_file(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return io_at(tmp, last_error());
  PreparedFile prepared(tmp, target);  // removes the temporary unless placed
  for (const cord::ByteView part : parts) {
    if (auto written = write_all(fd.get(), part); !written) return io_at(tmp, written.error());
  }
  if (exact_mode && retry_interrupted([&] { return ::fchmod(fd.get(), *exact_mode); }) != 0) {
    return io_at(tmp, last_error());
  }
  if (auto flushed = detail::full_flush(fd.get()); !flushed) return io_at(tmp, flushed.error());
  return prepared;
}

// What readers of our temporaries' names need: "." + name + ".tmp.".
std::string temporary_prefix(const Path& target) {
  const std::optional<Path> name = file_name_of(target);
  const std::string base = name && cord::text::is_utf8(name->native()) ? name->native() : kTemporaryFallbackName;
  return "." + base + ".tmp.";
}

bool is_lower_hex(std::string_view text) {
  return std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The file opened for one of the bounded reads: no final link followed,
// a regular file of at most `max` bytes by fstat.
struct BoundedFile {
  UniqueFd fd;
  struct stat seen {};
  std::uint64_t size = 0;
};

IoResult<BoundedFile> open_bounded(const Path& path, std::uint64_t max) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // before fstat could refuse it.
  BoundedFile file;
  file.fd = UniqueFd(open_file(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file.fd) return std::unexpected(last_error());
  struct stat& st = file.seen;
  if (retry_interrupted([&] { return ::fstat(file.fd.get(), &st); }) != 0) return std::unexpected(last_error());
  if (!S_ISREG(st.st_mode)) return std::unexpected(IoError::invalid_input("not a regular file"));
  file.size = static_cast<std::uint64_t>(st.st_size);
  if (file.size > max) {
    return std::unexpected(IoError::invalid_data("file is " + std::to_string(file.size) +
                                                 " bytes, above the supported maximum of " + std::to_string(max)));
  }
  return file;
}

// What read_vault_bytes makes of a failed read of the vault file.
std::unexpected<StoreError> vault_read_error(const Path& vault, IoError error) {
  switch (error.kind()) {
    case IoKind::NotFound: return std::unexpected(StoreError::vault_missing(vault));
    case IoKind::InvalidData:
      return std::unexpected(StoreError::vault_invalid(vault, core::CoreError::validation(error.message())));
    default: return io_at(vault, std::move(error));
  }
}

}  // namespace

IoResult<HeldFile> read_file_held(const Path& path, std::uint64_t max) {
  VX_TRY_ASSIGN(BoundedFile file, open_bounded(path, max));
  UniqueFd& fd = file.fd;
  const std::uint64_t size = file.size;
  HeldFile held;
  held.seen_ = file.seen;

  // One byte beyond the reported size lets the read see the end of the file
  // without growing the buffer; a file that grew meanwhile is read on up to
  // max + 1 bytes, which is enough to know it is too large.
  const std::uint64_t cap = max == UINT64_MAX ? max : max + 1;
  cord::Bytes& out = held.bytes_;
  out.reserve(static_cast<std::size_t>(size + 1));
  cord::advise_huge_pages(out.data(), out.capacity());
  out.resize(static_cast<std::size_t>(size + 1));
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (used > max) break;
      out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(cap, used + std::max(used, kReadGrowth))));
    }
    const ssize_t n =
        retry_interrupted([&] { return ::read(fd.get(), out.data() + used, std::min(out.size() - used, kMaxIoChunk)); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > max) {
    return std::unexpected(
        IoError::invalid_data("file exceeds the supported maximum of " + std::to_string(max) + " bytes"));
  }
  out.resize(used);
  held.settled_ = used == size;
  held.fd_ = fd.release();
  return held;
}

IoResult<cord::Bytes> read_file_bounded(const Path& path, std::uint64_t max) {
  VX_TRY_ASSIGN(HeldFile held, read_file_held(path, max));
  return held.take_bytes();
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      seen_(other.seen_),
      settled_(std::exchange(other.settled_, false)),
      bytes_(std::move(other.bytes_)) {}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    seen_ = other.seen_;
    settled_ = std::exchange(other.settled_, false);
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

HeldFile::~HeldFile() { release(); }

void HeldFile::release() {
  // As UniqueFd: the result of close says nothing about data only read.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  settled_ = false;
}

bool HeldFile::still_at(const Path& path) const {
  if (fd_ < 0 || !settled_) return false;
  struct stat now {};
  if (retry_interrupted([&] { return ::lstat(path.c_str(), &now); }) != 0) return false;
  return S_ISREG(now.st_mode) && now.st_dev == seen_.st_dev && now.st_ino == seen_.st_ino &&
         now.st_size == seen_.st_size && detail::same_time(detail::modified_at(now), detail::modified_at(seen_)) &&
         detail::same_time(detail::changed_at(now), detail::changed_at(seen_));
}

namespace {

// Whether the rest of an opened file is exactly `parts`, one after the
// other; one byte beyond them is asked for to see the end, so a file that
// grew since fstat shows as different.
IoResult<bool> holds_parts(const BoundedFile& file, ByteParts parts) {
  std::uint64_t total = 0;
  for (const cord::ByteView part : parts) total += part.size();
  if (file.size != total) return false;
  cord::Bytes piece(static_cast<std::size_t>(std::min<std::uint64_t>(total + 1, kCompareChunk)));
  std::size_t part = 0;
  std::size_t offset = 0;  // within parts[part]
  const auto skip_finished = [&] {
    while (part < parts.size() && offset == parts[part].size()) {
      ++part;
      offset = 0;
    }
  };
  skip_finished();
  for (;;) {
    const ssize_t n = retry_interrupted([&] { return ::read(file.fd.get(), piece.data(), piece.size()); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return part == parts.size();
    cord::ByteView got(piece.data(), static_cast<std::size_t>(n));
    while (!got.empty()) {
      if (part == parts.size()) return false;
      const std::size_t take = std::min(got.size(), parts[part].size() - offset);
      if (!std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(take),
                      parts[part].begin() + static_cast<std::ptrdiff_t>(offset))) {
        return false;
      }
      offset += take;
      got = got.subspan(take);
      skip_finished();
    }
  }
}

}  // namespace

IoResult<bool> file_holds(const Path& path, cord::ByteView bytes, std::uint64_t max, HeldFile* held) {
  return file_holds_parts(path, ByteParts(&bytes, 1), max, held);
}

IoResult<bool> file_holds_parts(const Path& path, ByteParts parts, std::uint64_t max, HeldFile* held) {
  VX_TRY_ASSIGN(BoundedFile file, open_bounded(path, max));
  VX_TRY_ASSIGN(const bool same, holds_parts(file, parts));
  if (same && held != nullptr) {
    HeldFile found;
    found.seen_ = file.seen;
    found.settled_ = true;  // exactly the size fstat gave was read
    found.fd_ = file.fd.release();
    *held = std::move(found);
  }
  return same;
}

StoreStatus create_dir_all(const Path& dir) { return create_dir_all(dir, ProcessFacts::read()); }

StoreStatus create_private_dir_all(const Path& dir) { return create_private_dir_all(dir, ProcessFacts::read()); }

StoreStatus create_dir_all(const Path& dir, const ProcessFacts& facts) {
  for (const Path& fallback : fallback_state_dirs(facts)) {
    if (!lies_within(dir, fallback)) continue;
    if (auto secured = secure_fallback_dir(fallback, facts.euid); !secured) return io_at(fallback, secured.error());
  }
  if (auto made = make_dir_all(dir, kSharedDirMode); !made) return io_at(dir, made.error());
  return {};
}

StoreStatus create_private_dir_all(const Path& dir, const ProcessFacts& facts) {
  VX_TRY(create_dir_all(dir, facts));
  // The current directory is not ours to restrict.
  if (dir.empty()) return {};
  // Set after creation: the directory may have existed wider, and the
  // umask may have taken bits the owner needs.
  if (retry_interrupted([&] { return ::chmod(dir.c_str(), kPrivateDirMode); }) != 0) return io_at(dir, last_error());
  return {};
}

Path temporary_path_for(const Path& target) {
  std::array<std::uint8_t, kTemporaryRandomBytes> random{};
  crypto::fill_random(random);
  const std::string digits = hex_hash(core::HashValue(cord::Bytes(random.begin(), random.end())));
  return directory_of(target) / (temporary_prefix(target) + digits);
}

StoreStatus replace_file(const Path& tmp, const Path& target) {
  if (retry_interrupted([&] { return ::rename(tmp.c_str(), target.c_str()); }) == 0) return {};
  const IoError error = last_error();
  const auto discard = [&](IoError reported) {
    discard_temporary(tmp);
    return io_at(target, std::move(reported));
  };
  // POSIX rename replaces; AlreadyExists comes only from platforms whose
  // rename does not, where the target has to go first.
  if (error.kind() != IoKind::AlreadyExists) return discard(error);
  if (retry_interrupted([&] { return ::unlink(target.c_str()); }) != 0) return discard(last_error());
  if (retry_interrupted([&] { return ::rename(tmp.c_str(), target.c_str()); }) != 0) return discard(last_error());
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

PreparedFile::PreparedFile(PreparedFile&& other) noexcept
    : temporary_(std::move(other.temporary_)),
      target_(std::move(other.target_)),
      owned_(std::exchange(other.owned_, false)),
      placed_(other.placed_) {}

PreparedFile& PreparedFile::operator=(PreparedFile&& other) noexcept {
  if (this != &other) {
    discard();
    temporary_ = std::move(other.temporary_);
    target_ = std::move(other.target_);
    owned_ = std::exchange(other.owned_, false);
    placed_ = other.placed_;
  }
  return *this;
}

PreparedFile::~PreparedFile() { discard(); }

void PreparedFile::discard() {
  if (owned_) discard_temporary(temporary_);
  owned_ = false;
}

StoreStatus PreparedFile::place() {
  // replace_file removes the temporary itself when the rename fails.
  owned_ = false;
  VX_TRY(replace_file(temporary_, target_));
  placed_ = true;
  return sync_parent_directory(target_);
}

StoreResult<PreparedFile> prepare_private_file(const Path& target, cord::ByteView bytes, bool private_mode,
                                               const ProcessFacts& facts) {
  return prepare_private_file(target, ByteParts(&bytes, 1), private_mode, facts);
}

StoreResult<PreparedFile> prepare_private_file(const Path& target, ByteParts parts, bool private_mode,
                                               const ProcessFacts& facts) {
  const Path dir = directory_of(target);
  VX_TRY(private_mode ? create_private_dir_all(dir, facts) : create_dir_all(dir, facts));
  // Exactly 0600 whatever the umask took from the temporary's mode.
  return write_temporary(target, parts, kPrivateFileMode, kPrivateFileMode);
}

StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode) {
  return write_private_atomic_inner(target, bytes, private_mode, ProcessFacts::read());
}

StoreStatus write_private_atomic_inner(const Path& target, cord::ByteView bytes, bool private_mode,
                                       const ProcessFacts& facts) {
  VX_TRY_ASSIGN(PreparedFile prepared, prepare_private_file(target, bytes, private_mode, facts));
  return prepared.place();
}

StoreResult<PreparedFile> prepare_vault_bytes(const WorkspacePaths& paths, cord::ByteView bytes) {
  const Path& vault = paths.vault_path();
  if (bytes.size() > kVaultFileLimit) {
    return std::unexpected(StoreError::vault_invalid(
        vault, core::CoreError::validation("vault is " + std::to_string(bytes.size()) +
                                           " bytes, above the supported maximum of " +
                                           std::to_string(kVaultFileLimit))));
  }
  VX_TRY(create_dir_all(paths.vornex_dir(), paths.facts()));
  VX_TRY(create_dir_all(directory_of(vault), paths.facts()));
  return write_temporary(vault, ByteParts(&bytes, 1), kSharedFileMode, std::nullopt);
}

StoreStatus verify_vault_bytes(const WorkspacePaths& paths, cord::ByteView bytes) {
  const Path& vault = paths.vault_path();
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

StoreStatus verify_vault_bytes_equal(const WorkspacePaths& paths, cord::ByteView bytes, HeldFile* held) {
  const Path& vault = paths.vault_path();
  auto same = file_holds(vault, bytes, kVaultFileLimit, held);
  if (!same) return vault_read_error(vault, std::move(same).error());
  if (!*same) {
    return std::unexpected(StoreError::vault_invalid(
        vault, core::CoreError::validation("vault bytes differed immediately after atomic write")));
  }
  return {};
}

StoreStatus write_vault_bytes_atomic(const WorkspacePaths& paths, cord::ByteView bytes) {
  VX_TRY_ASSIGN(PreparedFile prepared, prepare_vault_bytes(paths, bytes));
  VX_TRY(prepared.place());
  return verify_vault_bytes(paths, bytes);
}

StoreResult<cord::Bytes> read_vault_bytes(const WorkspacePaths& paths) {
  VX_TRY_ASSIGN(HeldFile held, read_vault_held(paths));
  return held.take_bytes();
}

StoreResult<HeldFile> read_vault_held(const WorkspacePaths& paths) {
  const Path& vault = paths.vault_path();
  auto held = read_file_held(vault, kVaultFileLimit);
  if (held) return std::move(*held);
  return vault_read_error(vault, std::move(held).error());
}

StoreResult<cord::Set<core::VaultRecordV1>> read_vault(const WorkspacePaths& paths) {
  VX_TRY_ASSIGN(const cord::Bytes bytes, read_vault_bytes(paths));
  auto records = core::validate::decode_vault(bytes);
  if (!records) return std::unexpected(StoreError::vault_invalid(paths.vault_path(), std::move(records).error()));
  return std::move(*records);
}

IoResult<bool> entry_present(const Path& path) {
  struct stat st {};
  if (retry_interrupted([&] { return ::lstat(path.c_str(), &st); }) == 0) return true;
  IoError error = last_error();
  if (error.kind() == IoKind::NotFound) return false;
  return std::unexpected(std::move(error));
}

StoreStatus remove_file(const Path& path) {
  if (retry_interrupted([&] { return ::unlink(path.c_str()); }) == 0) return {};
  const IoError error = last_error();
  if (error.kind() == IoKind::NotFound) return {};
  return io_at(path, error);
}

StoreStatus remove_file_durable(const Path& path) {
  if (retry_interrupted([&] { return ::unlink(path.c_str()); }) != 0) {
    const IoError error = last_error();
    if (error.kind() == IoKind::NotFound) return {};
    return io_at(path, error);
  }
  return sync_parent_directory(path);
}

void remove_stale_temporaries(const Path& dir, std::initializer_list<Path> targets) {
  std::vector<std::string> prefixes;
  for (const Path& target : targets) prefixes.push_back(temporary_prefix(target));
  DIR* listing = nullptr;
  do {
    listing = ::opendir(dir.c_str());
  } while (listing == nullptr && errno == EINTR);
  if (listing == nullptr) return;  // nothing listed, nothing removed
  // Entries are removed as they are met, so that memory stays bounded
  // however many a hostile directory holds.
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name(entry->d_name);
    for (const std::string& prefix : prefixes) {
      if (name.size() != prefix.size() + kTemporaryDigits || !name.starts_with(prefix) ||
          !is_lower_hex(name.substr(prefix.size()))) {
        continue;
      }
      discard_temporary(dir / std::string(name));
      break;
    }
  }
  (void)::closedir(listing);  // read-only: nothing can be lost at close
}

}  // namespace vornex::store
