#include "vornex/core/validate/pipeline.hpp"

#include <algorithm>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "cord/try.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/structure.hpp"

namespace vornex::core::validate {

namespace {

using pipeline::SelectedRoot;

// One distinct record of the vault with its record hash.
struct Listed {
  const VaultRecordV1* record;
  const HashValue* hash;
};

ValidationReport refused(ValidationIssue issue) {
  ValidationReport report;
  report.effective.blocked = true;
  report.issues.push_back(std::move(issue));
  return report;
}

class Run {
 public:
  // With `owns_records`, the listed records belong to this run (they are not
  // const objects) and are moved into the report instead of copied.
  Run(const Ratchet& ratchet, const CryptoProvider& crypto, const VerifiedHashes& verified, bool owns_records)
      : ratchet_(ratchet), crypto_(crypto), verified_(verified), owns_records_(owns_records) {}

  CoreResult<ValidationReport> validate(const std::vector<Listed>& list);

 private:
  // The cache is consulted before any signed message is built.
  CoreResult<bool> signature_ok(const Listed& entry) const {
    if (verified_.contains(*entry.hash)) return true;
    VX_TRY_ASSIGN(const cord::Bytes message, signed_record_message(entry.record->body));
    return crypto_.verify_signature(domains::kSigned, entry.record->signing_public_key, message,
                                    entry.record->signature);
  }
  // Where a failure to build the message only leaves the record out.
  bool signature_ok_or_skip(const Listed& entry) const {
    auto ok = signature_ok(entry);
    return ok && *ok;
  }

  CoreResult<std::vector<SelectedRoot>> root_candidates(const std::vector<Listed>& list) const;

  VerifiedRecord verified(const Listed& entry, RecordKey key, const UserId& signer) const {
    if (!owns_records_) return VerifiedRecord{*entry.record, std::move(key), *entry.hash, signer};
    return VerifiedRecord{std::move(*const_cast<VaultRecordV1*>(entry.record)), std::move(key),
                          std::move(*const_cast<HashValue*>(entry.hash)), signer};
  }

  const Ratchet& ratchet_;
  const CryptoProvider& crypto_;
  const VerifiedHashes& verified_;
  bool owns_records_;
};

CoreResult<std::vector<SelectedRoot>> Run::root_candidates(const std::vector<Listed>& list) const {
  std::vector<SelectedRoot> candidates;
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    const auto* root = body ? std::get_if<VaultRootRecordV1>(body) : nullptr;
    if (root == nullptr) continue;
    const cord::Bytes& key = entry.record->signing_public_key;
    VX_TRY_ASSIGN(const UserId derived, derive_user_id(crypto_, key, root->hpke_public_key));
    if (derived != root->user_id) continue;
    VX_TRY_ASSIGN(const bool signed_ok, signature_ok(entry));
    if (!signed_ok) continue;
    VX_TRY_ASSIGN(HashValue fingerprint, key_hash(crypto_, key));
    if (fingerprint.bytes() != ratchet_.trusted_root()) continue;
    candidates.push_back(SelectedRoot{root->user_id, root->hpke_public_key, key, std::move(fingerprint)});
  }
  return candidates;
}

CoreResult<ValidationReport> Run::validate(const std::vector<Listed>& list) {
  VX_TRY_ASSIGN(const std::vector<SelectedRoot> candidates, root_candidates(list));
  if (candidates.empty()) return refused(issue::RootNotTrusted{});
  if (candidates.size() > 1) return refused(issue::AmbiguousRoot{});
  const SelectedRoot& root = candidates.front();

  // Users whose own keys give their id; a failing one is reported later.
  std::vector<std::pair<const Listed*, const UserRecordV1*>> user_candidates;
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    const auto* user = body ? std::get_if<UserRecordV1>(body) : nullptr;
    if (user != nullptr && !structurally_valid_user(*user, crypto_)) user_candidates.emplace_back(&entry, user);
  }

