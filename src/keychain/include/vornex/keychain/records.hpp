// What the keychain files hold: a user's identity sealed under a key the
// passphrase derives, the record of the current user, and the element of
// the older combined keychain. Decoding accepts any lengths; the rules on
// them apply when a record is opened.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "cord/set.hpp"
#include "vornex/core/secret.hpp"

namespace vornex::keychain {

inline constexpr std::string_view kArgon2idAlgorithm = "argon2id-v1.3";

struct KdfParamsV1 {
  std::string algorithm;
  std::uint32_t memory_kib = 0;
  std::uint32_t iterations = 0;
  std::uint32_t lanes = 0;
  CORD_FIELDS(algorithm, memory_kib, iterations, lanes)
  bool operator==(const KdfParamsV1&) const = default;
};

// A master seed sealed with ChaCha20-Poly1305 under the passphrase key;
// root and user are bound as associated data.
struct SealedIdentityV1 {
  cord::Bytes root;  // the trusted root's fingerprint
  cord::Bytes user;  // the identity's user id
  KdfParamsV1 kdf;
  cord::Bytes salt;
  cord::Bytes nonce;
  cord::Bytes ciphertext;  // tag included
  CORD_FIELDS(root, user, kdf, salt, nonce, ciphertext)
  bool operator==(const SealedIdentityV1&) const = default;
};

// The associated data of a seal.
struct SealedIdentityAadV1 {
  cord::Bytes root;
  cord::Bytes user;
  CORD_FIELDS(root, user)
};

// The sealed plaintext; the seed is wiped when dropped.
struct LocalIdentityV1 {
  core::SecretBytes master_seed;
  CORD_FIELDS(master_seed)
};

struct CurrentUserV1 {
  cord::Bytes user;
  std::optional<std::string> selector;  // the user reference to show instead of the id
  CORD_FIELDS(user, selector)
  bool operator==(const CurrentUserV1&) const = default;
};

// An element of the older combined and per-user keychains: variant 0 an
// identity, 1 the current user.
using KeychainRecordV1 = std::variant<SealedIdentityV1, CurrentUserV1>;
using KeychainRecords = cord::Set<cord::Evolving<KeychainRecordV1>>;

// The file bodies: one-variant enums, so a later layout can sit beside.
using IdentityStore = std::variant<SealedIdentityV1>;
using CurrentUserStore = std::variant<CurrentUserV1>;
namespace keychain_store {
struct V1 {
  KeychainRecords records;
  CORD_TRANSPARENT(records)
  bool operator==(const V1&) const = default;
};
}  // namespace keychain_store
using KeychainStore = std::variant<keychain_store::V1>;

}  // namespace vornex::keychain
