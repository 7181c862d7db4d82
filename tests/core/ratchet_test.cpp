// Ratchet records and the ratchet: byte layouts, the record/key mapping,
// merges that only raise, and stored lists read back and written again
// with unknown records kept byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "golden.hpp"
#include "vornex/core/ratchet.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::decode_error;
using vornex::test::expect_golden;
using vornex::test::fill;
using vornex::test::hex;
using vornex::test::to_hex;

using Stored = cord::Evolving<RatchetRecordV1>;

template <class Id>
Id id(const char* text) {
  return Id(HashValue(hex(text)));
}
template <class Id>
Id id(Bytes bytes) {
  return Id(HashValue(std::move(bytes)));
}

const SecretSelectorV1 kSelector{{"db", "pw"}, {{"env", "prod"}}};
const GroupMemberIdInputV1 kMemberInput{id<GroupId>("A4"), id<UserId>("A2")};

// The worked encodings, with 32-byte identifiers.
TEST(RatchetRecordWire, WorkedEncodings) {
  const Bytes ident = fill(32, 0x5A);
  const Bytes id_field = cat(hex("00000020"), ident);
  struct Case {
    const char* what;
    RatchetRecordV1 record;
    Bytes bytes;
    std::size_t size;
  };
  const Case cases[] = {
      {"User, counter 5", UserRatchetRecordV1{id<UserId>(ident), 5},
       cat(cat(hex("00000000"), id_field), hex("00 00 00 00 00 00 00 05")), 48},
      {"UserHandle, counter 1, empty handle", UserHandleRatchetRecordV1{id<UserHandleId>(ident), 1, ""},
       cat(cat(hex("00000001"), id_field), hex("00 00 00 00 00 00 00 01  00 00 00 00")), 52},
      {"GroupMember, counter 7, input absent", GroupMemberRatchetRecordV1{id<GroupMemberId>(ident), 7, std::nullopt},
       cat(cat(hex("00000004"), id_field), hex("00 00 00 00 00 00 00 07  00")), 49},
      {"Secret, counter 2, empty selector", SecretRatchetRecordV1{id<SecretId>(ident), 2, {}},
       cat(cat(hex("00000006"), id_field), hex("00 00 00 00 00 00 00 02  00 00 00 00  00 00 00 00")), 56},
      {"FormatVersion 1", FormatVersionRatchetRecordV1{1}, hex("00 00 00 08  00 00 00 00 00 00 00 01"), 12},
      {"TrustedRoot", TrustedRootRatchetRecordV1{ident}, cat(hex("00000009"), id_field), 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.bytes.size(), c.size);
    expect_golden(c.record, c.bytes);
  }
}

// Every variant at its index, with the origin fields filled, written out by
// hand from the field lists (one-byte ids keep each field easy to find).
TEST(RatchetRecordWire, EveryVariantWithOrigins) {
  struct Case {
    RatchetRecordV1 record;
    Bytes bytes;
  };
  const Case cases[] = {
      {UserRatchetRecordV1{id<UserId>("A1"), 1}, hex("00000000 00000001 A1 0000000000000001")},
      {UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, "al"},
       hex("00000001 00000001 A2 0000000000000002 00000002 616C")},
      {VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, "v"},
       hex("00000002 00000001 A3 0000000000000003 00000001 76")},
      {GroupRatchetRecordV1{id<GroupId>("A4"), 4}, hex("00000003 00000001 A4 0000000000000004")},
      {GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, kMemberInput},
       hex("00000004 00000001 A5 0000000000000005 01 00000001 A4 00000000 00000001 A2")},
      {GrantRatchetRecordV1{id<GrantId>("A6"), 6}, hex("00000005 00000001 A6 0000000000000006")},
      {SecretRatchetRecordV1{id<SecretId>("A7"), 7, kSelector},
       hex("00000006 00000001 A7 0000000000000007"
           " 00000002 00000002 6462 00000002 7077"
           " 00000001 00000003 656E76 00000004 70726F64")},
      {EntryPointRatchetRecordV1{id<UserId>("A8"), 8}, hex("00000007 00000001 A8 0000000000000008")},
      {FormatVersionRatchetRecordV1{0xFFFFFFFFFFFFFFFF}, hex("00000008 FFFFFFFFFFFFFFFF")},
      {TrustedRootRatchetRecordV1{{}}, hex("00000009 00000000")},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(testing::Message() << "variant " << i);
    EXPECT_EQ(cases[i].record.index(), i);
    expect_golden(cases[i].record, cases[i].bytes);
  }
}

