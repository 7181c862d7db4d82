// The ratchet: one user's trust state for one vault root. It remembers the
// highest counter accepted per tracked item, so that a vault file rolled
// back below what this user has already seen is caught, plus the trusted
// root, the readable origins of hashed keys, the highest format version
// seen and, untouched, stored records of kinds this build does not know.
// Every merge only raises.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "vornex/core/flat_map.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/selector.hpp"

namespace vornex::core {

// The stored records. Each tracked item's record holds the item's id as it
// appears in its RecordKey and the highest accepted counter; handles,
// group memberships and secrets also carry their origin, written empty
// (empty text, absent input, empty selector) when unknown.

struct UserRatchetRecordV1 {
  UserId user_id;
  std::uint64_t counter = 0;
  CORD_FIELDS(user_id, counter)
  bool operator==(const UserRatchetRecordV1&) const = default;
};

struct UserHandleRatchetRecordV1 {
  UserHandleId handle_id;
  std::uint64_t counter = 0;
  std::string handle;
  CORD_FIELDS(handle_id, counter, handle)
  bool operator==(const UserHandleRatchetRecordV1&) const = default;
};

struct VaultHandleRatchetRecordV1 {
  VaultHandleId handle_id;
  std::uint64_t counter = 0;
  std::string handle;
  CORD_FIELDS(handle_id, counter, handle)
  bool operator==(const VaultHandleRatchetRecordV1&) const = default;
};

struct GroupRatchetRecordV1 {
  GroupId group_id;
  std::uint64_t counter = 0;
  CORD_FIELDS(group_id, counter)
  bool operator==(const GroupRatchetRecordV1&) const = default;
};

struct GroupMemberRatchetRecordV1 {
  GroupMemberId group_member_id;
  std::uint64_t counter = 0;
  std::optional<GroupMemberIdInputV1> input;
  CORD_FIELDS(group_member_id, counter, input)
  bool operator==(const GroupMemberRatchetRecordV1&) const = default;
};

struct GrantRatchetRecordV1 {
  GrantId grant_id;
  std::uint64_t counter = 0;
  CORD_FIELDS(grant_id, counter)
  bool operator==(const GrantRatchetRecordV1&) const = default;
};

struct SecretRatchetRecordV1 {
  SecretId secret_id;
  std::uint64_t counter = 0;
  SecretSelectorV1 selector;
  CORD_FIELDS(secret_id, counter, selector)
  bool operator==(const SecretRatchetRecordV1&) const = default;
};

struct EntryPointRatchetRecordV1 {
  UserId user_id;
  std::uint64_t counter = 0;
  CORD_FIELDS(user_id, counter)
  bool operator==(const EntryPointRatchetRecordV1&) const = default;
};

// The highest vault format version seen: a bare u64 after the index.
struct FormatVersionRatchetRecordV1 {
  std::uint64_t version = 0;
  CORD_TRANSPARENT(version)
  bool operator==(const FormatVersionRatchetRecordV1&) const = default;
};

struct TrustedRootRatchetRecordV1 {
  cord::Bytes fingerprint;
  CORD_FIELDS(fingerprint)
  bool operator==(const TrustedRootRatchetRecordV1&) const = default;
};

// Alternative order is the wire index; never reorder. It is not RecordKey's
// order: User comes first here and EntryPoint late.
using RatchetRecordV1 = std::variant<UserRatchetRecordV1,           // 0
                                     UserHandleRatchetRecordV1,     // 1
                                     VaultHandleRatchetRecordV1,    // 2
                                     GroupRatchetRecordV1,          // 3
                                     GroupMemberRatchetRecordV1,    // 4
                                     GrantRatchetRecordV1,          // 5
                                     SecretRatchetRecordV1,         // 6
                                     EntryPointRatchetRecordV1,     // 7
                                     FormatVersionRatchetRecordV1,  // 8
                                     TrustedRootRatchetRecordV1>;   // 9

// The readable value a hashed key was derived from. In memory only.
namespace key_origin {
struct Secret {
  SecretSelectorV1 selector;
  bool operator==(const Secret&) const = default;
};
struct UserHandle {
  std::string handle;  // normalised
  bool operator==(const UserHandle&) const = default;
};
struct VaultHandle {
  std::string handle;  // normalised
  bool operator==(const VaultHandle&) const = default;
};
struct GroupMember {
  GroupMemberIdInputV1 input;
  bool operator==(const GroupMember&) const = default;
};
}  // namespace key_origin

using KeyOrigin =
    std::variant<key_origin::Secret, key_origin::UserHandle, key_origin::VaultHandle, key_origin::GroupMember>;

// The key a record tracks; none for FormatVersion and TrustedRoot.
std::optional<RecordKey> ratchet_record_key(const RatchetRecordV1& record);

// The origin a record carries; none when its origin field is empty. A
// selector without path segments counts as empty whatever its labels.
std::optional<KeyOrigin> ratchet_record_origin(const RatchetRecordV1& record);

// The record that stores `counter` for `key`, with the origin's value in
// its origin field when the origin is of the key's own kind (nullptr or an
// origin of another kind writes the field empty). None for VaultRoot,
// which has no record.
std::optional<RatchetRecordV1> ratchet_record_for_key(const RecordKey& key, std::uint64_t counter,
                                                      const KeyOrigin* origin);

// Per key, in RecordKey order.
using RatchetCounters = FlatMap<RecordKey, std::uint64_t>;
using RatchetOrigins = FlatMap<RecordKey, KeyOrigin>;

// What a validation admitted, to be merged into a ratchet.
struct RatchetUpdate {
  RatchetCounters counters;
  RatchetOrigins origins;
  std::optional<std::uint64_t> format_version;
  bool operator==(const RatchetUpdate&) const = default;
};

// What one raise of a ratchet changed, to take it back: the counters it
// raised with their values before, the counters and origins it added, and
// the format version before.
struct RatchetRaiseUndo {
  RatchetCounters lowered;
  std::vector<RecordKey> added_counters;  // ascending
  std::vector<RecordKey> added_origins;   // ascending
  std::uint64_t format_version = 0;
};

class Ratchet {
  // Records met in order, gathered so that they enter the ratchet in one
  // sort and one merge whatever their number and order.
  struct Absorbed {
    std::vector<RatchetCounters::value_type> counters;
    std::vector<RatchetOrigins::value_type> origins;
    std::uint64_t format_version = 0;

