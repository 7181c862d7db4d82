// Deletion resolution: user, group and grant deletions admitted one at a
// time, oldest first, each judged against the state in which the earlier
// ones are in force.
//
// The literal walk computes the state afresh after each admission and
// starts over from the oldest candidate, taking the first one allowed.
// Here the fixed point is kept as a sequence (sequence.hpp) that each
// admission updates only where it reaches, and the pending candidates'
// judgements are kept with it, shared by the candidates judged on the same
// things: they are judged again only when the update touched what they are
// judged on (the signer's root flag, an answer they read, the target
// grant). The next admission is then the oldest candidate allowed, as the
// literal walk would find it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <tuple>
#include <variant>
#include <vector>

#include "fixed_point.hpp"
#include "sequence.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

UserRecordV1 root_user_record(const pipeline::SelectedRoot& root) {
  return UserRecordV1{root.user_id, root.signing_public_key, root.hpke_public_key, 0};
}

constexpr std::uint32_t kNone = detail::Sequence::kNone;

// The pending candidates, judged in groups that share what they are judged
// on. A grant deletion is allowed, in the final state, when its signer may
// create the permission it names and, while its target is in force, the
// target's too; with no target in force, the signer's root flag also
// allows it. User and group deletions need the root flag; the root's own
// deletions are always allowed. So:
//   - a group is one signer's deletions of one target grant (or its user
//     and group deletions, or the root's deletions): they share the root
//     flag, whether the target is in force and the answer about its
//     permission;
//   - within a group, a class is the deletions that name one permission:
//     they share that answer too, and differ only by their age.
// A change reaches the classes and groups that read it, never each
// deletion: a group keeps its classes' oldest members by their answer, and
// the oldest allowed deletion of each group is filed, so that the next
// admission is the first of those.
class Judgements {
 public:
  Judgements(detail::Sequence& sequence, std::vector<const VerifiedRecord*> candidates, const UserId& root_id)
      : sequence_(sequence), candidates_(std::move(candidates)), class_of_(candidates_.size()) {
    std::map<std::tuple<Mode, std::uint32_t, std::uint32_t>, std::uint32_t> group_ids;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> class_ids;
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
      const VerifiedRecord& c = *candidates_[i];
      by_hash_[c.hash].push_back(static_cast<std::uint32_t>(i));
      const std::uint32_t signer = sequence_.principal(c.signer);
      Mode mode = c.signer == root_id ? Mode::ByRoot : Mode::RootOnly;
      std::uint32_t target_item = kNone;
      std::uint32_t named = kNone;
      if (const auto* deleted = std::get_if<GrantDeletedRecordV1>(&c.body()); deleted != nullptr && mode != Mode::ByRoot) {
        mode = Mode::Grant;
        target_item = sequence_.grant_item(deleted->grant_id);
        named = sequence_.question(signer, deleted->permission);
      }
      const auto [g, new_group] =
          group_ids.try_emplace({mode, signer, target_item}, static_cast<std::uint32_t>(groups_.size()));
      if (new_group) {
        Group& group = groups_.emplace_back();
        group.mode = mode;
        group.signer = signer;
        group.target_item = target_item;
        file(by_signer_, signer, g->second);
        if (target_item != kNone) file(by_target_item_, target_item, g->second);
      }
      const auto [k, new_class] =
          class_ids.try_emplace({g->second, named}, static_cast<std::uint32_t>(classes_.size()));
      if (new_class) {
        Class& cls = classes_.emplace_back();
        cls.group = g->second;
        cls.named = named;
        if (named != kNone) file(by_named_, named, k->second);
      }
      classes_[k->second].members.insert(static_cast<std::uint32_t>(i));
      class_of_[i] = k->second;
      count_work(1);
    }
    for (std::uint32_t g = 0; g < groups_.size(); ++g) judge_group(g, false);
    for (std::uint32_t k = 0; k < classes_.size(); ++k) {
      Class& cls = classes_[k];
      cls.answer = cls.named == kNone || sequence_.answer(cls.named);
      heads_of(cls).insert(*cls.members.begin());
    }
    for (std::uint32_t g = 0; g < groups_.size(); ++g) refresh_head(g);
    // What judgements read from here on: the signers' root flags, the
    // questions signers of grant deletions ask, and the targets.
    std::vector<std::uint32_t> askers;
    std::vector<std::uint32_t> rooted;
    std::vector<std::uint32_t> targets;
    for (const Group& group : groups_) {
      rooted.push_back(group.signer);
      if (group.mode == Mode::Grant) askers.push_back(group.signer);
      if (group.target_item != kNone) targets.push_back(group.target_item);
    }
    sequence_.focus(askers, rooted, targets);
  }

  // The oldest pending candidate allowed, or none.
  const VerifiedRecord* next() const { return allowed_.empty() ? nullptr : candidates_[*allowed_.begin()]; }

  // The candidates of this hash are admitted: judged no more.
  void admitted(const HashValue& hash) {
    for (const std::uint32_t i : by_hash_[hash]) {
      Class& cls = classes_[class_of_[i]];
      if (!cls.members.contains(i)) continue;
      const bool was_head = *cls.members.begin() == i;
      if (was_head) heads_of(cls).erase(i);
      cls.members.erase(i);
      if (was_head && !cls.members.empty()) heads_of(cls).insert(*cls.members.begin());
      refresh_head(cls.group);
    }
  }

  // Judges again every class and group whose inputs the last update of the
  // sequence may have changed.
  void update() {
    const detail::Sequence::Touched& touched = sequence_.touched();
    for (const std::uint32_t q : touched.questions) {
      each(by_named_, q, [&](std::uint32_t k) { judge_class(k); });
      each(by_target_question_, q, [&](std::uint32_t g) {
        if (groups_[g].target == q) judge_group(g, true);
      });
    }
    for (const std::uint32_t p : touched.principals) each(by_signer_, p, [&](std::uint32_t g) { judge_group(g, true); });
    for (const std::uint32_t item : touched.grants) {
      each(by_target_item_, item, [&](std::uint32_t g) { judge_group(g, true); });
    }
  }

 private:
  enum class Mode : std::uint8_t { ByRoot, RootOnly, Grant };

  struct Group {
    Mode mode = Mode::ByRoot;
    std::uint32_t signer = kNone;
    std::uint32_t target_item = kNone;
    bool root = false;  // the signer's root flag
    bool live = false;  // the target in force
    const GrantPermissionV1* target_permission = nullptr;
    std::uint32_t target = kNone;  // the question of the target's permission
    bool target_answer = false;
    // The oldest pending member of each class, by the class's answer.
    std::set<std::uint32_t> heads_yes;
    std::set<std::uint32_t> heads_no;
    std::uint32_t head = kNone;  // its oldest allowed member, filed in allowed_
  };

  struct Class {
    std::uint32_t group = kNone;
    std::uint32_t named = kNone;  // the question of the permission it names; none where only the root flag counts
    std::set<std::uint32_t> members;  // pending, by age
    bool answer = false;
  };

  static void file(std::vector<std::vector<std::uint32_t>>& by, std::uint32_t at, std::uint32_t value) {
    if (by.size() <= at) by.resize(at + 1);
    by[at].push_back(value);
  }

  // Visits a copy of the list: visiting may file more.
  template <class Visit>
  static void each(const std::vector<std::vector<std::uint32_t>>& by, std::uint32_t at, Visit&& visit) {
    if (at >= by.size() || by[at].empty()) return;
    const std::vector<std::uint32_t> list = by[at];
    count_work(list.size());
    for (const std::uint32_t value : list) visit(value);
  }

  std::set<std::uint32_t>& heads_of(const Class& cls) {
    Group& g = groups_[cls.group];
    return cls.answer ? g.heads_yes : g.heads_no;
  }

  void judge_class(std::uint32_t k) {
    Class& cls = classes_[k];
    const bool answer = sequence_.answer(cls.named);
    if (answer == cls.answer || cls.members.empty()) {
      cls.answer = answer;
      return;
    }
    heads_of(cls).erase(*cls.members.begin());
    cls.answer = answer;
    heads_of(cls).insert(*cls.members.begin());
    refresh_head(cls.group);
  }

  // The group's shared inputs in the final state: the root flag, and for
  // grant deletions the target and the answer about its permission, asked
  // anew only when the target's permission is another one.
  void judge_group(std::uint32_t g, bool refresh) {
    Group& group = groups_[g];
    group.root = sequence_.is_root(group.signer);
    if (group.mode == Mode::Grant) {
      const GrantRecordV1* target = group.target_item == kNone ? nullptr : sequence_.grant(group.target_item);
      group.live = target != nullptr;
      if (target != nullptr && group.target_permission != &*target->permission) {
        group.target_permission = &*target->permission;
        group.target = sequence_.question(group.signer, *group.target_permission);
        file(by_target_question_, group.target, g);
      }
      group.target_answer = group.live && sequence_.answer(group.target);
    }
    if (refresh) refresh_head(g);
  }

  // Files the group's oldest allowed member in place of the one before.
  void refresh_head(std::uint32_t g) {
    Group& group = groups_[g];
    const auto first = [](const std::set<std::uint32_t>& s) { return s.empty() ? kNone : *s.begin(); };
    const std::uint32_t yes = first(group.heads_yes);
    const std::uint32_t either = std::min(yes, first(group.heads_no));
    std::uint32_t head = kNone;
    switch (group.mode) {
      case Mode::ByRoot: head = either; break;
      case Mode::RootOnly: head = group.root ? either : kNone; break;
      case Mode::Grant:
        head = group.live ? (group.target_answer ? yes : kNone) : (group.root ? either : yes);
        break;
    }
    count_work(1);
    if (head == group.head) return;
    if (group.head != kNone) allowed_.erase(group.head);
    group.head = head;
    if (head != kNone) allowed_.insert(head);
  }

  detail::Sequence& sequence_;
  std::vector<const VerifiedRecord*> candidates_;  // in the order they are judged in
  std::vector<std::uint32_t> class_of_;            // by candidate
  std::vector<Group> groups_;
  std::vector<Class> classes_;
  std::set<std::uint32_t> allowed_;  // each group's oldest allowed member
  std::map<HashValue, std::vector<std::uint32_t>> by_hash_;
  std::vector<std::vector<std::uint32_t>> by_signer_;           // groups, by principal
  std::vector<std::vector<std::uint32_t>> by_target_item_;      // groups, by grant item
  std::vector<std::vector<std::uint32_t>> by_target_question_;  // groups, by the question of their target
  std::vector<std::vector<std::uint32_t>> by_named_;            // classes, by question
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
  std::vector<const VerifiedRecord*> in_force;
  if (!candidates.empty()) {
    Judgements judgements(sequence, std::move(candidates), root.user_id);
    while (const VerifiedRecord* chosen = sequence.stopped() ? nullptr : judgements.next()) {
      admitted.insert(chosen->hash);
      in_force.push_back(chosen);
      judgements.admitted(chosen->hash);
      sequence.admit(*chosen);
      judgements.update();
    }
  }
  // Stopped early, it holds nothing worth assembling: the caller discards it.
  const auto stopped = [&] {
    EffectiveState nothing;
    nothing.blocked = true;
    return std::pair{std::move(nothing), std::move(admitted)};
  };
  if (sequence.stopped()) return stopped();
  if (sequence.exact()) {
    return {detail::assemble(root_record, root.fingerprint, records, prepared, sequence.selection(), sequence.blocked()),
            std::move(admitted)};
  }
  // The walk kept only what judgements read up to date: the rest is found
  // once, with every admitted deletion in force.
  detail::Sequence final_state(prepared, root_record);
  final_state.compute(in_force);
  if (final_state.stopped()) return stopped();
  return {detail::assemble(root_record, root.fingerprint, records, prepared, final_state.selection(),
                           final_state.blocked()),
          std::move(admitted)};
}

}  // namespace vornex::core::validate
