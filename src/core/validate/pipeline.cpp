#include "vornex/core/validate/pipeline.hpp"

#include <algorithm>
#include <numeric>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "authority_lookup.hpp"
#include "cord/try.hpp"
#include "vornex/core/label_index.hpp"
#include "vornex/core/prefix_sort.hpp"
#include "vornex/core/stop.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/structure.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

using pipeline::SelectedRoot;

// Keys of tables that borrow their byte strings.
struct BytesLess {
  bool operator()(const cord::Bytes* a, const cord::Bytes* b) const { return *a < *b; }
};

// One distinct record of the vault with its record hash, its place in the
// list it came from, and whether the verified-hash cache holds that hash.
struct Listed {
  const VaultRecordV1* record;
  const HashValue* hash;
  std::size_t at = 0;
  bool cached = false;
};

// The admitted counter of `key` as `it` passes over the admitted counters
// in ascending key order: a merge of two ordered maps, not a search per key.
// One three-way comparison a step: on a clean reopen every key is met
// again, and a `<` then an `==` would compare each twice.
template <class Iterator>
std::uint64_t advance_to(Iterator& it, Iterator end, const RecordKey& key) {
  for (; it != end; ++it) {
    const auto order = it->first <=> key;
    if (order >= 0) return order == 0 ? it->second : 0;
  }
  return 0;
}

// advance_to over marks; `it` is left on the key's mark when there is one.
std::uint64_t advance_to_mark(Marks::const_iterator& it, Marks::const_iterator end, const RecordKey& key) {
  for (; it != end; ++it) {
    const auto order = *it->key <=> key;
    if (order >= 0) return order == 0 ? it->counter : 0;
  }
  return 0;
}

std::optional<KeyOrigin> origin_of(const RecordBodyV1& body);

// The lookups authority will be asked for: a question for each grant's
// permission, a secret for each secret record's selector. Every grant's
// selector may be an authority's entry: a first pass tells the demand
// where entries are filed, the only buckets it counts.
LabelDemand expected_lookups(std::span<const VerifiedRecord> records) {
  LabelDemand demand;
  count_work(2 * records.size());
  for (const VerifiedRecord& r : records) {
    if (const auto* grant = std::get_if<GrantRecordV1>(&r.body())) {
      std::visit(
          [&](const auto& p) {
            if constexpr (requires { p.selector; }) demand.add_entry(p.selector);
          },
          *grant->permission);
    }
  }
  for (const VerifiedRecord& r : records) {
    std::visit(
        [&](const auto& b) {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, GrantRecordV1>) {
            if (const auto* p = std::get_if<grant_permission::Read>(&*b.permission)) demand.add_question(p->selector);
            if (const auto* p = std::get_if<grant_permission::Write>(&*b.permission)) demand.add_question(p->selector);
            if (const auto* p = std::get_if<grant_permission::Manage>(&*b.permission)) demand.add_question(p->selector);
          } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
            demand.add_secret(b.selector);
          }
        },
        r.body());
  }
  return demand;
}

ValidationReport refused(ValidationIssue issue) {
  ValidationReport report;
  report.effective.blocked = true;
  report.issues.push_back(std::move(issue));
  return report;
}

class Run {
 public:
  // With `owned`, the listed records are its records, which belong to this
  // run: the ones admitted stay where they are, moved up over the ones left
  // out, and become the report's records instead of being copied.
  Run(const Ratchet& ratchet, const CryptoProvider& crypto, std::vector<HashedRecord>* owned = nullptr)
      : ratchet_(ratchet), crypto_(crypto), owned_(owned) {}

  CoreResult<ValidationReport> validate(const std::vector<Listed>& list);

