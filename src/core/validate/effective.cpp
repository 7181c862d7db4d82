#include "vornex/core/validate/effective.hpp"

#include <algorithm>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include "vornex/core/hash.hpp"

namespace vornex::core::validate {

namespace {

using Records = std::vector<const VerifiedRecord*>;

template <class T, std::size_t I = 0>
consteval std::size_t variant_index() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, RecordBodyV1>, T>) {
    return I;
  } else {
    return variant_index<T, I + 1>();
  }
}

// The records each selection pass looks at, filtered once (rollback-floor
// keys dropped, slice order kept) so that an iteration walks only the
// principal graph and never the secrets.
struct Prepared {
  Records users;          // User, UserDeleted
  Records groups;         // Group, GroupDeleted
  Records group_members;  // GroupMember, GroupMemberDeleted
  Records grants;         // Grant, GrantDeleted
  Records user_handles;
  Records vault_handles;
  Records entry_points;
  std::set<UserId> entry_users;
};

Prepared prepare(std::span<const VerifiedRecord> records, const RollbackFloor& floor) {
  Prepared out;
  for (const VerifiedRecord& record : records) {
    if (!floor.empty() && floor.contains(record.key)) continue;
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

bool is_root_signer(const Authorities& authorities, const VerifiedRecord& record) {
  return authority_in(authorities, record.signer).is_root;
}

bool principal_exists(const PrincipalRefV1& principal, const SelectedAuthorizedRecords& s) {
  if (const auto* user = std::get_if<UserId>(&principal)) return s.users.contains(*user);
  return s.groups.contains(std::get<GroupId>(principal));
}

SelectedAuthorizedRecords select_prepared(const Prepared& prepared, const UserRecordV1& root,
                                          const std::set<HashValue>& deletions, const Authorities& previous) {
  SelectedAuthorizedRecords s;
  const UserId& root_id = root.user_id;

  {
    detail::Competition<UserId> users;
    for (const VerifiedRecord* r : prepared.users) {
      if (const auto* user = std::get_if<UserRecordV1>(&r->body())) {
        if (user->user_id != root_id && is_root_signer(previous, *r)) users.add(user->user_id, *r);
      } else if (const auto* deleted = std::get_if<UserDeletedRecordV1>(&r->body())) {
        if (deleted->user_id != root_id && deletions.contains(r->hash)) users.add(deleted->user_id, *r);
      }
    }
    s.users.emplace(root_id, root);
    users.decide(s.conflicts, [&](const UserId& id, const VerifiedRecord& winner) {
      if (const auto* user = std::get_if<UserRecordV1>(&winner.body())) {
        if (prepared.entry_users.contains(id)) s.users.emplace(id, *user);
      } else {
        s.deleted_users.insert(id);
      }
    });
  }

  {
    detail::Competition<GroupId> groups;
    for (const VerifiedRecord* r : prepared.groups) {
      if (const auto* group = std::get_if<GroupRecordV1>(&r->body())) {
        if (is_root_signer(previous, *r)) groups.add(group->group_id, *r);
      } else if (const auto* deleted = std::get_if<GroupDeletedRecordV1>(&r->body())) {
        if (deletions.contains(r->hash)) groups.add(deleted->group_id, *r);
      }
    }
    groups.decide(s.conflicts, [&](const GroupId& id, const VerifiedRecord& winner) {
      if (const auto* group = std::get_if<GroupRecordV1>(&winner.body())) {
        s.groups.emplace(id, *group);
      } else {
        s.deleted_groups.insert(id);
      }
    });
  }

  {
    detail::Competition<GroupMemberId> members;
    for (const VerifiedRecord* r : prepared.group_members) {
      if (!is_root_signer(previous, *r)) continue;
      if (const auto* member = std::get_if<GroupMemberRecordV1>(&r->body())) {
        if (s.groups.contains(member->group_id) && principal_exists(member->member, s)) {
          members.add(member->group_member_id, *r);
        }
      } else if (const auto* deleted = std::get_if<GroupMemberDeletedRecordV1>(&r->body())) {
        members.add(deleted->group_member_id, *r);
      }
    }
    members.decide(s.conflicts, [&](const GroupMemberId& id, const VerifiedRecord& winner) {
      if (const auto* member = std::get_if<GroupMemberRecordV1>(&winner.body())) s.group_members.emplace(id, *member);
    });
  }

  {
    detail::Competition<GrantId> grants;
    for (const VerifiedRecord* r : prepared.grants) {
      if (const auto* grant = std::get_if<GrantRecordV1>(&r->body())) {
        if (principal_exists(grant->grantee, s) &&
            authority_in(previous, r->signer).can_create_permission(grant->permission)) {
          grants.add(grant->grant_id, *r);
        }
      } else if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&r->body())) {
        if (deletions.contains(r->hash)) grants.add(deleted->grant_id, *r);
      }
    }
    grants.decide(s.conflicts, [&](const GrantId& id, const VerifiedRecord& winner) {
      if (const auto* grant = std::get_if<GrantRecordV1>(&winner.body())) {
        s.grants.emplace(id, *grant);
      } else {
        s.deleted_grants.insert(id);
      }
    });
  }
  return s;
}

