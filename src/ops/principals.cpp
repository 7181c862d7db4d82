#include "vornex/ops/principals.hpp"

#include "vornex/core/handles.hpp"

namespace vornex::ops {

namespace {

// The record with the smallest normalised handle; a later record replaces
// the best only when strictly smaller.
template <class Map, class Keep>
const typename Map::mapped_type* smallest_handle(const Map& handles, Keep keep) {
  const typename Map::mapped_type* best = nullptr;
  std::string best_handle;
  for (const auto& [id, record] : handles) {
    if (!keep(record)) continue;
    std::string handle = core::normalize_handle(record.handle);
    if (best == nullptr || handle < best_handle) {
      best = &record;
      best_handle = std::move(handle);
    }
  }
  return best;
}

std::optional<std::string> normalized(const core::UserHandleRecordV1* record) {
  if (record == nullptr) return std::nullopt;
  return core::normalize_handle(record->handle);
}

}  // namespace

const core::VaultHandleRecordV1* primary_vault_handle(const core::validate::EffectiveState& state) {
  return smallest_handle(state.vault_handles, [](const auto&) { return true; });
}

const core::UserHandleRecordV1* primary_handle_for_user(const core::validate::EffectiveState& state,
                                                        const core::UserId& user) {
  return smallest_handle(state.user_handles, [&](const core::UserHandleRecordV1& r) { return r.user_id == user; });
}

OpsResult<ResolvedUserRef> resolve_user_ref(const core::validate::EffectiveState& state,
                                            const core::CryptoProvider& crypto, const UserRef& reference) {
  if (const auto* by_id = std::get_if<user_ref::Id>(&reference)) {
    if (!state.users.contains(by_id->id)) return std::unexpected(OpsError::user_missing_user_record(by_id->id));
    return ResolvedUserRef{by_id->id, normalized(primary_handle_for_user(state, by_id->id))};
  }
  const std::string& text = std::get<user_ref::Handle>(reference).text;
  const std::string handle = core::normalize_handle(text);
  if (!core::is_valid_handle(handle)) {
    return std::unexpected(OpsError::invalid_user_handle(std::string(kInvalidHandleReason), text));
  }
  auto id = core::derive_user_handle_id(crypto, handle);
  if (!id) return std::unexpected(OpsError(std::move(id).error()));
  const auto found = state.user_handles.find(*id);
  if (found == state.user_handles.end()) return std::unexpected(OpsError::unknown_user_handle(handle));
  const core::UserHandleRecordV1& record = found->second;
  if (!state.users.contains(record.user_id)) {
    return std::unexpected(OpsError::handle_to_missing_user(handle, record.user_id));
  }
  return ResolvedUserRef{record.user_id, normalized(&record)};
}

}  // namespace vornex::ops
