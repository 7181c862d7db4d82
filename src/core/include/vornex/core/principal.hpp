// Principals: a user or a group, as the grantee of a grant, the member of a
// group and the key of each principal's authority.
#pragma once

#include <variant>

#include "cord/codec.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::core {

// Index 0 User, 1 Group. The variant's own order is the one required:
// every User before every Group, then identifier bytes.
using PrincipalRefV1 = std::variant<UserId, GroupId>;

// The value hashed into a GroupMemberId; also kept as a ratchet key origin,
// so it is decoded as well as encoded.
struct GroupMemberIdInputV1 {
  GroupId group_id;
  PrincipalRefV1 member;
  CORD_FIELDS(group_id, member)
  bool operator==(const GroupMemberIdInputV1&) const = default;
};

}  // namespace vornex::core
