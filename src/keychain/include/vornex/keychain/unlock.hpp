// Unlocking an identity: the sealed identity of a user for a trusted root
// is found (older layouts are split on the way), the passphrase is asked
// for with no keychain lock held, and the identity is opened and derived.
#pragma once

#include <memory>

#include "vornex/core/secret.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/keychain/records.hpp"
#include "vornex/keychain/request.hpp"
#include "vornex/store/lock.hpp"

namespace vornex::keychain {

// Where passphrases come from. The passphrase is the UTF-8 text, held in a
// buffer wiped when dropped.
class PassphraseProvider {
 public:
  virtual ~PassphraseProvider() = default;
  virtual KeychainResult<core::SecretBytes> request_passphrase(const KeychainRequest& request) const = 0;
};

// Asks on the controlling terminal, echo off.
class StdinPassphraseProvider final : public PassphraseProvider {
 public:
  KeychainResult<core::SecretBytes> request_passphrase(const KeychainRequest& request) const override;
};

// The caller's passphrase, the same for every request.
class StaticPassphraseProvider final : public PassphraseProvider {
 public:
  explicit StaticPassphraseProvider(core::SecretBytes passphrase) : passphrase_(std::move(passphrase)) {}
  KeychainResult<core::SecretBytes> request_passphrase(const KeychainRequest& request) const override;

 private:
  core::SecretBytes passphrase_;
};

class IdentityKeychain {
 public:
  virtual ~IdentityKeychain() = default;
  virtual KeychainResult<crypto::Identity> unlock_identity(const crypto::Crypto& crypto,
                                                           const KeychainRequest& request) const = 0;
};

class AutoKeychain final : public IdentityKeychain {
 public:
  // `facts` as the opening read them (store::ProcessFacts); by default, as
  // the process says now.
  AutoKeychain(Path base_dir, std::unique_ptr<PassphraseProvider> passphrases, store::LockPolicy policy = {},
               store::ProcessFacts facts = store::ProcessFacts::read())
      : base_dir_(std::move(base_dir)),
        passphrases_(std::move(passphrases)),
        policy_(policy),
        facts_(std::move(facts)) {}

  // At the base directory `facts` name, asking on the terminal.
  static KeychainResult<AutoKeychain> default_interactive(const store::ProcessFacts& facts);

  const Path& base_dir() const { return base_dir_; }

  KeychainResult<crypto::Identity> unlock_identity(const crypto::Crypto& crypto,
                                                   const KeychainRequest& request) const override;

 private:
  Path base_dir_;
  std::unique_ptr<PassphraseProvider> passphrases_;
  store::LockPolicy policy_;
  store::ProcessFacts facts_;
};

// A master seed given directly, with the user id it derives.
class FixedIdentityProvider {
 public:
  static KeychainResult<FixedIdentityProvider> from_master_seed(const crypto::Crypto& crypto,
                                                                cord::ByteView master_seed);

  const LocalIdentityV1& local() const { return local_; }
  const core::UserId& user_id() const { return user_id_; }

 private:
  FixedIdentityProvider(LocalIdentityV1 local, core::UserId user_id)
      : local_(std::move(local)), user_id_(std::move(user_id)) {}

  LocalIdentityV1 local_;
  core::UserId user_id_;
};

}  // namespace vornex::keychain
