// Record bodies, envelopes and the vault store: the byte layout of every
// kind, unknown kinds kept byte for byte, and the store's one variant.
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "golden.hpp"
#include "vornex/core/records.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::decode_error;
using vornex::test::expect_golden;
using vornex::test::fill;
using vornex::test::hex;

template <class Id>
Id id(const char* text) {
  return Id(HashValue(hex(text)));
}

Bytes length_prefixed(const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(cord::wire::write_length(out, payload.size(), cord::Width::Four).has_value());
  return cat(out, payload);
}

// An envelope around body payload bytes, with a 1-byte key and signature.
Bytes envelope(const Bytes& body_payload, const char* key = "4B", const char* signature = "53") {
  return cat(length_prefixed(body_payload), cat(length_prefixed(hex(key)), length_prefixed(hex(signature))));
}

VaultRecordV1 record(RecordBodyV1 body, const char* key = "4B", const char* signature = "53") {
  return VaultRecordV1{std::move(body), hex(key), hex(signature)};
}

const KeyspaceSelectorV1 kAnyPath{tuple_matcher::Any{}, {}};

// One body of every kind, written out by hand from the field lists. Ids are
// one byte (A1, A2, ...), counters small, so each field is easy to find.
TEST(RecordBodyWire, EveryKind) {
  struct Case {
    const char* kind;
    RecordBodyV1 body;
    Bytes bytes;
    std::uint64_t counter;
  };
  const SecretSelectorV1 selector{{"s"}, {}};
  const Bytes selector_bytes = hex("00000001 00000001 73 00000000");
  const Case cases[] = {
      {"VaultRoot", VaultRootRecordV1{id<UserId>("A1"), hex("E1")}, hex("00000000 00000001 A1 00000001 E1"), 0},
      {"EntryPoint", EntryPointRecordV1{id<UserId>("A1"), hex("E1"), 1},
       hex("00000001 00000001 A1 00000001 E1 0000000000000001"), 1},
      {"User", UserRecordV1{id<UserId>("A2"), hex("D2"), hex("E2"), 2},
       hex("00000002 00000001 A2 00000001 D2 00000001 E2 0000000000000002"), 2},
      {"UserHandle", UserHandleRecordV1{id<UserHandleId>("A3"), "al", id<UserId>("A2"), 3},
       hex("00000003 00000001 A3 00000002 616c 00000001 A2 0000000000000003"), 3},
      {"Group", GroupRecordV1{id<GroupId>("A4"), IdSeed(hex("5E")), "ops", 4},
       hex("00000004 00000001 A4 00000001 5E 00000003 6f7073 0000000000000004"), 4},
      {"GroupDeleted", GroupDeletedRecordV1{id<GroupId>("A4"), 5}, hex("00000005 00000001 A4 0000000000000005"), 5},
      {"GroupMember", GroupMemberRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<UserId>("A2"), 6},
       hex("00000006 00000001 A5 00000001 A4 00000000 00000001 A2 0000000000000006"), 6},
      {"GroupMemberDeleted",
       GroupMemberDeletedRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<GroupId>("A6"), 7},
       hex("00000007 00000001 A5 00000001 A4 00000001 00000001 A6 0000000000000007"), 7},
      {"Grant", GrantRecordV1{id<GrantId>("A7"), IdSeed(hex("5E")), id<GroupId>("A4"), grant_permission::Root{}, 8},
       hex("00000008 00000001 A7 00000001 5E 00000001 00000001 A4 00000003 0000000000000008"), 8},
      {"GrantDeleted", GrantDeletedRecordV1{id<GrantId>("A7"), grant_permission::Read{kAnyPath}, 9},
       hex("00000009 00000001 A7 00000000 00000000 00000000 0000000000000009"), 9},
      {"UserDeleted", UserDeletedRecordV1{id<UserId>("A2"), "gone", 10},
       hex("0000000A 00000001 A2 01 00000004 676f6e65 000000000000000A"), 10},
      {"Secret",
       SecretRecordV1{id<SecretId>("A8"), selector, SealedPayloadV1{hex("0E"), hex("CC"), {{hex("A2"), hex("EE"), hex("FF")}}}, 11},
       cat(cat(hex("0000000B 00000001 A8"), selector_bytes),
           hex("00000001 0E 00000001 CC 00000001 00000001 A2 00000001 EE 00000001 FF 000000000000000B")),
       11},
      {"SecretDeleted", SecretDeletedRecordV1{id<SecretId>("A8"), selector, 12},
       cat(cat(hex("0000000C 00000001 A8"), selector_bytes), hex("000000000000000C")), 12},
      {"VaultHandle", VaultHandleRecordV1{id<VaultHandleId>("A9"), "v", 13},
       hex("0000000D 00000001 A9 00000001 76 000000000000000D"), 13},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(c.body.index(), i);
    expect_golden(c.body, c.bytes);
    EXPECT_EQ(record_counter(c.body), c.counter);
  }
}

