// The domain hash and every identifier derived through it. Expected digests
// were computed outside this code base (Python hashlib over preimages
// written out byte by byte), so a layout slip here cannot agree with itself.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "golden.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/handles.hpp"

namespace {

using cord::Bytes;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::fill;
using vornex::test::hex;
using vornex::test::to_hex;

// The real domain hash, counting the calls: a failed encoding hashes nothing.
class Sha256Provider final : public CryptoProvider {
 public:
  HashValue hash(cord::ByteView domain, cord::ByteView data) const override {
    ++calls;
    return domain_hash(domain, data);
  }
  bool verify_signature(cord::ByteView, cord::ByteView, cord::ByteView, cord::ByteView) const override {
    return false;
  }
  mutable int calls = 0;
};

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes sequence(std::uint8_t first, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

TEST(DomainHash, PreimageLayout) {
  struct Case {
    const char* name;
    std::string domain, data;
    const char* digest;
  };
  const Case cases[] = {
      // 0e "vornex.hash.v1" | 01 "d" | 03 "abc", lengths as 8 bytes.
      {"worked example", "d", "abc", "f0432d75ac4d242a97c19a51db3efc849ceb9fa8828ab18d1e2adc449b0323e7"},
      // The label item and two zero lengths still go in.
      {"empty", "", "", "52b7cde061190bbc4d9b5ea7740dc8ee5ce5841428b460ef611d101cdaae26f6"},
      // Same concatenated bytes, different boundary.
      {"ab|c", "ab", "c", "1f8638ecccbf45cf5917214a35745439551a1450c51384055cf8d10784b43878"},
      {"a|bc", "a", "bc", "4b09995cb30b247ff38718c440d4789da94908742308c1e40b49e503aa42327a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_hex(domain_hash(text(c.domain), text(c.data)).bytes()), c.digest) << c.name;
  }
}

// Inputs: keys 00..1f and 20..3f, group 33*32, user 44*32, group 66*32,
// seed 55*16; selector (["db", "password"], [env=prod]).
TEST(Derivation, MatchesIndependentDigests) {
  const Sha256Provider p;
  const Bytes signing = sequence(0x00, 32), hpke = sequence(0x20, 32);
  const GroupId group(HashValue(fill(32, 0x33)));
  const UserId user(HashValue(fill(32, 0x44)));
  const GroupId other_group(HashValue(fill(32, 0x66)));
  const IdSeed seed(fill(16, 0x55));
  const SecretSelectorV1 selector{{"db", "password"}, {{"env", "prod"}}};
  const auto bytes = [](const auto& result) { return result.has_value() ? to_hex(result->bytes()) : "error"; };

  struct Case {
    const char* name;
    std::function<std::string()> derive;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {"user id", [&] { return bytes(derive_user_id(p, signing, hpke)); },
       "ebe5ea8022661f97753288ad8082528fd3440b5b91f701a601804bdef5201bb9"},
      {"user id, keys swapped", [&] { return bytes(derive_user_id(p, hpke, signing)); },
       "e15293b23f3c297835f176d4c691be8dc5c4deb88b5869e7c85d8a9253fdc190"},
      {"key hash", [&] { return bytes(key_hash(p, signing)); },
       "95ded99483afd716c2a31a4ba5cc0f78649fd902d1a2fd6e8054e77dcb1cf162"},
      {"secret id", [&] { return bytes(derive_secret_id(p, selector)); },
       "bf86c0be92ab99d3ecdb6b381380a29a28fbcf294b1d6ecebdf3517c3a1387ba"},
      {"user handle bob", [&] { return bytes(derive_user_handle_id(p, "bob")); },
       "67835e396060ee97a65699edcaf915896ed3c824e0981ff569919eab6fa5f7b2"},
      {"user handle ' Bob'", [&] { return bytes(derive_user_handle_id(p, " Bob")); },
       "67835e396060ee97a65699edcaf915896ed3c824e0981ff569919eab6fa5f7b2"},
      {"vault handle bob", [&] { return bytes(derive_vault_handle_id(p, "bob")); },
       "d05e9f108ce3cc24d016be9380e2ea918db8830216972c7211b951d5a36ce7c5"},
      {"user handle ideographic space, BOB, tab", [&] { return bytes(derive_user_handle_id(p, "\u3000BOB\t")); },
       "67835e396060ee97a65699edcaf915896ed3c824e0981ff569919eab6fa5f7b2"},
      {"group member, user", [&] { return bytes(derive_group_member_id(p, group, user)); },
       "2f4155d371e99d07a297fbd3675ba7f98c4e3ea264c49982d8f75af712d43c76"},
      {"group member, group", [&] { return bytes(derive_group_member_id(p, group, other_group)); },
       "841dc6c8d90cc3d0747fbb6ed4c62a85d5a28767ac37f47f75be60a357a103c5"},
      {"group id", [&] { return bytes(derive_hash(p, domains::kGroup, seed)); },
       "725a30b4bb2036db6317d7c21dd86ac5e386e9458ae6955a458d542856e48b53"},
      {"grant id", [&] { return bytes(derive_hash(p, domains::kGrant, seed)); },
       "b7bbac0aa628bbe4064a7f82fc4d5a2978f1078a48b0a787be33c884b23971bc"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.derive(), c.digest) << c.name;
}

// Text that is not UTF-8 cannot be encoded: the Cord error comes back and
// nothing is hashed.
TEST(Derivation, EncodingFailureHashesNothing) {
  const auto error_of = [](const auto& result) {
    return result.has_value() ? std::string("no error") : result.error().message();
  };
  const std::vector<std::function<std::string(const CryptoProvider&)>> cases = {
      [&](const CryptoProvider& p) { return error_of(derive_user_handle_id(p, " \xFF ")); },
      [&](const CryptoProvider& p) { return error_of(derive_vault_handle_id(p, "a\xC3")); },
      [&](const CryptoProvider& p) { return error_of(derive_secret_id(p, SecretSelectorV1{{"ok", "\xE2\x80"}, {}})); },
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Sha256Provider p;
    EXPECT_EQ(cases[i](p), "cord error: Invalid UTF-8") << i;
    EXPECT_EQ(p.calls, 0) << i;
  }
}

TEST(SignedRecordMessage, IsTheEnvelopesFirstField) {
  // GroupDeleted (kind 5), group id A4, counter 5: 17 bytes of payload.
  const cord::Evolving<RecordBodyV1> known = RecordBodyV1(GroupDeletedRecordV1{GroupId(HashValue(hex("A4"))), 5});
  const Bytes expected = hex("00000011 00000005 00000001 A4 0000000000000005");
  const auto message = signed_record_message(known);
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(to_hex(*message), to_hex(expected));
  const auto envelope = cord::serialize(VaultRecordV1{known, hex("4B"), hex("53")});
  ASSERT_TRUE(envelope.has_value());
  EXPECT_EQ(to_hex(*envelope), to_hex(cat(expected, hex("00000001 4B 00000001 53"))));
}

TEST(SignedRecordMessage, UnknownKindIsTheKeptBytes) {
  // Kind 42 from a newer build, read from an envelope as stored.
  const Bytes first_field = hex("00000008 0000002A DEADBEEF");
  const Bytes stored = cat(first_field, hex("00000001 4B 00000001 53"));
  const auto record = cord::deserialize<VaultRecordV1>(stored);
  ASSERT_TRUE(record.has_value()) << record.error().message();
  ASSERT_FALSE(record->body.is_known());
  const auto message = signed_record_message(record->body);
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(to_hex(*message), to_hex(first_field));
}

}  // namespace
