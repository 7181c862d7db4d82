#include "reference_validate.hpp"

#include <algorithm>
#include <expected>
#include <type_traits>
#include <variant>

#include "cord/codec.hpp"
#include "vornex/core/validate/structure.hpp"

namespace vornex::test::reference {

using namespace core;
using core::validate::ConflictReport;
using core::validate::ConflictSlot;
using core::validate::EffectiveState;
using core::validate::HashedRecord;
using core::validate::ValidationIssue;
using core::validate::ValidationReport;
using core::validate::ValidationWarning;
using core::validate::VerifiedHashes;
using core::validate::VerifiedRecord;
using core::validate::Watermarks;
using core::validate::pipeline::SelectedRoot;
namespace issue = core::validate::issue;
namespace warning = core::validate::warning;

namespace {

constexpr int kMaxAuthorityIterations = 64;
constexpr std::uint64_t kCurrentFormatVersion = 1;

template <class T>
const T* body_as(const VerifiedRecord& r) {
  return std::get_if<T>(&r.body());
}

template <class T>
bool is(const VerifiedRecord& r) {
  return body_as<T>(r) != nullptr;
}

bool in_floor(const Floor& floor, const VerifiedRecord& r) { return floor.contains(r.key); }

// The Cord encoding of an envelope, or the empty key when it fails.
cord::Bytes order_key(const VaultRecordV1& record) { return cord::serialize(record).value_or(cord::Bytes{}); }

// Stable sort by encoding, then adjacent equal envelopes kept once.
std::vector<VaultRecordV1> sorted_candidates(std::vector<VaultRecordV1> found) {
  if (found.size() >= 2) {
    std::stable_sort(found.begin(), found.end(), [](const VaultRecordV1& a, const VaultRecordV1& b) {
      return order_key(a) < order_key(b);
    });
  }
  std::vector<VaultRecordV1> out;
  for (VaultRecordV1& record : found) {
    if (!out.empty() && out.back() == record) continue;
    out.push_back(std::move(record));
  }
  return out;
}

// The choice among competing writes of one pass: per id, only the
// candidates at the highest counter are kept, in slice order.
template <class Id>
class Contest {
 public:
  void add(const Id& id, const VerifiedRecord& record) {
    std::vector<const VerifiedRecord*>& list = kept_[id];
    if (list.empty()) {
      list.push_back(&record);
      return;
    }
    const std::uint64_t c = record_counter(record.body());
    const std::uint64_t top = record_counter(list.front()->body());
    if (c > top) {
      list.clear();
      list.push_back(&record);
    } else if (c == top) {
      list.push_back(&record);
    }
  }

  // In ascending id order: equal bodies give `win(id, winner)`, differing
  // bodies a slot under the first candidate's key.
  template <class Win>
  void decide(Slots& slots, Win&& win) const {
    for (const auto& [id, list] : kept_) {
      bool all_equal = true;
      for (const VerifiedRecord* candidate : list) {
        if (!(candidate->body() == list.front()->body())) all_equal = false;
      }
      if (all_equal) {
        const VerifiedRecord* winner = list.front();
        for (const VerifiedRecord* candidate : list) {
          if (candidate->hash < winner->hash) winner = candidate;
        }
        win(id, *winner);
        continue;
      }
      ConflictSlot slot;
      for (const VerifiedRecord* candidate : list) slot.hashes.push_back(candidate->hash);
      std::sort(slot.hashes.begin(), slot.hashes.end());
      slot.hashes.erase(std::unique(slot.hashes.begin(), slot.hashes.end()), slot.hashes.end());
      slot.counter = record_counter(list.front()->body());
      slots.insert_or_assign(list.front()->key, std::move(slot));
    }
  }

 private:
  std::map<Id, std::vector<const VerifiedRecord*>> kept_;
};

bool principal_exists(const PrincipalRefV1& principal, const Selection& s) {
  if (const auto* user = std::get_if<UserId>(&principal)) return s.users.contains(*user);
  return s.groups.contains(std::get<GroupId>(principal));
}

// Appends unless an equal selector is already in the list.
bool append_unless_present(std::vector<KeyspaceSelectorV1>& list, const KeyspaceSelectorV1& selector) {
  for (const KeyspaceSelectorV1& there : list) {
    if (there == selector) return false;
  }
  list.push_back(selector);
  return true;
}

UserRecordV1 root_user_record(const SelectedRoot& root) {
  return UserRecordV1{root.user_id, root.signing_public_key, root.hpke_public_key, 0};
}

const SecretSelectorV1* secret_selector_of(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return &secret->selector;
  if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&body)) return &deleted->selector;
  return nullptr;
}

