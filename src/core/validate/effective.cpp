#include "vornex/core/validate/effective.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <type_traits>
#include <variant>

#include "authority_lookup.hpp"
#include "fixed_point.hpp"
#include "sequence.hpp"
#include "vornex/core/order.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

using Records = detail::RecordRefs;
using detail::AuthorityLookup;
using detail::is_principal_deletion;
using detail::Prepared;

template <class T, std::size_t I = 0>
consteval std::size_t variant_index() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, RecordBodyV1>, T>) {
    return I;
  } else {
    return variant_index<T, I + 1>();
  }
}

bool principal_exists(const PrincipalRefV1& principal, const SelectedAuthorizedRecords& s) {
  if (const auto* user = std::get_if<UserId>(&principal)) return s.users.contains(*user);
  return s.groups.contains(std::get<GroupId>(principal));
}

// The admitted deletions among the prepared records, found once per state
// rather than looked up by hash in every iteration.
class Admitted {
 public:
  Admitted(const Prepared& prepared, const std::set<HashValue>& deletions) {
    if (deletions.empty()) return;
    for (const Records* list : {&prepared.users, &prepared.groups, &prepared.grants}) {
      count_work(list->size());
      for (const VerifiedRecord* r : *list) {
        if (is_principal_deletion(r->body()) && deletions.contains(r->hash)) records_.push_back(r);
      }
    }
    std::sort(records_.begin(), records_.end());
  }
  bool contains(const VerifiedRecord* r) const { return std::binary_search(records_.begin(), records_.end(), r); }

 private:
  std::vector<const VerifiedRecord*> records_;
};

SelectedAuthorizedRecords select_prepared(const Prepared& prepared, const UserRecordV1& root,
                                          const Admitted& deletions, const Authorities& previous) {
  const AuthorityLookup authority(previous);
  SelectedAuthorizedRecords s;
  const UserId& root_id = root.user_id;
  count_work(prepared.users.size() + prepared.groups.size() + prepared.group_members.size() + prepared.grants.size());

  {
    detail::Competition<UserId> users;
    for (const VerifiedRecord* r : prepared.users) {
      if (const auto* user = std::get_if<UserRecordV1>(&r->body())) {
        if (user->user_id != root_id && authority.is_root(r->signer)) users.add(user->user_id, *r);
      } else if (const auto* deleted = std::get_if<UserDeletedRecordV1>(&r->body())) {
        if (deleted->user_id != root_id && deletions.contains(r)) users.add(deleted->user_id, *r);
      }
    }
    s.users.emplace(root_id, root);
    users.decide(s.conflicts, [&](const UserId& id, const VerifiedRecord& winner) {
      if (const auto* user = std::get_if<UserRecordV1>(&winner.body())) {
        if (prepared.entry_users.contains(id)) s.users.emplace_hint(s.users.end(), id, *user);
      } else {
        s.deleted_users.insert(s.deleted_users.end(), id);
      }
    });
  }

  {
    detail::Competition<GroupId> groups;
    for (const VerifiedRecord* r : prepared.groups) {
      if (const auto* group = std::get_if<GroupRecordV1>(&r->body())) {
        if (authority.is_root(r->signer)) groups.add(group->group_id, *r);
      } else if (const auto* deleted = std::get_if<GroupDeletedRecordV1>(&r->body())) {
        if (deletions.contains(r)) groups.add(deleted->group_id, *r);
      }
    }
    groups.decide(s.conflicts, [&](const GroupId& id, const VerifiedRecord& winner) {
      if (const auto* group = std::get_if<GroupRecordV1>(&winner.body())) {
        s.groups.emplace_hint(s.groups.end(), id, *group);
      } else {
        s.deleted_groups.insert(s.deleted_groups.end(), id);
      }
    });
  }

  {
    detail::Competition<GroupMemberId> members;
    for (const VerifiedRecord* r : prepared.group_members) {
      if (!authority.is_root(r->signer)) continue;
      if (const auto* member = std::get_if<GroupMemberRecordV1>(&r->body())) {
        if (s.groups.contains(member->group_id) && principal_exists(member->member, s)) {
          members.add(member->group_member_id, *r);
        }
      } else if (const auto* deleted = std::get_if<GroupMemberDeletedRecordV1>(&r->body())) {
        members.add(deleted->group_member_id, *r);
      }
    }
    members.decide(s.conflicts, [&](const GroupMemberId& id, const VerifiedRecord& winner) {
      if (const auto* member = std::get_if<GroupMemberRecordV1>(&winner.body())) {
        s.group_members.emplace_hint(s.group_members.end(), id, *member);
      }
    });
  }

  {
    detail::Competition<GrantId> grants;
    for (const VerifiedRecord* r : prepared.grants) {
      if (const auto* grant = std::get_if<GrantRecordV1>(&r->body())) {
        if (principal_exists(grant->grantee, s) && authority.can_create_permission(r->signer, grant->permission)) {
          grants.add(grant->grant_id, *r);
        }
      } else if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&r->body())) {
        if (deletions.contains(r)) grants.add(deleted->grant_id, *r);
      }
    }
    grants.decide(s.conflicts, [&](const GrantId& id, const VerifiedRecord& winner) {
      if (const auto* grant = std::get_if<GrantRecordV1>(&winner.body())) {
        s.grants.emplace_hint(s.grants.end(), id, *grant);
      } else {
        s.deleted_grants.insert(s.deleted_grants.end(), id);
      }
    });
  }
  return s;
}

}  // namespace

