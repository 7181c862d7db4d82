// The passphrase key and the opening of sealed identities, checked against
// identity files sealed by an independent Argon2id and ChaCha20-Poly1305.
#include <gtest/gtest.h>

#include <string>

#include "hex.hpp"
#include "keychain_seal.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/keychain/passphrase_key.hpp"

namespace {

using namespace vornex;
using namespace vornex::keychain;

const cord::Bytes kRoot = test::hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const cord::Bytes kUser(32, 0xab);
const cord::Bytes kSeed(32, 0x07);
constexpr std::string_view kPassphrase = "correct horse \u2603";

// Whole identity files for kRoot and kUser holding kSeed under kPassphrase,
// salt 10..1f, nonce 30..3b, 8,192 KiB and one pass, with one and with four
// lanes; made outside this code base.
const cord::Bytes kFileOneLane = test::hex(
    "766f726e65782d6964656e74697479000000000000000020000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "00000020abababababababababababababababababababababababababababababababab0000000d6172676f6e3269642d76312e3300002000"
    "000000010000000100000010101112131415161718191a1b1c1d1e1f0000000c303132333435363738393a3b0000003423c8f93d850ebd30"
    "999c8b72ef829e2339c64bf2568fe5d78cc99e27014cdd1c05482fff93795fdb0d5e623fab90b870fb4d1d81");
const cord::Bytes kFileFourLanes = test::hex(
    "766f726e65782d6964656e74697479000000000000000020000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "00000020abababababababababababababababababababababababababababababababab0000000d6172676f6e3269642d76312e3300002000"
    "000000010000000400000010101112131415161718191a1b1c1d1e1f0000000c303132333435363738393a3b00000034b4805661b181cc87"
    "c82b4ac3875ec706c5bc74ae27a29c76878592ee3f927461dcbfeba840155fec7bd4b17caa696317f0fce7e3");

SealedIdentityV1 decode_file(const cord::Bytes& file) {
  auto store = cord::deserialize<IdentityStore>(cord::ByteView(file).subspan(kIdentityMagic.size()));
  if (!store) throw std::runtime_error("test file does not decode");
  return std::get<SealedIdentityV1>(std::move(*store));
}

std::string open_error(const SealedIdentityV1& sealed, std::string_view passphrase = kPassphrase,
                       const cord::Bytes& root = kRoot, const cord::Bytes& user = kUser) {
  auto opened = open_local_identity(test::text_bytes(passphrase), root, user, sealed);
  return opened ? "opened" : opened.error().message();
}

TEST(PassphraseKey, OpensIndependentlySealedFiles) {
  struct Case {
    const cord::Bytes* file;
    const char* key_hex;
  } cases[] = {
      {&kFileOneLane, "0bb4e08dabb386e53425d196e3be4e6707160cdd457657bb40aefae85347fd6d"},
      {&kFileFourLanes, "da31905f170217d3271a41b41e90d6f668f9191166f100366d3b15e25c3d5307"},
  };
  for (const Case& c : cases) {
    const SealedIdentityV1 sealed = decode_file(*c.file);
    const auto key = derive_passphrase_key(test::text_bytes(kPassphrase), sealed.salt, sealed.kdf);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(test::to_hex(cord::Bytes(key->view().begin(), key->view().end())), c.key_hex);
    const auto local = open_local_identity(test::text_bytes(kPassphrase), kRoot, kUser, sealed);
    ASSERT_TRUE(local.has_value());
    EXPECT_TRUE(std::ranges::equal(local->master_seed.view(), kSeed));
  }
  EXPECT_EQ(envelope_aad_bytes(kRoot, kUser).value(),
            test::hex("00000020" + test::to_hex(kRoot) + "00000020" + test::to_hex(kUser)));
}

TEST(PassphraseKey, ParametersOutsideTheirRangesAreRefusedWithoutDeriving) {
  const SealedIdentityV1 base = decode_file(kFileOneLane);
  struct Case {
    const char* what;
    void (*spoil)(SealedIdentityV1&);
    bool accepted;
  } cases[] = {
      {"memory at the floor", [](SealedIdentityV1& s) { s.kdf.memory_kib = 8'192; }, true},
      {"memory below", [](SealedIdentityV1& s) { s.kdf.memory_kib = 8'191; }, false},
      {"memory above", [](SealedIdentityV1& s) { s.kdf.memory_kib = 262'145; }, false},
      {"no pass", [](SealedIdentityV1& s) { s.kdf.iterations = 0; }, false},
      {"eleven passes", [](SealedIdentityV1& s) { s.kdf.iterations = 11; }, false},
      {"no lane", [](SealedIdentityV1& s) { s.kdf.lanes = 0; }, false},
      {"nine lanes", [](SealedIdentityV1& s) { s.kdf.lanes = 9; }, false},
      {"salt of 15", [](SealedIdentityV1& s) { s.salt.pop_back(); }, false},
      {"salt of 17", [](SealedIdentityV1& s) { s.salt.push_back(0); }, false},
      {"last digit changed", [](SealedIdentityV1& s) { s.kdf.algorithm = "argon2id-v1.2"; }, false},
      {"trailing blank", [](SealedIdentityV1& s) { s.kdf.algorithm += " "; }, false},
      {"argon2i", [](SealedIdentityV1& s) { s.kdf.algorithm = "argon2i-v1.3"; }, false},
  };
  for (const Case& c : cases) {
    SealedIdentityV1 sealed = base;
    c.spoil(sealed);
    const auto key = derive_passphrase_key(test::text_bytes(kPassphrase), sealed.salt, sealed.kdf);
    EXPECT_EQ(key.has_value(), c.accepted) << c.what;
    if (!c.accepted) {
      EXPECT_EQ(open_error(sealed), "invalid passphrase keychain parameters") << c.what;
    }
  }
  // The top of every range is accepted; derived at the cheapest memory so
  // the test stays quick.
  const auto top = derive_passphrase_key(test::text_bytes("p"), cord::Bytes(16, 1),
                                         KdfParamsV1{"argon2id-v1.3", 8'192, 10, 8});
  EXPECT_TRUE(top.has_value());
}

TEST(PassphraseKey, WhatDoesNotOpen) {
  const SealedIdentityV1 sealed = decode_file(kFileOneLane);
  const std::string inconsistent = "identity material is inconsistent for " +
                                   core::debug_string(core::UserId(core::HashValue(kUser)));
  EXPECT_EQ(open_error(sealed, "correct horse"), "identity keychain unlock failed");

  SealedIdentityV1 short_nonce = sealed;
  short_nonce.nonce.pop_back();
  EXPECT_EQ(open_error(short_nonce), inconsistent);
  EXPECT_EQ(open_error(sealed, kPassphrase, cord::Bytes(32, 0)), inconsistent);

  // A root or user changed on disk after sealing, asked for under the
  // changed value: the associated data no longer matches.
  SealedIdentityV1 moved = sealed;
  moved.root[0] ^= 1;
  EXPECT_EQ(open_error(moved, kPassphrase, moved.root), "identity keychain unlock failed");
  moved = sealed;
  moved.user[0] ^= 1;
  EXPECT_EQ(open_error(moved, kPassphrase, kRoot, moved.user), "identity keychain unlock failed");
  SealedIdentityV1 flipped = sealed;
  flipped.ciphertext.back() ^= 1;
  EXPECT_EQ(open_error(flipped), "identity keychain unlock failed");

  // Sealed with root and user swapped in the associated data.
  const SealedIdentityV1 swapped = [&] {
    SealedIdentityV1 s = test::seal_identity(kPassphrase, kUser, kRoot, kSeed);
    s.root = kRoot;
    s.user = kUser;
    return s;
  }();
  EXPECT_EQ(open_error(swapped), "identity keychain unlock failed");

  // A plaintext that is not a local identity.
  SealedIdentityV1 garbage = test::seal_identity(kPassphrase, kRoot, kUser, kSeed);
  const auto key = derive_passphrase_key(test::text_bytes(kPassphrase), garbage.salt, garbage.kdf);
  garbage.ciphertext = *crypto::aead_seal(key->view(), garbage.nonce, *envelope_aad_bytes(kRoot, kUser),
                                          cord::Bytes{0, 0, 0, 2, 1});
  EXPECT_NE(open_error(garbage).find("Cord error: "), std::string::npos);
}

TEST(PassphraseKey, IdentityFromTheOpenedSeed) {
  const crypto::Crypto crypto;
  const auto local = open_local_identity(test::text_bytes(kPassphrase), kRoot, kUser, decode_file(kFileOneLane));
  const auto identity = identity_from_local(crypto, *local);
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->user_id(), crypto::Identity::from_master_seed(crypto, kSeed)->user_id());

  const LocalIdentityV1 short_seed{core::SecretBytes(cord::Bytes(31, 7))};
  EXPECT_EQ(identity_from_local(crypto, short_seed).error().message(),
            "crypto error: invalid byte length for identity master seed: expected 32, got 31");
}

}  // namespace
