// Which root a vault belongs to, read from its own records: the one
// self-signed root record whose signature verifies. The ratchet, the
// transaction file and the locks of the state directory are named after
// its fingerprint. Whether that root is trusted is validation's question.
#pragma once

#include <span>

#include "cord/set.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/ops/error.hpp"

namespace vornex::ops {

OpsResult<core::HashValue> trusted_root_candidate(const cord::Set<core::VaultRecordV1>& records,
                                                  const core::CryptoProvider& crypto);
// The same over records as the vault file's hashed decoding gives them.
OpsResult<core::HashValue> trusted_root_candidate(std::span<const core::validate::HashedRecord> records,
                                                  const core::CryptoProvider& crypto);

}  // namespace vornex::ops
