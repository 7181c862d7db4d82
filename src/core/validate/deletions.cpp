// Deletion resolution: user, group and grant deletions admitted one at a
// time, oldest first, each judged against the state in which the earlier
// ones are in force.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "authority_lookup.hpp"
#include "fixed_point.hpp"
#include "influence.hpp"
#include "questions.hpp"
#include "standing.hpp"
#include "vornex/core/validate/effective.hpp"

namespace vornex::core::validate {

namespace {

using detail::AskedQuestions;
using detail::AuthorityLookup;
using detail::Influence;
using detail::StandingAuthority;

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

// Whether removing grant `id` leaves every answer that admission reads as
// it is. A grant never selected in the last computation gives nothing to
// lose. Otherwise each manage or root grant record that could win it must
// either be covered by standing authority that stood from the grant's
// first selection on (it is then there whenever the removed entry was; the
// grant cannot be selected earlier than the history says, since before
// that iteration nothing an admission changed since had differed, unless a
// search came to it), or hold a manage entry that answers no question
// anything asks of its grantee or below (see AskedQuestions), which holds
// whatever the history says.
bool grantees_keep_answers(Influence& influence, std::uint32_t node, const GrantId& id,
                           const detail::History& history, StandingAuthority& standing,
                           const std::function<AskedQuestions&()>& questions) {
  const std::vector<const GrantRecordV1*>& grants = influence.authority_grants(node);
  if (grants.empty()) return false;
  const bool history_holds = !influence.searched(node);
  const std::uint8_t first = history.first(id);
  if (history_holds && first == 0) return true;
  return std::ranges::all_of(grants, [&](const GrantRecordV1* g) {
    if (history_holds && standing.covers(g->grantee, g->permission, static_cast<std::uint8_t>(first + 1), node)) {
      return true;
    }
    const auto* entry = std::get_if<grant_permission::Manage>(&*g->permission);
    return entry != nullptr && questions().unasked(g->grantee, *entry, id);
  });
}

// A pending grant deletion is judged on whether its target is in force
// only when that can change the answer: not when its signer may not create
// the permission it names (refused either way), nor when the signer may
// create the permission of every record the target could hold (then
// present or absent, the answer is whether it may create the named one).
// Targets with many records are simply taken to matter.
bool judged_on_target(const AuthorityLookup& authority, const VerifiedRecord& candidate,
                      const std::vector<const GrantRecordV1*>& target_records) {
  if (target_records.size() > detail::kTargetRecordsJudged) return true;
  const auto& deleted = std::get<GrantDeletedRecordV1>(candidate.body());
  if (!authority.can_create_permission(candidate.signer, deleted.permission)) return false;
  return !std::ranges::all_of(target_records, [&](const GrantRecordV1* g) {
    return authority.can_create_permission(candidate.signer, g->permission);
  });
}

}  // namespace

// The state is computed again only when an admission can change how a
// pending deletion is judged (see Influence and StandingAuthority);
// otherwise the walk carries on from the admitted one, as a fresh walk
// would after finding every earlier candidate refused again.
std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(
    const pipeline::SelectedRoot& root, std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const detail::Prepared prepared = detail::prepare(records, rollback_floor);
  const detail::HashIndex hashes(records);
  detail::History history;
  const auto compute = [&](const std::set<HashValue>& admitted, detail::History* into) {
    if (into != nullptr) *into = detail::History{};
    return detail::compute_prepared(root_user_record(root), root.fingerprint, records, hashes, prepared, admitted,
                                    into);
  };

  std::vector<const VerifiedRecord*> candidates;
  for (const VerifiedRecord& record : records) {
    if (detail::is_principal_deletion(record.body())) candidates.push_back(&record);
  }
  if (candidates.empty()) return {compute({}, nullptr), {}};
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VerifiedRecord* a, const VerifiedRecord* b) { return compare_lww(*a, *b) < 0; });

  // What each pending candidate is judged on. A root-signed deletion is
  // admitted in every state and watches nothing; with no other kind the
  // dependency graph is not needed at all. A grant deletion's target is
  // watched only while its judgement depends on it (see judged_on_target),
  // which is decided anew with each computed state: between computations
  // the signer's answers stay as they are, or its watch forces one.
  struct Watch {
    std::uint32_t signer = 0;
    std::optional<std::uint32_t> target;
    const std::vector<const GrantRecordV1*>* target_records = nullptr;
    bool target_watched = false;
  };
  std::vector<std::optional<Watch>> watches(candidates.size());
  std::size_t pending_non_root = 0;
  std::optional<Influence> influence;
  std::map<GrantId, std::vector<const GrantRecordV1*>> grant_records;
  const std::vector<const GrantRecordV1*> no_records;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const VerifiedRecord& c = *candidates[i];
    if (c.signer == root.user_id) continue;
    if (!influence) {
      influence.emplace(prepared, root.user_id);
      for (const VerifiedRecord* r : prepared.grants) {
        if (const auto* grant = std::get_if<GrantRecordV1>(&r->body())) grant_records[grant->grant_id].push_back(grant);
      }
    }
    Watch watch{influence->principal_node(PrincipalRefV1{c.signer}), std::nullopt};
    influence->depend(watch.signer, 1);
    if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body())) {
      watch.target = influence->key_node(RecordKey{record_key::Grant{deleted->grant_id}});
      const auto records_of = grant_records.find(deleted->grant_id);
      watch.target_records = records_of == grant_records.end() ? &no_records : &records_of->second;
    }
    watches[i] = watch;
    ++pending_non_root;
  }
  const auto watch_targets = [&](const AuthorityLookup& authority, const std::vector<bool>& done) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      if (done[i] || !watches[i] || !watches[i]->target) continue;
      Watch& w = *watches[i];
      const bool judged = judged_on_target(authority, *candidates[i], *w.target_records);
      if (judged != w.target_watched) influence->depend(*w.target, judged ? 1 : -1);
      w.target_watched = judged;
    }
  };
  // Candidates that share a record hash are admitted together.
  std::map<HashValue, std::vector<std::size_t>> by_hash;
  for (std::size_t i = 0; i < candidates.size(); ++i) by_hash[candidates[i]->hash].push_back(i);

  std::set<HashValue> admitted;
  std::vector<bool> done(candidates.size(), false);
  // Built when a removal is first not covered by standing authority.
  std::optional<AskedQuestions> asked;
  const std::function<AskedQuestions&()> questions = [&]() -> AskedQuestions& {
    if (!asked) {
      asked.emplace(prepared, candidates, grant_records, root.user_id);
      for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (done[i]) asked->retire(i);
      }
    }
    return *asked;
  };
  detail::History* const recording = influence ? &history : nullptr;
  EffectiveState state = compute(admitted, recording);
  bool current = true;  // whether `state` has every admitted deletion in force
  std::optional<AuthorityLookup> authority(std::in_place, state.authorities);
  std::optional<StandingAuthority> standing;
  if (influence) {
    standing.emplace(state, history, root.user_id, *influence);
    watch_targets(*authority, done);
  }
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
      if (asked) asked->retire(i);
      if (!watches[i]) continue;
      influence->depend(watches[i]->signer, -1);
      if (watches[i]->target_watched) influence->depend(*watches[i]->target, -1);
      --pending_non_root;
    }

    bool inert = pending_non_root == 0 || !influence->has_live_records(chosen.key);
    if (!inert) {
      const std::uint32_t node = influence->key_node(chosen.key);
      const auto* deleted = std::get_if<GrantDeletedRecordV1>(&chosen.body());
      const bool keeping_answers =
          deleted != nullptr &&
          grantees_keep_answers(*influence, node, deleted->grant_id, history, *standing, questions);
      inert = !influence->reaches_watched(node, keeping_answers);
    }
    if (inert) {
      current = false;
      from = found + 1;
      continue;
    }
    authority.reset();
    standing.reset();
    state = compute(admitted, recording);
    authority.emplace(state.authorities);
    standing.emplace(state, history, root.user_id, *influence);
    current = true;
    influence->forget();
    watch_targets(*authority, done);
    from = 0;
  }
  authority.reset();
  standing.reset();
  if (!current) state = compute(admitted, nullptr);
  return {std::move(state), std::move(admitted)};
}

}  // namespace vornex::core::validate
