#include "vornex/ops/trust.hpp"

#include <set>

#include "vornex/core/crypto.hpp"

namespace vornex::ops {

namespace {

template <class Records, class Project>
OpsResult<core::HashValue> candidate_of(const Records& records, Project record_of, const core::CryptoProvider& crypto) {
  // Two root records signed with one key count once.
  std::set<core::HashValue> fingerprints;
  for (const auto& item : records) {
    const core::VaultRecordV1& record = record_of(item);
    const core::RecordBodyV1* body = record.body.known();
    const auto* root = body == nullptr ? nullptr : std::get_if<core::VaultRootRecordV1>(body);
    if (root == nullptr) continue;
    auto derived = core::derive_user_id(crypto, record.signing_public_key, root->hpke_public_key);
    if (!derived) return std::unexpected(OpsError(std::move(derived).error()));
    if (*derived != root->user_id) continue;
    auto message = core::signed_record_message(record.body);
    if (!message) return std::unexpected(OpsError(std::move(message).error()));
    if (!crypto.verify_signature(core::domains::kSigned, record.signing_public_key, *message, record.signature)) {
      continue;
    }
    auto fingerprint = core::key_hash(crypto, record.signing_public_key);
    if (!fingerprint) return std::unexpected(OpsError(std::move(fingerprint).error()));
    fingerprints.insert(std::move(*fingerprint));
  }
  if (fingerprints.empty()) return std::unexpected(OpsError::of(OpsError::Kind::NoRootRecord));
  if (fingerprints.size() > 1) {
    return std::unexpected(OpsError::multiple_root_records({fingerprints.begin(), fingerprints.end()}));
  }
  return *fingerprints.begin();
}

}  // namespace

OpsResult<core::HashValue> trusted_root_candidate(const cord::Set<core::VaultRecordV1>& records,
                                                  const core::CryptoProvider& crypto) {
  return candidate_of(records, [](const core::VaultRecordV1& r) -> const core::VaultRecordV1& { return r; }, crypto);
}

OpsResult<core::HashValue> trusted_root_candidate(std::span<const core::validate::HashedRecord> records,
                                                  const core::CryptoProvider& crypto) {
  return candidate_of(
      records, [](const core::validate::HashedRecord& r) -> const core::VaultRecordV1& { return r.record; }, crypto);
}

}  // namespace vornex::ops
