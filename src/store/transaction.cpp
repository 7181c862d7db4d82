#include "vornex/store/transaction.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cord/text.hpp"
#include "cord/try.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::store {

namespace {

// A byte string written from bytes someone else keeps; never read into.
// With `borrowed`, only its length prefix is written and the bytes are
// noted to go in at that point of the output.
struct BorrowedBytes {
  cord::ByteView bytes;
  std::vector<PreparedTransaction::Borrowed>* borrowed = nullptr;
  cord::Status cord_encode(cord::Serializer& s, cord::Hint hint) const {
    VX_TRY(s.write_length(bytes.size(), hint));
    if (borrowed != nullptr) {
      borrowed->push_back({s.out().size(), bytes});
    } else {
      s.write_raw(bytes);
    }
    return {};
  }
  cord::Status cord_decode(cord::Deserializer& /*d*/, cord::Hint /*hint*/) {
    return cord::fail(cord::CordError::unsupported("borrowed bytes are only written"));
  }
};

// Encodes exactly as a TransactionV1, but borrows every field: the images
// may be hundreds of MiB, and their owner may still need them.
struct TransactionRef {
  const TransactionV1& head;  // every field but the images
  BorrowedBytes next_vault_bytes;
  BorrowedBytes next_ratchet_bytes;
  CORD_FIELDS(head.id, head.trusted_root, head.vault_path, head.operation_label, head.vault_before,
              head.ratchet_before, next_vault_bytes, next_ratchet_bytes)
};

// Encodes exactly as TransactionStore::V1 (index 0, then the record).
struct StoreV1Ref {
  const TransactionRef& transaction;
  CORD_TRANSPARENT(transaction)
};
using TransactionStoreRef = std::variant<StoreV1Ref>;

bool has_magic(cord::ByteView bytes) {
  return bytes.size() >= kTransactionMagic.size() &&
         std::equal(kTransactionMagic.begin(), kTransactionMagic.end(), bytes.begin());
}

std::string too_large(std::size_t size) {
  return "transaction is " + std::to_string(size) + " bytes, above the supported maximum of " +
         std::to_string(kTransactionFileLimit);
}

bool is_hash_of_wrong_length(const FilePreconditionV1& precondition) {
  const core::HashValue* hash = precondition.hash();
  return hash != nullptr && hash->bytes().size() != kFileHashBytes;
}

}  // namespace

StoreResult<NativePathV1> NativePathV1::canonical(const Path& path) {
  char* resolved = nullptr;
  do {
    resolved = ::realpath(path.c_str(), nullptr);
  } while (resolved == nullptr && errno == EINTR);  // interrupted on the way: try again
  if (resolved == nullptr) return std::unexpected(StoreError::io(path, IoError::from_errno(errno)));
  const std::unique_ptr<char, decltype(&std::free)> owned(resolved, &std::free);
  const std::string_view text(resolved);
  return NativePathV1(Unix{cord::Bytes(text.begin(), text.end())});
}

StoreResult<bool> NativePathV1::matches_canonical(const Path& local) const {
  VX_TRY_ASSIGN(const NativePathV1 resolved, canonical(local));
  return *this == resolved;
}

std::optional<Path> NativePathV1::to_path_buf() const {
  const Unix* path = unix_path();
  if (path == nullptr) return std::nullopt;
  return Path(std::string(path->bytes.begin(), path->bytes.end()));
}

StoreError invalid(const Path& path, std::string reason) {
  return StoreError::transaction_invalid(path, std::move(reason));
}

