// A question's answer in one iteration, and the walks above its asker it
// takes: up lines of principals holding nothing (`through`), up lines of
// holders by skew-binary jumps over merged segments (`line_of`), over the
// holders first met above several groups (`frontier_of`), or over every
// holder above, walked once and merged (`above_of`); and the walk down
// from changed principals to everything below them (`below`).
#include "sequence_impl.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "vornex/core/authz_index.hpp"

namespace vornex::core::validate::detail {

namespace {

// Answering entries up a question's path that its witness is drawn from.
constexpr std::size_t kWitnessChoices = 8;
// A witnessed list this long or shorter is never swept.
constexpr std::size_t kWitnessedUnswept = 8;

}  // namespace

// Whether one of the manage entries in force in iteration k of a holder's
// places (or of a merged index's), `filed` of them filed, lets it create
// what `asked` asks; `node` is the asked selector's path node (none for
// Any). Prefix entries are looked for at the path's ancestors, or among
// the places' Prefix ones where they are fewer.
const EntryGroup* Sequence::Impl::holds_answer(HeldEntries& entries, std::uint32_t filed, unsigned required,
                                               const KeyspaceSelectorV1& selector, std::uint32_t node, Iteration k) {
  if (filed == 0) return nullptr;
  const auto present = [&](const EntryGroup& g) { return g.count.at(k) > 0; };
  const EntryGroup* found = nullptr;
  const auto covers = [&](const EntrySlot& slot) {
    step(1);
    if (!slot.empty()) found = slot.covers(selector, &selector_of_group, posting_live, present, draw(), k);
    return found != nullptr;
  };
  const bool exact = std::holds_alternative<tuple_matcher::Exact>(selector.tuple);
  for (unsigned bits = 0; bits < entries.by_classes.size(); ++bits) {
    if ((bits & required) != required || (entries.used >> bits & 1u) == 0) continue;
    EntryPlaces& places = entries.by_classes[bits];
    if (covers(places.any)) return found;
    if (node == kNone) continue;  // only Any covers Any
    if (exact) {
      step(1);
      if (const auto it = places.exact.find(node); it != places.exact.end() && covers(it->second)) return found;
    }
    if (places.prefix.empty()) continue;
    if (paths_.depth(node) < places.prefix.size()) {
      // One of the nearest few that answer, at random: the nearest alone
      // would be the next to go where entries go deepest first, and every
      // one would cost the whole path where entries lie at every depth.
      std::vector<const EntryGroup*> answering;
      for (std::uint32_t n = prefix_at_or_above(node); n != kNone && answering.size() < kWitnessChoices;
           n = prefix_at_or_above(paths_.parent(n))) {
        step(1);
        if (const auto it = places.prefix.find(n); it != places.prefix.end() && covers(it->second)) {
          answering.push_back(found);
        }
      }
      if (!answering.empty()) return answering[draw() % answering.size()];
    } else {
      paths_.number();
      for (const auto& [n, slot] : places.prefix) {
        step(1);
        if (paths_.within(n, node) && covers(slot)) return found;
      }
    }
  }
  return nullptr;
}

// A question's answer in iteration k, from the root flags of k (already
// settled for k) and the entries in force in k of the asker and of every
// group above it.
std::pair<bool, std::uint32_t> Sequence::Impl::evaluate_answer(std::uint32_t q, Iteration k) {
  step();
  const Question& question = questions_[q];
  if (principals_[question.asker].root.at(k)) return {true, kNone};
  const auto asked = asked_of_entries(*question.permission);
  if (!asked) return {false, kNone};
  std::uint32_t witness = kNone;
  const auto holds = [&](HeldEntries& entries, std::uint32_t filed) {
    const EntryGroup* found = holds_answer(entries, filed, asked->first, *asked->second, question.path, k);
    if (found != nullptr) witness = found->id;
    return found != nullptr;
  };
  AnswerReach& reach = reach_in(k);
  const std::uint32_t from = through(question.asker, k);
  const bool yes = principals_[from].has_entries ? any_on_line(reach, line_of(reach, from, k), k, holds)
                                                 : any_in_frontier(reach, frontier_of(reach, from, k), from, k, holds);
  return {yes, yes ? witness : kNone};
}

// The nearest path node at or above `node` that a prefix entry names, of
// any holder; none if there is none (or `node` is none). A walk up a path
// for prefix entries passes over the paths only questions name, each
// found once: every entry's path is interned before the first walk, so a
// node interned later, splitting an edge, is never one, and what a node
// found has above it stays true.
std::uint32_t Sequence::Impl::prefix_at_or_above(std::uint32_t node) {
  constexpr std::uint32_t kUnknown = kNone - 1;
  std::vector<std::uint32_t>& walked = prefix_walk_;
  walked.clear();
  std::uint32_t at = node;
  std::uint32_t found = kNone;
  // The caller's step for the node asked pays for a node known.
  while (at != kNone) {
    if (at < prefix_node_.size() && prefix_node_[at]) {
      found = at;
      break;
    }
    if (at < prefix_up_.size() && prefix_up_[at] != kUnknown) {
      found = prefix_up_[at];
      break;
    }
    walked.push_back(at);
    at = paths_.parent(at);
  }
  step(walked.size());
  for (const std::uint32_t w : walked) {
    if (prefix_up_.size() <= w) prefix_up_.resize(w + 1, kUnknown);
    prefix_up_[w] = found;
  }
  return found;
}

// Keeps the entry group question q's answer was found through in k, and
// puts q on that group's list, so that the group going asks it again.
void Sequence::Impl::witness(std::uint32_t q, std::uint32_t group, Iteration k, bool restore) {
  Question& question = questions_[q];
  question.witness.set(k, group, restore, on_point_of(Handle{Handle::Witness, q}));
  if (group == kNone || question.listed == group) return;
  question.listed = group;
  EntryGroup& listing = entry_groups_[group];
  listing.witnessed.push_back(q);
  // A question whose witnesses change from iteration to iteration is not
  // read for staleness when the group goes (`authority`), so its list is
  // swept as it doubles.
  if (question.witness.change_count() > kWitnessPointsRead &&
      listing.witnessed.size() >= 2 * std::size_t{listing.witnessed_swept} + kWitnessedUnswept) {
    sweep_witnessed(group);
  }
}

// Drops from a group's witnessed list the questions whose witnesses name
// it in no iteration, and the second of any question on it twice. Run
// when the list has doubled, its cost (each question's witness points)
// is paid by the questions put on it since.
void Sequence::Impl::sweep_witnessed(std::uint32_t g) {
  std::vector<std::uint32_t>& list = entry_groups_[g].witnessed;
  const std::uint32_t stamp = ++witness_stamp_;
  witness_mark_.resize(questions_.size(), 0);
  std::uint64_t steps = 0;
  for (std::size_t i = 0; i < list.size();) {
    const std::uint32_t q = list[i];
    Question& question = questions_[q];
    ++steps;
    const bool twice = witness_mark_[q] == stamp;
    // One last put here is kept unread: its witnesses have named no other
    // group since, so it is read when that changes.
    const auto names = [&] {
      if (question.listed == g) return true;
      steps += question.witness.change_count();
      return question.witness.ever([&](std::uint32_t w) { return w == g; });
    };
    if (!twice && names()) {
      witness_mark_[q] = stamp;
      ++i;
      continue;
    }
    if (!twice && question.listed == g) question.listed = kNone;
    list[i] = list.back();
    list.pop_back();
  }
  entry_groups_[g].witnessed_swept = static_cast<std::uint32_t>(list.size());
  step(steps);
}

// Walks the holders at `from` or above it through memberships in force in
// k, each met once, handing each to `on_holder`. With `stop_at_holders`,
// the walk goes no higher than a holder; with `through_lines`, it goes up
// each line of groups holding nothing at once (`through`), shared rather
// than walked; without either, it goes up group by group to the top.
template <class OnHolder>
void Sequence::Impl::walk_up(std::uint32_t from, Iteration k, UpWalk how, OnHolder&& on_holder) {
  ++stamp_;
  std::vector<std::uint32_t> stack{from};
  seen_[from] = stamp_;
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    if (principals_[p].has_entries) {
      on_holder(p);
      if (how.stop_at_holders) continue;
    }
    each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
      if (!principals_[m.group].entries_above || !edge_live(m, k)) return;
      const std::uint32_t up = how.through_lines ? through(m.group, k) : m.group;
      if (seen_[up] == stamp_) return;
      seen_[up] = stamp_;
      stack.push_back(up);
    });
  }
}

