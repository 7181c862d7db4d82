// The fixed point's sequence (sequence.hpp), declared once: its state and
// every step it takes, each section's code in its own file, named after it
// in the section's heading. What a hot loop calls many times over is
// defined here, so that it inlines wherever it is called.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "fixed_point.hpp"
#include "path_nodes.hpp"
#include "sequence.hpp"
#include "sequence_model.hpp"
#include "timeline.hpp"
#include "vornex/core/stop.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail {

// The sequence's parts, by the short names its files use.
using seq::AnswerReach;
using seq::Asked;
using seq::Candidate;
using seq::Contender;
using seq::Contest;
using seq::EntryGroup;
using seq::EntryKey;
using seq::EntryKeyLess;
using seq::EntryPlaces;
using seq::EntrySlot;
using seq::Frontier;
using seq::HeldEntries;
using seq::HolderLine;
using seq::HoldersAbove;
using seq::Item;
using seq::ItemValue;
using seq::kConflictDigestDomain;
using seq::kLastIteration;
using seq::kNoTop;
using seq::kPasses;
using seq::Membership;
using seq::MergedEntries;
using seq::PathNodes;
using seq::Pass;
using seq::Principal;
using seq::QuestionKey;
using seq::QuestionKeyLess;
using seq::Tally;
using seq::Timeline;
using seq::asked_of_entries;
using seq::posting_live;
using seq::segments_of;
using seq::selector_of_group;

