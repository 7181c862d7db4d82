// A ratchet file raised by an update without encoding the whole ratchet
// again: a write raises one or two keys of a ratchet that may hold a
// counter for every record of a large vault.
#pragma once

#include <memory>
#include <optional>

#include "cord/wire.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/store/error.hpp"

namespace vornex::store {

// The file bytes of `ratchet` raised by `update`, made from `encoded`, the
// file bytes of `ratchet` itself (as encode_ratchet gives them): only the
// records of the keys the update changes are replaced or added, each where
// its encoding sorts. None when the update raises the format version, or
// when `encoded` is not framed as such a file; the caller then encodes the
// raised ratchet in full.
std::optional<cord::Bytes> encode_raised_ratchet(cord::ByteView encoded, const core::Ratchet& ratchet,
                                                 const core::RatchetUpdate& update);

// The same over bytes the caller shares: those very bytes when the raise
// changes no record, so that a raise already in the file copies nothing.
// Null where encode_raised_ratchet gives none.
std::shared_ptr<const cord::Bytes> raise_ratchet_bytes(const std::shared_ptr<const cord::Bytes>& encoded,
                                                       const core::Ratchet& ratchet, const core::RatchetUpdate& update);

}  // namespace vornex::store