// The frontier of holders above `from`, which holds nothing: up to the
// first holder of each way up, whose line reaches the rest.
std::uint32_t Sequence::Impl::frontier_of(AnswerReach& reach, std::uint32_t from, Iteration k) {
  const auto [known, created] =
      reach.frontier_at.try_emplace(from, static_cast<std::uint32_t>(reach.frontiers.size()));
  if (!created) return known->second;
  const std::uint32_t index = known->second;
  reach.frontiers.emplace_back();
  std::vector<std::uint32_t> holders;
  walk_up(from, k, UpWalk{.stop_at_holders = true, .through_lines = true},
          [&](std::uint32_t h) { holders.push_back(h); });
  for (const std::uint32_t h : holders) {
    const std::uint32_t line = line_of(reach, h, k);
    Frontier& frontier = reach.frontiers[index];
    frontier.lines.push_back(line);
    frontier.entries += reach.lines[line].entries;
  }
  return index;
}

template <class Holds>
bool Sequence::Impl::any_in_frontier(AnswerReach& reach, std::uint32_t index, std::uint32_t from, Iteration k,
                                     Holds&& holds) {
  if (reach.frontiers[index].above != kNone) return any_above(reach, reach.frontiers[index].above, k, holds);
  std::uint64_t spent = 0;
  bool found = false;
  for (std::size_t i = 0; i < reach.frontiers[index].lines.size() && !found; ++i) {
    ++spent;
    found = any_on_line(reach, reach.frontiers[index].lines[i], k, holds, &spent);
  }
  step(spent);
  Frontier& frontier = reach.frontiers[index];
  frontier.scanned += spent;
  if (frontier.lines.size() > 1 && frontier.scanned > frontier.entries) {
    const std::uint32_t above = above_of(reach, from, k);
    reach.frontiers[index].above = above;
  }
  return found;
}