const SecretId* secret_id_of(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return &secret->secret_id;
  if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&body)) return &deleted->secret_id;
  return nullptr;
}

// Root, or a write selector or a manage entry's selector matches; read
// selectors do not count.
bool may_write(const AuthoritySet& authority, const SecretSelectorV1& selector) {
  if (authority.is_root) return true;
  for (const KeyspaceSelectorV1& pattern : authority.write) {
    if (selector_matches(pattern, selector)) return true;
  }
  for (const ManageKeyspaceGrantV1& entry : authority.manage) {
    if (selector_matches(entry.selector, selector)) return true;
  }
  return false;
}

// The principal's entry, or the empty set; what authority_for_user copies.
const AuthoritySet& authority_of(const Authorities& authorities, const UserId& user) {
  static const AuthoritySet kEmpty{};
  const auto it = authorities.find(PrincipalRefV1{user});
  return it == authorities.end() ? kEmpty : it->second;
}

// The same of a state this engine made, whose sets are the literal ones.
const AuthoritySet& authority_of(const core::validate::Authorities& authorities, const UserId& user) {
  static const AuthoritySet kEmpty{};
  const AuthoritySet* set = authorities.find(PrincipalRefV1{user});
  return set == nullptr ? kEmpty : *set;
}

ValidationReport refused(ValidationIssue found) {
  ValidationReport report;
  report.effective.blocked = true;
  report.issues.push_back(std::move(found));
  return report;
}

std::vector<ValidationWarning> warnings_for(std::uint64_t skipped) {
  if (skipped == 0) return {};
  return {warning::UndecodableRecords{skipped}};
}

}  // namespace

std::strong_ordering compare_lww(const VerifiedRecord& a, const VerifiedRecord& b) {
  const std::uint64_t ca = record_counter(a.body());
  const std::uint64_t cb = record_counter(b.body());
  if (ca != cb) return ca < cb ? std::strong_ordering::less : std::strong_ordering::greater;
  if (!std::ranges::equal(a.signer.bytes(), b.signer.bytes())) {
    return std::ranges::lexicographical_compare(a.signer.bytes(), b.signer.bytes()) ? std::strong_ordering::less
                                                                                     : std::strong_ordering::greater;
  }
  if (!std::ranges::equal(a.hash.bytes(), b.hash.bytes())) {
    return std::ranges::lexicographical_compare(a.hash.bytes(), b.hash.bytes()) ? std::strong_ordering::less
                                                                                 : std::strong_ordering::greater;
  }
  return std::strong_ordering::equal;
}

Authorities root_authorities(const UserId& root_user_id) {
  Authorities out;
  out.emplace(PrincipalRefV1{root_user_id}, AuthoritySet::root());
  return out;
}

AuthoritySet authority_for_user(const Authorities& authorities, const UserId& user) {
  return authority_of(authorities, user);
}