namespace {

// The shape rules, with the images' sizes given apart from the record.
StoreStatus validate_shape_of(const Path& path, const TransactionV1& record, std::size_t vault_bytes,
                              std::size_t ratchet_bytes) {
  const auto fail = [&](const char* reason) { return std::unexpected(invalid(path, reason)); };
  if (record.id.size() != kTransactionIdBytes) return fail("transaction ID must be exactly 32 bytes");
  if (record.operation_label.empty() || record.operation_label.size() > kMaxOperationLabelBytes) {
    return fail("transaction operation label is empty or too long");
  }
  if (is_hash_of_wrong_length(record.vault_before) || is_hash_of_wrong_length(record.ratchet_before)) {
    return fail("transaction file hash must be 32 bytes");
  }
  if (vault_bytes > kMaxTransactionImageBytes) return fail("transaction vault after-image is too large");
  if (ratchet_bytes > kMaxTransactionImageBytes) return fail("transaction ratchet after-image is too large");
  if (const auto* windows = record.vault_path.windows_path(); windows != nullptr && windows->bytes.size() % 2 != 0) {
    return fail("transaction Windows path has odd byte length");
  }
  return {};
}

// The file's content in order: the encoding with each image put in at its
// offset.
std::vector<cord::ByteView> parts_of(cord::ByteView bytes, std::span<const PreparedTransaction::Borrowed> borrowed) {
  std::vector<cord::ByteView> out;
  out.reserve(2 * borrowed.size() + 1);
  std::size_t from = 0;
  for (const PreparedTransaction::Borrowed& b : borrowed) {
    out.push_back(bytes.subspan(from, b.at - from));
    out.push_back(b.image);
    from = b.at;
  }
  out.push_back(bytes.subspan(from));
  return out;
}

// The file's bytes, or with `borrowed` its bytes without the images, which
// are noted there instead.
StoreResult<cord::Bytes> encode_parts(const TransactionV1& head, cord::ByteView next_vault,
                                      cord::ByteView next_ratchet,
                                      std::vector<PreparedTransaction::Borrowed>* borrowed = nullptr) {
  // A record that breaks a rule has no place yet: its errors name the file.
  const Path name(kTransactionFileName);
  VX_TRY(validate_shape_of(name, head, next_vault.size(), next_ratchet.size()));
  // Cord writes texts in NFC, so a label in another form would read back
  // as a different record, perhaps no longer within the length rule.
  // Invalid UTF-8 is left to the encoder, which refuses it.
  if (cord::text::is_utf8(head.operation_label) && !cord::text::is_nfc(head.operation_label)) {
    return std::unexpected(invalid(name, "transaction operation label is not in NFC"));
  }

  // The decoder reads with the same limits, and the shape rules held on
  // what is written, so whatever encodes here also decodes.
  const std::size_t images = next_vault.size() + next_ratchet.size();
  cord::Bytes out;
  out.reserve(kTransactionMagic.size() + (borrowed != nullptr ? 0 : images) + 512);
  out.assign(kTransactionMagic.begin(), kTransactionMagic.end());
  const TransactionRef record{head, {next_vault, borrowed}, {next_ratchet, borrowed}};
  if (auto st = cord::serialize_into(out, TransactionStoreRef{StoreV1Ref{record}}, kTransactionCordLimits); !st) {
    return std::unexpected(StoreError::cord(std::move(st).error()));
  }
  const std::size_t size = out.size() + (borrowed != nullptr ? images : 0);
  if (size > kTransactionFileLimit) return std::unexpected(invalid(name, too_large(size)));
  return out;
}

StoreResult<PreparedTransaction> prepare_parts(const WorkspacePaths& paths, const TransactionV1& head,
                                               cord::ByteView next_vault, cord::ByteView next_ratchet) {
  std::vector<PreparedTransaction::Borrowed> borrowed;
  VX_TRY_ASSIGN(cord::Bytes bytes, encode_parts(head, next_vault, next_ratchet, &borrowed));
  VX_TRY_ASSIGN(PreparedFile file, prepare_private_file(transaction_path(paths, head.trusted_root),
                                                        parts_of(bytes, borrowed), true, paths.facts()));
  return PreparedTransaction{std::move(file), std::move(bytes), std::move(borrowed)};
}

}  // namespace

StoreStatus validate_shape(const Path& path, const TransactionV1& record) {
  return validate_shape_of(path, record, record.next_vault_bytes.size(), record.next_ratchet_bytes.size());
}