// What one iteration's questions are asked of, as its memberships and
// entries are: made as they are asked, and dropped when either changes.
AnswerReach& Sequence::Impl::reach_in(Iteration k) {
  AnswerReach& reach = reaches_[k];
  if (reach.member_epoch != member_epoch_ || reach.entry_epoch != entry_epoch_) {
    reach = AnswerReach{};
    reach.member_epoch = member_epoch_;
    reach.entry_epoch = entry_epoch_;
  }
  return reach;
}

// One index over the entries in force in k of these holders: a question
// asks it as it would ask each of them.
std::unique_ptr<MergedEntries> Sequence::Impl::merged_of(std::span<const std::uint32_t> holders, Iteration k) {
  auto merged = std::make_unique<MergedEntries>();
  std::uint64_t steps = 0;
  for (const std::uint32_t h : holders) {
    for (const std::uint32_t g : held_[h]) {
      ++steps;
      const EntryGroup& group = entry_groups_[g];
      if (!group.filed || group.count.at(k) == 0) continue;
      file_into(merged->entries, group);
      ++merged->filed;
    }
  }
  step(steps);
  return merged;
}

// The holders at `from` or above it through memberships in force in k,
// found once for every question asked over them in k until a membership
// or an entry changes; once their questions have looked through more
// holders than they hold entries, one index over all of them answers.
std::uint32_t Sequence::Impl::above_of(AnswerReach& reach, std::uint32_t from, Iteration k) {
  const auto [known, created] = reach.above_at.try_emplace(from, static_cast<std::uint32_t>(reach.aboves.size()));
  if (!created) return known->second;
  HoldersAbove& above = reach.aboves.emplace_back();
  walk_up(from, k, UpWalk{.stop_at_holders = false, .through_lines = false}, [&](std::uint32_t h) {
    above.holders.push_back(h);
    above.entries += held_[h].size();
  });
  return known->second;
}

