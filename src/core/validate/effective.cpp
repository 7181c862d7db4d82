#include "vornex/core/validate/effective.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include "authority_lookup.hpp"
#include "vornex/core/order.hpp"

namespace vornex::core::validate {

namespace {

using Records = std::vector<const VerifiedRecord*>;
using detail::AuthorityLookup;

template <class T, std::size_t I = 0>
consteval std::size_t variant_index() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, RecordBodyV1>, T>) {
    return I;
  } else {
    return variant_index<T, I + 1>();
  }
}

bool is_principal_deletion(const RecordBodyV1& body) {
  return std::holds_alternative<GroupDeletedRecordV1>(body) || std::holds_alternative<GrantDeletedRecordV1>(body) ||
         std::holds_alternative<UserDeletedRecordV1>(body);
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
          grant.permission);
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

EffectiveState compute_prepared(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                                const detail::HashIndex& hashes, const Prepared& prepared,
                                const std::set<HashValue>& deletions) {
  const Admitted admitted(prepared, deletions);
  SelectedAuthorizedRecords selection;
  Authorities authorities = root_authorities(root.user_id);
  bool blocked = true;
  for (int k = 1; k <= kMaxAuthorityIterations; ++k) {
    SelectedAuthorizedRecords next = select_prepared(prepared, root, admitted, authorities);
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

UserRecordV1 root_user_record(const pipeline::SelectedRoot& root) {
  return UserRecordV1{root.user_id, root.signing_public_key, root.hpke_public_key, 0};
}

bool deletion_allowed(const EffectiveState& state, const AuthorityLookup& authority, const VerifiedRecord& record) {
  if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&record.body())) {
    // The deleter must be able to create the grant it removes as well as
    // the permission it names, or naming a weaker permission would let it
    // remove a stronger grant.
    if (auto it = state.grants.find(deleted->grant_id); it != state.grants.end()) {
      return authority.can_create_permission(record.signer, deleted->permission) &&
             authority.can_create_permission(record.signer, it->second.permission);
    }
    return authority.is_root(record.signer) || authority.can_create_permission(record.signer, deleted->permission);
  }
  return authority.is_root(record.signer);
}

// Which parts of the state can move which others, over every record that
// could take part, whether or not it is admitted now. Nodes are tracked
// items (their outcome in the selection) and principals (the part of their
// authority that admission reads: the root flag and the manage entries;
// read and write lists admit nothing). An edge runs from a node to every
// node whose value may change when the first one's does.
//
// Deletion resolution uses it to tell whether admitting a deletion can
// change how any pending deletion is judged. If nothing a pending deletion
// is judged on can be reached from the deleted item, the state it would be
// judged against after a recomputation decides it exactly as the current
// one does (the unreachable part of the fixed point evolves the same way,
// iteration by iteration), so the walk goes on without a recomputation.
class Influence {
 public:
  Influence(const Prepared& prepared, const UserId& root_id) {
    for (const Records* list : {&prepared.users, &prepared.groups, &prepared.group_members, &prepared.grants}) {
      for (const VerifiedRecord* r : *list) add_record(*r, root_id);
    }
  }

  // Whether any live (non-deletion) record writes `key`: if none does, a
  // deletion of it changes nothing but its own deleted mark.
  bool has_live_records(const RecordKey& key) const { return live_keys_.contains(key); }

  std::uint32_t key_node(const RecordKey& key) { return node(keys_, key); }
  std::uint32_t principal_node(const PrincipalRefV1& principal) { return node(principals_, principal); }

  // What pending deletions are judged on, counted per node.
  void depend(std::uint32_t node, int delta) { watched_[node] += delta; }

