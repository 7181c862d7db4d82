// The rules a record must meet on its own, before its signature or its
// signer's authority is weighed. Each check gives the first broken rule's
// issue, or none.
#pragma once

#include <cstdint>
#include <optional>

#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/selector.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/report.hpp"

namespace vornex::core::validate {

// 2^62: counters above it leave no room to write past them safely.
inline constexpr std::uint64_t kCounterCeiling = std::uint64_t{1} << 62;

using Finding = std::optional<ValidationIssue>;

// A derivation's failure as a finding, with the error's display text.
ValidationIssue to_issue(CoreError error);

// The key a body writes; a deletion shares its target's key. An entry point
// is keyed by its signer, who is not a field of the body.
RecordKey record_key_for(const RecordBodyV1& body, const UserId& entry_point_user);

Finding validate_secret_selector(const SecretSelectorV1& selector);
Finding validate_keyspace_selector(const KeyspaceSelectorV1& selector);
Finding validate_permission(const GrantPermissionV1& permission);

Finding structurally_valid_user(const UserRecordV1& user, const CryptoProvider& crypto);
Finding structurally_validate_record(const VaultRecordV1& envelope, const RecordBodyV1& body,
                                     const pipeline::SelectedRoot& root, const CryptoProvider& crypto);

}  // namespace vornex::core::validate
