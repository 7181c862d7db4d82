#include "vornex/core/validate/effective.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include "authority_lookup.hpp"
#include "fixed_point.hpp"
#include "vornex/core/order.hpp"

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

// Small numbers standing for distinct selectors and manage entries, so that
// "unless an equal one is already there" is a lookup of a number. Keys
// point at values that outlive the interner.
template <class T>
class Interner {
 public:
  std::uint32_t id(const T& value) {
    const auto [it, inserted] = ids_.try_emplace(&value, static_cast<std::uint32_t>(values_.size()));
    if (inserted) values_.push_back(&value);
    return it->second;
  }
  const T& value(std::uint32_t id) const { return *values_[id]; }

 private:
  std::map<const T*, std::uint32_t, StructuralLess> ids_;
  std::vector<const T*> values_;
};

// One list of an authority being accumulated: the entries' numbers in list
// order beside the list itself, and the set of numbers already in it.
struct Column {
  std::vector<std::uint32_t> order;
  std::unordered_set<std::uint32_t> present;

  bool add(std::uint32_t id) {
    if (!present.insert(id).second) return false;
    order.push_back(id);
    return true;
  }
};

struct Accumulator {
  AuthoritySet set;
  Column read;
  Column write;
  Column manage;
};

// How far a membership has passed its group's lists on to its member.
struct Passage {
  Accumulator* group = nullptr;  // resolved once the group has an entry
  PrincipalRefV1 group_ref;
  PrincipalRefV1 member_ref;
  std::size_t read = 0;
  std::size_t write = 0;
  std::size_t manage = 0;
};

// Derives authority from a selection: grants in GrantId order, then sweeps
// over the memberships in GroupMemberId order until a sweep changes
// nothing. A sweep here visits only the memberships whose group gained
// something (or came into being) since they last passed it on, in the same
// order and within the same sweep as a full sweep would, so lists come out
// in the same order while a chain of n groups costs n visits, not n sweeps
// of every membership.
class Derivation {
 public:
  Derivation(const SelectedAuthorizedRecords& selection, const UserId& root_user_id)
      : selection_(selection), root_set_(AuthoritySet::root()) {
    Accumulator& root = acc_[PrincipalRefV1{root_user_id}];
    root.set = root_set_;
    for (const KeyspaceSelectorV1& s : root_set_.read) root.read.add(selectors_.id(s));
    for (const KeyspaceSelectorV1& s : root_set_.write) root.write.add(selectors_.id(s));
    for (const ManageKeyspaceGrantV1& m : root_set_.manage) root.manage.add(manage_.id(m));
  }

  Authorities run() {
    apply_grants();
    sweep();
    Authorities out;
    for (auto& [principal, entry] : acc_) out.emplace_hint(out.end(), principal, std::move(entry.set));
    return out;
  }

 private:
  void add_read(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.read.add(id)) {
      to.set.read.push_back(selectors_.value(id));
      grew = true;
    }
  }
  void add_write(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.write.add(id)) {
      to.set.write.push_back(selectors_.value(id));
      grew = true;
    }
  }
  void add_manage(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.manage.add(id)) {
      to.set.manage.push_back(manage_.value(id));
      grew = true;
    }
  }

  void apply_grants() {
    bool ignored = false;
    for (const auto& [id, grant] : selection_.grants) {
      Accumulator& target = acc_[grant.grantee];
      std::visit(
          [&](const auto& permission) {
            using P = std::decay_t<decltype(permission)>;
            if constexpr (std::is_same_v<P, grant_permission::Read>) {
              add_read(target, selectors_.id(permission.selector), ignored);
            } else if constexpr (std::is_same_v<P, grant_permission::Write>) {
              add_write(target, selectors_.id(permission.selector), ignored);
            } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
              add_manage(target, manage_.id(permission), ignored);
            } else {
              target.set.is_root = true;
            }
          },
          *grant.permission);
    }
  }

  // Memberships whose group is `principal`, by position.
  const std::vector<std::size_t>* memberships_of(const PrincipalRefV1& principal) const {
    const auto* group = std::get_if<GroupId>(&principal);
    if (group == nullptr) return nullptr;
    const auto it = by_group_.find(*group);
    return it == by_group_.end() ? nullptr : &it->second;
  }

  // `principal` gained something or came into being while membership
  // `at` was being visited: its memberships after `at` are visited later
  // in this sweep, the others in the next one.
  void wake(const PrincipalRefV1& principal, std::size_t at) {
    if (const auto* memberships = memberships_of(principal)) {
      for (const std::size_t m : *memberships) (m > at ? now_ : next_).insert(m);
    }
  }

  // One visit: pass on what the group has gained since the last visit.
  // Returns whether the member gained anything.
  bool visit(std::size_t at) {
    Passage& p = passages_[at];
    if (p.group == nullptr) {
      const auto it = acc_.find(p.group_ref);
      if (it == acc_.end()) return false;
      p.group = &it->second;
    }
    const Accumulator& group = *p.group;
    // Ends taken before the member's entry is touched: a group that is its
    // own member must not read what it is appending.
    const std::size_t read_end = group.read.order.size();
    const std::size_t write_end = group.write.order.size();
    const std::size_t manage_end = group.manage.order.size();
    const bool group_root = group.set.is_root;
    const auto [it, created] = acc_.try_emplace(p.member_ref);
    Accumulator& member = it->second;
    if (created) wake(p.member_ref, at);
    bool grew = false;
    for (; p.read < read_end; ++p.read) add_read(member, group.read.order[p.read], grew);
    for (; p.write < write_end; ++p.write) add_write(member, group.write.order[p.write], grew);
    for (; p.manage < manage_end; ++p.manage) add_manage(member, group.manage.order[p.manage], grew);
    if (group_root && !member.set.is_root) {
      member.set.is_root = true;
      grew = true;
    }
    if (grew) wake(p.member_ref, at);
    return grew;
  }

  void sweep() {
    passages_.reserve(selection_.group_members.size());
    for (const auto& [id, member] : selection_.group_members) {
      by_group_[member.group_id].push_back(passages_.size());
      passages_.push_back(Passage{nullptr, PrincipalRefV1{member.group_id}, member.member});
    }
    // The first sweep visits every membership whose group has an entry by
    // the time the sweep reaches it.
    for (std::size_t m = 0; m < passages_.size(); ++m) {
      if (acc_.contains(passages_[m].group_ref)) now_.insert(m);
    }
    for (;;) {
      bool changed = false;
      while (!now_.empty()) {
        const std::size_t at = *now_.begin();
        now_.erase(now_.begin());
        changed |= visit(at);
      }
      // A sweep that only brought entries into being ends the derivation,
      // as a full sweep that changed nothing would.
      if (!changed) break;
      now_.swap(next_);
      next_.clear();
    }
  }

  const SelectedAuthorizedRecords& selection_;
  const AuthoritySet root_set_;  // the values the root's first entries point at
  Interner<KeyspaceSelectorV1> selectors_;
  Interner<ManageKeyspaceGrantV1> manage_;
  std::map<PrincipalRefV1, Accumulator> acc_;
  std::vector<Passage> passages_;
  std::map<GroupId, std::vector<std::size_t>> by_group_;
  std::set<std::size_t> now_;
  std::set<std::size_t> next_;
};

}  // namespace

