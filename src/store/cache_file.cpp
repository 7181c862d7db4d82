#include "vornex/store/cache_file.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "cord/try.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::store {

namespace {

bool has_magic(cord::ByteView bytes) {
  return bytes.size() >= kCacheMagic.size() && std::equal(kCacheMagic.begin(), kCacheMagic.end(), bytes.begin());
}

cord::Result<VerificationCacheV1> decode_body(cord::ByteView bytes) {
  VX_TRY_ASSIGN(VerificationCacheStore store, cord::deserialize<VerificationCacheStore>(bytes));
  return std::move(std::get<verification_cache_store::V1>(store).cache);
}

}  // namespace

StoreResult<cord::Bytes> verification_cache_message(const core::HashValue& root, std::uint64_t version,
                                                    const cord::Set<core::HashValue>& record_hashes) {
  auto message = cord::serialize(VerificationCacheMessageV1{root, version, record_hashes});
  if (!message) return std::unexpected(StoreError::cord(std::move(message).error()));
  return std::move(*message);
}

namespace {

// Encodes as a cord::Set of the hashes pointed at, in the order given.
struct HashRefs {
  std::span<const core::HashValue* const> hashes;
  cord::Status cord_encode(cord::Serializer& s, cord::Hint hint) const {
    VX_TRY(s.write_length(hashes.size(), hint));
    for (const core::HashValue* hash : hashes) VX_TRY(cord::encode(s, *hash));
    return {};
  }
  cord::Status cord_decode(cord::Deserializer& /*d*/, cord::Hint /*hint*/) {
    return cord::fail(cord::CordError::unsupported("hash references are only written"));
  }
};

// Encodes exactly as VerificationCacheMessageV1.
struct MessageRef {
  const core::HashValue& trusted_root;
  std::uint64_t version;
  HashRefs record_hashes;
  CORD_FIELDS(trusted_root, version, record_hashes)
};

}  // namespace

StoreResult<cord::Bytes> verification_cache_message(const core::HashValue& root, std::uint64_t version,
                                                    std::span<const core::HashValue* const> record_hashes) {
  auto message = cord::serialize(MessageRef{root, version, HashRefs{record_hashes}});
  if (!message) return std::unexpected(StoreError::cord(std::move(message).error()));
  return std::move(*message);
}

std::optional<VerificationCacheV1> read_verification_cache(const WorkspacePaths& paths, const core::HashValue& root,
                                                           const core::HashValue& owner) {
  auto bytes = read_file_bounded(verification_cache_path(paths, root, owner), kVerificationCacheLimit);
  if (!bytes || !has_magic(*bytes)) return std::nullopt;
  auto cache = decode_body(cord::ByteView(*bytes).subspan(kCacheMagic.size()));
  if (!cache) return std::nullopt;
  return std::move(*cache);
}

StoreStatus write_verification_cache_atomic(const WorkspacePaths& paths, const core::HashValue& owner,
                                            const VerificationCacheV1& cache) {
  cord::Bytes bytes(kCacheMagic.begin(), kCacheMagic.end());
  if (auto st = cord::serialize_into(bytes, VerificationCacheStore{verification_cache_store::V1{cache}}); !st) {
    return std::unexpected(StoreError::cord(std::move(st).error()));
  }
  const Path path = verification_cache_path(paths, cache.trusted_root, owner);
  if (bytes.size() > kVerificationCacheLimit) {
    return std::unexpected(StoreError::io(
        path, IoError::invalid_data("verification cache is " + std::to_string(bytes.size()) +
                                    " bytes, above the supported maximum of " +
                                    std::to_string(kVerificationCacheLimit))));
  }

  VX_TRY(write_private_atomic_inner(path, bytes, true, paths.facts()));

  auto written = read_file_bounded(path, kVerificationCacheLimit);
  if (!written) return std::unexpected(StoreError::io(path, std::move(written).error()));
  if (*written != bytes) {
    return std::unexpected(StoreError::io(
        path, IoError::invalid_data("verification cache bytes differed immediately after atomic write")));
  }
  if (auto decoded = decode_body(cord::ByteView(*written).subspan(kCacheMagic.size())); !decoded) {
    return std::unexpected(StoreError::cord(std::move(decoded).error()));
  }
  return {};
}

}  // namespace vornex::store