Selection select_authorized_records(std::span<const VerifiedRecord> records, const UserRecordV1& root,
                                    const std::set<UserId>& entry_users, const std::set<HashValue>& admitted_deletions,
                                    const Floor& floor, const Authorities& previous) {
  Selection s;
  const UserId& root_id = root.user_id;
  const auto root_signer = [&](const VerifiedRecord& r) { return authority_of(previous, r.signer).is_root; };
  const auto in_d = [&](const VerifiedRecord& r) { return admitted_deletions.contains(r.hash); };

  // Pass 1, users.
  {
    Contest<UserId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      if (const auto* user = body_as<UserRecordV1>(r)) {
        if (user->user_id != root_id && root_signer(r)) contest.add(user->user_id, r);
      } else if (const auto* deleted = body_as<UserDeletedRecordV1>(r)) {
        if (deleted->user_id != root_id && in_d(r)) contest.add(deleted->user_id, r);
      }
    }
    s.users.emplace(root_id, root);
    contest.decide(s.conflicts, [&](const UserId& id, const VerifiedRecord& winner) {
      if (const auto* user = body_as<UserRecordV1>(winner)) {
        if (entry_users.contains(id)) s.users.emplace(id, *user);
      } else {
        s.deleted_users.insert(id);
      }
    });
  }

  // Pass 2, groups.
  {
    Contest<GroupId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      if (const auto* group = body_as<GroupRecordV1>(r)) {
        if (root_signer(r)) contest.add(group->group_id, r);
      } else if (const auto* deleted = body_as<GroupDeletedRecordV1>(r)) {
        if (in_d(r)) contest.add(deleted->group_id, r);
      }
    }
    contest.decide(s.conflicts, [&](const GroupId& id, const VerifiedRecord& winner) {
      if (const auto* group = body_as<GroupRecordV1>(winner)) {
        s.groups.emplace(id, *group);
      } else {
        s.deleted_groups.insert(id);
      }
    });
  }

  // Pass 3, group members.
  {
    Contest<GroupMemberId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      if (const auto* member = body_as<GroupMemberRecordV1>(r)) {
        if (root_signer(r) && s.groups.contains(member->group_id) && principal_exists(member->member, s)) {
          contest.add(member->group_member_id, r);
        }
      } else if (const auto* deleted = body_as<GroupMemberDeletedRecordV1>(r)) {
        if (root_signer(r)) contest.add(deleted->group_member_id, r);
      }
    }
    contest.decide(s.conflicts, [&](const GroupMemberId& id, const VerifiedRecord& winner) {
      if (const auto* member = body_as<GroupMemberRecordV1>(winner)) s.group_members.emplace(id, *member);
    });
  }

  // Pass 4, grants.
  {
    Contest<GrantId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      if (const auto* grant = body_as<GrantRecordV1>(r)) {
        if (principal_exists(grant->grantee, s) &&
            authority_of(previous, r.signer).can_create_permission(grant->permission)) {
          contest.add(grant->grant_id, r);
        }
      } else if (const auto* deleted = body_as<GrantDeletedRecordV1>(r)) {
        if (in_d(r)) contest.add(deleted->grant_id, r);
      }
    }
    contest.decide(s.conflicts, [&](const GrantId& id, const VerifiedRecord& winner) {
      if (const auto* grant = body_as<GrantRecordV1>(winner)) {
        s.grants.emplace(id, *grant);
      } else {
        s.deleted_grants.insert(id);
      }
    });
  }
  return s;
}