TEST(RatchetRecordWire, DecodeFailures) {
  struct Case {
    const char* what;
    Bytes bytes;
    ErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {"index 10", hex("0000000A 00000001 A1 0000000000000001"), ErrorKind::UnknownVariant,
       "Cord encountered unknown enum variant index 10"},
      {"option byte 2", hex("00000004 00000001 A5 0000000000000005 02"), ErrorKind::Validation,
       "Cord could not validate: Invalid option variant"},
      {"counter of 7 bytes", hex("00000000 00000001 A1 00000000000001"), ErrorKind::UnexpectedEof,
       "Unexpected end of input"},
      {"handle not NFC (e + combining acute)", hex("00000001 00000001 A2 0000000000000002 00000003 65CC81"),
       ErrorKind::NotNfc, "String is not NFC normalized"},
      {"byte after the record", hex("00000008 0000000000000001 00"), ErrorKind::TrailingBytes,
       "Trailing bytes after deserialization"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto e = decode_error<RatchetRecordV1>(c.bytes);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->kind(), c.kind);
    EXPECT_EQ(e->message(), c.message);
  }
}

Bytes length_prefixed(const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(cord::wire::write_length(out, payload.size(), cord::Width::Four).has_value());
  return cat(out, payload);
}

// Inside an evolving wrapper an unknown index, at the top or deeper down,
// keeps the payload raw; anything else malformed still fails.
TEST(RatchetRecordWire, UnknownKindsKeptRawInEvolving) {
  const Bytes unknown_payloads[] = {
      hex("0000000A 00000001 A1 0000000000000001"),
      hex("FFFFFFFF"),
      // A membership whose member principal has index 2.
      hex("00000004 00000001 A5 0000000000000005 01 00000001 A4 00000002 00000001 A2"),
  };
  for (const Bytes& payload : unknown_payloads) {
    SCOPED_TRACE(to_hex(payload));
    const Bytes wire = length_prefixed(payload);
    const auto decoded = cord::deserialize<Stored>(wire);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    EXPECT_FALSE(decoded->is_known());
    ASSERT_NE(decoded->unknown_payload(), nullptr);
    EXPECT_EQ(*decoded->unknown_payload(), payload);
    EXPECT_EQ(cord::serialize(*decoded), wire);
  }

  const auto e = decode_error<Stored>(length_prefixed(hex("00000004 00000001 A5 0000000000000005 02")));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->message(), "Cord deserialization error: Cord could not validate: Invalid option variant");
}

TEST(RatchetRecordMapping, OriginOfEachRecord) {
  const SecretSelectorV1 labels_only{{}, {{"env", "prod"}}};
  struct Case {
    const char* what;
    RatchetRecordV1 record;
    std::optional<KeyOrigin> origin;
  };
  const Case cases[] = {
      {"user handle text", UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, "al"}, key_origin::UserHandle{"al"}},
      {"user handle empty", UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, ""}, std::nullopt},
      {"vault handle text", VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, "v"}, key_origin::VaultHandle{"v"}},
      {"vault handle empty", VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, ""}, std::nullopt},
      {"member input", GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, kMemberInput},
       key_origin::GroupMember{kMemberInput}},
      {"member absent", GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, std::nullopt}, std::nullopt},
      {"selector, labels kept", SecretRatchetRecordV1{id<SecretId>("A7"), 7, kSelector}, key_origin::Secret{kSelector}},
      {"selector, labels only", SecretRatchetRecordV1{id<SecretId>("A7"), 7, labels_only}, std::nullopt},
      {"selector empty", SecretRatchetRecordV1{id<SecretId>("A7"), 7, {}}, std::nullopt},
      {"user", UserRatchetRecordV1{id<UserId>("A1"), 1}, std::nullopt},
      {"trusted root", TrustedRootRatchetRecordV1{hex("F1")}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ratchet_record_origin(c.record), c.origin);
  }
}

