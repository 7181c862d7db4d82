// HPKE against the RFC 9180 vector of our suite and a message sealed by an
// independent implementation, then key wrapping and content sealing.
#include <gtest/gtest.h>

#include "support.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/hpke.hpp"
#include "vornex/crypto/random.hpp"
#include "vornex/crypto/wrap.hpp"

namespace {

using namespace vornex::crypto;
using namespace vornex::test;

X25519PrivateKey private_key(const Bytes& b) {
  return X25519PrivateKey(std::span<const std::uint8_t, 32>(b.data(), 32));
}

TEST(Hpke, Rfc9180Vector) {
  const auto file = load_vectors("hpke-x25519-sha256-chacha20poly1305-base.json");
  ASSERT_EQ(file.size(), 1u);
  const auto& v = file[0];
  ASSERT_TRUE(v["mode"] == 0 && v["kem_id"] == 0x20 && v["kdf_id"] == 1 && v["aead_id"] == 3);
  const Bytes info = bytes_of(v["info"]);

  auto derived_ephemeral = hpke::derive_key_pair(bytes_of(v["ikmE"]));
  auto derived_recipient = hpke::derive_key_pair(bytes_of(v["ikmR"]));
  ASSERT_TRUE(derived_ephemeral.has_value() && derived_recipient.has_value());
  const X25519KeyPair ephemeral = std::move(*derived_ephemeral), recipient = std::move(*derived_recipient);
  EXPECT_EQ(to_bytes(ephemeral.private_key.view()), bytes_of(v["skEm"]));
  EXPECT_EQ(to_bytes(recipient.private_key.view()), bytes_of(v["skRm"]));
  EXPECT_EQ(to_bytes(ephemeral.public_key), bytes_of(v["pkEm"]));
  EXPECT_EQ(to_bytes(recipient.public_key), bytes_of(v["pkRm"]));

  const auto encapsulated = hpke::encap(ephemeral.private_key, recipient.public_key);
  const auto decapsulated = hpke::decap(bytes_of(v["enc"]), recipient.private_key);
  ASSERT_TRUE(encapsulated.has_value() && decapsulated.has_value());
  EXPECT_EQ(to_bytes(encapsulated->encapsulated_key), bytes_of(v["enc"]));
  EXPECT_EQ(to_bytes(encapsulated->shared_secret.view()), bytes_of(v["shared_secret"]));
  EXPECT_EQ(to_bytes(decapsulated->view()), bytes_of(v["shared_secret"]));

  EXPECT_EQ(hpke::key_schedule_context(info), bytes_of(v["key_schedule_context"]));
  auto derived_schedule = hpke::key_schedule(*decapsulated, info);
  ASSERT_TRUE(derived_schedule.has_value());
  const hpke::KeySchedule schedule = std::move(*derived_schedule);
  EXPECT_EQ(to_bytes(schedule.key.view()), bytes_of(v["key"]));
  EXPECT_EQ(to_bytes(schedule.base_nonce.view()), bytes_of(v["base_nonce"]));

  // Every message of the sequence, through the nonce schedule and the AEAD.
  ASSERT_EQ(v["encryptions"].size(), 257u);
  std::uint64_t sequence = 0;
  for (const auto& e : v["encryptions"]) {
    SCOPED_TRACE("sequence " + std::to_string(sequence));
    const auto nonce = hpke::compute_nonce(schedule.base_nonce, sequence++);
    EXPECT_EQ(to_bytes(nonce.view()), bytes_of(e["nonce"]));
    EXPECT_EQ(aead_seal(schedule.key.view(), nonce.view(), bytes_of(e["aad"]), bytes_of(e["pt"])), bytes_of(e["ct"]));
    EXPECT_EQ(aead_open(schedule.key.view(), nonce.view(), bytes_of(e["aad"]), bytes_of(e["ct"])), bytes_of(e["pt"]));
  }

  // Single shot is message 0.
  const auto& first = v["encryptions"][0];
  const auto sealed =
      hpke::seal_base(ephemeral.private_key, recipient.public_key, info, bytes_of(first["aad"]), bytes_of(first["pt"]));
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->encapsulated_key, bytes_of(v["enc"]));
  EXPECT_EQ(sealed->ciphertext, bytes_of(first["ct"]));
  EXPECT_EQ(hpke::open_base(recipient.private_key, sealed->encapsulated_key, info, bytes_of(first["aad"]),
                            sealed->ciphertext),
            bytes_of(first["pt"]));
}