Authorities derive_authorities(const Selection& selection, const UserId& root_user_id) {
  Authorities a = reference::root_authorities(root_user_id);

  for (const auto& [id, grant] : selection.grants) {
    AuthoritySet& target = a[grant.grantee];
    std::visit(
        [&](const auto& permission) {
          using P = std::decay_t<decltype(permission)>;
          if constexpr (std::is_same_v<P, grant_permission::Read>) {
            append_unless_present(target.read, permission.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Write>) {
            append_unless_present(target.write, permission.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
            push_unique(target.manage, permission);
          } else {
            target.is_root = true;
          }
        },
        *grant.permission);
  }

  for (;;) {
    bool changed = false;
    for (const auto& [id, member] : selection.group_members) {
      const auto group = a.find(PrincipalRefV1{member.group_id});
      if (group == a.end()) continue;
      const AuthoritySet from = group->second;  // copied before the member's entry is touched
      AuthoritySet& to = a[member.member];
      for (const KeyspaceSelectorV1& selector : from.read) changed |= append_unless_present(to.read, selector);
      for (const KeyspaceSelectorV1& selector : from.write) changed |= append_unless_present(to.write, selector);
      for (const ManageKeyspaceGrantV1& entry : from.manage) changed |= push_unique(to.manage, entry);
      if (from.is_root && !to.is_root) {
        to.is_root = true;
        changed = true;
      }
    }
    if (!changed) break;
  }
  return a;
}

std::map<RecordKey, ConflictReport> materialize_conflicts(const Slots& slots, std::span<const VerifiedRecord> records) {
  std::map<RecordKey, ConflictReport> reports;
  for (const auto& [key, slot] : slots) {
    std::vector<VaultRecordV1> found;
    for (const VerifiedRecord& r : records) {
      if (std::find(slot.hashes.begin(), slot.hashes.end(), r.hash) != slot.hashes.end()) found.push_back(r.record);
    }
    reports.insert_or_assign(key, ConflictReport{std::nullopt, std::nullopt, key,
                                                 sorted_candidates(std::move(found)), slot.counter});
  }
  return reports;
}

EffectiveState compute_effective_state(const UserRecordV1& root, const HashValue& root_fingerprint,
                                       std::span<const VerifiedRecord> records,
                                       const std::set<HashValue>& admitted_deletions, const Floor& floor,
                                       Trace* trace) {
  if (trace != nullptr) ++trace->state_computations;

  // 1. Entry users.
  std::set<UserId> entry_users;
  for (const VerifiedRecord& r : records) {
    if (in_floor(floor, r)) continue;
    const auto* key = std::get_if<record_key::EntryPoint>(&r.key);
    if (key != nullptr && is<EntryPointRecordV1>(r)) entry_users.insert(key->user_id);
  }

  // 2. Fixed point.
  Selection selection;
  Authorities authorities = reference::root_authorities(root.user_id);
  bool blocked = false;
  for (int k = 1; k <= kMaxAuthorityIterations; ++k) {
    Selection next = reference::select_authorized_records(records, root, entry_users, admitted_deletions, floor, authorities);
    Authorities next_authorities = reference::derive_authorities(next, root.user_id);
    if (trace != nullptr) trace->most_iterations = std::max(trace->most_iterations, k);
    if (next == selection && next_authorities == authorities) {
      blocked = false;
      break;
    }
    selection = std::move(next);
    authorities = std::move(next_authorities);
    if (k == kMaxAuthorityIterations) blocked = true;
  }

  // 3. Post-passes with the final selection and authorities.
  EffectiveState state;
  Slots slots = selection.conflicts;
  {
    Contest<UserHandleId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      const auto* handle = body_as<UserHandleRecordV1>(r);
      const auto* key = std::get_if<record_key::UserHandle>(&r.key);
      if (handle == nullptr || key == nullptr) continue;
      if (authority_of(authorities, r.signer).is_root && selection.users.contains(handle->user_id)) {
        contest.add(key->handle_id, r);
      }
    }
    contest.decide(slots, [&](const UserHandleId& id, const VerifiedRecord& winner) {
      state.user_handles.emplace(id, *body_as<UserHandleRecordV1>(winner));
    });
  }
  {
    Contest<VaultHandleId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      const auto* key = std::get_if<record_key::VaultHandle>(&r.key);
      if (!is<VaultHandleRecordV1>(r) || key == nullptr) continue;
      if (authority_of(authorities, r.signer).is_root) contest.add(key->handle_id, r);
    }
    contest.decide(slots, [&](const VaultHandleId& id, const VerifiedRecord& winner) {
      state.vault_handles.emplace(id, *body_as<VaultHandleRecordV1>(winner));
    });
  }
  {
    Contest<UserId> contest;
    for (const VerifiedRecord& r : records) {
      if (in_floor(floor, r)) continue;
      const auto* key = std::get_if<record_key::EntryPoint>(&r.key);
      if (!is<EntryPointRecordV1>(r) || key == nullptr) continue;
      if (selection.users.contains(key->user_id)) contest.add(key->user_id, r);
    }
    contest.decide(slots, [&](const UserId& id, const VerifiedRecord& winner) {
      state.entry_points.emplace(id, *body_as<EntryPointRecordV1>(winner));
    });
  }

  // 4. Conflicts, 5. assembly.
  state.conflicts = reference::materialize_conflicts(slots, records);
  state.highest_counter = std::nullopt;
  state.records.clear();
  state.root_user_id = root.user_id;
  state.root_fingerprint = root_fingerprint;
  state.users = selection.users;
  state.groups = selection.groups;
  state.group_members = selection.group_members;
  state.grants = selection.grants;
  state.deleted_users = selection.deleted_users;
  state.deleted_groups = selection.deleted_groups;
  state.deleted_grants = selection.deleted_grants;
  state.authorities = core::validate::Authorities::from_sets(authorities);
  state.latest_secret.clear();
  state.blocked = blocked;
  return state;
}

std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(const SelectedRoot& root,
                                                                                std::span<const VerifiedRecord> records,
                                                                                const Floor& floor, Trace* trace) {
  std::vector<const VerifiedRecord*> candidates;
  for (const VerifiedRecord& r : records) {
    if (is<GroupDeletedRecordV1>(r) || is<GrantDeletedRecordV1>(r) || is<UserDeletedRecordV1>(r)) {
      candidates.push_back(&r);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VerifiedRecord* a, const VerifiedRecord* b) { return reference::compare_lww(*a, *b) < 0; });

  std::set<HashValue> admitted;
  for (;;) {
    EffectiveState state =
        reference::compute_effective_state(root_user_record(root), root.fingerprint, records, admitted, floor, trace);
    const VerifiedRecord* next = nullptr;
    for (const VerifiedRecord* candidate : candidates) {
      if (admitted.contains(candidate->hash)) continue;
      const AuthoritySet& authority = authority_of(state.authorities, candidate->signer);
      bool allowed = false;
      if (const auto* deleted = body_as<GrantDeletedRecordV1>(*candidate)) {
        const auto existing = state.grants.find(deleted->grant_id);
        if (existing != state.grants.end()) {
          allowed = authority.can_create_permission(deleted->permission) &&
                    authority.can_create_permission(existing->second.permission);
        } else {
          allowed = authority.is_root || authority.can_create_permission(deleted->permission);
        }
      } else {
        allowed = authority.is_root;
      }
      if (allowed) {
        next = candidate;
        break;
      }
    }
    if (next == nullptr) {
      if (trace != nullptr) {
        trace->deletion_candidates = candidates.size();
        trace->admitted_deletions = admitted.size();
      }
      return {std::move(state), std::move(admitted)};
    }
    admitted.insert(next->hash);
  }
}

