// The primitives under everything else, against every case of the
// Wycheproof files and the RFC 8032 and RFC 5869 vectors.
#include <gtest/gtest.h>

#include <algorithm>

#include "support.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/crypto/ed25519.hpp"
#include "vornex/crypto/kdf.hpp"
#include "vornex/crypto/x25519.hpp"

namespace {

using namespace vornex::crypto;
using namespace vornex::test;
using nlohmann::json;

// Runs `check` on every case of a Wycheproof file; none may be skipped.
template <class Check>
void for_each_case(const char* file_name, Check check) {
  const json file = load_vectors(file_name);
  int seen = 0;
  for (const auto& group : file["testGroups"]) {
    for (const auto& test : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(test["tcId"].get<int>()) + " " + test["comment"].get<std::string>());
      check(group, test);
      ++seen;
    }
  }
  EXPECT_EQ(seen, file["numberOfTests"].get<int>());
}

TEST(Vectors, DirectoryPresent) {
  ASSERT_TRUE(std::filesystem::is_directory(testdata_dir())) << "test vectors missing: " << testdata_dir();
}

// libsodium's strict check agrees with every verdict; the file has no
// merely "acceptable" case.
TEST(Ed25519, Wycheproof) {
  for_each_case("ed25519_test.json", [](const json& group, const json& test) {
    ASSERT_NE(test["result"], "acceptable");
    EXPECT_EQ(ed25519_verify_raw(bytes_of(group["publicKey"]["pk"]), bytes_of(test["msg"]), bytes_of(test["sig"])),
              test["result"] == "valid");
  });
}

TEST(Ed25519, Rfc8032) {
  const json file = load_vectors("ed25519-rfc8032.json");
  ASSERT_EQ(file["vectors"].size(), 5u);
  for (const auto& v : file["vectors"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const Bytes seed = bytes_of(v["secret_key"]), public_key = bytes_of(v["public_key"]);
    Bytes message = bytes_of(v["message"]);
    const auto pair = SigningKeypair::from_seed(std::span<const std::uint8_t, 32>(seed.data(), 32));
    EXPECT_EQ(to_bytes(pair.public_key()), public_key);
    EXPECT_TRUE(ed25519_verify_raw(public_key, message, bytes_of(v["signature"])));
    message.push_back(0);
    EXPECT_FALSE(ed25519_verify_raw(public_key, message, bytes_of(v["signature"])));
  }
}

// Wycheproof leaves an all-zero shared secret to the implementation
// ("acceptable"); HPKE requires refusing it, and so do we.
TEST(X25519, Wycheproof) {
  for_each_case("x25519_test.json", [](const json&, const json& test) {
    const Bytes expected = bytes_of(test["shared"]);
    const bool zero = std::all_of(expected.begin(), expected.end(), [](std::uint8_t b) { return b == 0; });
    SecretArray<32> shared;
    EXPECT_EQ(x25519(bytes_of(test["private"]), bytes_of(test["public"]), shared), !zero);
    EXPECT_EQ(to_bytes(shared.view()), expected);
  });
  SecretArray<32> shared;
  EXPECT_FALSE(x25519(Bytes(31, 1), Bytes(32, 9), shared));
  EXPECT_FALSE(x25519(Bytes(32, 1), Bytes(33, 9), shared));
}

// Groups with other nonce sizes must be refused before the C call reads a
// nonce of the wrong size.
TEST(ChaCha20Poly1305, Wycheproof) {
  for_each_case("chacha20_poly1305_test.json", [](const json& group, const json& test) {
    const Bytes key = bytes_of(test["key"]), iv = bytes_of(test["iv"]), aad = bytes_of(test["aad"]);
    const Bytes msg = bytes_of(test["msg"]), tag = bytes_of(test["tag"]);
    Bytes sealed = bytes_of(test["ct"]);
    sealed.insert(sealed.end(), tag.begin(), tag.end());
    if (group["ivSize"] != 96) {
      EXPECT_EQ(test["result"], "invalid");
      EXPECT_FALSE(aead_seal(key, iv, aad, msg).has_value());
    } else if (test["result"] == "valid") {
      EXPECT_EQ(aead_seal(key, iv, aad, msg), sealed);
      EXPECT_EQ(aead_open(key, iv, aad, sealed), msg);
      return;
    }
    EXPECT_FALSE(aead_open(key, iv, aad, sealed).has_value());
  });
}

TEST(Hkdf, Wycheproof) {
  for_each_case("hkdf_sha256_test.json", [](const json&, const json& test) {
    SecretArray<kSha256Size> prk;
    ASSERT_TRUE(hkdf_extract(bytes_of(test["salt"]), bytes_of(test["ikm"]), prk));
    Bytes okm(test["size"].get<std::size_t>());
    const bool ok = hkdf_expand(prk.view(), bytes_of(test["info"]), okm);
    EXPECT_EQ(ok, test["result"] == "valid");
    if (ok) {
      EXPECT_EQ(okm, bytes_of(test["okm"]));
    }
  });
}

TEST(Hkdf, Rfc5869) {
  const json file = load_vectors("hkdf-sha256-rfc5869.json");
  ASSERT_EQ(file["tests"].size(), 3u);
  for (const auto& t : file["tests"]) {
    SCOPED_TRACE(t["name"].get<std::string>());
    SecretArray<kSha256Size> prk;
    ASSERT_TRUE(hkdf_extract(bytes_of(t["salt"]), bytes_of(t["ikm"]), prk));
    EXPECT_EQ(to_bytes(prk.view()), bytes_of(t["prk"]));
    Bytes okm(t["L"].get<std::size_t>());
    EXPECT_TRUE(hkdf_expand(prk.view(), bytes_of(t["info"]), okm));
    EXPECT_EQ(okm, bytes_of(t["okm"]));
  }
}

// HKDF-Extract is HMAC-SHA256 keyed with the salt. Truncated-tag groups
// compare the leading bytes.
TEST(Hmac, WycheproofThroughExtract) {
  for_each_case("hmac_sha256_test.json", [](const json& group, const json& test) {
    SecretArray<kSha256Size> mac;
    ASSERT_TRUE(hkdf_extract(bytes_of(test["key"]), bytes_of(test["msg"]), mac));
    const auto tag_size = static_cast<std::ptrdiff_t>(group["tagSize"].get<std::size_t>() / 8);
    EXPECT_EQ(Bytes(mac.view().begin(), mac.view().begin() + tag_size) == bytes_of(test["tag"]),
              test["result"] == "valid");
  });
}

}  // namespace
