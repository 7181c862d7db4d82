#include "vornex/core/ratchet.hpp"

#include <algorithm>
#include <set>
#include <type_traits>
#include <utility>

#include "cord/pages.hpp"
#include "vornex/core/counter.hpp"

namespace vornex::core {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// The origin field of the four records that carry one, read from an origin
// of the matching kind only.
template <class Wanted>
const Wanted* origin_as(const KeyOrigin* origin) {
  return origin == nullptr ? nullptr : std::get_if<Wanted>(origin);
}

}  // namespace

namespace {

// The key and the origin of a record, copied out of a const record and
// moved out of an rvalue one.
template <class Record>
std::optional<RecordKey> key_of(Record&& record) {
  return std::visit(
      []<class R>(R&& r) -> std::optional<RecordKey> {
        using Kind = std::remove_cvref_t<R>;
        if constexpr (std::is_same_v<Kind, UserRatchetRecordV1>) {
          return record_key::User{std::forward<R>(r).user_id};
        } else if constexpr (std::is_same_v<Kind, UserHandleRatchetRecordV1>) {
          return record_key::UserHandle{std::forward<R>(r).handle_id};
        } else if constexpr (std::is_same_v<Kind, VaultHandleRatchetRecordV1>) {
          return record_key::VaultHandle{std::forward<R>(r).handle_id};
        } else if constexpr (std::is_same_v<Kind, GroupRatchetRecordV1>) {
          return record_key::Group{std::forward<R>(r).group_id};
        } else if constexpr (std::is_same_v<Kind, GroupMemberRatchetRecordV1>) {
          return record_key::GroupMember{std::forward<R>(r).group_member_id};
        } else if constexpr (std::is_same_v<Kind, GrantRatchetRecordV1>) {
          return record_key::Grant{std::forward<R>(r).grant_id};
        } else if constexpr (std::is_same_v<Kind, SecretRatchetRecordV1>) {
          return record_key::Secret{std::forward<R>(r).secret_id};
        } else if constexpr (std::is_same_v<Kind, EntryPointRatchetRecordV1>) {
          return record_key::EntryPoint{std::forward<R>(r).user_id};
        } else {
          static_assert(std::is_same_v<Kind, FormatVersionRatchetRecordV1> ||
                        std::is_same_v<Kind, TrustedRootRatchetRecordV1>);
          return std::nullopt;
        }
      },
      std::forward<Record>(record));
}

template <class Record>
std::optional<KeyOrigin> origin_of(Record&& record) {
  return std::visit(
      []<class R>(R&& r) -> std::optional<KeyOrigin> {
        using Kind = std::remove_cvref_t<R>;
        if constexpr (std::is_same_v<Kind, UserHandleRatchetRecordV1>) {
          if (!r.handle.empty()) return key_origin::UserHandle{std::forward<R>(r).handle};
        } else if constexpr (std::is_same_v<Kind, VaultHandleRatchetRecordV1>) {
          if (!r.handle.empty()) return key_origin::VaultHandle{std::forward<R>(r).handle};
        } else if constexpr (std::is_same_v<Kind, GroupMemberRatchetRecordV1>) {
          if (r.input) return key_origin::GroupMember{*std::forward<R>(r).input};
        } else if constexpr (std::is_same_v<Kind, SecretRatchetRecordV1>) {
          if (!r.selector.tuple.empty()) return key_origin::Secret{std::forward<R>(r).selector};
        }
        return std::nullopt;
      },
      std::forward<Record>(record));
}

}  // namespace

std::optional<RecordKey> ratchet_record_key(const RatchetRecordV1& record) { return key_of(record); }

std::optional<KeyOrigin> ratchet_record_origin(const RatchetRecordV1& record) { return origin_of(record); }

std::optional<RatchetRecordV1> ratchet_record_for_key(const RecordKey& key, std::uint64_t counter,
                                                      const KeyOrigin* origin) {
  using Out = std::optional<RatchetRecordV1>;
  return std::visit(
      Overloaded{
          [](const record_key::VaultRoot&) -> Out { return std::nullopt; },
          [&](const record_key::EntryPoint& k) -> Out { return EntryPointRatchetRecordV1{k.user_id, counter}; },
          [&](const record_key::User& k) -> Out { return UserRatchetRecordV1{k.user_id, counter}; },
          [&](const record_key::UserHandle& k) -> Out {
            const auto* o = origin_as<key_origin::UserHandle>(origin);
            return UserHandleRatchetRecordV1{k.handle_id, counter, o != nullptr ? o->handle : std::string()};
          },
          [&](const record_key::Group& k) -> Out { return GroupRatchetRecordV1{k.group_id, counter}; },
          [&](const record_key::GroupMember& k) -> Out {
            const auto* o = origin_as<key_origin::GroupMember>(origin);
            std::optional<GroupMemberIdInputV1> input;
            if (o != nullptr) input = o->input;
            return GroupMemberRatchetRecordV1{k.group_member_id, counter, std::move(input)};
          },
          [&](const record_key::Grant& k) -> Out { return GrantRatchetRecordV1{k.grant_id, counter}; },
          [&](const record_key::Secret& k) -> Out {
            const auto* o = origin_as<key_origin::Secret>(origin);
            return SecretRatchetRecordV1{k.secret_id, counter, o != nullptr ? o->selector : SecretSelectorV1{}};
          },
          [&](const record_key::VaultHandle& k) -> Out {
            const auto* o = origin_as<key_origin::VaultHandle>(origin);
            return VaultHandleRatchetRecordV1{k.handle_id, counter, o != nullptr ? o->handle : std::string()};
          },
      },
      key);
}