    template <class Record>
    void add(Record&& record);
  };

 public:
  // A ratchet for one root, holding nothing else yet.
  static Ratchet make(cord::Bytes trusted_root);

  // Builds a ratchet from stored records met one at a time, as from_stored
  // does from a whole list, so that a file's records need not be held as a
  // list first.
  class Loader {
   public:
    // Room for `records` records; only a hint.
    explicit Loader(std::size_t records);
    void add(cord::Evolving<RatchetRecordV1>&& stored);
    void add(const cord::Evolving<RatchetRecordV1>& stored);
    // None when no TrustedRoot record was met.
    std::optional<Ratchet> finish() &&;

   private:
    template <class Stored>
    void take(Stored&& stored);

    Absorbed absorbed_;
    std::optional<cord::Bytes> root_;
    std::vector<cord::Bytes> unknown_;
  };

  // Reads stored records back: the TrustedRoot record names the root (the
  // last one wins if there are several), unknown records are kept raw in
  // the order met, the rest are absorbed in order. None without a
  // TrustedRoot record.
  static std::optional<Ratchet> from_stored(std::span<const cord::Evolving<RatchetRecordV1>> stored);
  // The same, taking ids, origins and unknown payloads out of `stored`
  // instead of copying them.
  static std::optional<Ratchet> from_stored(std::vector<cord::Evolving<RatchetRecordV1>>&& stored);

  const cord::Bytes& trusted_root() const { return trusted_root_; }
  const RatchetCounters& counters() const { return counters_; }
  const RatchetOrigins& origins() const { return origins_; }
  // Raw payloads of stored records of unknown kinds, without length prefix.
  const std::vector<cord::Bytes>& unknown_records() const { return unknown_records_; }
  std::uint64_t format_version() const { return format_version_; }

  // Raises the record's counter (or the format version) and adds its origin
  // where none is known; a TrustedRoot record changes nothing.
  void absorb_record(const RatchetRecordV1& record);
  // absorb_record for each record in order, in one merge.
  void absorb_records(std::span<const RatchetRecordV1> records);
  // Raises counters, adds origins where none is known, raises the format
  // version when the update has one.
  void apply_update(const RatchetUpdate& update);
  // apply_update, telling what it changed.
  RatchetRaiseUndo apply_update_undoably(const RatchetUpdate& update);
  // Takes back the raise `undo` came from; raises made after it must have
  // been taken back first. Allocates nothing.
  void undo_raise(const RatchetRaiseUndo& undo) noexcept;
  // Keeps the raw payload of a record of a kind this build does not know,
  // unless an equal one is already kept.
  void keep_unknown_record(const cord::Bytes& payload);
  // The same for each payload in turn, in O(n log n) for any number of them.
  void keep_unknown_records(std::span<const cord::Bytes> payloads);

  // The known records: one per counter in key order (none for VaultRoot),
  // then FormatVersion when not 0, then TrustedRoot, always last. Origins
  // without a counter are not written.
  std::vector<RatchetRecordV1> to_records() const;
  // Hands the records of to_records to f one at a time, in the same order,
  // so that a writer need not hold them as a list.
  template <class F>
  void for_each_record(F&& f) const {
    for (const auto& [key, counter] : counters_) {
      const auto origin = origins_.find(key);
      const KeyOrigin* known = origin == origins_.end() ? nullptr : &origin->second;
      if (auto record = ratchet_record_for_key(key, counter, known)) f(std::move(*record));
    }
    if (format_version_ != 0) f(RatchetRecordV1(FormatVersionRatchetRecordV1{format_version_}));
    f(RatchetRecordV1(TrustedRootRatchetRecordV1{trusted_root_}));
  }

  // Everything to store: the records of to_records, then the unknown
  // records as unknown evolving values, ready to go into a canonical set.
  std::vector<cord::Evolving<RatchetRecordV1>> to_stored() const;

  bool operator==(const Ratchet&) const = default;

 private:
  explicit Ratchet(cord::Bytes trusted_root) : trusted_root_(std::move(trusted_root)) {}

  template <class Stored>
  static std::optional<Ratchet> from_stored_list(Stored&& stored);
  void absorb(Absorbed&& absorbed);
  void raise_format_version(std::uint64_t version);

  cord::Bytes trusted_root_;
  RatchetCounters counters_;
  RatchetOrigins origins_;
  std::vector<cord::Bytes> unknown_records_;
  std::uint64_t format_version_ = 0;
};

}  // namespace vornex::core
