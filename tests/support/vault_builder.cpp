#include "vault_builder.hpp"

#include <stdexcept>

#include "vornex/core/crypto.hpp"
#include "vornex/core/handles.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/signed_records.hpp"
#include "vornex/crypto/wrap.hpp"

namespace vornex::test {

namespace {

template <class T, class E>
T must(std::expected<T, E> result) {
  if (!result) throw std::runtime_error("vault builder: a record could not be made");
  return std::move(*result);
}

core::RecordKey key_for(const core::RecordBodyV1& body, const core::UserId& signer) {
  using namespace core;
  return std::visit(
      [&](const auto& b) -> RecordKey {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, VaultRootRecordV1>) return record_key::VaultRoot{};
        else if constexpr (std::is_same_v<B, EntryPointRecordV1>) return record_key::EntryPoint{signer};
        else if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, UserDeletedRecordV1>)
          return record_key::User{b.user_id};
        else if constexpr (std::is_same_v<B, UserHandleRecordV1>) return record_key::UserHandle{b.handle_id};
        else if constexpr (std::is_same_v<B, GroupRecordV1> || std::is_same_v<B, GroupDeletedRecordV1>)
          return record_key::Group{b.group_id};
        else if constexpr (std::is_same_v<B, GroupMemberRecordV1> || std::is_same_v<B, GroupMemberDeletedRecordV1>)
          return record_key::GroupMember{b.group_member_id};
        else if constexpr (std::is_same_v<B, GrantRecordV1> || std::is_same_v<B, GrantDeletedRecordV1>)
          return record_key::Grant{b.grant_id};
        else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>)
          return record_key::Secret{b.secret_id};
        else
          return record_key::VaultHandle{b.handle_id};
      },
      body);
}

}  // namespace

VaultBuilder::VaultBuilder() { (void)root(); }

const crypto::Identity& VaultBuilder::identity(std::uint8_t seed) const {
  auto& slot = identities_[seed];
  if (!slot) {
    const cord::Bytes master(crypto::kMasterSeedSize, seed);
    slot = std::make_unique<crypto::Identity>(must(crypto::Identity::from_master_seed(crypto_, master)));
  }
  return *slot;
}

core::VaultRecordV1 VaultBuilder::sign(const crypto::Identity& signer, core::RecordBodyV1 body) const {
  return must(crypto::signed_payload(crypto_, signer, std::move(body)));
}

core::GroupId VaultBuilder::group_id(const std::string& seed) const {
  return core::GroupId(
      must(core::derive_hash(crypto_, core::domains::kGroup, core::IdSeed(cord::Bytes(seed.begin(), seed.end())))));
}
core::GrantId VaultBuilder::grant_id(const std::string& seed) const {
  return core::GrantId(
      must(core::derive_hash(crypto_, core::domains::kGrant, core::IdSeed(cord::Bytes(seed.begin(), seed.end())))));
}
core::GroupMemberId VaultBuilder::member_id(const core::GroupId& group, const core::PrincipalRefV1& member) const {
  return must(core::derive_group_member_id(crypto_, group, member));
}
core::UserHandleId VaultBuilder::user_handle_id(const std::string& handle) const {
  return must(core::derive_user_handle_id(crypto_, handle));
}
core::VaultHandleId VaultBuilder::vault_handle_id(const std::string& handle) const {
  return must(core::derive_vault_handle_id(crypto_, handle));
}
core::SecretId VaultBuilder::secret_id(const core::SecretSelectorV1& selector) const {
  return must(core::derive_secret_id(crypto_, selector));
}

core::VaultRecordV1 VaultBuilder::vault_root() const {
  return sign(root(), core::VaultRootRecordV1{root().user_id(), root().hpke_public_key()});
}
core::VaultRecordV1 VaultBuilder::entry_point(const crypto::Identity& user, std::uint64_t counter) const {
  return sign(user, core::EntryPointRecordV1{root().user_id(), user.hpke_public_key(), counter});
}
core::VaultRecordV1 VaultBuilder::user(const crypto::Identity& signer, const crypto::Identity& user,
                                       std::uint64_t counter) const {
  return sign(signer,
              core::UserRecordV1{user.user_id(), user.signing_public_key(), user.hpke_public_key(), counter});
}
core::VaultRecordV1 VaultBuilder::user_handle(const crypto::Identity& signer, const std::string& handle,
                                              const core::UserId& user, std::uint64_t counter) const {
  return sign(signer, core::UserHandleRecordV1{user_handle_id(handle), handle, user, counter});
}
core::VaultRecordV1 VaultBuilder::vault_handle(const crypto::Identity& signer, const std::string& handle,
                                               std::uint64_t counter) const {
  return sign(signer, core::VaultHandleRecordV1{vault_handle_id(handle), handle, counter});
}
core::VaultRecordV1 VaultBuilder::group(const crypto::Identity& signer, const std::string& seed,
                                        std::uint64_t counter) const {
  return sign(signer,
              core::GroupRecordV1{group_id(seed), core::IdSeed(cord::Bytes(seed.begin(), seed.end())), seed, counter});
}
core::VaultRecordV1 VaultBuilder::group_deleted(const crypto::Identity& signer, const core::GroupId& group,
                                                std::uint64_t counter) const {
  return sign(signer, core::GroupDeletedRecordV1{group, counter});
}
core::VaultRecordV1 VaultBuilder::member(const crypto::Identity& signer, const core::GroupId& group,
                                         const core::PrincipalRefV1& member, std::uint64_t counter) const {
  return sign(signer, core::GroupMemberRecordV1{member_id(group, member), group, member, counter});
}
core::VaultRecordV1 VaultBuilder::member_deleted(const crypto::Identity& signer, const core::GroupId& group,
                                                 const core::PrincipalRefV1& member, std::uint64_t counter) const {
  return sign(signer, core::GroupMemberDeletedRecordV1{member_id(group, member), group, member, counter});
}
core::VaultRecordV1 VaultBuilder::grant(const crypto::Identity& signer, const std::string& seed,
                                        const core::PrincipalRefV1& grantee, core::GrantPermissionV1 permission,
                                        std::uint64_t counter) const {
  return sign(signer, core::GrantRecordV1{grant_id(seed), core::IdSeed(cord::Bytes(seed.begin(), seed.end())),
                                          grantee, std::move(permission), counter});
}
core::VaultRecordV1 VaultBuilder::grant_deleted(const crypto::Identity& signer, const core::GrantId& grant,
                                                core::GrantPermissionV1 permission, std::uint64_t counter) const {
  return sign(signer, core::GrantDeletedRecordV1{grant, std::move(permission), counter});
}
core::VaultRecordV1 VaultBuilder::user_deleted(const crypto::Identity& signer, const core::UserId& user,
                                               std::uint64_t counter) const {
  return sign(signer, core::UserDeletedRecordV1{user, std::nullopt, counter});
}