  // Credit users whose records are signed by a key already known, until a
  // pass credits nobody: list order must not decide who is credited.
  std::set<UserId> credited{root.user_id};
  std::set<cord::Bytes> known_keys{root.signing_public_key};
  std::map<cord::Bytes, std::set<UserId>> claimants;
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [entry, user] : user_candidates) {
      if (credited.contains(user->user_id)) continue;
      if (!known_keys.contains(entry->record->signing_public_key)) continue;
      if (!signature_ok_or_skip(*entry)) continue;
      claimants[user->signing_public_key].insert(user->user_id);
      credited.insert(user->user_id);
      known_keys.insert(user->signing_public_key);
      grew = true;
    }
  }

  std::set<UserId> entry_users;
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    const auto* ep = body ? std::get_if<EntryPointRecordV1>(body) : nullptr;
    if (ep == nullptr || ep->root_user_id != root.user_id || !signature_ok_or_skip(entry)) continue;
    VX_TRY_ASSIGN(UserId user, derive_user_id(crypto_, entry.record->signing_public_key, ep->hpke_public_key));
    entry_users.insert(std::move(user));
  }

  std::map<cord::Bytes, UserId> signers{{root.signing_public_key, root.user_id}};
  std::set<cord::Bytes> ambiguous;
  std::vector<HashValue> ambiguous_fingerprints;
  for (const auto& [key, users] : claimants) {
    if (key == root.signing_public_key) continue;
    if (users.size() == 1) {
      signers.emplace(key, *users.begin());
      continue;
    }
    std::vector<UserId> entered;
    for (const UserId& u : users) {
      if (entry_users.contains(u)) entered.push_back(u);
    }
    if (entered.size() == 1) {
      signers.emplace(key, entered.front());
      continue;
    }
    ambiguous.insert(key);
    VX_TRY_ASSIGN(HashValue fingerprint, key_hash(crypto_, key));
    ambiguous_fingerprints.push_back(std::move(fingerprint));
  }

  ValidationReport report;
  std::uint64_t undecodable = 0;
  std::vector<VerifiedRecord> records;
  records.reserve(list.size());
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    if (body == nullptr) {
      ++undecodable;
      continue;
    }
    if (auto found = structurally_validate_record(*entry.record, *body, root, crypto_)) {
      report.issues.push_back(std::move(*found));
      continue;
    }
    const cord::Bytes& key = entry.record->signing_public_key;
    if (ambiguous.contains(key)) continue;
    const auto signer = signers.find(key);
    if (signer == signers.end()) {
      VX_TRY_ASSIGN(HashValue fingerprint, key_hash(crypto_, key));
      report.issues.push_back(issue::UnknownSignerKey{std::move(fingerprint)});
      continue;
    }
    RecordKey record_key = record_key_for(*body, signer->second);
    VX_TRY_ASSIGN(const bool signed_ok, signature_ok(entry));
    if (!signed_ok) {
      report.issues.push_back(issue::InvalidSignature{std::move(record_key)});
      continue;
    }
    records.push_back(verified(entry, std::move(record_key), signer->second));
  }

  // Watermarks come from the state without a floor, so a rollback cannot
  // hide the records that show it.
  auto [first_state, deletions] = resolve_effective_with_deletions(root, records, {});
  Watermarks marks = admitted_watermarks(records, first_state, deletions);

  RollbackFloor floor;
  for (const auto& [key, trusted] : ratchet_.counters()) {
    const auto it = marks.counters.find(key);
    const std::uint64_t admitted = it == marks.counters.end() ? 0 : it->second;
    if (admitted < trusted) floor.emplace(key, trusted);
  }

  // Without a floor the state is the one already computed.
  EffectiveState state =
      floor.empty() ? std::move(first_state) : resolve_effective_with_deletions(root, records, floor).first;
  if (state.blocked) report.issues.push_back(issue::AuthorityDidNotConverge{});

  for (auto& [key, conflict] : materialize_conflicts(lww_resolution(records, floor, state), records)) {
    state.conflicts.insert_or_assign(key, std::move(conflict));
  }
  for (const auto& [key, trusted] : floor) {
    const auto mark = marks.counters.find(key);
    const std::uint64_t admitted = mark == marks.counters.end() ? 0 : mark->second;
    std::vector<std::pair<cord::Bytes, const VaultRecordV1*>> found;
    for (const VerifiedRecord& r : records) {
      if (r.key == key && record_counter(r.body()) == admitted) {
        found.emplace_back(cord::serialize(r.record).value_or(cord::Bytes{}), &r.record);
      }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return cord::compare_bytes(a.first, b.first) < 0;
    });
    ConflictReport conflict{trusted, std::nullopt, key, {}, admitted};
    for (const auto& [encoding, record] : found) {
      if (conflict.candidates.empty() || !(conflict.candidates.back() == *record)) {
        conflict.candidates.push_back(*record);
      }
    }
    if (const auto origin = marks.origins.find(key); origin != marks.origins.end()) {
      conflict.origin = origin->second;
    } else if (const auto trusted_origin = ratchet_.origins().find(key); trusted_origin != ratchet_.origins().end()) {
      conflict.origin = trusted_origin->second;
    }
    state.conflicts.insert_or_assign(key, std::move(conflict));
  }

  std::optional<std::uint64_t> highest;
  for (const auto& [key, counter] : marks.counters) highest = std::max(highest.value_or(0), counter);
  state.attach_verified_records(std::move(records), highest);

  // Only what raises the trust state, so a clean reopen writes nothing. The
  // map nodes move over whole, in key order, so each goes in at the end.
  auto& counters = report.ratchet_update.counters;
  for (auto it = marks.counters.begin(); it != marks.counters.end();) {
    const auto next = std::next(it);
    const auto trusted = ratchet_.counters().find(it->first);
    if (trusted == ratchet_.counters().end() || trusted->second < it->second) {
      counters.insert(counters.end(), marks.counters.extract(it));
    }
    it = next;
  }
  auto& origins = report.ratchet_update.origins;
  for (auto it = marks.origins.begin(); it != marks.origins.end();) {
    const auto next = std::next(it);
    if (!ratchet_.origins().contains(it->first)) origins.insert(origins.end(), marks.origins.extract(it));
    it = next;
  }
  report.warnings = warnings_for(undecodable);
  for (HashValue& fingerprint : ambiguous_fingerprints) {
    report.warnings.emplace_back(warning::AmbiguousSignerKey{std::move(fingerprint)});
  }
  report.effective = std::move(state);
  return report;
}

