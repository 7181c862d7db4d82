// Ratchet records and the ratchet: byte layouts, the record/key mapping,
// merges that only raise, and stored lists with unknown records kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "golden.hpp"
#include "vornex/core/ratchet.hpp"

namespace {

using namespace vornex::core;
using namespace vornex::test;
using Stored = cord::Evolving<RatchetRecordV1>;
using Counters = std::map<RecordKey, std::uint64_t>;

const SecretSelectorV1 kSelector{{"db", "pw"}, {{"env", "prod"}}};
const GroupMemberIdInputV1 kMemberInput{id<GroupId>("A4"), id<UserId>("A2")};
const RecordKey kUserKey = record_key::User{id<UserId>("A1")};
const RecordKey kHandleKey = record_key::UserHandle{id<UserHandleId>("A2")};
constexpr std::uint64_t kMax = 0xFFFFFFFFFFFFFFFF;

// Every variant in index order with its origin filled, then the empty origins.
TEST(RatchetRecordWire, EveryVariant) {
  expect_goldens<RatchetRecordV1>({
      {UserRatchetRecordV1{id<UserId>("A1"), 1}, "00000000 00000001 A1 0000000000000001"},
      {UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, "al"},
       "00000001 00000001 A2 0000000000000002 00000002 616C"},
      {VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, "v"},
       "00000002 00000001 A3 0000000000000003 00000001 76"},
      {GroupRatchetRecordV1{id<GroupId>("A4"), 4}, "00000003 00000001 A4 0000000000000004"},
      {GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, kMemberInput},
       "00000004 00000001 A5 0000000000000005 01 00000001 A4 00000000 00000001 A2"},
      {GrantRatchetRecordV1{id<GrantId>("A6"), 6}, "00000005 00000001 A6 0000000000000006"},
      {SecretRatchetRecordV1{id<SecretId>("A7"), 7, kSelector},
       "00000006 00000001 A7 0000000000000007 00000002 00000002 6462 00000002 7077"
       " 00000001 00000003 656E76 00000004 70726F64"},
      {EntryPointRatchetRecordV1{id<UserId>("A8"), 8}, "00000007 00000001 A8 0000000000000008"},
      {FormatVersionRatchetRecordV1{kMax}, "00000008 FFFFFFFFFFFFFFFF"},
      {TrustedRootRatchetRecordV1{hex("F1")}, "00000009 00000001 F1"},
      {UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, ""}, "00000001 00000001 A2 0000000000000002 00000000"},
      {GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, std::nullopt},
       "00000004 00000001 A5 0000000000000005 00"},
      {SecretRatchetRecordV1{id<SecretId>("A7"), 7, {}}, "00000006 00000001 A7 0000000000000007 00000000 00000000"},
  });
}

TEST(RatchetRecordMapping, OriginOfEachRecord) {
  const std::pair<RatchetRecordV1, std::optional<KeyOrigin>> cases[] = {
      {UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, "al"}, key_origin::UserHandle{"al"}},
      {UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 2, ""}, std::nullopt},
      {VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, "v"}, key_origin::VaultHandle{"v"}},
      {VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 3, ""}, std::nullopt},
      {GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, kMemberInput}, key_origin::GroupMember{kMemberInput}},
      {GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 5, std::nullopt}, std::nullopt},
      {SecretRatchetRecordV1{id<SecretId>("A7"), 7, kSelector}, key_origin::Secret{kSelector}},
      // A selector without path segments counts as empty, labels or not.
      {SecretRatchetRecordV1{id<SecretId>("A7"), 7, {{}, {{"env", "prod"}}}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ratchet_record_origin(c.first), c.second) << "case " << &c - cases;
}

// An origin of another kind than the key's is written as an empty field.
TEST(RatchetRecordMapping, RecordForKeyIgnoresForeignOrigins) {
  const KeyOrigin user_handle = key_origin::UserHandle{"al"};
  const KeyOrigin vault_handle = key_origin::VaultHandle{"v"};
  const KeyOrigin secret = key_origin::Secret{kSelector};
  const std::tuple<RecordKey, const KeyOrigin*, std::optional<RatchetRecordV1>> cases[] = {
      {kHandleKey, &vault_handle, UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 9, ""}},
      {record_key::GroupMember{id<GroupMemberId>("A5")}, &secret,
       GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 9, std::nullopt}},
      {record_key::Secret{id<SecretId>("A7")}, &user_handle, SecretRatchetRecordV1{id<SecretId>("A7"), 9, {}}},
      {record_key::VaultHandle{id<VaultHandleId>("A3")}, &user_handle,
       VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 9, ""}},
  };
  for (const auto& [key, origin, record] : cases) EXPECT_EQ(ratchet_record_for_key(key, 9, origin), record);
}

