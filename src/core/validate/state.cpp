#include "vornex/core/validate/state.hpp"

#include <algorithm>
#include <limits>

#include "authority_lookup.hpp"
#include "vornex/core/prefix_sort.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

const SecretSelectorV1* secret_selector(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return &secret->selector;
  if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&body)) return &deleted->selector;
  return nullptr;
}

const SecretId* secret_id_of(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return &secret->secret_id;
  if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&body)) return &deleted->secret_id;
  return nullptr;
}

bool has_conflict(const EffectiveState& state, const SecretId& id) {
  return state.conflicts.contains(RecordKey{record_key::Secret{id}});
}

ActiveSecretV1 active_of(const VerifiedRecord& record) {
  return ActiveSecretV1{record.record, std::get<SecretRecordV1>(record.body())};
}

// Never destroyed: threads still inside a call at exit may read it. Made
// as the library loads, so that no fork can catch it half made.
const AuthoritySet& kEmpty = *new AuthoritySet{};

}  // namespace

const AuthoritySet& authority_in(const Authorities& authorities, const UserId& user) {
  const AuthoritySet* set = authorities.find(PrincipalRefV1{user});
  return set == nullptr ? kEmpty : *set;
}

void EffectiveState::attach_verified_records(std::vector<VerifiedRecord> verified,
                                             std::optional<std::uint64_t> highest) {
  highest_counter = highest;
  records = std::move(verified);
  const detail::AuthorityLookup authority(authorities);
  // The authorised writes grouped by secret, in record order within each
  // secret; the index then fills in id order, each entry at the end.
  struct Write {
    std::uint64_t prefix;
    const SecretId* id;
    std::size_t index;
  };
  std::vector<Write> writes;
  count_work(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const VerifiedRecord& record = records[i];
    const SecretSelectorV1* selector = secret_selector(record.body());
    if (selector == nullptr) continue;
    // Read authority alone never makes a write count.
    if (!authority.can_write(record.signer, *selector)) continue;
    const SecretId* id = secret_id_of(record.body());
    writes.push_back(Write{detail::byte_prefix(id->bytes()), id, i});
  }
  prefix_sort(writes, [](const Write& w) { return w.prefix; }, [](const Write& a, const Write& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : *a.id < *b.id;
  });
  // One entry per secret, met in id order: each goes in at the end of a
  // list sized once.
  std::size_t secrets = 0;
  // The writes are met twice: counted into secrets, then each compared
  // with its secret's newest so far.
  count_work(2 * writes.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (i == 0 || writes[i].prefix != writes[i - 1].prefix || !(*writes[i].id == *writes[i - 1].id)) ++secrets;
  }
  FlatMap<SecretId, std::pair<std::size_t, std::size_t>> latest;
  latest.reserve(secrets);
  for (auto group = writes.begin(); group != writes.end();) {
    std::size_t newest = group->index;
    auto it = group + 1;
    for (; it != writes.end() && it->prefix == group->prefix && *it->id == *group->id; ++it) {
      // On equality the earlier write stays.
      if (compare_lww(records[it->index], records[newest]) > 0) newest = it->index;
    }
    latest.emplace(*group->id, std::pair{newest, group->index});
    group = it;
  }
  latest_secret = std::move(latest);
}

const VerifiedRecord* EffectiveState::latest_authorized_secret_record(const SecretId& id) const {
  const auto it = latest_secret.find(id);
  return it == latest_secret.end() ? nullptr : &records[it->second.first];
}

namespace {

// The latest authorised write of a secret when it gives the secret a value.
const VerifiedRecord* value_write(const EffectiveState& state, const SecretId& id) {
  const VerifiedRecord* latest = state.latest_authorized_secret_record(id);
  if (latest == nullptr || !std::holds_alternative<SecretRecordV1>(latest->body())) return nullptr;
  return latest;
}

}  // namespace

CoreResult<const VerifiedRecord*> EffectiveState::live_secret_winner(const SecretSelectorV1& selector,
                                                                     const CryptoProvider& crypto) const {
  VX_TRY_ASSIGN(const SecretId id, derive_secret_id(crypto, selector));
  return value_write(*this, id);
}

