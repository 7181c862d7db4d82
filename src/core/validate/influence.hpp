// Which parts of the state can move which others, over every record that
// could take part, whether or not it is admitted now. Nodes are tracked
// items (their outcome in the selection) and principals (the part of their
// authority that admission reads: the root flag and the manage entries;
// read and write lists admit nothing). An edge runs from a node to every
// node whose value may change when the first one's does.
//
// Deletion resolution uses it to tell whether admitting a deletion can
// change how any pending deletion is judged. If nothing a pending deletion
// is judged on can be reached from the deleted item, the state it would be
// judged against after a recomputation decides it exactly as the current
// one does (the unreachable part of the fixed point evolves the same way,
// iteration by iteration), so the walk goes on without a recomputation.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "fixed_point.hpp"

namespace vornex::core::validate::detail {

class Influence {
 public:
  Influence(const Prepared& prepared, const UserId& root_id);

  // Whether any live (non-deletion) record writes `key`: if none does, a
  // deletion of it changes nothing but its own deleted mark.
  bool has_live_records(const RecordKey& key) const { return live_keys_.contains(key); }

  std::uint32_t key_node(const RecordKey& key) { return node(keys_, key); }
  std::uint32_t principal_node(const PrincipalRefV1& principal) { return node(principals_, principal); }

  // The live grant records of a grant's node that carry a manage entry or
  // the root flag: what its grantees lose when it goes.
  const std::vector<const GrantRecordV1*>& authority_grants(std::uint32_t node) const { return authority_[node]; }

  // What pending deletions are judged on, counted per node.
  void depend(std::uint32_t node, int delta) { watched_[node] += delta; }

  // Whether a node watched by a pending deletion can be reached from
  // `start`. With `keeping_answers`, the start's edges to its grantees are
  // not followed: the caller has shown that their answers stay as they are.
  // Nodes searched since the last `forget` are known to reach nothing
  // watched (watches only ever go away), so they are not searched again; a
  // start whose grantee edges were set aside has them followed when another
  // search comes to it.
  bool reaches_watched(std::uint32_t start, bool keeping_answers);

  // Whether a search since the last `forget` came to the node: its value
  // may differ from the one the last computed state shows.
  bool touched(std::uint32_t node) const { return mark_[node] != Mark::None; }
  // Whether a search came to it other than as the start with its grantee
  // edges set aside: a grant only ever its own deletions came to has at
  // most lost iterations it was in, never gained any.
  bool searched(std::uint32_t node) const { return mark_[node] == Mark::Searched; }

  // After a recomputation the searched nodes must be searched afresh: a
  // node reached from a later deletion may now lead somewhere watched.
  void forget() { std::fill(mark_.begin(), mark_.end(), Mark::None); }

 private:
  enum class Mark : std::uint8_t { None, Searched, GranteesSetAside };

  template <class K>
  std::uint32_t node(std::map<K, std::uint32_t>& nodes, const K& k) {
    const auto [it, inserted] = nodes.try_emplace(k, static_cast<std::uint32_t>(edges_.size()));
    if (inserted) {
      edges_.emplace_back();
      authority_.emplace_back();
      watched_.push_back(0);
      mark_.push_back(Mark::None);
    }
    return it->second;
  }

  void edge(std::uint32_t from, std::uint32_t to) { edges_[from].push_back(to); }
  std::uint32_t existence(const PrincipalRefV1& principal);
  void add_record(const VerifiedRecord& r, const UserId& root_id);

  std::map<RecordKey, std::uint32_t> keys_;
  std::map<PrincipalRefV1, std::uint32_t> principals_;
  std::set<RecordKey> live_keys_;
  std::vector<std::vector<std::uint32_t>> edges_;
  std::vector<std::vector<const GrantRecordV1*>> authority_;
  std::vector<int> watched_;
  std::vector<Mark> mark_;
};

}  // namespace vornex::core::validate::detail
