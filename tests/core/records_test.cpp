// Byte layouts of selectors, payloads, record bodies, envelopes and the store;
// unknown kinds kept byte for byte under their signature.
#include <gtest/gtest.h>

#include <tuple>
#include <unordered_set>

#include "golden.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/records.hpp"

namespace {

using namespace vornex::core;
using namespace vornex::test;

const KeyspaceSelectorV1 kAny{tuple_matcher::Any{}, {}};
const KeyspaceSelectorV1 kExactA{tuple_matcher::Exact{{"a"}}, {}};

TEST(SelectorWire, EveryMatcherAndPermission) {
  expect_goldens<KeyspaceSelectorV1>({
      {kAny, "00000000 00000000"},
      {kExactA, "00000001 00000001 00000001 61 00000000"},
      {{tuple_matcher::Prefix{{"db"}}, {{"k", label_matcher::Present{}}}},
       "00000002 00000001 00000002 6462 00000001 00000001 6b 00000000"},
      {{tuple_matcher::Any{}, {{"k", label_matcher::Equals{"v"}}}},
       "00000000 00000001 00000001 6b 00000001 00000001 76"},
      {{tuple_matcher::Any{}, {{"env", label_matcher::In{{"a", "b"}}}}},
       "00000000 00000001 00000003 656e76 00000002 00000002 00000001 61 00000001 62"},
      {{tuple_matcher::Any{}, {{"k", label_matcher::Absent{}}}}, "00000000 00000001 00000001 6b 00000003"},
  });
  // Read and Write over one keyspace differ in the index alone.
  expect_goldens<GrantPermissionV1>({
      {grant_permission::Read{kExactA}, "00000000 00000001 00000001 00000001 61 00000000"},
      {grant_permission::Write{kExactA}, "00000001 00000001 00000001 00000001 61 00000000"},
      {grant_permission::Manage{kAny, {grant_class::Read{}, grant_class::Write{}, grant_class::Manage{}}},
       "00000002 00000000 00000000 00000003 00000000 00000001 00000002"},
      {grant_permission::Root{}, "00000003"},
  });
}

// Canonical form is validation's business: the decoder keeps what is stored.
TEST(SelectorWire, NonCanonicalValuesDecodeAsStored) {
  expect_reencodes<KeyspaceSelectorV1>(hex("00000002 00000000 00000000"));  // empty prefix
  // Keys descending, In values descending.
  expect_reencodes<KeyspaceSelectorV1>(
      hex("00000000 00000002 00000001 62 00000000 00000001 61 00000002 00000002 00000001 62 00000001 61"));
  expect_reencodes<GrantPermissionV1>(hex("00000002 00000000 00000000 00000000"));  // nothing grantable
  // Labels descending.
  expect_reencodes<SecretSelectorV1>(hex("00000000 00000002 00000001 62 00000000 00000001 61 00000000"));
}

TEST(PayloadWire, ValuesAndSealedPayloads) {
  // Built as aa, b; written b first, since an entry's name length comes first.
  const auto fields = cord::Set<SecretFieldEntryV1>::from({{"aa", {0x02}}, {"b", {0x01}}});
  ASSERT_TRUE(fields.has_value());
  expect_goldens<SecretValueV1>({
      {SecretValueV1::from_primary(hex("616263")), "00000003 616263 00000000"},
      {{{}, *fields}, "00000000 00000002 00000001 62 00000001 01 00000002 6161 00000001 02"},
  });
  // Nonce lengths and duplicate readers are for opening and validation.
  expect_reencodes<SealedPayloadV1>(
      hex("00000001 0E 00000000 00000002 00000001 AA 00000000 00000000 00000001 AA 00000000 00000000"));
}

// Every kind in order, its index as its counter (the root has none: 0).
TEST(RecordWire, EveryKind) {
  const SecretSelectorV1 selector{{"s"}, {{"k", "v"}}};
  const std::pair<RecordBodyV1, const char*> cases[] = {
      {VaultRootRecordV1{id<UserId>("A1"), hex("E1")}, "00000000 00000001 A1 00000001 E1"},
      {EntryPointRecordV1{id<UserId>("A1"), hex("E1"), 1}, "00000001 00000001 A1 00000001 E1 0000000000000001"},
      {UserRecordV1{id<UserId>("A2"), hex("D2"), hex("E2"), 2},
       "00000002 00000001 A2 00000001 D2 00000001 E2 0000000000000002"},
      {UserHandleRecordV1{id<UserHandleId>("A3"), "al", id<UserId>("A2"), 3},
       "00000003 00000001 A3 00000002 616c 00000001 A2 0000000000000003"},
      {GroupRecordV1{id<GroupId>("A4"), IdSeed(hex("5E")), "ops", 4},
       "00000004 00000001 A4 00000001 5E 00000003 6f7073 0000000000000004"},
      {GroupDeletedRecordV1{id<GroupId>("A4"), 5}, "00000005 00000001 A4 0000000000000005"},
      {GroupMemberRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<UserId>("A2"), 6},
       "00000006 00000001 A5 00000001 A4 00000000 00000001 A2 0000000000000006"},
      {GroupMemberDeletedRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<GroupId>("A6"), 7},
       "00000007 00000001 A5 00000001 A4 00000001 00000001 A6 0000000000000007"},
      {GrantRecordV1{id<GrantId>("A7"), IdSeed(hex("5E")), id<GroupId>("A4"), grant_permission::Root{}, 8},
       "00000008 00000001 A7 00000001 5E 00000001 00000001 A4 00000003 0000000000000008"},
      {GrantDeletedRecordV1{id<GrantId>("A7"), grant_permission::Read{kAny}, 9},
       "00000009 00000001 A7 00000000 00000000 00000000 0000000000000009"},
      {UserDeletedRecordV1{id<UserId>("A2"), "gone", 10}, "0000000A 00000001 A2 01 00000004 676f6e65 000000000000000A"},
      {SecretRecordV1{id<SecretId>("A8"), selector, SealedPayloadV1{hex("0E"), hex("CC"), {{hex("A2"), hex("EE"), hex("FF")}}}, 11},
       "0000000B 00000001 A8 00000001 00000001 73 00000001 00000001 6b 00000001 76"
       " 00000001 0E 00000001 CC 00000001 00000001 A2 00000001 EE 00000001 FF 000000000000000B"},
      {SecretDeletedRecordV1{id<SecretId>("A8"), selector, 12},
       "0000000C 00000001 A8 00000001 00000001 73 00000001 00000001 6b 00000001 76 000000000000000C"},
      {VaultHandleRecordV1{id<VaultHandleId>("A9"), "v", 13}, "0000000D 00000001 A9 00000001 76 000000000000000D"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].second);
    EXPECT_EQ(cases[i].first.index(), i);
    EXPECT_EQ(record_counter(cases[i].first), i);
    expect_golden(cases[i].first, hex(cases[i].second));
  }
  // An absent detail is one 00 byte.
  expect_golden(RecordBodyV1(UserDeletedRecordV1{id<UserId>("A2"), std::nullopt, 1}),
                hex("0000000A 00000001 A2 00 0000000000000001"));
}