CoreResult<const VerifiedRecord*> EffectiveState::live_secret(const SecretSelectorV1& selector,
                                                              const CryptoProvider& crypto) const {
  VX_TRY_ASSIGN(const SecretId id, derive_secret_id(crypto, selector));
  if (has_conflict(*this, id)) return nullptr;
  return value_write(*this, id);
}

CoreResult<std::optional<ActiveSecretV1>> EffectiveState::secret_record(const SecretSelectorV1& selector,
                                                                        const CryptoProvider& crypto) const {
  VX_TRY_ASSIGN(const VerifiedRecord* live, live_secret(selector, crypto));
  if (live == nullptr) return std::optional<ActiveSecretV1>{};
  return std::optional<ActiveSecretV1>{active_of(*live)};
}

std::vector<ActiveSecretV1> EffectiveState::secret_records() const {
  std::vector<std::pair<std::size_t, std::size_t>> live;  // (first, latest)
  for (const auto& [id, entry] : latest_secret) {
    if (conflicts.contains(records[entry.first].key)) continue;
    live.emplace_back(entry.second, entry.first);
  }
  std::sort(live.begin(), live.end());
  std::vector<ActiveSecretV1> out;
  for (const auto& [first, latest] : live) {
    if (std::holds_alternative<SecretRecordV1>(records[latest].body())) out.push_back(active_of(records[latest]));
  }
  return out;
}

SecretStatus EffectiveState::classify_secret_for_user(const SecretSelectorV1& selector, const UserId& user,
                                                      const CryptoProvider& crypto) const {
  if (blocked) return SecretStatus::Invalid;
  const auto id = derive_secret_id(crypto, selector);
  if (!id) return SecretStatus::Invalid;
  if (has_conflict(*this, *id)) return SecretStatus::Conflicted;
  const VerifiedRecord* latest = latest_authorized_secret_record(*id);
  const auto* secret = latest == nullptr ? nullptr : std::get_if<SecretRecordV1>(&latest->body());
  if (secret == nullptr) return SecretStatus::Missing;
  if (!authorities.can_read(user, secret->selector)) return SecretStatus::Unauthorized;

  const auto duplicate = has_duplicate_recipient(secret->payload);
  if (!duplicate || *duplicate) return SecretStatus::Invalid;

  if (!users.contains(user)) return SecretStatus::Unauthorized;
  const auto sealed_to_user = has_recipient(secret->payload, user.bytes());
  if (!sealed_to_user) return SecretStatus::Invalid;
  return *sealed_to_user ? SecretStatus::ActiveDecryptable : SecretStatus::NotEncryptedForReader;
}

AuthoritySet EffectiveState::authority_for_user(const UserId& user) const { return authority_ref(user); }

const AuthoritySet& EffectiveState::authority_ref(const UserId& user) const { return authority_in(authorities, user); }

std::vector<UserId> EffectiveState::current_reader_entries(const SecretSelectorV1& selector) const {
  std::vector<UserId> readers;
  for (const auto& [id, record] : users) {
    if (authorities.can_read(id, selector)) readers.push_back(id);
  }
  return readers;  // the map already yields ascending ids
}

bool EffectiveState::secret_record_is_current(const HashValue& hash) const {
  const auto it = std::find_if(records.begin(), records.end(), [&](const VerifiedRecord& r) { return r.hash == hash; });
  if (it == records.end()) return false;
  const SecretId* id = secret_id_of(it->body());
  if (id == nullptr || has_conflict(*this, *id)) return false;
  const VerifiedRecord* latest = latest_authorized_secret_record(*id);
  return latest != nullptr && latest->hash == hash;
}

std::set<HashValue> EffectiveState::verified_record_hashes() const {
  std::set<HashValue> out;
  for (const VerifiedRecord& record : records) out.insert(record.hash);
  return out;
}

std::uint64_t EffectiveState::rollback_counter_floor() const {
  std::uint64_t floor = 0;
  for (const auto& [key, report] : conflicts) {
    if (report.rollback_counter) floor = std::max(floor, next_counter(report.rollback_counter));
  }
  return floor;
}

std::uint64_t next_counter(std::optional<std::uint64_t> highest) noexcept {
  if (!highest) return 0;
  return *highest == std::numeric_limits<std::uint64_t>::max() ? *highest : *highest + 1;
}

}  // namespace vornex::core::validate
