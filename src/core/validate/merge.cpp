#include "vornex/core/validate/merge.hpp"

#include <algorithm>
#include <bit>

#include "cord/codec.hpp"
#include "authority_lookup.hpp"
#include "vornex/core/prefix_sort.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

std::strong_ordering compare_lww(const VerifiedRecord& a, const VerifiedRecord& b) noexcept {
  if (auto c = record_counter(a.body()) <=> record_counter(b.body()); c != 0) return c;
  if (auto c = a.signer <=> b.signer; c != 0) return c;
  return a.hash <=> b.hash;
}

namespace detail {

KeySet::KeySet(const std::map<RecordKey, std::uint64_t>& keys) {
  keys_.reserve(keys.size());
  for (const auto& [key, counter] : keys) keys_.emplace_back(key_prefix(key), &key);
}

bool KeySet::contains(const RecordKey& key) const {
  if (keys_.empty()) return false;
  const std::uint64_t prefix = key_prefix(key);
  auto it = std::lower_bound(keys_.begin(), keys_.end(), prefix,
                             [](const auto& entry, std::uint64_t p) { return entry.first < p; });
  // The search, then each key sharing the prefix compared whole.
  std::uint64_t steps = 1 + static_cast<std::uint64_t>(std::bit_width(keys_.size()));
  bool found = false;
  for (; it != keys_.end() && it->first == prefix && !found; ++it) {
    ++steps;
    found = *it->second == key;
  }
  count_work(steps);
  return found;
}

ConflictSlot slot_of(const std::vector<const VerifiedRecord*>& kept) {
  ConflictSlot slot;
  slot.counter = record_counter(kept.front()->body());
  slot.hashes.reserve(kept.size());
  for (const VerifiedRecord* record : kept) slot.hashes.push_back(record->hash);
  std::sort(slot.hashes.begin(), slot.hashes.end());
  slot.hashes.erase(std::unique(slot.hashes.begin(), slot.hashes.end()), slot.hashes.end());
  return slot;
}

HashIndex::HashIndex(std::span<const VerifiedRecord> records) : records_(records) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) order[i] = {byte_prefix(records[i].hash.bytes()), i};
  prefix_sort(order, [](const auto& o) { return o.first; }, [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    if (const auto c = records[a.second].hash <=> records[b.second].hash; c != 0) return c < 0;
    return a.second < b.second;
  });
  count_work(order.size());
  by_hash_.reserve(order.size());
  for (const auto& [prefix, i] : order) by_hash_.push_back(i);
}

void HashIndex::positions(const HashValue& hash, std::vector<std::size_t>& out) const {
  auto it = std::lower_bound(by_hash_.begin(), by_hash_.end(), hash,
                             [&](std::size_t i, const HashValue& h) { return records_[i].hash < h; });
  std::uint64_t steps = 1 + static_cast<std::uint64_t>(std::bit_width(by_hash_.size()));
  for (; it != by_hash_.end() && records_[*it].hash == hash; ++it) {
    out.push_back(*it);
    ++steps;
  }
  count_work(steps);
}

std::map<RecordKey, ConflictReport> materialize_conflicts(ConflictSlots slots, std::span<const VerifiedRecord> records,
                                                          const HashIndex& index) {
  std::map<RecordKey, ConflictReport> reports;
  std::vector<std::size_t> found;
  for (auto& [key, slot] : slots) {
    // In the order of the records; the slot's hashes are distinct, so no
    // position is gathered twice.
    found.clear();
    for (const HashValue& hash : slot.hashes) index.positions(hash, found);
    std::sort(found.begin(), found.end());
    // Encodings are the sort keys; an envelope that cannot be encoded sorts
    // first with the empty key. Each is computed once.
    // Each candidate is encoded, sorted and compared with the one before.
    count_work(1 + 2 * found.size());
    std::vector<std::pair<cord::Bytes, const VaultRecordV1*>> candidates;
    candidates.reserve(found.size());
    for (const std::size_t i : found) {
      auto encoded = cord::serialize(records[i].record);
      candidates.emplace_back(encoded ? std::move(*encoded) : cord::Bytes{}, &records[i].record);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    ConflictReport report{std::nullopt, std::nullopt, key, {}, slot.counter};
    report.candidates.reserve(candidates.size());
    for (const auto& [order_key, envelope] : candidates) {
      if (!report.candidates.empty() && report.candidates.back() == *envelope) continue;
      report.candidates.push_back(*envelope);
    }
    reports.emplace(key, std::move(report));
  }
  return reports;
}

}  // namespace detail

std::map<RecordKey, ConflictReport> materialize_conflicts(ConflictSlots slots,
                                                          std::span<const VerifiedRecord> records) {
  if (slots.empty()) return {};
  return detail::materialize_conflicts(std::move(slots), records, detail::HashIndex(records));
}

ConflictSlots lww_resolution(std::span<const VerifiedRecord> records,
                             const std::map<RecordKey, std::uint64_t>& rollback_floor, const EffectiveState& state) {
  const detail::AuthorityLookup authority(state.authorities);
  const detail::KeySet floor(rollback_floor);
  detail::Competition<SecretId> competition;
  count_work(records.size());
  for (const VerifiedRecord& record : records) {
    const SecretId* id = nullptr;
    const SecretSelectorV1* selector = nullptr;
    if (const auto* secret = std::get_if<SecretRecordV1>(&record.body())) {
      id = &secret->secret_id;
      selector = &secret->selector;
    } else if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&record.body())) {
      id = &deleted->secret_id;
      selector = &deleted->selector;
    } else {
      continue;
    }
    if (floor.contains(record.key)) continue;
    if (!authority.can_write(record.signer, *selector)) continue;
    competition.add(*id, record);
  }
  ConflictSlots slots;
  competition.decide(slots, [](const SecretId&, const VerifiedRecord&) {});
  return slots;
}

}  // namespace vornex::core::validate
