// A run through the iterations: each evaluates the items whose inputs
// differ from its baseline, then carries their changes into the root flags
// and answers they can move, and marks what those change for the next
// iteration, until an iteration changes nothing or the 64th.
#include "sequence_impl.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/authz_index.hpp"

namespace vornex::core::validate::detail {

void Sequence::Impl::mark(std::uint32_t candidate, Dirty& into) {
  const std::uint32_t item = cands_[candidate].item;
  if (focused_ && !need_item_[item]) {
    exact_ = false;
    return;
  }
  into.add(items_, item);
  into.changed[item].push_back(candidate);
}

void Sequence::Impl::mark_whole(std::uint32_t item, Dirty& into) {
  into.add(items_, item);
  into.whole[item] = true;
}

void Sequence::Impl::run(bool restore) {
  restore_ = restore;
  seen_.resize(principals_.size(), 0);
  question_mark_.resize(questions_.size(), 0);
  Dirty* now = &dirty_[0];
  Dirty* next = &dirty_[1];
  now->begin(items_.size());
  for (Iteration k = 1;; ++k) {
    for (const std::uint32_t candidate : always_) mark(candidate, *now);
    if (k == 1) {
      for (const std::uint32_t item : first_) mark_whole(item, *now);
    }
    changes_.clear();
    for (std::size_t pass = 0; pass < kPasses; ++pass) {
      for (std::size_t i = 0; i < now->items[pass].size() && !stop_.stopped(); ++i) {
        const std::uint32_t id = now->items[pass][i];
        Item& item = items_[id];
        const ItemValue value = evaluate(item, k, now->whole[id] ? nullptr : &now->changed[id]);
        item.top.set(k, found_top_, restore, on_point_of(Handle{Handle::Top, id}));
        const ItemValue before = item.value.at(k);
        if (value == before) continue;
        item.value.set(k, value, restore, on_point_of(Handle{Handle::Item, id}));
        refresh_memberships(id);
        memberships_moved(id);
        touch(Handle{Handle::Item, id});
        changes_.push_back(Change{id, before, value});
        // A user or group coming or going: what names it is judged again
        // in this iteration's later passes.
        const bool was_live = before.kind == ItemValue::Kind::Live;
        if (item.principal != kNone && was_live != (value.kind == ItemValue::Kind::Live)) {
          for (const std::uint32_t dependent : principals_[item.principal].existence_dependents) {
            mark(dependent, *now);
          }
        }
      }
    }
    next->begin(items_.size());
    authority(k, restore, *next);
    std::swap(now, next);
    if (stop_.stopped()) {
      // What is there is meaningless: the caller discards it.
      final_ = k;
      blocked_ = true;
      return;
    }
    if (k >= 2 && change_count_[k] == 0) {
      final_ = k;
      blocked_ = false;
      truncate_after(k);
      return;
    }
    if (!restore && repeats(k)) return;
    if (k == kLastIteration) {
      final_ = k;
      blocked_ = true;
      return;
    }
  }
}

// Carries iteration k's changed items into its root flags and answers,
// and marks the items whose inputs they change for iteration k + 1.
void Sequence::Impl::authority(Iteration k, bool restore, Dirty& next) {
  std::map<std::uint32_t, std::int64_t> entry_delta;
  std::map<std::uint32_t, std::int64_t> root_delta;
  std::vector<EdgeChange> edges;
  const auto contribute = [&](const ItemValue& v, std::int64_t d) {
    if (v.kind != ItemValue::Kind::Live) return;
    if (v.winner->entry != kNone) entry_delta[v.winner->entry] += d;
    if (v.winner->root_grant) root_delta[v.winner->named] += d;
  };
  for (const Change& c : changes_) {
    const Item& item = items_[c.item];
    if (item.pass == Pass::Grants) {
      contribute(c.before, -1);
      contribute(c.now, 1);
    } else if (item.pass == Pass::Members) {
      // A membership kept in force by another of its records moves no
      // edge: what is below it keeps every flag and answer.
      const bool was = c.before.kind == ItemValue::Kind::Live;
      if (was != (c.now.kind == ItemValue::Kind::Live)) {
        const Candidate& winner = *(was ? c.before : c.now).winner;
        edges.push_back(EdgeChange{winner.group, winner.named, !was});
      }
    }
  }
  // The counts of grants in force giving each entry or root flag; those
  // that came or went (a count to or from zero).
  const auto apply = [&](const std::map<std::uint32_t, std::int64_t>& deltas, auto&& count_of, Handle::Kind kind) {
    std::vector<std::uint32_t> moved;
    for (const auto& [i, d] : deltas) {
      if (d == 0) continue;
      Timeline<std::uint32_t>& count = count_of(i);
      const std::uint32_t before = count.at(k);
      const auto now = static_cast<std::uint32_t>(static_cast<std::int64_t>(before) + d);
      count.set(k, now, restore, on_point_of(Handle{kind, i}));
      if (kind == Handle::Entry) {
        ++entry_epoch_;
        refresh_filing(i);
      }
      if ((before > 0) != (now > 0)) moved.push_back(i);
    }
    return moved;
  };
  const std::vector<std::uint32_t> entries_changed = apply(
      entry_delta, [&](std::uint32_t g) -> Timeline<std::uint32_t>& { return entry_groups_[g].count; }, Handle::Entry);
  const std::vector<std::uint32_t> root_sources = apply(
      root_delta, [&](std::uint32_t p) -> Timeline<std::uint32_t>& { return principals_[p].root_grants; },
      Handle::RootGrants);

  // Root flags: of everything below a root grant that came or went, or
  // below a membership that came or went under a group that could pass
  // the flag on; each recomputed over that part alone.
  std::vector<std::uint32_t> sources = root_sources;
  for (const EdgeChange& e : edges) {
    if (principals_[e.group].root_above) sources.push_back(e.member);
  }
  std::vector<std::uint32_t> reach;
  if (!sources.empty()) below(sources, k, false, reach);
  std::vector<std::uint32_t> roots_changed = recompute_roots(reach, k, restore);

  // Answers: every question of a principal whose root flag changed, of
  // everything below a membership that came or went under a group that
  // could pass entries on, each question an entry that went was found
  // answering, and each question answered no that an entry that came
  // answers of its holder and everything below it.
  file_questions();
  const std::uint32_t qstamp = ++question_stamp_;
  question_mark_.resize(questions_.size(), 0);
  std::vector<std::uint32_t> to_answer;
  const auto ask = [&](std::uint32_t q) {
    if (question_mark_[q] == qstamp) return;
    if (focused_ && !need_question_[q]) {
      exact_ = false;
      return;
    }
    question_mark_[q] = qstamp;
    to_answer.push_back(q);
  };
  const auto ask_all_of = [&](std::uint32_t p) {
    if (const auto& asked = principals_[p].asked) {
      for (const std::uint32_t q : asked->questions) ask(q);
    }
  };
  // Asks, of an asker's questions answered no, those an entry group
  // answers, each looked at counted in `spent`.
  const auto ask_answerable = [&](const Asked& asked, const EntryGroup& group, std::uint64_t& spent) {
    const unsigned carried = grant_class_bits(group.entry->grantable);
    asked.answerable(group.entry->selector, group.path, [&](std::uint32_t q) {
      ++spent;
      if (question_mark_[q] == qstamp || questions_[q].answer.at(k)) return;
      const auto what = asked_of_entries(*questions_[q].permission);
      // The lookup found it by a path the entry covers: its labels decide.
      if (what && (what->first & carried) == what->first &&
          sorted_labels_subsume(group.entry->selector, *what->second)) {
        ask(q);
      }
    });
  };
  // Asks, of each asker's questions answered no, those one of `entries`
  // answers; false once that has cost more than `budget`.
  const auto ask_covered = [&](std::span<const std::uint32_t> askers, std::span<const std::uint32_t> entries,
                               std::uint64_t budget) {
    std::uint64_t spent = 0;
    for (const std::uint32_t p : askers) {
      const auto& asked = principals_[p].asked;
      if (!asked) continue;
      for (const std::uint32_t g : entries) {
        ++spent;
        ask_answerable(*asked, entry_groups_[g], spent);
        if (spent > budget) {
          step(spent);
          return false;
        }
      }
    }
    step(spent);
    return true;
  };
  // Asks the questions of the askers `below` marked with `asking` whose
  // yes was found through an entry of one of `holders`; false once that
  // has cost more than `budget`.
  const auto ask_witnessed = [&](std::span<const std::uint32_t> holders, std::uint32_t asking, std::uint64_t budget) {
    std::uint64_t spent = 0;
    for (const std::uint32_t h : holders) {
      for (const std::uint32_t g : held_[h]) {
        ++spent;
        for (const std::uint32_t q : entry_groups_[g].witnessed) {
          if (++spent > budget) {
            step(spent);
            return false;
          }
          const Question& question = questions_[q];
          if (seen_[question.asker] == asking && question.answer.at(k) && question.witness.at(k) == g) ask(q);
        }
      }
    }
    step(spent);
    return true;
  };
  for (const std::uint32_t p : roots_changed) ask_all_of(p);
  // Below a membership that went, only a yes can change, and below one
  // that came only a no: fewer entries answer no more, and more no less.
  std::vector<std::uint32_t> askers;
  for (const bool came : {false, true}) {
    sources.clear();
    for (const EdgeChange& e : edges) {
      if (e.came == came && principals_[e.group].entries_above && principals_[e.member].asks_below) {
        sources.push_back(e.member);
      }
    }
    askers.clear();
    if (sources.empty()) continue;
    below(sources, k, true, askers);
    const std::uint32_t asking = stamp_;  // `below`'s mark on each asker
    // A yes stays while the entry it was found through is reachable: only
    // where that entry's holder is above a group whose membership went
    // can the way to it have passed through the membership. A yes the
    // root flag gave changes with the flag, asked above. A no stays
    // unless an entry in force held above a group whose membership came
    // answers it: none else has become reachable. Those entries are
    // looked up in each asker's questions, unless that costs more than
    // asking every question answered no; and the yes answers found
    // through an entry of a holder above are read off its entries'
    // witnessed lists, unless that costs more than reading every question.
    std::uint64_t budget = askers.size();
    for (const std::uint32_t p : askers) {
      if (const auto& asked = principals_[p].asked) budget += asked->questions.size();
    }
    std::vector<std::uint32_t> reachable;
    const std::uint32_t above = mark_above(edges, came, k, &reachable, budget);
    if (came && reachable.empty()) continue;
    if (came && reachable.size() <= budget && ask_covered(askers, reachable, budget)) continue;
    if (!came && reachable.size() <= budget && ask_witnessed(reachable, asking, budget)) continue;
    for (const std::uint32_t p : askers) {
      const auto& asked = principals_[p].asked;
      if (!asked) continue;
      step(asked->questions.size());
      for (const std::uint32_t q : asked->questions) {
        const Question& question = questions_[q];
        if (question.answer.at(k) == came) continue;
        if (!came) {
          const std::uint32_t w = question.witness.at(k);
          if (w == kNone || above_mark_[entry_groups_[w].holder] != above) continue;
        }
        ask(q);
      }
    }
  }
  // An entry that went changes only the answers it was found giving: the
  // questions it witnessed in k. The rest of its list is kept while a
  // witness in another iteration names it: read here where a question's
  // witnesses are few, else when the list is swept (`witness`).
  std::vector<std::uint32_t> coming;
  for (const std::uint32_t g : entries_changed) {
    EntryGroup& group = entry_groups_[g];
    if (group.count.at(k) > 0) {
      coming.push_back(g);
      continue;
    }
    std::uint64_t steps = 0;
    for (std::size_t i = 0; i < group.witnessed.size();) {
      ++steps;
      const std::uint32_t q = group.witnessed[i];
      Question& question = questions_[q];
      if (question.witness.at(k) == g) ask(q);
      const std::size_t points = question.witness.change_count();
      if (question.listed == g || points > kWitnessPointsRead) {
        ++i;
        continue;
      }
      // A few points, read as one step like any other timeline read.
      if (question.witness.ever([&](std::uint32_t w) { return w == g; })) {
        ++i;
        continue;
      }
      group.witnessed[i] = group.witnessed.back();
      group.witnessed.pop_back();
    }
    step(steps);
  }
  // Entries that came, by holder: one walk below each holder for all of
  // its entries, asking the questions answered no that each could answer.
  // Where holders lie below one another (a chain of them), or one holder's
  // many entries meet the same questions, those walks and lookups cross
  // the same questions again and again: once they have cost as much as
  // asking every question below every such holder, each of those is asked
  // instead, answered through the lines of holders.
  std::vector<std::uint32_t> by_holder = std::move(coming);
  std::stable_sort(by_holder.begin(), by_holder.end(), [&](std::uint32_t a, std::uint32_t b) {
    return entry_groups_[a].holder < entry_groups_[b].holder;
  });
  std::vector<std::uint32_t> holders;
  for (const std::uint32_t g : by_holder) {
    const std::uint32_t h = entry_groups_[g].holder;
    if (principals_[h].asks_below && (holders.empty() || holders.back() != h)) holders.push_back(h);
  }
  std::vector<std::uint32_t> everyone;
  std::uint64_t budget = 0;
  if (!holders.empty()) {
    below(holders, k, true, everyone);
    budget = everyone.size();
    for (const std::uint32_t p : everyone) {
      if (const auto& asked = principals_[p].asked) budget += asked->questions.size();
    }
    step(everyone.size());
  }
  std::uint64_t spent = 0;
  std::uint32_t walked = kNone;
  for (const std::uint32_t g : by_holder) {
    if (stop_.stopped()) return;
    if (!everyone.empty() && spent > budget) {
      for (const std::uint32_t p : everyone) ask_all_of(p);
      break;
    }
    const EntryGroup& group = entry_groups_[g];
    if (!principals_[group.holder].asks_below) continue;
    if (group.holder != walked) {
      walked = group.holder;
      askers.clear();
      below(std::span(&group.holder, 1), k, true, askers);
      spent += askers.size();
    }
    for (const std::uint32_t p : askers) {
      const auto& asked = principals_[p].asked;
      if (!asked) continue;
      ++spent;
      ask_answerable(*asked, group, spent);
    }
  }
  // By asker, so that each one's groups are walked once.
  std::stable_sort(to_answer.begin(), to_answer.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return questions_[a].asker < questions_[b].asker; });
  for (const std::uint32_t q : to_answer) {
    if (stop_.stopped()) return;
    const auto [answer, through] = evaluate_answer(q, k);
    witness(q, through, k, restore);
    Question& question = questions_[q];
    if (!question.answer.set(k, answer, restore, on_point_of(Handle{Handle::Answer, q}))) continue;
    touch(Handle{Handle::Answer, q});
    for (std::uint32_t c = question.candidate; c != kNone; c = cands_[c].next_asking) mark(c, next);
  }
  for (const std::uint32_t p : roots_changed) {
    for (const std::uint32_t candidate : principals_[p].root_dependents) mark(candidate, next);
  }
}

