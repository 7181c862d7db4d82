// cord::Evolving: records of a kind this build does not know must survive a
// decode and re-encode byte for byte, since signatures cover those bytes.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "cord/cord.hpp"
#include "hex.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using vornex::test::hex;
using vornex::test::to_hex;

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

TEST(CordEvolving, KnownRecordRoundTrips) {
  const Ev five(Rec(std::uint32_t{5}));
  const Bytes bytes = hex("00000008 00000002 00000005");
  EXPECT_EQ(cord::serialize(five), bytes);
  auto decoded = cord::deserialize<Ev>(bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  ASSERT_TRUE(decoded->is_known());
  EXPECT_EQ(decoded->unknown_payload(), nullptr);
  EXPECT_EQ(*decoded->known(), Rec(std::uint32_t{5}));

  const Ev sig(Rec(Signed{"al", Mode(UnitB{}), ""}));
  const Bytes sig_bytes = hex("00000012 00000001 00000002 616C 00000001 00000000");
  EXPECT_EQ(cord::serialize(sig), sig_bytes);
  EXPECT_EQ(cord::deserialize<Ev>(sig_bytes), sig);
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
    auto decoded = cord::deserialize<Ev>(bytes);
    ASSERT_TRUE(decoded.has_value()) << c << ": " << decoded.error().message();
    EXPECT_FALSE(decoded->is_known()) << c;
    EXPECT_EQ(decoded->known(), nullptr);
    ASSERT_NE(decoded->unknown_payload(), nullptr);
    EXPECT_EQ(to_hex(*decoded->unknown_payload()), to_hex(Bytes(bytes.begin() + 4, bytes.end()))) << c;
    EXPECT_EQ(to_hex(cord::serialize(*decoded).value()), to_hex(bytes)) << c;
  }
}

TEST(CordEvolving, UnknownRecordsInsideALargerValue) {
  const Bytes bytes = hex(
      "00000003"
      "00000008 00000002 00000007"
      "00000006 00000009 C0FF"
      "00000004 00000000"
      "00000002 6F6B");
  auto env = cord::deserialize<Envelope>(bytes);
  ASSERT_TRUE(env.has_value()) << env.error().message();
  ASSERT_EQ(env->records.size(), 3u);
  EXPECT_TRUE(env->records[0].is_known());
  EXPECT_FALSE(env->records[1].is_known());
  EXPECT_EQ(*env->records[1].unknown_payload(), hex("00000009 C0FF"));
  EXPECT_EQ(*env->records[2].known(), Rec(UnitA{}));
  EXPECT_EQ(env->sig, "ok");
  EXPECT_EQ(cord::serialize(*env), bytes);
}

std::string outcome(const Bytes& bytes) {
  auto r = cord::deserialize<Ev>(bytes);
  return r ? "ok" : r.error().message();
}

TEST(CordEvolving, DecodeErrors) {
  constexpr const char* kEof = "Cord deserialization error: Unexpected end of input";
  EXPECT_EQ(outcome(hex("00000000")), kEof);
  EXPECT_EQ(outcome(hex("00000007 00000002 000000")), kEof);
  EXPECT_EQ(outcome(hex("00000009 00000002 00000005 00")),
            "Cord deserialization error: trailing bytes in evolving payload");
  // Malformed text before the unknown mode index is an error, not an unknown record.
  EXPECT_EQ(outcome(hex("0000000D 00000001 00000001 C3 00000002")), "Cord deserialization error: Invalid UTF-8");
  EXPECT_EQ(outcome(hex("0000000F 00000001 00000003 65CC81 00000002")),
            "Cord deserialization error: String is not NFC normalized");
  EXPECT_EQ(outcome(hex("00000014 00000003 00000003 00000001 00000002 00000002")),
            "Cord deserialization error: Cord deserialization error: Duplicate element in set");
  // The payload's own prefix is read by the outer decoder: those errors are not wrapped.
  EXPECT_EQ(outcome(hex("01000001")), "Cord length limit exceeded: 16777217 exceeds maximum of 16777216");
  EXPECT_EQ(cord::deserialize<Ev>(hex("01000001")).error().kind(), ErrorKind::LengthLimitExceeded);
  EXPECT_EQ(outcome(hex("00000010 00000000")), "Unexpected end of input");
  EXPECT_EQ(outcome(hex("000000")), "Unexpected end of input");
  EXPECT_EQ(outcome(hex("00000004 00000000 00")), "Trailing bytes after deserialization");
}

TEST(CordEvolving, Equality) {
  const Ev known(Rec(std::uint32_t{5}));
  const Bytes payload = hex("00000002 00000005");
  EXPECT_EQ(Ev::unknown(payload), Ev::unknown(payload));
  EXPECT_NE(Ev::unknown(payload), Ev::unknown(hex("00000002 00000006")));
  EXPECT_NE(known, Ev::unknown(payload));
  EXPECT_NE(Ev::unknown(payload), known);
  // ...although both encode the same.
  EXPECT_EQ(cord::serialize(known), cord::serialize(Ev::unknown(payload)));
}

TEST(CordEvolving, WidthHintsConflict) {
  using Hinted = cord::Width8<Ev>;
  const auto encoded = cord::serialize(Hinted{Ev(Rec(UnitA{}))});
  ASSERT_FALSE(encoded.has_value());
  EXPECT_EQ(encoded.error().kind(), ErrorKind::ConflictingHints);
  for (const Bytes& input : {hex("00000004 00000000"), hex("04 00000000")}) {
    const auto decoded = cord::deserialize<Hinted>(input);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Validation);
    EXPECT_EQ(decoded.error().text(), "Conflicting sentinel nesting: cannot combine width/varint wrappers");
  }
}

TEST(CordEvolving, EncodeErrorLeavesOutputUntouched) {
  Bytes out = hex("AB");
  const Ev bad(Rec(Signed{"\xC3(", Mode(UnitA{}), ""}));
  const auto st = cord::serialize_into(out, bad);
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidUtf8);
  EXPECT_EQ(out, hex("AB"));
  // Within a sequence, the elements written before the bad one are rolled back too.
  const Envelope env{{Ev(Rec(UnitA{})), bad}, "s"};
  EXPECT_EQ(cord::serialize_into(out, env).error().kind(), ErrorKind::InvalidUtf8);
  EXPECT_EQ(out, hex("AB"));
}

}  // namespace
