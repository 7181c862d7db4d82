#include "vornex/keychain/files.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "cord/codec.hpp"
#include "vornex/core/hex.hpp"
#include "vornex/keychain/migrate.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::keychain {

namespace {

constexpr std::string_view kMissingIdentityMagic = "missing identity magic prefix";
constexpr std::string_view kMissingCurrentUserMagic = "missing current-user magic prefix";
constexpr std::string_view kIdentityPathMismatch = "identity does not match its root and user path";
constexpr std::string_view kIdentityTooLarge = "identity exceeds the supported size";
constexpr std::string_view kIdentityVerificationFailed = "identity write verification failed";
constexpr std::string_view kCurrentUserTooLarge = "current-user selector exceeds the supported size";
constexpr std::string_view kCurrentUserVerificationFailed = "current-user write verification failed";
constexpr std::string_view kMissingKeychainMagic = "not a vornex keychain file (missing magic prefix)";
constexpr std::string_view kNoBaseDir = "VORNEX_KEYCHAIN_DIR, APPDATA, XDG_DATA_HOME, and HOME are unset";

template <std::size_t N>
bool has_magic(cord::ByteView bytes, const std::array<std::uint8_t, N>& magic) {
  return bytes.size() >= N && std::equal(magic.begin(), magic.end(), bytes.begin());
}

// A missing file is none; every other failure, the cap included, is an I/O
// error naming the path.
KeychainResult<std::optional<cord::Bytes>> read_capped(const Path& path, std::uint64_t cap) {
  auto bytes = store::read_file_bounded(path, cap);
  if (bytes) return std::optional<cord::Bytes>(std::move(*bytes));
  if (bytes.error().kind() == store::IoKind::NotFound) return std::optional<cord::Bytes>();
  return std::unexpected(KeychainError::io(path, std::move(bytes).error()));
}

// The body after the magic, decoded whole.
template <class Store, std::size_t N>
KeychainResult<Store> decode_body(cord::ByteView bytes, const std::array<std::uint8_t, N>& magic) {
  auto decoded = cord::deserialize<Store>(bytes.subspan(magic.size()));
  if (!decoded) return std::unexpected(KeychainError(std::move(decoded).error()));
  return std::move(*decoded);
}

template <class Store, std::size_t N>
KeychainResult<cord::Bytes> encode_file(const Store& store, const std::array<std::uint8_t, N>& magic) {
  cord::Bytes out(magic.begin(), magic.end());
  if (auto st = cord::serialize_into(out, store); !st) return std::unexpected(KeychainError(std::move(st).error()));
  return out;
}

KeychainError from_store(store::StoreError error) { return KeychainError(std::move(error)); }

}  // namespace

KeychainResult<Path> default_base_dir(const store::ProcessFacts& facts) {
  if (facts.keychain_dir) return *facts.keychain_dir;
  return std::unexpected(KeychainError::backend_unavailable("passphrase", std::string(kNoBaseDir)));
}

KeychainResult<Path> default_base_dir() { return default_base_dir(store::ProcessFacts::read()); }

std::string hex_bytes(cord::ByteView bytes) { return core::hex_lower(bytes); }

Path identity_path(const Path& base, cord::ByteView root, cord::ByteView user) {
  return base / hex_bytes(root) / kIdentitiesDirName / (hex_bytes(user) + ".cord");
}

Path current_user_path(const Path& base, cord::ByteView root) {
  return base / hex_bytes(root) / kCurrentUserFileName;
}

Path keychain_path(const Path& base, cord::ByteView root) { return base / hex_bytes(root) / kKeychainFileName; }

Path legacy_user_keychain_path(const Path& base, cord::ByteView user) {
  return base / hex_bytes(user) / kKeychainFileName;
}

