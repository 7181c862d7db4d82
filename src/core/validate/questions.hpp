// The can-create questions that records ask of their signers' authority,
// over every record that could take part, whether or not it is admitted
// now: each grant record asks whether its signer may create its permission,
// and each pending grant deletion whether its signer may create the
// permission it names and the permission of every record of its target.
// Admission asks nothing else of a manage entry (the root flag answers
// every question, and is not this file's affair).
//
// Deletion resolution asks it whether taking a manage entry from a
// principal can change an admission. The entry reaches its holder and every
// principal below it through memberships; if no question asked of any of
// them, other than by the records of the grant that held the entry, is one
// the entry answers, then no answer that anything reads changes, in any
// iteration of any fixed point, and the state changes only in that grant.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fixed_point.hpp"

namespace vornex::core::validate::detail {

// A pending grant deletion whose target has more records than this is taken
// to ask everything, and to be judged on its target: looking through them
// all, for every deletion of the target, could take quadratic time.
inline constexpr std::size_t kTargetRecordsJudged = 8;

class AskedQuestions {
 public:
  // `prepared` and `candidates` must outlive this object. `target_records`
  // gives the grant records of a grant id (for a deletion's target).
  AskedQuestions(const Prepared& prepared, std::span<const VerifiedRecord* const> candidates,
                 const std::map<GrantId, std::vector<const GrantRecordV1*>>& target_records, const UserId& root_id);

  // Whether taking `entry` from `holder` leaves every question asked as it
  // is: none asked of the holder or of a principal below it, other than by
  // the records of grant `removed` and by retired candidates, is answered
  // by the entry. Too much to look through (questions, principals or nodes
  // of the paths they are filed by) counts as no.
  bool unasked(const PrincipalRefV1& holder, const ManageKeyspaceGrantV1& entry, const GrantId& removed);

  // An admitted candidate is judged no more: its questions go.
  void retire(std::size_t candidate);

 private:
  // Questions filed by the path of the selector they ask about: Any paths
  // on their own, Exact and Prefix ones at the node their segments lead to.
  // Each node counts the live questions at and below it, so that a search
  // passes over what retired candidates left empty.
  struct Node {
    std::map<std::string, std::unique_ptr<Node>> children;
    std::vector<std::uint32_t> here;
    Node* parent = nullptr;
    std::uint32_t live = 0;
  };
  struct Asked {
    std::vector<std::uint32_t> any_path;
    Node root;
    std::uint32_t everything = 0;  // live candidates that ask more than is filed
  };
  struct Question {
    const GrantPermissionV1* permission;
    const GrantId* grant;     // the grant record's id; null for a deletion's question
    std::uint32_t candidate;  // the asking candidate, or kNoCandidate
    Node* node;               // where it is filed; null for an Any path
  };
  static constexpr std::uint32_t kNoCandidate = UINT32_MAX;

  void ask(const UserId& signer, const GrantPermissionV1& permission, const GrantId* grant, std::uint32_t candidate);
  // Whether a live question in `list` is answered by `entry`; retired ones
  // are dropped from it on the way.
  bool answered(std::vector<std::uint32_t>& list, const ManageKeyspaceGrantV1& entry, const GrantId& removed);
  bool answered_below(Node& node, const ManageKeyspaceGrantV1& entry, const GrantId& removed);
  bool asks(Asked& asked, const ManageKeyspaceGrantV1& entry, const GrantId& removed);
  // Takes one unit of the call's budget; false when none is left.
  bool spend();

  UserId root_id_;
  std::vector<Question> questions_;
  std::vector<bool> retired_;                            // by candidate
  std::vector<std::vector<std::uint32_t>> asked_by_;     // questions, by candidate
  std::vector<Asked*> asks_everything_;                  // by candidate: whose flag it raised
  std::map<PrincipalRefV1, Asked> asked_;
  std::map<GroupId, std::vector<PrincipalRefV1>> members_;
  std::size_t budget_ = 0;  // questions, principals and nodes one call may still look at
};

}  // namespace vornex::core::validate::detail
