// What the authority fixed point and deletion resolution share: the
// records the fixed point reads, filtered once, and a record of when each
// grant and membership was in the selection across its iterations.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "vornex/core/validate/effective.hpp"

namespace vornex::core::validate::detail {

using RecordRefs = std::vector<const VerifiedRecord*>;

// The records each selection pass looks at, filtered once (rollback-floor
// keys dropped, slice order kept) so that an iteration walks only the
// principal graph and never the secrets.
struct Prepared {
  RecordRefs users;          // User, UserDeleted
  RecordRefs groups;         // Group, GroupDeleted
  RecordRefs group_members;  // GroupMember, GroupMemberDeleted
  RecordRefs grants;         // Grant, GrantDeleted
  RecordRefs user_handles;
  RecordRefs vault_handles;
  RecordRefs entry_points;
  std::set<UserId> entry_users;
};

Prepared prepare(std::span<const VerifiedRecord> records, const RollbackFloor& rollback_floor);

bool is_principal_deletion(const RecordBodyV1& body);

// The iterations of one fixed point in which an item was in the selection,
// numbered from 1; 0 stands for none.
struct Presence {
  std::uint8_t first = 0;  // the first such iteration, whatever the item's value
  std::uint8_t since = 0;  // the start of the last run of iterations with one value
  std::uint8_t last = 0;   // the last such iteration
};

struct History {
  std::map<GrantId, Presence> grants;
  std::map<GroupMemberId, Presence> group_members;
  std::uint8_t iterations = 0;  // the iterations computed; later ones would repeat the last

  // From which iteration on the item is in every selection with the value
  // it has in the last one (0: it is not in the last one).
  std::uint8_t since(const GrantId& id) const { return since_in(grants, id); }
  std::uint8_t since(const GroupMemberId& id) const { return since_in(group_members, id); }
  // The first iteration with the grant in the selection (0: none).
  std::uint8_t first(const GrantId& id) const {
    const auto it = grants.find(id);
    return it == grants.end() ? 0 : it->second.first;
  }

 private:
  template <class Id>
  std::uint8_t since_in(const std::map<Id, Presence>& map, const Id& id) const {
    const auto it = map.find(id);
    return it == map.end() || it->second.last != iterations ? 0 : it->second.since;
  }
};

// The effective state with `deletions` in force; with `history`, also when
// each grant and membership was selected.
EffectiveState compute_prepared(UserRecordV1 root, HashValue root_fingerprint, std::span<const VerifiedRecord> records,
                                const HashIndex& hashes, const Prepared& prepared, const std::set<HashValue>& deletions,
                                History* history = nullptr);

}  // namespace vornex::core::validate::detail