TEST(RatchetRecordMapping, RecordForKey) {
  const KeyOrigin user_handle = key_origin::UserHandle{"al"};
  const KeyOrigin vault_handle = key_origin::VaultHandle{"v"};
  const KeyOrigin secret = key_origin::Secret{kSelector};
  struct Case {
    const char* what;
    RecordKey key;
    const KeyOrigin* origin;
    std::optional<RatchetRecordV1> record;
  };
  // Matching origins are covered by the ordering and round-trip tests.
  const Case cases[] = {
      {"vault root", record_key::VaultRoot{}, nullptr, std::nullopt},
      {"user, origin ignored", record_key::User{id<UserId>("A1")}, &user_handle,
       UserRatchetRecordV1{id<UserId>("A1"), 9}},
      {"user handle, vault handle origin", record_key::UserHandle{id<UserHandleId>("A2")}, &vault_handle,
       UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 9, ""}},
      {"member, none", record_key::GroupMember{id<GroupMemberId>("A5")}, nullptr,
       GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 9, std::nullopt}},
      {"member, secret origin", record_key::GroupMember{id<GroupMemberId>("A5")}, &secret,
       GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 9, std::nullopt}},
      {"secret, user handle origin", record_key::Secret{id<SecretId>("A7")}, &user_handle,
       SecretRatchetRecordV1{id<SecretId>("A7"), 9, {}}},
      {"vault handle, user handle origin", record_key::VaultHandle{id<VaultHandleId>("A3")}, &user_handle,
       VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 9, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ratchet_record_for_key(c.key, 9, c.origin), c.record);
  }

}

const RecordKey kUserKey = record_key::User{id<UserId>("A1")};

TEST(RatchetMerge, CountersNeverFall) {
  struct Case {
    std::optional<std::uint64_t> held;
    std::uint64_t offered;
    std::uint64_t after;
  };
  const Case cases[] = {
      {7, 5, 7},
      {7, 9, 9},
      {7, 7, 7},
      {std::nullopt, 0, 0},  // a new key is added even at 0
      {std::nullopt, 4, 4},
      {0xFFFFFFFFFFFFFFFF, 0, 0xFFFFFFFFFFFFFFFF},
      {0, 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "held " << c.held.value_or(0) << ", offered " << c.offered);
    Ratchet absorbed = Ratchet::make(hex("F1"));
    Ratchet updated = Ratchet::make(hex("F1"));
    if (c.held) {
      absorbed.absorb_record(UserRatchetRecordV1{id<UserId>("A1"), *c.held});
      updated.apply_update(RatchetUpdate{{{kUserKey, *c.held}}, {}, std::nullopt});
    }
    absorbed.absorb_record(UserRatchetRecordV1{id<UserId>("A1"), c.offered});
    updated.apply_update(RatchetUpdate{{{kUserKey, c.offered}}, {}, std::nullopt});
    const std::map<RecordKey, std::uint64_t> expected{{kUserKey, c.after}};
    EXPECT_EQ(absorbed.counters(), expected);
    EXPECT_EQ(updated.counters(), expected);
  }
}

