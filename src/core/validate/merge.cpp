#include "vornex/core/validate/merge.hpp"

#include <algorithm>

#include "cord/codec.hpp"
#include "vornex/core/validate/state.hpp"

namespace vornex::core::validate {

std::strong_ordering compare_lww(const VerifiedRecord& a, const VerifiedRecord& b) noexcept {
  if (auto c = record_counter(a.body()) <=> record_counter(b.body()); c != 0) return c;
  if (auto c = a.signer.bytes() <=> b.signer.bytes(); c != 0) return c;
  return a.hash.bytes() <=> b.hash.bytes();
}

namespace detail {

ConflictSlot slot_of(const std::vector<const VerifiedRecord*>& kept) {
  ConflictSlot slot;
  slot.counter = record_counter(kept.front()->body());
  slot.hashes.reserve(kept.size());
  for (const VerifiedRecord* record : kept) slot.hashes.push_back(record->hash);
  std::sort(slot.hashes.begin(), slot.hashes.end());
  slot.hashes.erase(std::unique(slot.hashes.begin(), slot.hashes.end()), slot.hashes.end());
  return slot;
}

}  // namespace detail

std::map<RecordKey, ConflictReport> materialize_conflicts(ConflictSlots slots,
                                                          std::span<const VerifiedRecord> records) {
  std::map<RecordKey, ConflictReport> reports;
  for (auto& [key, slot] : slots) {
    // Encodings are the sort keys; an envelope that cannot be encoded sorts
    // first with the empty key. Each is computed once.
    std::vector<std::pair<cord::Bytes, const VaultRecordV1*>> candidates;
    for (const VerifiedRecord& record : records) {
      if (!std::binary_search(slot.hashes.begin(), slot.hashes.end(), record.hash)) continue;
      auto encoded = cord::serialize(record.record);
      candidates.emplace_back(encoded ? std::move(*encoded) : cord::Bytes{}, &record.record);
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

ConflictSlots lww_resolution(std::span<const VerifiedRecord> records,
                             const std::map<RecordKey, std::uint64_t>& rollback_floor, const EffectiveState& state) {
  detail::Competition<SecretId> competition;
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
    if (rollback_floor.contains(record.key)) continue;
    if (!state.authority_ref(record.signer).can_write(*selector)) continue;
    competition.add(*id, record);
  }
  ConflictSlots slots;
  competition.decide(slots, [](const SecretId&, const VerifiedRecord&) {});
  return slots;
}

}  // namespace vornex::core::validate