 private:
  // Each record's signature is checked at most once per validation: the
  // answer is kept by list position. The cache is consulted before any
  // signed message is built.
  CoreResult<bool> signature_ok(const Listed& entry) {
    const std::size_t at = static_cast<std::size_t>(&entry - list_->data());
    if (checked_[at] != Check::Unknown) return checked_[at] == Check::Good;
    if (stop_.stop(entry.cached ? 1 : kStepsPerSignature)) return std::unexpected(CoreError::interrupted());
    bool good = true;
    if (!entry.cached) {
      VX_TRY_ASSIGN(const cord::Bytes message, signed_record_message(entry.record->body));
      good = crypto_.verify_signature(domains::kSigned, entry.record->signing_public_key, message,
                                      entry.record->signature);
    }
    checked_[at] = good ? Check::Good : Check::Bad;
    return good;
  }
  // Where a failure to build the message only leaves the record out (an
  // interrupt is found by the caller, through stopped()).
  bool signature_ok_or_skip(const Listed& entry) {
    auto ok = signature_ok(entry);
    return ok && *ok;
  }

  CoreResult<std::vector<SelectedRoot>> root_candidates(const std::vector<Listed>& list);
  // The users whose User records are signed, through a chain of such
  // records, by the root; each maps to the signing keys it declares.
  std::map<cord::Bytes, std::set<UserId>> credit_users(const std::vector<Listed>& list, const SelectedRoot& root);

  enum class Check : std::uint8_t { Unknown, Good, Bad };

  // A signature check costs about as much as this many other steps.
  static constexpr std::uint32_t kStepsPerSignature = 64;

  // Whether the caller asked the run to stop, now or at a step before.
  bool stopped() { return stop_.stopped() || stop_requested(); }

  const Ratchet& ratchet_;
  const CryptoProvider& crypto_;
  std::vector<HashedRecord>* owned_;
  const std::vector<Listed>* list_ = nullptr;
  std::vector<Check> checked_;
  StopPoll stop_;
};

CoreResult<std::vector<SelectedRoot>> Run::root_candidates(const std::vector<Listed>& list) {
  std::vector<SelectedRoot> candidates;
  count_work(list.size());
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
    if (!std::ranges::equal(fingerprint.bytes(), ratchet_.trusted_root())) continue;
    candidates.push_back(SelectedRoot{root->user_id, root->hpke_public_key, key, std::move(fingerprint)});
  }
  return candidates;
}

// A worklist keyed by signing key: a key that becomes known wakes exactly
// the candidates it signed. Who is credited does not depend on the order in
// which candidates are met, so this credits the same users as repeated
// passes over all candidates until one credits nobody, with one visit per
// candidate instead of one pass per link of a chain.
std::map<cord::Bytes, std::set<UserId>> Run::credit_users(const std::vector<Listed>& list, const SelectedRoot& root) {
  // Users whose own keys give their id; a failing one is reported later.
  std::map<const cord::Bytes*, std::vector<std::pair<const Listed*, const UserRecordV1*>>, BytesLess> by_signer;
  std::uint64_t steps = list.size();
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    const auto* user = body ? std::get_if<UserRecordV1>(body) : nullptr;
    if (user != nullptr && !structurally_valid_user(*user, crypto_)) {
      by_signer[&entry.record->signing_public_key].emplace_back(&entry, user);
    }
  }
  std::set<UserId> credited{root.user_id};
  std::set<const cord::Bytes*, BytesLess> known_keys{&root.signing_public_key};
  std::vector<const cord::Bytes*> newly_known{&root.signing_public_key};
  std::map<cord::Bytes, std::set<UserId>> claimants;
  while (!newly_known.empty()) {
    const cord::Bytes* key = newly_known.back();
    newly_known.pop_back();
    const auto signed_by = by_signer.find(key);
    if (signed_by == by_signer.end()) continue;
    steps += signed_by->second.size();
    for (const auto& [entry, user] : signed_by->second) {
      if (credited.contains(user->user_id)) continue;
      if (!signature_ok_or_skip(*entry)) continue;
      claimants[user->signing_public_key].insert(user->user_id);
      credited.insert(user->user_id);
      if (known_keys.insert(&user->signing_public_key).second) newly_known.push_back(&user->signing_public_key);
    }
  }
  count_work(steps);
  return claimants;
}