// The first eight bytes of a hash as a number, for a cheap first sort key.
std::uint64_t hash_prefix(const HashValue& hash) {
  std::uint64_t prefix = 0;
  const cord::Bytes& bytes = hash.bytes();
  for (std::size_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < bytes.size() ? bytes[i] : 0);
  return prefix;
}

// Distinct records by record hash, the first met kept. Sorting on a number
// first keeps the full comparisons to hashes that share their prefix.
std::vector<Listed> distinct(std::vector<Listed> all) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) order[i] = {hash_prefix(*all[i].hash), i};
  std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    if (const auto c = *all[a.second].hash <=> *all[b.second].hash; c != 0) return c < 0;
    return a.second < b.second;
  });
  std::vector<bool> drop(all.size(), false);
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (order[k].first == order[k - 1].first && *all[order[k].second].hash == *all[order[k - 1].second].hash) {
      drop[order[k].second] = true;
    }
  }
  std::vector<Listed> out;
  out.reserve(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!drop[i]) out.push_back(all[i]);
  }
  return out;
}

CoreResult<ValidationReport> gate(const Ratchet& ratchet, auto&& run_v1) {
  const std::uint64_t remembered = ratchet.format_version();
  if (remembered > kCurrentFormatVersion) {
    return refused(issue::FormatVersionRegression{remembered, kCurrentFormatVersion});
  }
  VX_TRY_ASSIGN(ValidationReport report, run_v1());
  if (remembered == 0 && report.issues.empty()) report.ratchet_update.format_version = kCurrentFormatVersion;
  return report;
}

}  // namespace

CoreResult<ValidationReport> validate_v1(const cord::Set<VaultRecordV1>& vault, const Ratchet& ratchet,
                                         const CryptoProvider& crypto, const VerifiedHashes& verified) {
  std::vector<HashValue> hashes;
  hashes.reserve(vault.size());
  cord::Bytes scratch;
  for (const VaultRecordV1& record : vault) {
    scratch.clear();
    VX_TRY(cord::serialize_into(scratch, record));
    hashes.push_back(crypto.hash(domains::kRecordHash, scratch));
  }
  std::vector<Listed> list;
  list.reserve(vault.size());
  for (std::size_t i = 0; i < vault.size(); ++i) list.push_back(Listed{&vault.items()[i], &hashes[i]});
  return Run(ratchet, crypto, verified, false).validate(distinct(std::move(list)));
}