TEST(RatchetMerge, FirstOriginWins) {
  const RecordKey key = record_key::UserHandle{id<UserHandleId>("A2")};
  const auto handle = [](std::uint64_t counter, const char* text) {
    return UserHandleRatchetRecordV1{id<UserHandleId>("A2"), counter, text};
  };
  struct Case {
    const char* what;
    std::vector<RatchetRecordV1> records;
    std::optional<KeyOrigin> origin;
  };
  const Case cases[] = {
      {"A at 3, then B at 9", {handle(3, "a"), handle(9, "b")}, key_origin::UserHandle{"a"}},
      {"B at 9, then A at 3", {handle(9, "b"), handle(3, "a")}, key_origin::UserHandle{"b"}},
      {"empty first, then A", {handle(9, ""), handle(3, "a")}, key_origin::UserHandle{"a"}},
      {"empty only", {handle(9, "")}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ratchet r = Ratchet::make(hex("F1"));
    for (const auto& record : c.records) r.absorb_record(record);
    EXPECT_EQ(r.counters().at(key), 9u);
    EXPECT_EQ(r.origins().contains(key), c.origin.has_value());
    if (c.origin) {
      EXPECT_EQ(r.origins().at(key), *c.origin);
    }
  }

  // Updates keep a known origin too.
  Ratchet r = Ratchet::make(hex("F1"));
  r.absorb_record(handle(3, "a"));
  r.apply_update(RatchetUpdate{{{key, 20}}, {{key, key_origin::UserHandle{"b"}}}, std::nullopt});
  EXPECT_EQ(r.counters().at(key), 20u);
  EXPECT_EQ(r.origins().at(key), KeyOrigin(key_origin::UserHandle{"a"}));
}

TEST(RatchetMerge, FormatVersionOnlyRises) {
  struct Case {
    std::uint64_t held;
    std::uint64_t offered;
    std::uint64_t after;
  };
  const Case cases[] = {{0, 0, 0}, {1, 2, 2}, {2, 1, 2}, {3, 0, 3}, {0, 5, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.held << " then " << c.offered);
    Ratchet absorbed = Ratchet::make(hex("F1"));
    absorbed.absorb_record(FormatVersionRatchetRecordV1{c.held});
    absorbed.absorb_record(FormatVersionRatchetRecordV1{c.offered});
    EXPECT_EQ(absorbed.format_version(), c.after);
    EXPECT_TRUE(absorbed.counters().empty());

    Ratchet updated = Ratchet::make(hex("F1"));
    updated.apply_update(RatchetUpdate{{}, {}, c.held});
    updated.apply_update(RatchetUpdate{{}, {}, c.offered});
    updated.apply_update(RatchetUpdate{});  // absent: no change
    EXPECT_EQ(updated.format_version(), c.after);
  }
}

TEST(RatchetMerge, TrustedRootNeverChanges) {
  Ratchet r = Ratchet::make(hex("F1"));
  const Ratchet before = r;
  r.absorb_record(TrustedRootRatchetRecordV1{hex("F2")});
  r.absorb_record(TrustedRootRatchetRecordV1{{}});
  EXPECT_EQ(r, before);
  EXPECT_EQ(r.trusted_root(), hex("F1"));
}

TEST(RatchetRecords, EmptyRatchet) {
  Ratchet r = Ratchet::make(fill(32, 0xF1));
  EXPECT_EQ(r.to_records(), std::vector<RatchetRecordV1>{TrustedRootRatchetRecordV1{fill(32, 0xF1)}});
  r.absorb_record(FormatVersionRatchetRecordV1{3});
  EXPECT_EQ(r.to_records(), (std::vector<RatchetRecordV1>{FormatVersionRatchetRecordV1{3},
                                                         TrustedRootRatchetRecordV1{fill(32, 0xF1)}}));
}

// Records come out in RecordKey order, whatever order they went in, which
// is not the records' own variant order; then FormatVersion, then the root.
TEST(RatchetRecords, KeyOrderThenVersionThenRoot) {
  const KeyOrigin orphan = key_origin::VaultHandle{"nobody"};
  Ratchet r = Ratchet::make(hex("F1"));
  r.apply_update(RatchetUpdate{
      {
          {record_key::VaultHandle{id<VaultHandleId>("A3")}, 1},
          {record_key::Secret{id<SecretId>("A7")}, 2},
          {record_key::Grant{id<GrantId>("A6")}, 3},
          {record_key::GroupMember{id<GroupMemberId>("A5")}, 4},
          {record_key::Group{id<GroupId>("A4")}, 5},
          {record_key::UserHandle{id<UserHandleId>("A2")}, 6},
          {record_key::User{id<UserId>("A1FF")}, 7},
          {record_key::User{id<UserId>("A1")}, 8},
          {record_key::EntryPoint{id<UserId>("FF")}, 9},
          {record_key::VaultRoot{}, 10},
      },
      {
          {record_key::Secret{id<SecretId>("A7")}, key_origin::Secret{kSelector}},
          {record_key::UserHandle{id<UserHandleId>("A2")}, key_origin::UserHandle{"al"}},
          {record_key::VaultHandle{id<VaultHandleId>("A9")}, orphan},  // no counter: not written
      },
      4});
  const std::vector<RatchetRecordV1> expected{
      EntryPointRatchetRecordV1{id<UserId>("FF"), 9},
      UserRatchetRecordV1{id<UserId>("A1"), 8},
      UserRatchetRecordV1{id<UserId>("A1FF"), 7},
      UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 6, "al"},
      GroupRatchetRecordV1{id<GroupId>("A4"), 5},
      GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 4, std::nullopt},
      GrantRatchetRecordV1{id<GrantId>("A6"), 3},
      SecretRatchetRecordV1{id<SecretId>("A7"), 2, kSelector},
      VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 1, ""},
      FormatVersionRatchetRecordV1{4},
      TrustedRootRatchetRecordV1{hex("F1")},
  };
  EXPECT_EQ(r.to_records(), expected);
  // The orphan origin is still held, only not written.
  EXPECT_EQ(r.origins().at(record_key::VaultHandle{id<VaultHandleId>("A9")}), orphan);
  EXPECT_EQ(r.counters().at(record_key::VaultRoot{}), 10u);
}