TEST(RecordBodyWire, KnownEncodings) {
  const Bytes group_id = fill(32, 0x6A);
  const RecordBodyV1 deleted = GroupDeletedRecordV1{GroupId(HashValue(group_id)), 7};
  const Bytes body = cat(cat(hex("00000005 00000020"), group_id), hex("0000000000000007"));
  ASSERT_EQ(body.size(), 48u);
  expect_golden(deleted, body);

  const VaultRecordV1 signed_record{deleted, fill(32, 0x4B), fill(64, 0x53)};
  const Bytes wire = cat(cat(cat(cat(hex("00000030"), body), hex("00000020")), fill(32, 0x4B)),
                         cat(hex("00000040"), fill(64, 0x53)));
  expect_golden(signed_record, wire);

  // detail absent is one 00 byte; present and empty is 01 and a zero length.
  expect_golden(RecordBodyV1(UserDeletedRecordV1{id<UserId>("A2"), std::nullopt, 1}),
                hex("0000000A 00000001 A2 00 0000000000000001"));
  expect_golden(RecordBodyV1(UserDeletedRecordV1{id<UserId>("A2"), "", 1}),
                hex("0000000A 00000001 A2 01 00000000 0000000000000001"));

  // A membership and its deletion differ in the kind index alone.
  const auto member = cord::serialize(RecordBodyV1(
      GroupMemberRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<UserId>("A2"), 3}));
  const auto ended = cord::serialize(RecordBodyV1(
      GroupMemberDeletedRecordV1{id<GroupMemberId>("A5"), id<GroupId>("A4"), id<UserId>("A2"), 3}));
  ASSERT_TRUE(member && ended);
  EXPECT_EQ((*member)[3], 6);
  EXPECT_EQ((*ended)[3], 7);
  EXPECT_TRUE(std::equal(member->begin() + 4, member->end(), ended->begin() + 4, ended->end()));
}

// A body that this build cannot read is kept whole and written back as read,
// whether the unknown index is the kind or lies deeper inside.
TEST(RecordEnvelope, UnknownBodiesKeptByteForByte) {
  struct Case {
    const char* what;
    Bytes payload;
  };
  const Case cases[] = {
      {"kind 14", hex("0000000E 01020304")},
      {"kind FFFFFFFF, nothing after", hex("FFFFFFFF")},
      {"member index 2", hex("00000006 00000001 A5 00000001 A4 00000002 00000001 A2 0000000000000006")},
      {"permission index 4", hex("00000008 00000001 A7 00000001 5E 00000000 00000001 A2 00000004 0000000000000008")},
      {"label matcher index 4, malformed after",
       hex("00000009 00000001 A7 00000001 00000000 00000001 00000001 6b 00000004 FF")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes wire = envelope(c.payload);
    const auto decoded = cord::deserialize<VaultRecordV1>(wire);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    EXPECT_FALSE(decoded->body.is_known());
    ASSERT_NE(decoded->body.unknown_payload(), nullptr);
    EXPECT_EQ(*decoded->body.unknown_payload(), c.payload);
    EXPECT_EQ(decoded->signing_public_key, hex("4B"));
    EXPECT_EQ(decoded->signature, hex("53"));
    EXPECT_EQ(cord::serialize(*decoded), wire);
  }
}

TEST(RecordEnvelope, MalformedKnownBodiesFail) {
  struct Case {
    const char* what;
    Bytes payload;
    const char* message;
  };
  const Case cases[] = {
      {"counter cut short", hex("00000005 00000001 A4 00000000000000"),
       "Cord deserialization error: Unexpected end of input"},
      {"option tag 2", hex("0000000A 00000001 A2 02 0000000000000001"),
       "Cord deserialization error: Cord could not validate: Invalid option variant"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto e = decode_error<VaultRecordV1>(envelope(c.payload));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->message(), c.message);
  }
}

TEST(RecordEnvelope, EqualityCoversEveryField) {
  const RecordBodyV1 body = GroupDeletedRecordV1{id<GroupId>("A4"), 5};
  const VaultRecordV1 a = record(body, "4B", "53");
  const VaultRecordV1 other_signature = record(body, "4B", "54");
  const VaultRecordV1 other_key = record(body, "4C", "53");
  auto raw = cord::serialize(body);
  ASSERT_TRUE(raw.has_value());
  const VaultRecordV1 unknown{cord::Evolving<RecordBodyV1>::unknown(*raw), hex("4B"), hex("53")};
  EXPECT_EQ(cord::serialize(unknown), cord::serialize(a));

  EXPECT_EQ(a, record(body, "4B", "53"));
  EXPECT_NE(a, other_signature);
  EXPECT_NE(a, other_key);
  EXPECT_NE(a, unknown);  // same bytes, but one is understood and one is not

  const std::unordered_set<VaultRecordV1> in_memory{a, record(body, "4B", "53"), other_signature, other_key, unknown};
  EXPECT_EQ(in_memory.size(), 4u);
}

TEST(VaultStoreWire, OneVariantOfSortedRecords) {
  const VaultRecordV1 first = record(GroupDeletedRecordV1{id<GroupId>("A4"), 5});
  const VaultRecordV1 second = record(GroupDeletedRecordV1{id<GroupId>("A4"), 6});
  const Bytes first_wire = envelope(hex("00000005 00000001 A4 0000000000000005"));
  const Bytes second_wire = envelope(hex("00000005 00000001 A4 0000000000000006"));

  auto records = cord::Set<VaultRecordV1>::from({second, first});
  ASSERT_TRUE(records.has_value());
  expect_golden(VaultStore(vault_store::V1{*records}), cat(cat(hex("00000000 00000002"), first_wire), second_wire));
  expect_golden(VaultStore(vault_store::V1{}), hex("00000000 00000000"));

  const auto out_of_order =
      decode_error<VaultStore>(cat(cat(hex("00000000 00000002"), second_wire), first_wire));
  ASSERT_TRUE(out_of_order.has_value());
  EXPECT_EQ(out_of_order->message(), "Cord deserialization error: Duplicate element in set");

  const auto v2 = decode_error<VaultStore>(hex("00000001 00000000"));
  ASSERT_TRUE(v2.has_value());
  EXPECT_EQ(v2->kind(), ErrorKind::UnknownVariant);
  EXPECT_EQ(v2->message(), "Cord encountered unknown enum variant index 1");
}

}  // namespace
