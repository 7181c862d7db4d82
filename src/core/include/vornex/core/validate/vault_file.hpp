// The vault file: a magic prefix, then the Cord encoding of the VaultStore.
// Pure conversions between the file's bytes and its record set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cord/codec.hpp"
#include "cord/set.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/merge.hpp"

namespace vornex::core::validate {

inline constexpr std::array<std::uint8_t, 13> kVaultMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-',
                                                             'v', 'a', 'u', 'l', 't', 0};
inline constexpr std::size_t kMaxVaultBytes = 268'435'456;
inline constexpr std::size_t kMaxVaultRecords = 262'144;

// A record with its record hash, taken over the bytes it was decoded from.
// It is a verified record whose key and signer are not known yet, so that
// validation can keep the records it admits where they were decoded,
// instead of moving a vault's worth of them into a second list.
using HashedRecord = VerifiedRecord;

// Where each record's encoding starts in a vault file, in file order; each
// ends where the next starts, the last where the file ends.
struct VaultIndex {
  std::vector<std::size_t> starts;
  bool operator==(const VaultIndex&) const = default;
};

CoreResult<cord::Set<VaultRecordV1>> decode_vault(cord::ByteView file);
CoreResult<cord::Bytes> encode_vault(const cord::Set<VaultRecordV1>& records);

// decode_vault that also hashes each record over the bytes it was read
// from: the decoder accepts only canonical bytes, so those are its
// encoding, and no record is encoded a second time. Records come in file
// order, which is ascending and free of duplicates. With `index`, it is
// also told where each record lies (left as it was on failure).
CoreResult<std::vector<HashedRecord>> decode_vault_hashed(cord::ByteView file, const CryptoProvider& crypto,
                                                          VaultIndex* index = nullptr);
// The same over a file the caller shares: the records' payloads borrow their
// bytes from it instead of copying them, and keep it alive.
CoreResult<std::vector<HashedRecord>> decode_vault_hashed(const std::shared_ptr<const cord::Bytes>& file,
                                                          const CryptoProvider& crypto, VaultIndex* index = nullptr);

// A vault file with one record added: exactly encode_vault of the file's
// records with the record inserted, made by copying the old bytes around
// the record's encoding at its sorted place and raising the count, without
// decoding or encoding any other record.
struct SplicedVault {
  cord::Bytes file;
  VaultIndex index;       // of `file`
  bool inserted = false;  // false: the record was there already, `file` is the old one
  std::size_t at = 0;     // where the record's encoding lies in `file`; old bytes from there moved up by its size
};
// `index` must be the one decoding `file` gave (a mismatch is refused,
// never followed out of bounds); `record` must be one record's canonical
// encoding. An equal record already present is not added again, as
// cord::Set::insert does; a set that would grow beyond the record count or
// the file size encode_vault accepts is refused with encode_vault's errors.
CoreResult<SplicedVault> splice_record(cord::ByteView file, const VaultIndex& index, cord::ByteView record);

namespace detail {
// The limits, smaller in tests so they can be reached cheaply.
struct VaultLimits {
  std::size_t max_bytes = kMaxVaultBytes;
  std::size_t max_records = kMaxVaultRecords;
};
CoreResult<cord::Set<VaultRecordV1>> decode_vault(cord::ByteView file, const VaultLimits& limits);
CoreResult<cord::Bytes> encode_vault(const cord::Set<VaultRecordV1>& records, const VaultLimits& limits);
CoreResult<std::vector<HashedRecord>> decode_vault_hashed(cord::ByteView file, const CryptoProvider& crypto,
                                                          const VaultLimits& limits, VaultIndex* index = nullptr,
                                                          const std::shared_ptr<const cord::Bytes>* lender = nullptr);
CoreResult<SplicedVault> splice_record(cord::ByteView file, const VaultIndex& index, cord::ByteView record,
                                       const VaultLimits& limits);
}  // namespace detail

}  // namespace vornex::core::validate
