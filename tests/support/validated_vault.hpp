// A vault under construction in a test, and its effective state.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "vault_builder.hpp"
#include "vornex/core/validate/effective.hpp"

namespace vornex::test {

struct TestVault {
  VaultBuilder b;
  std::vector<core::VaultRecordV1> records{b.vault_root()};

  const crypto::Identity& root() const { return b.root(); }
  const crypto::Identity& id(std::uint8_t seed) const { return b.identity(seed); }

  TestVault& add(core::VaultRecordV1 record) {
    records.push_back(std::move(record));
    return *this;
  }
  // A user made effective by the root: its user record and its entry point.
  TestVault& enrol(const crypto::Identity& user, std::uint64_t counter = 1) {
    add(b.user(b.root(), user, counter));
    return add(b.entry_point(user, counter));
  }

  std::vector<core::validate::VerifiedRecord> verified() const { return b.verified(records); }

  // The state with deletions resolved, secret conflicts entered and the
  // records attached, as the pipeline hands it on.
  core::validate::EffectiveState state(const core::validate::RollbackFloor& floor = {}) const {
    auto verified_records = verified();
    auto [state, deletions] =
        core::validate::resolve_effective_with_deletions(b.selected_root(), verified_records, floor);
    auto slots = core::validate::lww_resolution(verified_records, floor, state);
    for (auto& [key, report] : core::validate::materialize_conflicts(std::move(slots), verified_records)) {
      state.conflicts.insert_or_assign(key, std::move(report));
    }
    state.attach_verified_records(std::move(verified_records), std::nullopt);
    return state;
  }
};

}  // namespace vornex::test