class Sequence::Impl {
 public:
  Impl(const Prepared& prepared, const UserRecordV1& root);
  void compute(std::span<const VerifiedRecord* const> deletions);
  void admit(const HashValue& hash);
  bool blocked() const { return blocked_; }
  bool stopped() const { return stop_.stopped(); }
  SelectedAuthorizedRecords selection() const;
  std::uint32_t principal(const UserId& user);
  void focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
             std::span<const std::uint32_t> items);

  // Whether everything is up to date: nothing out of focus was passed over.
  bool exact() const { return exact_; }
  std::uint32_t grant_item(const GrantId& id) const;
  std::uint32_t question(std::uint32_t asker, const GrantPermissionV1& permission);
  bool answer(std::uint32_t q) const { return questions_[q].answer.at(final_); }
  bool is_root(std::uint32_t p) const { return principals_[p].root.at(final_); }
  const GrantRecordV1* grant(std::uint32_t item) const;
  const Sequence::Touched& touched() const { return touched_; }

 private:
  // Steps of work, counted (core/work.hpp) and for stopping early.
  void step(std::uint64_t n = 1) {
    core::count_work(n);
    stop_.stop();
  }

  struct Question {
    std::uint32_t asker;
    const GrantPermissionV1* permission;
    Timeline<bool> answer;
    std::uint32_t candidate = kNone;  // the grant record that asks it
    std::uint32_t path = kNone;       // its selector's path node; none for Any or the root permission
    // The entry group a yes was found through in each iteration; none for
    // a no or a yes the root flag gives.
    Timeline<std::uint32_t> witness = Timeline<std::uint32_t>(kNone);
    std::uint32_t listed = kNone;  // the entry group whose witnessed list it was last put on
  };

  // A timeline with a change point at some iteration, for truncation.
  struct Handle {
    enum Kind : std::uint8_t { Item, Root, RootGrants, Answer, Witness, Entry, Admission, ClassCount, Tally, Top } kind;
    std::uint32_t index;
  };

  // ---- Building (sequence_build.cpp) ---------------------------------------

  std::uint32_t principal_of(const PrincipalRefV1& ref);
  std::uint32_t add_question(std::uint32_t asker, const GrantPermissionV1& permission);
  std::uint32_t intern(const TupleMatcherV1& path);
  void file_questions();
  static std::uint64_t permission_size(const GrantPermissionV1& permission);
  std::uint32_t entry_group(std::uint32_t holder, const ManageKeyspaceGrantV1& entry);
  template <class Id, class IdOf>
  void group_items(const RecordRefs& records, Pass pass, IdOf&& id_of,
                   std::vector<std::pair<const Id*, std::uint32_t>>& index);
  void finish_item();
  void make_contest(std::uint32_t from, std::uint32_t to);
  std::array<std::uint64_t, 2> keyed_digest(const HashValue& hash) const;
  void build_items();
  void describe(std::uint32_t id);
  void add_edge(std::uint32_t item, std::uint32_t group, std::uint32_t member);
  void refresh_memberships(std::uint32_t item);
  void refresh_filing(std::uint32_t g);
  void file_into(HeldEntries& entries, const EntryGroup& group);

  // The listed memberships of `list` (a principal's up or down), dropping
  // the unlisted ones met on the way.
  template <class Visit>
  void each_listed(std::vector<std::uint32_t>& list, bool Membership::*in_list, Visit&& visit) {
    std::uint64_t steps = 0;
    for (std::size_t i = 0; i < list.size();) {
      ++steps;
      Membership& edge = memberships_[list[i]];
      if (!edge.listed) {
        edge.*in_list = false;
        list[i] = list.back();
        list.pop_back();
        continue;
      }
      visit(edge);
      ++i;
    }
    step(steps);
  }

  void build_statics();
  void spread_down(std::vector<std::uint32_t> from, bool Principal::*flag);
  void mark_asks_below(std::uint32_t asker);
  std::vector<std::uint32_t> mark_in_force(const HashValue& hash);

  // ---- Timeline bookkeeping (sequence_timelines.cpp) -----------------------

  // Counts an item's change points per iteration (an iteration with none
  // settles the fixed point) and files every timeline's for truncation.
  struct OnPoint {
    Impl* impl;
    Handle handle;
    void operator()(Iteration j, bool created) const {
      if (handle.kind == Handle::Item) impl->change_count_[j] += created ? 1 : -1;
      if (created) impl->registry_[j].push_back(handle);
    }
  };

  OnPoint on_point_of(Handle h) { return OnPoint{this, h}; }
  void touch(Handle h);
  void begin_run();
  void truncate_after(Iteration k);

  // ---- Evaluation (sequence_evaluate.cpp) ----------------------------------

  bool exists(std::uint32_t p, Iteration k) const {
    if (p == root_principal_) return true;
    const std::uint32_t item = principals_[p].item;
    return item != kNone && items_[item].value.at(k).kind == ItemValue::Kind::Live;
  }

  bool admitted(const Candidate& c, Iteration k) const {
    const auto root_signer = [&] { return principals_[c.signer].root.at(static_cast<Iteration>(k - 1)); };
    return std::visit(
        [&](const auto& b) -> bool {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, GroupRecordV1> ||
                        std::is_same_v<B, GroupMemberDeletedRecordV1>) {
            return root_signer();
          } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
            return root_signer() && exists(c.group, k) && exists(c.named, k);
          } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
            return exists(c.named, k) && questions_[c.question].answer.at(static_cast<Iteration>(k - 1));
          } else {
            return c.in_force;
          }
        },
        c.record->body());
  }

  void enlist(std::uint32_t candidate, Iteration k);
  ItemValue contest_value(const Item& item, const Contest& contest, const Tally& t);
  ConflictSlot final_slot(const Item& item, std::uint64_t counter) const;
  ItemValue decide(const Item& item, const Candidate* winner) const;
  ItemValue top_from(const Item& item, std::uint32_t from, Iteration k);
  ItemValue evaluate(const Item& item, Iteration k, const std::vector<std::uint32_t>* changed);

  // ---- Answers and the walks above askers (sequence_answers.cpp) -----------

  // Whether the membership is in force in iteration k with a record naming
  // its member and group.
  bool edge_live(const Membership& m, Iteration k) const {
    const ItemValue& v = items_[m.item].value.at(k);
    return v.kind == ItemValue::Kind::Live && v.winner->group == m.group && v.winner->named == m.member;
  }

  const EntryGroup* holds_answer(HeldEntries& entries, std::uint32_t filed, unsigned required,
                                 const KeyspaceSelectorV1& selector, std::uint32_t node, Iteration k);
  // The answer, and the entry group it was found through (none for a no
  // or the root flag's yes).
  std::pair<bool, std::uint32_t> evaluate_answer(std::uint32_t q, Iteration k);
  void witness(std::uint32_t q, std::uint32_t group, Iteration k, bool restore);
  void sweep_witnessed(std::uint32_t group);
  // A question's witness points read to see whether it still names a
  // group that goes; one with more waits for its list's sweep.
  static constexpr std::size_t kWitnessPointsRead = 4;
  // A number drawn for where a search starts reading; never decides a result.
  std::uint64_t draw() {
    draw_ += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = draw_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // How `walk_up` goes: whether it stops at holders, and whether it takes
  // lines of groups holding nothing at once.
  struct UpWalk {
    bool stop_at_holders;
    bool through_lines;
  };
  template <class OnHolder>
  void walk_up(std::uint32_t from, Iteration k, UpWalk how, OnHolder&& on_holder);

  std::uint32_t frontier_of(AnswerReach& reach, std::uint32_t from, Iteration k);
  template <class Holds>
  bool any_in_frontier(AnswerReach& reach, std::uint32_t index, std::uint32_t from, Iteration k, Holds&& holds);
  AnswerReach& reach_in(Iteration k);
  std::unique_ptr<MergedEntries> merged_of(std::span<const std::uint32_t> holders, Iteration k);
  std::uint32_t above_of(AnswerReach& reach, std::uint32_t from, Iteration k);
  template <class Holds>
  bool any_above(AnswerReach& reach, std::uint32_t index, Iteration k, Holds&& holds,
                 std::uint64_t* spent = nullptr);
  std::uint32_t line_of(AnswerReach& reach, std::uint32_t holder, Iteration k);
  template <class Holds>
  bool any_on_line(AnswerReach& reach, std::uint32_t from, Iteration k, Holds&& holds,
                   std::uint64_t* spent = nullptr);
  std::uint32_t single_up(std::uint32_t p, Iteration k);
  std::uint32_t only_up(std::uint32_t p, Iteration k);
  std::uint32_t through(std::uint32_t p, Iteration k);
  std::uint32_t prefix_at_or_above(std::uint32_t node);

  // A membership's item changed: walks over memberships are out of date.
  void memberships_moved(std::uint32_t item) {
    if (items_[item].pass == Pass::Members) ++member_epoch_;
  }

  void below(std::span<const std::uint32_t> from, Iteration k, bool asking_only, std::vector<std::uint32_t>& out);

  // ---- Focus (sequence_focus.cpp) ------------------------------------------

  enum class Need : std::uint8_t { Item, Root, Entries, Question };
  void need(Need kind, std::uint32_t index);

  // ---- Runs (sequence_run.cpp) ---------------------------------------------

  // The items one iteration evaluates, by pass, each with the candidates
  // whose inputs changed, or in full.
  struct Dirty {
    std::array<std::vector<std::uint32_t>, kPasses> items;
    std::vector<std::vector<std::uint32_t>> changed;  // by item
    std::vector<std::uint32_t> stamp;                 // by item: the fill it was last marked in
    std::vector<bool> whole;                          // by item
    std::uint32_t fill = 0;

    void begin(std::size_t item_count) {
      ++fill;
      for (auto& list : items) list.clear();
      changed.resize(item_count);
      stamp.resize(item_count, 0);
      whole.resize(item_count, false);
    }
    void add(const std::vector<Item>& all, std::uint32_t item) {
      if (stamp[item] == fill) return;
      stamp[item] = fill;
      changed[item].clear();
      whole[item] = false;
      items[static_cast<std::size_t>(all[item].pass)].push_back(item);
    }
  };

  void mark(std::uint32_t candidate, Dirty& into);
  void mark_whole(std::uint32_t item, Dirty& into);

  struct Change {
    std::uint32_t item;
    ItemValue before;
    ItemValue now;
  };

  // A membership that came or went in an iteration.
  struct EdgeChange {
    std::uint32_t group;
    std::uint32_t member;
    bool came;
  };

  void run(bool restore);
  std::uint32_t mark_above(std::span<const EdgeChange> edges, bool came, Iteration k,
                           std::vector<std::uint32_t>* in_force, std::uint64_t cap);
  void authority(Iteration k, bool restore, Dirty& next);
  std::vector<std::uint32_t> recompute_roots(std::vector<std::uint32_t>& reach, Iteration k, bool restore);

  // ---- Repetition (sequence_cycle.cpp) -------------------------------------

  std::uint64_t value_hash(std::uint32_t item, const ItemValue& v) const;
  bool repeats(Iteration k);
  void unroll();
  void forget_changes();

  // ---- State ---------------------------------------------------------------

  const Prepared& prepared_;
  PathNodes paths_;  // before the principals: their questions' indexes order by it
  std::vector<std::uint32_t> unfiled_;  // questions not yet filed by path
  UserRecordV1 root_;
  UserId root_id_;
  std::uint32_t root_principal_ = 0;

  std::vector<Item> items_;
  std::vector<Membership> memberships_;
  MatcherCounts entry_counts_;  // of every entry group's matchers, for the questions' In lists
  LabelDemand demand_{&entry_counts_};  // where the questions look, to file each entry where fewest do
  std::uint64_t draw_ = 0;      // `draw`'s state, seeded from the contest key
  std::vector<Candidate> cands_;  // every item's, grouped by item
  std::array<std::uint8_t, 32> contest_key_;
  std::vector<Contest> contests_;
  std::vector<Contender> contenders_;
  std::vector<Timeline<std::uint32_t>> class_counts_;  // by contest body
  bool restore_ = false;  // whether this run's changes are to one iteration only
  std::uint64_t found_top_ = kNoTop;  // the counter the last evaluation decided at
  std::array<AnswerReach, kLastIteration + 1> reaches_{};
  std::uint64_t entry_epoch_ = 0;  // entries' counts or filings changed
  // The focus, once there is one: what is kept up to date, and what reads
  // it, found once.
  bool focused_ = false;
  bool exact_ = true;
  std::vector<bool> need_item_;
  std::vector<bool> need_root_;
  std::vector<bool> need_entries_;
  std::vector<bool> need_question_;
  std::vector<std::vector<std::uint32_t>> giving_entry_;  // by entry group: items whose grants give it
  std::vector<std::vector<std::uint32_t>> giving_root_;   // by principal: items whose grants give it the root flag
  std::vector<std::vector<std::uint32_t>> held_;          // by principal: the entry groups it holds
  std::uint64_t member_epoch_ = 0;
  std::vector<std::uint32_t> through_walk_;
  // By path node: whether a prefix entry names it, and the nearest node at
  // or above it that one names (`prefix_at_or_above`), as found.
  std::vector<bool> prefix_node_;
  std::vector<std::uint32_t> prefix_up_;
  std::vector<std::uint32_t> prefix_walk_;
  std::vector<std::pair<const GrantId*, std::uint32_t>> grant_items_;  // ascending as the items were grouped
  std::vector<Principal> principals_;
  std::map<PrincipalRefV1, std::uint32_t> principal_ids_;
  std::vector<Question> questions_;
  std::map<QuestionKey, std::uint32_t, QuestionKeyLess> question_ids_;
  std::deque<EntryGroup> entry_groups_;  // stable: the tries point at them
  std::map<EntryKey, std::uint32_t, EntryKeyLess> entry_ids_;
  std::multimap<HashValue, std::uint32_t> deletion_index_;  // deletion candidates

  std::array<std::int64_t, kLastIteration + 2> change_count_{};
  std::array<std::vector<Handle>, kLastIteration + 2> registry_{};
  Iteration final_ = 0;
  bool blocked_ = false;
  // A walk that repeated itself: held point by point up to `horizon_`,
  // whose state is the one at `cycle_from_`, and periodic from there (none
  // when 0).
  Iteration horizon_ = 0;
  Iteration cycle_from_ = 0;
  std::array<std::uint64_t, 2> state_key_{};
  std::array<std::uint64_t, kLastIteration + 2> state_digest_{};  // by iteration: of every item's value
  std::array<std::vector<std::uint32_t>, kLastIteration + 2> changed_at_{};  // by iteration: items that changed

  std::vector<std::uint32_t> always_;  // candidates whose input changed in every iteration of this run
  std::vector<std::uint32_t> first_;   // items evaluated in full in its first iteration
  std::vector<Change> changes_;
  std::array<Dirty, 2> dirty_;
  std::vector<std::uint32_t> seen_;
  std::uint32_t stamp_ = 0;
  std::vector<std::uint32_t> above_mark_;  // by principal: `mark_above`'s stamp
  std::uint32_t above_stamp_ = 0;
  std::vector<std::uint32_t> witness_mark_;  // by question: `sweep_witnessed`'s stamp
  std::uint32_t witness_stamp_ = 0;
  std::vector<std::uint32_t> question_mark_;
  std::uint32_t question_stamp_ = 0;

  WorkStopPoll stop_;

  Sequence::Touched touched_;
  std::set<std::uint32_t> touched_item_;
  std::set<std::uint32_t> touched_root_;
  std::set<std::uint32_t> touched_question_;
};

}  // namespace vornex::core::validate::detail