// Marks, with a new stamp of `above_mark_` that it returns, every
// principal at or above the group of each membership that came (or went)
// in k, through memberships in force in k. With `in_force`, also lists
// the entry groups in force in k they hold (for memberships that came) or
// the holders among them (for those that went), looking no further once
// there are more than `cap`.
std::uint32_t Sequence::Impl::mark_above(std::span<const EdgeChange> edges, bool came, Iteration k,
                                         std::vector<std::uint32_t>* in_force, std::uint64_t cap) {
  above_mark_.resize(principals_.size(), 0);
  const std::uint32_t stamp = ++above_stamp_;
  std::vector<std::uint32_t> stack;
  for (const EdgeChange& e : edges) {
    if (e.came != came || above_mark_[e.group] == stamp) continue;
    above_mark_[e.group] = stamp;
    stack.push_back(e.group);
  }
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    if (!came && in_force != nullptr && in_force->size() <= cap && principals_[p].has_entries) {
      in_force->push_back(p);
    } else if (came && in_force != nullptr && in_force->size() <= cap && principals_[p].has_entries) {
      std::uint64_t steps = 0;
      for (const std::uint32_t g : held_[p]) {
        ++steps;
        if (entry_groups_[g].count.at(k) == 0) continue;
        in_force->push_back(g);
        if (in_force->size() > cap) break;
      }
      step(steps);
    }
    each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
      if (above_mark_[m.group] == stamp || !edge_live(m, k)) return;
      above_mark_[m.group] = stamp;
      stack.push_back(m.group);
    });
  }
  return stamp;
}