Watermarks admitted_watermarks(std::span<const VerifiedRecord> records, const EffectiveState& state,
                               const std::set<HashValue>& admitted_deletions) {
  std::set<UserId> entry_signers;
  for (const VerifiedRecord& r : records) {
    if (is<EntryPointRecordV1>(r)) entry_signers.insert(r.signer);
  }
  Watermarks marks;
  for (const VerifiedRecord& r : records) {
    const AuthoritySet& authority = authority_of(state.authorities, r.signer);
    bool admitted = false;
    std::optional<KeyOrigin> origin;
    std::visit(
        [&](const auto& b) {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, VaultRootRecordV1>) {
            admitted = false;
          } else if constexpr (std::is_same_v<B, EntryPointRecordV1>) {
            admitted = true;
          } else if constexpr (std::is_same_v<B, UserRecordV1>) {
            admitted = authority.is_root && entry_signers.contains(b.user_id);
          } else if constexpr (std::is_same_v<B, UserHandleRecordV1>) {
            admitted = authority.is_root;
            origin = key_origin::UserHandle{b.handle};
          } else if constexpr (std::is_same_v<B, VaultHandleRecordV1>) {
            admitted = authority.is_root;
            origin = key_origin::VaultHandle{b.handle};
          } else if constexpr (std::is_same_v<B, GroupRecordV1>) {
            admitted = authority.is_root;
          } else if constexpr (std::is_same_v<B, GroupMemberRecordV1> ||
                               std::is_same_v<B, GroupMemberDeletedRecordV1>) {
            admitted = authority.is_root;
            origin = key_origin::GroupMember{GroupMemberIdInputV1{b.group_id, b.member}};
          } else if constexpr (std::is_same_v<B, GroupDeletedRecordV1> || std::is_same_v<B, GrantDeletedRecordV1> ||
                               std::is_same_v<B, UserDeletedRecordV1>) {
            admitted = admitted_deletions.contains(r.hash);
          } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
            admitted = authority.can_create_permission(b.permission);
          } else {
            static_assert(std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>);
            admitted = may_write(authority, b.selector);
            origin = key_origin::Secret{b.selector};
          }
        },
        r.body());
    if (!admitted) continue;
    const std::uint64_t c = record_counter(r.body());
    const auto it = marks.counters.find(r.key);
    marks.counters[r.key] = it == marks.counters.end() ? c : std::max(it->second, c);
    if (origin && !marks.origins.contains(r.key)) marks.origins.emplace(r.key, *origin);
  }
  return marks;
}

Slots lww_resolution(std::span<const VerifiedRecord> records, const Floor& floor, const EffectiveState& state) {
  // Pass 1, candidates.
  std::map<SecretId, std::vector<const VerifiedRecord*>> lists;
  for (const VerifiedRecord& r : records) {
    if (floor.contains(r.key)) continue;
    const SecretSelectorV1* selector = secret_selector_of(r.body());
    if (selector == nullptr) continue;
    if (!authority_of(state.authorities, r.signer).can_write(*selector)) continue;
    std::vector<const VerifiedRecord*>& list = lists[*secret_id_of(r.body())];
    const std::uint64_t c = record_counter(r.body());
    if (list.empty()) {
      list.push_back(&r);
    } else if (c > record_counter(list.front()->body())) {
      list.clear();
      list.push_back(&r);
    } else if (c == record_counter(list.front()->body())) {
      list.push_back(&r);
    }
  }
  // Pass 2, verdicts.
  Slots slots;
  for (const auto& [id, list] : lists) {
    bool all_equal = true;
    for (const VerifiedRecord* r : list) {
      if (!(r->body() == list.front()->body())) all_equal = false;
    }
    if (all_equal) continue;
    ConflictSlot slot;
    for (const VerifiedRecord* r : list) slot.hashes.push_back(r->hash);
    std::sort(slot.hashes.begin(), slot.hashes.end());
    slot.hashes.erase(std::unique(slot.hashes.begin(), slot.hashes.end()), slot.hashes.end());
    slot.counter = record_counter(list.front()->body());
    slots.insert_or_assign(list.front()->key, std::move(slot));
  }
  return slots;
}

