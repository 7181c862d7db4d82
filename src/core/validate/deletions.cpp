// Deletion resolution: user, group and grant deletions admitted one at a
// time, oldest first, each judged against the state in which the earlier
// ones are in force.
//
// The literal walk computes the state afresh after each admission and
// starts over from the oldest candidate, taking the first one allowed.
// Here the fixed point is kept as a sequence (sequence.hpp) that each
// admission updates only where it reaches, and every pending candidate's
// judgement is kept with it: a candidate is judged again only when the
// update touched what it is judged on (its signer's root flag, an answer
// to one of its questions, its target grant). The next admission is then
// the oldest candidate allowed, as the literal walk would find it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <variant>
#include <vector>

#include "fixed_point.hpp"
#include "sequence.hpp"
#include "vornex/core/validate/effective.hpp"

namespace vornex::core::validate {

namespace {

UserRecordV1 root_user_record(const pipeline::SelectedRoot& root) {
  return UserRecordV1{root.user_id, root.signing_public_key, root.hpke_public_key, 0};
}

constexpr std::uint32_t kNoQuestion = UINT32_MAX;

// The pending candidates and what each is judged on.
class Judgements {
 public:
  Judgements(detail::Sequence& sequence, std::vector<const VerifiedRecord*> candidates, const UserId& root_id)
      : sequence_(sequence),
        candidates_(std::move(candidates)),
        root_id_(root_id),
        named_(candidates_.size(), kNoQuestion),
        target_(candidates_.size(), kNoQuestion),
        done_(candidates_.size(), false) {
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
      const VerifiedRecord& c = *candidates_[i];
      by_hash_[c.hash].push_back(i);
      by_signer_[c.signer].push_back(i);
      if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body())) {
        by_target_[deleted->grant_id].push_back(i);
      }
      judge(i);
    }
  }

  // The oldest pending candidate allowed, or none.
  const VerifiedRecord* next() const { return allowed_.empty() ? nullptr : candidates_[*allowed_.begin()]; }

  // The candidates of this hash are admitted: judged no more.
  void admitted(const HashValue& hash) {
    for (const std::size_t i : by_hash_[hash]) {
      done_[i] = true;
      allowed_.erase(i);
    }
  }

  // Judges again every pending candidate whose judgement the last update
  // may have changed.
  void update() {
    const detail::Sequence::Touched& touched = sequence_.touched();
    std::set<std::size_t> again;
    for (const std::uint32_t q : touched.questions) {
      if (q < by_question_.size()) again.insert(by_question_[q].begin(), by_question_[q].end());
    }
    for (const UserId& user : touched.users) {
      if (const auto it = by_signer_.find(user); it != by_signer_.end()) again.insert(it->second.begin(), it->second.end());
    }
    for (const GrantId& grant : touched.grants) {
      if (const auto it = by_target_.find(grant); it != by_target_.end()) {
        again.insert(it->second.begin(), it->second.end());
      }
    }
    for (const std::size_t i : again) {
      if (!done_[i]) judge(i);
    }
  }

 private:
  std::uint32_t ask(std::size_t i, const GrantPermissionV1& permission) {
    const std::uint32_t q = sequence_.question(candidates_[i]->signer, permission);
    if (by_question_.size() <= q) by_question_.resize(q + 1);
    auto& askers = by_question_[q];
    if (askers.empty() || askers.back() != i) askers.push_back(i);
    return q;
  }

  // The literal judgement in the final state: a grant deletion must be
  // able to create the permission it names and, while its target is in
  // force, the target's too (or naming a weaker permission would let it
  // remove a stronger grant); with no target in force, the root flag also
  // allows it. User and group deletions need the root flag.
  void judge(std::size_t i) {
    const VerifiedRecord& c = *candidates_[i];
    bool allowed = false;
    if (c.signer == root_id_) {
      allowed = true;
    } else if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body())) {
      if (named_[i] == kNoQuestion) named_[i] = ask(i, deleted->permission);
      const bool named = sequence_.answer(named_[i]);
      if (const GrantRecordV1* target = sequence_.grant(deleted->grant_id)) {
        target_[i] = ask(i, *target->permission);
        allowed = named && sequence_.answer(target_[i]);
      } else {
        allowed = named || sequence_.is_root(c.signer);
      }
    } else {
      allowed = sequence_.is_root(c.signer);
    }
    if (allowed) {
      allowed_.insert(i);
    } else {
      allowed_.erase(i);
    }
  }

  detail::Sequence& sequence_;
  std::vector<const VerifiedRecord*> candidates_;  // in the order they are judged in
  UserId root_id_;
  std::vector<std::uint32_t> named_;
  std::vector<std::uint32_t> target_;
  std::vector<bool> done_;
  std::set<std::size_t> allowed_;
  std::map<HashValue, std::vector<std::size_t>> by_hash_;
  std::map<UserId, std::vector<std::size_t>> by_signer_;
  std::map<GrantId, std::vector<std::size_t>> by_target_;
  std::vector<std::vector<std::size_t>> by_question_;
};

}  // namespace

std::pair<EffectiveState, std::set<HashValue>> resolve_effective_with_deletions(
    const pipeline::SelectedRoot& root, std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor) {
  const detail::Prepared prepared = detail::prepare(records, rollback_floor);
  const UserRecordV1 root_record = root_user_record(root);
  detail::Sequence sequence(prepared, root_record);
  sequence.compute();

  std::vector<const VerifiedRecord*> candidates;
  for (const VerifiedRecord& record : records) {
    if (detail::is_principal_deletion(record.body())) candidates.push_back(&record);
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const VerifiedRecord* a, const VerifiedRecord* b) { return compare_lww(*a, *b) < 0; });

  std::set<HashValue> admitted;
  if (!candidates.empty()) {
    Judgements judgements(sequence, std::move(candidates), root.user_id);
    while (const VerifiedRecord* chosen = judgements.next()) {
      admitted.insert(chosen->hash);
      judgements.admitted(chosen->hash);
      sequence.admit(*chosen);
      judgements.update();
    }
  }
  return {detail::assemble(root_record, root.fingerprint, records, prepared, sequence.selection(), sequence.blocked()),
          std::move(admitted)};
}

}  // namespace vornex::core::validate
