// The pending-transaction file "transaction.cord" under state_dir/hex(root):
// a commit stores the vault's and the ratchet's after-images here, with the
// states both files must be in before, so whoever finds the file can roll
// the change forward. What goes in and how it is applied is the commit's
// business; this file owns the format, the shape rules and the I/O.
//
// Layout: "vornex-transaction" 00, then the Cord encoding of
// TransactionStore (a u32 variant index, always 0, then the record).
// Nothing may follow.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cord/codec.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

inline constexpr std::array<std::uint8_t, 19> kTransactionMagic = {
    'v', 'o', 'r', 'n', 'e', 'x', '-', 't', 'r', 'a', 'n', 's', 'a', 'c', 't', 'i', 'o', 'n', 0};
inline constexpr std::size_t kTransactionIdBytes = 32;
inline constexpr std::size_t kFileHashBytes = 32;
inline constexpr std::size_t kMaxOperationLabelBytes = 128;
inline constexpr std::uint64_t kMaxTransactionImageBytes = 268'435'456;
// Whole vault and ratchet images are byte strings in the record, beyond
// Cord's default length limit; the file is written and read with these so
// that what the shape rules admit is also what the decoder admits.
inline constexpr cord::Limits kTransactionCordLimits{.max_length = kMaxTransactionImageBytes};

// A path as the platform that wrote it spells it. This system writes only
// Unix paths; a Windows path read from a file is carried along, never used.
class NativePathV1 {
 public:
  struct Unix {
    cord::Bytes bytes;  // the path's raw bytes
    CORD_TRANSPARENT(bytes)
    bool operator==(const Unix&) const = default;
  };
  struct WindowsUtf16Le {
    cord::Bytes bytes;  // UTF-16 code units, little-endian
    CORD_TRANSPARENT(bytes)
    bool operator==(const WindowsUtf16Le&) const = default;
  };

  NativePathV1() = default;
  NativePathV1(Unix path) : value_(std::move(path)) {}            // NOLINT: one of its forms
  NativePathV1(WindowsUtf16Le path) : value_(std::move(path)) {}  // NOLINT: one of its forms

  // The resolved absolute path (symbolic links, "." and ".." gone); the
  // path must exist. A failure is StoreError::Io naming `path`.
  static StoreResult<NativePathV1> canonical(const Path& path);

  // Whether this is exactly the canonical form of `local`; a Windows path
  // never is.
  StoreResult<bool> matches_canonical(const Path& local) const;

  // The local path of a Unix value; none for a Windows one.
  std::optional<Path> to_path_buf() const;

  const Unix* unix_path() const { return std::get_if<Unix>(&value_); }
  const WindowsUtf16Le* windows_path() const { return std::get_if<WindowsUtf16Le>(&value_); }

  bool operator==(const NativePathV1&) const = default;
  CORD_TRANSPARENT(value_)

 private:
  std::variant<Unix, WindowsUtf16Le> value_;
};

// The state a file must be in before the transaction applies.
class FilePreconditionV1 {
 public:
  struct Absent {  // the file did not exist
    CORD_UNIT
    bool operator==(const Absent&) const = default;
  };
  struct Hash {  // the transaction hash of the file's content
    core::HashValue hash;
    CORD_TRANSPARENT(hash)
    bool operator==(const Hash&) const = default;
  };

  FilePreconditionV1() = default;
  FilePreconditionV1(Absent absent) : value_(absent) {}       // NOLINT: one of its forms
  FilePreconditionV1(Hash hash) : value_(std::move(hash)) {}  // NOLINT: one of its forms

  // The hash, or null for Absent.
  const core::HashValue* hash() const {
    const Hash* h = std::get_if<Hash>(&value_);
    return h == nullptr ? nullptr : &h->hash;
  }

  bool operator==(const FilePreconditionV1&) const = default;
  CORD_TRANSPARENT(value_)

 private:
  std::variant<Absent, Hash> value_;
};

struct TransactionV1 {
  cord::Bytes id;                // 32 bytes
  core::HashValue trusted_root;  // the root whose state directory holds the file
  NativePathV1 vault_path;
  std::string operation_label;   // 1 to 128 bytes
  FilePreconditionV1 vault_before;
  FilePreconditionV1 ratchet_before;
  cord::Bytes next_vault_bytes;    // at most 256 MiB
  cord::Bytes next_ratchet_bytes;  // at most 256 MiB
  CORD_FIELDS(id, trusted_root, vault_path, operation_label, vault_before, ratchet_before, next_vault_bytes,
              next_ratchet_bytes)
  bool operator==(const TransactionV1&) const = default;
};

namespace transaction_store {
struct V1 {
  TransactionV1 transaction;
  CORD_TRANSPARENT(transaction)
  bool operator==(const V1&) const = default;
};
}  // namespace transaction_store

using TransactionStore = std::variant<transaction_store::V1>;

// StoreError::TransactionInvalid for `path`.
StoreError invalid(const Path& path, std::string reason);

// The shape rules every read and write applies; the first broken one is
// reported, naming `path`.
StoreStatus validate_shape(const Path& path, const TransactionV1& record);

StoreResult<TransactionV1> decode_transaction(const Path& path, cord::ByteView bytes);

// The file bytes; a record that breaks a shape rule is refused naming the
// bare file name, since it has no place yet.
StoreResult<cord::Bytes> encode_transaction(const TransactionV1& record);

// None when no file exists; a file recorded for another root is refused.
StoreResult<std::optional<TransactionV1>> read_transaction(const WorkspacePaths& paths, const core::HashValue& root);

// Writes under the record's own trusted root, then reads the file back and
// checks it holds the same record.
StoreStatus write_transaction_atomic(const WorkspacePaths& paths, const TransactionV1& record);

// Its halves, for a writer that must know whether the rename happened: the
// file written beside its place with the bytes it holds, and the read-back.
// The after-images are not copied into the file's encoding: the file is
// `bytes` with each borrowed image put in at its offset, and `parts()`
// gives its content in order, valid while `bytes` and the images live.
struct PreparedTransaction {
  struct Borrowed {
    std::size_t at;  // offset in `bytes` where the image goes
    cord::ByteView image;
  };
  PreparedFile file;
  cord::Bytes bytes;
  std::vector<Borrowed> borrowed;  // ascending offsets

  std::vector<cord::ByteView> parts() const;
};
StoreResult<PreparedTransaction> prepare_transaction(const WorkspacePaths& paths, const TransactionV1& record);
StoreStatus verify_transaction(const WorkspacePaths& paths, const TransactionV1& record, ByteParts parts);

// The same halves for a writer that keeps the after-images: `head` holds
// every other field (its own images are not written), and the file's
// bytes are exactly those of the whole record. The read-back compares
// bytes alone: bytes equal to what was just encoded decode to the record.
StoreResult<PreparedTransaction> prepare_transaction(const WorkspacePaths& paths, const TransactionV1& head,
                                                     cord::ByteView next_vault, cord::ByteView next_ratchet);
StoreStatus verify_transaction_bytes(const WorkspacePaths& paths, const core::HashValue& root, ByteParts parts);

}  // namespace vornex::store
