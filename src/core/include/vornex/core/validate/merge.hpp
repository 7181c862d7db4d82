// Competing writes of one item: the total last-writer order, the choice
// among writes at one counter, and the conflicts that choice leaves.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

// One record that passed the structure and signature checks. Its decoded
// body is the one inside the envelope, not a second copy.
struct VerifiedRecord {
  VaultRecordV1 record;  // the stored envelope, as decoded; always a known kind
  RecordKey key;         // a deletion carries its target's key
  HashValue hash;
  UserId signer;

  const RecordBodyV1& body() const { return *record.body.known(); }

  bool operator==(const VerifiedRecord&) const = default;
};

// Competing writes of one key, kept compactly while records are selected.
struct ConflictSlot {
  std::vector<HashValue> hashes;  // ascending, no duplicates
  std::uint64_t counter = 0;
  bool operator==(const ConflictSlot&) const = default;
};

using ConflictSlots = std::map<RecordKey, ConflictSlot>;

// The public form of a conflict.
struct ConflictReport {
  std::optional<std::uint64_t> rollback_counter;  // only for conflicts a rollback causes
  std::optional<KeyOrigin> origin;
  RecordKey key;
  std::vector<VaultRecordV1> candidates;  // ascending by encoding, no adjacent duplicates
  std::uint64_t counter = 0;
  bool operator==(const ConflictReport&) const = default;
};

// The one total order of records: counter, then signer id, then record
// hash. `a` wins over `b` when the result is greater.
std::strong_ordering compare_lww(const VerifiedRecord& a, const VerifiedRecord& b) noexcept;

std::map<RecordKey, ConflictReport> materialize_conflicts(ConflictSlots slots, std::span<const VerifiedRecord> records);

// The conflicts among the authorised secret writes at each secret's highest
// counter. Keys in the rollback floor take no part.
class EffectiveState;
ConflictSlots lww_resolution(std::span<const VerifiedRecord> records,
                             const std::map<RecordKey, std::uint64_t>& rollback_floor, const EffectiveState& state);

namespace detail {

using core::byte_prefix;
using core::key_prefix;

// Membership in a set of record keys, such as a rollback floor, held flat:
// a lookup per record must not chase the nodes of a large map.
class KeySet {
 public:
  explicit KeySet(const std::map<RecordKey, std::uint64_t>& keys);
  bool empty() const { return keys_.empty(); }
  bool contains(const RecordKey& key) const;

 private:
  std::vector<std::pair<std::uint64_t, const RecordKey*>> keys_;  // ascending, as the map's keys
};

// The slot of competing candidates: their hashes sorted and distinct.
ConflictSlot slot_of(const std::vector<const VerifiedRecord*>& kept);

// Record positions by record hash, so that the competitors of each conflict
// are gathered without a scan of all records per conflict.
class HashIndex {
 public:
  explicit HashIndex(std::span<const VerifiedRecord> records);
  // Appends the positions of the records with this hash, ascending.
  void positions(const HashValue& hash, std::vector<std::size_t>& out) const;

 private:
  std::span<const VerifiedRecord> records_;
  std::vector<std::size_t> by_hash_;  // positions ordered by hash, then position
};

std::map<RecordKey, ConflictReport> materialize_conflicts(ConflictSlots slots, std::span<const VerifiedRecord> records,
                                                          const HashIndex& index);

// Candidates of one pass, decided per item id. Holds pointers into the
// borrowed records (ids included), and sorts once instead of keeping a map
// of lists, since nearly every item has a single candidate. The sort looks
// at the first eight bytes of each id as a number first, so that it seldom
// has to follow the pointers to the ids.
template <class Id>
class Competition {
 public:
  // `id` must live as long as the competition, normally inside `record`.
  void add(const Id& id, const VerifiedRecord& record) { entries_.push_back(Entry{prefix_of(id), &id, &record}); }

  // Per id in ascending order, only the candidates at the highest counter
  // count: equal bodies give `win(id, record)` with the smallest record hash
  // (the first met on a tie), differing bodies a slot in `slots`.
  template <class Win>
  void decide(ConflictSlots& slots, Win&& win) {
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      return *a.id < *b.id;
    });
    // Each entry is met in its group, and again among the kept of a
    // contested one.
    std::uint64_t steps = entries_.size();
    std::vector<const VerifiedRecord*> kept;
    for (auto group = entries_.begin(); group != entries_.end();) {
      auto end = group + 1;
      std::uint64_t top = record_counter(group->record->body());
      while (end != entries_.end() && end->prefix == group->prefix && *end->id == *group->id) {
        top = std::max(top, record_counter(end->record->body()));
        ++end;
      }
      if (end == group + 1) {
        win(*group->id, *group->record);
        group = end;
        continue;
      }
      kept.clear();
      steps += static_cast<std::uint64_t>(end - group);
      for (auto it = group; it != end; ++it) {
        if (record_counter(it->record->body()) == top) kept.push_back(it->record);
      }
      const VerifiedRecord* winner = kept.front();
      bool same = true;
      for (const VerifiedRecord* candidate : kept) {
        if (!(candidate->body() == kept.front()->body())) {
          same = false;
          break;
        }
        if (candidate->hash < winner->hash) winner = candidate;
      }
      if (same) {
        win(*group->id, *winner);
      } else {
        slots.insert_or_assign(kept.front()->key, slot_of(kept));
      }
      group = end;
    }
    count_work(steps);
  }

 private:
  struct Entry {
    std::uint64_t prefix;
    const Id* id;
    const VerifiedRecord* record;
  };

  static std::uint64_t prefix_of(const Id& id) { return byte_prefix(id.bytes()); }

  std::vector<Entry> entries_;
};

}  // namespace detail

}  // namespace vornex::core::validate