namespace detail {

bool is_principal_deletion(const RecordBodyV1& body) {
  return std::holds_alternative<GroupDeletedRecordV1>(body) || std::holds_alternative<GrantDeletedRecordV1>(body) ||
         std::holds_alternative<UserDeletedRecordV1>(body);
}

Prepared prepare(std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const detail::KeySet floor(rollback_floor);
  Prepared out;
  count_work(records.size());
  for (const VerifiedRecord& record : records) {
    if (floor.contains(record.key)) continue;
    switch (record.body().index()) {
      case variant_index<UserRecordV1>():
      case variant_index<UserDeletedRecordV1>():
        out.users.push_back(&record);
        break;
      case variant_index<GroupRecordV1>():
      case variant_index<GroupDeletedRecordV1>():
        out.groups.push_back(&record);
        break;
      case variant_index<GroupMemberRecordV1>():
      case variant_index<GroupMemberDeletedRecordV1>():
        out.group_members.push_back(&record);
        break;
      case variant_index<GrantRecordV1>():
      case variant_index<GrantDeletedRecordV1>():
        out.grants.push_back(&record);
        break;
      case variant_index<UserHandleRecordV1>():
        if (std::holds_alternative<record_key::UserHandle>(record.key)) out.user_handles.push_back(&record);
        break;
      case variant_index<VaultHandleRecordV1>():
        if (std::holds_alternative<record_key::VaultHandle>(record.key)) out.vault_handles.push_back(&record);
        break;
      case variant_index<EntryPointRecordV1>():
        if (const auto* key = std::get_if<record_key::EntryPoint>(&record.key)) {
          out.entry_points.push_back(&record);
          out.entry_users.insert(key->user_id);
        }
        break;
      default:
        break;
    }
  }
  return out;
}

EffectiveState assemble(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                        const Prepared& prepared, SelectedAuthorizedRecords selection, bool blocked) {
  Authorities authorities = derive_authorities(selection, root.user_id);
  EffectiveState state;
  ConflictSlots slots = std::move(selection.conflicts);
  const AuthorityLookup authority(authorities);
  count_work(prepared.user_handles.size() + prepared.vault_handles.size() + prepared.entry_points.size());

  {
    detail::Competition<UserHandleId> handles;
    for (const VerifiedRecord* r : prepared.user_handles) {
      const auto& body = std::get<UserHandleRecordV1>(r->body());
      if (authority.is_root(r->signer) && selection.users.contains(body.user_id)) {
        handles.add(std::get<record_key::UserHandle>(r->key).handle_id, *r);
      }
    }
    handles.decide(slots, [&](const UserHandleId& id, const VerifiedRecord& winner) {
      state.user_handles.emplace(id, std::get<UserHandleRecordV1>(winner.body()));
    });
  }
  {
    detail::Competition<VaultHandleId> handles;
    for (const VerifiedRecord* r : prepared.vault_handles) {
      if (authority.is_root(r->signer)) handles.add(std::get<record_key::VaultHandle>(r->key).handle_id, *r);
    }
    handles.decide(slots, [&](const VaultHandleId& id, const VerifiedRecord& winner) {
      state.vault_handles.emplace(id, std::get<VaultHandleRecordV1>(winner.body()));
    });
  }
  {
    detail::Competition<UserId> entries;
    for (const VerifiedRecord* r : prepared.entry_points) {
      const UserId& user = std::get<record_key::EntryPoint>(r->key).user_id;
      if (selection.users.contains(user)) entries.add(user, *r);
    }
    entries.decide(slots, [&](const UserId& id, const VerifiedRecord& winner) {
      state.entry_points.emplace(id, std::get<EntryPointRecordV1>(winner.body()));
    });
  }

  state.conflicts = slots.empty() ? std::map<RecordKey, ConflictReport>{}
                                  : detail::materialize_conflicts(std::move(slots), records, HashIndex(records));
  state.root_user_id = root.user_id;
  state.root_fingerprint = std::move(root_fingerprint);
  state.users = std::move(selection.users);
  state.groups = std::move(selection.groups);
  state.group_members = std::move(selection.group_members);
  state.grants = std::move(selection.grants);
  state.deleted_users = std::move(selection.deleted_users);
  state.deleted_groups = std::move(selection.deleted_groups);
  state.deleted_grants = std::move(selection.deleted_grants);
  state.authorities = std::move(authorities);
  state.blocked = blocked;
  return state;
}

}  // namespace detail