CoreResult<ValidationReport> Run::validate(const std::vector<Listed>& list) {
  list_ = &list;
  checked_.assign(list.size(), Check::Unknown);
  VX_TRY_ASSIGN(const std::vector<SelectedRoot> candidates, root_candidates(list));
  if (candidates.empty()) return refused(issue::RootNotTrusted{});
  if (candidates.size() > 1) return refused(issue::AmbiguousRoot{});
  const SelectedRoot& root = candidates.front();

  std::map<cord::Bytes, std::set<UserId>> claimants = credit_users(list, root);

  std::set<UserId> entry_users;
  count_work(list.size());
  for (const Listed& entry : list) {
    const RecordBodyV1* body = entry.record->body.known();
    const auto* ep = body ? std::get_if<EntryPointRecordV1>(body) : nullptr;
    if (ep == nullptr || ep->root_user_id != root.user_id || !signature_ok_or_skip(entry)) continue;
    VX_TRY_ASSIGN(UserId user, derive_user_id(crypto_, entry.record->signing_public_key, ep->hpke_public_key));
    entry_users.insert(std::move(user));
  }
  if (stopped()) return std::unexpected(CoreError::interrupted());

  std::map<cord::Bytes, UserId> signers{{root.signing_public_key, root.user_id}};
  std::set<cord::Bytes> ambiguous;
  std::vector<HashValue> ambiguous_fingerprints;
  for (const auto& [key, users] : claimants) {
    count_work(users.size());
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
  // Owned records are kept in place: the first `kept` of them are admitted.
  std::size_t kept = 0;
  // With room for the writes a session files into its report afterwards,
  // so that its first ones do not move every record to grow the list.
  if (owned_ == nullptr) records.reserve(list.size() + list.size() / 64 + 16);
  count_work(list.size());
  for (const Listed& entry : list) {
    if (stop_.stop()) return std::unexpected(CoreError::interrupted());
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
    if (owned_ == nullptr) {
      records.push_back(VerifiedRecord{*entry.record, std::move(record_key), *entry.hash, signer->second});
      continue;
    }
    // The list ascends by place, so every record below `entry.at` has been
    // judged: the slot at `kept` is free to take this one.
    VerifiedRecord& admitted = (*owned_)[entry.at];
    admitted.key = std::move(record_key);
    admitted.signer = signer->second;
    if (kept != entry.at) (*owned_)[kept] = std::move(admitted);
    ++kept;
  }
  // Nothing below looks at the list again: the records left out go now,
  // before the state is built, and the admitted ones become `records`.
  if (owned_ != nullptr) {
    list_ = nullptr;  // it points into them
    owned_->erase(owned_->begin() + static_cast<std::ptrdiff_t>(kept), owned_->end());
    records = std::move(*owned_);
  }

  // Watermarks come from the state without a floor, so a rollback cannot
  // hide the records that show it.
  // Where every phase's authority lookups will look among labels, so that
  // the indexes they make file each entry where the fewest of them do.
  const LabelDemand demand = expected_lookups(records);
  const ExpectedLookups expected(demand);
  auto [first_state, deletions] = resolve_effective_with_deletions(root, records, {});
  if (stopped()) return std::unexpected(CoreError::interrupted());
  const Marks marks = admitted_watermarks(records, first_state, deletions);

  RollbackFloor floor;
  {
    // The trust state's counters beside the marks: one step each.
    count_work(ratchet_.counters().size() + marks.size());
    auto mark = marks.cbegin();
    for (const auto& [key, trusted] : ratchet_.counters()) {
      if (advance_to_mark(mark, marks.cend(), key) < trusted) floor.emplace_hint(floor.end(), key, trusted);
    }
  }

  // Without a floor the state is the one already computed.
  EffectiveState state =
      floor.empty() ? std::move(first_state) : resolve_effective_with_deletions(root, records, floor).first;
  if (stopped()) return std::unexpected(CoreError::interrupted());
  if (state.blocked) report.issues.push_back(issue::AuthorityDidNotConverge{});

  for (auto& [key, conflict] : materialize_conflicts(lww_resolution(records, floor, state), records)) {
    state.conflicts.insert_or_assign(key, std::move(conflict));
  }
  // Rollback conflicts list the records of their key at its admitted
  // counter: the records of floor keys are sorted by key once and met in
  // step with the floor, not searched for per key.
  std::vector<std::pair<std::uint64_t, const VerifiedRecord*>> rolled_back;
  if (!floor.empty()) {
    const detail::KeySet floor_keys(floor);
    count_work(records.size());
    for (const VerifiedRecord& r : records) {
      if (floor_keys.contains(r.key)) rolled_back.emplace_back(detail::key_prefix(r.key), &r);
    }
    prefix_sort(rolled_back, [](const auto& r) { return r.first; }, [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second->key < b.second->key;
    });
  }
  auto next_rolled_back = rolled_back.cbegin();
  auto mark = marks.cbegin();
  count_work(floor.size() + rolled_back.size() + marks.size());
  for (const auto& [key, trusted] : floor) {
    const std::uint64_t admitted = advance_to_mark(mark, marks.cend(), key);
    const VerifiedRecord* first_origin = mark != marks.cend() && *mark->key == key ? mark->origin : nullptr;
    std::vector<std::pair<cord::Bytes, const VaultRecordV1*>> found;
    while (next_rolled_back != rolled_back.cend() && next_rolled_back->second->key < key) ++next_rolled_back;
    for (; next_rolled_back != rolled_back.cend() && next_rolled_back->second->key == key; ++next_rolled_back) {
      const VerifiedRecord* r = next_rolled_back->second;
      if (record_counter(r->body()) == admitted) {
        found.emplace_back(cord::serialize(r->record).value_or(cord::Bytes{}), &r->record);
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
    if (first_origin != nullptr) {
      conflict.origin = origin_of(first_origin->body());
    } else if (const auto trusted_origin = ratchet_.origins().find(key); trusted_origin != ratchet_.origins().end()) {
      conflict.origin = trusted_origin->second;
    }
    state.conflicts.insert_or_assign(key, std::move(conflict));
  }

  std::optional<std::uint64_t> highest;
  count_work(marks.size());
  for (const Mark& m : marks) highest = std::max(highest.value_or(0), m.counter);

  // Only what raises the trust state (an absent counter is 0), so a clean
  // reopen writes nothing. Both sides are in key order, so one walk over
  // the trusted maps decides; only what raises is copied, each map sized
  // once. Taken before the records move into the state: the marks point
  // at them.
  {
    std::vector<const Mark*> raised_counters;
    std::vector<const Mark*> new_origins;
    auto trusted = ratchet_.counters().cbegin();
    auto trusted_origin = ratchet_.origins().cbegin();
    count_work(marks.size() + ratchet_.counters().size() + ratchet_.origins().size());
    for (const Mark& m : marks) {
      if (advance_to(trusted, ratchet_.counters().cend(), *m.key) < m.counter) raised_counters.push_back(&m);
      if (m.origin == nullptr) continue;
      while (trusted_origin != ratchet_.origins().cend() && trusted_origin->first < *m.key) ++trusted_origin;
      if (trusted_origin == ratchet_.origins().cend() || !(trusted_origin->first == *m.key)) new_origins.push_back(&m);
    }
    report.ratchet_update.counters.reserve(raised_counters.size());
    for (const Mark* m : raised_counters) report.ratchet_update.counters.emplace(*m->key, m->counter);
    report.ratchet_update.origins.reserve(new_origins.size());
    for (const Mark* m : new_origins) report.ratchet_update.origins.emplace(*m->key, *origin_of(m->origin->body()));
  }
  state.attach_verified_records(std::move(records), highest);
  report.warnings = warnings_for(undecodable);
  for (HashValue& fingerprint : ambiguous_fingerprints) {
    report.warnings.emplace_back(warning::AmbiguousSignerKey{std::move(fingerprint)});
  }
  report.effective = std::move(state);
  return report;
}

// Distinct records by record hash, the first met kept, each marked when
// the verified-hash cache holds its hash. Sorting on a number first keeps
// the full comparisons to hashes that share their prefix; the cache, being
// ordered the same way, is then met in one pass instead of searched per
// record.
// `verified` is any range of hashes in ascending order.
template <class Sorted>
std::vector<Listed> distinct(std::vector<Listed> all, const Sorted& verified) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) order[i] = {detail::byte_prefix(all[i].hash->bytes()), i};
  prefix_sort(order, [](const auto& o) { return o.first; }, [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    if (const auto c = *all[a.second].hash <=> *all[b.second].hash; c != 0) return c < 0;
    return a.second < b.second;
  });
  std::vector<bool> drop(all.size(), false);
  // A record and the cache entries passed on its way, each a step; the
  // sort's comparisons are its logarithm on top.
  std::uint64_t steps = all.size();
  auto cached = verified.begin();
  // The records are met in hash order, each somewhere else in memory: the
  // ones a few steps ahead are fetched while this one is compared.
  // Two stages, since the entry holds a pointer to the hash.
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 2 * kAhead < order.size()) __builtin_prefetch(&all[order[k + 2 * kAhead].second]);
    if (k + kAhead < order.size()) __builtin_prefetch(all[order[k + kAhead].second].hash);
    Listed& entry = all[order[k].second];
    if (k > 0 && order[k].first == order[k - 1].first && *entry.hash == *all[order[k - 1].second].hash) {
      drop[order[k].second] = true;
      continue;
    }
    for (; cached != verified.end() && *cached < *entry.hash; ++cached) ++steps;
    entry.cached = cached != verified.end() && *cached == *entry.hash;
  }
  count_work(steps);
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
  for (std::size_t i = 0; i < vault.size(); ++i) list.push_back(Listed{&vault.items()[i], &hashes[i], i});
  return Run(ratchet, crypto).validate(distinct(std::move(list), verified));
}

