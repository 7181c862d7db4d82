// The ratchet file "ratchet.cord": one user's trust state for one vault
// root, under state_dir/hex(root). The in-memory Ratchet lives in core; this
// file adds the magic, the versioned wrapper, the size limit, the check that
// a file belongs to the root asked for, and the read-back after a write.
//
// Layout: "vornex-ratchet" 00, then the Cord encoding of RatchetStore (a u32
// variant index, always 0, then the record set). Nothing may follow.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "cord/set.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/store/error.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::store {

inline constexpr std::array<std::uint8_t, 15> kRatchetMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-', 'r',
                                                               'a', 't', 'c', 'h', 'e', 't', 0};

inline constexpr std::string_view kRatchetMissingMagic = "not a vornex state file (missing magic prefix)";
inline constexpr std::string_view kRatchetMissingRoot = "ratchet file missing its trusted-root record";

// The stored form, versioned so a later layout can sit beside this one.
namespace ratchet_store {
struct V1 {
  cord::Set<cord::Evolving<core::RatchetRecordV1>> records;
  CORD_TRANSPARENT(records)
  bool operator==(const V1&) const = default;
};
}  // namespace ratchet_store

using RatchetStore = std::variant<ratchet_store::V1>;

// The ratchet's records and its unknown records in one set. Fails only when
// two different elements share an encoding, which a ratchet built by this
// system never holds.
cord::Result<RatchetStore> to_ratchet_store(const core::Ratchet& ratchet);

// The ratchet the stored records describe; none without a TrustedRoot
// record. Elements are visited in set order, so with several TrustedRoot
// records the one with the greatest encoding names the root, whatever
// order the file's writer used.
std::optional<core::Ratchet> into_ratchet(RatchetStore store);

// The same ratchet decoded from a RatchetStore's encoding (the file without
// its magic): each record goes into the ratchet as it is read, so the
// records are never held as a list. Fails as decoding the store fails;
// none without a TrustedRoot record.
cord::Result<std::optional<core::Ratchet>> load_ratchet_store(cord::ByteView bytes);

// The complete file bytes. No size check: the writer makes it.
StoreResult<cord::Bytes> encode_ratchet(const core::Ratchet& ratchet);

// Decodes file bytes; every failure is RatchetInvalid naming `path`.
StoreResult<core::Ratchet> decode_ratchet(const Path& path, cord::ByteView bytes);

// None when the file does not exist; TrustRootMismatch when it belongs to
// another root.
StoreResult<std::optional<core::Ratchet>> read_ratchet_for_root(const WorkspacePaths& paths,
                                                                const core::HashValue& root);

// Writes under the ratchet's own trusted root.
StoreStatus write_ratchet_atomic(const WorkspacePaths& paths, const core::Ratchet& ratchet);

// Writes complete file bytes for `root`; bytes that do not decode, or that
// name another root, are never written.
StoreStatus write_ratchet_bytes_atomic(const WorkspacePaths& paths, const core::HashValue& root,
                                       cord::ByteView bytes);
// Its halves: the checks and everything up to the rename, and the
// read-back after it.
StoreResult<PreparedFile> prepare_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root,
                                                cord::ByteView bytes);
StoreStatus verify_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root, cord::ByteView bytes);
// The same halves for a writer that encoded `bytes` itself from a ratchet
// of `root`: nothing is decoded, the size is checked before writing and
// the read-back compares bytes alone, with the errors of the forms above.
StoreResult<PreparedFile> prepare_encoded_ratchet_bytes(const WorkspacePaths& paths, const core::HashValue& root,
                                                        cord::ByteView bytes);
// With `held`, the file read back equal stays open there (see HeldFile).
StoreStatus verify_ratchet_bytes_equal(const WorkspacePaths& paths, const core::HashValue& root, cord::ByteView bytes,
                                       HeldFile* held = nullptr);

}  // namespace vornex::store