StoreResult<TransactionV1> decode_transaction(const Path& path, cord::ByteView bytes) {
  if (bytes.size() > kTransactionFileLimit) return std::unexpected(invalid(path, too_large(bytes.size())));
  if (!has_magic(bytes)) return std::unexpected(invalid(path, "missing vornex transaction magic"));
  auto store = cord::deserialize<TransactionStore>(bytes.subspan(kTransactionMagic.size()), kTransactionCordLimits);
  if (!store) {
    return std::unexpected(invalid(path, "transaction Cord payload is invalid: " + store.error().message()));
  }
  TransactionV1 record = std::move(std::get<transaction_store::V1>(*store).transaction);
  VX_TRY(validate_shape(path, record));
  return record;
}

StoreResult<cord::Bytes> encode_transaction(const TransactionV1& record) {
  return encode_parts(record, record.next_vault_bytes, record.next_ratchet_bytes);
}

StoreResult<std::optional<TransactionV1>> read_transaction(const WorkspacePaths& paths, const core::HashValue& root) {
  const Path path = transaction_path(paths, root);
  auto bytes = read_file_bounded(path, kTransactionFileLimit);
  if (!bytes) {
    if (bytes.error().kind() == IoKind::NotFound) return std::nullopt;
    return std::unexpected(StoreError::io(path, std::move(bytes).error()));
  }
  VX_TRY_ASSIGN(TransactionV1 record, decode_transaction(path, *bytes));
  if (record.trusted_root != root) {
    return std::unexpected(invalid(path, "transaction trusted root does not match its state directory"));
  }
  return record;
}

std::vector<cord::ByteView> PreparedTransaction::parts() const { return parts_of(bytes, borrowed); }

StoreResult<PreparedTransaction> prepare_transaction(const WorkspacePaths& paths, const TransactionV1& record) {
  return prepare_parts(paths, record, record.next_vault_bytes, record.next_ratchet_bytes);
}

StoreResult<PreparedTransaction> prepare_transaction(const WorkspacePaths& paths, const TransactionV1& head,
                                                     cord::ByteView next_vault, cord::ByteView next_ratchet) {
  return prepare_parts(paths, head, next_vault, next_ratchet);
}

StoreStatus verify_transaction(const WorkspacePaths& paths, const TransactionV1& record, ByteParts parts) {
  const Path path = transaction_path(paths, record.trusted_root);
  auto written = read_file_bounded(path, kTransactionFileLimit);
  if (!written) return std::unexpected(StoreError::io(path, std::move(written).error()));
  std::size_t at = 0;
  bool same = true;
  for (const cord::ByteView part : parts) {
    same = same && part.size() <= written->size() - at &&
           std::equal(part.begin(), part.end(), written->begin() + static_cast<std::ptrdiff_t>(at));
    at += part.size();
  }
  if (!same || at != written->size()) {
    return std::unexpected(invalid(path, "transaction bytes differed immediately after atomic write"));
  }
  VX_TRY_ASSIGN(const TransactionV1 decoded, decode_transaction(path, *written));
  if (decoded != record) {
    return std::unexpected(invalid(path, "transaction value differed immediately after atomic write"));
  }
  return {};
}

StoreStatus verify_transaction_bytes(const WorkspacePaths& paths, const core::HashValue& root, ByteParts parts) {
  const Path path = transaction_path(paths, root);
  auto same = file_holds_parts(path, parts, kTransactionFileLimit);
  if (!same) return std::unexpected(StoreError::io(path, std::move(same).error()));
  if (!*same) return std::unexpected(invalid(path, "transaction bytes differed immediately after atomic write"));
  return {};
}

StoreStatus write_transaction_atomic(const WorkspacePaths& paths, const TransactionV1& record) {
  VX_TRY_ASSIGN(PreparedTransaction prepared, prepare_transaction(paths, record));
  VX_TRY(prepared.file.place());
  return verify_transaction(paths, record, prepared.parts());
}

}  // namespace vornex::store
