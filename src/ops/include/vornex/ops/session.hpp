// A session: the in-memory picture of one vault that every operation works
// on, loaded from a workspace's files. Loading rolls forward an interrupted
// commit, reads the vault and the strongest trust state under the shared
// root-state lock, trusts a signed verification cache where one checks
// out, validates, and writes back a ratchet raise that a clean validation
// produced. A locked session has no identity.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cord/set.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/report.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/ops/principals.hpp"
#include "vornex/ops/secrets.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/cache_file.hpp"
#include "vornex/store/held_file.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::ops {

inline constexpr std::string_view kVerificationCacheDomain = "vornex.verification-cache.v1";

// What an invitation brings to a load: the root of the vault it is for, the
// baseline that may become the first trust file, and the invited identity,
// whose verification cache is the one to trust.
struct Invited {
  const core::InvitationMaterial& invitation;
  const crypto::Identity& identity;
};

// The user a keychain opening names, as far as it can be read before the
// vault is validated: an id, the first hexadecimal digits of one (lower
// case, fewer than 64), or a normalised handle. Where the keychain names no
// current user, the load trusts the verification cache of the user this
// names in the records as they stand, unvalidated: the unlock validates
// again whatever a cache signed by another key vouched for, so a wrong
// guess costs time, never trust.
namespace named_user {
struct IdPrefix {
  std::string hex;
  bool operator==(const IdPrefix&) const = default;
};
}  // namespace named_user
using NamedUser = std::variant<user_ref::Id, user_ref::Handle, named_user::IdPrefix>;

// The verification cache a load trusted: whose file it was, and the root
// and record hashes (in their order) its signature covers with the current
// version. An attestation that would sign the same for the same owner
// leaves the file as it is.
struct TrustedCache {
  core::HashValue owner;
  core::HashValue root;
  std::vector<core::HashValue> record_hashes;
  bool operator==(const TrustedCache&) const = default;
};

struct LockedSession {
  store::WorkspacePaths paths;
  // The vault file's bytes; the report's records borrow their payloads
  // from them.
  std::shared_ptr<const cord::Bytes> vault_bytes;
  core::validate::VaultIndex vault_index;  // where each record of vault_bytes starts
  core::Ratchet ratchet;  // its trusted root is the session's root
  core::validate::ValidationReport report;  // of the vault's records against ratchet
  // Whether `ratchet` is exactly the ratchet the report was validated
  // against, raised by the report's update: only then can a write derive
  // its report from this one instead of validating in full.
  bool ratchet_follows_report = false;
  // The ratchet file's bytes when they are known to decode to `ratchet`:
  // a write that finds them unchanged need not decode the file again.
  std::shared_ptr<const cord::Bytes> ratchet_file_bytes;
  // The vault file this session last read or wrote and read back, still
  // open: while its path names that same unchanged file, a write need not
  // read it again.
  std::shared_ptr<const store::HeldFile> vault_file;
  // The ratchet file this session last wrote and read back, still open:
  // while its path names that same unchanged file, it holds
  // `ratchet_file_bytes` and a write need not read it again.
  std::shared_ptr<const store::HeldFile> ratchet_file;
  std::optional<cord::Bytes> cache_signer_key;
  std::optional<PendingTransaction> pending;
  // How long this session's lock takers wait; tests shorten it.
  store::LockPolicy lock_policy;
  // Present while cache_signer_key is.
  std::optional<TrustedCache> trusted_cache;

  // How long lock takers wait; tests shorten it. `named`: the user the
  // caller will unlock as, when it knows.
  static OpsResult<LockedSession> load(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                       const store::LockPolicy& policy = {},
                                       const std::optional<NamedUser>& named = std::nullopt);
  // The load of the invitation road. The vault must belong to the
  // invitation's root. Where that root has no trust file yet, the
  // invitation's baseline becomes it, under the exclusive root-state lock,
  // once the vault validates against it without a suspected rollback or any
  // issue and counts the invited identity as a member; that validation is
  // the session's. The invited user's verification cache is the one trusted.
  static OpsResult<LockedSession> load_invited(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                               const Invited& invited, const store::LockPolicy& policy = {});

  const core::HashValue root() const { return core::HashValue(ratchet.trusted_root()); }

  // Brings the session up to date with the files; true when something had
  // changed. The caller holds the exclusive root-state lock and the
  // workspace lock. `ratchet_bytes`, when given, receives the ratchet
  // file's bytes as read (null for a missing file), shared with
  // `ratchet_file_bytes` when they are those.
  OpsResult<bool> reload_if_stale_locked(const crypto::Crypto& crypto,
                                         std::shared_ptr<const cord::Bytes>* ratchet_bytes = nullptr);

  // Any issue of the report refuses; warnings do not.
  OpsStatus ensure_valid() const;

  // Called by load only: trusts a clean validation's raise, and writes it
  // when no transaction is pending and the root-state lock can be had.
  OpsStatus absorb_clean_trust_raises(const crypto::Crypto& crypto, const store::LockPolicy& policy = {});

  // Signs the verified record hashes as this identity's verification cache.
  // Nothing about the cache stops an unlock.
  OpsStatus attest_verifications(const crypto::Crypto& crypto, const crypto::Identity& identity);

  // The locked write paths: under the exclusive root-state lock and the
  // workspace lock, the session is brought up to date, one signed record is
  // added, shown to become current, and committed with the ratchet. The
  // session changes only when the write succeeds.
  // `gate`, when given, may refuse the state found under the locks.
  OpsResult<Written<SetSecretOutput>> set_secret_value(const crypto::Crypto& crypto, const crypto::Identity& identity,
                                                       const core::SecretSelectorV1& selector,
                                                       core::SecretValueV1 value, const WriteGate& gate = {});
  OpsResult<std::optional<Written<SetSecretOutput>>> update_secret_value(const crypto::Crypto& crypto,
                                                                         const crypto::Identity& identity,
                                                                         const core::SecretSelectorV1& selector,
                                                                         const ValueUpdate& update,
                                                                         const WriteGate& gate = {});
  OpsResult<Written<DeleteSecretOutput>> delete_secret(const crypto::Crypto& crypto, const crypto::Identity& identity,
                                                       const core::SecretSelectorV1& selector,
                                                       const WriteGate& gate = {});
};

// The current user's verification cache for the root, when its root and
// version are right and its signature verifies; else none. Never fails.
std::optional<store::VerificationCacheV1> read_trusted_cache(const store::WorkspacePaths& paths,
                                                             const core::HashValue& root,
                                                             const crypto::Crypto& crypto,
                                                             const store::LockPolicy& policy = {});
// The same for the cache of the given owner.
std::optional<store::VerificationCacheV1> read_trusted_cache_of(const store::WorkspacePaths& paths,
                                                                const core::HashValue& root,
                                                                const core::HashValue& owner,
                                                                const crypto::Crypto& crypto);

}  // namespace vornex::ops
