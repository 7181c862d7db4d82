// Identifiers and record keys: wire forms, decoding depth, order and debug
// texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/principal.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::decode_error;
using vornex::test::expect_golden;
using vornex::test::fill;
using vornex::test::hex;

HashValue hv(Bytes bytes) { return HashValue(std::move(bytes)); }
template <class Id>
Id id(Bytes bytes) {
  return Id(hv(std::move(bytes)));
}

TEST(RecordKeyWire, EveryVariant) {
  const Bytes b = hex("0C00FF");
  struct Case {
    RecordKey key;
    Bytes bytes;
  };
  const Case cases[] = {
      {record_key::VaultRoot{}, hex("00000000")},
      {record_key::EntryPoint{id<UserId>(b)}, hex("00000001 00000003 0C00FF")},
      {record_key::User{id<UserId>(b)}, hex("00000002 00000003 0C00FF")},
      {record_key::UserHandle{id<UserHandleId>(b)}, hex("00000003 00000003 0C00FF")},
      {record_key::Group{id<GroupId>(b)}, hex("00000004 00000003 0C00FF")},
      {record_key::GroupMember{id<GroupMemberId>(b)}, hex("00000005 00000003 0C00FF")},
      {record_key::Grant{id<GrantId>(b)}, hex("00000006 00000003 0C00FF")},
      {record_key::Secret{id<SecretId>(b)}, hex("00000007 00000003 0C00FF")},
      {record_key::VaultHandle{id<VaultHandleId>(b)}, hex("00000008 00000003 0C00FF")},
      // A full-length id: 40 bytes in all.
      {record_key::Secret{id<SecretId>(fill(32, 0xA5))}, cat(hex("00000007 00000020"), fill(32, 0xA5))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(debug_string(c.key));
    expect_golden(c.key, c.bytes);
  }
}

TEST(IdentifierWire, WrappersAddNoBytes) {
  const Bytes raw = fill(32, 0x11);
  const Bytes expected = cat(hex("00000020"), raw);
  expect_golden(id<UserId>(raw), expected);
  expect_golden(IdSeed(raw), expected);
  // Lengths are not the decoder's business.
  expect_golden(id<GroupId>({}), hex("00000000"));
  expect_golden(id<SecretId>(fill(33, 0x22)), cat(hex("00000021"), fill(33, 0x22)));
}

// An identifier counts a level for itself and one for its HashValue, then
// the byte string takes its own; an IdSeed holds its bytes directly.
TEST(IdentifierWire, DecodingDepth) {
  const Bytes id_bytes = hex("00000001 AB");
  struct Case {
    const char* what;
    std::uint32_t needed;
    std::optional<cord::CordError> (*decode)(const Bytes&, const cord::Limits&);
    Bytes bytes;
  };
  const Case cases[] = {
      {"HashValue", 2, &decode_error<HashValue>, id_bytes},
      {"IdSeed", 2, &decode_error<IdSeed>, id_bytes},
      {"UserId", 3, &decode_error<UserId>, id_bytes},
      {"GroupMemberId", 3, &decode_error<GroupMemberId>, id_bytes},
      // struct, member enum, UserId, HashValue, bytes.
      {"GroupMemberIdInputV1", 5, &decode_error<GroupMemberIdInputV1>,
       hex("00000001 AA 00000000 00000001 BB")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.decode(c.bytes, cord::Limits{.max_depth = c.needed}), std::nullopt);
    const auto e = c.decode(c.bytes, cord::Limits{.max_depth = c.needed - 1});
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->kind(), ErrorKind::DepthLimitExceeded);
  }
}

TEST(HashInputWire, Examples) {
  const UserIdInputV1 input{fill(32, 0x01), fill(32, 0x02)};
  const Bytes expected = cat(cat(hex("00000020"), fill(32, 0x01)), cat(hex("00000020"), fill(32, 0x02)));
  ASSERT_EQ(expected.size(), 72u);
  EXPECT_EQ(cord::serialize(input), expected);

  expect_golden(GroupMemberIdInputV1{id<GroupId>(hex("0A")), id<UserId>(hex("0B0C"))},
                hex("00000001 0A  00000000 00000002 0B0C"));
  expect_golden(GroupMemberIdInputV1{id<GroupId>(hex("0A")), id<GroupId>(hex("0D"))},
                hex("00000001 0A  00000001 00000001 0D"));
  const auto e = decode_error<GroupMemberIdInputV1>(hex("00000001 0A  00000002 00000001 0D"));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->kind(), ErrorKind::UnknownVariant);
  EXPECT_EQ(e->message(), "Cord encountered unknown enum variant index 2");
}

