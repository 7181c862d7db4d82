// The provider: transcript framing and strict verification, checked with
// a key and signature made by Python `cryptography` over our transcript.
#include <gtest/gtest.h>

#include "support.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/transcript.hpp"

namespace {

using namespace vornex::crypto;
using namespace vornex::test;
using vornex::core::domains::kSigned;
using vornex::core::domains::kVerificationCache;

TEST(Transcript, Layout) {
  // The 27-byte label item and two 8-byte zero lengths: 43 bytes.
  EXPECT_EQ(signature_transcript({}, {}),
            hex("0000000000000013 766f726e65782e7369676e61747572652e7631 0000000000000000 0000000000000000"));
  EXPECT_EQ(hpke_info(text("slot-context")),
            hex("0000000000000013 766f726e65782e68706b652d696e666f2e7631 000000000000000c 736c6f742d636f6e74657874"));
}

// The signature with S + L in place of S: the same group element, but not
// reduced below the order L.
Bytes unreduced(Bytes signature) {
  const Bytes order = hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    carry += signature[32 + i] + order[i];
    signature[32 + i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
  return signature;
}

TEST(Crypto, VerifySignature) {
  const Bytes hello = text("hello");
  Bytes long_signature = kHelloSignature, long_key = kSigningPublic, flipped = kHelloSignature;
  long_signature.push_back(0);
  long_key.push_back(0);
  flipped[0] ^= 0x01;
  // Key = the neutral point, R = the base point, S = 1: R = [S]B - [k]A for
  // every message, so only the small-order rule stops it.
  const Bytes neutral = hex("0100000000000000000000000000000000000000000000000000000000000000");
  const Bytes forged = hex(
      "5866666666666666666666666666666666666666666666666666666666666666"
      "0100000000000000000000000000000000000000000000000000000000000000");
  struct Case {
    const char* name;
    std::span<const std::uint8_t> domain;
    Bytes key, message, signature;
    bool expected;
  };
  const Crypto crypto;
  for (const Case& c : {
           Case{"valid", kSigned, kSigningPublic, hello, kHelloSignature, true},
           Case{"other domain", kVerificationCache, kSigningPublic, hello, kHelloSignature, false},
           Case{"other message", kSigned, kSigningPublic, text("hellO"), kHelloSignature, false},
           Case{"flipped signature", kSigned, kSigningPublic, hello, flipped, false},
           Case{"31-byte key", kSigned, Bytes(kSigningPublic.begin(), kSigningPublic.end() - 1), hello,
                kHelloSignature, false},
           Case{"33-byte key", kSigned, long_key, hello, kHelloSignature, false},
           Case{"65-byte signature", kSigned, kSigningPublic, hello, long_signature, false},
           Case{"all empty", {}, {}, {}, {}, false},
           Case{"small-order key", kSigned, neutral, hello, forged, false},
           // y = 2 is the y of no curve point.
           Case{"key off the curve", kSigned, hex("02" + std::string(62, '0')), hello, kHelloSignature, false},
           Case{"S not reduced", kSigned, kSigningPublic, hello, unreduced(kHelloSignature), false},
       }) {
    EXPECT_EQ(crypto.verify_signature(c.domain, c.key, c.message, c.signature), c.expected) << c.name;
  }
}

}  // namespace