Ratchet Ratchet::make(cord::Bytes trusted_root) { return Ratchet(std::move(trusted_root)); }

template <class Record>
void Ratchet::Absorbed::add(Record&& record) {
  if (const auto* version = std::get_if<FormatVersionRatchetRecordV1>(&record)) {
    format_version = std::max(format_version, version->version);
    return;
  }
  // The root is fixed when the ratchet is made; a stored or vouched-for
  // root record never moves it.
  if (std::holds_alternative<TrustedRootRatchetRecordV1>(record)) return;
  const std::uint64_t counter = counter_of(record);
  // Distinct members of the record: the id goes to the key, the origin
  // field to the origin.
  std::optional<KeyOrigin> origin = origin_of(std::forward<Record>(record));
  std::optional<RecordKey> key = key_of(std::forward<Record>(record));
  if (!key) return;
  if (origin) origins.emplace_back(*key, std::move(*origin));
  counters.emplace_back(std::move(*key), counter);
}

namespace {

// Every merge only raises a counter; the first origin known for a key
// stays, whatever the counters say.
constexpr auto kRaise = [](std::uint64_t& held, std::uint64_t offered) { held = std::max(held, offered); };
constexpr auto kKeepFirst = [](KeyOrigin&, const KeyOrigin&) {};

// Spare room kept at most: a quarter of the entries.
constexpr std::size_t kSlackDivisor = 4;

template <class Map>
void shrink_if_slack(Map& map) {
  if (map.capacity() - map.size() > map.size() / kSlackDivisor) map.shrink_to_fit();
}

}  // namespace

Ratchet::Loader::Loader(std::size_t records) {
  // Most stored records carry an origin as well as a counter: reserving
  // both spares growing the lists and trimming them afterwards.
  absorbed_.counters.reserve(records);
  absorbed_.origins.reserve(records);
  cord::advise_huge_pages(absorbed_.counters.data(), absorbed_.counters.capacity() * sizeof(RatchetCounters::value_type));
  cord::advise_huge_pages(absorbed_.origins.data(), absorbed_.origins.capacity() * sizeof(RatchetOrigins::value_type));
}

template <class Stored>
void Ratchet::Loader::take(Stored&& stored) {
  // Parts are moved out of a list the loader was given and copied out of
  // one it only reads.
  const auto pass = [](auto& part) -> decltype(auto) {
    if constexpr (std::is_rvalue_reference_v<Stored&&>) {
      return std::move(part);
    } else {
      return std::as_const(part);
    }
  };
  auto* record = stored.known();
  if (record == nullptr) {
    unknown_.push_back(pass(*stored.unknown_payload()));
  } else if (auto* trusted = std::get_if<TrustedRootRatchetRecordV1>(record)) {
    // With several, the last one met names the root.
    root_ = pass(trusted->fingerprint);
  } else {
    absorbed_.add(pass(*record));
  }
}

void Ratchet::Loader::add(cord::Evolving<RatchetRecordV1>&& stored) { take(std::move(stored)); }

void Ratchet::Loader::add(const cord::Evolving<RatchetRecordV1>& stored) { take(stored); }

std::optional<Ratchet> Ratchet::Loader::finish() && {
  if (!root_) return std::nullopt;
  Ratchet ratchet(std::move(*root_));
  ratchet.unknown_records_ = std::move(unknown_);
  ratchet.absorb(std::move(absorbed_));
  return ratchet;
}

template <class Stored>
std::optional<Ratchet> Ratchet::from_stored_list(Stored&& stored) {
  Loader loader(stored.size());
  for (auto& element : stored) {
    if constexpr (std::is_rvalue_reference_v<Stored&&>) {
      loader.add(std::move(element));
    } else {
      loader.add(std::as_const(element));
    }
  }
  return std::move(loader).finish();
}

std::optional<Ratchet> Ratchet::from_stored(std::span<const cord::Evolving<RatchetRecordV1>> stored) {
  return from_stored_list(stored);
}

std::optional<Ratchet> Ratchet::from_stored(std::vector<cord::Evolving<RatchetRecordV1>>&& stored) {
  return from_stored_list(std::move(stored));
}

