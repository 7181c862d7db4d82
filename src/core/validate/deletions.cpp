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

constexpr std::uint32_t kNone = detail::Sequence::kNone;

// The pending candidates and what each is judged on.
class Judgements {
 public:
  Judgements(detail::Sequence& sequence, std::vector<const VerifiedRecord*> candidates, const UserId& root_id)
      : sequence_(sequence), candidates_(std::move(candidates)), judged_(candidates_.size()) {
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
      const VerifiedRecord& c = *candidates_[i];
      Judged& j = judged_[i];
      by_hash_[c.hash].push_back(i);
      j.by_root = c.signer == root_id;
      j.signer = sequence_.principal(c.signer);
      file(by_signer_, j.signer, i);
      if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body())) {
        j.target_item = sequence_.grant_item(deleted->grant_id);
        if (j.target_item != kNone) file(by_target_, j.target_item, i);
        if (!j.by_root) {
          j.named = sequence_.question(j.signer, deleted->permission);
          file(by_question_, j.named, i);
        }
      }
      judge(i);
    }
    mark_.assign(candidates_.size(), 0);
  }

  // The oldest pending candidate allowed, or none.
  const VerifiedRecord* next() const { return allowed_.empty() ? nullptr : candidates_[*allowed_.begin()]; }

  // The candidates of this hash are admitted: judged no more.
  void admitted(const HashValue& hash) {
    for (const std::size_t i : by_hash_[hash]) {
      judged_[i].done = true;
      allowed_.erase(i);
    }
  }

  // Judges again every pending candidate whose judgement the last update
  // may have changed.
  void update() {
    const detail::Sequence::Touched& touched = sequence_.touched();
    ++stamp_;
    const auto again = [&](const std::vector<std::vector<std::size_t>>& by, std::uint32_t at) {
      if (at >= by.size()) return;
      for (const std::size_t i : by[at]) {
        if (mark_[i] == stamp_ || judged_[i].done) continue;
        mark_[i] = stamp_;
        judge(i);
      }
    };
    for (const std::uint32_t q : touched.questions) again(by_question_, q);
    for (const std::uint32_t p : touched.principals) again(by_signer_, p);
    for (const std::uint32_t g : touched.grants) again(by_target_, g);
  }

 private:
  struct Judged {
    bool by_root = false;
    bool done = false;
    std::uint32_t signer = kNone;
    std::uint32_t target_item = kNone;
    std::uint32_t named = kNone;   // its question of the permission it names
    std::uint32_t target = kNone;  // its question of its target's permission, while that is in force
    const GrantPermissionV1* target_permission = nullptr;
  };

  static void file(std::vector<std::vector<std::size_t>>& by, std::uint32_t at, std::size_t i) {
    if (by.size() <= at) by.resize(at + 1);
    by[at].push_back(i);
  }

  // The literal judgement in the final state: a grant deletion must be
  // able to create the permission it names and, while its target is in
  // force, the target's too (or naming a weaker permission would let it
  // remove a stronger grant); with no target in force, the root flag also
  // allows it. User and group deletions need the root flag.
  void judge(std::size_t i) {
    Judged& j = judged_[i];
    bool allowed = j.by_root;
    if (!allowed && j.named != kNone) {
      const bool named = sequence_.answer(j.named);
      const GrantRecordV1* target = j.target_item == kNone ? nullptr : sequence_.grant(j.target_item);
      if (target != nullptr) {
        // Asked anew only when the target's permission is another one.
        if (j.target_permission != &*target->permission) {
          j.target_permission = &*target->permission;
          j.target = sequence_.question(j.signer, *j.target_permission);
          file(by_question_, j.target, i);
        }
        allowed = named && sequence_.answer(j.target);
      } else {
        allowed = named || sequence_.is_root(j.signer);
      }
    } else if (!allowed) {
      allowed = sequence_.is_root(j.signer);
    }
    if (allowed) {
      allowed_.insert(i);
    } else {
      allowed_.erase(i);
    }
  }

  detail::Sequence& sequence_;
  std::vector<const VerifiedRecord*> candidates_;  // in the order they are judged in
  std::vector<Judged> judged_;
  std::set<std::size_t> allowed_;
  std::map<HashValue, std::vector<std::size_t>> by_hash_;
  std::vector<std::vector<std::size_t>> by_signer_;    // by principal
  std::vector<std::vector<std::size_t>> by_target_;    // by grant item
  std::vector<std::vector<std::size_t>> by_question_;  // by question
  std::vector<std::uint64_t> mark_;
  std::uint64_t stamp_ = 0;
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
    while (const VerifiedRecord* chosen = sequence.stopped() ? nullptr : judgements.next()) {
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