// A grant keeps its permission in a box of its own, which is the plain
// permission in every respect: wire form, equality, structural hash and
// order; copies share one block until one of them is written through, and
// a moved-from box is the default permission.
TEST(RecordWire, ABoxedPermissionIsThePlainOne) {
  const GrantPermissionV1 plain[] = {
      grant_permission::Read{kAny},
      grant_permission::Write{KeyspaceSelectorV1{tuple_matcher::Prefix{{"app"}}, {}}},
      grant_permission::Manage{kAny, {grant_class::Read{}, grant_class::Manage{}}},
      grant_permission::Root{},
  };
  for (const GrantPermissionV1& permission : plain) {
    SCOPED_TRACE(permission.index());
    GrantRecordV1 grant{id<GrantId>("A7"), IdSeed(hex("5E")), id<GroupId>("A4"), permission, 8};
    EXPECT_EQ(cord::serialize(grant.permission).value(), cord::serialize(permission).value());
    EXPECT_EQ(structural_hash(grant.permission), structural_hash(permission));
    EXPECT_EQ(*grant.permission, permission);
    GrantRecordV1 copy = grant;
    EXPECT_EQ(copy, grant);
    EXPECT_EQ(&*copy.permission, &*grant.permission);
    // Written through, the copy has a block of its own and the original
    // keeps its value; a box that owns its block alone is written in place.
    const GrantPermissionV1 other = grant_permission::Write{kAny};
    copy.permission.get() = other;
    EXPECT_NE(&*copy.permission, &*grant.permission);
    EXPECT_EQ(*copy.permission, other);
    EXPECT_EQ(*grant.permission, permission);
    const GrantPermissionV1* alone = &*copy.permission;
    copy.permission.get() = permission;
    EXPECT_EQ(&*copy.permission, alone);
    EXPECT_EQ(copy, grant);
    const GrantRecordV1 decoded = cord::deserialize<GrantRecordV1>(cord::serialize(grant).value()).value();
    EXPECT_EQ(decoded, grant);
    GrantRecordV1 moved = std::move(grant);
    EXPECT_EQ(*moved.permission, permission);
    EXPECT_EQ(*grant.permission, GrantPermissionV1{});  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(cord::serialize(grant.permission).value(), cord::serialize(GrantPermissionV1{}).value());
  }
}