void attach_verified_records(EffectiveState& state, std::vector<VerifiedRecord> records,
                             std::optional<std::uint64_t> highest) {
  state.highest_counter = highest;
  state.records = std::move(records);
  std::map<SecretId, std::pair<std::size_t, std::size_t>> latest;
  for (std::size_t i = 0; i < state.records.size(); ++i) {
    const VerifiedRecord& r = state.records[i];
    const SecretSelectorV1* selector = secret_selector_of(r.body());
    if (selector == nullptr) continue;
    if (!may_write(authority_of(state.authorities, r.signer), *selector)) continue;
    const SecretId& id = *secret_id_of(r.body());
    const auto it = latest.find(id);
    if (it == latest.end()) {
      latest.emplace(id, std::pair{i, i});
    } else if (reference::compare_lww(r, state.records[it->second.first]) > 0) {
      it->second = std::pair{i, it->second.second};
    }
  }
  state.latest_secret = decltype(state.latest_secret)::from_unsorted(
      std::vector<std::pair<SecretId, std::pair<std::size_t, std::size_t>>>(latest.begin(), latest.end()),
      [](auto&, auto&&) {});
}

namespace {

class Pipeline {
 public:
  Pipeline(const Ratchet& trust, const CryptoProvider& crypto, const VerifiedHashes& verified, Trace* trace)
      : trust_(trust), crypto_(crypto), verified_(verified), trace_(trace) {}

  CoreResult<ValidationReport> run(std::span<const HashedRecord> input);

 private:
  struct Entry {
    VaultRecordV1 record;
    HashValue hash;
  };

  // The cache first; otherwise the signed message and the verifier.
  CoreResult<bool> signature_check(const Entry& e) const {
    if (verified_.contains(e.hash)) return true;
    auto message = signed_record_message(e.record.body);
    if (!message) return std::unexpected(message.error());
    return crypto_.verify_signature(domains::kSigned, e.record.signing_public_key, *message, e.record.signature);
  }

