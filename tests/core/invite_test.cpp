// Invitations and secret bytes: the worked encodings, every way decoding
// can fail, seeding a ratchet from a baseline, and the seed's handling
// (never copied, wiped when dropped).
#include <gtest/gtest.h>

#include <optional>
#include <type_traits>
#include <vector>

#include "golden.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/core/secret.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::fill;
using vornex::test::hex;

static_assert(!std::is_copy_constructible_v<SecretBytes> && !std::is_copy_assignable_v<SecretBytes>);
static_assert(std::is_nothrow_move_constructible_v<SecretBytes> && std::is_nothrow_move_assignable_v<SecretBytes>);
static_assert(!std::is_copy_constructible_v<InviteV1> && !std::is_copy_constructible_v<InviteV2>);
static_assert(!std::is_copy_constructible_v<Invite> && !std::is_copy_constructible_v<InvitationMaterial>);
static_assert(std::is_move_constructible_v<Invite> && std::is_move_constructible_v<InvitationMaterial>);

Bytes seed_of(const SecretBytes& s) { return Bytes(s.view().begin(), s.view().end()); }

const Bytes kSeed = fill(32, 0x5E);
const Bytes kRoot = fill(32, 0x7A);
// Index, seed and root of every example: 4 + 36 + 36 bytes.
Bytes head(const char* index) { return cat(cat(hex(index), cat(hex("00000020"), kSeed)), cat(hex("00000020"), kRoot)); }

TEST(InviteWire, WorkedEncodings) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t size;
    std::optional<std::vector<RatchetRecordV1>> baseline;
  };
  const Case cases[] = {
      {"V1, empty baseline", cat(head("00000000"), hex("00000000")), 80, std::vector<RatchetRecordV1>{}},
      {"V2, no baseline", cat(head("00000001"), hex("00")), 77, std::nullopt},
      {"V2, format version 1", cat(head("00000001"), hex("01 00000001 00000008 0000000000000001")), 93,
       std::vector<RatchetRecordV1>{FormatVersionRatchetRecordV1{1}}},
      // An empty baseline that is present is not an absent one.
      {"V2, present but empty", cat(head("00000001"), hex("01 00000000")), 81, std::vector<RatchetRecordV1>{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.bytes.size(), c.size);
    auto material = decode_invitation(c.bytes);
    ASSERT_TRUE(material.has_value()) << material.error().message();
    EXPECT_EQ(seed_of(material->master_seed), kSeed);
    EXPECT_EQ(material->root, HashValue(kRoot));
    EXPECT_EQ(material->baseline, c.baseline);
  }

  // The seed's length is identity derivation's business, not the decoder's.
  auto short_seed = decode_invitation(hex("00000001 00000001 5E 00000001 AB 00"));
  ASSERT_TRUE(short_seed.has_value()) << short_seed.error().message();
  EXPECT_EQ(seed_of(short_seed->master_seed), hex("5E"));
}

