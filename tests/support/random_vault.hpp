// Random vaults for differential tests: a seed gives the same records, trust
// state and verified-hash cache every time. The shapes are chosen so that
// the hard parts of validation come up often: user chains in any order,
// keys claimed twice, nested and cyclic groups, grants by users with and
// without the authority to make them, deletions by the root and by others
// at counters below, at and above their targets, competing writes, bad
// signatures, unknown kinds and trust states ahead of the vault. Some also
// hold the deletion shapes below, which each cost deletion resolution a
// state per admitted deletion, the revocation shapes, which take away
// authority that something below is still using, or the hostile shapes,
// which a member writes to make validation's lookups work hard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "hostile_shapes.hpp"
#include "vault_builder.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace vornex::test {

// splitmix64: small, fast and the same on every platform.
class SeededRng {
 public:
  explicit SeededRng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); 0 for n == 0.
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  bool percent(unsigned p) { return below(100) < p; }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }
  template <class T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[below(i)]);
  }

 private:
  std::uint64_t state_;
};

// A manager A holds one manage grant from the root and deletes, one by one,
// narrow manage grants it made. A later deletion's judgement hangs on what
// they give, and no entry standing from before them covers it, so
// resolution computes a state for each one admitted.
enum class DeletionShape : std::uint8_t {
  // A gives B a manage grant over a sub-keyspace and narrow ones inside it;
  // B deletes after A.
  ManagerToManager,
  // The grants are A's own, after A wrote the root's grant to it again,
  // unchanged, at a higher counter.
  RewrittenSource,
  // As RewrittenSource, but the rewrite is a read grant over the same
  // keyspace: A's entry flips every iteration and the state is blocked.
  FlippingSource,
  // The grants go to C, who holds nothing else and grants D what it can
  // never be allowed to; D's deletion hangs on that grant and is never
  // admitted.
  PowerlessGrantee,
  // As ManagerToManager, with the grants going to a group G and B, a member
  // of G, deleting after A.
  ManagerToGroup,
};
inline constexpr std::size_t kDeletionShapeCount = 5;
const char* deletion_shape_name(DeletionShape shape);

struct PlantedShape {
  DeletionShape shape;
  std::vector<core::GrantId> narrow;  // the narrow grants A made and deletes
};

// A grantor deletes, one by one, the narrow grants (or root grants) it gave,
// while what their holder made under each is still there: a grant, or a
// deletion judged after the revocations. The holder, or someone below it,
// has a deletion of its own still to come, so each revocation changes an
// answer that a pending deletion asks about.
enum class RevocationShape : std::uint8_t {
  // A, a manager over K, gives B narrow manage grants inside K; B makes a
  // grant inside each; A deletes them, and B deletes something after.
  Used,
  // As Used, but B uses each with a deletion of its own inside it, after
  // A's; its target may never have existed.
  Pending,
  // As Used, the narrow grants going to a group that B is in, directly or
  // through nested groups.
  GroupUsed,
  // One level deeper, sometimes two: A makes B a manager inside K, B gives
  // C the narrow grants, C uses each, B deletes them; C deletes last.
  ChainUsed,
  // X holds Root and gives it to Y1..Yn; each makes a manage grant to Z;
  // X deletes every Yi's root grant, and Z deletes something last.
  RootAdministrators,
  // B holds manage over K for env=dev and made several grants under it; A
  // gives B narrow grants for env=prod, differing by labels or path, and
  // deletes them; B deletes something last. B's many questions lie beside
  // the revoked entries.
  BesideManyQuestions,
};
inline constexpr std::size_t kRevocationShapeCount = 6;
const char* revocation_shape_name(RevocationShape shape);

// Something a holder made under a revoked grant.
struct PlantedUse {
  core::GrantId under;  // the revoked grant it needs
  core::GrantId grant;  // the grant made, or the target of the deletion made
  bool deletion = false;
};

struct PlantedRevocation {
  RevocationShape shape;
  std::vector<core::GrantId> revoked;  // the grants the grantor deletes one by one
  std::vector<PlantedUse> uses;
};

// The hostile shapes (hostile_shapes.hpp) planted small, in a random form,
// among the random records (A manages K from the root; B and C are plain
// users): kPlantedHostileShapes, drawn by their weights there. The others
// are left to their own tests: their size is their point.

// What a planted hostile shape must show in the report to be itself: each
// list that is not empty must hold as its comment says.
struct PlantedHostile {
  HostileShape shape;
  std::vector<core::GrantId> authority;  // every one in force
  std::vector<core::GrantId> revoked;    // two or more deleted
  std::vector<core::GrantId> wanted;     // two or more in force (all when fewer)
  std::vector<core::GrantId> refused;    // some written and verified, none in force
  std::optional<core::RecordKey> contested;  // two or more verified writes
  std::optional<core::GrantId> pending;  // deleted by verified records, none admitted
  std::vector<core::SecretId> secrets;   // two or more written with authority (all when fewer)
  std::vector<core::SecretId> unauthorised;  // some written and verified, none with authority
  std::vector<core::GroupMemberId> fake_members;  // some written and verified, none in force
};

struct RandomVault {
  std::vector<core::validate::HashedRecord> records;  // in random order, sometimes with a repeat
  core::Ratchet trust = core::Ratchet::make({});
  core::validate::VerifiedHashes verified;
  std::vector<PlantedShape> shapes;  // in the order they were made
  std::vector<PlantedRevocation> revocations;  // likewise
  std::vector<PlantedHostile> hostile;  // likewise
};

// The record with its record hash, as a decoded vault file gives it.
core::validate::HashedRecord hashed_record(const VaultBuilder& b, core::VaultRecordV1 record);

RandomVault random_vault(std::uint64_t seed, const VaultBuilder& b = shared_builder());

}  // namespace vornex::test