  // Whether a node watched by a pending deletion can be reached from
  // `start`. Nodes searched since the last `forget` are known to reach
  // nothing watched (watches only ever go away), so they are not searched
  // again.
  bool reaches_watched(std::uint32_t start) {
    std::vector<std::uint32_t> stack;
    if (!searched_[start]) {
      searched_[start] = true;
      stack.push_back(start);
    }
    while (!stack.empty()) {
      const std::uint32_t n = stack.back();
      stack.pop_back();
      if (watched_[n] > 0) return true;
      for (const std::uint32_t next : edges_[n]) {
        if (!searched_[next]) {
          searched_[next] = true;
          stack.push_back(next);
        }
      }
    }
    return false;
  }

  // After a recomputation the searched nodes must be searched afresh: a
  // node reached from a later deletion may now lead somewhere watched.
  void forget() { std::fill(searched_.begin(), searched_.end(), false); }

 private:
  template <class K>
  std::uint32_t node(std::map<K, std::uint32_t>& nodes, const K& k) {
    const auto [it, inserted] = nodes.try_emplace(k, static_cast<std::uint32_t>(edges_.size()));
    if (inserted) {
      edges_.emplace_back();
      watched_.push_back(0);
      searched_.push_back(false);
    }
    return it->second;
  }

  void edge(std::uint32_t from, std::uint32_t to) { edges_[from].push_back(to); }

  std::uint32_t existence(const PrincipalRefV1& principal) {
    if (const auto* user = std::get_if<UserId>(&principal)) return key_node(RecordKey{record_key::User{*user}});
    return key_node(RecordKey{record_key::Group{std::get<GroupId>(principal)}});
  }

  void add_record(const VerifiedRecord& r, const UserId& root_id) {
    const RecordBodyV1& body = r.body();
    if (is_principal_deletion(body)) return;  // admitted by the deletion walk, never by authority
    if (const auto* user = std::get_if<UserRecordV1>(&body); user != nullptr && user->user_id == root_id) return;
    const std::uint32_t item = key_node(r.key);
    if (!std::holds_alternative<GroupMemberDeletedRecordV1>(body)) live_keys_.insert(r.key);
    // The root's authority is root whatever else it gains, so what it signs
    // is admitted in every state.
    if (r.signer != root_id) edge(principal_node(PrincipalRefV1{r.signer}), item);
    if (const auto* member = std::get_if<GroupMemberRecordV1>(&body)) {
      const PrincipalRefV1 group{member->group_id};
      edge(existence(group), item);
      edge(existence(member->member), item);
      edge(item, principal_node(member->member));
      edge(principal_node(group), principal_node(member->member));
    } else if (const auto* ended = std::get_if<GroupMemberDeletedRecordV1>(&body)) {
      edge(item, principal_node(ended->member));
    } else if (const auto* grant = std::get_if<GrantRecordV1>(&body)) {
      edge(existence(grant->grantee), item);
      if (std::holds_alternative<grant_permission::Manage>(grant->permission) ||
          std::holds_alternative<grant_permission::Root>(grant->permission)) {
        edge(item, principal_node(grant->grantee));
      }
    }
  }

  std::map<RecordKey, std::uint32_t> keys_;
  std::map<PrincipalRefV1, std::uint32_t> principals_;
  std::set<RecordKey> live_keys_;
  std::vector<std::vector<std::uint32_t>> edges_;
  std::vector<int> watched_;
  std::vector<bool> searched_;
};

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
  return Derivation(selection, root_user_id).run();
}

SelectedAuthorizedRecords select_authorized_records(std::span<const VerifiedRecord> records, const UserRecordV1& root,
                                                    const std::set<UserId>& entry_users,
                                                    const std::set<HashValue>& admitted_deletions,
                                                    const RollbackFloor& rollback_floor,
                                                    const Authorities& previous) {
  Prepared prepared = prepare(records, rollback_floor);
  prepared.entry_users = entry_users;
  return select_prepared(prepared, root, Admitted(prepared, admitted_deletions), previous);
}

