#include "vornex/store/error.hpp"

#include <locale.h>
#include <string.h>

#include <array>
#include <cerrno>
#include <cstddef>

namespace vornex::store {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or of the maximal
// prefix of one that is ill-formed (at least 1), with `valid` telling which.
std::size_t utf8_unit(std::string_view s, std::size_t i, bool& valid) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = at(i);
  valid = true;
  if (b < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    valid = false;
    return 1;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size() || at(i + k) < lo || at(i + k) > hi) {
      valid = false;
      return k;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

#if defined(__GLIBC__)
// Made as the library loads, so that no fork can catch it half made.
const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
#endif

// The untranslated text of an error number. strerror would consult the
// process's current locale, which another thread may be replacing while a
// write runs without the interpreter lock: glibc is given a C locale object
// of our own, and other C libraries (macOS) do not translate these texts.
std::string os_error_text(int error_number) {
#if defined(__GLIBC__)
  if (c_locale != locale_t{}) return ::strerror_l(error_number, c_locale);
#else
  std::array<char, 256> text{};
  if (::strerror_r(error_number, text.data(), text.size()) == 0) return text.data();
#endif
  return "Unknown error " + std::to_string(error_number);
}

}  // namespace

std::string display(const Path& path) {
  const std::string& raw = path.native();
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size();) {
    bool valid = false;
    const std::size_t n = utf8_unit(raw, i, valid);
    if (valid) {
      out.append(raw, i, n);
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += n;
  }
  return out;
}

IoError IoError::from_errno(int error_number) {
  IoKind kind = IoKind::Other;
  switch (error_number) {
    case ENOENT: kind = IoKind::NotFound; break;
    case EEXIST: kind = IoKind::AlreadyExists; break;
    case EWOULDBLOCK: kind = IoKind::WouldBlock; break;
    case EINVAL: kind = IoKind::InvalidInput; break;
    default: break;
  }
  std::string text = os_error_text(error_number);
  text += " (os error " + std::to_string(error_number) + ")";
  return IoError(kind, error_number, std::move(text));
}

std::string StoreError::message() const {
  const auto p = [&](std::size_t i) { return display(paths_.at(i)); };
  switch (kind_) {
    case Kind::Io: return "I/O error at " + p(0) + ": " + io_error()->message();
    case Kind::VaultMissing: return "vault file is missing at " + p(0);
    case Kind::VaultInvalid: return "vault file " + p(0) + " is invalid: " + core_error()->message();
    case Kind::Cord: return "Cord error: " + cord_error()->message();
    case Kind::Core: return "core error: " + core_error()->message();
    case Kind::WorkspaceNotFound: return "workspace not found from " + p(0);
    case Kind::AmbiguousWorkspace:
      return "ambiguous Vornex workspace from " + p(0) + ": found nested workspace at " + p(1) +
             " and parent workspace at " + p(2) + "; pass an explicit vault path";
    case Kind::InvalidWorkspaceRoot: return "invalid workspace root " + p(0) + ": missing .vornex directory";
    case Kind::LockHeld: return "workspace lock is already held at " + p(0);
    case Kind::RatchetInvalid: return "ratchet file " + p(0) + " is invalid: " + cord_error()->message();
    case Kind::TransactionInvalid: return "transaction file " + p(0) + " is invalid: " + *reason();
    case Kind::PendingTransaction: return "a pending transaction at " + p(0) + " blocks rollback-state writes";
    case Kind::TrustRootMismatch: {
      const RootPair& roots = std::get<RootPair>(detail_);
      return "trust root mismatch: file has " + core::debug_string(roots.file) + ", requested " +
             core::debug_string(roots.requested);
    }
    case Kind::Interrupted: return "interrupted";
  }
  return "store error";
}

}  // namespace vornex::store
