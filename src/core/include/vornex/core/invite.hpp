// Invitations, as this system reads them: the invited user's master seed,
// the root of the vault they are for and, optionally, a ratchet baseline
// the inviter vouches for. The seed is secret: every type holding it is
// move-only and wipes it when dropped, on success and failure paths alike.
#pragma once

#include <optional>
#include <variant>
#include <vector>

#include "cord/codec.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/secret.hpp"

namespace vornex::core {

// Bare records, not evolving ones: a record kind this build does not know
// makes the whole invitation undecodable rather than silently weaker.
struct RatchetBaselineV1 {
  std::vector<RatchetRecordV1> records;
  CORD_FIELDS(records)
  bool operator==(const RatchetBaselineV1&) const = default;
};

struct InviteV1 {
  SecretBytes master_seed;  // any length here; identity derivation wants 32
  HashValue root;           // key fingerprint of the vault root's signing key
  RatchetBaselineV1 baseline;
  CORD_FIELDS(master_seed, root, baseline)
};

struct InviteV2 {
  SecretBytes master_seed;
  HashValue root;
  std::optional<RatchetBaselineV1> baseline;
  CORD_FIELDS(master_seed, root, baseline)
};

// Not evolving: an invitation of a later version does not decode.
using Invite = std::variant<InviteV1, InviteV2>;

// An invitation with its version forgotten: both versions mean the same,
// a version-1 invitation simply always has a baseline.
struct InvitationMaterial {
  SecretBytes master_seed;
  HashValue root;
  std::optional<std::vector<RatchetRecordV1>> baseline;

  // Takes the fields over; the seed moves, it is never copied.
  static InvitationMaterial from(Invite&& invite);
};

// Decodes the whole input as an Invite. A failure leaves no partial
// invitation, and any seed bytes already read are wiped. The input itself
// still holds the seed: wiping it is the caller's affair.
cord::Result<InvitationMaterial> decode_invitation(cord::ByteView bytes);

}  // namespace vornex::core
