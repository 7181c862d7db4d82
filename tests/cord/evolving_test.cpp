// cord::Evolving: unknown records survive a decode and re-encode byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using vornex::test::hex;

struct UnitA { CORD_UNIT bool operator==(const UnitA&) const = default; };
struct UnitB { CORD_UNIT bool operator==(const UnitB&) const = default; };
using Mode = std::variant<UnitA, UnitB>;

struct Signed {
  std::string who;
  Mode mode;
  std::string note;
  CORD_FIELDS(who, mode, note)
  bool operator==(const Signed&) const = default;
};

// Four alternatives: index 4 is the first this build does not know.
using Rec = std::variant<UnitA, Signed, std::uint32_t, cord::Set<std::uint32_t>>;
using Ev = cord::Evolving<Rec>;

struct Envelope {
  std::vector<Ev> records;
  std::string sig;
  CORD_FIELDS(records, sig)
  bool operator==(const Envelope&) const = default;
};

TEST(CordEvolving, KnownRecordsAndEquality) {
  const Ev five(Rec(std::uint32_t{5}));
  EXPECT_EQ(cord::serialize(five), hex("00000008 00000002 00000005"));
  EXPECT_EQ(cord::deserialize<Ev>(hex("00000008 00000002 00000005")), five);
  const Ev sig(Rec(Signed{"al", Mode(UnitB{}), ""}));
  EXPECT_EQ(cord::serialize(sig), hex("00000012 00000001 00000002 616C 00000001 00000000"));
  EXPECT_EQ(cord::deserialize<Ev>(hex("00000012 00000001 00000002 616C 00000001 00000000")), sig);
  // A known record never equals an unknown one, though both encode the same.
  const Ev unknown = Ev::unknown(hex("00000002 00000005"));
  EXPECT_NE(five, unknown);
  EXPECT_EQ(cord::serialize(five), cord::serialize(unknown));
  EXPECT_NE(unknown, Ev::unknown(hex("00000002 00000006")));
}

TEST(CordEvolving, UnknownRecordsSurviveByteForByte) {
  const char* const cases[] = {
      "00000004 00000004",                      // unknown index, nothing after
      "00000006 00000004 AABB",                 // unknown index with a payload
      "00000005 FFFFFFFF 00",                   // largest index
      "0000000D 00000001 00000001 61 00000002",  // a known record whose mode is unknown
      // The unknown mode index ends decoding: the truncated note behind it is never read.
      "00000013 00000001 00000001 61 00000002 00000005 6162",
      "0000000E 00000001 00000001 61 00000002 FF",
  };
  for (const char* c : cases) {
    const Bytes bytes = hex(c);
    const Ev unknown = Ev::unknown(Bytes(bytes.begin() + 4, bytes.end()));
    EXPECT_EQ(cord::deserialize<Ev>(bytes), unknown) << c;
    EXPECT_EQ(cord::serialize(unknown), bytes) << c;
  }
  // Inside a larger value.
  const Bytes bytes = hex("00000003 00000008 00000002 00000007 00000006 00000009 C0FF 00000004 00000000 00000002 6F6B");
  const Envelope env{{Ev(Rec(std::uint32_t{7})), Ev::unknown(hex("00000009 C0FF")), Ev(Rec(UnitA{}))}, "ok"};
  EXPECT_EQ(cord::deserialize<Envelope>(bytes), env);
  EXPECT_EQ(cord::serialize(env), bytes);
}

TEST(CordEvolving, DecodeErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"00000007 00000002 000000", "Cord deserialization error: Unexpected end of input"},
      {"00000009 00000002 00000005 00", "Cord deserialization error: trailing bytes in evolving payload"},
      // Invalid text before the unknown mode index is an error, not an unknown record.
      {"0000000F 00000001 00000003 65CC81 00000002", "Cord deserialization error: String is not NFC normalized"},
      {"00000014 00000003 00000003 00000001 00000002 00000002",
       "Cord deserialization error: Cord deserialization error: Duplicate element in set"},
      // The payload's own prefix is read by the outer decoder: those errors are not wrapped.
      {"01000001", "Cord length limit exceeded: 16777217 exceeds maximum of 16777216"},
      {"00000010 00000000", "Unexpected end of input"},
  };
  for (const auto& [input, expected] : cases) {
    const auto r = cord::deserialize<Ev>(hex(input));
    EXPECT_EQ(r ? "ok" : r.error().message(), expected) << input;
  }
}

}  // namespace