KeychainResult<KeychainLock> acquire_lock_at(const Path& path, const store::LockPolicy& policy,
                                             const store::ProcessFacts& facts) {
  // One attempt at a time through the store's lock (which creates the
  // directory 0700, refuses a link at the lock path and unlocks before it
  // closes); the waiting is the keychain's own: every wait is the whole
  // interval, and running out is a timeout of the keychain lock.
  constexpr store::LockPolicy kOneAttempt{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (;;) {
    auto lock = store::acquire_advisory_lock(path, true, true, facts, kOneAttempt);
    if (lock) return KeychainLock{path, std::move(*lock)};
    const store::StoreError& error = lock.error();
    if (error.kind() != store::StoreError::Kind::LockHeld) {
      const store::IoError* io = error.io_error();
      if (io != nullptr && error.path() != nullptr) return std::unexpected(KeychainError::io(*error.path(), *io));
      return std::unexpected(from_store(std::move(lock).error()));
    }
    if (Clock::now() - start >= policy.timeout) return std::unexpected(KeychainError::lock_timeout(path));
    std::this_thread::sleep_for(policy.retry_interval);
  }
}

KeychainResult<KeychainLock> acquire_keychain_lock(const Path& base, cord::ByteView root,
                                                   const store::LockPolicy& policy,
                                                   const store::ProcessFacts& facts) {
  return acquire_lock_at(base / hex_bytes(root) / kKeychainLockFileName, policy, facts);
}

KeychainResult<bool> path_present_no_follow(const Path& path) {
  auto present = store::entry_present(path);
  if (!present) return std::unexpected(KeychainError::io(path, std::move(present).error()));
  return *present;
}

KeychainResult<std::optional<SealedIdentityV1>> read_identity_at(const Path& path, cord::ByteView root,
                                                                 cord::ByteView user) {
  using Out = std::optional<SealedIdentityV1>;
  auto bytes = read_capped(path, kIdentityFileLimit);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (!*bytes) return Out();
  if (!has_magic(**bytes, kIdentityMagic)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kMissingIdentityMagic)));
  }
  auto store = decode_body<IdentityStore>(**bytes, kIdentityMagic);
  if (!store) return std::unexpected(std::move(store).error());
  SealedIdentityV1 sealed = std::get<SealedIdentityV1>(std::move(*store));
  if (!std::ranges::equal(sealed.root, root) || !std::ranges::equal(sealed.user, user)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kIdentityPathMismatch)));
  }
  return Out(std::move(sealed));
}

KeychainStatus write_identity_exact(const Path& path, cord::ByteView root, cord::ByteView user,
                                    const SealedIdentityV1& sealed, const store::ProcessFacts& facts) {
  if (!std::ranges::equal(sealed.root, root) || !std::ranges::equal(sealed.user, user)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kIdentityPathMismatch)));
  }
  auto bytes = encode_file(IdentityStore{sealed}, kIdentityMagic);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (bytes->size() > kIdentityFileLimit) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kIdentityTooLarge)));
  }
  if (auto written = store::write_private_atomic_inner(path, *bytes, true, facts); !written) {
    return std::unexpected(from_store(std::move(written).error()));
  }
  auto back = read_identity_at(path, root, user);
  if (!back) return std::unexpected(std::move(back).error());
  if (!*back || !(**back == sealed)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kIdentityVerificationFailed)));
  }
  return {};
}

KeychainResult<std::optional<CurrentUserV1>> read_current_user_at(const Path& path) {
  using Out = std::optional<CurrentUserV1>;
  auto bytes = read_capped(path, kCurrentUserFileLimit);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (!*bytes) return Out();
  if (!has_magic(**bytes, kCurrentUserMagic)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kMissingCurrentUserMagic)));
  }
  auto store = decode_body<CurrentUserStore>(**bytes, kCurrentUserMagic);
  if (!store) return std::unexpected(std::move(store).error());
  return Out(std::get<CurrentUserV1>(std::move(*store)));
}

KeychainStatus write_current_user_exact(const Path& path, const CurrentUserV1& current,
                                        const store::ProcessFacts& facts) {
  auto bytes = encode_file(CurrentUserStore{current}, kCurrentUserMagic);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (bytes->size() > kCurrentUserFileLimit) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kCurrentUserTooLarge)));
  }
  if (auto written = store::write_private_atomic_inner(path, *bytes, true, facts); !written) {
    return std::unexpected(from_store(std::move(written).error()));
  }
  auto back = read_current_user_at(path);
  if (!back) return std::unexpected(std::move(back).error());
  if (!*back || !(**back == current)) {
    return std::unexpected(KeychainError::file_invalid(path, std::string(kCurrentUserVerificationFailed)));
  }
  return {};
}

KeychainResult<std::optional<CurrentUserV1>> read_current_user(const Path& base, cord::ByteView root,
                                                               const store::LockPolicy& policy,
                                                               const store::ProcessFacts& facts) {
  auto lock = acquire_keychain_lock(base, root, policy, facts);
  if (!lock) return std::unexpected(std::move(lock).error());
  if (auto migrated = migrate_root_combined_locked(base, root, facts); !migrated) {
    return std::unexpected(std::move(migrated).error());
  }
  return read_current_user_at(current_user_path(base, root));
}

KeychainResult<KeychainRecords> read_keychain_records_at(const Path& path) {
  auto bytes = read_capped(path, kKeychainFileLimit);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (!*bytes) return KeychainRecords();
  if (!has_magic(**bytes, kKeychainMagic)) {
    return std::unexpected(KeychainError(cord::CordError::validation(std::string(kMissingKeychainMagic))));
  }
  auto store = decode_body<KeychainStore>(**bytes, kKeychainMagic);
  if (!store) return std::unexpected(std::move(store).error());
  return std::move(std::get<keychain_store::V1>(*store).records);
}

KeychainResult<cord::Bytes> encode_keychain_records(const KeychainRecords& records) {
  return encode_file(KeychainStore{keychain_store::V1{records}}, kKeychainMagic);
}

}  // namespace vornex::keychain