CoreResult<ValidationReport> validate_vault_with_verified(const cord::Set<VaultRecordV1>& vault,
                                                          const Ratchet& ratchet, const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  return gate(ratchet, [&] { return validate_v1(vault, ratchet, crypto, verified); });
}

namespace {

// With `owned`, `vault` is its records, consumed by the run.
template <class Sorted>
CoreResult<ValidationReport> validate_hashed(std::span<const HashedRecord> vault, const Ratchet& ratchet,
                                             const CryptoProvider& crypto, const Sorted& verified,
                                             std::vector<HashedRecord>* owned) {
  return gate(ratchet, [&]() -> CoreResult<ValidationReport> {
    std::vector<Listed> list;
    list.reserve(vault.size());
    for (std::size_t i = 0; i < vault.size(); ++i) list.push_back(Listed{&vault[i].record, &vault[i].hash, i});
    return Run(ratchet, crypto, owned).validate(distinct(std::move(list), verified));
  });
}

}  // namespace

CoreResult<ValidationReport> validate_vault_with_verified(std::span<const HashedRecord> vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  return validate_hashed(vault, ratchet, crypto, verified, nullptr);
}

CoreResult<ValidationReport> validate_vault_with_verified(std::vector<HashedRecord>&& vault, const Ratchet& ratchet,
                                                          const CryptoProvider& crypto,
                                                          const VerifiedHashes& verified) {
  // The records are consumed: whatever validation keeps is moved out of them.
  std::vector<HashedRecord> owned = std::move(vault);
  return validate_hashed(owned, ratchet, crypto, verified, &owned);
}

