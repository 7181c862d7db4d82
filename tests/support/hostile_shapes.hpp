// Vaults a hostile member can write to make validation work hardest, one
// builder per shape, shared by the tests that bound validation's work on
// them and by the adversarial benchmark. Each vault comes with what makes
// it its shape (a check of the report) so that a builder that lost its
// shape fails instead of measuring something else. Free of any test
// framework: the fuzz and bench builds link it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vault_builder.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/report.hpp"

namespace vornex::test {

// A is a manager of `team` from the root; B and C are plain users.
enum class HostileShape : std::uint8_t {
  BigInList,     // B's one grant names an In list of L values, one more than A's entry allows
  BigLabels,     // C's one grant has L label matchers
  ToggleLabel,   // revocations flip C's authority between manage and read, through a shared label
  PendTarget,    // one rewritten grant under revoked entries, and C's deletions of it pending to the end
  PendFakeUp,    // PendTarget, and C's memberships of itself in groups nobody made
  Conflict1,     // one conflicted grant under revoked entries
  LabelShare,    // manage entries sharing four labels, told apart by a fifth
  LabelSecret,   // the same with write entries and labelled secrets
  LabelPresent,  // many `a Present` entries beside the one that answers
  ToggleGrant,   // ToggleLabel beside many holders of manage over team/b
  MemberFlip,    // revoked root grants flip a group's membership of another
  DeepQ,         // grants under an entry reached through a long chain of groups
  ChainWrite,    // secrets under the top of a long chain of groups, each group holding an entry
  ChainUsers,    // many users below a long chain of groups, each writing one secret under its top
  ChainFan,      // ChainUsers with each user in a group of its own below the chain
  ChainLevels,   // a user at every level of a chain whose every group holds an entry
  ChainGrants,   // ChainLevels with manage entries, each user granting one read under the top's
  ChainAsk,      // ChainUsers with a manage entry at the top, each user granting one read under it
  ChainFanAsk,   // ChainFan with the same
  ChainPairs,    // ChainLevels with each user in the group above its own too
  ChainPairGrants,  // ChainGrants with the same
  PendChain,     // PendTarget with C below a chain of groups holding nothing under a holder
};
inline constexpr std::size_t kHostileShapeCount = 22;
inline constexpr std::array<HostileShape, kHostileShapeCount> kHostileShapes = {
    HostileShape::BigInList,   HostileShape::BigLabels,    HostileShape::ToggleLabel, HostileShape::PendTarget,
    HostileShape::PendFakeUp,  HostileShape::Conflict1,    HostileShape::LabelShare,  HostileShape::LabelSecret,
    HostileShape::LabelPresent, HostileShape::ToggleGrant, HostileShape::MemberFlip,  HostileShape::DeepQ,
    HostileShape::ChainWrite,   HostileShape::ChainUsers,  HostileShape::ChainFan,    HostileShape::ChainLevels,
    HostileShape::ChainGrants,  HostileShape::ChainAsk,    HostileShape::ChainFanAsk, HostileShape::ChainPairs,
    HostileShape::ChainPairGrants, HostileShape::PendChain,
};

// Lower case, as the shapes are known: "biginlist", "togglelabel", ...
const char* hostile_shape_name(HostileShape shape);
// BigInList and BigLabels are a handful of records whatever their size:
// n counts the values or matchers of their one large record.
bool sized_by_one_record(HostileShape shape);

// What the report must show for the vault to have its shape: empty when
// it does, else what is wrong.
using ShapeCheck = std::function<std::string(const core::validate::ValidationReport&)>;

struct HostileVault {
  std::vector<core::validate::HashedRecord> records;  // in the order built
  core::validate::VerifiedHashes verified;            // every record: all are properly signed
  core::Ratchet trust;
  std::size_t bytes = 0;  // the records' encodings, added up
  ShapeCheck check;

  // The shapes built on revocations: the revocations in the order they
  // are admitted (newest grant first), as indices into `records`, and what
  // the report must show when only the first `kept` of them are in the
  // vault (fewer than all): empty when it does. In the toggle shapes each
  // revocation flips what the records left depend on; in the others it
  // hands one grant to the record below.
  std::vector<std::size_t> revocations;
  std::function<std::string(const core::validate::ValidationReport&, std::size_t kept)> check_with_revocations;

  // Trusting b's root, which has seen format version 1; no records yet.
  explicit HostileVault(const VaultBuilder& b);
  void add(core::VaultRecordV1 record);

 private:
  const VaultBuilder* builder_;
};

// The shape at size n (records, or L for the two sized by one record).
HostileVault build_hostile_shape(HostileShape shape, std::size_t n, const VaultBuilder& b = shared_builder());

// A grant under each of many revoked narrow entries, all written by B to C
// as one grant: at counters i + 1 (rewritten), or all at one counter
// (conflicted). ~n records.
HostileVault build_one_grant_under_revoked_entries(std::size_t n, bool conflicted,
                                                   const VaultBuilder& b = shared_builder());

// The plain vault to compare with: A gives four members narrow manage
// grants within `team` and revokes none. At least `records` records, or at
// least `bytes` bytes of them.
HostileVault build_plain_yardstick(std::size_t records, const VaultBuilder& b = shared_builder());
HostileVault build_plain_of_same_bytes(std::size_t bytes, const VaultBuilder& b = shared_builder());

// Blocked state, warnings, issues and the shape's own check, in that
// order: empty when the report is the one the shape intends.
std::string hostile_report_problem(const HostileVault& vault, const core::validate::ValidationReport& report);

// Many distinct identities for the shapes with many users: the index in
// the seed's first four bytes, made once each.
const crypto::Identity& numbered_identity(const VaultBuilder& b, std::uint32_t index);

}  // namespace vornex::test