// Counters and the format version only rise, by record and by update alike.
TEST(RatchetMerge, CountersAndFormatVersionNeverFall) {
  const std::tuple<std::optional<std::uint64_t>, std::uint64_t, std::uint64_t> cases[] = {
      {7, 5, 7}, {7, 9, 9}, {std::nullopt, 0, 0}, {kMax, 0, kMax}, {0, kMax, kMax},
  };
  for (const auto& [held, offered, after] : cases) {
    SCOPED_TRACE(testing::Message() << held.value_or(0) << " then " << offered);
    Ratchet absorbed = Ratchet::make(hex("F1"));
    Ratchet updated = absorbed;
    for (const auto value : {held, std::optional(offered)}) {
      if (!value) continue;
      absorbed.absorb_record(UserRatchetRecordV1{id<UserId>("A1"), *value});
      absorbed.absorb_record(FormatVersionRatchetRecordV1{*value});
      updated.apply_update(RatchetUpdate{{{kUserKey, *value}}, {}, *value});
    }
    updated.apply_update(RatchetUpdate{});  // nothing offered: no change
    for (const Ratchet* r : {&absorbed, &updated}) {
      EXPECT_EQ(r->counters(), (Counters{{kUserKey, after}}));
      EXPECT_EQ(r->format_version(), after);
    }
  }
}

// The first origin known for a key stays, whatever the counters say.
TEST(RatchetMerge, FirstOriginWins) {
  const auto handle = [](std::uint64_t counter, const char* text) {
    return UserHandleRatchetRecordV1{id<UserHandleId>("A2"), counter, text};
  };
  const std::pair<std::vector<RatchetRecordV1>, std::optional<KeyOrigin>> cases[] = {
      {{handle(3, "a"), handle(9, "b")}, key_origin::UserHandle{"a"}},
      {{handle(9, "b"), handle(3, "a")}, key_origin::UserHandle{"b"}},
      {{handle(9, ""), handle(3, "a")}, key_origin::UserHandle{"a"}},
      {{handle(9, "")}, std::nullopt},
  };
  for (const auto& [records, origin] : cases) {
    Ratchet r = Ratchet::make(hex("F1"));
    for (const auto& record : records) r.absorb_record(record);
    EXPECT_EQ(r.counters(), (Counters{{kHandleKey, 9}}));
    const auto held = r.origins().find(kHandleKey);
    EXPECT_EQ(held == r.origins().end() ? std::nullopt : std::optional(held->second), origin);
  }
}

TEST(RatchetMerge, TrustedRootNeverChanges) {
  Ratchet r = Ratchet::make(hex("F1"));
  const Ratchet before = r;
  r.absorb_record(TrustedRootRatchetRecordV1{hex("F2")});
  r.absorb_record(TrustedRootRatchetRecordV1{{}});
  EXPECT_EQ(r, before);
}

// One record per counter in RecordKey order (not the records' variant order),
// then FormatVersion unless 0, then the root; a fresh ratchet reads them back.
TEST(RatchetRecords, KeyOrderAndRoundTrip) {
  Ratchet r = Ratchet::make(hex("F1"));
  EXPECT_EQ(r.to_records(), std::vector<RatchetRecordV1>{TrustedRootRatchetRecordV1{hex("F1")}});
  const RecordKey member = record_key::GroupMember{id<GroupMemberId>("A5")};
  const RecordKey secret = record_key::Secret{id<SecretId>("A7")};
  const RecordKey labels_only = record_key::Secret{id<SecretId>("A8")};
  const SecretSelectorV1 no_path{{}, {{"k", "v"}}};
  r.apply_update(RatchetUpdate{
      {{record_key::VaultHandle{id<VaultHandleId>("A3")}, 1}, {labels_only, 2}, {secret, 2},
       {record_key::Grant{id<GrantId>("A6")}, 3}, {member, 4}, {record_key::Group{id<GroupId>("A4")}, 5},
       {kHandleKey, 6}, {record_key::User{id<UserId>("A1FF")}, 7}, {kUserKey, 8},
       {record_key::EntryPoint{id<UserId>("FF")}, 9}, {record_key::VaultRoot{}, 10}},
      {{secret, key_origin::Secret{kSelector}},
       {kHandleKey, key_origin::UserHandle{"al"}},
       {member, key_origin::GroupMember{kMemberInput}},
       {labels_only, key_origin::Secret{no_path}},  // written, but no path: not read back
       {record_key::VaultHandle{id<VaultHandleId>("A9")}, key_origin::VaultHandle{"x"}}},  // no counter
      4});
  const std::vector<RatchetRecordV1> expected{
      EntryPointRatchetRecordV1{id<UserId>("FF"), 9},
      UserRatchetRecordV1{id<UserId>("A1"), 8},
      UserRatchetRecordV1{id<UserId>("A1FF"), 7},
      UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 6, "al"},
      GroupRatchetRecordV1{id<GroupId>("A4"), 5},
      GroupMemberRatchetRecordV1{id<GroupMemberId>("A5"), 4, kMemberInput},
      GrantRatchetRecordV1{id<GrantId>("A6"), 3},
      SecretRatchetRecordV1{id<SecretId>("A7"), 2, kSelector},
      SecretRatchetRecordV1{id<SecretId>("A8"), 2, no_path},
      VaultHandleRatchetRecordV1{id<VaultHandleId>("A3"), 1, ""},
      FormatVersionRatchetRecordV1{4},
      TrustedRootRatchetRecordV1{hex("F1")},
  };
  EXPECT_EQ(r.to_records(), expected);

  Ratchet back = Ratchet::make(r.trusted_root());
  for (const auto& record : expected) back.absorb_record(record);
  auto counters = r.counters();
  counters.erase(record_key::VaultRoot{});
  EXPECT_EQ(back.counters(), counters);
  EXPECT_EQ(back.format_version(), 4u);
  EXPECT_EQ(back.origins(), (std::map<RecordKey, KeyOrigin>{{kHandleKey, key_origin::UserHandle{"al"}},
                                                            {member, key_origin::GroupMember{kMemberInput}},
                                                            {secret, key_origin::Secret{kSelector}}}));
}