template <class Holds>
bool Sequence::Impl::any_above(AnswerReach& reach, std::uint32_t index, Iteration k, Holds&& holds,
                               std::uint64_t* spent) {
  HoldersAbove& above = reach.aboves[index];
  if (above.merged) {
    step(1);
    if (spent != nullptr) ++*spent;
    return holds(above.merged->entries, above.merged->filed);
  }
  std::uint64_t steps = 0;
  bool found = false;
  for (const std::uint32_t h : above.holders) {
    ++steps;
    Principal& holder = principals_[h];
    if (holds(*holder.entries, holder.filed_entries)) {
      found = true;
      break;
    }
  }
  step(steps);
  if (spent != nullptr) *spent += steps;
  above.scanned += steps;
  if (above.holders.size() > 1 && above.scanned > above.entries) above.merged = merged_of(above.holders, k);
  return found;
}

// The line of holders `holder` is on in k, made up to where it joins one
// already made: each holder on it is, in force, a member of one group
// only that could pass entries on, and that group leads (up principals
// holding nothing, as `through` goes) to the next holder. The top reaches
// what is above it (several groups, or a cycle of holders) by the walk
// of `above_of`.
std::uint32_t Sequence::Impl::line_of(AnswerReach& reach, std::uint32_t holder, Iteration k) {
  if (const auto known = reach.line_at.find(holder); known != reach.line_at.end()) return known->second;
  std::vector<std::uint32_t> pending;
  std::uint32_t parent = kNone;
  std::uint32_t beyond = kNone;
  const std::uint32_t walk = ++stamp_;
  std::uint32_t at = holder;
  for (;;) {
    step(1);
    if (const auto known = reach.line_at.find(at); known != reach.line_at.end()) {
      parent = known->second;
      break;
    }
    if (seen_[at] == walk) {
      // Holders in a cycle: the topmost reaches the rest by the walk.
      beyond = above_of(reach, at, k);
      break;
    }
    seen_[at] = walk;
    pending.push_back(at);
    const std::uint32_t up = only_up(at, k);
    const std::uint32_t next = up == kNone ? kNone : through(up, k);
    if (next != kNone && principals_[next].has_entries) {
      at = next;
      continue;
    }
    if (up != kNone) {
      beyond = above_of(reach, next, k);
    } else if (!principals_[at].up.empty()) {
      beyond = above_of(reach, at, k);  // several groups: itself again, then them
    }
    break;
  }
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    const auto index = static_cast<std::uint32_t>(reach.lines.size());
    HolderLine& line = reach.lines.emplace_back();
    line.holder = *it;
    line.parent = parent;
    line.entries = held_[*it].size();
    if (parent == kNone) {
      line.beyond = beyond;
      if (beyond != kNone) line.entries += reach.aboves[beyond].entries;
    } else {
      const HolderLine& above = reach.lines[parent];
      line.beyond = above.beyond;
      line.entries += above.entries;
      // Two equal segments above are jumped as one with this holder.
      const std::uint32_t next = above.jump;
      if (next != kNone && reach.lines[next].length == above.length) {
        line.jump = reach.lines[next].jump;
        line.length = 1 + 2 * above.length;
      } else {
        line.jump = parent;
      }
    }
    reach.line_at.emplace(*it, index);
    parent = index;
  }
  return parent;
}

