// The domain hash and identifiers derived through it. Expected digests come
// from Python hashlib over preimages written out byte by byte.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <numeric>
#include <string>
#include <tuple>

#include "golden.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/handles.hpp"

namespace {

using namespace vornex::core;
using namespace vornex::test;

// The real domain hash, counting the calls: a failed encoding hashes nothing.
struct Sha256Provider final : CryptoProvider {
  HashValue hash(cord::ByteView domain, cord::ByteView data) const override {
    ++calls;
    return domain_hash(domain, data);
  }
  bool verify_signature(cord::ByteView, cord::ByteView, cord::ByteView, cord::ByteView) const override { return false; }
  mutable int calls = 0;
};

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(DomainHash, PreimageLayout) {
  const std::tuple<std::string, std::string, const char*> cases[] = {
      // 0e "vornex.hash.v1" | 01 "d" | 03 "abc", lengths as 8 bytes.
      {"d", "abc", "f0432d75ac4d242a97c19a51db3efc849ceb9fa8828ab18d1e2adc449b0323e7"},
      // The label item and two zero lengths still go in.
      {"", "", "52b7cde061190bbc4d9b5ea7740dc8ee5ce5841428b460ef611d101cdaae26f6"},
      // Same concatenated bytes, different boundary.
      {"ab", "c", "1f8638ecccbf45cf5917214a35745439551a1450c51384055cf8d10784b43878"},
      {"a", "bc", "4b09995cb30b247ff38718c440d4789da94908742308c1e40b49e503aa42327a"},
  };
  for (const auto& [domain, data, digest] : cases) {
    EXPECT_EQ(to_hex(domain_hash(text(domain), text(data)).bytes()), digest) << domain << "|" << data;
  }
}

// Whatever the sizes of domain and data, on either side of where short
// inputs are gathered into one piece, the digest is SHA-256 of the plain
// preimage built here by concatenation.
TEST(DomainHash, AnySizeHashesThePlainPreimage) {
  const auto be64 = [](Bytes& out, std::uint64_t n) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(n >> shift));
  };
  const auto bytes_of_size = [](std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
  };
  int checked = 0;
  for (const std::size_t domain_size : {0, 1, 14, 100, 199, 200, 201, 232, 233, 300}) {
    for (std::size_t data_size = 0; data_size < 300; data_size += (data_size < 40 ? 1 : 13)) {
      for (const std::size_t extra : {std::size_t{0}, std::size_t{100000}}) {
        const Bytes domain = bytes_of_size(domain_size, 3);
        const Bytes data = bytes_of_size(data_size + extra, 9);
        Bytes preimage;
        for (const cord::ByteView item : {cord::ByteView(domains::kHash), cord::ByteView(domain), cord::ByteView(data)}) {
          be64(preimage, item.size());
          preimage.insert(preimage.end(), item.begin(), item.end());
        }
        Bytes expected(SHA256_DIGEST_LENGTH);
        SHA256(preimage.data(), preimage.size(), expected.data());
        ASSERT_EQ(domain_hash(domain, data).to_vec(), expected) << domain_size << " " << data.size();
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 1000);
}

// Keys 00..1f and 20..3f, group 33*32, user 44*32, group 66*32, seed 55*16.
TEST(Derivation, MatchesIndependentDigests) {
  const Sha256Provider p;
  Bytes signing(32), hpke(32);
  std::iota(signing.begin(), signing.end(), 0x00);
  std::iota(hpke.begin(), hpke.end(), 0x20);
  const GroupId group(HashValue(fill(32, 0x33)));
  const IdSeed seed(fill(16, 0x55));
  const auto digest = [](const auto& result) { return result.has_value() ? to_hex(result->bytes()) : "error"; };
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"user id", digest(derive_user_id(p, signing, hpke)),
       "ebe5ea8022661f97753288ad8082528fd3440b5b91f701a601804bdef5201bb9"},
      {"user id, keys swapped", digest(derive_user_id(p, hpke, signing)),
       "e15293b23f3c297835f176d4c691be8dc5c4deb88b5869e7c85d8a9253fdc190"},
      {"key hash", digest(key_hash(p, signing)), "95ded99483afd716c2a31a4ba5cc0f78649fd902d1a2fd6e8054e77dcb1cf162"},
      {"secret id", digest(derive_secret_id(p, SecretSelectorV1{{"db", "password"}, {{"env", "prod"}}})),
       "bf86c0be92ab99d3ecdb6b381380a29a28fbcf294b1d6ecebdf3517c3a1387ba"},
      {"user handle bob", digest(derive_user_handle_id(p, "bob")),
       "67835e396060ee97a65699edcaf915896ed3c824e0981ff569919eab6fa5f7b2"},
      {"user handle ideographic space, BOB, tab", digest(derive_user_handle_id(p, "\u3000BOB\t")),
       "67835e396060ee97a65699edcaf915896ed3c824e0981ff569919eab6fa5f7b2"},
      {"vault handle bob", digest(derive_vault_handle_id(p, "bob")),
       "d05e9f108ce3cc24d016be9380e2ea918db8830216972c7211b951d5a36ce7c5"},
      {"group member, user", digest(derive_group_member_id(p, group, UserId(HashValue(fill(32, 0x44))))),
       "2f4155d371e99d07a297fbd3675ba7f98c4e3ea264c49982d8f75af712d43c76"},
      {"group member, group", digest(derive_group_member_id(p, group, GroupId(HashValue(fill(32, 0x66))))),
       "841dc6c8d90cc3d0747fbb6ed4c62a85d5a28767ac37f47f75be60a357a103c5"},
      {"group id", digest(derive_hash(p, domains::kGroup, seed)),
       "725a30b4bb2036db6317d7c21dd86ac5e386e9458ae6955a458d542856e48b53"},
      {"grant id", digest(derive_hash(p, domains::kGrant, seed)),
       "b7bbac0aa628bbe4064a7f82fc4d5a2978f1078a48b0a787be33c884b23971bc"},
  };
  for (const auto& [name, actual, expected] : cases) EXPECT_EQ(actual, expected) << name;
}

// Text that is not UTF-8 cannot be encoded: the Cord error comes back, nothing is hashed.
TEST(Derivation, EncodingFailureHashesNothing) {
  const Sha256Provider p;
  const auto error = [](const auto& result) { return result ? std::string("no error") : result.error().message(); };
  for (const std::string& e : {error(derive_user_handle_id(p, " \xFF ")), error(derive_vault_handle_id(p, "a\xC3")),
                               error(derive_secret_id(p, SecretSelectorV1{{"ok", "\xE2\x80"}, {}}))}) {
    EXPECT_EQ(e, "cord error: Invalid UTF-8");
  }
  EXPECT_EQ(p.calls, 0);
}

}  // namespace
