// Sealing a secret value into the payload of a secret record, and opening
// it again for one identity. The value is encrypted once under a fresh
// content key, which is wrapped (HPKE) to every current reader. The wraps
// are bound to the root, the secret and the reader; the content to the
// root, the record's key, signer, counter, nonce and complete slot list:
// a payload or a wrap moved elsewhere does not open.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cord/codec.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/payload.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/ops/error.hpp"

namespace vornex::ops {

// "vornex-secret-v1" and a zero byte precede the value's encoding; the
// first 14 bytes are reserved for later versions.
inline constexpr std::array<std::uint8_t, 17> kPlaintextMagic = {'v', 'o', 'r', 'n', 'e', 'x', '-', 's', 'e',
                                                                 'c', 'r', 'e', 't', '-', 'v', '1', 0};
inline constexpr std::size_t kReservedPlaintextPrefix = 14;

// The per-reader binding of a key wrap: its HPKE context and associated data.
struct RecipientSlotBindingV1 {
  cord::Bytes root_fingerprint;
  cord::Bytes secret_id;
  std::vector<std::string> tuple;
  std::vector<core::SecretLabelV1> labels;
  cord::Bytes recipient;
  CORD_FIELDS(root_fingerprint, secret_id, tuple, labels, recipient)
};

// The associated data of the content.
struct SecretContentAadV1 {
  cord::Bytes root_fingerprint;
  core::RecordKey record_key;
  cord::Bytes signer_key;
  std::uint64_t counter = 0;
  cord::Bytes secret_id;
  std::vector<std::string> tuple;
  std::vector<core::SecretLabelV1> labels;
  cord::Bytes nonce;
  std::vector<core::RecipientSlotV1> recipient_slots;
  CORD_FIELDS(root_fingerprint, record_key, signer_key, counter, secret_id, tuple, labels, nonce, recipient_slots)
};

// What the writer has fixed for the new record before sealing.
struct RecordContext {
  core::RecordKey key;
  cord::Bytes signer_key;
  core::SecretId secret_id;
  core::SecretSelectorV1 selector;
  std::uint64_t counter = 0;
};

struct SecretField {
  std::string name;
  cord::Bytes value;
  bool operator==(const SecretField&) const = default;
};

// An opened secret. Its value bytes are wiped when it is dropped.
class SecretPlaintext {
 public:
  SecretPlaintext(core::SecretSelectorV1 selector, cord::Bytes primary, std::vector<SecretField> fields);
  SecretPlaintext(SecretPlaintext&&) = default;
  SecretPlaintext& operator=(SecretPlaintext&& other) noexcept;
  SecretPlaintext(const SecretPlaintext&) = delete;
  SecretPlaintext& operator=(const SecretPlaintext&) = delete;
  ~SecretPlaintext();

  const core::SecretSelectorV1& selector() const { return selector_; }
  const cord::Bytes& primary() const { return primary_; }
  // Sorted by name, bytewise.
  const std::vector<SecretField>& fields() const { return fields_; }

  // The first field of that name, or null.
  const SecretField* field(std::string_view name) const;
  // The value with every field of that name replaced by this one; fails
  // when the value cannot be encoded (a field over the length limit).
  OpsResult<core::SecretValueV1> with_field(std::string name, cord::Bytes value) const;
  // The value without the fields of that name.
  OpsResult<core::SecretValueV1> without_field(std::string_view name) const;

 private:
  core::SecretSelectorV1 selector_;
  cord::Bytes primary_;
  std::vector<SecretField> fields_;
};

// The magic and the value's encoding, in a buffer allocated once, so that
// no copy of the value is left behind by its growth. The caller wipes it.
OpsResult<cord::Bytes> plaintext_envelope(const core::SecretValueV1& value);

OpsResult<cord::Bytes> recipient_slot_binding_bytes(cord::ByteView root_fingerprint, const core::SecretId& secret_id,
                                                    const core::SecretSelectorV1& selector, cord::ByteView reader);
OpsResult<cord::Bytes> secret_content_aad_bytes(cord::ByteView root_fingerprint, const RecordContext& context,
                                                cord::ByteView nonce,
                                                const std::vector<core::RecipientSlotV1>& slots);

OpsResult<core::SealedPayloadV1> seal_secret_payload(const core::validate::EffectiveState& state,
                                                     const RecordContext& context, const core::SecretValueV1& value);

OpsResult<SecretPlaintext> decrypt_secret_record(const crypto::Identity& identity, const core::VaultRecordV1& envelope,
                                                 const core::SecretRecordV1& record, cord::ByteView root_fingerprint);
OpsResult<SecretPlaintext> decrypt_secret_from_report(const core::validate::EffectiveState& state,
                                                      const crypto::Identity& identity,
                                                      const core::SecretSelectorV1& selector,
                                                      const core::CryptoProvider& crypto);

}  // namespace vornex::ops