core::VaultRecordV1 VaultBuilder::secret(const crypto::Identity& signer, const core::SecretSelectorV1& selector,
                                         const std::vector<const crypto::Identity*>& readers,
                                         std::uint64_t counter) const {
  const crypto::ContentKey key = crypto::ContentKey::generate();
  const crypto::ContentNonce nonce = crypto::ContentNonce::generate();
  const cord::Bytes aad = must(cord::serialize(selector));
  core::SealedPayloadV1 payload{nonce.to_vec(), {}, {}};
  const std::string value = "value";
  payload.ciphertext = must(crypto::seal_content(key, nonce, aad, cord::Bytes(value.begin(), value.end())));
  for (const crypto::Identity* reader : readers) {
    auto wrapped = must(crypto::wrap_content_key(reader->hpke_public_key(), reader->user_id().bytes(), aad, key));
    payload.recipient_slots.push_back(core::RecipientSlotV1{reader->user_id().to_vec(),
                                                            std::move(wrapped.encapsulated_key),
                                                            std::move(wrapped.wrapped_key)});
  }
  return sign(signer, core::SecretRecordV1{secret_id(selector), selector, std::move(payload), counter});
}
core::VaultRecordV1 VaultBuilder::secret_deleted(const crypto::Identity& signer, const core::SecretSelectorV1& selector,
                                                 std::uint64_t counter) const {
  return sign(signer, core::SecretDeletedRecordV1{secret_id(selector), selector, counter});
}

core::VaultRecordV1 VaultBuilder::with_bad_signature(core::VaultRecordV1 record) {
  if (record.signature.empty()) record.signature.push_back(0);
  record.signature.front() ^= 0x01;
  return record;
}

core::VaultRecordV1 VaultBuilder::unknown_kind(const crypto::Identity& signer) const {
  // Variant index 14, then a payload no build knows yet.
  core::VaultRecordV1 record{cord::Evolving<core::RecordBodyV1>::unknown(cord::Bytes{0, 0, 0, 14, 1, 2, 3}),
                             signer.signing_public_key(),
                             {}};
  record.signature = signer.sign(core::domains::kSigned, must(core::signed_record_message(record.body)));
  return record;
}

core::validate::VerifiedRecord VaultBuilder::verified(const core::VaultRecordV1& record) const {
  const core::RecordBodyV1* body = record.body.known();
  if (body == nullptr) throw std::runtime_error("vault builder: cannot verify an unknown record kind");
  const crypto::Identity* signer = nullptr;
  for (const auto& [seed, identity] : identities_) {
    if (identity->signing_public_key() == record.signing_public_key) signer = identity.get();
  }
  if (signer == nullptr) throw std::runtime_error("vault builder: record signed by a stranger");
  const core::HashValue hash = crypto_.hash(core::domains::kRecordHash, must(cord::serialize(record)));
  return core::validate::VerifiedRecord{record, key_for(*body, signer->user_id()), hash, signer->user_id()};
}

std::vector<core::validate::VerifiedRecord> VaultBuilder::verified(std::span<const core::VaultRecordV1> records) const {
  std::vector<core::validate::VerifiedRecord> out;
  out.reserve(records.size());
  for (const auto& record : records) out.push_back(verified(record));
  return out;
}

core::validate::pipeline::SelectedRoot VaultBuilder::selected_root() const {
  return {root().user_id(), root().hpke_public_key(), root().signing_public_key(),
          must(core::key_hash(crypto_, root().signing_public_key()))};
}

core::SecretSelectorV1 selector(std::vector<std::string> path) { return core::SecretSelectorV1{std::move(path), {}}; }
core::KeyspaceSelectorV1 prefix(std::vector<std::string> segments) {
  return core::KeyspaceSelectorV1{core::tuple_matcher::Prefix{std::move(segments)}, {}};
}
core::KeyspaceSelectorV1 any_keyspace() { return core::KeyspaceSelectorV1{core::tuple_matcher::Any{}, {}}; }
core::GrantPermissionV1 read_permission(core::KeyspaceSelectorV1 selector) {
  return core::grant_permission::Read{std::move(selector)};
}
core::GrantPermissionV1 write_permission(core::KeyspaceSelectorV1 selector) {
  return core::grant_permission::Write{std::move(selector)};
}
core::GrantPermissionV1 manage_permission(core::KeyspaceSelectorV1 selector) {
  return core::ManageKeyspaceGrantV1{
      std::move(selector), {core::grant_class::Read{}, core::grant_class::Write{}, core::grant_class::Manage{}}};
}
core::GrantPermissionV1 root_permission() { return core::grant_permission::Root{}; }

}  // namespace vornex::test