// Each list is strictly ascending; every pair is checked both ways.
template <class T>
void expect_strictly_ascending(const std::vector<T>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < values.size(); ++j) {
      SCOPED_TRACE(testing::Message() << "positions " << i << " and " << j);
      EXPECT_EQ(values[i] < values[j], i < j);
      EXPECT_EQ(values[i] == values[j], i == j);
    }
  }
}

TEST(Order, IdentifiersBytewiseShorterPrefixFirst) {
  expect_strictly_ascending<UserId>({
      id<UserId>({}),
      id<UserId>(hex("00")),
      id<UserId>(hex("01")),
      id<UserId>(hex("0100")),
      id<UserId>(hex("010000")),
      id<UserId>(hex("0101")),
      id<UserId>(hex("7F")),
      id<UserId>(hex("80")),  // unsigned: 0x80 after 0x7F
      id<UserId>(hex("FF")),
  });
  expect_strictly_ascending<IdSeed>({IdSeed(hex("AB")), IdSeed(hex("ABCD")), IdSeed(hex("AC"))});
}

TEST(Order, RecordKeysByVariantThenBytes) {
  const Bytes low = hex("00");
  const Bytes high = hex("FFFF");
  expect_strictly_ascending<RecordKey>({
      record_key::VaultRoot{},
      record_key::EntryPoint{id<UserId>(high)},
      // Same id as the entry point above: a different key.
      record_key::User{id<UserId>(hex("01"))},
      record_key::User{id<UserId>(hex("0100"))},
      record_key::User{id<UserId>(high)},
      record_key::UserHandle{id<UserHandleId>(low)},
      record_key::Group{id<GroupId>(high)},
      // Group before GroupMember whatever the bytes.
      record_key::GroupMember{id<GroupMemberId>(low)},
      record_key::Grant{id<GrantId>(low)},
      record_key::Secret{id<SecretId>(low)},
      record_key::VaultHandle{id<VaultHandleId>(low)},
  });
  EXPECT_NE(RecordKey(record_key::User{id<UserId>(low)}), RecordKey(record_key::EntryPoint{id<UserId>(low)}));
}

TEST(Order, PrincipalsEveryUserBeforeEveryGroup) {
  expect_strictly_ascending<PrincipalRefV1>({
      id<UserId>(hex("01")),
      id<UserId>(hex("0100")),
      id<UserId>(hex("FF")),
      id<GroupId>({}),
      id<GroupId>(hex("00")),
      id<GroupId>(hex("02")),
  });
}

TEST(DebugText, Table) {
  const Bytes b = hex("0C00FF");
  const std::pair<std::string, std::string> cases[] = {
      {debug_string(hv(b)), "HashValue([12, 0, 255])"},
      {debug_string(hv({})), "HashValue([])"},
      {debug_string(hv(hex("07"))), "HashValue([7])"},
      {debug_string(id<UserId>(b)), "UserId(HashValue([12, 0, 255]))"},
      {debug_string(RecordKey(record_key::VaultRoot{})), "VaultRoot"},
      {debug_string(RecordKey(record_key::EntryPoint{id<UserId>(b)})),
       "EntryPoint { user_id: UserId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::User{id<UserId>(b)})), "User { user_id: UserId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::UserHandle{id<UserHandleId>(b)})),
       "UserHandle { handle_id: UserHandleId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::Group{id<GroupId>(b)})),
       "Group { group_id: GroupId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::GroupMember{id<GroupMemberId>(b)})),
       "GroupMember { group_member_id: GroupMemberId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::Grant{id<GrantId>(b)})),
       "Grant { grant_id: GrantId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::Secret{id<SecretId>(b)})),
       "Secret { secret_id: SecretId(HashValue([12, 0, 255])) }"},
      {debug_string(RecordKey(record_key::VaultHandle{id<VaultHandleId>(hex("07"))})),
       "VaultHandle { handle_id: VaultHandleId(HashValue([7])) }"},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

}  // namespace
