#include "vornex/core/ratchet.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

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

std::optional<RecordKey> ratchet_record_key(const RatchetRecordV1& record) {
  return std::visit(
      Overloaded{
          [](const UserRatchetRecordV1& r) -> std::optional<RecordKey> { return record_key::User{r.user_id}; },
          [](const UserHandleRatchetRecordV1& r) -> std::optional<RecordKey> {
            return record_key::UserHandle{r.handle_id};
          },
          [](const VaultHandleRatchetRecordV1& r) -> std::optional<RecordKey> {
            return record_key::VaultHandle{r.handle_id};
          },
          [](const GroupRatchetRecordV1& r) -> std::optional<RecordKey> { return record_key::Group{r.group_id}; },
          [](const GroupMemberRatchetRecordV1& r) -> std::optional<RecordKey> {
            return record_key::GroupMember{r.group_member_id};
          },
          [](const GrantRatchetRecordV1& r) -> std::optional<RecordKey> { return record_key::Grant{r.grant_id}; },
          [](const SecretRatchetRecordV1& r) -> std::optional<RecordKey> { return record_key::Secret{r.secret_id}; },
          [](const EntryPointRatchetRecordV1& r) -> std::optional<RecordKey> {
            return record_key::EntryPoint{r.user_id};
          },
          [](const FormatVersionRatchetRecordV1&) -> std::optional<RecordKey> { return std::nullopt; },
          [](const TrustedRootRatchetRecordV1&) -> std::optional<RecordKey> { return std::nullopt; },
      },
      record);
}

std::optional<KeyOrigin> ratchet_record_origin(const RatchetRecordV1& record) {
  if (const auto* r = std::get_if<UserHandleRatchetRecordV1>(&record); r != nullptr && !r->handle.empty()) {
    return key_origin::UserHandle{r->handle};
  }
  if (const auto* r = std::get_if<VaultHandleRatchetRecordV1>(&record); r != nullptr && !r->handle.empty()) {
    return key_origin::VaultHandle{r->handle};
  }
  if (const auto* r = std::get_if<GroupMemberRatchetRecordV1>(&record); r != nullptr && r->input) {
    return key_origin::GroupMember{*r->input};
  }
  if (const auto* r = std::get_if<SecretRatchetRecordV1>(&record); r != nullptr && !r->selector.tuple.empty()) {
    return key_origin::Secret{r->selector};
  }
  return std::nullopt;
}

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

std::optional<Ratchet> Ratchet::from_stored(std::span<const cord::Evolving<RatchetRecordV1>> stored) {
  // The root has to be known before anything is absorbed, wherever its
  // record sits in the list.
  const cord::Bytes* root = nullptr;
  for (const auto& element : stored) {
    const RatchetRecordV1* record = element.known();
    if (record == nullptr) continue;
    if (const auto* trusted = std::get_if<TrustedRootRatchetRecordV1>(record)) root = &trusted->fingerprint;
  }
  if (root == nullptr) return std::nullopt;

  Ratchet ratchet(*root);
  for (const auto& element : stored) {
    if (const RatchetRecordV1* record = element.known()) {
      ratchet.absorb_record(*record);
    } else {
      ratchet.unknown_records_.push_back(*element.unknown_payload());
    }
  }
  return ratchet;
}

void Ratchet::raise_counter(const RecordKey& key, std::uint64_t counter) {
  auto [it, inserted] = counters_.try_emplace(key, counter);
  if (!inserted) it->second = std::max(it->second, counter);
}

void Ratchet::add_origin(const RecordKey& key, const KeyOrigin& origin) {
  // The first origin known for a key stays, whatever the counters say.
  origins_.try_emplace(key, origin);
}

void Ratchet::raise_format_version(std::uint64_t version) { format_version_ = std::max(format_version_, version); }

void Ratchet::absorb_record(const RatchetRecordV1& record) {
  if (const auto* version = std::get_if<FormatVersionRatchetRecordV1>(&record)) {
    raise_format_version(version->version);
    return;
  }
  // The root is fixed when the ratchet is made; a stored or vouched-for
  // root record never moves it.
  if (std::holds_alternative<TrustedRootRatchetRecordV1>(record)) return;

  const std::optional<RecordKey> key = ratchet_record_key(record);
  if (!key) return;
  raise_counter(*key, counter_of(record));
  if (auto origin = ratchet_record_origin(record)) add_origin(*key, *origin);
}

void Ratchet::apply_update(const RatchetUpdate& update) {
  for (const auto& [key, counter] : update.counters) raise_counter(key, counter);
  for (const auto& [key, origin] : update.origins) add_origin(key, origin);
  if (update.format_version) raise_format_version(*update.format_version);
}

void Ratchet::keep_unknown_record(const cord::Bytes& payload) {
  if (std::ranges::find(unknown_records_, payload) == unknown_records_.end()) unknown_records_.push_back(payload);
}

std::vector<RatchetRecordV1> Ratchet::to_records() const {
  std::vector<RatchetRecordV1> records;
  records.reserve(counters_.size() + 2);
  for (const auto& [key, counter] : counters_) {
    const auto origin = origins_.find(key);
    const KeyOrigin* known = origin == origins_.end() ? nullptr : &origin->second;
    if (auto record = ratchet_record_for_key(key, counter, known)) records.push_back(std::move(*record));
  }
  if (format_version_ != 0) records.push_back(FormatVersionRatchetRecordV1{format_version_});
  records.push_back(TrustedRootRatchetRecordV1{trusted_root_});
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