CoreResult<ValidationReport> validate_vault_with_verified_list(std::vector<HashedRecord>&& vault,
                                                               const Ratchet& ratchet, const CryptoProvider& crypto,
                                                               std::span<const HashValue> verified) {
  // Taken as they stand when strictly ascending, as a verification cache
  // holds them; any other list is sorted into a set first.
  const bool ascending = std::adjacent_find(verified.begin(), verified.end(), [](const HashValue& a, const HashValue& b) {
                           return !(a < b);
                         }) == verified.end();
  if (!ascending) return validate_vault_with_verified(std::move(vault), ratchet, crypto,
                                                      VerifiedHashes(verified.begin(), verified.end()));
  std::vector<HashedRecord> owned = std::move(vault);
  return validate_hashed(owned, ratchet, crypto, verified, &owned);
}

CoreResult<ValidationReport> validate_vault(const cord::Set<VaultRecordV1>& vault, const Ratchet& ratchet,
                                            const CryptoProvider& crypto) {
  return validate_vault_with_verified(vault, ratchet, crypto, VerifiedHashes{});
}

namespace {

// Whether origin_of gives the record's kind an origin.
bool names_origin(const RecordBodyV1& body) {
  return std::holds_alternative<UserHandleRecordV1>(body) || std::holds_alternative<VaultHandleRecordV1>(body) ||
         std::holds_alternative<GroupMemberRecordV1>(body) || std::holds_alternative<GroupMemberDeletedRecordV1>(body) ||
         std::holds_alternative<SecretRecordV1>(body) || std::holds_alternative<SecretDeletedRecordV1>(body);
}

// The readable preimage a record gives its key, for the kinds that have one.
std::optional<KeyOrigin> origin_of(const RecordBodyV1& body) {
  return std::visit(
      [&](const auto& b) -> std::optional<KeyOrigin> {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, UserHandleRecordV1>) {
          return KeyOrigin(key_origin::UserHandle{b.handle});
        } else if constexpr (std::is_same_v<B, VaultHandleRecordV1>) {
          return KeyOrigin(key_origin::VaultHandle{b.handle});
        } else if constexpr (std::is_same_v<B, GroupMemberRecordV1> || std::is_same_v<B, GroupMemberDeletedRecordV1>) {
          return KeyOrigin(key_origin::GroupMember{GroupMemberIdInputV1{b.group_id, b.member}});
        } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
          return KeyOrigin(key_origin::Secret{b.selector});
        } else {
          return std::nullopt;
        }
      },
      body);
}

}  // namespace

