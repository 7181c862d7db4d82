// Where the keychain lives and how its files are read and written. One
// directory per trusted root (named by the root's fingerprint in hex) holds
// an identity file per user, the current user and the lock that serialises
// every access to them. Every file is its magic, then the Cord encoding of
// a one-variant store enum, and nothing after.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "cord/wire.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/keychain/records.hpp"
#include "vornex/store/lock.hpp"

namespace vornex::keychain {

inline constexpr std::array<std::uint8_t, 16> kIdentityMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-', 'i',
                                                                'd', 'e', 'n', 't', 'i', 't', 'y', 0};
inline constexpr std::array<std::uint8_t, 20> kCurrentUserMagic = {
    'v', 'o', 'r', 'n', 'e', 'x', '-', 'c', 'u', 'r', 'r', 'e', 'n', 't', '-', 'u', 's', 'e', 'r', 0};
inline constexpr std::array<std::uint8_t, 16> kKeychainMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-', 'k',
                                                                'e', 'y', 'c', 'h', 'a', 'i', 'n', 0};

inline constexpr std::uint64_t kIdentityFileLimit = 1'048'576;
inline constexpr std::uint64_t kCurrentUserFileLimit = 65'536;
inline constexpr std::uint64_t kKeychainFileLimit = 67'108'864;

inline constexpr const char* kIdentitiesDirName = "identities";
inline constexpr const char* kCurrentUserFileName = "current-user.cord";
inline constexpr const char* kKeychainFileName = "keychain.cord";
inline constexpr const char* kKeychainLockFileName = "keychain.lock";

// VORNEX_KEYCHAIN_DIR, else XDG_DATA_HOME/vornex, else
// HOME/.local/share/vornex, as `facts` read them (store::ProcessFacts). A
// variable set to the empty string is used as it stands.
KeychainResult<Path> default_base_dir(const store::ProcessFacts& facts);
// The same, read from the environment now.
KeychainResult<Path> default_base_dir();

// Lower-case, two digits per byte, every byte.
std::string hex_bytes(cord::ByteView bytes);

Path identity_path(const Path& base, cord::ByteView root, cord::ByteView user);
Path current_user_path(const Path& base, cord::ByteView root);
Path keychain_path(const Path& base, cord::ByteView root);
// The oldest layout: one keychain per user, for any number of roots.
Path legacy_user_keychain_path(const Path& base, cord::ByteView user);

// An exclusive advisory lock on a keychain lock file, held while the value
// lives; dropping it unlocks, then closes. The file is never removed.
struct KeychainLock {
  Path path;
  store::AdvisoryLock lock;
};

// Creates the directory (0700), then tries the lock every retry interval
// until the timeout has passed; each wait is the whole interval.
// `facts` as the opening read them (the directory checks ask for the
// effective user); by default, as the process says now.
KeychainResult<KeychainLock> acquire_lock_at(const Path& path, const store::LockPolicy& policy = {},
                                             const store::ProcessFacts& facts = store::ProcessFacts::read());
KeychainResult<KeychainLock> acquire_keychain_lock(const Path& base, cord::ByteView root,
                                                   const store::LockPolicy& policy = {},
                                                   const store::ProcessFacts& facts = store::ProcessFacts::read());

// Whether anything is at the path, a link included (not followed).
KeychainResult<bool> path_present_no_follow(const Path& path);

KeychainResult<std::optional<SealedIdentityV1>> read_identity_at(const Path& path, cord::ByteView root,
                                                                 cord::ByteView user);
KeychainStatus write_identity_exact(const Path& path, cord::ByteView root, cord::ByteView user,
                                    const SealedIdentityV1& sealed,
                                    const store::ProcessFacts& facts = store::ProcessFacts::read());
KeychainResult<std::optional<CurrentUserV1>> read_current_user_at(const Path& path);
KeychainStatus write_current_user_exact(const Path& path, const CurrentUserV1& current,
                                        const store::ProcessFacts& facts = store::ProcessFacts::read());

// The current user of a root, under its keychain lock, after splitting an
// older combined keychain.
KeychainResult<std::optional<CurrentUserV1>> read_current_user(
    const Path& base, cord::ByteView root, const store::LockPolicy& policy = {},
    const store::ProcessFacts& facts = store::ProcessFacts::read());

// The older combined and per-user keychains: an absent file is empty.
KeychainResult<KeychainRecords> read_keychain_records_at(const Path& path);
KeychainResult<cord::Bytes> encode_keychain_records(const KeychainRecords& records);

}  // namespace vornex::keychain
