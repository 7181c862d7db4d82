#include "vornex/store/ratchet_file.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "cord/try.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::store {

namespace {

// No record that takes a counter encodes in fewer bytes: its length
// prefix, variant index, the id's length prefix and the counter.
constexpr std::size_t kMinRatchetRecordBytes = 4 + 4 + 4 + 8;

StoreError ratchet_invalid(const Path& path, cord::CordError error) {
  return StoreError::ratchet_invalid(path, std::move(error));
}

bool has_magic(cord::ByteView bytes) {
  return bytes.size() >= kRatchetMagic.size() && std::equal(kRatchetMagic.begin(), kRatchetMagic.end(), bytes.begin());
}

StoreStatus check_ratchet_size(const Path& path, cord::ByteView bytes) {
  if (bytes.size() > kRatchetFileLimit) {
    return std::unexpected(StoreError::io(
        path, IoError::invalid_data("ratchet is " + std::to_string(bytes.size()) +
                                    " bytes, above the supported maximum of " + std::to_string(kRatchetFileLimit))));
  }
  return {};
}

StoreError ratchet_differed(const Path& path) {
  return StoreError::io(path, IoError::invalid_data("ratchet bytes differed immediately after atomic write"));
}

}  // namespace

cord::Result<RatchetStore> to_ratchet_store(const core::Ratchet& ratchet) {
  VX_TRY_ASSIGN(auto records, cord::Set<cord::Evolving<core::RatchetRecordV1>>::from(ratchet.to_stored()));
  return RatchetStore{ratchet_store::V1{std::move(records)}};
}

std::optional<core::Ratchet> into_ratchet(RatchetStore store) {
  // Set order is the canonical one, so the result does not depend on how
  // the set was filled.
  // Ids, origins and unknown payloads move into the ratchet, so the file's
  // records are never held twice.
  return core::Ratchet::from_stored(std::move(std::get<ratchet_store::V1>(store).records).take_items());
}

cord::Result<std::optional<core::Ratchet>> load_ratchet_store(cord::ByteView bytes) {
  using Stored = cord::Evolving<core::RatchetRecordV1>;
  // The steps of decoding a RatchetStore, with each record of the set going
  // into the ratchet as it is read instead of into a list.
  cord::Deserializer d(bytes);
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint32_t variant, d.parse_variant_index(cord::Hint::None));
  if (variant >= std::variant_size_v<RatchetStore>) return cord::fail(cord::CordError::unknown_variant(variant));
  std::optional<core::Ratchet::Loader> loader;
  Stored element;
  VX_TRY(cord::Set<Stored>::decode_each(
      d, cord::Hint::None,
      [&](std::uint64_t count) {
        // Room for as many records as the count says and the bytes can hold.
        loader.emplace(static_cast<std::size_t>(std::min<std::uint64_t>(count, d.remaining() / kMinRatchetRecordBytes)));
      },
      [&]() -> Stored& { return element; }, [&](Stored& read) { loader->add(std::move(read)); }));
  d.leave();
  if (d.remaining() != 0) return cord::fail(cord::ErrorKind::TrailingBytes);
  return std::move(*loader).finish();
}

StoreResult<cord::Bytes> encode_ratchet(const core::Ratchet& ratchet) {
  auto store = to_ratchet_store(ratchet);
  if (!store) return std::unexpected(StoreError::cord(std::move(store).error()));
  cord::Bytes out(kRatchetMagic.begin(), kRatchetMagic.end());
  if (auto st = cord::serialize_into(out, *store); !st) return std::unexpected(StoreError::cord(std::move(st).error()));
  return out;
}

StoreResult<core::Ratchet> decode_ratchet(const Path& path, cord::ByteView bytes) {
  if (!has_magic(bytes)) {
    return std::unexpected(ratchet_invalid(path, cord::CordError::validation(kRatchetMissingMagic)));
  }
  auto ratchet = load_ratchet_store(bytes.subspan(kRatchetMagic.size()));
  if (!ratchet) return std::unexpected(ratchet_invalid(path, std::move(ratchet).error()));
  if (!*ratchet) return std::unexpected(ratchet_invalid(path, cord::CordError::validation(kRatchetMissingRoot)));
  return std::move(**ratchet);
}

StoreResult<std::optional<core::Ratchet>> read_ratchet_for_root(const WorkspacePaths& paths,
                                                                const core::HashValue& root) {
  const Path path = ratchet_path(paths, root);
  auto bytes = read_file_bounded(path, kRatchetFileLimit);
  if (!bytes) {
    if (bytes.error().kind() == IoKind::NotFound) return std::nullopt;
    return std::unexpected(StoreError::io(path, std::move(bytes).error()));
  }
  VX_TRY_ASSIGN(core::Ratchet ratchet, decode_ratchet(path, *bytes));
  if (!std::ranges::equal(ratchet.trusted_root(), root.bytes())) {
    return std::unexpected(StoreError::trust_root_mismatch(core::HashValue(ratchet.trusted_root()), root));
  }
  return ratchet;
}

StoreResult<PreparedFile> prepare_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root,
                                                cord::ByteView bytes) {
  const Path path = ratchet_path(paths, root);
  VX_TRY(check_ratchet_size(path, bytes));
  // Only bytes that read back as this root's ratchet reach the disk.
  VX_TRY_ASSIGN(const core::Ratchet decoded, decode_ratchet(path, bytes));
  if (!std::ranges::equal(decoded.trusted_root(), root.bytes())) {
    return std::unexpected(StoreError::trust_root_mismatch(core::HashValue(decoded.trusted_root()), root));
  }
  return prepare_private_file(path, bytes, true, paths.facts());
}

StoreStatus verify_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root, cord::ByteView bytes) {
  const Path path = ratchet_path(paths, root);
  auto written = read_file_bounded(path, kRatchetFileLimit);
  if (!written) return std::unexpected(StoreError::io(path, std::move(written).error()));
  if (!std::ranges::equal(*written, bytes)) return std::unexpected(ratchet_differed(path));
  VX_TRY(decode_ratchet(path, *written));
  return {};
}

StoreResult<PreparedFile> prepare_encoded_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root,
                                                        cord::ByteView bytes) {
  const Path path = ratchet_path(paths, root);
  VX_TRY(check_ratchet_size(path, bytes));
  return prepare_private_file(path, bytes, true, paths.facts());
}

StoreStatus verify_ratchet_bytes_equal(const WorkspacePaths& paths, const core::HashValue& root,
                                       cord::ByteView bytes, HeldFile* held) {
  const Path path = ratchet_path(paths, root);
  auto same = file_holds(path, bytes, kRatchetFileLimit, held);
  if (!same) return std::unexpected(StoreError::io(path, std::move(same).error()));
  if (!*same) return std::unexpected(ratchet_differed(path));
  return {};
}

StoreStatus write_ratchet_bytes_atomic(const WorkspacePaths& paths, const core::HashValue& root,
                                       cord::ByteView bytes) {
  VX_TRY_ASSIGN(PreparedFile prepared, prepare_ratchet_bytes(paths, root, bytes));
  VX_TRY(prepared.place());
  return verify_ratchet_bytes(paths, root, bytes);
}

StoreStatus write_ratchet_atomic(const WorkspacePaths& paths, const core::Ratchet& ratchet) {
  VX_TRY_ASSIGN(const cord::Bytes bytes, encode_ratchet(ratchet));
  return write_ratchet_bytes_atomic(paths, core::HashValue(ratchet.trusted_root()), bytes);
}

}  // namespace vornex::store
