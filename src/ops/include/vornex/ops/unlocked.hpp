// A session with the identity of the user who reads and writes: unlocked
// from the keychain or given from an invitation. Either way the vault must
// validate without issues and the identity must be an effective member.
#pragma once

#include <optional>

#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/keychain/request.hpp"
#include "vornex/keychain/unlock.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/ops/secrets.hpp"
#include "vornex/ops/session.hpp"

namespace vornex::ops {

// Nothing, or NotEffectiveMember; a session with issues is refused by its
// callers through ensure_valid instead.
OpsStatus ensure_member(const LockedSession& session, const core::UserId& user);

class UnlockedSession {
 public:
  // The keychain road: the keychain is asked (possibly at the terminal)
  // only once the vault is known to be clean.
  static OpsResult<UnlockedSession> promote(LockedSession session, const crypto::Crypto& crypto,
                                            const keychain::IdentityKeychain& keychain,
                                            const core::UserId& expected_user, keychain::KeyUsePurpose purpose);
  // The invitation road: the identity is given.
  static OpsResult<UnlockedSession> with_identity(LockedSession session, const crypto::Crypto& crypto,
                                                  crypto::Identity identity);
  // The whole invitation road: the identity derived from the invitation's
  // seed, the vault loaded for it (seeding trust where there is none yet,
  // see LockedSession::load_invited), then with_identity.
  static OpsResult<UnlockedSession> from_invitation(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                                    const core::InvitationMaterial& invitation,
                                                    const store::LockPolicy& policy = {});

  const LockedSession& session() const { return session_; }
  const crypto::Identity& identity() const { return identity_; }

  // Answers from the state in memory; reads no file.
  OpsResult<SecretPlaintext> get_secret(const crypto::Crypto& crypto, core::SecretSelectorV1 selector) const;
  // Each write takes an optional gate (see WriteGate).
  OpsResult<Written<SetSecretOutput>> set_secret(const crypto::Crypto& crypto, core::SecretSelectorV1 selector,
                                                 cord::ByteView primary, const WriteGate& gate = {});
  OpsResult<Written<SetSecretOutput>> set_secret_value(const crypto::Crypto& crypto, core::SecretSelectorV1 selector,
                                                       core::SecretValueV1 value, const WriteGate& gate = {});
  // Reads the current value and writes what `update` makes of it, both
  // under the write's locks; none from `update` writes nothing.
  OpsResult<std::optional<Written<SetSecretOutput>>> update_secret_value(const crypto::Crypto& crypto,
                                                                         core::SecretSelectorV1 selector,
                                                                         const ValueUpdate& update,
                                                                         const WriteGate& gate = {});
  OpsResult<Written<DeleteSecretOutput>> delete_secret(const crypto::Crypto& crypto, core::SecretSelectorV1 selector,
                                                       const WriteGate& gate = {});

 private:
  UnlockedSession(LockedSession session, crypto::Identity identity)
      : session_(std::move(session)), identity_(std::move(identity)) {}

  LockedSession session_;
  crypto::Identity identity_;
};

}  // namespace vornex::ops