TEST(RatchetRecords, AbsorbingToRecordsGivesTheRatchetBack) {
  Ratchet r = Ratchet::make(hex("F1F2"));
  r.apply_update(RatchetUpdate{
      {
          {record_key::VaultRoot{}, 3},
          {record_key::EntryPoint{id<UserId>("A1")}, 0},
          {record_key::User{id<UserId>("A1")}, 4},
          {record_key::UserHandle{id<UserHandleId>("A2")}, 5},
          {record_key::GroupMember{id<GroupMemberId>("A5")}, 6},
          {record_key::Secret{id<SecretId>("A7")}, 7},
          {record_key::Secret{id<SecretId>("A8")}, 8},
      },
      {
          {record_key::UserHandle{id<UserHandleId>("A2")}, key_origin::UserHandle{"al"}},
          {record_key::GroupMember{id<GroupMemberId>("A5")}, key_origin::GroupMember{kMemberInput}},
          {record_key::Secret{id<SecretId>("A7")}, key_origin::Secret{kSelector}},
          // Written as an empty selector, so not read back.
          {record_key::Secret{id<SecretId>("A8")}, key_origin::Secret{SecretSelectorV1{{}, {{"k", "v"}}}}},
          {record_key::Grant{id<GrantId>("A6")}, key_origin::UserHandle{"x"}},  // no counter
      },
      2});

  Ratchet back = Ratchet::make(r.trusted_root());
  for (const auto& record : r.to_records()) back.absorb_record(record);

  auto counters = r.counters();
  counters.erase(record_key::VaultRoot{});
  EXPECT_EQ(back.counters(), counters);
  EXPECT_EQ(back.format_version(), 2u);
  EXPECT_EQ(back.trusted_root(), hex("F1F2"));
  const std::map<RecordKey, KeyOrigin> written{
      {record_key::UserHandle{id<UserHandleId>("A2")}, key_origin::UserHandle{"al"}},
      {record_key::GroupMember{id<GroupMemberId>("A5")}, key_origin::GroupMember{kMemberInput}},
      {record_key::Secret{id<SecretId>("A7")}, key_origin::Secret{kSelector}},
  };
  EXPECT_EQ(back.origins(), written);
}