// By hand, in canonical order: an unknown kind, the root, a user with the given
// counter, then a membership whose member principal has an unknown index.
std::string stored_set(const char* user_counter) {
  return std::string("00000004 00000006 0000000A 0102  00000009 00000009 00000001 F1") +
         "  00000011 00000000 00000001 A1 " + user_counter +
         "  00000020 00000004 00000001 A5 0000000000000005 01 00000001 A4 00000002 00000001 A2";
}

TEST(RatchetStored, UnknownRecordsSurviveReadChangeAndRewrite) {
  const auto set = cord::deserialize<cord::Set<Stored>>(hex(stored_set("0000000000000005")));
  ASSERT_TRUE(set.has_value()) << set.error().message();
  auto ratchet = Ratchet::from_stored(set->items());
  ASSERT_TRUE(ratchet.has_value());
  EXPECT_EQ(ratchet->trusted_root(), hex("F1"));
  EXPECT_EQ(ratchet->unknown_records(),
            (std::vector<Bytes>{hex("0000000A 0102"),
                                hex("00000004 00000001 A5 0000000000000005 01 00000001 A4 00000002 00000001 A2")}));
  EXPECT_EQ(ratchet->counters(), (Counters{{kUserKey, 5}}));

  const auto rewrite = [](const Ratchet& r) {
    const auto out = cord::Set<Stored>::from(r.to_stored());
    EXPECT_TRUE(out.has_value());
    return to_hex(cord::serialize(*out).value_or(Bytes{}));
  };
  EXPECT_EQ(rewrite(*ratchet), to_hex(hex(stored_set("0000000000000005"))));
  ratchet->absorb_record(UserRatchetRecordV1{id<UserId>("A1"), 6});
  EXPECT_EQ(rewrite(*ratchet), to_hex(hex(stored_set("0000000000000006"))));
}

TEST(RatchetStored, ReadingBack) {
  // No root record: nothing to build on.
  EXPECT_EQ(Ratchet::from_stored(std::vector<Stored>{RatchetRecordV1(FormatVersionRatchetRecordV1{1}),
                                                     Stored::unknown(hex("0000000A"))}),
            std::nullopt);

  // The last root record names the root; records are absorbed in order.
  const std::vector<Stored> stored{
      RatchetRecordV1(TrustedRootRatchetRecordV1{hex("F0")}),
      RatchetRecordV1(UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 9, "b"}),
      RatchetRecordV1(UserHandleRatchetRecordV1{id<UserHandleId>("A2"), 3, "a"}),
      RatchetRecordV1(TrustedRootRatchetRecordV1{hex("F1")}),
  };
  const auto r = Ratchet::from_stored(stored);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->trusted_root(), hex("F1"));
  EXPECT_EQ(r->counters(), (Counters{{kHandleKey, 9}}));
  EXPECT_EQ(r->origins().at(kHandleKey), KeyOrigin(key_origin::UserHandle{"b"}));
}

}  // namespace

namespace {

// Kept in a batch, unknown payloads end as kept one at a time would leave
// them: each once, in the order first met, after those already kept.
TEST(RatchetStored, UnknownRecordsKeptInABatchAsOneByOne) {
  std::uint64_t state = 11;
  const auto next = [&](std::uint64_t n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % n;
  };
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    const auto payloads = [&](std::size_t count) {
      std::vector<cord::Bytes> out;
      for (std::size_t i = 0; i < count; ++i) {
        // Short payloads from a small alphabet: repeats and shared prefixes.
        cord::Bytes p(next(4));
        for (auto& b : p) b = static_cast<std::uint8_t>(next(3));
        out.push_back(std::move(p));
      }
      return out;
    };
    const std::vector<cord::Bytes> first = payloads(next(12));
    const std::vector<cord::Bytes> second = payloads(next(12));
    Ratchet one_by_one = Ratchet::make(cord::Bytes(32, 1));
    Ratchet batch = one_by_one;
    for (const auto& p : first) one_by_one.keep_unknown_record(p);
    for (const auto& p : second) one_by_one.keep_unknown_record(p);
    batch.keep_unknown_records(first);
    batch.keep_unknown_records(second);
    batch.keep_unknown_records(batch.unknown_records());
    EXPECT_EQ(batch.unknown_records(), one_by_one.unknown_records());
  }
}

}  // namespace