TEST(InviteWire, DecodeFailures) {
  struct Case {
    const char* what;
    Bytes bytes;
    ErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {"version index 2", cat(head("00000002"), hex("00")), ErrorKind::UnknownVariant,
       "Cord encountered unknown enum variant index 2"},
      {"baseline record index 10", cat(head("00000001"), hex("01 00000001 0000000A 0000000000000001")),
       ErrorKind::UnknownVariant, "Cord encountered unknown enum variant index 10"},
      {"option byte 2", cat(head("00000001"), hex("02")), ErrorKind::Validation,
       "Cord could not validate: Invalid option variant"},
      {"baseline missing", head("00000001"), ErrorKind::UnexpectedEof, "Unexpected end of input"},
      {"record count beyond the input", cat(head("00000000"), hex("00000002 00000008 0000000000000001")),
       ErrorKind::UnexpectedEof, "Unexpected end of input"},
      {"seed length far beyond the input", hex("00000000 00FFFFFF 5E5E"), ErrorKind::UnexpectedEof,
       "Unexpected end of input"},
      {"handle not NFC", cat(head("00000001"), hex("01 00000001 00000001 00000001 A2 0000000000000001 00000003 65CC81")),
       ErrorKind::NotNfc, "String is not NFC normalized"},
      {"byte after the invitation", cat(head("00000001"), hex("00 00")), ErrorKind::TrailingBytes,
       "Trailing bytes after deserialization"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto material = decode_invitation(c.bytes);
    ASSERT_FALSE(material.has_value());
    EXPECT_EQ(material.error().kind(), c.kind);
    EXPECT_EQ(material.error().message(), c.message);
  }
}

// Seeding: a new ratchet for the invitation's root absorbs the baseline.
TEST(InviteBaseline, SeedsARatchet) {
  auto material = decode_invitation(cat(head("00000000"), hex("00000003"
                                                              " 00000008 0000000000000003"
                                                              " 00000009 00000001 F1"
                                                              " 00000000 00000001 A1 0000000000000005")));
  ASSERT_TRUE(material.has_value()) << material.error().message();
  ASSERT_TRUE(material->baseline.has_value());
  Ratchet r = Ratchet::make(material->root.bytes());
  for (const auto& record : *material->baseline) r.absorb_record(record);
  EXPECT_EQ(r.trusted_root(), kRoot);  // the baseline's root record has no say
  EXPECT_EQ(r.format_version(), 3u);
  EXPECT_EQ(r.counters(),
            (std::map<RecordKey, std::uint64_t>{{record_key::User{UserId(HashValue(hex("A1")))}, 5}}));

  auto empty = decode_invitation(cat(head("00000000"), hex("00000000")));
  ASSERT_TRUE(empty.has_value());
  Ratchet seeded = Ratchet::make(empty->root.bytes());
  for (const auto& record : *empty->baseline) seeded.absorb_record(record);
  EXPECT_EQ(seeded, Ratchet::make(kRoot));
}

TEST(SecretBytes, WipeZeroesInPlace) {
  SecretBytes s(kSeed);
  const std::uint8_t* storage = s.data();
  s.wipe();
  EXPECT_EQ(s.data(), storage);
  EXPECT_EQ(seed_of(s), Bytes(32, 0));

  std::vector<std::uint8_t> raw = hex("0102030405");
  secure_wipe(raw.data(), 3);
  EXPECT_EQ(raw, hex("0000000405"));
  secure_wipe(nullptr, 0);
}

TEST(SecretBytes, MovingHandsTheBufferOver) {
  SecretBytes a(kSeed);
  const std::uint8_t* storage = a.data();
  SecretBytes b(std::move(a));
  EXPECT_EQ(b.data(), storage);
  EXPECT_TRUE(a.empty());  // the moved-from state is part of the contract
  EXPECT_EQ(seed_of(b), kSeed);

  SecretBytes c(hex("AABB"));
  c = std::move(b);
  EXPECT_EQ(c.data(), storage);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(seed_of(c), kSeed);
}

// Decoding into a value that already holds bytes replaces them whole.
TEST(SecretBytes, DecodesAsAByteString) {
  SecretBytes s(hex("FFFFFFFFFFFF"));
  const Bytes wire = hex("00000002 0102");
  cord::Deserializer d(wire);
  ASSERT_TRUE(cord::decode(d, s).has_value());
  EXPECT_EQ(seed_of(s), hex("0102"));
  EXPECT_EQ(cord::serialize(s), hex("00000002 0102"));
}

// The seed reaches the material without a copy: the buffer that decoding
// filled is the one the material holds.
TEST(InviteSecrecy, SeedMovesWithoutCopy) {
  auto invite = cord::deserialize<Invite>(cat(head("00000001"), hex("00")));
  ASSERT_TRUE(invite.has_value());
  const std::uint8_t* storage = std::get<InviteV2>(*invite).master_seed.data();
  InvitationMaterial material = InvitationMaterial::from(std::move(*invite));
  EXPECT_EQ(material.master_seed.data(), storage);
  EXPECT_TRUE(std::get<InviteV2>(*invite).master_seed.empty());
}

}  // namespace