// Decapsulation with the recipient's public key given: the vector's shared
// secret and message 0 come out for pkRm, and any other 32 bytes in its
// place (another key, the same point with the unused top bit set, a bit
// flipped) derive another shared secret, so nothing opens.
TEST(Hpke, GivenPublicKeyIsBoundIntoTheKemContext) {
  const auto file = load_vectors("hpke-x25519-sha256-chacha20poly1305-base.json");
  const auto& v = file[0];
  const X25519PrivateKey skR = private_key(bytes_of(v["skRm"]));
  const Bytes pkR = bytes_of(v["pkRm"]), enc = bytes_of(v["enc"]), info = bytes_of(v["info"]);
  const auto& first = v["encryptions"][0];
  const Bytes aad = bytes_of(first["aad"]), ct = bytes_of(first["ct"]);

  const auto shared = hpke::decap(enc, skR, pkR);
  ASSERT_TRUE(shared.has_value());
  EXPECT_EQ(to_bytes(shared->view()), bytes_of(v["shared_secret"]));
  EXPECT_EQ(hpke::open_base(skR, pkR, enc, info, aad, ct), bytes_of(first["pt"]));

  Bytes top_bit = pkR, flipped = pkR;
  top_bit[31] ^= 0x80;
  flipped[0] ^= 0x01;
  for (const auto& [name, wrong] : std::initializer_list<std::pair<const char*, Bytes>>{
           {"the ephemeral key", bytes_of(v["pkEm"])}, {"top bit set", top_bit}, {"bit flipped", flipped}}) {
    const auto other = hpke::decap(enc, skR, wrong);
    ASSERT_TRUE(other.has_value()) << name;
    EXPECT_NE(to_bytes(other->view()), bytes_of(v["shared_secret"])) << name;
    const auto opened = hpke::open_base(skR, wrong, enc, info, aad, ct);
    ASSERT_FALSE(opened.has_value()) << name;
    EXPECT_EQ(opened.error().message(), "HPKE operation failed: Failed to open ciphertext") << name;
  }
  for (const std::size_t size : {0u, 31u, 33u}) {
    const auto refused = hpke::decap(enc, skR, Bytes(size, 9));
    ASSERT_FALSE(refused.has_value()) << size;
    EXPECT_EQ(refused.error().message(), "HPKE operation failed: Decapsulation failed") << size;
  }
}

// The key 40..5f, sealed by Python `cryptography` (support.hpp).
TEST(Hpke, OpensIndependentlySealedKey) {
  const auto key = unwrap_content_key(private_key(kHpkePrivate), kSealedEncapsulatedKey, text("slot-context"), {},
                                      kSealedWrappedKey);
  ASSERT_TRUE(key.has_value()) << key.error().message();
  EXPECT_EQ(to_bytes(key->view()), counting(32, 0x40));

  // With the key pair, whose public key is taken as given.
  const X25519KeyPair pair{private_key(kHpkePrivate), X25519PublicKey{}};
  X25519KeyPair right{private_key(kHpkePrivate), {}}, wrong{private_key(kHpkePrivate), {}};
  std::copy(kHpkePublic.begin(), kHpkePublic.end(), right.public_key.begin());
  wrong.public_key = right.public_key;
  wrong.public_key[7] ^= 0x10;
  const auto given = unwrap_content_key(right, kSealedEncapsulatedKey, text("slot-context"), {}, kSealedWrappedKey);
  ASSERT_TRUE(given.has_value()) << given.error().message();
  EXPECT_EQ(to_bytes(given->view()), counting(32, 0x40));
  for (const X25519KeyPair* mismatched : std::initializer_list<const X25519KeyPair*>{&pair, &wrong}) {
    const auto refused =
        unwrap_content_key(*mismatched, kSealedEncapsulatedKey, text("slot-context"), {}, kSealedWrappedKey);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "HPKE operation failed: Failed to open ciphertext");
  }
  EXPECT_EQ(hpke_open(right, Bytes(33, 1), text("slot-context"), {}, kSealedWrappedKey).error().message(),
            "invalid HPKE encapsulated key");
}