// A stored set, written by hand in canonical order (by length prefix
// first): an unknown kind (6 bytes), the root (9 bytes), a user (17 bytes).
const Bytes kStoredSet = hex(
    "00000003"
    " 00000006 0000000A 0102"
    " 00000009 00000009 00000001 F1"
    " 00000011 00000000 00000001 A1 0000000000000005");

TEST(RatchetStored, UnknownRecordsSurviveReadChangeAndRewrite) {
  const auto set = cord::deserialize<cord::Set<Stored>>(kStoredSet);
  ASSERT_TRUE(set.has_value()) << set.error().message();
  auto ratchet = Ratchet::from_stored(set->items());
  ASSERT_TRUE(ratchet.has_value());
  EXPECT_EQ(ratchet->trusted_root(), hex("F1"));
  EXPECT_EQ(ratchet->unknown_records(), std::vector<Bytes>{hex("0000000A 0102")});
  EXPECT_EQ(ratchet->counters(), (std::map<RecordKey, std::uint64_t>{{kUserKey, 5}}));

  auto rewrite = [](const Ratchet& r) {
    auto out = cord::Set<Stored>::from(r.to_stored());
    EXPECT_TRUE(out.has_value());
    auto bytes = cord::serialize(*out);
    EXPECT_TRUE(bytes.has_value());
    return *bytes;
  };
  EXPECT_EQ(to_hex(rewrite(*ratchet)), to_hex(kStoredSet));

  ratchet->absorb_record(UserRatchetRecordV1{id<UserId>("A1"), 6});
  EXPECT_EQ(to_hex(rewrite(*ratchet)), to_hex(hex("00000003"
                                                  " 00000006 0000000A 0102"
                                                  " 00000009 00000009 00000001 F1"
                                                  " 00000011 00000000 00000001 A1 0000000000000006")));
}

TEST(RatchetStored, ReadingBack) {
  const Stored root = RatchetRecordV1(TrustedRootRatchetRecordV1{hex("F1")});
  const RecordKey handle_key = record_key::UserHandle{id<UserHandleId>("A2")};
  // No root record: nothing to build on.
  EXPECT_EQ(Ratchet::from_stored(std::vector<Stored>{}), std::nullopt);
  EXPECT_EQ(Ratchet::from_stored(std::vector<Stored>{RatchetRecordV1(FormatVersionRatchetRecordV1{1}),
                                                     Stored::unknown(hex("0000000A"))}),
            std::nullopt);

  // The root may come last; records are absorbed in the order given, so the
  // first origin met stays; unknown payloads keep their order.
  const std::vector<Stored> stored{
      RatchetRecordV1(UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 9, "b"}),
      Stored::unknown(hex("0000000B")),
      RatchetRecordV1(UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 3, "a"}),
      Stored::unknown(hex("0000000A")),
      RatchetRecordV1(FormatVersionRatchetRecordV1{2}),
      root,
  };
  const auto r = Ratchet::from_stored(stored);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->trusted_root(), hex("F1"));
  EXPECT_EQ(r->counters(), (std::map<RecordKey, std::uint64_t>{{handle_key, 9}}));
  EXPECT_EQ(r->origins().at(handle_key), KeyOrigin(key_origin::UserHandle{"b"}));
  EXPECT_EQ(r->unknown_records(), (std::vector<Bytes>{hex("0000000B"), hex("0000000A")}));
  EXPECT_EQ(r->format_version(), 2u);
}

}  // namespace