EffectiveState compute_effective_state(UserRecordV1 root, HashValue root_fingerprint,
                                       std::span<const VerifiedRecord> records,
                                       const std::set<HashValue>& admitted_deletions,
                                       const RollbackFloor& rollback_floor) {
  const Prepared prepared = prepare(records, rollback_floor);
  return compute_prepared(std::move(root), std::move(root_fingerprint), records, detail::HashIndex(records), prepared,
                          admitted_deletions);
}

// Deletions are admitted one at a time, oldest first, each judged against
// the state in which the earlier ones are in force. The state is computed
// again only when an admission can change how a pending deletion is judged
// (see Influence); otherwise the walk carries on from the admitted one, as
// a fresh walk would after finding every earlier candidate refused again.
std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(
    const pipeline::SelectedRoot& root, std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const Prepared prepared = prepare(records, rollback_floor);
  const detail::HashIndex hashes(records);
  const auto compute = [&](const std::set<HashValue>& admitted) {
    return compute_prepared(root_user_record(root), root.fingerprint, records, hashes, prepared, admitted);
  };

  std::vector<const VerifiedRecord*> candidates;
  for (const VerifiedRecord& record : records) {
    if (is_principal_deletion(record.body())) candidates.push_back(&record);
  }
  if (candidates.empty()) return {compute({}), {}};
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VerifiedRecord* a, const VerifiedRecord* b) { return compare_lww(*a, *b) < 0; });

  // What each pending candidate is judged on. A root-signed deletion is
  // admitted in every state and watches nothing; with no other kind the
  // dependency graph is not needed at all.
  struct Watch {
    std::uint32_t signer = 0;
    std::optional<std::uint32_t> target;
  };
  std::vector<std::optional<Watch>> watches(candidates.size());
  std::size_t pending_non_root = 0;
  std::optional<Influence> influence;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const VerifiedRecord& c = *candidates[i];
    if (c.signer == root.user_id) continue;
    if (!influence) influence.emplace(prepared, root.user_id);
    Watch watch{influence->principal_node(PrincipalRefV1{c.signer}), std::nullopt};
    influence->depend(watch.signer, 1);
    if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body())) {
      watch.target = influence->key_node(RecordKey{record_key::Grant{deleted->grant_id}});
      influence->depend(*watch.target, 1);
    }
    watches[i] = watch;
    ++pending_non_root;
  }
  // Candidates that share a record hash are admitted together.
  std::map<HashValue, std::vector<std::size_t>> by_hash;
  for (std::size_t i = 0; i < candidates.size(); ++i) by_hash[candidates[i]->hash].push_back(i);

  std::set<HashValue> admitted;
  std::vector<bool> done(candidates.size(), false);
  EffectiveState state = compute(admitted);
  bool current = true;  // whether `state` has every admitted deletion in force
  std::optional<AuthorityLookup> authority(std::in_place, state.authorities);
  std::size_t from = 0;
  for (;;) {
    std::size_t found = candidates.size();
    for (std::size_t i = from; i < candidates.size(); ++i) {
      if (!done[i] && deletion_allowed(state, *authority, *candidates[i])) {
        found = i;
        break;
      }
    }
    if (found == candidates.size()) break;

    const VerifiedRecord& chosen = *candidates[found];
    admitted.insert(chosen.hash);
    for (const std::size_t i : by_hash[chosen.hash]) {
      done[i] = true;
      if (!watches[i]) continue;
      influence->depend(watches[i]->signer, -1);
      if (watches[i]->target) influence->depend(*watches[i]->target, -1);
      --pending_non_root;
    }

    const bool inert = pending_non_root == 0 || !influence->has_live_records(chosen.key) ||
                       !influence->reaches_watched(influence->key_node(chosen.key));
    if (inert) {
      current = false;
      from = found + 1;
      continue;
    }
    authority.reset();
    state = compute(admitted);
    authority.emplace(state.authorities);
    current = true;
    influence->forget();
    from = 0;
  }
  authority.reset();
  if (!current) state = compute(admitted);
  return {std::move(state), std::move(admitted)};
}

}  // namespace vornex::core::validate
