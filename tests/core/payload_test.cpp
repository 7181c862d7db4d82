// Secret values and sealed payloads: the reference encodings, the field set's
// order and duplicate rules, and lengths the decoder leaves to opening.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden.hpp"
#include "vornex/core/payload.hpp"

namespace {

using cord::Bytes;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::decode_error;
using vornex::test::expect_golden;
using vornex::test::expect_reencodes;
using vornex::test::fill;
using vornex::test::hex;

SecretValueV1 with_fields(Bytes primary, std::vector<SecretFieldEntryV1> entries) {
  auto fields = cord::Set<SecretFieldEntryV1>::from(std::move(entries));
  EXPECT_TRUE(fields.has_value()) << fields.error().message();
  return SecretValueV1{std::move(primary), fields.value_or(cord::Set<SecretFieldEntryV1>{})};
}

Bytes slot_bytes(const Bytes& recipient, const Bytes& encapsulated, const Bytes& wrapped) {
  Bytes out;
  for (const Bytes* part : {&recipient, &encapsulated, &wrapped}) {
    Bytes length;
    EXPECT_TRUE(cord::wire::write_length(length, part->size(), cord::Width::Four).has_value());
    out = cat(cat(out, length), *part);
  }
  return out;
}

TEST(SecretValueWire, KnownEncodings) {
  const Bytes abc = hex("616263");
  const auto primary_only = SecretValueV1::from_primary(abc);
  EXPECT_EQ(primary_only.primary, abc);
  EXPECT_TRUE(primary_only.fields.empty());
  expect_golden(primary_only, hex("00000003 616263 00000000"));

  // Built in the order aa, b; written b first, since the name's length
  // comes first in an entry's encoding.
  const Bytes two_fields = hex("00000000 00000002 00000001 62 00000001 01 00000002 6161 00000001 02");
  ASSERT_EQ(two_fields.size(), 29u);
  expect_golden(with_fields({}, {{"aa", {0x02}}, {"b", {0x01}}}), two_fields);

  expect_golden(SecretValueV1::from_primary({}), hex("00000000 00000000"));
}

TEST(SecretValueWire, FieldSetOrderAndDuplicates) {
  // aa before b on the wire is out of order.
  const auto reversed = decode_error<SecretValueV1>(
      hex("00000000 00000002 00000002 6161 00000001 02 00000001 62 00000001 01"));
  ASSERT_TRUE(reversed.has_value());
  EXPECT_EQ(reversed->message(), "Cord deserialization error: Duplicate element in set");

  // One name, two values: both kept, the shorter value first.
  const auto same_name = with_fields({}, {{"n", {0x01, 0x00}}, {"n", {0x02}}});
  EXPECT_EQ(same_name.fields.size(), 2u);
  expect_golden(same_name, hex("00000000 00000002 00000001 6e 00000001 02 00000001 6e 00000002 0100"));

  // Names equal after NFC, values equal: one encoding for two entries.
  const auto clash =
      cord::Set<SecretFieldEntryV1>::from({{"\xC3\xA9", {0x01}}, {"e\xCC\x81", {0x01}}});
  ASSERT_FALSE(clash.has_value());
  EXPECT_EQ(clash.error().message(), "Cord serialization error: Duplicate element in set");
}

TEST(SealedPayloadWire, OneReader) {
  const Bytes recipient = fill(32, 0xA1);
  const Bytes encapsulated = fill(32, 0xB2);
  const Bytes wrapped = fill(48, 0xC3);
  const RecipientSlotV1 slot{recipient, encapsulated, wrapped};
  const Bytes slot_wire = cat(cat(cat(cat(cat(hex("00000020"), recipient), hex("00000020")), encapsulated),
                                  hex("00000030")),
                              wrapped);
  ASSERT_EQ(slot_wire.size(), 124u);
  expect_golden(slot, slot_wire);

  // The value "abc" in its 28-byte envelope seals to 44 bytes.
  const Bytes nonce = fill(12, 0x0E);
  const Bytes ciphertext = fill(44, 0xCC);
  const SealedPayloadV1 payload{nonce, ciphertext, {slot}};
  const Bytes wire =
      cat(cat(cat(cat(cat(hex("0000000C"), nonce), hex("0000002C")), ciphertext), hex("00000001")), slot_wire);
  ASSERT_EQ(wire.size(), 192u);
  expect_golden(payload, wire);
}

// Lengths and recipient uniqueness are checked when opening and by
// validation, not by the decoder.
TEST(SealedPayloadWire, DecoderTakesWhatIsStored) {
  expect_golden(SealedPayloadV1{fill(12, 1), fill(16, 2), {}},
                cat(cat(cat(cat(hex("0000000C"), fill(12, 1)), hex("00000010")), fill(16, 2)), hex("00000000")));
  const Bytes twice = slot_bytes(hex("AA"), hex("BB"), hex("CC"));
  const Bytes duplicate_slots = cat(cat(hex("0000000D"), fill(13, 7)), cat(cat(hex("00000000 00000002"), twice), twice));
  const auto decoded = cord::deserialize<SealedPayloadV1>(duplicate_slots);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(decoded->nonce.size(), 13u);
  ASSERT_EQ(decoded->recipient_slots.size(), 2u);
  EXPECT_EQ(decoded->recipient_slots[0], decoded->recipient_slots[1]);
  expect_reencodes<SealedPayloadV1>(duplicate_slots);
  expect_golden(RecipientSlotV1{}, hex("00000000 00000000 00000000"));
}

}  // namespace
