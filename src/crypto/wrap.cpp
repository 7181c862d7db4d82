#include "vornex/crypto/wrap.hpp"

#include <span>
#include <utility>

#include "vornex/crypto/hpke.hpp"
#include "vornex/crypto/random.hpp"
#include "vornex/crypto/transcript.hpp"

namespace vornex::crypto {

using core::CryptoError;

core::CryptoResult<HpkeSealed> hpke_seal(cord::ByteView recipient_public_key, cord::ByteView context,
                                         cord::ByteView aad, cord::ByteView plaintext) {
  if (recipient_public_key.size() != kX25519KeySize) return std::unexpected(CryptoError::invalid_hpke_public_key());
  // The ephemeral key is a uniformly random scalar, as the KEM's
  // GenerateKeyPair draws it.
  X25519PrivateKey ephemeral;
  fill_random(ephemeral.span());
  auto sealed = hpke::seal_base(ephemeral, recipient_public_key, hpke_info(context), aad, plaintext);
  if (!sealed) return std::unexpected(std::move(sealed).error());
  return HpkeSealed{std::move(sealed->encapsulated_key), std::move(sealed->ciphertext)};
}

core::CryptoResult<cord::Bytes> hpke_open(const X25519PrivateKey& recipient_private_key,
                                          cord::ByteView encapsulated_key, cord::ByteView context,
                                          cord::ByteView aad, cord::ByteView ciphertext) {
  if (encapsulated_key.size() != hpke::kEncapsulatedKeySize) {
    return std::unexpected(CryptoError::invalid_hpke_encapsulated_key());
  }
  return hpke::open_base(recipient_private_key, encapsulated_key, hpke_info(context), aad, ciphertext);
}

core::CryptoResult<cord::Bytes> hpke_open(const X25519KeyPair& recipient, cord::ByteView encapsulated_key,
                                          cord::ByteView context, cord::ByteView aad, cord::ByteView ciphertext) {
  if (encapsulated_key.size() != hpke::kEncapsulatedKeySize) {
    return std::unexpected(CryptoError::invalid_hpke_encapsulated_key());
  }
  return hpke::open_base(recipient.private_key, recipient.public_key, encapsulated_key, hpke_info(context), aad,
                         ciphertext);
}

core::CryptoResult<WrappedContentKey> wrap_content_key(cord::ByteView recipient_public_key, cord::ByteView context,
                                                       cord::ByteView aad, const ContentKey& key) {
  auto sealed = hpke_seal(recipient_public_key, context, aad, key.view());
  if (!sealed) return std::unexpected(std::move(sealed).error());
  return WrappedContentKey{std::move(sealed->encapsulated_key), std::move(sealed->ciphertext)};
}

namespace {

// The content key an opened wrap holds; the opened buffer is wiped.
core::CryptoResult<ContentKey> content_key_of(core::CryptoResult<cord::Bytes> opened) {
  if (!opened) return std::unexpected(std::move(opened).error());
  cord::Bytes& plaintext = *opened;
  // The AEAD allocated the buffer at exactly its size and nothing grew it,
  // so wiping its size wipes all the storage it ever had.
  if (plaintext.size() != ContentKey::kSize) {
    const std::size_t got = plaintext.size();
    wipe_bytes(plaintext.data(), plaintext.size());
    return std::unexpected(CryptoError::invalid_byte_length("content key", ContentKey::kSize, got));
  }
  ContentKey key(std::span<const std::uint8_t, ContentKey::kSize>(plaintext.data(), ContentKey::kSize));
  wipe_bytes(plaintext.data(), plaintext.size());
  return key;
}

}  // namespace

core::CryptoResult<ContentKey> unwrap_content_key(const X25519PrivateKey& recipient_private_key,
                                                  cord::ByteView encapsulated_key, cord::ByteView context,
                                                  cord::ByteView aad, cord::ByteView wrapped_key) {
  return content_key_of(hpke_open(recipient_private_key, encapsulated_key, context, aad, wrapped_key));
}

core::CryptoResult<ContentKey> unwrap_content_key(const X25519KeyPair& recipient, cord::ByteView encapsulated_key,
                                                  cord::ByteView context, cord::ByteView aad,
                                                  cord::ByteView wrapped_key) {
  return content_key_of(hpke_open(recipient, encapsulated_key, context, aad, wrapped_key));
}

}  // namespace vornex::crypto
