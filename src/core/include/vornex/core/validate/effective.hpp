// The effective state of a vault: which records are in force, reached by a
// fixed point in which authority flows only from the root.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <utility>

#include "vornex/core/validate/merge.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/state.hpp"

namespace vornex::core::validate {

inline constexpr int kMaxAuthorityIterations = 64;

using RollbackFloor = std::map<RecordKey, std::uint64_t>;

// The principal-graph records in force in one iteration.
struct SelectedAuthorizedRecords {
  std::map<UserId, UserRecordV1> users;
  std::map<GroupId, GroupRecordV1> groups;
  std::map<GroupMemberId, GroupMemberRecordV1> group_members;
  std::map<GrantId, GrantRecordV1> grants;
  std::set<UserId> deleted_users;
  std::set<GroupId> deleted_groups;
  std::set<GrantId> deleted_grants;
  ConflictSlots conflicts;
  bool operator==(const SelectedAuthorizedRecords&) const = default;
};

Authorities root_authorities(const UserId& root_user_id);

// A copy of the signer's authority; an empty set when it has none.
AuthoritySet signer_auth(const Authorities& authorities, const UserId& signer);

// The authority every principal derives from a selection.
Authorities derive_authorities(const SelectedAuthorizedRecords& selection, const UserId& root_user_id);

SelectedAuthorizedRecords select_authorized_records(std::span<const VerifiedRecord> records, const UserRecordV1& root,
                                                    const std::set<UserId>& entry_users,
                                                    const std::set<HashValue>& admitted_deletions,
                                                    const RollbackFloor& rollback_floor,
                                                    const Authorities& previous);

EffectiveState compute_effective_state(UserRecordV1 root, HashValue root_fingerprint,
                                       std::span<const VerifiedRecord> records,
                                       const std::set<HashValue>& admitted_deletions,
                                       const RollbackFloor& rollback_floor);

// Admits user, group and grant deletions one at a time, oldest first, each
// judged against the state in which the earlier ones are in force.
std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(
    const pipeline::SelectedRoot& root, std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor);

// How much work this thread's validations have done on the authority fixed
// point: items, root flags and answers evaluated. Tests bound the work of
// validation by it rather than by time.
std::uint64_t validation_work() noexcept;

}  // namespace vornex::core::validate
