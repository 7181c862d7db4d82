// Builds signed vault records for tests: fixed identities, one builder per
// record kind, ways to spoil a record, and the verified form the
// validation engine works on. Never shipped.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vornex/core/records.hpp"
#include "vornex/core/validate/merge.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"

namespace vornex::test {

class VaultBuilder {
 public:
  // The root is the identity of seed 1.
  VaultBuilder();

  const crypto::Crypto& crypto() const { return crypto_; }
  const crypto::Identity& root() const { return identity(1); }
  // The identity whose master seed is 32 copies of `seed`; made once.
  const crypto::Identity& identity(std::uint8_t seed) const;

  // Signs any body, including ones with ids that do not match their inputs.
  core::VaultRecordV1 sign(const crypto::Identity& signer, core::RecordBodyV1 body) const;

  core::GroupId group_id(const std::string& seed) const;
  core::GrantId grant_id(const std::string& seed) const;
  core::GroupMemberId member_id(const core::GroupId& group, const core::PrincipalRefV1& member) const;
  core::UserHandleId user_handle_id(const std::string& handle) const;
  core::VaultHandleId vault_handle_id(const std::string& handle) const;
  core::SecretId secret_id(const core::SecretSelectorV1& selector) const;

  // One builder per record kind; the first argument signs.
  core::VaultRecordV1 vault_root() const;
  core::VaultRecordV1 entry_point(const crypto::Identity& user, std::uint64_t counter = 1) const;
  core::VaultRecordV1 user(const crypto::Identity& signer, const crypto::Identity& user,
                           std::uint64_t counter = 1) const;
  core::VaultRecordV1 user_handle(const crypto::Identity& signer, const std::string& handle, const core::UserId& user,
                                  std::uint64_t counter = 1) const;
  core::VaultRecordV1 vault_handle(const crypto::Identity& signer, const std::string& handle,
                                   std::uint64_t counter = 1) const;
  core::VaultRecordV1 group(const crypto::Identity& signer, const std::string& seed, std::uint64_t counter = 1) const;
  core::VaultRecordV1 group_deleted(const crypto::Identity& signer, const core::GroupId& group,
                                    std::uint64_t counter = 2) const;
  core::VaultRecordV1 member(const crypto::Identity& signer, const core::GroupId& group,
                             const core::PrincipalRefV1& member, std::uint64_t counter = 1) const;
  core::VaultRecordV1 member_deleted(const crypto::Identity& signer, const core::GroupId& group,
                                     const core::PrincipalRefV1& member, std::uint64_t counter = 2) const;
  core::VaultRecordV1 grant(const crypto::Identity& signer, const std::string& seed,
                            const core::PrincipalRefV1& grantee, core::GrantPermissionV1 permission,
                            std::uint64_t counter = 1) const;
  core::VaultRecordV1 grant_deleted(const crypto::Identity& signer, const core::GrantId& grant,
                                    core::GrantPermissionV1 permission, std::uint64_t counter = 2) const;
  core::VaultRecordV1 user_deleted(const crypto::Identity& signer, const core::UserId& user,
                                   std::uint64_t counter = 2) const;
  // A secret whose content key is wrapped to each reader in the given order
  // (a reader may be listed twice); fresh keys make every call's body differ.
  core::VaultRecordV1 secret(const crypto::Identity& signer, const core::SecretSelectorV1& selector,
                             const std::vector<const crypto::Identity*>& readers, std::uint64_t counter = 1) const;
  core::VaultRecordV1 secret_deleted(const crypto::Identity& signer, const core::SecretSelectorV1& selector,
                                     std::uint64_t counter = 2) const;

  // Spoilers.
  static core::VaultRecordV1 with_bad_signature(core::VaultRecordV1 record);
  // A record of a kind this build does not know, properly signed.
  core::VaultRecordV1 unknown_kind(const crypto::Identity& signer) const;

  // The verified form of well-formed known records: key, record hash and
  // the signer as the identity that owns the signing key.
  core::validate::VerifiedRecord verified(const core::VaultRecordV1& record) const;
  std::vector<core::validate::VerifiedRecord> verified(std::span<const core::VaultRecordV1> records) const;
  core::validate::pipeline::SelectedRoot selected_root() const;

 private:
  crypto::Crypto crypto_;
  mutable std::map<std::uint8_t, std::unique_ptr<crypto::Identity>> identities_;
};

// Common selectors and permissions.
core::SecretSelectorV1 selector(std::vector<std::string> path);
core::KeyspaceSelectorV1 prefix(std::vector<std::string> segments);
core::KeyspaceSelectorV1 any_keyspace();
core::GrantPermissionV1 read_permission(core::KeyspaceSelectorV1 selector);
core::GrantPermissionV1 write_permission(core::KeyspaceSelectorV1 selector);
core::GrantPermissionV1 manage_permission(core::KeyspaceSelectorV1 selector);
core::GrantPermissionV1 root_permission();

// One builder for a whole test binary: deriving its identities is the
// costly part, and they are the same every time.
inline const VaultBuilder& shared_builder() {
  static const VaultBuilder builder;
  return builder;
}

}  // namespace vornex::test
