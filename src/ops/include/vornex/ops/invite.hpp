// An invitation's ratchet baseline as the first trust state of a user who
// has never seen the vault: written only when the vault on disk is not
// older than the baseline, validates cleanly, and counts the invited
// identity as a member. An existing ratchet file always stands.
#pragma once

#include <vector>

#include "vornex/core/invite.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/report.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::ops {

core::Ratchet seed_ratchet_from_baseline(const core::HashValue& root, const std::vector<core::RatchetRecordV1>& baseline);

// Whether any conflict of the report comes from a rollback.
bool has_suspected_rollback(const core::validate::ValidationReport& report);

// What a validation against a seeded baseline must show before the seed may
// become the trust file, in this order: no suspected rollback, no issue,
// the invited user a member.
OpsStatus check_seeded_validation(const core::validate::ValidationReport& report, const core::UserId& invitee);

OpsStatus ensure_ratchet_from_invite(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                     const core::InvitationMaterial& invitation,
                                     const store::LockPolicy& policy = {});

}  // namespace vornex::ops