// The signature covers the wrapped body with its length prefix; the store
// holds envelopes sorted by encoding.
TEST(RecordWire, EnvelopeSignedMessageAndStore) {
  const auto record = [](std::uint64_t counter) {
    return VaultRecordV1{RecordBodyV1(GroupDeletedRecordV1{id<GroupId>("A4"), counter}), hex("4B"), hex("5351")};
  };
  const char* first = "00000011 00000005 00000001 A4 0000000000000005";
  expect_golden(record(5), hex(std::string(first) + "00000001 4B 00000002 5351"));
  EXPECT_EQ(signed_record_message(record(5).body), hex(first));

  const auto records = cord::Set<VaultRecordV1>::from({record(6), record(5)});
  ASSERT_TRUE(records.has_value());
  expect_golden(VaultStore(vault_store::V1{*records}),
                hex("00000000 00000002 00000011 00000005 00000001 A4 0000000000000005 00000001 4B 00000002 5351"
                    " 00000011 00000005 00000001 A4 0000000000000006 00000001 4B 00000002 5351"));
}

// A body this build cannot read (unknown kind or a deeper unknown index) is
// kept whole, written back as read, and signed as read.
TEST(RecordWire, UnknownBodiesKeptByteForByte) {
  for (const char* payload : {
           "0000000E 01020304",                                                      // kind 14
           "00000006 00000001 A5 00000001 A4 00000002 00000001 A2 0000000000000006",  // member index 2
           "00000009 00000001 A7 00000001 00000000 00000001 00000001 6b 00000004 FF",  // matcher 4, then junk
       }) {
    SCOPED_TRACE(payload);
    const Bytes signed_part = prefixed(hex(payload));
    const Bytes wire = cat(signed_part, hex("00000001 4B 00000001 53"));
    const auto decoded = cord::deserialize<VaultRecordV1>(wire);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    ASSERT_FALSE(decoded->body.is_known());
    EXPECT_EQ(*decoded->body.unknown_payload(), hex(payload));
    EXPECT_EQ(cord::serialize(*decoded), wire);
    EXPECT_EQ(signed_record_message(decoded->body), signed_part);
  }
}

TEST(RecordWire, DecodeFailures) {
  const std::string unknown = "Cord encountered unknown enum variant index ";
  const std::tuple<Decode, const char*, std::string> cases[] = {
      // A malformed known body fails rather than being kept as unknown.
      {&decode_error<VaultRecordV1>, "00000010 00000005 00000001 A4 00000000000000 00000001 4B 00000001 53",
       "Cord deserialization error: Unexpected end of input"},
      {&decode_error<VaultRecordV1>, "00000012 0000000A 00000001 A2 02 0000000000000001 00000001 4B 00000001 53",
       "Cord deserialization error: Cord could not validate: Invalid option variant"},
      {&decode_error<VaultStore>, "00000001 00000000", unknown + "1"},
      {&decode_error<TupleMatcherV1>, "00000003 00000000", unknown + "3"},
      {&decode_error<GrantPermissionV1>, "00000004", unknown + "4"},
      {&decode_error<KeyspaceGrantClassV1>, "00000003", unknown + "3"},
  };
  for (const auto& [decode, bytes, message] : cases) {
    const auto e = decode(hex(bytes), {});
    ASSERT_TRUE(e.has_value()) << bytes;
    EXPECT_EQ(e->message(), message) << bytes;
  }
}

// Equality covers every field and tells known from unknown; the hash agrees.
TEST(RecordEnvelope, EqualityAndHash) {
  const RecordBodyV1 body = GroupDeletedRecordV1{id<GroupId>("A4"), 5};
  const VaultRecordV1 a{body, hex("4B"), hex("5351")};
  const VaultRecordV1 unknown{cord::Evolving<RecordBodyV1>::unknown(*cord::serialize(body)), hex("4B"), hex("5351")};
  EXPECT_EQ(cord::serialize(unknown), cord::serialize(a));
  const std::hash<VaultRecordV1> hash;
  std::unordered_set<std::size_t> hashes{hash(a)};
  for (const auto& other :
       {VaultRecordV1{body, hex("4B"), hex("5352")}, VaultRecordV1{body, hex("4C"), hex("5351")}, unknown}) {
    EXPECT_NE(other, a);
    hashes.insert(hash(other));
  }
  EXPECT_EQ(hashes.size(), 4u);
  EXPECT_EQ(hash(VaultRecordV1{body, hex("4B"), hex("5351")}), hash(a));
}

}  // namespace
