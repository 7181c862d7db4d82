// What a validated vault means, and the questions the operations ask of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/flat_map.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/authorities.hpp"
#include "vornex/core/validate/merge.hpp"

namespace vornex::core::validate {

enum class SecretStatus : std::uint8_t {
  ActiveDecryptable = 0,
  NotEncryptedForReader = 1,
  Unauthorized = 2,
  Missing = 3,
  Conflicted = 4,
  Invalid = 5,
};

// One live secret.
struct ActiveSecretV1 {
  VaultRecordV1 envelope;
  SecretRecordV1 secret;
  bool operator==(const ActiveSecretV1&) const = default;
};

class EffectiveState {
 public:
  std::optional<std::uint64_t> highest_counter;
  std::vector<VerifiedRecord> records;
  std::optional<UserId> root_user_id;
  std::optional<HashValue> root_fingerprint;
  std::map<UserId, UserRecordV1> users;
  std::map<UserHandleId, UserHandleRecordV1> user_handles;
  std::map<VaultHandleId, VaultHandleRecordV1> vault_handles;
  std::map<GroupId, GroupRecordV1> groups;
  std::map<GroupMemberId, GroupMemberRecordV1> group_members;
  std::map<GrantId, GrantRecordV1> grants;
  std::map<UserId, EntryPointRecordV1> entry_points;
  std::set<UserId> deleted_users;
  std::set<GroupId> deleted_groups;
  std::set<GrantId> deleted_grants;
  Authorities authorities;
  std::map<RecordKey, ConflictReport> conflicts;
  // Per secret: index in `records` of its latest authorised write, and of
  // the first authorised write seen.
  FlatMap<SecretId, std::pair<std::size_t, std::size_t>> latest_secret;
  bool blocked = false;

  bool operator==(const EffectiveState&) const = default;

  // Stores the verified records and indexes the latest authorised write of
  // every secret.
  void attach_verified_records(std::vector<VerifiedRecord> verified, std::optional<std::uint64_t> highest);

  const VerifiedRecord* latest_authorized_secret_record(const SecretId& id) const;
  CoreResult<const VerifiedRecord*> live_secret_winner(const SecretSelectorV1& selector,
                                                       const CryptoProvider& crypto) const;
  // The live write of a secret where it lies in `records`: null when the
  // secret is missing, deleted or conflicted. `secret_record` copies it.
  CoreResult<const VerifiedRecord*> live_secret(const SecretSelectorV1& selector, const CryptoProvider& crypto) const;
  CoreResult<std::optional<ActiveSecretV1>> secret_record(const SecretSelectorV1& selector,
                                                          const CryptoProvider& crypto) const;
  // Every live secret, copied, in order of first write.
  std::vector<ActiveSecretV1> secret_records() const;
  // The live secrets whose record `keep` accepts, in the same order, where
  // they lie in `records`: each candidate is tested in place and only those
  // kept are collected, so a narrow question costs no copy of the rest.
  template <class Keep>
  std::vector<const VerifiedRecord*> live_secrets_where(Keep&& keep) const;
  SecretStatus classify_secret_for_user(const SecretSelectorV1& selector, const UserId& user,
                                        const CryptoProvider& crypto) const;
  AuthoritySet authority_for_user(const UserId& user) const;
  // The same authority without a copy; valid while the state lives.
  const AuthoritySet& authority_ref(const UserId& user) const;
  std::vector<UserId> current_reader_entries(const SecretSelectorV1& selector) const;
  bool secret_record_is_current(const HashValue& hash) const;
  std::set<HashValue> verified_record_hashes() const;
  std::uint64_t rollback_counter_floor() const;
};

template <class Keep>
std::vector<const VerifiedRecord*> EffectiveState::live_secrets_where(Keep&& keep) const {
  std::vector<std::pair<std::size_t, std::size_t>> kept;  // (first write, latest write)
  for (const auto& [id, entry] : latest_secret) {
    const VerifiedRecord& latest = records[entry.first];
    const auto* secret = std::get_if<SecretRecordV1>(&latest.body());
    if (secret == nullptr || conflicts.contains(latest.key) || !keep(*secret)) continue;
    kept.emplace_back(entry.second, entry.first);
  }
  std::sort(kept.begin(), kept.end());
  std::vector<const VerifiedRecord*> out;
  out.reserve(kept.size());
  for (const auto& [first, latest] : kept) out.push_back(&records[latest]);
  return out;
}

std::uint64_t next_counter(std::optional<std::uint64_t> highest) noexcept;

// The authority held in `authorities` by a user; an empty set when none.
const AuthoritySet& authority_in(const Authorities& authorities, const UserId& user);

}  // namespace vornex::core::validate
