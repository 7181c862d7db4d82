// Display texts of the core, crypto and hazmat errors, and the conversions
// that let an early return carry a lower error up unchanged.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cord/try.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/hazmat.hpp"

namespace {

using cord::CordError;
using namespace vornex::core;

const CordError kOverflow(cord::ErrorKind::WidthOverflow);

TEST(ErrorDisplay, CoreError) {
  const std::vector<std::pair<CoreError, std::string>> cases = {
      {kOverflow, "cord error: Value overflow for encoding width"},
      {CordError::length_limit(20, 16), "cord error: Cord length limit exceeded: 20 exceeds maximum of 16"},
      {CoreError::validation("bad frame"), "validation failed: bad frame"},
      {CoreError::validation(""), "validation failed: "},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
  EXPECT_EQ(*CoreError(CordError::length_limit(20, 16)).cord_error(), CordError::length_limit(20, 16));
}

TEST(ErrorDisplay, CryptoErrorInVariantOrder) {
  const std::vector<std::pair<CryptoError, std::string>> cases = {
      {CoreError::validation("x"), "core error: validation failed: x"},
      {CryptoError::invalid_byte_length("content key", 32, 31),
       "invalid byte length for content key: expected 32, got 31"},
      {CryptoError::invalid_ed25519_public_key(), "invalid Ed25519 public key"},
      {CryptoError::invalid_ed25519_secret_key(), "invalid Ed25519 secret key"},
      {CryptoError::invalid_ed25519_signature(), "invalid Ed25519 signature"},
      {CryptoError::invalid_hpke_public_key(), "invalid HPKE public key"},
      {CryptoError::invalid_hpke_private_key(), "invalid HPKE private key"},
      {CryptoError::invalid_hpke_encapsulated_key(), "invalid HPKE encapsulated key"},
      {CryptoError::hpke("Encapsulation failed"), "HPKE operation failed: Encapsulation failed"},
      {CryptoError::aead(), "AEAD operation failed"},
      {CryptoError::ratchet_authentication(), "ratchet authentication failed"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].first.message(), cases[i].second);
    EXPECT_EQ(static_cast<std::size_t>(cases[i].first.kind()), i) << cases[i].second;
  }
  EXPECT_EQ(CryptoError::invalid_byte_length("identity master seed", 32, 0).message(),
            "invalid byte length for identity master seed: expected 32, got 0");
}

TEST(ErrorDisplay, HazmatError) {
  const UserId stated(HashValue(cord::Bytes(32, 0xAA)));
  const UserId derived(HashValue(cord::Bytes(32, 0xBB)));
  const auto mismatch = HazmatError::identity_mismatch(stated, derived);
  ASSERT_NE(mismatch.identity_mismatch(), nullptr);
  EXPECT_EQ(*mismatch.identity_mismatch(), (HazmatError::IdentityMismatch{stated, derived}));

  const std::vector<std::pair<HazmatError, std::string>> cases = {
      {mismatch, "signer identity does not match signing public key"},
      {CoreError(kOverflow), "core error: cord error: Value overflow for encoding width"},
      {CoreError::validation("x"), "core error: validation failed: x"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

// Early returns lift an error one level at a time, keeping what it carries.
cord::Result<int> cord_fails() { return cord::fail(kOverflow); }
CoreResult<int> core_layer() {
  VX_TRY_ASSIGN(const int v, cord_fails());
  return v;
}
CryptoResult<int> crypto_layer() {
  VX_TRY_ASSIGN(const int v, core_layer());
  return v;
}
HazmatResult<int> hazmat_layer() {
  VX_TRY(core_layer());
  return 0;
}

TEST(ErrorConversion, EarlyReturnsWrapUnchanged) {
  EXPECT_EQ(crypto_layer(), std::unexpected(CryptoError(CoreError(kOverflow))));
  EXPECT_EQ(hazmat_layer(), std::unexpected(HazmatError(CoreError(kOverflow))));
}

}  // namespace
