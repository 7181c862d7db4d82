// The record model's view of cryptography: two interfaces handed in by the
// caller, the domain hash behind them, its labels, and the identifiers and
// signed messages computed from Cord encodings. Signing and verification
// stay behind the interfaces, so the record model never names a scheme.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "cord/try.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/selector.hpp"

namespace vornex::core {

// Hash and signature verification. Implementations keep no state that a
// call could change, so one value may serve every thread.
class CryptoProvider {
 public:
  virtual ~CryptoProvider() = default;

  // The domain hash of `data` under `domain` (see domain_hash).
  virtual HashValue hash(cord::ByteView domain, cord::ByteView data) const = 0;
  // Whether `signature` is a valid signature by `public_key` over `message`
  // under `domain`. Malformed keys and signatures answer false; this never
  // reports an error.
  virtual bool verify_signature(cord::ByteView domain, cord::ByteView public_key, cord::ByteView message,
                                cord::ByteView signature) const = 0;

 protected:
  CryptoProvider() = default;
  CryptoProvider(const CryptoProvider&) = default;
  CryptoProvider& operator=(const CryptoProvider&) = default;
};

// Record signing, by whoever holds the secret key.
class RecordSigner {
 public:
  virtual ~RecordSigner() = default;

  // The signature over `message` under `domain`; cannot fail.
  virtual cord::Bytes sign(cord::ByteView domain, cord::ByteView message) const = 0;

 protected:
  RecordSigner() = default;
  RecordSigner(const RecordSigner&) = default;
  RecordSigner& operator=(const RecordSigner&) = default;
};

// Domain labels, as the bytes hashed or signed (no terminating zero).
namespace domains {
namespace detail {
template <std::size_t N>
consteval std::array<std::uint8_t, N - 1> label(const char (&text)[N]) {
  std::array<std::uint8_t, N - 1> out{};
  for (std::size_t i = 0; i + 1 < N; ++i) out[i] = static_cast<std::uint8_t>(text[i]);
  return out;
}
}  // namespace detail

// First item of every domain hash.
inline constexpr auto kHash = detail::label("vornex.hash.v1");
// Hash domains.
inline constexpr auto kUser = detail::label("vornex.user.v1");
inline constexpr auto kKey = detail::label("vornex.key.v1");
inline constexpr auto kSecret = detail::label("vornex.secret.v1");
inline constexpr auto kHandle = detail::label("vornex.handle.v1");
inline constexpr auto kVaultHandle = detail::label("vornex.vault-handle.v1");
inline constexpr auto kGroupMember = detail::label("vornex.group-member.v1");
inline constexpr auto kGroup = detail::label("vornex.group.v1");
inline constexpr auto kGrant = detail::label("vornex.grant.v1");
inline constexpr auto kRecordHash = detail::label("vornex.record-hash.v1");
inline constexpr auto kTransactionFile = detail::label("vornex.transaction-file.v1");
inline constexpr auto kJoinCommit = detail::label("vornex.join-commit.v1");
// Signature domains.
inline constexpr auto kSigned = detail::label("vornex.signed.v1");
inline constexpr auto kVerificationCache = detail::label("vornex.verification-cache.v1");
// First items of the signature transcript and of the HPKE info string.
inline constexpr auto kSignature = detail::label("vornex.signature.v1");
inline constexpr auto kHpkeInfo = detail::label("vornex.hpke-info.v1");
}  // namespace domains

// SHA-256 over three items, each its length as 8 bytes big-endian and then
// its bytes: kHash, `domain`, `data`. The length prefixes keep bytes from
// moving between domain and data unnoticed. Any lengths, empty included.
// Never fails: a failure of the digest library itself (memory exhaustion)
// throws rather than hand back a wrong hash.
HashValue domain_hash(cord::ByteView domain, cord::ByteView data);

// The most room derive_hash keeps between calls.
inline constexpr std::size_t kDeriveScratchBytes = 4096;

// The domain hash of the value's Cord encoding. The encoding is finished
// before anything is hashed, so a value that cannot be encoded hashes
// nothing and its Cord error is returned.
template <class T>
CoreResult<HashValue> derive_hash(const CryptoProvider& provider, cord::ByteView domain, const T& value) {
  // Every open derives an id per record: the encoding goes into one buffer
  // per thread instead of a fresh allocation each time. Derived values are
  // public (selectors, keys, ids), so the buffer needs no wiping.
  thread_local cord::Bytes scratch;
  scratch.clear();
  VX_TRY(cord::serialize_into(scratch, value));
  auto hash = provider.hash(domain, scratch);
  // A large value does not keep its room for the life of the thread.
  if (scratch.capacity() > kDeriveScratchBytes) cord::Bytes().swap(scratch);
  return hash;
}

// The keys are not checked for length here; validation does that.
CoreResult<UserId> derive_user_id(const CryptoProvider& provider, cord::ByteView signing_public_key,
                                  cord::ByteView hpke_public_key);
// The fingerprint that names a signing key: the key as a Cord byte string.
CoreResult<HashValue> key_hash(const CryptoProvider& provider, cord::ByteView public_key);
CoreResult<SecretId> derive_secret_id(const CryptoProvider& provider, const SecretSelectorV1& selector);
CoreResult<GroupMemberId> derive_group_member_id(const CryptoProvider& provider, const GroupId& group_id,
                                                 const PrincipalRefV1& member);

// The bytes a record signature covers: the body in its evolving wrapper,
// length prefix included, exactly the envelope's first field. A body of an
// unknown kind gives back the bytes it was read from, so a record from a
// newer build verifies over what was actually signed.
CoreResult<cord::Bytes> signed_record_message(const cord::Evolving<RecordBodyV1>& body);

}  // namespace vornex::core
