// What the authority fixed point and deletion resolution share: the
// records the fixed point reads, filtered once, and the state they end in.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "vornex/core/validate/effective.hpp"

namespace vornex::core::validate::detail {

using RecordRefs = std::vector<const VerifiedRecord*>;

// The records each selection pass looks at, filtered once (rollback-floor
// keys dropped, slice order kept) so that an iteration walks only the
// principal graph and never the secrets.
struct Prepared {
  RecordRefs users;          // User, UserDeleted
  RecordRefs groups;         // Group, GroupDeleted
  RecordRefs group_members;  // GroupMember, GroupMemberDeleted
  RecordRefs grants;         // Grant, GrantDeleted
  RecordRefs user_handles;
  RecordRefs vault_handles;
  RecordRefs entry_points;
  std::set<UserId> entry_users;
};

Prepared prepare(std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor);

bool is_principal_deletion(const RecordBodyV1& body);

// The state of a settled (or blocked) selection: its authorities, the
// post-passes (user handles, vault handles, entry points) and the conflicts
// made public.
EffectiveState assemble(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                        const Prepared& prepared, SelectedAuthorizedRecords selection, bool blocked);

}  // namespace vornex::core::validate::detail
