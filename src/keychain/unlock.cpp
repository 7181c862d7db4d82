#include "vornex/keychain/unlock.hpp"

#include <optional>
#include <utility>

#include "vornex/keychain/files.hpp"
#include "vornex/keychain/migrate.hpp"
#include "vornex/keychain/passphrase_key.hpp"
#include "vornex/keychain/terminal.hpp"
#include "vornex/store/interrupt.hpp"

namespace vornex::keychain {

namespace {

// The sealed identity of the request's user for its root, looked up in the
// current layout after splitting the older ones, all under the root's
// keychain lock. The lock is released when this returns, before any
// passphrase is asked for.
KeychainResult<SealedIdentityV1> find_sealed(const Path& base, const KeychainRequest& request,
                                             const store::LockPolicy& policy, const store::ProcessFacts& facts) {
  const cord::ByteView root = request.root.bytes();
  const cord::ByteView user = request.user.bytes();
  const Path path = identity_path(base, root, user);
  auto lock = acquire_keychain_lock(base, root, policy, facts);
  if (!lock) return std::unexpected(std::move(lock).error());
  if (auto migrated = migrate_root_combined_locked(base, root, facts); !migrated) {
    return std::unexpected(std::move(migrated).error());
  }
  auto sealed = read_identity_at(path, root, user);
  if (sealed && !*sealed) {
    const Path legacy = legacy_user_keychain_path(base, user);
    if (auto migrated = migrate_legacy_user_locked(base, root, user, legacy, policy, facts); !migrated) {
      return std::unexpected(std::move(migrated).error());
    }
    sealed = read_identity_at(path, root, user);
  }
  if (!sealed) return std::unexpected(std::move(sealed).error());
  if (!*sealed) return std::unexpected(KeychainError::not_found(request.user));
  return std::move(**sealed);
}

}  // namespace

KeychainResult<core::SecretBytes> StaticPassphraseProvider::request_passphrase(const KeychainRequest&) const {
  return core::SecretBytes(passphrase_.view());
}

KeychainResult<AutoKeychain> AutoKeychain::default_interactive(const store::ProcessFacts& facts) {
  auto base = default_base_dir(facts);
  if (!base) return std::unexpected(std::move(base).error());
  return AutoKeychain(std::move(*base), std::make_unique<StdinPassphraseProvider>(), {}, facts);
}

KeychainResult<crypto::Identity> AutoKeychain::unlock_identity(const crypto::Crypto& crypto,
                                                               const KeychainRequest& request) const {
  auto result = [&]() -> KeychainResult<crypto::Identity> {
    auto sealed = find_sealed(base_dir_, request, policy_, facts_);
    if (!sealed) return std::unexpected(std::move(sealed).error());
    std::optional<LocalIdentityV1> local;
    {
      // A Ctrl-C that came while the vault loaded ends the unlock before
      // anyone is asked, and one during the key's derivation after it.
      if (store::interrupt_requested()) return std::unexpected(terminal::interrupted());
      // The passphrase lives only for the opening.
      auto passphrase = passphrases_->request_passphrase(request);
      if (!passphrase) return std::unexpected(std::move(passphrase).error());
      auto opened = open_local_identity(passphrase->view(), request.root.bytes(), request.user.bytes(), *sealed);
      if (!opened) return std::unexpected(std::move(opened).error());
      local.emplace(std::move(*opened));
    }
    if (store::interrupt_requested()) return std::unexpected(terminal::interrupted());
    return identity_from_local(crypto, *local);
  }();
  // A missing identity is reported as no safe keychain for the user.
  if (!result && result.error().kind() == KeychainError::Kind::NotFound) {
    return std::unexpected(KeychainError::no_safe_keychain(request.user));
  }
  return result;
}

KeychainResult<FixedIdentityProvider> FixedIdentityProvider::from_master_seed(const crypto::Crypto& crypto,
                                                                              cord::ByteView master_seed) {
  auto identity = crypto::Identity::from_master_seed(crypto, master_seed);
  if (!identity) return std::unexpected(KeychainError(std::move(identity).error()));
  return FixedIdentityProvider(LocalIdentityV1{core::SecretBytes(identity->master_seed().view())}, identity->user_id());
}

}  // namespace vornex::keychain