template <class Holds>
bool Sequence::Impl::any_on_line(AnswerReach& reach, std::uint32_t from, Iteration k, Holds&& holds,
                                 std::uint64_t* spent) {
  std::uint64_t steps = 0;
  bool found = false;
  const std::uint32_t beyond = reach.lines[from].beyond;
  for (std::uint32_t at = from; at != kNone && !found;) {
    ++steps;
    HolderLine& line = reach.lines[at];
    if (!line.merged && line.length > 1 && ++line.passes >= line.length) {
      std::vector<std::uint32_t> segment;
      for (std::uint32_t i = at; i != line.jump; i = reach.lines[i].parent) segment.push_back(reach.lines[i].holder);
      step(segment.size());
      line.merged = merged_of(segment, k);
    }
    if (line.merged) {
      found = holds(line.merged->entries, line.merged->filed);
      at = line.jump;
    } else {
      Principal& holder = principals_[line.holder];
      found = holds(*holder.entries, holder.filed_entries);
      at = line.parent;
    }
  }
  step(steps);
  if (spent != nullptr) *spent += steps;
  return found || (beyond != kNone && any_above(reach, beyond, k, holds, spent));
}

// The group `p`'s one membership in force in k leads to, among groups
// with entries above; none if `p` holds entries itself or has no such
// membership or several.
std::uint32_t Sequence::Impl::single_up(std::uint32_t p, Iteration k) {
  return principals_[p].has_entries ? kNone : only_up(p, k);
}

// The group `p`'s one membership in force in k leads to, among groups
// with entries above; none if it has no such membership or several.
std::uint32_t Sequence::Impl::only_up(std::uint32_t p, Iteration k) {
  std::uint32_t only = kNone;
  bool several = false;
  each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
    if (several || !principals_[m.group].entries_above || !edge_live(m, k)) return;
    if (only != kNone && only != m.group) several = true;
    only = m.group;
  });
  return several ? kNone : only;
}

// The principal whose holders above are `p`'s in iteration k: itself,
// or the first one up a line of principals that hold no entries, each
// in force as a member of one group only. Each principal is walked once
// in an iteration until a membership changes, and a user in a group of
// its own below a long chain of groups finds the chain's walk shared;
// kept for each iteration, so that a question asked after the fixed
// point, answered in each iteration in turn, finds its walks there.
std::uint32_t Sequence::Impl::through(std::uint32_t p, Iteration k) {
  auto& known = reach_in(k).through_at;
  std::vector<std::uint32_t>& walked = through_walk_;
  walked.clear();
  std::uint32_t at = p;
  for (;;) {
    step(1);
    if (const auto it = known.find(at); it != known.end()) {
      // Known, or on this walk: a line that closes on itself ends where
      // it closes, which reaches all of it.
      if (it->second != kNone) at = it->second;
      break;
    }
    known.emplace(at, kNone);
    walked.push_back(at);
    const std::uint32_t up = single_up(at, k);
    if (up == kNone) break;
    at = up;
  }
  for (const std::uint32_t w : walked) known[w] = at;
  return at;
}

// Each principal of `from` and every principal below them through
// memberships in force in k (with `asking_only`, only those with a
// principal below them that asks), each once: changes at many groups of
// one chain walk it once.
void Sequence::Impl::below(std::span<const std::uint32_t> from, Iteration k, bool asking_only,
                           std::vector<std::uint32_t>& out) {
  ++stamp_;
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t p : from) {
    if (seen_[p] == stamp_) continue;
    seen_[p] = stamp_;
    stack.push_back(p);
  }
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    out.push_back(p);
    each_listed(principals_[p].down, &Membership::in_down, [&](const Membership& m) {
      if (seen_[m.member] == stamp_ || (asking_only && !principals_[m.member].asks_below)) return;
      if (!edge_live(m, k)) return;
      seen_[m.member] = stamp_;
      stack.push_back(m.member);
    });
  }
}

}  // namespace vornex::core::validate::detail
