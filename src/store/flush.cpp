#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "posix.hpp"

namespace vornex::store::detail {

std::expected<void, IoError> full_flush(int fd) {
#ifdef F_FULLFSYNC
  // fsync on macOS leaves the data in the drive's cache; F_FULLFSYNC asks
  // the drive to write it out. File systems that do not support it say so,
  // and only then does plain fsync stand in.
  for (;;) {
    if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
    if (errno == EINTR) continue;
    if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY) return std::unexpected(IoError::from_errno(errno));
    break;
  }
#endif
  for (;;) {
    if (::fsync(fd) == 0) return {};
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
}

}  // namespace vornex::store::detail
