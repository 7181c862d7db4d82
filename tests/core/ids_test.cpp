// Identifiers and record keys: wire forms, debug texts, decoding depth, order.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <vector>

#include "golden.hpp"
#include "vornex/core/principal.hpp"

namespace {

using namespace vornex::core;
using namespace vornex::test;

TEST(RecordKey, WireAndDebugText) {
  const std::tuple<RecordKey, const char*, const char*> cases[] = {
      {record_key::VaultRoot{}, "00000000", "VaultRoot"},
      {record_key::EntryPoint{id<UserId>("0C00FF")}, "00000001 00000003 0C00FF",
       "EntryPoint { user_id: UserId(HashValue([12, 0, 255])) }"},
      {record_key::User{id<UserId>("0C00FF")}, "00000002 00000003 0C00FF",
       "User { user_id: UserId(HashValue([12, 0, 255])) }"},
      {record_key::UserHandle{id<UserHandleId>("07")}, "00000003 00000001 07",
       "UserHandle { handle_id: UserHandleId(HashValue([7])) }"},
      {record_key::Group{id<GroupId>("07")}, "00000004 00000001 07", "Group { group_id: GroupId(HashValue([7])) }"},
      {record_key::GroupMember{id<GroupMemberId>("07")}, "00000005 00000001 07",
       "GroupMember { group_member_id: GroupMemberId(HashValue([7])) }"},
      {record_key::Grant{id<GrantId>("07")}, "00000006 00000001 07", "Grant { grant_id: GrantId(HashValue([7])) }"},
      {record_key::Secret{id<SecretId>("07")}, "00000007 00000001 07",
       "Secret { secret_id: SecretId(HashValue([7])) }"},
      {record_key::VaultHandle{id<VaultHandleId>("")}, "00000008 00000000",
       "VaultHandle { handle_id: VaultHandleId(HashValue([])) }"},
  };
  for (const auto& [key, bytes, debug] : cases) {
    SCOPED_TRACE(debug);
    expect_golden(key, hex(bytes));
    EXPECT_EQ(debug_string(key), debug);
  }
}

// An id takes a level, its HashValue one, its bytes one; an IdSeed holds bytes directly.
TEST(Identifier, DecodingDepth) {
  const std::tuple<Decode, std::uint32_t, const char*> cases[] = {
      {&decode_error<HashValue>, 2, "00000001 AB"},
      {&decode_error<IdSeed>, 2, "00000001 AB"},
      {&decode_error<UserId>, 3, "00000001 AB"},
      // struct, member enum, UserId, HashValue, bytes.
      {&decode_error<GroupMemberIdInputV1>, 5, "00000001 AA 00000000 00000001 BB"},
  };
  for (const auto& [decode, needed, bytes] : cases) {
    SCOPED_TRACE(needed);
    EXPECT_EQ(decode(hex(bytes), cord::Limits{.max_depth = needed}), std::nullopt);
    const auto e = decode(hex(bytes), cord::Limits{.max_depth = needed - 1});
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->kind(), ErrorKind::DepthLimitExceeded);
  }
}

// Bytewise and unsigned, a proper prefix first.
TEST(Identifier, Order) {
  const std::vector<UserId> ascending{id<UserId>(""),   id<UserId>("00"), id<UserId>("01"), id<UserId>("0100"),
                                     id<UserId>("0101"), id<UserId>("7F"), id<UserId>("80"), id<UserId>("FF")};
  EXPECT_EQ(std::ranges::adjacent_find(ascending, std::greater_equal<>{}), ascending.end());
}

}  // namespace
