// Display texts of core, crypto and hazmat errors; early returns wrap unchanged.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cord/try.hpp"
#include "golden.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/hazmat.hpp"

namespace {

using cord::CordError;
using namespace vornex::core;
using vornex::test::id;

const CordError kOverflow(cord::ErrorKind::WidthOverflow);

TEST(ErrorDisplay, CoreAndHazmatErrors) {
  const std::pair<CoreError, std::string> core[] = {
      {kOverflow, "cord error: Value overflow for encoding width"},
      {CoreError::validation("bad frame"), "validation failed: bad frame"},
  };
  for (const auto& [error, text] : core) EXPECT_EQ(error.message(), text);

  const auto mismatch = HazmatError::identity_mismatch(id<UserId>("AA"), id<UserId>("BB"));
  EXPECT_EQ(*mismatch.identity_mismatch(), (HazmatError::IdentityMismatch{id<UserId>("AA"), id<UserId>("BB")}));
  const std::pair<HazmatError, std::string> hazmat[] = {
      {mismatch, "signer identity does not match signing public key"},
      {CoreError(kOverflow), "core error: cord error: Value overflow for encoding width"},
  };
  for (const auto& [error, text] : hazmat) EXPECT_EQ(error.message(), text);
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