CoreResult<ValidationReport> validate_vault_with_verified(const cord::Set<VaultRecordV1>& vault,
                                                          const Ratchet& ratchet, const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  return gate(ratchet, [&] { return validate_v1(vault, ratchet, crypto, verified); });
}

namespace {

CoreResult<ValidationReport> validate_hashed(std::span<const HashedRecord> vault, const Ratchet& ratchet,
                                             const CryptoProvider& crypto, const VerifiedHashes& verified,
                                             bool owns_records) {
  return gate(ratchet, [&]() -> CoreResult<ValidationReport> {
    std::vector<Listed> list;
    list.reserve(vault.size());
    for (const HashedRecord& r : vault) list.push_back(Listed{&r.record, &r.hash});
    return Run(ratchet, crypto, verified, owns_records).validate(distinct(std::move(list)));
  });
}

}  // namespace

CoreResult<ValidationReport> validate_vault_with_verified(std::span<const HashedRecord> vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  return validate_hashed(vault, ratchet, crypto, verified, false);
}

CoreResult<ValidationReport> validate_vault_with_verified(std::vector<HashedRecord>&& vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  // The records are consumed: whatever validation keeps is moved out of them.
  std::vector<HashedRecord> owned = std::move(vault);
  return validate_hashed(owned, ratchet, crypto, verified, true);
}

CoreResult<ValidationReport> validate_vault(const cord::Set<VaultRecordV1>& vault, const Ratchet& ratchet,
                                            const CryptoProvider& crypto) {
  return validate_vault_with_verified(vault, ratchet, crypto, VerifiedHashes{});
}

Watermarks admitted_watermarks(std::span<const VerifiedRecord> records, const EffectiveState& state,
                               const std::set<HashValue>& admitted_deletions) {
  std::set<UserId> entry_signers;
  for (const VerifiedRecord& r : records) {
    if (std::holds_alternative<EntryPointRecordV1>(r.body())) entry_signers.insert(r.signer);
  }
  Watermarks marks;
  for (const VerifiedRecord& r : records) {
    const AuthoritySet& authority = state.authority_ref(r.signer);
    const bool admitted = std::visit(
        [&](const auto& b) -> bool {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, VaultRootRecordV1>) {
            return false;
          } else if constexpr (std::is_same_v<B, EntryPointRecordV1>) {
            return true;
          } else if constexpr (std::is_same_v<B, UserRecordV1>) {
            return authority.is_root && entry_signers.contains(b.user_id);
          } else if constexpr (std::is_same_v<B, GroupDeletedRecordV1> || std::is_same_v<B, GrantDeletedRecordV1> ||
                               std::is_same_v<B, UserDeletedRecordV1>) {
            return admitted_deletions.contains(r.hash);
          } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
            return authority.can_create_permission(b.permission);
          } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
            return authority.can_write(b.selector);
          } else {
            return authority.is_root;
          }
        },
        r.body());
    if (!admitted) continue;
    auto [it, inserted] = marks.counters.try_emplace(r.key, record_counter(r.body()));
    if (!inserted) it->second = std::max(it->second, record_counter(r.body()));
    // One search: the slot is taken only by a kind that has an origin, and
    // filled only when this is the first such record of the key.
    const auto first_origin = [&](auto make) {
      auto [slot, inserted] = marks.origins.try_emplace(r.key);
      if (inserted) slot->second = make();
    };
    std::visit(
        [&](const auto& b) {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, UserHandleRecordV1>) {
            first_origin([&] { return KeyOrigin(key_origin::UserHandle{b.handle}); });
          } else if constexpr (std::is_same_v<B, VaultHandleRecordV1>) {
            first_origin([&] { return KeyOrigin(key_origin::VaultHandle{b.handle}); });
          } else if constexpr (std::is_same_v<B, GroupMemberRecordV1> ||
                               std::is_same_v<B, GroupMemberDeletedRecordV1>) {
            first_origin([&] { return KeyOrigin(key_origin::GroupMember{GroupMemberIdInputV1{b.group_id, b.member}}); });
          } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
            first_origin([&] { return KeyOrigin(key_origin::Secret{b.selector}); });
          }
        },
        r.body());
  }
  return marks;
}

}  // namespace vornex::core::validate
