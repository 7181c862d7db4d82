// The verification cache "cache.cord": the record hashes whose signatures a
// session has verified, signed by the user, under
// state_dir/hex(root)/hex(owner). Signing and checking happen above; here
// are the bytes, the signed message, a reader for which every failure is a
// plain miss, and the writer with its read-back.
//
// Layout: "vornex-cache" 00, then the Cord encoding of
// VerificationCacheStore (a u32 variant index, always 0, then the cache).
// Nothing may follow.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "cord/codec.hpp"
#include "cord/set.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

inline constexpr std::array<std::uint8_t, 13> kCacheMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-',
                                                             'c', 'a', 'c', 'h', 'e', 0};
// The only version written; readers above judge the value.
inline constexpr std::uint64_t kVerificationCacheVersion = 1;

struct VerificationCacheV1 {
  core::HashValue trusted_root;  // the writer places the file under this root
  std::uint64_t version = kVerificationCacheVersion;
  cord::Set<core::HashValue> record_hashes;
  cord::Bytes signing_key;
  cord::Bytes signature;  // over verification_cache_message of the first three fields
  CORD_FIELDS(trusted_root, version, record_hashes, signing_key, signature)
  bool operator==(const VerificationCacheV1&) const = default;
};

namespace verification_cache_store {
struct V1 {
  VerificationCacheV1 cache;
  CORD_TRANSPARENT(cache)
  bool operator==(const V1&) const = default;
};
}  // namespace verification_cache_store

using VerificationCacheStore = std::variant<verification_cache_store::V1>;

// What the signature covers: the cache's first three fields, encoded alone
// (no magic, no variant index).
struct VerificationCacheMessageV1 {
  core::HashValue trusted_root;
  std::uint64_t version = 0;
  cord::Set<core::HashValue> record_hashes;
  CORD_FIELDS(trusted_root, version, record_hashes)
  bool operator==(const VerificationCacheMessageV1&) const = default;
};

StoreResult<cord::Bytes> verification_cache_message(const core::HashValue& root, std::uint64_t version,
                                                    const cord::Set<core::HashValue>& record_hashes);
// The same message for hashes given in the set's order, distinct, by
// pointer: the bytes of the message of the set they make, without the set.
StoreResult<cord::Bytes> verification_cache_message(const core::HashValue& root, std::uint64_t version,
                                                    std::span<const core::HashValue* const> record_hashes);

// Never fails: a missing, unreadable, oversized, mislabelled or undecodable
// file is a miss, and the session verifies every signature again.
std::optional<VerificationCacheV1> read_verification_cache(const WorkspacePaths& paths, const core::HashValue& root,
                                                           const core::HashValue& owner);

// Writes under the cache's own trusted root, owner-only.
StoreStatus write_verification_cache_atomic(const WorkspacePaths& paths, const core::HashValue& owner,
                                            const VerificationCacheV1& cache);

}  // namespace vornex::store
