#include "vornex/core/validate/vault_file.hpp"

#include <algorithm>
#include <string>

#include "cord/pages.hpp"
#include "cord/try.hpp"
#include "vornex/core/stop.hpp"

namespace vornex::core::validate {

namespace {

constexpr std::size_t kCountOffset = kVaultMagic.size() + 4;  // behind the magic and the variant index
constexpr std::size_t kHeaderBytes = kCountOffset + 4;          // magic, variant index, count
// No record encodes in fewer bytes: the body's length prefix and at least
// its variant index, then the two length prefixes of key and signature.
constexpr std::size_t kMinRecordBytes = 4 + 4 + 4 + 4;

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

void write_be32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

CoreError index_mismatch() { return CoreError::validation("vault index does not match the vault file"); }

// The index is the caller's word about the file; what splicing relies on
// is checked, so a stale index is refused rather than followed: a known
// store variant whose count is the index's size, and records that start
// behind the header, ascend and each hold at least one byte.
CoreResult<void> check_index(cord::ByteView file, const VaultIndex& index, const detail::VaultLimits& limits) {
  VX_TRY(check_frame(file, limits));
  const std::vector<std::size_t>& starts = index.starts;
  bool matches = file.size() >= kHeaderBytes && read_be32(file.data() + kVaultMagic.size()) == 0 &&
                 read_be32(file.data() + kCountOffset) == starts.size() &&
                 (starts.empty() ? file.size() == kHeaderBytes
                                 : starts.front() == kHeaderBytes && starts.back() < file.size());
  for (std::size_t i = 1; matches && i < starts.size(); ++i) matches = starts[i - 1] < starts[i];
  if (!matches) return std::unexpected(index_mismatch());
  return {};
}

// Exactly one record's canonical encoding, read at the depth a record has
// in the file, so that the spliced file decodes.
CoreResult<void> check_record(cord::ByteView record) {
  cord::Deserializer d(record);
  VX_TRY(d.enter());  // the store's variant
  VX_TRY(d.enter());  // the record set
  VaultRecordV1 decoded;
  VX_TRY(cord::decode(d, decoded));
  if (d.remaining() != 0) return std::unexpected(CoreError(cord::CordError(cord::ErrorKind::TrailingBytes)));
  return {};
}

cord::ByteView record_at(cord::ByteView file, const VaultIndex& index, std::size_t i) {
  const std::size_t end = i + 1 < index.starts.size() ? index.starts[i + 1] : file.size();
  return file.subspan(index.starts[i], end - index.starts[i]);
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
                                                          const VaultLimits& limits, VaultIndex* index,
                                                          const std::shared_ptr<const cord::Bytes>* lender) {
  VX_TRY_ASSIGN(const cord::ByteView body, check_frame(file, limits));
  // The same steps as decoding a VaultStore, keeping each record's bytes.
  cord::Deserializer d(body);
  d.set_lender(lender);
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint32_t variant, d.parse_variant_index(cord::Hint::None));
  if (variant != 0) return std::unexpected(CoreError(cord::CordError::unknown_variant(variant)));
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(cord::Hint::None));
  // Room for every record at once, as many as the count says and the bytes
  // can hold: a vault's worth of records is never moved to grow the list,
  // and a count the bytes cannot back reserves nothing beyond them.
  const std::uint64_t room = std::min<std::uint64_t>(count, d.remaining() / kMinRecordBytes);
  std::vector<HashedRecord> out;
  // The records validation admits stay in this list and become the
  // session's: with room for the writes it files afterwards, so that its
  // first ones do not move every record to grow the list.
  out.reserve(static_cast<std::size_t>(room + room / 64 + 16));
  cord::advise_huge_pages(out.data(), out.capacity() * sizeof(HashedRecord));
  VaultIndex found;
  if (index != nullptr) found.starts.reserve(static_cast<std::size_t>(room));
  cord::ByteView previous;
  StopPoll stop;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (stop.stop()) return std::unexpected(CoreError::interrupted());
    const std::uint8_t* start = d.data();
    if (index != nullptr) found.starts.push_back(static_cast<std::size_t>(start - file.data()));
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
  if (index != nullptr) *index = std::move(found);
  return out;
}

CoreResult<SplicedVault> splice_record(cord::ByteView file, const VaultIndex& index, cord::ByteView record,
                                       const VaultLimits& limits) {
  VX_TRY(check_index(file, index, limits));
  VX_TRY(check_record(record));
  // The set's order is that of the encodings, which the index points at.
  std::size_t lo = 0;
  std::size_t hi = index.starts.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int c = cord::compare_bytes(record_at(file, index, mid), record);
    // Equal encodings are equal records: the decoder accepts only one
    // encoding of each.
    if (c == 0) return SplicedVault{cord::Bytes(file.begin(), file.end()), index, false};
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const std::size_t count = index.starts.size() + 1;
  if (count > limits.max_records) return std::unexpected(too_many(count, limits.max_records));
  const std::size_t size = file.size() + record.size();
  if (size > limits.max_bytes) return std::unexpected(too_large(size, limits.max_bytes));

  const std::size_t at = lo == index.starts.size() ? file.size() : index.starts[lo];
  SplicedVault out;
  out.inserted = true;
  out.at = at;
  out.file.reserve(size);
  out.file.insert(out.file.end(), file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
  out.file.insert(out.file.end(), record.begin(), record.end());
  out.file.insert(out.file.end(), file.begin() + static_cast<std::ptrdiff_t>(at), file.end());
  write_be32(out.file.data() + kCountOffset, static_cast<std::uint32_t>(count));
  out.index.starts.reserve(count);
  out.index.starts.insert(out.index.starts.end(), index.starts.begin(),
                          index.starts.begin() + static_cast<std::ptrdiff_t>(lo));
  out.index.starts.push_back(at);
  for (std::size_t i = lo; i < index.starts.size(); ++i) out.index.starts.push_back(index.starts[i] + record.size());
  return out;
}

}  // namespace detail

CoreResult<cord::Set<VaultRecordV1>> decode_vault(cord::ByteView file) { return detail::decode_vault(file, {}); }

CoreResult<cord::Bytes> encode_vault(const cord::Set<VaultRecordV1>& records) {
  return detail::encode_vault(records, {});
}

CoreResult<std::vector<HashedRecord>> decode_vault_hashed(cord::ByteView file, const CryptoProvider& crypto,
                                                          VaultIndex* index) {
  return detail::decode_vault_hashed(file, crypto, {}, index);
}

CoreResult<std::vector<HashedRecord>> decode_vault_hashed(const std::shared_ptr<const cord::Bytes>& file,
                                                          const CryptoProvider& crypto, VaultIndex* index) {
  return detail::decode_vault_hashed(*file, crypto, {}, index, &file);
}

CoreResult<SplicedVault> splice_record(cord::ByteView file, const VaultIndex& index, cord::ByteView record) {
  return detail::splice_record(file, index, record, {});
}

}  // namespace vornex::core::validate