Marks admitted_watermarks(std::span<const VerifiedRecord> records, const EffectiveState& state,
                          const std::set<HashValue>& admitted_deletions) {
  std::set<UserId> entry_signers;
  // Two passes over the records, then one over the admitted ones.
  count_work(2 * records.size());
  for (const VerifiedRecord& r : records) {
    if (std::holds_alternative<EntryPointRecordV1>(r.body())) entry_signers.insert(r.signer);
  }
  const detail::AuthorityLookup lookup(state.authorities);
  Marks marks;
  std::vector<std::pair<std::uint64_t, const VerifiedRecord*>> kept;
  for (const VerifiedRecord& r : records) {
    // Asked only of the kinds it decides: most records are secrets.
    const auto root_signer = [&] { return lookup.is_root(r.signer); };
    const bool admitted = std::visit(
        [&](const auto& b) -> bool {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, VaultRootRecordV1>) {
            return false;
          } else if constexpr (std::is_same_v<B, EntryPointRecordV1>) {
            return true;
          } else if constexpr (std::is_same_v<B, UserRecordV1>) {
            return root_signer() && entry_signers.contains(b.user_id);
          } else if constexpr (std::is_same_v<B, GroupDeletedRecordV1> || std::is_same_v<B, GrantDeletedRecordV1> ||
                               std::is_same_v<B, UserDeletedRecordV1>) {
            return admitted_deletions.contains(r.hash);
          } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
            return lookup.can_create_permission(r.signer, b.permission);
          } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
            return lookup.can_write(r.signer, b.selector);
          } else {
            return root_signer();
          }
        },
        r.body());
    if (admitted) kept.emplace_back(detail::key_prefix(r.key), &r);
  }
  // Grouped by key, in slice order within each key; the maps then fill in
  // key order, each entry going in at the end.
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->key < b.second->key;
  });
  // One mark per key: counted first so that the list does not grow by
  // doubling and keep the slack.
  const auto same_key = [](const auto& a, const auto& b) { return a.first == b.first && a.second->key == b.second->key; };
  std::size_t keys = 0;
  count_work(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i == 0 || !same_key(kept[i - 1], kept[i])) ++keys;
  }
  marks.reserve(keys);
  for (auto group = kept.begin(); group != kept.end();) {
    Mark& mark = marks.emplace_back(Mark{&group->second->key});
    auto it = group;
    for (; it != kept.end() && it->first == group->first && it->second->key == *mark.key; ++it) {
      mark.counter = std::max(mark.counter, record_counter(it->second->body()));
      if (mark.origin == nullptr && names_origin(it->second->body())) mark.origin = it->second;
    }
    group = it;
  }
  return marks;
}

Watermarks watermarks_of(const Marks& marks) {
  Watermarks out;
  for (const Mark& m : marks) {
    out.counters.emplace(*m.key, m.counter);
    if (m.origin != nullptr) out.origins.emplace(*m.key, *origin_of(m.origin->body()));
  }
  return out;
}

}  // namespace vornex::core::validate
