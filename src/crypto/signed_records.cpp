#include "vornex/crypto/signed_records.hpp"

#include <utility>

namespace vornex::crypto {

core::HazmatResult<core::UserId> ensure_identity_consistent(const core::CryptoProvider& provider,
                                                            const Identity& signer) {
  VX_TRY_ASSIGN(core::UserId derived,
                core::derive_user_id(provider, signer.signing_public_key(), signer.hpke_public_key()));
  if (derived != signer.user_id()) {
    return std::unexpected(core::HazmatError::identity_mismatch(signer.user_id(), std::move(derived)));
  }
  return derived;
}

core::HazmatResult<core::VaultRecordV1> signed_payload(const core::CryptoProvider& provider, const Identity& signer,
                                                       core::RecordBodyV1 body) {
  VX_TRY(ensure_identity_consistent(provider, signer));
  core::VaultRecordV1 record{cord::Evolving<core::RecordBodyV1>(std::move(body)), signer.signing_public_key(), {}};
  VX_TRY_ASSIGN(const cord::Bytes message, core::signed_record_message(record.body));
  record.signature = signer.sign(core::domains::kSigned, message);
  return record;
}

core::HazmatResult<core::VaultRecordV1> secret_record(const core::CryptoProvider& provider, const Identity& signer,
                                                      core::SecretSelectorV1 selector, core::StoredPayloadV1 payload,
                                                      std::uint64_t counter) {
  VX_TRY_ASSIGN(core::SecretId secret_id, core::derive_secret_id(provider, selector));
  return signed_payload(provider, signer,
                        core::SecretRecordV1{std::move(secret_id), std::move(selector), std::move(payload), counter});
}

core::HazmatResult<core::VaultRecordV1> secret_deleted_record(const core::CryptoProvider& provider,
                                                              const Identity& signer,
                                                              core::SecretSelectorV1 selector,
                                                              std::uint64_t counter) {
  VX_TRY_ASSIGN(core::SecretId secret_id, core::derive_secret_id(provider, selector));
  return signed_payload(provider, signer,
                        core::SecretDeletedRecordV1{std::move(secret_id), std::move(selector), counter});
}

void append_record(RecordSet& records, core::VaultRecordV1 record) { records.insert(std::move(record)); }

}  // namespace vornex::crypto