TEST(Hpke, WrapUnwrapAndRefusals) {
  for (const auto& [public_key, message] : std::initializer_list<std::pair<Bytes, std::string_view>>{
           {Bytes(33, 7), "invalid HPKE public key"},
           {Bytes(32, 0), "HPKE operation failed: Encapsulation failed"},  // small order: all-zero DH
       }) {
    const auto sealed = wrap_content_key(public_key, text("ctx"), {}, ContentKey::generate());
    ASSERT_FALSE(sealed.has_value());
    EXPECT_EQ(sealed.error().message(), message);
  }

  const auto content_key = ContentKey::generate();
  const auto wrapped = wrap_content_key(kHpkePublic, text("ctx"), text("aad"), content_key).value();
  const Bytes &enc = wrapped.encapsulated_key, &ct = wrapped.wrapped_key;
  ASSERT_EQ(enc.size(), 32u);
  ASSERT_EQ(ct.size(), 48u);
  const auto unwrapped = unwrap_content_key(private_key(kHpkePrivate), enc, text("ctx"), text("aad"), ct);
  EXPECT_EQ(to_bytes(unwrapped.value().view()), to_bytes(content_key.view()));
  // Every seal draws its own ephemeral key.
  EXPECT_NE(wrap_content_key(kHpkePublic, text("ctx"), text("aad"), content_key).value().encapsulated_key, enc);

  Bytes flipped = ct;
  flipped[5] ^= 0x01;
  constexpr std::string_view kOpen = "HPKE operation failed: Failed to open ciphertext";
  struct Case {
    const char* name;
    Bytes key, enc, context, aad, ct;
    std::string_view message;
  };
  for (const Case& c : {
           Case{"other context", kHpkePrivate, enc, text("ctx2"), text("aad"), ct, kOpen},
           Case{"other aad", kHpkePrivate, enc, text("ctx"), text("aa"), ct, kOpen},
           Case{"other key", counting(32, 1), enc, text("ctx"), text("aad"), ct, kOpen},
           Case{"flipped bit", kHpkePrivate, enc, text("ctx"), text("aad"), flipped, kOpen},
           Case{"shorter than a tag", kHpkePrivate, enc, text("ctx"), text("aad"), Bytes(15), kOpen},
           Case{"small-order encapsulated key", kHpkePrivate, Bytes(32, 0), text("ctx"), text("aad"), ct,
                "HPKE operation failed: Decapsulation failed"},
           Case{"33-byte encapsulated key", kHpkePrivate, Bytes(33, 1), text("ctx"), text("aad"), ct,
                "invalid HPKE encapsulated key"},
       }) {
    const auto key = unwrap_content_key(private_key(c.key), c.enc, c.context, c.aad, c.ct);
    ASSERT_FALSE(key.has_value()) << c.name;
    EXPECT_EQ(key.error().message(), c.message) << c.name;
  }

  // Authentic, but not 32 bytes: no content key.
  for (const std::size_t size : {0u, 31u, 33u}) {
    const auto sealed = hpke_seal(kHpkePublic, text("ctx"), {}, Bytes(size, 0x5A)).value();
    const auto key =
        unwrap_content_key(private_key(kHpkePrivate), sealed.encapsulated_key, text("ctx"), {}, sealed.ciphertext);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error().message(), "invalid byte length for content key: expected 32, got " + std::to_string(size));
  }
}

const Bytes kNonce = counting(12, 0);
ContentKey fixed_key() { return ContentKey(std::span<const std::uint8_t, 32>(kSeed.data(), 32)); }
ContentNonce fixed_nonce() { return ContentNonce(std::span<const std::uint8_t, 12>(kNonce.data(), 12)); }

// Expected ciphertexts from Python `cryptography`'s ChaCha20Poly1305, key
// 00..1f, nonce 00..0b.
TEST(Content, SealAndOpen) {
  const Bytes sealed = hex("fa9e6b724c638536d6ef4a96a9fce10642d862f1e1c7a474ec0b157e");
  EXPECT_EQ(seal_content(fixed_key(), fixed_nonce(), text("associated"), text("secret value")), sealed);
  EXPECT_EQ(open_content(fixed_key(), fixed_nonce(), text("associated"), sealed), text("secret value"));
  // An empty plaintext seals to the 16-byte tag alone.
  EXPECT_EQ(seal_content(fixed_key(), fixed_nonce(), {}, {}), hex("295a498b8841a1c5f55d4d606f731159"));

  for (std::size_t bit = 0; bit < sealed.size() * 8; bit += 11) {
    Bytes flipped = sealed;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto opened = open_content(fixed_key(), fixed_nonce(), text("associated"), flipped);
    ASSERT_FALSE(opened.has_value()) << "bit " << bit;
    EXPECT_EQ(opened.error().message(), "AEAD operation failed");
  }
  EXPECT_FALSE(open_content(fixed_key(), fixed_nonce(), text("associatee"), sealed).has_value());
  EXPECT_FALSE(open_content(ContentKey::generate(), fixed_nonce(), text("associated"), sealed).has_value());
  EXPECT_FALSE(open_content(fixed_key(), ContentNonce::generate(), text("associated"), sealed).has_value());
}

TEST(Content, FreshRandomValuesAndWiping) {
  const Bytes nonce = ContentNonce::generate().to_vec(), seed = random_seed();
  EXPECT_EQ(nonce.size(), 12u);
  EXPECT_EQ(seed.size(), 32u);
  EXPECT_NE(nonce, ContentNonce::generate().to_vec());
  EXPECT_NE(seed, random_seed());

  auto key = fixed_key();
  key.zeroize();
  EXPECT_EQ(to_bytes(key.view()), Bytes(32, 0));
  X25519PrivateKey source = private_key(kHpkePrivate);
  const X25519PrivateKey target = std::move(source);
  EXPECT_EQ(to_bytes(target.view()), kHpkePrivate);
  EXPECT_EQ(to_bytes(source.view()), Bytes(32, 0));  // NOLINT(bugprone-use-after-move): moving must wipe
}

}  // namespace