namespace detail {

bool is_principal_deletion(const RecordBodyV1& body) {
  return std::holds_alternative<GroupDeletedRecordV1>(body) || std::holds_alternative<GrantDeletedRecordV1>(body) ||
         std::holds_alternative<UserDeletedRecordV1>(body);
}

Prepared prepare(std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const detail::KeySet floor(rollback_floor);
  Prepared out;
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

namespace {

// Notes iteration k's grants and memberships against iteration k - 1's:
// a run goes on only while an item keeps the same value. All the maps are
// ordered by id, so each is met in step with the others.
template <class Id, class Value>
void note_present(std::map<Id, Presence>& seen, const std::map<Id, Value>& before, const std::map<Id, Value>& now,
                  std::uint8_t k) {
  auto hint = seen.begin();
  auto was = before.begin();
  for (const auto& [id, value] : now) {
    while (hint != seen.end() && hint->first < id) ++hint;
    if (hint == seen.end() || id < hint->first) hint = seen.emplace_hint(hint, id, Presence{});
    while (was != before.end() && was->first < id) ++was;
    const bool same = was != before.end() && was->first == id && was->second == value;
    Presence& p = hint->second;
    if (p.first == 0) p.first = k;
    if (!same) p.since = k;
    p.last = k;
  }
}

void record_presence(History& history, const SelectedAuthorizedRecords& before, const SelectedAuthorizedRecords& now,
                     std::uint8_t k) {
  note_present(history.grants, before.grants, now.grants, k);
  note_present(history.group_members, before.group_members, now.group_members, k);
  history.iterations = k;
}

}  // namespace

namespace {

thread_local std::uint64_t g_fixed_points = 0;

}  // namespace

EffectiveState compute_prepared(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                                const HashIndex& hashes, const Prepared& prepared, const std::set<HashValue>& deletions,
                                History* history) {
  ++g_fixed_points;
  const Admitted admitted(prepared, deletions);
  SelectedAuthorizedRecords selection;
  Authorities authorities = root_authorities(root.user_id);
  bool blocked = true;
  for (int k = 1; k <= kMaxAuthorityIterations; ++k) {
    SelectedAuthorizedRecords next = select_prepared(prepared, root, admitted, authorities);
    if (history != nullptr) record_presence(*history, selection, next, static_cast<std::uint8_t>(k));
    // The authorities are a function of the selection, so equal selections
    // give equal authorities: only the selection needs comparing.
    const bool settled = next == selection;
    selection = std::move(next);
    if (settled) {
      blocked = false;
      break;
    }
    authorities = derive_authorities(selection, root.user_id);
  }

  EffectiveState state;
  ConflictSlots slots = std::move(selection.conflicts);
  const AuthorityLookup authority(authorities);

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
                                  : detail::materialize_conflicts(std::move(slots), records, hashes);
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


Authorities root_authorities(const UserId& root_user_id) {
  Authorities out;
  out.emplace(PrincipalRefV1{root_user_id}, AuthoritySet::root());
  return out;
}

AuthoritySet signer_auth(const Authorities& authorities, const UserId& signer) {
  return authority_in(authorities, signer);
}

Authorities derive_authorities(const SelectedAuthorizedRecords& selection, const UserId& root_user_id) {
  return Derivation(selection, root_user_id).run();
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
  return detail::compute_prepared(std::move(root), std::move(root_fingerprint), records, detail::HashIndex(records), prepared,
                          admitted_deletions);
}

std::uint64_t fixed_points_computed() noexcept { return detail::g_fixed_points; }

}  // namespace vornex::core::validate
