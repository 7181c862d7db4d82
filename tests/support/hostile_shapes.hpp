// Vaults a hostile member can write to make validation work hardest, one
// builder per shape, shared by the tests that bound validation's work on
// them and by the adversarial benchmark. Each vault comes with what makes
// it its shape (a check of the report) so that a builder that lost its
// shape fails instead of measuring something else. Free of any test
// framework: the fuzz and bench builds link it too.
#pragma once

#include <algorithm>
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
  InRevoke,      // entries `a In [1, v<i>]` all covering B's grants, revoked but the first; C's deletion pending
  InScan,        // entries `a In [1, v<i>], b Absent` covering none of B's reads, answered by one entry beside
  InSecret,      // InScan with write entries and B's labelled secrets
  InDel,         // C's pending deletions naming In lists, asked in every run while C's In-list entries are revoked
  NestGrow,      // manage entries at every depth of one path, revoked deepest first, B's grants below
  GroupAsk,      // a group's members each asking once, the group's narrow entries revoked one by one
  GroupAskKeep,  // GroupAsk with its narrow entries kept
  NeverSettle,   // oscillating grants and rings of managers, the questions below them asked in every iteration
  EmptyPath,     // one read grant whose path is L empty segments
  AbsentScan,    // InScan with entries `a=1, k<i> Absent`, told apart by a private Absent key
  AbsentSecret,  // InSecret with the same
};

// Each shape's name, lower case as the shapes are known ("biginlist",
// "togglelabel", ...), and how often the random planter (random_hostile)
// draws it among random records: 0 for the shapes whose size is their
// point, left to their own tests.
struct HostileShapeTraits {
  HostileShape shape;
  const char* name;
  std::uint8_t planted_weight;
};
inline constexpr auto kHostileShapeTable = std::to_array<HostileShapeTraits>({
    {HostileShape::BigInList, "biginlist", 1},
    {HostileShape::BigLabels, "biglabels", 1},
    {HostileShape::ToggleLabel, "togglelabel", 1},
    {HostileShape::PendTarget, "pendtarget", 1},
    {HostileShape::PendFakeUp, "pendfakeup", 1},
    {HostileShape::Conflict1, "conflict1", 1},
    {HostileShape::LabelShare, "labelshare", 1},
    {HostileShape::LabelSecret, "labelsecret", 1},
    {HostileShape::LabelPresent, "labelpresent", 1},
    {HostileShape::ToggleGrant, "togglegrant", 1},
    {HostileShape::MemberFlip, "memberflip", 1},
    // A chain of groups breaks wherever the vault spoils a link.
    {HostileShape::DeepQ, "deepq", 2},
    {HostileShape::ChainWrite, "chainwrite", 0},
    {HostileShape::ChainUsers, "chainusers", 0},
    {HostileShape::ChainFan, "chainfan", 0},
    {HostileShape::ChainLevels, "chainlevels", 0},
    {HostileShape::ChainGrants, "chaingrants", 0},
    {HostileShape::ChainAsk, "chainask", 0},
    {HostileShape::ChainFanAsk, "chainfanask", 0},
    {HostileShape::ChainPairs, "chainpairs", 0},
    {HostileShape::ChainPairGrants, "chainpairgrants", 0},
    {HostileShape::PendChain, "pendchain", 0},
    {HostileShape::InRevoke, "inrevoke", 0},
    {HostileShape::InScan, "inscan", 0},
    {HostileShape::InSecret, "insecret", 0},
    {HostileShape::InDel, "indel", 0},
    {HostileShape::NestGrow, "nestgrow", 0},
    {HostileShape::GroupAsk, "groupask", 0},
    {HostileShape::GroupAskKeep, "groupaskkeep", 0},
    {HostileShape::NeverSettle, "neversettle", 0},
    {HostileShape::EmptyPath, "emptypath", 0},
    {HostileShape::AbsentScan, "absentscan", 0},
    {HostileShape::AbsentSecret, "absentsecret", 0},
});
inline constexpr std::size_t kHostileShapeCount = kHostileShapeTable.size();
// The table is in the enum's order, so a shape's traits are found by value.
static_assert([] {
  for (std::size_t i = 0; i < kHostileShapeCount; ++i) {
    if (static_cast<std::size_t>(kHostileShapeTable[i].shape) != i) return false;
  }
  return true;
}());

inline constexpr auto kHostileShapes = [] {
  std::array<HostileShape, kHostileShapeCount> out{};
  for (std::size_t i = 0; i < kHostileShapeCount; ++i) out[i] = kHostileShapeTable[i].shape;
  return out;
}();

// The shapes the random planter draws, in the enum's order.
inline constexpr std::size_t kPlantedHostileShapeCount =
    static_cast<std::size_t>(std::ranges::count_if(kHostileShapeTable, [](const HostileShapeTraits& t) {
      return t.planted_weight > 0;
    }));
inline constexpr auto kPlantedHostileShapes = [] {
  std::array<HostileShape, kPlantedHostileShapeCount> out{};
  std::size_t k = 0;
  for (const HostileShapeTraits& t : kHostileShapeTable) {
    if (t.planted_weight > 0) out[k++] = t.shape;
  }
  return out;
}();
// Where a planted shape stands in kPlantedHostileShapes.
constexpr std::size_t planted_index(HostileShape shape) {
  return static_cast<std::size_t>(std::ranges::find(kPlantedHostileShapes, shape) - kPlantedHostileShapes.begin());
}

constexpr const HostileShapeTraits& hostile_traits(HostileShape shape) {
  return kHostileShapeTable[static_cast<std::size_t>(shape)];
}
constexpr const char* hostile_shape_name(HostileShape shape) { return hostile_traits(shape).name; }
// BigInList, BigLabels and EmptyPath are a handful of records whatever
// their size: n counts the values, matchers or segments of their one
// large record.
bool sized_by_one_record(HostileShape shape);
// The shapes whose bytes grow faster than their records, so that the
// plain vault to compare with is one of the same bytes: the ones sized by
// one record, and NestGrow, whose every grant spells out a deep path.
bool compared_by_bytes(HostileShape shape);

// What the report must show for the vault to have its shape: empty when
// it does, else what is wrong.
using ShapeCheck = std::function<std::string(const core::validate::ValidationReport&)>;

struct HostileVault {
  std::vector<core::validate::HashedRecord> records;  // in the order built
  core::validate::VerifiedHashes verified;            // every record: all are properly signed
  core::Ratchet trust;
  std::size_t bytes = 0;  // the records' encodings, added up
  ShapeCheck check;
  // A vault that never settles: its fixed point runs to its last
  // iteration, and the state is blocked.
  bool never_settles = false;

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

// Blocked state (as the vault intends it), warnings, issues and the
// shape's own check, in that order: empty when the report is the one the
// shape intends.
std::string hostile_report_problem(const HostileVault& vault, const core::validate::ValidationReport& report);

// Many distinct identities for the shapes with many users: the index in
// the seed's first four bytes, made once each.
const crypto::Identity& numbered_identity(const VaultBuilder& b, std::uint32_t index);

}  // namespace vornex::test
