// The iterations of the authority fixed point, kept so that a change is
// carried through only the iterations and the parts it reaches.
//
// The fixed point computes, for k = 1, 2, ..., the selection S(k) from the
// authorities A(k - 1), and A(k) from S(k), until S(k) = S(k - 1) or 64
// iterations. Here every value of every iteration is kept as a timeline:
// the iterations at which it changes, and its value from each on. That is
// every item's outcome (a user, group, membership or grant: absent, in
// force with its winning record, deleted, or in conflict), every
// principal's root flag, and every question's answer ("may this principal
// create this permission"), which is all admission reads of authority.
//
// A run goes through the iterations in order and evaluates only what may
// differ from the baseline its timelines hold at that iteration: the items
// some of whose candidates' inputs (a question's answer or a root flag in
// the iteration before, a principal's existence in this one, a deletion
// admitted) differ, then the root flags and answers that the items which
// changed can move. What changed is found through indexes, never by
// looking at everything near it:
//   - a manage entry that comes or goes finds the questions it answers of
//     its holder and of every principal below it through memberships, by
//     the path and the first label matcher of their selectors;
//   - a question's answer looks up the entries of the asker and of the
//     groups above it, by the same path and labels;
//   - a group's authority is held once, with the group.
//
// The first run computes the sequence from nothing: its baseline at an
// iteration is the previous iteration, so each one evaluates what changed
// since the last (the work of the fixed point, once). A deletion admitted
// later runs against the sequence before it: the baseline at an iteration
// is that iteration's old value, and only what the deletion reaches is
// evaluated again, in each iteration it reaches. The result is exactly the
// sequence the literal algorithm computes, iteration by iteration: so the
// state it settles on, the iteration it settles in, and whether it settles
// at all within 64. A first run that never settles stops once its items
// repeat an earlier iteration's (sequence_cycle.cpp): the 64th iteration
// is then one it already holds.
//
// Its state and steps are declared in sequence_impl.hpp, each section's
// code in a file named after it (sequence_build.cpp, sequence_run.cpp...).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fixed_point.hpp"

namespace vornex::core::validate::detail {

using Iteration = std::uint8_t;

class Sequence {
 public:
  // `prepared` and the records it points into must outlive the sequence.
  Sequence(const Prepared& prepared, const UserRecordV1& root);
  Sequence(const Sequence&) = delete;
  Sequence& operator=(const Sequence&) = delete;
  ~Sequence();

  // Computes the fixed point with the given deletions in force (records of
  // `prepared`).
  void compute(std::span<const VerifiedRecord* const> deletions = {});
  // Puts one more deletion record in force and carries the change through.
  void admit(const VerifiedRecord& deletion);

  bool blocked() const;
  // Whether the caller asked it to stop (core/stop.hpp): it then ends as
  // soon as it can, and what it holds is meaningless. Nothing it computes
  // after that changes anything.
  bool stopped() const;
  // The selection the fixed point ended with.
  SelectedAuthorizedRecords selection() const;

  // What deletion resolution asks of the final state, by number: a
  // principal's, a grant id's item (or kNone), and a question (asker,
  // permission), whose answer is kept in every iteration from then on, like
  // the answers of grant records. The permission must outlive the sequence.
  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::uint32_t principal(const UserId& user);
  std::uint32_t grant_item(const GrantId& id) const;
  std::uint32_t question(std::uint32_t asker, const GrantPermissionV1& permission);
  bool answer(std::uint32_t question) const;
  bool is_root(std::uint32_t principal) const;
  // The grant in force at this item, or null.
  const GrantRecordV1* grant(std::uint32_t item) const;

  // From now on, `admit` carries a change only into what the final values
  // of these can depend on: the root flags and every question (asked now
  // or later) of `askers`, the root flags of `rooted`, and the grant
  // items. Questions may then be asked only by `askers`. Whatever else an
  // admission would have changed goes out of date; `exact` says whether
  // anything did, and then only a new sequence computed with the admitted
  // deletions gives the selection.
  void focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
             std::span<const std::uint32_t> items);
  bool exact() const;

  // What the last `compute` or `admit` may have changed in the final state:
  // questions, principals (their root flags) and grant items whose final
  // value it touched. Each may also hold values that ended as they were.
  struct Touched {
    std::vector<std::uint32_t> questions;
    std::vector<std::uint32_t> principals;
    std::vector<std::uint32_t> grants;
  };
  const Touched& touched() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// How many item, root and answer evaluations this thread's sequences have
// done: tests bound the work of validation by it rather than by time.
std::uint64_t sequence_work() noexcept;

}  // namespace vornex::core::validate::detail
