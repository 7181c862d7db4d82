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
// The store's variant index and the set's record count.
constexpr std::size_t kStoreHeaderBytes = 4 + 4;

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
  // The stored records of to_ratchet_store, each encoded once into one
  // buffer and written in the order of their encodings, which is the set's:
  // the ratchet's records are never held as a list of values, twice over,
  // while a large file is written.
  using Stored = cord::Evolving<core::RatchetRecordV1>;
  cord::Bytes frames;
  std::vector<std::size_t> ends;
  ends.reserve(ratchet.counters().size() + ratchet.unknown_records().size() + 2);
  const auto add = [&](const Stored& stored) -> StoreStatus {
    if (auto st = cord::serialize_into(frames, stored); !st) return std::unexpected(StoreError::cord(std::move(st).error()));
    ends.push_back(frames.size());
    return {};
  };
  StoreStatus added;
  ratchet.for_each_record([&](core::RatchetRecordV1&& record) {
    if (added) added = add(Stored(std::move(record)));
  });
  VX_TRY(added);
  const std::size_t first_unknown = ends.size();
  for (const cord::Bytes& payload : ratchet.unknown_records()) VX_TRY(add(Stored::unknown(payload)));

  const auto frame = [&](std::size_t i) {
    const std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return cord::ByteView(frames.data() + begin, ends[i] - begin);
  };
  std::vector<std::size_t> order(ends.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return cord::compare_bytes(frame(a), frame(b)) < 0; });
  // Of equal elements a set keeps one; two different elements with one
  // encoding cannot be written. Known records differ by key or kind, so
  // only two unknown payloads, which are then equal, can meet here.
  std::size_t kept = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k > 0 && cord::compare_bytes(frame(order[k - 1]), frame(order[k])) == 0) {
      if (order[k - 1] < first_unknown || order[k] < first_unknown) {
        return std::unexpected(StoreError::cord(cord::CordError::serialization(std::string(cord::kDuplicateElement))));
      }
      continue;
    }
    order[kept++] = order[k];
  }
  order.resize(kept);

  cord::Bytes out(kRatchetMagic.begin(), kRatchetMagic.end());
  out.reserve(out.size() + kStoreHeaderBytes + frames.size());
  // The store's variant index and the set's count, as their encoders write them.
  const cord::Width width = cord::width_of(cord::Hint::None);
  if (auto st = cord::wire::write_variant_index(out, 0, width); !st) {
    return std::unexpected(StoreError::cord(std::move(st).error()));
  }
  if (auto st = cord::wire::write_length(out, order.size(), width); !st) {
    return std::unexpected(StoreError::cord(std::move(st).error()));
  }
  for (const std::size_t i : order) {
    const cord::ByteView bytes = frame(i);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
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
