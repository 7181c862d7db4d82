// The authority a principal holds through grants that stand: grants in
// every selection of the last computed fixed point from some iteration to
// its end, reaching the principal through memberships that stand alike,
// none of them touched by an admission since that computation.
//
// Deletion resolution asks it whether removing a grant changes any answer
// its grantee gives. If the grantee holds, through standing grants present
// from an earlier iteration than the removed grant ever was, the root flag
// or a manage entry whose classes include the removed entry's and whose
// selector subsumes its selector, then in every iteration the grantee (and
// every member it passes its authority to) answers every can-create and
// root question as before: subsumption is transitive, and the covering
// entry is there whenever the removed one was. The fixed point then runs
// as before except for the removed grant itself.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fixed_point.hpp"
#include "influence.hpp"

namespace vornex::core::validate::detail {

class StandingAuthority {
 public:
  // All four must outlive this object; `state` and `history` come from one
  // computation, and `influence` tells which nodes were touched since.
  StandingAuthority(const EffectiveState& state, const History& history, const UserId& root_id,
                    Influence& influence)
      : state_(state), history_(history), root_id_(root_id), influence_(influence) {}

  // Whether `principal` holds, through standing grants other than the one
  // at node `removed` and memberships whose run began before iteration
  // `before`, what `permission` (a manage entry or the root flag) gives it.
  bool covers(const PrincipalRefV1& principal, const GrantPermissionV1& permission, std::uint8_t before,
              std::uint32_t removed);

 private:
  struct Held {
    std::uint8_t since;
    std::uint32_t node;  // the grant's
    const ManageKeyspaceGrantV1* entry;
  };
  // Entries by where their selector can cover a target, as AuthorityIndex
  // files them; entries without label matchers by the start of their run,
  // so the earliest untouched one is found first.
  struct Slot {
    std::set<std::pair<std::uint8_t, std::uint32_t>> plain;  // (since, position in held)
    std::vector<std::uint32_t> labelled;                     // positions in held
  };
  struct Node {
    std::map<std::string, std::unique_ptr<Node>> children;
    Slot exact;
    Slot prefix;
  };
  struct Trie {
    Slot any;
    Node root;
    bool empty = true;
  };
  struct Holdings {
    std::vector<Held> held;
    std::set<std::pair<std::uint8_t, std::uint32_t>> roots;  // (since, grant node)
    std::array<Trie, 8> by_classes;                          // a bit per grantable class
  };
  struct Link {
    GroupId group;
    std::uint8_t since;
    std::uint32_t node;  // the membership's
  };

  Holdings& holdings(const PrincipalRefV1& principal);
  bool has_root(Holdings& h, std::uint8_t before, std::uint32_t removed);
  bool has_entry(Holdings& h, const ManageKeyspaceGrantV1& entry, std::uint8_t before, std::uint32_t removed);
  bool trie_covers(Holdings& h, Trie& trie, const KeyspaceSelectorV1& target, std::uint8_t before,
                   std::uint32_t removed);
  bool slot_covers(Holdings& h, Slot& slot, const KeyspaceSelectorV1& target, std::uint8_t before,
                   std::uint32_t removed);
  void index_once();

  const EffectiveState& state_;
  const History& history_;
  const UserId& root_id_;
  Influence& influence_;
  bool indexed_ = false;
  std::map<PrincipalRefV1, std::vector<const std::pair<const GrantId, GrantRecordV1>*>> grants_to_;
  std::map<PrincipalRefV1, std::vector<Link>> groups_of_;
  std::map<PrincipalRefV1, Holdings> holdings_;
};

}  // namespace vornex::core::validate::detail