  const Ratchet& trust_;
  const CryptoProvider& crypto_;
  const VerifiedHashes& verified_;
  Trace* trace_;
};

CoreResult<ValidationReport> Pipeline::run(std::span<const HashedRecord> input) {
  // Step 1, the record list without repeated hashes.
  std::vector<Entry> list;
  std::set<HashValue> seen;
  for (const HashedRecord& r : input) {
    if (seen.insert(r.hash).second) list.push_back(Entry{r.record, r.hash});
  }

  // Step 2, root selection.
  std::vector<SelectedRoot> candidates;
  for (const Entry& e : list) {
    const RecordBodyV1* body = e.record.body.known();
    const auto* root = body == nullptr ? nullptr : std::get_if<VaultRootRecordV1>(body);
    if (root == nullptr) continue;
    auto derived = derive_user_id(crypto_, e.record.signing_public_key, root->hpke_public_key);
    if (!derived) return std::unexpected(derived.error());
    if (!(*derived == root->user_id)) continue;
    auto signed_ok = signature_check(e);
    if (!signed_ok) return std::unexpected(signed_ok.error());
    if (!*signed_ok) continue;
    auto fingerprint = key_hash(crypto_, e.record.signing_public_key);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    if (!std::ranges::equal(fingerprint->bytes(), trust_.trusted_root())) continue;
    candidates.push_back(SelectedRoot{root->user_id, root->hpke_public_key, e.record.signing_public_key, *fingerprint});
  }
  if (list.empty() || candidates.empty()) return refused(issue::RootNotTrusted{});
  if (candidates.size() >= 2) return refused(issue::AmbiguousRoot{});
  const SelectedRoot root = candidates.front();

  // Step 3, user candidates.
  std::vector<const Entry*> user_candidates;
  for (const Entry& e : list) {
    const RecordBodyV1* body = e.record.body.known();
    const auto* user = body == nullptr ? nullptr : std::get_if<UserRecordV1>(body);
    if (user != nullptr && !core::validate::structurally_valid_user(*user, crypto_).has_value()) {
      user_candidates.push_back(&e);
    }
  }

  // Step 4, credited users: whole passes until one credits nobody.
  std::map<UserId, cord::Bytes> credited{{root.user_id, root.signing_public_key}};
  std::set<cord::Bytes> known_keys{root.signing_public_key};
  std::map<cord::Bytes, std::set<UserId>> claimants;
  for (;;) {
    bool credited_someone = false;
    for (const Entry* e : user_candidates) {
      const auto& user = std::get<UserRecordV1>(*e->record.body.known());
      if (credited.contains(user.user_id)) continue;
      if (!known_keys.contains(e->record.signing_public_key)) continue;
      auto signed_ok = signature_check(*e);
      if (!signed_ok || !*signed_ok) continue;
      claimants[user.signing_public_key].insert(user.user_id);
      credited.insert_or_assign(user.user_id, user.signing_public_key);
      known_keys.insert(user.signing_public_key);
      credited_someone = true;
    }
    if (!credited_someone) break;
  }

  // Step 5, entry-point users.
  std::set<UserId> entry_point_users;
  for (const Entry& e : list) {
    const RecordBodyV1* body = e.record.body.known();
    const auto* entry = body == nullptr ? nullptr : std::get_if<EntryPointRecordV1>(body);
    if (entry == nullptr || !(entry->root_user_id == root.user_id)) continue;
    auto signed_ok = signature_check(e);
    if (!signed_ok || !*signed_ok) continue;
    auto user = derive_user_id(crypto_, e.record.signing_public_key, entry->hpke_public_key);
    if (!user) return std::unexpected(user.error());
    entry_point_users.insert(*user);
  }

  // Step 6, the signer directory and the ambiguous keys.
  std::map<cord::Bytes, UserId> directory{{root.signing_public_key, root.user_id}};
  std::set<cord::Bytes> ambiguous;
  std::vector<HashValue> ambiguous_fingerprints;
  for (const auto& [key, users] : claimants) {
    if (key == root.signing_public_key) continue;
    if (users.size() == 1) {
      directory.emplace(key, *users.begin());
      continue;
    }
    std::vector<UserId> with_entry_point;
    for (const UserId& u : users) {
      if (entry_point_users.contains(u)) with_entry_point.push_back(u);
    }
    if (with_entry_point.size() == 1) {
      directory.emplace(key, with_entry_point.front());
      continue;
    }
    ambiguous.insert(key);
    auto fingerprint = key_hash(crypto_, key);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    ambiguous_fingerprints.push_back(*fingerprint);
  }
  if (trace_ != nullptr) trace_->ambiguous_keys = ambiguous.size();

  // Step 7, per-record checks.
  ValidationReport report;
  std::uint64_t undecodable = 0;
  std::vector<VerifiedRecord> verified_records;
  for (const Entry& e : list) {
    const RecordBodyV1* body = e.record.body.known();
    if (body == nullptr) {
      ++undecodable;
      continue;
    }
    if (auto found = core::validate::structurally_validate_record(e.record, *body, root, crypto_)) {
      report.issues.push_back(*found);
      continue;
    }
    if (ambiguous.contains(e.record.signing_public_key)) continue;
    const auto signer = directory.find(e.record.signing_public_key);
    if (signer != directory.end()) {
      RecordKey key = core::validate::record_key_for(*body, signer->second);
      auto signed_ok = signature_check(e);
      if (!signed_ok) return std::unexpected(signed_ok.error());
      if (!*signed_ok) {
        report.issues.push_back(issue::InvalidSignature{key});
        continue;
      }
      verified_records.push_back(VerifiedRecord{e.record, key, e.hash, signer->second});
      continue;
    }
    auto fingerprint = key_hash(crypto_, e.record.signing_public_key);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    report.issues.push_back(issue::UnknownSignerKey{*fingerprint});
  }

  // Step 8, first pass and watermarks.
  Trace first_trace;
  auto [first_state, first_deletions] =
      reference::resolve_effective_with_deletions(root, verified_records, Floor{}, trace_ ? &first_trace : nullptr);
  const Watermarks marks = reference::admitted_watermarks(verified_records, first_state, first_deletions);

  // Step 9, the rollback floor.
  Floor floor;
  for (const auto& [key, trusted] : trust_.counters()) {
    const auto mark = marks.counters.find(key);
    const std::uint64_t admitted = mark == marks.counters.end() ? 0 : mark->second;
    if (admitted < trusted) floor.emplace(key, trusted);
  }

  // Step 10, the final state.
  auto [state, final_deletions] = reference::resolve_effective_with_deletions(root, verified_records, floor, trace_);
  if (state.blocked) report.issues.push_back(issue::AuthorityDidNotConverge{});
  if (trace_ != nullptr) {
    trace_->state_computations += first_trace.state_computations;
    trace_->most_iterations = std::max(trace_->most_iterations, first_trace.most_iterations);
    trace_->rollback_floor = floor.size();
  }

  // Step 11, conflicts: of secrets, then of rollbacks.
  const Slots secret_slots = reference::lww_resolution(verified_records, floor, state);
  if (trace_ != nullptr) trace_->secret_conflicts = secret_slots.size();
  for (auto& [key, conflict] : reference::materialize_conflicts(secret_slots, verified_records)) {
    state.conflicts.insert_or_assign(key, std::move(conflict));
  }
  for (const auto& [key, trusted] : floor) {
    const auto mark = marks.counters.find(key);
    const std::uint64_t admitted = mark == marks.counters.end() ? 0 : mark->second;
    std::vector<VaultRecordV1> found;
    for (const VerifiedRecord& r : verified_records) {
      if (r.key == key && record_counter(r.body()) == admitted) found.push_back(r.record);
    }
    std::optional<KeyOrigin> origin;
    if (const auto it = marks.origins.find(key); it != marks.origins.end()) {
      origin = it->second;
    } else if (const auto it2 = trust_.origins().find(key); it2 != trust_.origins().end()) {
      origin = it2->second;
    }
    state.conflicts.insert_or_assign(
        key, ConflictReport{trusted, origin, key, sorted_candidates(std::move(found)), admitted});
  }

  // Step 12, the verified records.
  std::optional<std::uint64_t> highest;
  for (const auto& [key, counter] : marks.counters) {
    if (!highest || counter > *highest) highest = counter;
  }
  reference::attach_verified_records(state, std::move(verified_records), highest);

  // Step 13, ratchet update and warnings.
  for (const auto& [key, watermark] : marks.counters) {
    const auto trusted = trust_.counters().find(key);
    const std::uint64_t held = trusted == trust_.counters().end() ? 0 : trusted->second;
    if (held < watermark) report.ratchet_update.counters.emplace(key, watermark);
  }
  for (const auto& [key, origin] : marks.origins) {
    if (!trust_.origins().contains(key)) report.ratchet_update.origins.emplace(key, origin);
  }
  report.ratchet_update.format_version = std::nullopt;
  report.warnings = warnings_for(undecodable);
  for (const HashValue& fingerprint : ambiguous_fingerprints) {
    report.warnings.push_back(warning::AmbiguousSignerKey{fingerprint});
  }
  report.effective = std::move(state);
  return report;
}

}  // namespace

