// A second, deliberately slow validation engine for tests: each step is the
// plain reading of the algorithm as the project documents it, with no index,
// no worklist and no shortcut. The production engine is checked against it
// on many vaults, so that its faster algorithms can be trusted to give the
// same report. It shares only the record model, the structural rules, the
// authority-set questions and the derivations with production code; every
// step of validation proper is written again here.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/merge.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/report.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace vornex::test::reference {

using Floor = std::map<core::RecordKey, std::uint64_t>;
using Slots = std::map<core::RecordKey, core::validate::ConflictSlot>;
// The literal map of the derivation, every member's set in full.
using Authorities = std::map<core::PrincipalRefV1, core::AuthoritySet>;

// The records of the principal graph in force in one iteration.
struct Selection {
  std::map<core::UserId, core::UserRecordV1> users;
  std::map<core::GroupId, core::GroupRecordV1> groups;
  std::map<core::GroupMemberId, core::GroupMemberRecordV1> group_members;
  std::map<core::GrantId, core::GrantRecordV1> grants;
  std::set<core::UserId> deleted_users;
  std::set<core::GroupId> deleted_groups;
  std::set<core::GrantId> deleted_grants;
  Slots conflicts;
  bool operator==(const Selection&) const = default;
};

// What a run saw on its way, for the statistics of the differential test.
struct Trace {
  std::size_t deletion_candidates = 0;  // user, group and grant deletions verified
  std::size_t admitted_deletions = 0;   // of those, admitted in the final state's resolution
  std::size_t ambiguous_keys = 0;
  std::size_t rollback_floor = 0;       // keys in the rollback floor
  std::size_t secret_conflicts = 0;     // slots of last-writer-wins resolution of secrets
  std::size_t state_computations = 0;   // compute_effective_state calls, both resolutions
  int most_iterations = 0;              // the longest fixed point met
};

std::strong_ordering compare_lww(const core::validate::VerifiedRecord& a,
                                 const core::validate::VerifiedRecord& b);

Authorities root_authorities(const core::UserId& root_user_id);
// A copy of the user's entry, or the empty set.
core::AuthoritySet authority_for_user(const Authorities& authorities, const core::UserId& user);

Selection select_authorized_records(std::span<const core::validate::VerifiedRecord> records,
                                    const core::UserRecordV1& root, const std::set<core::UserId>& entry_users,
                                    const std::set<core::HashValue>& admitted_deletions, const Floor& floor,
                                    const Authorities& previous);
Authorities derive_authorities(const Selection& selection, const core::UserId& root_user_id);

std::map<core::RecordKey, core::validate::ConflictReport> materialize_conflicts(
    const Slots& slots, std::span<const core::validate::VerifiedRecord> records);

core::validate::EffectiveState compute_effective_state(const core::UserRecordV1& root,
                                                       const core::HashValue& root_fingerprint,
                                                       std::span<const core::validate::VerifiedRecord> records,
                                                       const std::set<core::HashValue>& admitted_deletions,
                                                       const Floor& floor, Trace* trace = nullptr);

std::pair<core::validate::EffectiveState, std::set<core::HashValue>> resolve_effective_with_deletions(
    const core::validate::pipeline::SelectedRoot& root, std::span<const core::validate::VerifiedRecord> records,
    const Floor& floor, Trace* trace = nullptr);

core::validate::Watermarks admitted_watermarks(std::span<const core::validate::VerifiedRecord> records,
                                               const core::validate::EffectiveState& state,
                                               const std::set<core::HashValue>& admitted_deletions);

Slots lww_resolution(std::span<const core::validate::VerifiedRecord> records, const Floor& floor,
                     const core::validate::EffectiveState& state);

// Sets the records, the highest counter and the per-secret index.
void attach_verified_records(core::validate::EffectiveState& state,
                             std::vector<core::validate::VerifiedRecord> records,
                             std::optional<std::uint64_t> highest);

// The whole validation: format-version gate, version-1 pipeline, raise.
// Duplicate record hashes are dropped keeping the first; records keep the
// order of the span.
core::CoreResult<core::validate::ValidationReport> validate_vault_with_verified(
    std::span<const core::validate::HashedRecord> records, const core::Ratchet& trust,
    const core::CryptoProvider& crypto, const core::validate::VerifiedHashes& verified, Trace* trace = nullptr);

// The fields of two reports that differ, named; empty when they are equal.
std::string differing_fields(const core::validate::ValidationReport& production,
                             const core::validate::ValidationReport& reference);

}  // namespace vornex::test::reference
