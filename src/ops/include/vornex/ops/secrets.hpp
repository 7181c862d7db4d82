// What the data operations take and give back, and the checks every write
// makes before it touches anything.
#pragma once

#include <functional>
#include <optional>

#include "vornex/core/payload.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/ops/seal.hpp"

namespace vornex::ops {

// A new record's counter may be at most 2^62.
inline constexpr std::uint64_t kMaxRecordCounter = std::uint64_t{1} << 62;
inline constexpr std::string_view kValueNotEffective = "secret value did not take effect";
inline constexpr std::string_view kDeletionNotEffective = "secret deletion did not take effect";

struct SetSecretOutput {
  core::SecretId secret_id;
  core::SecretSelectorV1 selector;
  core::SealedPayloadV1 payload;
};

struct DeleteSecretOutput {
  core::SecretId secret_id;
  core::SecretSelectorV1 selector;
};

// A write's output and the record hash of the record it added.
template <class Output>
struct Written {
  Output output;
  core::HashValue record_hash;
};

// The value to write in place of the current one, computed from it under
// the write's locks; none writes nothing.
using ValueUpdate = std::function<OpsResult<std::optional<core::SecretValueV1>>(const SecretPlaintext& current)>;

// A check of the state a write is about to build on, made under the write's
// locks once the session has been brought up to date with the files; its
// error refuses the write before anything is built. The Python layer
// refuses through it what its opening refuses (unresolved conflicts, which
// a vault file replaced by an older copy shows as).
using WriteGate = std::function<OpsStatus(const core::validate::EffectiveState& state)>;

// Texts enter in NFC: selectors and field names are compared, sorted and
// checked before they are encoded, and the encoder would only normalise
// them afterwards. Labels are sorted by their normalised keys.
core::SecretSelectorV1 normalize_selector(core::SecretSelectorV1 selector);

// The writer is an active user of a settled state whose authority covers
// the selector.
OpsStatus ensure_secret_writable(const core::validate::EffectiveState& state, const core::SecretSelectorV1& selector,
                                 const crypto::Identity& identity);

// Whether `identity` can read the selector's current value from `state`:
// the failure a read would give, without opening anything.
OpsStatus ensure_secret_readable(const core::validate::EffectiveState& state, const crypto::Crypto& crypto,
                                 const crypto::Identity& identity, const core::SecretSelectorV1& selector);

// The current value of the selector as `identity` reads it from `state`;
// the selector is already normalised.
OpsResult<SecretPlaintext> current_plaintext(const core::validate::EffectiveState& state, const crypto::Crypto& crypto,
                                             const crypto::Identity& identity,
                                             const core::SecretSelectorV1& selector);

}  // namespace vornex::ops