// Authority being accumulated for one principal, with hash sets beside the
// lists so that "unless already there" is not a scan.
struct Accumulator {
  AuthoritySet set;
  std::unordered_set<KeyspaceSelectorV1> read;
  std::unordered_set<KeyspaceSelectorV1> write;
  std::unordered_set<ManageKeyspaceGrantV1, StructuralHash<ManageKeyspaceGrantV1>> manage;

  bool add_read(const KeyspaceSelectorV1& selector) {
    if (!read.insert(selector).second) return false;
    set.read.push_back(selector);
    return true;
  }
  bool add_write(const KeyspaceSelectorV1& selector) {
    if (!write.insert(selector).second) return false;
    set.write.push_back(selector);
    return true;
  }
  bool add_manage(const ManageKeyspaceGrantV1& grant) {
    if (!manage.insert(grant).second) return false;
    set.manage.push_back(grant);
    return true;
  }
};

EffectiveState compute_prepared(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                                const Prepared& prepared, const std::set<HashValue>& deletions) {
  SelectedAuthorizedRecords selection;
  Authorities authorities = root_authorities(root.user_id);
  bool blocked = true;
  for (int k = 1; k <= kMaxAuthorityIterations; ++k) {
    SelectedAuthorizedRecords next = select_prepared(prepared, root, deletions, authorities);
    Authorities next_authorities = derive_authorities(next, root.user_id);
    const bool settled = next == selection && next_authorities == authorities;
    selection = std::move(next);
    authorities = std::move(next_authorities);
    if (settled) {
      blocked = false;
      break;
    }
  }

  EffectiveState state;
  ConflictSlots slots = std::move(selection.conflicts);

  {
    detail::Competition<UserHandleId> handles;
    for (const VerifiedRecord* r : prepared.user_handles) {
      const auto& body = std::get<UserHandleRecordV1>(r->body());
      if (is_root_signer(authorities, *r) && selection.users.contains(body.user_id)) {
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
      if (is_root_signer(authorities, *r)) handles.add(std::get<record_key::VaultHandle>(r->key).handle_id, *r);
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

  state.conflicts = materialize_conflicts(std::move(slots), records);
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

UserRecordV1 root_user_record(const pipeline::SelectedRoot& root) {
  return UserRecordV1{root.user_id, root.signing_public_key, root.hpke_public_key, 0};
}

bool deletion_allowed(const EffectiveState& state, const VerifiedRecord& record) {
  const AuthoritySet& authority = state.authority_ref(record.signer);
  if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&record.body())) {
    // The deleter must be able to create the grant it removes as well as
    // the permission it names, or naming a weaker permission would let it
    // remove a stronger grant.
    if (auto it = state.grants.find(deleted->grant_id); it != state.grants.end()) {
      return authority.can_create_permission(deleted->permission) &&
             authority.can_create_permission(it->second.permission);
    }
    return authority.is_root || authority.can_create_permission(deleted->permission);
  }
  return authority.is_root;
}

}  // namespace

Authorities root_authorities(const UserId& root_user_id) {
  Authorities out;
  out.emplace(PrincipalRefV1{root_user_id}, AuthoritySet::root());
  return out;
}

AuthoritySet signer_auth(const Authorities& authorities, const UserId& signer) {
  return authority_in(authorities, signer);
}

Authorities derive_authorities(const SelectedAuthorizedRecords& selection, const UserId& root_user_id) {
  std::map<PrincipalRefV1, Accumulator> acc;
  acc[PrincipalRefV1{root_user_id}].set = AuthoritySet::root();

  for (const auto& [id, grant] : selection.grants) {
    Accumulator& target = acc[grant.grantee];
    std::visit(
        [&](const auto& permission) {
          using P = std::decay_t<decltype(permission)>;
          if constexpr (std::is_same_v<P, grant_permission::Read>) {
            target.add_read(permission.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Write>) {
            target.add_write(permission.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
            target.add_manage(permission);
          } else {
            target.set.is_root = true;
          }
        },
        grant.permission);
  }

  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [id, member] : selection.group_members) {
      const PrincipalRefV1 group_ref{member.group_id};
      auto group_it = acc.find(group_ref);
      if (group_it == acc.end()) continue;
      // A group that is its own member gains nothing from itself.
      if (member.member == group_ref) continue;
      const AuthoritySet& from = group_it->second.set;
      Accumulator& to = acc[member.member];
      for (const auto& selector : from.read) changed |= to.add_read(selector);
      for (const auto& selector : from.write) changed |= to.add_write(selector);
      for (const auto& grant : from.manage) changed |= to.add_manage(grant);
      if (from.is_root && !to.set.is_root) {
        to.set.is_root = true;
        changed = true;
      }
    }
  }

  Authorities out;
  for (auto& [principal, entry] : acc) out.emplace_hint(out.end(), principal, std::move(entry.set));
  return out;
}

SelectedAuthorizedRecords select_authorized_records(std::span<const VerifiedRecord> records, const UserRecordV1& root,
                                                    const std::set<UserId>& entry_users,
                                                    const std::set<HashValue>& admitted_deletions,
                                                    const RollbackFloor& rollback_floor,
                                                    const Authorities& previous) {
  Prepared prepared = prepare(records, rollback_floor);
  prepared.entry_users = entry_users;
  return select_prepared(prepared, root, admitted_deletions, previous);
}

EffectiveState compute_effective_state(UserRecordV1 root, HashValue root_fingerprint,
                                       std::span<const VerifiedRecord> records,
                                       const std::set<HashValue>& admitted_deletions,
                                       const RollbackFloor& rollback_floor) {
  const Prepared prepared = prepare(records, rollback_floor);
  return compute_prepared(std::move(root), std::move(root_fingerprint), records, prepared, admitted_deletions);
}

std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(
    const pipeline::SelectedRoot& root, std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const Prepared prepared = prepare(records, rollback_floor);

  std::vector<const VerifiedRecord*> candidates;
  for (const VerifiedRecord& record : records) {
    if (std::holds_alternative<GroupDeletedRecordV1>(record.body()) ||
        std::holds_alternative<GrantDeletedRecordV1>(record.body()) ||
        std::holds_alternative<UserDeletedRecordV1>(record.body())) {
      candidates.push_back(&record);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VerifiedRecord* a, const VerifiedRecord* b) { return compare_lww(*a, *b) < 0; });

  std::set<HashValue> admitted;
  for (;;) {
    EffectiveState state = compute_prepared(root_user_record(root), root.fingerprint, records, prepared, admitted);
    const VerifiedRecord* next = nullptr;
    for (const VerifiedRecord* candidate : candidates) {
      if (admitted.contains(candidate->hash)) continue;
      if (deletion_allowed(state, *candidate)) {
        next = candidate;
        break;
      }
    }
    if (next == nullptr) return {std::move(state), std::move(admitted)};
    admitted.insert(next->hash);
  }
}

}  // namespace vornex::core::validate
