// Invitations and secret bytes: encodings, decode failures, seed handling.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <type_traits>
#include <vector>

#include "golden.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/core/secret.hpp"

namespace {

using namespace vornex::core;
using namespace vornex::test;

static_assert(!std::is_copy_constructible_v<SecretBytes> && !std::is_copy_assignable_v<SecretBytes>);
static_assert(std::is_nothrow_move_constructible_v<SecretBytes> && std::is_nothrow_move_assignable_v<SecretBytes>);
static_assert(!std::is_copy_constructible_v<Invite> && !std::is_copy_constructible_v<InvitationMaterial>);

Bytes bytes_of(const SecretBytes& s) { return Bytes(s.view().begin(), s.view().end()); }

// Seed 5E5E and root 7A7A throughout; the seed's length is not the decoder's to check.
TEST(InviteWire, WorkedEncodings) {
  using Baseline = std::optional<std::vector<RatchetRecordV1>>;
  const std::pair<const char*, Baseline> cases[] = {
      {"00000000 00000002 5E5E 00000002 7A7A 00000000", std::vector<RatchetRecordV1>{}},
      {"00000000 00000002 5E5E 00000002 7A7A 00000001 00000000 00000001 A1 0000000000000005",
       std::vector<RatchetRecordV1>{UserRatchetRecordV1{id<UserId>("A1"), 5}}},
      {"00000001 00000002 5E5E 00000002 7A7A 00", std::nullopt},
      // An empty baseline that is present is not an absent one.
      {"00000001 00000002 5E5E 00000002 7A7A 01 00000000", std::vector<RatchetRecordV1>{}},
      {"00000001 00000002 5E5E 00000002 7A7A 01 00000001 00000008 0000000000000001",
       std::vector<RatchetRecordV1>{FormatVersionRatchetRecordV1{1}}},
  };
  for (const auto& [bytes, baseline] : cases) {
    SCOPED_TRACE(bytes);
    const auto material = decode_invitation(hex(bytes));
    ASSERT_TRUE(material.has_value()) << material.error().message();
    EXPECT_EQ(bytes_of(material->master_seed), hex("5E5E"));
    EXPECT_EQ(material->root, id<HashValue>("7A7A"));
    EXPECT_EQ(material->baseline, baseline);
  }
}

TEST(InviteWire, DecodeFailures) {
  const std::tuple<const char*, ErrorKind, const char*> cases[] = {
      {"00000002 00000002 5E5E 00000002 7A7A 00", ErrorKind::UnknownVariant,
       "Cord encountered unknown enum variant index 2"},
      // A baseline record this build does not know fails the whole invitation.
      {"00000001 00000002 5E5E 00000002 7A7A 01 00000001 0000000A 0000000000000001", ErrorKind::UnknownVariant,
       "Cord encountered unknown enum variant index 10"},
      {"00000001 00000002 5E5E 00000002 7A7A 02", ErrorKind::Validation,
       "Cord could not validate: Invalid option variant"},
      {"00000000 00FFFFFF 5E5E", ErrorKind::UnexpectedEof, "Unexpected end of input"},
      {"00000001 00000002 5E5E 00000002 7A7A 00 00", ErrorKind::TrailingBytes, "Trailing bytes after deserialization"},
  };
  for (const auto& [bytes, kind, message] : cases) {
    const auto material = decode_invitation(hex(bytes));
    ASSERT_FALSE(material.has_value()) << bytes;
    EXPECT_EQ(material.error().kind(), kind) << bytes;
    EXPECT_EQ(material.error().message(), message) << bytes;
  }
}

// The buffer that decoding filled is the one the material holds.
TEST(InviteSecrecy, SeedMovesWithoutCopy) {
  auto invite = cord::deserialize<Invite>(hex("00000001 00000002 5E5E 00000002 7A7A 00"));
  ASSERT_TRUE(invite.has_value());
  const std::uint8_t* storage = std::get<InviteV2>(*invite).master_seed.data();
  const InvitationMaterial material = InvitationMaterial::from(std::move(*invite));
  EXPECT_EQ(material.master_seed.data(), storage);
  EXPECT_TRUE(std::get<InviteV2>(*invite).master_seed.empty());
}

// Moving hands the buffer over whole; wiping zeroes it in place; decoding replaces it.
TEST(SecretBytes, WipeMoveAndDecode) {
  SecretBytes a(hex("5E5E5E"));
  const std::uint8_t* storage = a.data();
  SecretBytes b(std::move(a));
  SecretBytes c(hex("AABB"));
  c = std::move(b);
  EXPECT_EQ(c.data(), storage);
  EXPECT_EQ(bytes_of(c), hex("5E5E5E"));
  EXPECT_TRUE(a.empty() && b.empty());  // NOLINT(bugprone-use-after-move): part of the contract
  c.wipe();
  EXPECT_EQ(c.data(), storage);
  EXPECT_EQ(bytes_of(c), hex("000000"));
  Bytes raw = hex("0102030405");
  secure_wipe(raw.data(), 3);
  EXPECT_EQ(raw, hex("0000000405"));
  secure_wipe(nullptr, 0);

  const Bytes wire = hex("00000002 0102");
  cord::Deserializer d(wire);
  ASSERT_TRUE(cord::decode(d, c).has_value());
  EXPECT_EQ(bytes_of(c), hex("0102"));
  EXPECT_EQ(cord::serialize(c), wire);
}

}  // namespace
