// POSIX pieces the store's file code shares: an owned descriptor and the
// full flush. Not part of the component's interface.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <utility>

#include "vornex/store/error.hpp"

namespace vornex::store::detail {

// Closes its descriptor on every path out of a scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // The result of close is not reported: by then the data has been flushed,
  // and a retry after EINTR could close a descriptor reused by another thread.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Repeats a call that reports failure as -1 while it fails with EINTR: a
// signal that arrives during a call (frequent on network and FUSE file
// systems) must not fail a write. Not for close, whose descriptor is gone
// even when it reports EINTR.
template <class Call>
auto retry_interrupted(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// A file's modification and status-change times to the nanosecond: the
// POSIX fields, which macOS names differently.
#if defined(__APPLE__)
inline const timespec& modified_at(const struct stat& st) { return st.st_mtimespec; }
inline const timespec& changed_at(const struct stat& st) { return st.st_ctimespec; }
#else
inline const timespec& modified_at(const struct stat& st) { return st.st_mtim; }
inline const timespec& changed_at(const struct stat& st) { return st.st_ctim; }
#endif
inline bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The platform's strongest flush of a file or directory to stable storage,
// repeated while it is interrupted.
std::expected<void, IoError> full_flush(int fd);

}  // namespace vornex::store::detail