Authorities root_authorities(const UserId& root_user_id) { return Authorities::root_only(root_user_id); }

AuthoritySet signer_auth(const Authorities& authorities, const UserId& signer) {
  return authority_in(authorities, signer);
}

Authorities derive_authorities(const SelectedAuthorizedRecords& selection, const UserId& root_user_id) {
  return Authorities::derive(root_user_id, selection.grants, selection.group_members);
}

SelectedAuthorizedRecords select_authorized_records(std::span<const VerifiedRecord> records, const UserRecordV1& root,
                                                    const std::set<UserId>& entry_users,
                                                    const std::set<HashValue>& admitted_deletions,
                                                    const RollbackFloor& rollback_floor,
                                                    const Authorities& previous) {
  Prepared prepared = detail::prepare(records, rollback_floor);
  prepared.entry_users = entry_users;
  return select_prepared(prepared, root, Admitted(prepared, admitted_deletions), previous);
}

EffectiveState compute_effective_state(UserRecordV1 root, HashValue root_fingerprint,
                                       std::span<const VerifiedRecord> records,
                                       const std::set<HashValue>& admitted_deletions,
                                       const RollbackFloor& rollback_floor) {
  const Prepared prepared = detail::prepare(records, rollback_floor);
  std::vector<const VerifiedRecord*> deletions;
  count_work(records.size());
  for (const VerifiedRecord& r : records) {
    if (is_principal_deletion(r.body()) && admitted_deletions.contains(r.hash)) deletions.push_back(&r);
  }
  detail::Sequence sequence(prepared, root);
  sequence.compute(deletions);
  return detail::assemble(std::move(root), std::move(root_fingerprint), records, prepared, sequence.selection(),
                          sequence.blocked());
}

std::uint64_t validation_work() noexcept { return detail::sequence_work(); }

}  // namespace vornex::core::validate
