// An item's outcome in one iteration: its contests tallied as their
// records' admission changes, then the admitted candidates at the highest
// counter, read from where the baseline decided when only some of the
// candidates' inputs changed.
#include "sequence_impl.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "vornex/core/validate/merge.hpp"

namespace vornex::core::validate::detail {

// Records a contender's admission in iteration k, and its contest's
// tally with it.
void Sequence::Impl::enlist(std::uint32_t candidate, Iteration k) {
  step(1);
  const std::uint32_t place = cands_[candidate].contender;
  Contender& c = contenders_[place];
  if (c.echo) return;
  const bool now = admitted(cands_[candidate], k);
  if (c.admitted.at(k) == now) return;
  c.admitted.set(k, now, restore_, on_point_of(Handle{Handle::Admission, place}));
  Timeline<std::uint32_t>& counts = class_counts_[c.counts];
  const std::uint32_t before = counts.at(k);
  const std::uint32_t after = now ? before + 1 : before - 1;
  counts.set(k, after, restore_, on_point_of(Handle{Handle::ClassCount, c.counts}));
  Contest& contest = contests_[c.contest];
  Tally t = contest.tally.at(k);
  if (now) {
    ++t.count;
    for (std::size_t i = 0; i < t.digest.size(); ++i) t.digest[i] += c.keyed[i];
    if (before == 0) {
      ++t.classes;
      t.class_sum += c.klass;
    }
  } else {
    --t.count;
    for (std::size_t i = 0; i < t.digest.size(); ++i) t.digest[i] -= c.keyed[i];
    if (after == 0) {
      --t.classes;
      t.class_sum -= c.klass;
    }
  }
  contest.tally.set(k, t, restore_, on_point_of(Handle{Handle::Tally, c.contest}));
}

// The outcome of a contest with admitted records in iteration k: equal
// bodies give their record (any of them: the outcome is read by body),
// differing bodies a conflict.
ItemValue Sequence::Impl::contest_value(const Item& item, const Contest& contest, const Tally& t) {
  if (t.classes >= 2) return ItemValue{ItemValue::Kind::Conflict, nullptr, contest.counter, t.digest};
  return decide(item, &cands_[t.class_sum]);
}

// The slot of an item in conflict at `counter` in the final iteration.
ConflictSlot Sequence::Impl::final_slot(const Item& item, std::uint64_t counter) const {
  std::vector<const VerifiedRecord*> records;
  for (std::uint32_t c = item.first; c < item.last; ++c) {
    if (cands_[c].counter == counter && admitted(cands_[c], final_)) records.push_back(cands_[c].record);
  }
  return slot_of(records);
}

// The outcome when `winner` is admitted alone at the highest counter
// that has any, or with others of the same body.
ItemValue Sequence::Impl::decide(const Item& item, const Candidate* winner) const {
  const RecordBodyV1& body = winner->record->body();
  switch (item.pass) {
    case Pass::Users:
      if (!std::holds_alternative<UserRecordV1>(body)) return ItemValue{ItemValue::Kind::Deleted, winner, 0};
      // A user who signed no entry point goes nowhere.
      if (!prepared_.entry_users.contains(std::get<UserRecordV1>(body).user_id)) return {};
      return ItemValue{ItemValue::Kind::Live, winner, 0};
    case Pass::Groups:
      return ItemValue{std::holds_alternative<GroupRecordV1>(body) ? ItemValue::Kind::Live : ItemValue::Kind::Deleted,
                       winner, 0};
    case Pass::Members:
      // A deletion of a membership leaves no trace.
      if (!std::holds_alternative<GroupMemberRecordV1>(body)) return {};
      return ItemValue{ItemValue::Kind::Live, winner, 0};
    case Pass::Grants:
      return ItemValue{std::holds_alternative<GrantRecordV1>(body) ? ItemValue::Kind::Live : ItemValue::Kind::Deleted,
                       winner, 0};
  }
  return {};
}

// The admitted candidates at the highest counter that has any, from
// candidate `from` on (they come highest counter first; a contest is
// read from its tally). That counter goes to `found_top_`.
ItemValue Sequence::Impl::top_from(const Item& item, std::uint32_t from, Iteration k) {
  for (std::uint32_t c = from; c < item.last;) {
    step(1);
    const Candidate& candidate = cands_[c];
    if (candidate.contender != kNone) {
      const Contest& contest = contests_[contenders_[candidate.contender].contest];
      const Tally& t = contest.tally.at(k);
      if (t.count > 0) {
        found_top_ = contest.counter;
        return contest_value(item, contest, t);
      }
      c = contest.last;
      continue;
    }
    if (admitted(candidate, k)) {
      found_top_ = candidate.counter;
      return decide(item, &candidate);
    }
    ++c;
  }
  found_top_ = kNoTop;
  return {};
}

// The item's outcome in iteration k, and in `found_top_` the counter it
// was decided at: only the admitted candidates at the highest counter
// count. Evaluated in full, or from the baseline's counter when only the
// candidates in `changed` may be admitted otherwise than there:
// those above the baseline's counter decide alone if one is admitted;
// below it they change nothing; at it, the counter is looked at again,
// and below it down to the next one with an admitted candidate. A
// candidate passed over so stays below the outcome from then on, so an
// item whose records lose their admission one by one is read once, not
// once per loss.
ItemValue Sequence::Impl::evaluate(const Item& item, Iteration k, const std::vector<std::uint32_t>* changed) {
  step();
  // Contests are tallied first, from the candidates whose inputs changed
  // (in full in the first iteration).
  if (changed == nullptr) {
    for (std::uint32_t c = item.first; c < item.last; ++c) {
      if (cands_[c].contender != kNone) enlist(c, k);
    }
  } else {
    for (const std::uint32_t c : *changed) {
      if (cands_[c].contender != kNone) enlist(c, k);
    }
  }
  if (changed == nullptr) return top_from(item, item.first, k);
  const ItemValue baseline = item.value.at(k);
  const std::uint64_t top_at = item.top.at(k);
  const std::optional<std::uint64_t> top = top_at == kNoTop ? std::nullopt : std::optional(top_at);
  std::optional<std::uint64_t> higher;
  bool at_top = false;
  for (const std::uint32_t c : *changed) {
    const Candidate& candidate = cands_[c];
    if (top && candidate.counter == *top) at_top = true;
    if ((!top || candidate.counter > *top) && (!higher || candidate.counter > *higher) && admitted(candidate, k)) {
      higher = candidate.counter;
    }
  }
  if (higher) {
    // Nothing else above the baseline's counter was admitted there, and
    // its inputs are the same: a contest's tally has them all, and
    // otherwise the candidate is alone at its counter.
    found_top_ = *higher;
    for (const std::uint32_t c : *changed) {
      const Candidate& candidate = cands_[c];
      if (candidate.counter != *higher) continue;
      if (candidate.contender != kNone) {
        const Contest& contest = contests_[contenders_[candidate.contender].contest];
        return contest_value(item, contest, contest.tally.at(k));
      }
      return decide(item, &candidate);
    }
  }
  if (!at_top) {
    found_top_ = top_at;
    return baseline;
  }
  const auto first = std::partition_point(cands_.begin() + item.first, cands_.begin() + item.last,
                                          [&](const Candidate& c) { return c.counter > top_at; });
  return top_from(item, static_cast<std::uint32_t>(first - cands_.begin()), k);
}

}  // namespace vornex::core::validate::detail
