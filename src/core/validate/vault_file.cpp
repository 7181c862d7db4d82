#include "vornex/core/validate/vault_file.hpp"

#include <algorithm>
#include <string>

#include "cord/try.hpp"

namespace vornex::core::validate {

namespace {

constexpr std::size_t kHeaderBytes = kVaultMagic.size() + 8;  // magic, variant index, count

CoreError too_large(std::size_t bytes, std::size_t max) {
  return CoreError::validation("vault is " + std::to_string(bytes) + " bytes, above the supported maximum of " +
                               std::to_string(max));
}

CoreError too_many(std::uint64_t count, std::size_t max) {
  return CoreError::validation("vault carries " + std::to_string(count) +
                               " records, above the supported maximum of " + std::to_string(max));
}

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Magic, size and the declared record count, all before any record is
// decoded: a hostile count must not make the decoder allocate for it. The
// count is only read when the variant index is 0; otherwise the decoder
// reports the unknown variant.
CoreResult<cord::ByteView> check_frame(cord::ByteView file, const detail::VaultLimits& limits) {
  if (file.size() < kVaultMagic.size() || !std::equal(kVaultMagic.begin(), kVaultMagic.end(), file.begin())) {
    return std::unexpected(CoreError::validation("not a vornex vault file (missing magic prefix)"));
  }
  if (file.size() > limits.max_bytes) return std::unexpected(too_large(file.size(), limits.max_bytes));
  if (file.size() >= kHeaderBytes && read_be32(file.data() + kVaultMagic.size()) == 0) {
    const std::uint32_t count = read_be32(file.data() + kVaultMagic.size() + 4);
    if (count > limits.max_records) return std::unexpected(too_many(count, limits.max_records));
  }
  return file.subspan(kVaultMagic.size());
}

}  // namespace

namespace detail {

CoreResult<cord::Set<VaultRecordV1>> decode_vault(cord::ByteView file, const VaultLimits& limits) {
  VX_TRY_ASSIGN(const cord::ByteView body, check_frame(file, limits));
  VX_TRY_ASSIGN(VaultStore store, cord::deserialize<VaultStore>(body));
  return std::move(std::get<vault_store::V1>(store).records);
}

CoreResult<cord::Bytes> encode_vault(const cord::Set<VaultRecordV1>& records, const VaultLimits& limits) {
  if (records.size() > limits.max_records) return std::unexpected(too_many(records.size(), limits.max_records));
  // The store's encoding is appended behind the magic, so the result is
  // built in place rather than copied.
  cord::Bytes out(kVaultMagic.begin(), kVaultMagic.end());
  VX_TRY(cord::serialize_into(out, VaultStore{vault_store::V1{records}}));
  if (out.size() > limits.max_bytes) return std::unexpected(too_large(out.size(), limits.max_bytes));
  return out;
}

CoreResult<std::vector<HashedRecord>> decode_vault_hashed(cord::ByteView file, const CryptoProvider& crypto,
                                                          const VaultLimits& limits) {
  VX_TRY_ASSIGN(const cord::ByteView body, check_frame(file, limits));
  // The same steps as decoding a VaultStore, keeping each record's bytes.
  cord::Deserializer d(body);
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint32_t index, d.parse_variant_index(cord::Hint::None));
  if (index != 0) return std::unexpected(CoreError(cord::CordError::unknown_variant(index)));
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(cord::Hint::None));
  std::vector<HashedRecord> out;
  out.reserve(cord::reserve_for<HashedRecord>(count));
  cord::ByteView previous;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* start = d.data();
    HashedRecord& entry = out.emplace_back();
    VX_TRY(cord::decode(d, entry.record));
    const cord::ByteView current(start, static_cast<std::size_t>(d.data() - start));
    if (i > 0 && cord::compare_bytes(previous, current) >= 0) {
      return std::unexpected(CoreError(cord::CordError::deserialization(std::string(cord::kDuplicateElement))));
    }
    previous = current;
    entry.hash = crypto.hash(domains::kRecordHash, current);
  }
  d.leave();
  d.leave();
  if (d.remaining() != 0) return std::unexpected(CoreError(cord::CordError(cord::ErrorKind::TrailingBytes)));
  return out;
}

}  // namespace detail

CoreResult<cord::Set<VaultRecordV1>> decode_vault(cord::ByteView file) { return detail::decode_vault(file, {}); }

CoreResult<cord::Bytes> encode_vault(const cord::Set<VaultRecordV1>& records) {
  return detail::encode_vault(records, {});
}

CoreResult<std::vector<HashedRecord>> decode_vault_hashed(cord::ByteView file, const CryptoProvider& crypto) {
  return detail::decode_vault_hashed(file, crypto, {});
}

}  // namespace vornex::core::validate