void Ratchet::absorb(Absorbed&& absorbed) {
  counters_.merge(RatchetCounters::from_unsorted(std::move(absorbed.counters), kRaise, key_prefix), kRaise);
  origins_.merge(RatchetOrigins::from_unsorted(std::move(absorbed.origins), kKeepFirst, key_prefix), kKeepFirst);
  raise_format_version(absorbed.format_version);
  // A ratchet read from a file lives as long as its session: not with the
  // slack of repeated keys or of growing by doubling.
  shrink_if_slack(counters_);
  shrink_if_slack(origins_);
}

void Ratchet::raise_format_version(std::uint64_t version) { format_version_ = std::max(format_version_, version); }

void Ratchet::absorb_record(const RatchetRecordV1& record) { absorb_records(std::span(&record, 1)); }

void Ratchet::absorb_records(std::span<const RatchetRecordV1> records) {
  Absorbed absorbed;
  absorbed.counters.reserve(records.size());
  for (const RatchetRecordV1& record : records) absorbed.add(record);
  absorb(std::move(absorbed));
}

void Ratchet::apply_update(const RatchetUpdate& update) {
  counters_.merge(update.counters, kRaise);
  origins_.merge(update.origins, kKeepFirst);
  if (update.format_version) raise_format_version(*update.format_version);
}

RatchetRaiseUndo Ratchet::apply_update_undoably(const RatchetUpdate& update) {
  RatchetRaiseUndo undo;
  undo.format_version = format_version_;
  // The update's keys ascend, so each list is built in order.
  auto held = counters_.cbegin();
  for (const auto& [key, counter] : update.counters) {
    while (held != counters_.cend() && held->first < key) ++held;
    if (held == counters_.cend() || !(held->first == key)) {
      undo.added_counters.push_back(key);
    } else if (held->second < counter) {
      undo.lowered.emplace(key, held->second);
    }
  }
  auto known = origins_.cbegin();
  for (const auto& [key, origin] : update.origins) {
    while (known != origins_.cend() && known->first < key) ++known;
    if (known == origins_.cend() || !(known->first == key)) undo.added_origins.push_back(key);
  }
  // A merge that fails part-way has folded raises into held pairs and added
  // some new ones behind them, unsorted: those go and the raises are taken
  // back, so that a failed raise leaves the ratchet as it was.
  const std::size_t counters_held = counters_.size();
  const std::size_t origins_held = origins_.size();
  try {
    apply_update(update);
  } catch (...) {
    if (counters_.size() != counters_held + undo.added_counters.size()) counters_.truncate(counters_held);
    if (origins_.size() != origins_held + undo.added_origins.size()) origins_.truncate(origins_held);
    undo_raise(undo);
    throw;
  }
  return undo;
}

void Ratchet::undo_raise(const RatchetRaiseUndo& undo) noexcept {
  // Every lowered key is held, so the merge only folds; the erasures walk
  // their ascending lists in step with the maps.
  counters_.merge(undo.lowered, [](std::uint64_t& held, std::uint64_t before) { held = before; });
  const auto drop_listed = [](const std::vector<RecordKey>& listed) {
    return [next = listed.cbegin(), end = listed.cend()](const auto& pair) mutable {
      while (next != end && *next < pair.first) ++next;
      return next != end && *next == pair.first;
    };
  };
  counters_.erase_if(drop_listed(undo.added_counters));
  origins_.erase_if(drop_listed(undo.added_origins));
  format_version_ = undo.format_version;
}

void Ratchet::keep_unknown_record(const cord::Bytes& payload) {
  if (std::ranges::find(unknown_records_, payload) == unknown_records_.end()) unknown_records_.push_back(payload);
}

void Ratchet::keep_unknown_records(std::span<const cord::Bytes> payloads) {
  if (payloads.data() == unknown_records_.data()) return;  // its own: all kept already
  // Both lists can come from files anyone may write: what is kept is looked
  // up in an ordered index instead of searched once per payload.
  const auto less = [](cord::ByteView a, cord::ByteView b) { return cord::compare_bytes(a, b) < 0; };
  std::set<cord::ByteView, decltype(less)> kept(less);
  for (const cord::Bytes& payload : unknown_records_) kept.insert(payload);
  for (const cord::Bytes& payload : payloads) {
    if (kept.insert(payload).second) unknown_records_.push_back(payload);
  }
}

std::vector<RatchetRecordV1> Ratchet::to_records() const {
  std::vector<RatchetRecordV1> records;
  records.reserve(counters_.size() + 2);
  for_each_record([&](RatchetRecordV1&& record) { records.push_back(std::move(record)); });
  return records;
}

std::vector<cord::Evolving<RatchetRecordV1>> Ratchet::to_stored() const {
  std::vector<cord::Evolving<RatchetRecordV1>> stored;
  std::vector<RatchetRecordV1> records = to_records();
  stored.reserve(records.size() + unknown_records_.size());
  for (auto& record : records) stored.emplace_back(std::move(record));
  for (const auto& payload : unknown_records_) stored.push_back(cord::Evolving<RatchetRecordV1>::unknown(payload));
  return stored;
}

}  // namespace vornex::core