// The root flags in iteration k of the principals in `reach` (and of
// nothing else: everything above them keeps its flag), from the root
// grants in force and the memberships in force; those that changed.
std::vector<std::uint32_t> Sequence::Impl::recompute_roots(std::vector<std::uint32_t>& reach, Iteration k,
                                                           bool restore) {
  std::vector<std::uint32_t> changed;
  if (focused_) {
    // Every group above a principal in focus is in focus too.
    const auto out = std::remove_if(reach.begin(), reach.end(), [&](std::uint32_t p) { return !need_root_[p]; });
    if (out != reach.end()) exact_ = false;
    reach.erase(out, reach.end());
  }
  if (reach.empty()) return changed;
  std::sort(reach.begin(), reach.end());
  reach.erase(std::unique(reach.begin(), reach.end()), reach.end());
  const std::uint32_t stamp = ++stamp_;
  for (const std::uint32_t p : reach) seen_[p] = stamp;  // in reach, not yet known to be root
  const std::uint32_t rooted = ++stamp_;
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t p : reach) {
    step();
    Principal& at = principals_[p];
    bool root = p == root_principal_ || at.root_grants.at(k) > 0;
    if (!root) {
      each_listed(at.up, &Membership::in_up, [&](const Membership& m) {
        root = root || (seen_[m.group] != stamp && seen_[m.group] != rooted && principals_[m.group].root.at(k) &&
                        edge_live(m, k));
      });
    }
    if (root) {
      seen_[p] = rooted;
      stack.push_back(p);
    }
  }
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    each_listed(principals_[p].down, &Membership::in_down, [&](const Membership& m) {
      if (seen_[m.member] != stamp || !edge_live(m, k)) return;
      seen_[m.member] = rooted;
      stack.push_back(m.member);
    });
  }
  for (const std::uint32_t p : reach) {
    Principal& at = principals_[p];
    if (at.root.set(k, seen_[p] == rooted, restore, on_point_of(Handle{Handle::Root, p}))) {
      touch(Handle{Handle::Root, p});
      changed.push_back(p);
    }
  }
  return changed;
}

}  // namespace vornex::core::validate::detail
