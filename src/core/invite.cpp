#include "vornex/core/invite.hpp"

#include <utility>

namespace vornex::core {

InvitationMaterial InvitationMaterial::from(Invite&& invite) {
  if (auto* v1 = std::get_if<InviteV1>(&invite)) {
    return InvitationMaterial{std::move(v1->master_seed), std::move(v1->root), std::move(v1->baseline.records)};
  }
  auto& v2 = std::get<InviteV2>(invite);
  std::optional<std::vector<RatchetRecordV1>> baseline;
  if (v2.baseline) baseline = std::move(v2.baseline->records);
  return InvitationMaterial{std::move(v2.master_seed), std::move(v2.root), std::move(baseline)};
}

cord::Result<InvitationMaterial> decode_invitation(cord::ByteView bytes) {
  VX_TRY_ASSIGN(Invite invite, cord::deserialize<Invite>(bytes));
  return InvitationMaterial::from(std::move(invite));
}

}  // namespace vornex::core