CoreResult<ValidationReport> validate_vault_with_verified(std::span<const HashedRecord> records, const Ratchet& trust,
                                                          const CryptoProvider& crypto, const VerifiedHashes& verified,
                                                          Trace* trace) {
  // Step 0, the format-version gate.
  const std::uint64_t remembered = trust.format_version();
  if (remembered >= 2) return refused(issue::FormatVersionRegression{remembered, kCurrentFormatVersion});
  auto report = Pipeline(trust, crypto, verified, trace).run(records);
  if (!report) return report;
  // Step 14, the first clean validation teaches the trust state version 1.
  if (remembered == 0 && report->issues.empty()) report->ratchet_update.format_version = kCurrentFormatVersion;
  return report;
}

std::string differing_fields(const ValidationReport& production, const ValidationReport& reference) {
  const EffectiveState& p = production.effective;
  const EffectiveState& r = reference.effective;
  std::string out;
  const auto field = [&](bool same, const char* name) {
    if (!same) out += std::string(out.empty() ? "" : ", ") + name;
  };
  field(p.highest_counter == r.highest_counter, "highest_counter");
  field(p.records == r.records, "records");
  field(p.root_user_id == r.root_user_id && p.root_fingerprint == r.root_fingerprint, "root");
  field(p.users == r.users && p.entry_points == r.entry_points, "users");
  field(p.user_handles == r.user_handles && p.vault_handles == r.vault_handles, "handles");
  field(p.groups == r.groups && p.group_members == r.group_members, "groups");
  field(p.grants == r.grants, "grants");
  field(p.deleted_users == r.deleted_users && p.deleted_groups == r.deleted_groups, "deleted principals");
  field(p.deleted_grants == r.deleted_grants, "deleted_grants");
  field(p.authorities.materialized() == r.authorities.materialized(), "authorities");
  field(p.conflicts == r.conflicts, "conflicts");
  field(p.latest_secret == r.latest_secret, "latest_secret");
  field(p.blocked == r.blocked, "blocked");
  field(production.ratchet_update == reference.ratchet_update, "ratchet_update");
  field(production.issues == reference.issues, "issues");
  field(production.warnings == reference.warnings, "warnings");
  if (out.empty() && !(production == reference)) out = "another field";
  return out;
}

}  // namespace vornex::test::reference
