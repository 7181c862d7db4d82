#include "vornex/crypto/hpke.hpp"

#include <array>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

#include "vornex/crypto/kdf.hpp"

namespace vornex::crypto::hpke {

namespace {

using core::CryptoError;

constexpr std::array<std::uint8_t, 7> kVersion{'H', 'P', 'K', 'E', '-', 'v', '1'};
// "KEM" || kem_id 0x0020.
constexpr std::array<std::uint8_t, 5> kKemSuite{'K', 'E', 'M', 0x00, 0x20};
// "HPKE" || kem_id 0x0020 || kdf_id 0x0001 || aead_id 0x0003.
constexpr std::array<std::uint8_t, 10> kHpkeSuite{'H', 'P', 'K', 'E', 0x00, 0x20, 0x00, 0x01, 0x00, 0x03};
constexpr std::uint8_t kModeBase = 0x00;

cord::ByteView label(std::string_view text) {
  return cord::ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A concatenation that may hold secrets: sized once so it never moves,
// and wiped when dropped.
class Concat {
 public:
  explicit Concat(std::initializer_list<cord::ByteView> parts) {
    std::size_t n = 0;
    for (const auto part : parts) n += part.size();
    bytes_.reserve(n);
    for (const auto part : parts) bytes_.insert(bytes_.end(), part.begin(), part.end());
  }
  Concat(const Concat&) = delete;
  Concat& operator=(const Concat&) = delete;
  ~Concat() { wipe_bytes(bytes_.data(), bytes_.size()); }

  cord::ByteView view() const { return bytes_; }

 private:
  cord::Bytes bytes_;
};

// LabeledExtract. False, with `prk` zeroed, when the derivation fails.
[[nodiscard]] bool labeled_extract(cord::ByteView suite, cord::ByteView salt, std::string_view name,
                                   cord::ByteView ikm, SecretArray<kSha256Size>& prk) {
  const Concat labeled_ikm{kVersion, suite, label(name), ikm};
  return hkdf_extract(salt, labeled_ikm.view(), prk);
}

// LabeledExpand. False, with `out` zeroed, when the derivation fails: a
// zeroed key must never be taken for a derived one.
[[nodiscard]] bool labeled_expand(cord::ByteView suite, cord::ByteView prk, std::string_view name,
                                  cord::ByteView info, std::span<std::uint8_t> out) {
  // Every length used here is at most 32, so the 2-byte prefix holds it.
  const std::array<std::uint8_t, 2> length{static_cast<std::uint8_t>(out.size() >> 8),
                                           static_cast<std::uint8_t>(out.size())};
  const Concat labeled_info{length, kVersion, suite, label(name), info};
  return hkdf_expand(prk, labeled_info.view(), out);
}

[[nodiscard]] bool extract_and_expand(const SecretArray<kX25519KeySize>& dh, cord::ByteView kem_context,
                                      SharedSecret& shared_secret) {
  SecretArray<kSha256Size> eae_prk;
  return labeled_extract(kKemSuite, {}, "eae_prk", dh.view(), eae_prk) &&
         labeled_expand(kKemSuite, eae_prk.view(), "shared_secret", kem_context, shared_secret.span());
}

}  // namespace

std::expected<X25519KeyPair, CryptoError> derive_key_pair(cord::ByteView ikm) {
  SecretArray<kSha256Size> dkp_prk;
  X25519KeyPair pair;
  if (!labeled_extract(kKemSuite, {}, "dkp_prk", ikm, dkp_prk) ||
      !labeled_expand(kKemSuite, dkp_prk.view(), "sk", {}, pair.private_key.span())) {
    return std::unexpected(CryptoError::invalid_hpke_private_key());
  }
  pair.public_key = x25519_public_key(pair.private_key);
  return pair;
}

std::expected<Encapsulation, CryptoError> encap(const X25519PrivateKey& ephemeral,
                                                cord::ByteView recipient_public_key) {
  SecretArray<kX25519KeySize> dh;
  if (!x25519(ephemeral.view(), recipient_public_key, dh)) {
    return std::unexpected(CryptoError::hpke(kEncapsulationFailed));
  }
  Encapsulation out;
  out.encapsulated_key = x25519_public_key(ephemeral);
  const Concat kem_context{out.encapsulated_key, recipient_public_key};
  if (!extract_and_expand(dh, kem_context.view(), out.shared_secret)) {
    return std::unexpected(CryptoError::hpke(kEncapsulationFailed));
  }
  return out;
}

std::expected<SharedSecret, CryptoError> decap(cord::ByteView encapsulated_key,
                                               const X25519PrivateKey& recipient_private_key) {
  return decap(encapsulated_key, recipient_private_key, x25519_public_key(recipient_private_key));
}

std::expected<SharedSecret, CryptoError> decap(cord::ByteView encapsulated_key,
                                               const X25519PrivateKey& recipient_private_key,
                                               cord::ByteView recipient_public_key) {
  SecretArray<kX25519KeySize> dh;
  if (recipient_public_key.size() != kX25519KeySize ||
      !x25519(recipient_private_key.view(), encapsulated_key, dh)) {
    return std::unexpected(CryptoError::hpke(kDecapsulationFailed));
  }
  const Concat kem_context{encapsulated_key, recipient_public_key};
  SharedSecret shared_secret;
  if (!extract_and_expand(dh, kem_context.view(), shared_secret)) {
    return std::unexpected(CryptoError::hpke(kDecapsulationFailed));
  }
  return shared_secret;
}

std::optional<cord::Bytes> key_schedule_context(cord::ByteView info) {
  SecretArray<kSha256Size> psk_id_hash, info_hash;
  if (!labeled_extract(kHpkeSuite, {}, "psk_id_hash", {}, psk_id_hash) ||
      !labeled_extract(kHpkeSuite, {}, "info_hash", info, info_hash)) {
    return std::nullopt;
  }
  cord::Bytes context;
  context.reserve(1 + 2 * kSha256Size);
  context.push_back(kModeBase);
  context.insert(context.end(), psk_id_hash.view().begin(), psk_id_hash.view().end());
  context.insert(context.end(), info_hash.view().begin(), info_hash.view().end());
  return context;
}

std::optional<KeySchedule> key_schedule(const SharedSecret& shared_secret, cord::ByteView info) {
  const auto context = key_schedule_context(info);
  if (!context) return std::nullopt;
  // Base mode: the PSK is empty.
  SecretArray<kSha256Size> secret;
  KeySchedule out;
  if (!labeled_extract(kHpkeSuite, shared_secret.view(), "secret", {}, secret) ||
      !labeled_expand(kHpkeSuite, secret.view(), "key", *context, out.key.span()) ||
      !labeled_expand(kHpkeSuite, secret.view(), "base_nonce", *context, out.base_nonce.span())) {
    return std::nullopt;
  }
  return out;
}

SecretArray<kAeadNonceSize> compute_nonce(const SecretArray<kAeadNonceSize>& base_nonce, std::uint64_t sequence) {
  SecretArray<kAeadNonceSize> nonce(base_nonce.view());
  for (std::size_t i = 0; i < sizeof sequence; ++i) {
    nonce.data()[kAeadNonceSize - 1 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
  }
  return nonce;
}

std::expected<Sealed, CryptoError> seal_base(const X25519PrivateKey& ephemeral, cord::ByteView recipient_public_key,
                                             cord::ByteView info, cord::ByteView aad, cord::ByteView plaintext) {
  auto encapsulation = encap(ephemeral, recipient_public_key);
  if (!encapsulation) return std::unexpected(std::move(encapsulation).error());
  const auto schedule = key_schedule(encapsulation->shared_secret, info);
  if (!schedule) return std::unexpected(CryptoError::hpke(kSealFailed));
  auto ciphertext = aead_seal(schedule->key.view(), schedule->base_nonce.view(), aad, plaintext);
  if (!ciphertext) return std::unexpected(CryptoError::hpke(kSealFailed));
  const auto& enc = encapsulation->encapsulated_key;
  return Sealed{cord::Bytes(enc.begin(), enc.end()), std::move(*ciphertext)};
}

std::expected<cord::Bytes, CryptoError> open_base(const X25519PrivateKey& recipient_private_key,
                                                  cord::ByteView encapsulated_key, cord::ByteView info,
                                                  cord::ByteView aad, cord::ByteView ciphertext) {
  return open_base(recipient_private_key, x25519_public_key(recipient_private_key), encapsulated_key, info, aad,
                   ciphertext);
}

std::expected<cord::Bytes, CryptoError> open_base(const X25519PrivateKey& recipient_private_key,
                                                  cord::ByteView recipient_public_key,
                                                  cord::ByteView encapsulated_key, cord::ByteView info,
                                                  cord::ByteView aad, cord::ByteView ciphertext) {
  auto shared_secret = decap(encapsulated_key, recipient_private_key, recipient_public_key);
  if (!shared_secret) return std::unexpected(std::move(shared_secret).error());
  const auto schedule = key_schedule(*shared_secret, info);
  if (!schedule) return std::unexpected(CryptoError::hpke(kOpenFailed));
  auto plaintext = aead_open(schedule->key.view(), schedule->base_nonce.view(), aad, ciphertext);
  if (!plaintext) return std::unexpected(CryptoError::hpke(kOpenFailed));
  return std::move(*plaintext);
}

}  // namespace vornex::crypto::hpke
