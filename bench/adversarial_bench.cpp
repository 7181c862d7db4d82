// Validation of vaults shaped by an insider to make its algorithms work
// hardest: long signing chains, many deletions, deep group nesting, long
// authority lists, mass rollbacks and revocations of delegations in use,
// beside an ordinary organisation. Each family runs at 1,000, 4,000 and
// 16,000 records; the footer prints t(4n)/t(n), which stays near 4 when the
// work is near-linear and nears 16 when it is quadratic.
//
// Records are handed over in the order built here (the span overload keeps
// it), and the verified set holds every properly signed record, so bare
// signature cost does not hide the algorithm. The first report of every
// vault is checked against what its shape intends; a mismatch aborts.
//
// --adversarial_budget_s=S skips a size whose time, predicted from the two
// sizes before it (or as quadratic from the one before it), exceeds S
// seconds, and prints the prediction instead.
//
// Counters: work is the fixed point's evaluations (items, root flags,
// answers) per validation, beside the records and the deletion records:
// near-linear work grows about as the records do.
//
// The hostile shapes the tests bound (tests/support/hostile_shapes)
// run too, as BM_hostile_<shape>_{warm,cold}, at 1,000 to 64,000, beside a
// plain vault of the same records (or bytes); warm takes every signature as
// verified, cold checks them. Their footer adds the ratio to the plain
// vault and the heap's peak during one validation (peak_MiB), counted by
// this program's allocation operators.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <new>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "counted_heap.hpp"
#include "bench_support.hpp"
#include "hostile_shapes.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/work.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/signed_records.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::bench::must;
using vornex::bench::provider;
using vornex::bench::sign;


[[noreturn]] void setup_failed(const std::string& shape, std::size_t n, const std::string& why) {
  std::fprintf(stderr, "%s/%zu: the vault does not have its intended shape: %s\n", shape.c_str(), n, why.c_str());
  std::abort();
}


// Thousands of distinct identities: the index in the first four bytes.
const crypto::Identity& identity(std::uint32_t index) {
  static std::map<std::uint32_t, std::unique_ptr<crypto::Identity>> made;
  auto& slot = made[index];
  if (!slot) {
    cord::Bytes seed(crypto::kMasterSeedSize, 0xa5);
    for (int i = 0; i < 4; ++i) seed[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(index >> (24 - 8 * i));
    slot = std::make_unique<crypto::Identity>(must(crypto::Identity::from_master_seed(provider(), seed)));
  }
  return *slot;
}

const crypto::Identity& root() { return identity(0); }

// The shared hostile shapes sign with the test support's identities.
const test::VaultBuilder& builder() { return test::shared_builder(); }


cord::Bytes bytes_of(const std::string& text) { return cord::Bytes(text.begin(), text.end()); }

HashValue hash_of(cord::ByteView domain, const std::string& seed) {
  return must(derive_hash(provider(), domain, IdSeed(bytes_of(seed))));
}

GrantId grant_id(const std::string& seed) { return GrantId(hash_of(domains::kGrant, seed)); }

KeyspaceSelectorV1 exact(const std::string& name) { return KeyspaceSelectorV1{tuple_matcher::Exact{{"app", name}}, {}}; }
KeyspaceSelectorV1 any() { return KeyspaceSelectorV1{tuple_matcher::Any{}, {}}; }

grant_permission::Manage manage_all(KeyspaceSelectorV1 selector) {
  return grant_permission::Manage{std::move(selector), {grant_class::Read{}, grant_class::Write{}, grant_class::Manage{}}};
}

UserRecordV1 user_body(const crypto::Identity& user) {
  return UserRecordV1{user.user_id(), user.signing_public_key(), user.hpke_public_key(), 1};
}

VaultRecordV1 entry_point(const crypto::Identity& user) {
  return sign(user, EntryPointRecordV1{root().user_id(), user.hpke_public_key(), 1});
}

// The first eight bytes of a hash as a number: the order of ids in the
// maps validation sweeps.
std::uint64_t prefix_of(const HashValue& hash) {
  std::uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i) prefix = (prefix << 8) | hash.bytes()[i];
  return prefix;
}

// One vault in the order validation will meet its records.
struct Vault {
  std::vector<HashedRecord> records;
  VerifiedHashes verified;
  std::unique_ptr<Ratchet> ratchet;
  std::size_t expected_issues = 0;  // the shape's own checks say which
  bool expected_blocked = false;     // a shape whose authority never settles
  bool checked = false;

  // A properly signed record goes into the verified set as well.
  void add(VaultRecordV1 record, bool properly_signed = true) {
    HashValue hash = provider().hash(domains::kRecordHash, must(cord::serialize(record)));
    if (properly_signed) verified.insert(hash);
    records.push_back(HashedRecord{std::move(record), {}, std::move(hash), {}});
  }

  Vault() {
    add(sign(root(), VaultRootRecordV1{root().user_id(), root().hpke_public_key()}));
    ratchet = std::make_unique<Ratchet>(Ratchet::make(must(key_hash(provider(), root().signing_public_key())).to_vec()));
  }

  // A vault of the shared hostile shapes, which checks itself.
  explicit Vault(test::HostileVault&& built)
      : records(std::move(built.records)),
        verified(std::move(built.verified)),
        ratchet(std::make_unique<Ratchet>(std::move(built.trust))) {
    built.records.clear();
    shared_check = [built = std::move(built)](const ValidationReport& r) { return test::hostile_report_problem(built, r); };
  }
  std::function<std::string(const ValidationReport&)> shared_check;

  // An effective user: its User record signed by the root, its entry point.
  void add_member(const crypto::Identity& user) {
    add(sign(root(), user_body(user)));
    add(entry_point(user));
  }

  // A group the root makes, and the root's membership of a principal in one.
  GroupId add_group(const std::string& name) {
    GroupId group(hash_of(domains::kGroup, name));
    add(sign(root(), GroupRecordV1{group, IdSeed(bytes_of(name)), name, 1}));
    return group;
  }
  void add_to_group(const GroupId& group, const PrincipalRefV1& member) {
    add(sign(root(), GroupMemberRecordV1{must(derive_group_member_id(provider(), group, member)), group, member, 1}));
  }
};

void check_by_shared_shape(const Vault& v, const ValidationReport& r) {
  if (std::string problem = v.shared_check(r); !problem.empty()) throw std::runtime_error(problem);
}

const AuthoritySet& authority(const ValidationReport& report, const crypto::Identity& user) {
  return authority_in(report.effective.authorities, user.user_id());
}

// --- Shapes ---------------------------------------------------------------

// Users U1..Um, Ui signed by U(i-1) and U1 by the root, listed last link
// first: a crediting pass that walks the list credits one link.
std::size_t chain_users(std::size_t records) { return (records - 1) / 2; }

void add_chain(Vault& v, std::size_t users) {
  for (std::size_t i = users; i >= 1; --i) {
    const crypto::Identity& user = identity(static_cast<std::uint32_t>(i));
    v.add(sign(identity(static_cast<std::uint32_t>(i - 1)), user_body(user)));
    v.add(entry_point(user));
  }
}

Vault user_chain(std::size_t n) {
  Vault v;
  add_chain(v, chain_users(n));
  return v;
}

void check_user_chain(const Vault& v, const ValidationReport& r) {
  if (r.effective.records.size() != v.records.size()) throw std::runtime_error("not every chain link was credited");
  if (r.effective.users.size() != 2) throw std::runtime_error("expected the root and the first link effective");
}

// Half the records a chain as above; the other half User records of fresh
// users signed with the key of the root or of a chain user, with a broken
// signature: every crediting pass meets them again.
Vault user_chain_broken_signatures(std::size_t n) {
  Vault v;
  const std::size_t users = chain_users(n / 2);
  add_chain(v, users);
  const std::size_t broken = n - v.records.size();
  for (std::size_t j = 0; j < broken; ++j) {
    const crypto::Identity& fresh = identity(static_cast<std::uint32_t>(1'000'000 + j));
    VaultRecordV1 record = sign(identity(static_cast<std::uint32_t>(j % (users + 1))), user_body(fresh));
    record.signature[0] ^= 1;
    v.add(std::move(record), false);
  }
  v.expected_issues = broken;
  return v;
}

void check_user_chain_broken(const Vault& v, const ValidationReport& r) {
  for (const ValidationIssue& issue : r.issues) {
    const auto* invalid = std::get_if<issue::InvalidSignature>(&issue);
    if (invalid == nullptr || !std::holds_alternative<record_key::User>(invalid->key)) {
      throw std::runtime_error("an issue other than a broken user signature: " + debug_string(issue));
    }
  }
  if (r.effective.records.size() != v.records.size() - v.expected_issues) {
    throw std::runtime_error("not every chain link was credited");
  }
}

// The root grants a handful of users n/2 grants and deletes every one at a
// higher counter: each admitted deletion costs a new state.
constexpr std::uint32_t kGrantees = 4;

Vault root_deletes_grants(std::size_t n) {
  Vault v;
  for (std::uint32_t u = 1; u <= kGrantees; ++u) v.add_member(identity(u));
  const std::size_t grants = (n - v.records.size()) / 2;
  std::vector<VaultRecordV1> deletions;
  for (std::size_t i = 0; i < grants; ++i) {
    const std::string seed = "grant-" + std::to_string(i);
    const GrantPermissionV1 permission = grant_permission::Read{exact("s-" + std::to_string(i))};
    const PrincipalRefV1 grantee{identity(static_cast<std::uint32_t>(1 + i % kGrantees)).user_id()};
    v.add(sign(root(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), grantee, permission, 1}));
    deletions.push_back(sign(root(), GrantDeletedRecordV1{grant_id(seed), permission, 2}));
  }
  for (VaultRecordV1& d : deletions) v.add(std::move(d));
  return v;
}

void check_root_deletes_grants(const Vault& v, const ValidationReport& r) {
  const std::size_t grants = (v.records.size() - 1 - 2 * kGrantees) / 2;
  if (!r.effective.grants.empty()) throw std::runtime_error("a grant survived its deletion");
  if (r.effective.deleted_grants.size() != grants) throw std::runtime_error("not every deletion was admitted");
}

// A user holding manage over everything deletes grants that no record
// uses, each naming a read permission it may create.
Vault member_deletes_missing_grants(std::size_t n) {
  Vault v;
  const crypto::Identity& manager = identity(1);
  v.add_member(manager);
  v.add(sign(root(), GrantRecordV1{grant_id("manager"), IdSeed(bytes_of("manager")), PrincipalRefV1{manager.user_id()},
                                   manage_all(any()), 1}));
  for (std::size_t i = 0; v.records.size() < n; ++i) {
    const GrantPermissionV1 permission = grant_permission::Read{exact("s-" + std::to_string(i))};
    v.add(sign(manager, GrantDeletedRecordV1{grant_id("missing-" + std::to_string(i)), permission, 1}));
  }
  return v;
}

void check_member_deletes_missing(const Vault& v, const ValidationReport& r) {
  if (r.effective.grants.size() != 1) throw std::runtime_error("the manager's grant is not in force");
  if (r.effective.deleted_grants.size() != v.records.size() - 4) {
    throw std::runtime_error("not every deletion was admitted");
  }
}

// Groups G1..Gg, Gi a member of G(i+1), a grant to Gg and a user member of
// G1. Authority flows from Gg down to the user; each link's membership id
// is larger than the one of the link below it, so a sweep in ascending id
// order carries the grant one level down and a naive fixed point needs g
// sweeps. An id depends on both ends of its link, so the group above each
// link is searched for among candidates until the link's id lands just
// above the previous one (about g/2 hashes per link).
struct GroupCandidate {
  std::string seed;
  GroupId id;
  bool used = false;
};

// The membership id of (group, member) for many groups and one member: the
// encoding is made once and only the group id's bytes change.
class MemberIdHasher {
 public:
  explicit MemberIdHasher(const PrincipalRefV1& member) {
    const GroupId probe(HashValue(cord::Bytes(32, 0x5c)));
    encoding_ = must(cord::serialize(GroupMemberIdInputV1{probe, member}));
    const cord::ByteView needle = probe.bytes();
    const auto at = std::search(encoding_.begin(), encoding_.end(), needle.begin(), needle.end());
    if (at == encoding_.end()) throw std::runtime_error("group id not found in its encoding");
    offset_ = static_cast<std::size_t>(at - encoding_.begin());
  }
  HashValue operator()(const GroupId& group) {
    std::memcpy(encoding_.data() + offset_, group.bytes().data(), 32);
    return provider().hash(domains::kGroupMember, encoding_);
  }

 private:
  cord::Bytes encoding_;
  std::size_t offset_ = 0;
};

Vault group_chain(std::size_t n) {
  Vault v;
  const crypto::Identity& user = identity(1);
  v.add_member(user);
  const std::size_t groups = (n - 4) / 2;

  std::vector<GroupCandidate> pool;
  const auto grow_pool = [&](std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
      std::string seed = "g-" + std::to_string(pool.size());
      GroupId id(hash_of(domains::kGroup, seed));
      pool.push_back({std::move(seed), std::move(id)});
    }
  };
  grow_pool(groups + 64);

  std::vector<std::size_t> chain;  // pool indices, G1 first
  std::vector<VaultRecordV1> memberships;
  PrincipalRefV1 member{user.user_id()};
  std::uint64_t previous = 0;
  std::size_t cursor = 0;
  for (std::size_t link = 0; link < groups; ++link) {
    // Each link takes on average an equal share of the room left above
    // the previous id, so the links still to come do not run out of it.
    const std::uint64_t room = ~std::uint64_t{0} - previous;
    const std::uint64_t width = std::max<std::uint64_t>(1, room / (groups - link + 1) * 2);
    MemberIdHasher member_id(member);
    std::size_t tried = 0;
    for (;;) {
      if (tried == pool.size()) {
        grow_pool(1024);
        tried = 0;
      }
      cursor = (cursor + 1) % pool.size();
      ++tried;
      GroupCandidate& candidate = pool[cursor];
      if (candidate.used) continue;
      const std::uint64_t at = prefix_of(member_id(candidate.id));
      if (at <= previous || at - previous > width) continue;
      candidate.used = true;
      previous = at;
      chain.push_back(cursor);
      break;
    }
    const GroupId& group = pool[chain.back()].id;
    const GroupMemberId id = must(derive_group_member_id(provider(), group, member));
    if (prefix_of(id.hash()) != previous) throw std::runtime_error("membership id search disagrees with derivation");
    memberships.push_back(sign(root(), GroupMemberRecordV1{id, group, member, 1}));
    member = PrincipalRefV1{group};
  }

  for (std::size_t index : chain) {
    const GroupCandidate& g = pool[index];
    v.add(sign(root(), GroupRecordV1{g.id, IdSeed(bytes_of(g.seed)), g.seed, 1}));
  }
  for (VaultRecordV1& m : memberships) v.add(std::move(m));
  v.add(sign(root(), GrantRecordV1{grant_id("chain-top"), IdSeed(bytes_of("chain-top")),
                                   PrincipalRefV1{pool[chain.back()].id}, grant_permission::Read{exact("top")}, 1}));
  return v;
}

void check_group_chain(const Vault& v, const ValidationReport& r) {
  const std::size_t groups = (v.records.size() - 4) / 2;
  if (r.effective.groups.size() != groups || r.effective.group_members.size() != groups) {
    throw std::runtime_error("groups or memberships missing");
  }
  if (authority(r, identity(1)).read != std::vector<KeyspaceSelectorV1>{exact("top")}) {
    throw std::runtime_error("the grant did not reach the user through every level");
  }
  // Ascending ids from the user's link upward: one level per sweep.
  std::map<PrincipalRefV1, const GroupMemberRecordV1*> link_above;
  for (const auto& [id, m] : r.effective.group_members) link_above.emplace(m.member, &m);
  PrincipalRefV1 member{identity(1).user_id()};
  const GroupMemberId* below = nullptr;
  for (std::size_t level = 0; level < groups; ++level) {
    const auto link = link_above.find(member);
    if (link == link_above.end()) throw std::runtime_error("the chain of memberships is broken");
    if (below != nullptr && !(*below < link->second->group_member_id)) {
      throw std::runtime_error("membership ids do not ascend along the chain");
    }
    below = &link->second->group_member_id;
    member = PrincipalRefV1{link->second->group_id};
  }
}

// A writer's secrets at counter 1 against a trust state that has seen
// every one at counter 5: each is rolled back.
Vault rollback_secrets(std::size_t n) {
  Vault v;
  const crypto::Identity& writer = identity(1);
  v.add_member(writer);
  v.add(sign(root(), GrantRecordV1{grant_id("writer"), IdSeed(bytes_of("writer")), PrincipalRefV1{writer.user_id()},
                                   grant_permission::Write{KeyspaceSelectorV1{tuple_matcher::Prefix{{"app"}}, {}}},
                                   1}));
  RatchetUpdate seen;
  for (std::size_t i = 0; v.records.size() < n; ++i) {
    const SecretSelectorV1 selector{{"app", "s-" + std::to_string(i)}, {}};
    SealedPayloadV1 payload{cord::Bytes(12, 7), cord::Bytes(48, 9),
                            {RecipientSlotV1{writer.user_id().to_vec(), cord::Bytes(32, 3), cord::Bytes(48, 4)}}};
    const SecretId id = must(derive_secret_id(provider(), selector));
    v.add(sign(writer, SecretRecordV1{id, selector, std::move(payload), 1}));
    seen.counters.emplace(record_key::Secret{id}, 5);
  }
  v.ratchet->apply_update(seen);
  return v;
}

void check_rollback_secrets(const Vault& v, const ValidationReport& r) {
  const std::size_t secrets = v.records.size() - 4;
  if (r.effective.conflicts.size() != secrets) throw std::runtime_error("not one rollback conflict per secret");
  for (const auto& [key, conflict] : r.effective.conflicts) {
    if (conflict.rollback_counter != 5 || conflict.counter != 1 || conflict.candidates.size() != 1) {
      throw std::runtime_error("a conflict is not the expected rollback");
    }
  }
}

// A writer holding a write grant per exact path, writing one secret under
// each: every write check walks the writer's write list.
Vault write_checks(std::size_t n) {
  Vault v;
  const crypto::Identity& writer = identity(1);
  v.add_member(writer);
  const std::size_t secrets = (n - 3) / 2;
  const std::size_t grants = n - 3 - secrets;
  for (std::size_t i = 0; i < grants; ++i) {
    const std::string seed = "write-" + std::to_string(i);
    v.add(sign(root(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{writer.user_id()},
                                     grant_permission::Write{exact("s-" + std::to_string(i))}, 1}));
  }
  for (std::size_t i = 0; i < secrets; ++i) {
    const SecretSelectorV1 selector{{"app", "s-" + std::to_string(i)}, {}};
    SealedPayloadV1 payload{cord::Bytes(12, 7), cord::Bytes(48, 9),
                            {RecipientSlotV1{writer.user_id().to_vec(), cord::Bytes(32, 3), cord::Bytes(48, 4)}}};
    v.add(sign(writer, SecretRecordV1{must(derive_secret_id(provider(), selector)), selector, std::move(payload), 1}));
  }
  return v;
}

void check_write_checks(const Vault& v, const ValidationReport& r) {
  const std::size_t secrets = (v.records.size() - 3) / 2;
  if (!r.effective.conflicts.empty()) throw std::runtime_error("unexpected conflicts");
  if (r.effective.latest_secret.size() != secrets) throw std::runtime_error("a secret write was not authorised");
  if (authority(r, identity(1)).write.size() != v.records.size() - 3 - secrets) {
    throw std::runtime_error("a write grant is not in force");
  }
}

// A manager granted manage over everything by the root grants itself
// manage over one exact path per record: its manage list grows to n, and
// every grant's admission walks it. The root's grant gets an id that sorts
// after nearly all others, so the entry that covers everything comes last.
Vault manage_list_grants(std::size_t n) {
  Vault v;
  const crypto::Identity& manager = identity(1);
  v.add_member(manager);
  std::string root_seed;
  for (int k = 0; root_seed.empty() || grant_id(root_seed).bytes()[0] != 0xff; ++k) {
    root_seed = "root-manage-" + std::to_string(k);
  }
  v.add(sign(root(), GrantRecordV1{grant_id(root_seed), IdSeed(bytes_of(root_seed)),
                                   PrincipalRefV1{manager.user_id()}, manage_all(any()), 1}));
  for (std::size_t i = 0; v.records.size() < n; ++i) {
    const std::string seed = "own-" + std::to_string(i);
    v.add(sign(manager, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{manager.user_id()},
                                      manage_all(exact("s-" + std::to_string(i))), 1}));
  }
  return v;
}

void check_manage_list_grants(const Vault& v, const ValidationReport& r) {
  const std::size_t grants = v.records.size() - 3;
  if (r.effective.grants.size() != grants) throw std::runtime_error("a grant was not admitted");
  if (authority(r, identity(1)).manage.size() != grants) throw std::runtime_error("the manage list is short");
}

// A user holding manage over everything gives itself manage grants and
// then deletes each of them. Every deletion takes a manage entry from the
// very signer whose other deletions are still to be judged; the entry the
// root gave it covers each of them, so none changes an answer and the
// state need not be computed again.
Vault member_deletes_own_manage_grants(std::size_t n) {
  Vault v;
  const crypto::Identity& manager = identity(1);
  v.add_member(manager);
  v.add(sign(root(), GrantRecordV1{grant_id("manager"), IdSeed(bytes_of("manager")), PrincipalRefV1{manager.user_id()},
                                   manage_all(any()), 1}));
  for (std::size_t i = 0; v.records.size() + 1 < n; ++i) {
    const std::string seed = "own-" + std::to_string(i);
    const grant_permission::Manage permission = manage_all(exact("s-" + std::to_string(i)));
    v.add(sign(manager, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{manager.user_id()},
                                      permission, 1}));
    v.add(sign(manager, GrantDeletedRecordV1{grant_id(seed), permission, 2}));
  }
  return v;
}

void check_member_deletes_own_manage_grants(const Vault& v, const ValidationReport& r) {
  const std::size_t deleted = (v.records.size() - 4) / 2;
  if (r.effective.grants.size() != 1) throw std::runtime_error("a deleted grant is still in force");
  if (r.effective.deleted_grants.size() != deleted) throw std::runtime_error("not every deletion was admitted");
}

// The same by a manager whose authority another manager delegated, over a
// keyspace rather than everything, deleting each of its own grants twice
// at consecutive counters: the second deletion of each grant meets it
// already removed, and every deletion's target is one the deleter could
// make anyway.
Vault delegated_deletes_own_grants_twice(std::size_t n) {
  Vault v;
  const crypto::Identity& delegate = identity(1);
  const crypto::Identity& manager = identity(2);
  v.add_member(delegate);
  v.add_member(manager);
  v.add(sign(root(), GrantRecordV1{grant_id("delegate"), IdSeed(bytes_of("delegate")),
                                   PrincipalRefV1{delegate.user_id()}, manage_all(any()), 1}));
  const grant_permission::Manage app =
      manage_all(KeyspaceSelectorV1{tuple_matcher::Prefix{{"app"}}, {}});
  v.add(sign(delegate, GrantRecordV1{grant_id("manager"), IdSeed(bytes_of("manager")),
                                     PrincipalRefV1{manager.user_id()}, app, 1}));
  for (std::uint64_t i = 0; v.records.size() + 2 < n; ++i) {
    const std::string seed = "own-" + std::to_string(i);
    const grant_permission::Manage permission = manage_all(exact("s-" + std::to_string(i)));
    v.add(sign(manager, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{manager.user_id()},
                                      permission, 1}));
    v.add(sign(manager, GrantDeletedRecordV1{grant_id(seed), permission, 2 + 2 * i}));
    v.add(sign(manager, GrantDeletedRecordV1{grant_id(seed), grant_permission::Read{exact("s-" + std::to_string(i))},
                                             3 + 2 * i}));
  }
  return v;
}

void check_delegated_deletes_own_grants_twice(const Vault& v, const ValidationReport& r) {
  const std::size_t deleted = (v.records.size() - 7) / 3;
  if (r.effective.grants.size() != 2) throw std::runtime_error("a deleted grant is still in force");
  if (r.effective.deleted_grants.size() != deleted) throw std::runtime_error("not every deletion was admitted");
}

// The shapes below share the root's part: users, and manage over `team`
// for manager A as grant "team-manager". Members write everything else.
// Narrow keyspaces are distinct prefixes, none inside another.
KeyspaceSelectorV1 under(std::vector<std::string> path) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, {}};
}

grant_permission::Manage narrow(const std::string& owner, std::size_t i) {
  return manage_all(under({"team", owner, "s" + std::to_string(i)}));
}

const crypto::Identity& manager_a() { return identity(1); }
const grant_permission::Manage& team_manage() {
  static const grant_permission::Manage permission = manage_all(under({"team"}));
  return permission;
}

void add_team_manager(Vault& v) {
  v.add(sign(root(), GrantRecordV1{grant_id("team-manager"), IdSeed(bytes_of("team-manager")),
                                   PrincipalRefV1{manager_a().user_id()}, team_manage(), 1}));
}

// `pairs` narrow manage grants `team/<owner>/s<i>` from `granter` to
// `grantee` at counter 1, each followed by what `use` adds for it, then the
// granter's deletion of each at counter 2.
void add_deleted_narrow_grants(Vault& v, const crypto::Identity& granter, const PrincipalRefV1& grantee,
                               const std::string& owner, std::size_t pairs,
                               const std::function<void(std::size_t)>& use = {}) {
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string seed = owner + "-narrow-" + std::to_string(i);
    v.add(sign(granter, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), grantee, narrow(owner, i), 1}));
    if (use) use(i);
  }
  for (std::size_t i = 0; i < pairs; ++i) {
    v.add(sign(granter, GrantDeletedRecordV1{grant_id(owner + "-narrow-" + std::to_string(i)), narrow(owner, i), 2}));
  }
}

// A makes B, or a group G holding B, a manager of `team/b`, then gives it
// narrow manage grants within `team/b` and deletes them one by one. B has
// a deletion of its own after all of A's: the read grant A gave it over
// `team/b/shared`, which B's entry lets it delete, so it is admitted. Each
// of A's deletions takes a manage entry from B, directly or through G,
// while B's deletion is still to be judged, and nothing standing before
// the narrow grants covers it: the team/b grant came in the same
// iteration as they did.
constexpr std::size_t kManagerOfTeamBRecords = 9;  // fixed records with B as the manager; a group adds two

grant_permission::Read shared_read() { return grant_permission::Read{under({"team", "b", "shared"})}; }

Vault narrow_grants_of_manager(std::size_t n, bool through_group) {
  Vault v;
  const crypto::Identity& b = identity(2);
  v.add_member(manager_a());
  v.add_member(b);
  PrincipalRefV1 manager{b.user_id()};
  if (through_group) {
    const GroupId group = v.add_group("group-g");
    v.add_to_group(group, PrincipalRefV1{b.user_id()});
    manager = PrincipalRefV1{group};
  }
  add_team_manager(v);
  v.add(sign(manager_a(), GrantRecordV1{grant_id("team-b"), IdSeed(bytes_of("team-b")), manager,
                                        manage_all(under({"team", "b"})), 1}));
  v.add(sign(manager_a(), GrantRecordV1{grant_id("b-shared"), IdSeed(bytes_of("b-shared")),
                                        PrincipalRefV1{b.user_id()}, shared_read(), 1}));
  const std::size_t fixed = kManagerOfTeamBRecords + (through_group ? 2 : 0);
  add_deleted_narrow_grants(v, manager_a(), manager, "b", (n - fixed) / 2);
  v.add(sign(b, GrantDeletedRecordV1{grant_id("b-shared"), shared_read(), 3}));
  return v;
}

Vault manager_deletes_narrow_grants_of_manager(std::size_t n) { return narrow_grants_of_manager(n, false); }
Vault manager_deletes_narrow_grants_of_group(std::size_t n) { return narrow_grants_of_manager(n, true); }

void check_narrow_grants_of_manager(const Vault& v, const ValidationReport& r, std::size_t fixed) {
  const auto& grants = r.effective.grants;
  if (grants.size() != 2 || !grants.contains(grant_id("team-manager")) || !grants.contains(grant_id("team-b"))) {
    throw std::runtime_error("expected only the two manage grants over team and team/b in force");
  }
  if (r.effective.deleted_grants.size() != (v.records.size() - fixed) / 2 + 1) {
    throw std::runtime_error("not every deletion was admitted");
  }
  if (!r.effective.deleted_grants.contains(grant_id("b-shared"))) {
    throw std::runtime_error("B's own deletion was not admitted");
  }
  if (authority(r, identity(2)).manage != std::vector{manage_all(under({"team", "b"}))}) {
    throw std::runtime_error("B does not hold exactly the manage entry over team/b");
  }
}

void check_manager_deletes_narrow_grants_of_manager(const Vault& v, const ValidationReport& r) {
  check_narrow_grants_of_manager(v, r, kManagerOfTeamBRecords);
  if (!r.effective.groups.empty()) throw std::runtime_error("unexpected groups");
}

void check_manager_deletes_narrow_grants_of_group(const Vault& v, const ValidationReport& r) {
  check_narrow_grants_of_manager(v, r, kManagerOfTeamBRecords + 2);
  if (r.effective.groups.size() != 1 || r.effective.group_members.size() != 1) {
    throw std::runtime_error("group G or B's membership is not in force");
  }
}

// A rewrites the grant the root gave it (same id and seed, grantee A, a
// higher counter), then gives itself narrow manage grants within
// `team/a` and deletes them. The rewrite changes the grant's value in the
// second iteration, the one the narrow grants come in, so the entry over
// `team` no longer stands from before them.
constexpr std::size_t kRewriteRecords = 5;

Vault manager_rewrites_own_grant(std::size_t n, const GrantPermissionV1& rewritten) {
  Vault v;
  v.add_member(manager_a());
  add_team_manager(v);
  v.add(sign(manager_a(), GrantRecordV1{grant_id("team-manager"), IdSeed(bytes_of("team-manager")),
                                        PrincipalRefV1{manager_a().user_id()}, rewritten, 2}));
  add_deleted_narrow_grants(v, manager_a(), PrincipalRefV1{manager_a().user_id()}, "a", (n - kRewriteRecords) / 2);
  return v;
}

// The same manage permission as the root's.
Vault manager_rewrites_own_grant_then_deletes(std::size_t n) { return manager_rewrites_own_grant(n, team_manage()); }

void check_manager_rewrites_own_grant(const Vault& v, const ValidationReport& r) {
  const auto team = r.effective.grants.find(grant_id("team-manager"));
  if (r.effective.grants.size() != 1 || team == r.effective.grants.end()) {
    throw std::runtime_error("expected only A's grant over team in force");
  }
  if (team->second.counter != 2) throw std::runtime_error("A's rewrite did not win over the root's record");
  if (r.effective.deleted_grants.size() != (v.records.size() - kRewriteRecords) / 2) {
    throw std::runtime_error("not every deletion was admitted");
  }
  if (authority(r, manager_a()).manage != std::vector{team_manage()}) {
    throw std::runtime_error("A does not hold exactly the manage entry over team");
  }
}

// Narrowed to read over `team`: with manage A may write the rewrite, and
// with read only it may not, so the grant switches between the root's
// record and A's in every iteration and the authority never settles. The
// narrow grants hold themselves up meanwhile, so each deletion is still
// admitted.
Vault manager_narrows_own_grant_then_deletes(std::size_t n) {
  Vault v = manager_rewrites_own_grant(n, grant_permission::Read{under({"team"})});
  v.expected_blocked = true;
  v.expected_issues = 1;
  return v;
}

void check_manager_narrows_own_grant(const Vault& v, const ValidationReport& r) {
  if (!std::holds_alternative<issue::AuthorityDidNotConverge>(r.issues.front())) {
    throw std::runtime_error("the issue is not AuthorityDidNotConverge: " + debug_string(r.issues.front()));
  }
  if (r.effective.grants.size() != 1 || !r.effective.grants.contains(grant_id("team-manager"))) {
    throw std::runtime_error("expected only A's grant over team in force");
  }
  if (r.effective.deleted_grants.size() != (v.records.size() - kRewriteRecords) / 2) {
    throw std::runtime_error("not every deletion was admitted");
  }
}

// A gives C, who holds nothing else, narrow manage grants within `team/c`
// and deletes them. C signs a manage grant over `other` to D, which it may
// not make, and D a deletion of A's grant, which it may not make either:
// records never admitted link C to a signer whose deletion stays pending,
// so every one of A's deletions looks as if it could change D's answer.
constexpr std::size_t kRefusedChainRecords = 10;

Vault manager_deletes_narrow_grants_of_refused_granter(std::size_t n) {
  Vault v;
  const crypto::Identity& c = identity(3);
  const crypto::Identity& d = identity(4);
  v.add_member(manager_a());
  v.add_member(c);
  v.add_member(d);
  add_team_manager(v);
  v.add(sign(c, GrantRecordV1{grant_id("c-to-d"), IdSeed(bytes_of("c-to-d")), PrincipalRefV1{d.user_id()},
                              manage_all(under({"other"})), 1}));
  v.add(sign(d, GrantDeletedRecordV1{grant_id("team-manager"), team_manage(), 3}));
  add_deleted_narrow_grants(v, manager_a(), PrincipalRefV1{c.user_id()}, "c", (n - kRefusedChainRecords) / 2);
  return v;
}

void check_manager_deletes_narrow_grants_of_refused_granter(const Vault& v, const ValidationReport& r) {
  if (!r.effective.grants.contains(grant_id("team-manager")) ||
      r.effective.deleted_grants.contains(grant_id("team-manager"))) {
    throw std::runtime_error("D's deletion of A's grant was admitted");
  }
  if (r.effective.grants.contains(grant_id("c-to-d"))) throw std::runtime_error("C's grant to D is in force");
  if (r.effective.grants.size() != 1) throw std::runtime_error("a deleted grant is still in force");
  const AuthoritySet& d = authority(r, identity(4));
  if (d.is_root || !d.manage.empty()) throw std::runtime_error("D holds authority");
  if (!authority(r, identity(3)).manage.empty()) throw std::runtime_error("C still holds a narrow manage entry");
  if (r.effective.deleted_grants.size() != (v.records.size() - kRefusedChainRecords) / 2) {
    throw std::runtime_error("not every deletion of A's was admitted");
  }
}

// B, a manager of `team/b`, deletes a quarter of the records' worth of
// grants that do not exist, each naming its own path below `team/b`; they
// are admitted first. Then A deletes, one by one, entries over every path
// that let their holder grant Write, each held by a group of its own that B
// is in. B's questions have all been answered by then, so nothing an entry
// answers is asked any more; the check must not walk the paths they left.
constexpr std::size_t kRetiredQuestionsRecords = 7;

grant_permission::Manage write_anywhere() {
  return grant_permission::Manage{any(), {grant_class::Write{}}};
}

// A and B members, A a manager of `team`.
Vault with_manager_and(const crypto::Identity& b) {
  Vault v;
  v.add_member(manager_a());
  v.add_member(b);
  add_team_manager(v);
  return v;
}

Vault manager_deletes_entries_over_retired_questions(std::size_t n) {
  const crypto::Identity& b = identity(2);
  Vault v = with_manager_and(b);
  v.add(sign(root(), GrantRecordV1{grant_id("team-b"), IdSeed(bytes_of("team-b")), PrincipalRefV1{b.user_id()},
                                   manage_all(under({"team", "b"})), 1}));
  const std::size_t asked = (n - kRetiredQuestionsRecords) / 5;
  for (std::size_t i = 0; i < asked; ++i) {
    const grant_permission::Read named{under({"team", "b", "p" + std::to_string(i)})};
    v.add(sign(b, GrantDeletedRecordV1{grant_id("missing-" + std::to_string(i)), named, 2}));
  }
  for (std::size_t i = 0; v.records.size() + 4 <= n; ++i) {
    const GroupId group = v.add_group("holder-" + std::to_string(i));
    v.add_to_group(group, PrincipalRefV1{b.user_id()});
    const std::string seed = "write-anywhere-" + std::to_string(i);
    v.add(sign(manager_a(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{group},
                                          write_anywhere(), 1}));
    v.add(sign(manager_a(), GrantDeletedRecordV1{grant_id(seed), write_anywhere(), 3}));
  }
  return v;
}

void check_manager_deletes_entries_over_retired_questions(const Vault& v, const ValidationReport& r) {
  if (r.effective.grants.size() != 2) throw std::runtime_error("a deleted entry is still in force");
  const std::size_t asked = (v.records.size() - kRetiredQuestionsRecords) / 5;
  for (std::size_t i = 0; i < asked; ++i) {
    if (!r.effective.deleted_grants.contains(grant_id("missing-" + std::to_string(i)))) {
      throw std::runtime_error("B's deletion of a missing grant was not admitted");
    }
  }
}

// A gives B, who has a deletion of its own to come, manage entries over
// `team` each with a label of its own, so that none covers another,
// and deletes them one by one: the entries that could cover one are looked
// through one by one, so only a bounded number of them.
constexpr std::size_t kLabelledEntriesRecords = 6;

grant_permission::Manage labelled_team(std::size_t i) {
  return grant_permission::Manage{
      KeyspaceSelectorV1{tuple_matcher::Prefix{{"team"}}, {{"k", label_matcher::Equals{"v" + std::to_string(i)}}}},
      {grant_class::Write{}}};
}

Vault manager_deletes_labelled_entries(std::size_t n) {
  const crypto::Identity& b = identity(2);
  Vault v = with_manager_and(b);
  const std::size_t pairs = (n - kLabelledEntriesRecords) / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string seed = "labelled-" + std::to_string(i);
    v.add(sign(manager_a(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{b.user_id()},
                                          labelled_team(i), 1}));
    v.add(sign(manager_a(), GrantDeletedRecordV1{grant_id(seed), labelled_team(i), 2}));
  }
  v.add(sign(b, GrantDeletedRecordV1{grant_id("team-manager"), team_manage(), 3}));
  return v;
}

void check_manager_deletes_labelled_entries(const Vault& v, const ValidationReport& r) {
  if (r.effective.grants.size() != 1) throw std::runtime_error("a deleted entry is still in force");
  if (r.effective.deleted_grants.size() != (v.records.size() - kLabelledEntriesRecords) / 2) {
    throw std::runtime_error("not every deletion of A's was admitted");
  }
}

// The shapes below revoke delegations that are in use. A manager's narrow
// grant is used by a grant below it that its holder signs, or by a
// deletion that names a permission below it; the holder has a deletion
// of its own to come after the revocations, so each revocation takes an
// entry that answers a question a pending deletion's signer asks, with
// nothing broader covering it.
grant_permission::Read below(const std::string& owner, std::size_t i) {
  return grant_permission::Read{under({"team", owner, "s" + std::to_string(i), "x"})};
}

std::string use_seed(const std::string& owner, std::size_t i) { return owner + "-use-" + std::to_string(i); }

// `user` uses the narrow grant `team/<owner>/s<i>` with a read grant below
// it to `reader`.
void add_read_below(Vault& v, const crypto::Identity& user, const PrincipalRefV1& reader, const std::string& owner,
                    std::size_t i) {
  const std::string seed = use_seed(owner, i);
  v.add(sign(user, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), reader, below(owner, i), 1}));
}

// The deletion of the first of `user`'s read grants below the narrow ones,
// after every revocation: by then `user` holds nothing, so it is refused.
void add_last_deletion(Vault& v, const crypto::Identity& user, const std::string& owner) {
  v.add(sign(user, GrantDeletedRecordV1{grant_id(use_seed(owner, 0)), below(owner, 0), 3}));
}

// What is left once every narrow grant went: the grants in `kept` alone,
// one deletion per narrow grant, the last deletion refused, and nothing
// left to the holder or its reader.
void check_revoked_uses(const ValidationReport& r, std::size_t pairs, const std::vector<GrantId>& kept,
                        const crypto::Identity& holder, const crypto::Identity& reader, const std::string& owner) {
  if (r.effective.grants.size() != kept.size() ||
      !std::ranges::all_of(kept, [&](const GrantId& id) { return r.effective.grants.contains(id); })) {
    throw std::runtime_error("a grant built on a revoked one is still in force");
  }
  if (r.effective.deleted_grants.size() != pairs) throw std::runtime_error("not every revocation was admitted");
  if (r.effective.deleted_grants.contains(grant_id(use_seed(owner, 0)))) {
    throw std::runtime_error("the holder's last deletion was admitted with nothing left to it");
  }
  if (!authority(r, holder).manage.empty()) throw std::runtime_error("the holder still holds a narrow entry");
  if (!authority(r, reader).read.empty()) throw std::runtime_error("the reader still holds a read entry");
}

// A gives B narrow manage grants `team/b/s<i>`, B uses each with a read
// grant below it to C, and A revokes them all; B's last deletion follows.
// B holds nothing else, so every revocation costs a state computation.
constexpr std::size_t kUsedDelegationsRecords = 9;  // a group adds two

Vault used_delegations(std::size_t n, bool through_group) {
  const crypto::Identity& b = identity(2);
  const crypto::Identity& c = identity(3);
  Vault v = with_manager_and(b);
  v.add_member(c);
  PrincipalRefV1 holder{b.user_id()};
  if (through_group) {
    const GroupId group = v.add_group("group-g");
    v.add_to_group(group, holder);
    holder = PrincipalRefV1{group};
  }
  const std::size_t fixed = kUsedDelegationsRecords + (through_group ? 2 : 0);
  add_deleted_narrow_grants(v, manager_a(), holder, "b", (n - fixed) / 3,
                            [&](std::size_t i) { add_read_below(v, b, PrincipalRefV1{c.user_id()}, "b", i); });
  add_last_deletion(v, b, "b");
  return v;
}

Vault revokes_used_delegations(std::size_t n) { return used_delegations(n, false); }

void check_revokes_used_delegations(const Vault& v, const ValidationReport& r) {
  check_revoked_uses(r, (v.records.size() - kUsedDelegationsRecords) / 3, {grant_id("team-manager")}, identity(2),
                     identity(3), "b");
  if (!r.effective.groups.empty()) throw std::runtime_error("unexpected groups");
}

// The same with the narrow grants going to a group G that the root made
// with B in it: each revocation reaches B through G.
Vault revokes_used_group_delegations(std::size_t n) { return used_delegations(n, true); }

void check_revokes_used_group_delegations(const Vault& v, const ValidationReport& r) {
  check_revoked_uses(r, (v.records.size() - kUsedDelegationsRecords - 2) / 3, {grant_id("team-manager")},
                     identity(2), identity(3), "b");
  if (r.effective.groups.size() != 1 || r.effective.group_members.size() != 1) {
    throw std::runtime_error("group G or B's membership is not in force");
  }
}

// As above, but B uses each narrow grant only with a deletion naming a
// read permission below it (of a grant that never was), at a counter that
// puts it after every revocation: each pending use asks the question the
// revoked entry answers, and B's uses are all refused in the end.
constexpr std::size_t kPendingUsesRecords = 6;

std::string missing_seed(std::size_t i) { return "b-missing-" + std::to_string(i); }

Vault revokes_pending_uses(std::size_t n) {
  const crypto::Identity& b = identity(2);
  Vault v = with_manager_and(b);
  add_deleted_narrow_grants(v, manager_a(), PrincipalRefV1{b.user_id()}, "b", (n - kPendingUsesRecords) / 3,
                            [&](std::size_t i) {
                              v.add(sign(b, GrantDeletedRecordV1{grant_id(missing_seed(i)), below("b", i), 3}));
                            });
  return v;
}

void check_revokes_pending_uses(const Vault& v, const ValidationReport& r) {
  const std::size_t pairs = (v.records.size() - kPendingUsesRecords) / 3;
  if (r.effective.grants.size() != 1 || !r.effective.grants.contains(grant_id("team-manager"))) {
    throw std::runtime_error("expected only the manage grant over team in force");
  }
  if (r.effective.deleted_grants.size() != pairs) throw std::runtime_error("not every revocation was admitted");
  for (std::size_t i = 0; i < pairs; ++i) {
    if (r.effective.deleted_grants.contains(grant_id(missing_seed(i)))) {
      throw std::runtime_error("a use of B's was admitted after its grant was revoked");
    }
  }
  if (!authority(r, identity(2)).manage.empty()) throw std::runtime_error("B still holds a narrow entry");
}

// One level deeper: A makes B a manager of `team/b`, B gives C narrow
// manage grants within it, C uses each with a read grant below it to D,
// and B revokes them all; C's last deletion follows. B's entry stands
// throughout, but it is B's, not C's.
constexpr std::size_t kUsedChainRecords = 12;

Vault revokes_used_chain_delegations(std::size_t n) {
  const crypto::Identity& b = identity(2);
  const crypto::Identity& c = identity(3);
  const crypto::Identity& d = identity(4);
  Vault v = with_manager_and(b);
  v.add_member(c);
  v.add_member(d);
  v.add(sign(manager_a(), GrantRecordV1{grant_id("team-b"), IdSeed(bytes_of("team-b")), PrincipalRefV1{b.user_id()},
                                        manage_all(under({"team", "b"})), 1}));
  add_deleted_narrow_grants(v, b, PrincipalRefV1{c.user_id()}, "b", (n - kUsedChainRecords) / 3,
                            [&](std::size_t i) { add_read_below(v, c, PrincipalRefV1{d.user_id()}, "b", i); });
  add_last_deletion(v, c, "b");
  return v;
}

void check_revokes_used_chain_delegations(const Vault& v, const ValidationReport& r) {
  check_revoked_uses(r, (v.records.size() - kUsedChainRecords) / 3, {grant_id("team-manager"), grant_id("team-b")},
                     identity(3), identity(4), "b");
  if (authority(r, identity(2)).manage != std::vector{manage_all(under({"team", "b"}))}) {
    throw std::runtime_error("B does not hold exactly the manage entry over team/b");
  }
}

// X holds Root from the root and gives it to users Y<i>; each Y<i> gives
// Z a manage grant over a keyspace of its own; X revokes every Y<i>, and
// Z has a deletion last, of Y0's grant to it. Nothing covers the root
// flag each revocation takes, and each Y<i>'s grant leads from it to Z.
constexpr std::size_t kRootDelegationsRecords = 7;
constexpr std::size_t kRecordsPerAdministrator = 5;  // the user, its entry point, two grants and a revocation
constexpr std::uint32_t kFirstAdministrator = 10;

grant_permission::Manage z_keyspace(std::size_t i) { return manage_all(under({"team", "z", "s" + std::to_string(i)})); }

Vault revokes_root_delegations(std::size_t n) {
  const crypto::Identity& x = identity(2);
  const crypto::Identity& z = identity(3);
  Vault v;
  v.add_member(x);
  v.add_member(z);
  v.add(sign(root(), GrantRecordV1{grant_id("x-root"), IdSeed(bytes_of("x-root")), PrincipalRefV1{x.user_id()},
                                   grant_permission::Root{}, 1}));
  const std::size_t administrators = (n - kRootDelegationsRecords) / kRecordsPerAdministrator;
  for (std::size_t i = 0; i < administrators; ++i) {
    const crypto::Identity& y = identity(kFirstAdministrator + static_cast<std::uint32_t>(i));
    v.add_member(y);
    const std::string root_seed = "y-root-" + std::to_string(i);
    v.add(sign(x, GrantRecordV1{grant_id(root_seed), IdSeed(bytes_of(root_seed)), PrincipalRefV1{y.user_id()},
                                grant_permission::Root{}, 1}));
    const std::string z_seed = "z-manage-" + std::to_string(i);
    v.add(sign(y, GrantRecordV1{grant_id(z_seed), IdSeed(bytes_of(z_seed)), PrincipalRefV1{z.user_id()},
                                z_keyspace(i), 1}));
  }
  for (std::size_t i = 0; i < administrators; ++i) {
    v.add(sign(x, GrantDeletedRecordV1{grant_id("y-root-" + std::to_string(i)), grant_permission::Root{}, 2}));
  }
  v.add(sign(z, GrantDeletedRecordV1{grant_id("z-manage-0"), z_keyspace(0), 3}));
  return v;
}

void check_revokes_root_delegations(const Vault& v, const ValidationReport& r) {
  const std::size_t administrators = (v.records.size() - kRootDelegationsRecords) / kRecordsPerAdministrator;
  if (r.effective.grants.size() != 1 || !r.effective.grants.contains(grant_id("x-root"))) {
    throw std::runtime_error("expected only X's root grant in force");
  }
  if (r.effective.deleted_grants.size() != administrators) {
    throw std::runtime_error("not every revocation was admitted");
  }
  if (r.effective.deleted_grants.contains(grant_id("z-manage-0"))) {
    throw std::runtime_error("Z's deletion was admitted with nothing left to it");
  }
  if (!authority(r, identity(2)).is_root) throw std::runtime_error("X lost the root flag");
  if (authority(r, identity(kFirstAdministrator)).is_root) throw std::runtime_error("a revoked Y kept the root flag");
  if (!authority(r, identity(3)).manage.empty()) throw std::runtime_error("Z still holds a manage entry");
}

// A gives B narrow grants over `team/b/s<i>`, and B writes one grant to C
// again and again, the i-th time at counter i + 1 with a read permission
// below the i-th narrow grant: each of its records is admitted while B
// holds that narrow grant, and the newest admitted one wins. A revokes the
// narrow grants newest first, so that each revocation takes the winner
// away and the next record down wins: one item whose records lose their
// admission one by one. With every one of B's records at one counter,
// the grant is in conflict while two are admitted, and each revocation
// takes one record out of the conflict: each reads the records at that
// counter again. Both are built by the shared hostile shapes.
Vault revokes_under_one_rewritten_grant(std::size_t n) {
  return Vault(test::build_one_grant_under_revoked_entries(n, false, builder()));
}
Vault revokes_under_one_conflicted_grant(std::size_t n) {
  return Vault(test::build_one_grant_under_revoked_entries(n, true, builder()));
}

// The yardstick for the shapes above: a vault of the same size in which A
// gives a handful of members narrow manage grants within `team` and
// deletes none: one state computation, whatever the size.
Vault delegated_grants_yardstick(std::size_t n) { return Vault(test::build_plain_yardstick(n, builder())); }

// B, a manager of `team/b@env=dev`, has given C a quarter of the records'
// worth of read grants within it, each a question of B's filed below
// `team/b`. A gives B grants over `team/b@env=prod`, each with a second
// label of its own, and revokes them, and B deletes one of its read grants
// last. No revoked entry answers any question B asks, but every one of
// B's lies under the revoked entries' path: only their labels tell them
// apart.
constexpr std::size_t kBesideManyQuestionsRecords = 9;

KeyspaceSelectorV1 with_env(std::vector<std::string> path, const std::string& env) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, {{"env", label_matcher::Equals{env}}}};
}

grant_permission::Read dev_read(std::size_t i) {
  return grant_permission::Read{with_env({"team", "b", "q" + std::to_string(i)}, "dev")};
}

grant_permission::Manage prod_narrow(std::size_t i) {
  KeyspaceSelectorV1 selector = with_env({"team", "b"}, "prod");
  selector.labels.push_back({"n", label_matcher::Equals{std::to_string(i)}});
  return manage_all(std::move(selector));
}

Vault revokes_beside_many_questions(std::size_t n) {
  const crypto::Identity& b = identity(2);
  const crypto::Identity& c = identity(3);
  Vault v = with_manager_and(b);
  v.add_member(c);
  v.add(sign(manager_a(), GrantRecordV1{grant_id("b-dev"), IdSeed(bytes_of("b-dev")), PrincipalRefV1{b.user_id()},
                                        manage_all(with_env({"team", "b"}, "dev")), 1}));
  const std::size_t asked = n / 4;
  for (std::size_t i = 0; i < asked; ++i) {
    const std::string seed = "dev-read-" + std::to_string(i);
    v.add(sign(b, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{c.user_id()}, dev_read(i), 1}));
  }
  const std::size_t pairs = (n - kBesideManyQuestionsRecords - asked) / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string seed = "prod-narrow-" + std::to_string(i);
    v.add(sign(manager_a(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{b.user_id()},
                                          prod_narrow(i), 1}));
  }
  for (std::size_t i = 0; i < pairs; ++i) {
    v.add(sign(manager_a(), GrantDeletedRecordV1{grant_id("prod-narrow-" + std::to_string(i)), prod_narrow(i), 2}));
  }
  v.add(sign(b, GrantDeletedRecordV1{grant_id("dev-read-0"), dev_read(0), 3}));
  return v;
}

void check_revokes_beside_many_questions(const Vault& v, const ValidationReport& r) {
  const PrincipalRefV1 c{identity(3).user_id()};
  const auto asked = static_cast<std::size_t>(std::ranges::count_if(v.records, [&](const HashedRecord& h) {
    const auto* grant = std::get_if<GrantRecordV1>(&h.body());
    return grant != nullptr && grant->grantee == c;
  }));
  const std::size_t pairs = (v.records.size() - kBesideManyQuestionsRecords - asked) / 2;
  if (r.effective.grants.size() != 2 + asked - 1 || !r.effective.grants.contains(grant_id("b-dev"))) {
    throw std::runtime_error("expected the two manage grants and B's read grants but the first in force");
  }
  if (r.effective.deleted_grants.size() != pairs + 1) throw std::runtime_error("not every deletion was admitted");
  if (!r.effective.deleted_grants.contains(grant_id("dev-read-0"))) {
    throw std::runtime_error("B's own deletion was not admitted");
  }
  if (authority(r, identity(2)).manage != std::vector{manage_all(with_env({"team", "b"}, "dev"))}) {
    throw std::runtime_error("B does not hold exactly the manage entry over team/b@env=dev");
  }
  if (authority(r, identity(3)).read.size() != asked - 1) throw std::runtime_error("C's read list is short");
}

// The root makes a group of a quarter of the records' worth of members,
// and A gives the group as many narrow read grants: every member holds
// every one of them, which copied into each member would grow with the
// square of the size. No deletions.
constexpr std::size_t kGroupAuthorityRecords = 5;
constexpr std::size_t kRecordsPerGroupMember = 4;  // the user, its entry point, its membership, a grant
constexpr std::uint32_t kFirstGroupMember = 10;

Vault group_authority_shared(std::size_t n) {
  Vault v;
  v.add_member(manager_a());
  add_team_manager(v);
  const std::size_t members = (n - kGroupAuthorityRecords) / kRecordsPerGroupMember;
  for (std::size_t i = 0; i < members; ++i) v.add_member(identity(kFirstGroupMember + static_cast<std::uint32_t>(i)));
  const GroupId group = v.add_group("readers");
  for (std::size_t i = 0; i < members; ++i) {
    v.add_to_group(group, PrincipalRefV1{identity(kFirstGroupMember + static_cast<std::uint32_t>(i)).user_id()});
  }
  for (std::size_t i = 0; i < members; ++i) {
    const std::string seed = "readers-" + std::to_string(i);
    v.add(sign(manager_a(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{group},
                                          grant_permission::Read{under({"team", "g", "s" + std::to_string(i)})},
                                          1}));
  }
  return v;
}

void check_group_authority_shared(const Vault& v, const ValidationReport& r) {
  const std::size_t members = (v.records.size() - kGroupAuthorityRecords) / kRecordsPerGroupMember;
  if (r.effective.groups.size() != 1 || r.effective.group_members.size() != members) {
    throw std::runtime_error("the group or a membership is not in force");
  }
  if (r.effective.grants.size() != members + 1) throw std::runtime_error("a grant was not admitted");
  // Every member may read under each grant; one member's whole set, made
  // in full, lists every one.
  for (std::size_t i = 0; i < members; ++i) {
    const SecretSelectorV1 secret{{"team", "g", "s" + std::to_string(members - 1 - i), "x"}, {}};
    if (!r.effective.authorities.can_read(identity(kFirstGroupMember + static_cast<std::uint32_t>(i)).user_id(),
                                          secret)) {
      throw std::runtime_error("a member does not hold every grant the group holds");
    }
  }
  if (authority(r, identity(kFirstGroupMember)).read.size() != members) {
    throw std::runtime_error("a member's whole set does not list every grant the group holds");
  }
}

// A gives B manage grants over `team/b` that differ only by their label
// `env=e<i>`: every entry is filed at the same path, none covers another.
// No deletions.
constexpr std::size_t kLabelOnlyRecords = 6;

Vault label_only_manage_grants(std::size_t n) {
  const crypto::Identity& b = identity(2);
  Vault v = with_manager_and(b);
  for (std::size_t i = 0; v.records.size() < n; ++i) {
    const std::string seed = "env-" + std::to_string(i);
    v.add(sign(manager_a(), GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{b.user_id()},
                                          manage_all(with_env({"team", "b"}, "e" + std::to_string(i))), 1}));
  }
  return v;
}

void check_label_only_manage_grants(const Vault& v, const ValidationReport& r) {
  const std::size_t labelled = v.records.size() - kLabelOnlyRecords;
  if (r.effective.grants.size() != labelled + 1) throw std::runtime_error("a grant was not admitted");
  if (authority(r, identity(2)).manage.size() != labelled) throw std::runtime_error("B's manage list is short");
}

// An ordinary organisation, a unit of records per manager M: A makes M a
// manager of `team/o<k>`, M gives each of its two delegates narrow manage
// grants `team/o<k>/d<j>/s<i>`, each used with a read grant below it to
// the other delegate, and later revokes most of them. About half of each
// unit is filler (M's read grants to its delegates and its secrets) and a
// tenth revocations. Only the managers have deletions pending, and
// nothing a revoked delegation answers leads to one.
constexpr std::size_t kOrganisationRecords = 4;  // the root, A and A's grant; A's secrets fill the rest
constexpr std::size_t kUnitRecords = 80;
constexpr std::size_t kDelegationsPerDelegate = 6;
constexpr std::size_t kRevokedPerDelegate = 4;
constexpr std::size_t kFillerReadGrants = 20;
// The members, M's grant, the delegations, their uses, the revocations and
// the filler read grants; secrets fill the rest of the unit.
constexpr std::size_t kUnitSecrets = kUnitRecords - 6 - 1 - 2 * (2 * kDelegationsPerDelegate + kRevokedPerDelegate) -
                                     kFillerReadGrants;
constexpr std::uint32_t kFirstUnitMember = 10;

const crypto::Identity& unit_member(std::size_t unit, std::uint32_t j) {
  return identity(kFirstUnitMember + 3 * static_cast<std::uint32_t>(unit) + j);
}

std::string unit_name(std::size_t unit) { return "o" + std::to_string(unit); }

grant_permission::Manage delegation(std::size_t unit, std::uint32_t j, std::size_t i) {
  return manage_all(under({"team", unit_name(unit), "d" + std::to_string(j), "s" + std::to_string(i)}));
}

std::string delegation_seed(std::size_t unit, std::uint32_t j, std::size_t i) {
  return unit_name(unit) + "-d" + std::to_string(j) + "-s" + std::to_string(i);
}

VaultRecordV1 secret(const crypto::Identity& writer, const SecretSelectorV1& selector) {
  SealedPayloadV1 payload{cord::Bytes(12, 7), cord::Bytes(48, 9),
                          {RecipientSlotV1{writer.user_id().to_vec(), cord::Bytes(32, 3), cord::Bytes(48, 4)}}};
  return sign(writer, SecretRecordV1{must(derive_secret_id(provider(), selector)), selector, std::move(payload), 1});
}

void add_unit(Vault& v, std::size_t unit) {
  const crypto::Identity& manager = unit_member(unit, 0);
  for (std::uint32_t j = 0; j < 3; ++j) v.add_member(unit_member(unit, j));
  const std::string manager_seed = unit_name(unit) + "-manager";
  v.add(sign(manager_a(), GrantRecordV1{grant_id(manager_seed), IdSeed(bytes_of(manager_seed)),
                                        PrincipalRefV1{manager.user_id()}, manage_all(under({"team", unit_name(unit)})),
                                        1}));
  for (std::uint32_t j = 1; j <= 2; ++j) {
    const crypto::Identity& delegate = unit_member(unit, j);
    const PrincipalRefV1 other{unit_member(unit, 3 - j).user_id()};
    for (std::size_t i = 0; i < kDelegationsPerDelegate; ++i) {
      const std::string seed = delegation_seed(unit, j, i);
      v.add(sign(manager, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), PrincipalRefV1{delegate.user_id()},
                                        delegation(unit, j, i), 1}));
      const std::string use = seed + "-use";
      const grant_permission::Read read{
          under({"team", unit_name(unit), "d" + std::to_string(j), "s" + std::to_string(i), "x"})};
      v.add(sign(delegate, GrantRecordV1{grant_id(use), IdSeed(bytes_of(use)), other, read, 1}));
    }
  }
  for (std::size_t i = 0; i < kFillerReadGrants; ++i) {
    const std::string seed = unit_name(unit) + "-filler-" + std::to_string(i);
    const PrincipalRefV1 delegate{unit_member(unit, 1 + static_cast<std::uint32_t>(i % 2)).user_id()};
    v.add(sign(manager, GrantRecordV1{grant_id(seed), IdSeed(bytes_of(seed)), delegate,
                                      grant_permission::Read{under({"team", unit_name(unit), "f" + std::to_string(i)})},
                                      1}));
  }
  for (std::size_t i = 0; i < kUnitSecrets; ++i) {
    v.add(secret(manager, SecretSelectorV1{{"team", unit_name(unit), "doc-" + std::to_string(i)}, {}}));
  }
  for (std::uint32_t j = 1; j <= 2; ++j) {
    for (std::size_t i = 0; i < kRevokedPerDelegate; ++i) {
      v.add(sign(manager, GrantDeletedRecordV1{grant_id(delegation_seed(unit, j, i)), delegation(unit, j, i), 2}));
    }
  }
}

Vault organisation_revocations(std::size_t n) {
  Vault v;
  v.add_member(manager_a());
  add_team_manager(v);
  const std::size_t units = (n - kOrganisationRecords) / kUnitRecords;
  for (std::size_t unit = 0; unit < units; ++unit) add_unit(v, unit);
  for (std::size_t i = 0; v.records.size() < n; ++i) {
    v.add(secret(manager_a(), SecretSelectorV1{{"team", "a", "doc-" + std::to_string(i)}, {}}));
  }
  return v;
}

void check_organisation_revocations(const Vault& v, const ValidationReport& r) {
  const std::size_t units = (v.records.size() - kOrganisationRecords) / kUnitRecords;
  const std::size_t kept = kDelegationsPerDelegate - kRevokedPerDelegate;
  if (r.effective.deleted_grants.size() != units * 2 * kRevokedPerDelegate) {
    throw std::runtime_error("not every revocation was admitted");
  }
  // Per unit: M's grant, the delegations kept and their uses, the filler.
  if (r.effective.grants.size() != 1 + units * (1 + 2 * 2 * kept + kFillerReadGrants)) {
    throw std::runtime_error("a grant is in force that should not be, or not one that should");
  }
  if (!r.effective.conflicts.empty()) throw std::runtime_error("unexpected conflicts");
  const std::size_t a_secrets = v.records.size() - kOrganisationRecords - units * kUnitRecords;
  if (r.effective.latest_secret.size() != units * kUnitSecrets + a_secrets) {
    throw std::runtime_error("a secret write was not authorised");
  }
  for (std::size_t unit = 0; unit < units; ++unit) {
    for (std::uint32_t j = 1; j <= 2; ++j) {
      const AuthoritySet& delegate = authority(r, unit_member(unit, j));
      if (delegate.manage.size() != kept) throw std::runtime_error("a delegate holds a revoked delegation");
      // The other delegate's uses of its delegations kept, and half the filler.
      if (delegate.read.size() != kept + kFillerReadGrants / 2) {
        throw std::runtime_error("a delegate's read list is not what its unit gave it");
      }
    }
  }
}

// --- Running --------------------------------------------------------------

struct Shape {
  const char* name;
  Vault (*build)(std::size_t);
  void (*check)(const Vault&, const ValidationReport&);
};

constexpr Shape kShapes[] = {
    {"UserChain", user_chain, check_user_chain},
    {"UserChainBrokenSignatures", user_chain_broken_signatures, check_user_chain_broken},
    {"RootDeletesGrants", root_deletes_grants, check_root_deletes_grants},
    {"MemberDeletesMissingGrants", member_deletes_missing_grants, check_member_deletes_missing},
    {"GroupChain", group_chain, check_group_chain},
    {"RollbackSecrets", rollback_secrets, check_rollback_secrets},
    {"WriteChecks", write_checks, check_write_checks},
    {"ManageListGrants", manage_list_grants, check_manage_list_grants},
    {"MemberDeletesOwnManageGrants", member_deletes_own_manage_grants, check_member_deletes_own_manage_grants},
    {"DelegatedDeletesOwnTwice", delegated_deletes_own_grants_twice, check_delegated_deletes_own_grants_twice},
    {"ManagerDeletesNarrowGrantsOfManager", manager_deletes_narrow_grants_of_manager,
     check_manager_deletes_narrow_grants_of_manager},
    {"ManagerRewritesOwnGrantThenDeletes", manager_rewrites_own_grant_then_deletes, check_manager_rewrites_own_grant},
    {"ManagerNarrowsOwnGrantThenDeletes", manager_narrows_own_grant_then_deletes, check_manager_narrows_own_grant},
    {"ManagerDeletesNarrowGrantsOfRefusedGranter", manager_deletes_narrow_grants_of_refused_granter,
     check_manager_deletes_narrow_grants_of_refused_granter},
    {"ManagerDeletesNarrowGrantsOfGroup", manager_deletes_narrow_grants_of_group,
     check_manager_deletes_narrow_grants_of_group},
    {"ManagerDeletesEntriesOverRetiredQuestions", manager_deletes_entries_over_retired_questions,
     check_manager_deletes_entries_over_retired_questions},
    {"ManagerDeletesLabelledEntries", manager_deletes_labelled_entries, check_manager_deletes_labelled_entries},
    {"RevokesUsedDelegations", revokes_used_delegations, check_revokes_used_delegations},
    {"RevokesPendingUses", revokes_pending_uses, check_revokes_pending_uses},
    {"RevokesUsedGroupDelegations", revokes_used_group_delegations, check_revokes_used_group_delegations},
    {"RevokesUsedChainDelegations", revokes_used_chain_delegations, check_revokes_used_chain_delegations},
    {"RevokesRootDelegations", revokes_root_delegations, check_revokes_root_delegations},
    {"RevokesBesideManyQuestions", revokes_beside_many_questions, check_revokes_beside_many_questions},
    {"RevokesUnderOneRewrittenGrant", revokes_under_one_rewritten_grant, check_by_shared_shape},
    {"RevokesUnderOneConflictedGrant", revokes_under_one_conflicted_grant, check_by_shared_shape},
    {"GroupAuthorityShared", group_authority_shared, check_group_authority_shared},
    {"LabelOnlyManageGrants", label_only_manage_grants, check_label_only_manage_grants},
    {"OrganisationRevocations", organisation_revocations, check_organisation_revocations},
    {"DelegatedGrantsYardstick", delegated_grants_yardstick, check_by_shared_shape},
};

constexpr std::size_t kSizes[] = {1'000, 4'000, 16'000};

// Seconds per validation, by family and size: measured, or predicted for
// a size that was skipped.
struct Timing {
  double seconds = 0;
  bool predicted = false;
};
std::map<std::string, std::map<std::size_t, Timing>> g_times;
double g_budget_seconds = 0;  // 0: no size is skipped

// Skips a size whose time, predicted from the two sizes before it (or as
// quadratic from the one before it), exceeds the budget.
bool over_budget(benchmark::State& state, const std::string& name, std::size_t n) {
  auto& times = g_times[name];
  if (g_budget_seconds <= 0 || !times.contains(n / 4)) return false;
  const double before = times[n / 4].seconds;
  const double growth = times.contains(n / 16) ? before / times[n / 16].seconds : 16.0;
  const double predicted = before * growth;
  if (predicted <= g_budget_seconds) return false;
  times[n] = Timing{predicted, true};
  const std::string message = "skipped: predicted " + std::to_string(predicted) + " s exceeds the budget";
  state.SkipWithError(message.c_str());
  return true;
}

void check_once(const Shape& shape, std::size_t n, Vault& v, const ValidationReport& r) {
  if (v.checked) return;
  v.checked = true;
  if (r.effective.blocked != v.expected_blocked) {
    setup_failed(shape.name, n,
                 r.effective.blocked ? "the effective state is blocked" : "the effective state is not blocked");
  }
  if (!r.warnings.empty()) setup_failed(shape.name, n, "unexpected warnings");
  if (r.issues.size() != v.expected_issues) {
    setup_failed(shape.name, n,
                 std::to_string(r.issues.size()) + " issues, expected " + std::to_string(v.expected_issues) +
                     (r.issues.empty() ? "" : "; first: " + debug_string(r.issues.front())));
  }
  try {
    shape.check(v, r);
  } catch (const std::exception& e) {
    setup_failed(shape.name, n, e.what());
  }
}

void run_shape(benchmark::State& state, const Shape& shape) {
  const auto n = static_cast<std::size_t>(state.range(0));
  if (over_budget(state, shape.name, n)) return;
  static std::map<std::pair<std::string, std::size_t>, Vault> cache;
  auto it = cache.find({shape.name, n});
  if (it == cache.end()) it = cache.emplace(std::pair{std::string(shape.name), n}, shape.build(n)).first;
  Vault& v = it->second;
  const std::span<const HashedRecord> records(v.records);
  const std::uint64_t work_before = validation_work();
  for (auto _ : state) {
    auto report = must(validate_vault_with_verified(records, *v.ratchet, provider(), v.verified));
    if (!v.checked) {
      state.PauseTiming();
      check_once(shape, n, v, report);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(report);
  }
  state.counters["records"] = static_cast<double>(v.records.size());
  state.counters["work"] =
      benchmark::Counter(static_cast<double>(validation_work() - work_before), benchmark::Counter::kAvgIterations);
  state.counters["deletions"] = static_cast<double>(std::ranges::count_if(v.records, [](const HashedRecord& r) {
    const RecordBodyV1& body = r.body();
    return std::holds_alternative<GrantDeletedRecordV1>(body) || std::holds_alternative<GroupDeletedRecordV1>(body) ||
           std::holds_alternative<UserDeletedRecordV1>(body);
  }));
}

// What the effective state is made of: ordered maps keyed by 32-byte ids.
// Filling one with n ids and finding each again is the yardstick of
// near-linear here; on a machine whose caches n outgrows, it too costs more
// than four times as much for four times the ids.
constexpr const char* kBaseline = "OrderedMapBaseline";

void run_baseline(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<UserId> ids;
  std::uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (std::size_t i = 0; i < n; ++i) {
    cord::Bytes bytes(32);
    for (auto& b : bytes) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<std::uint8_t>(x);
    }
    ids.emplace_back(HashValue(std::move(bytes)));
  }
  for (auto _ : state) {
    std::map<UserId, std::size_t> map;
    for (std::size_t i = 0; i < n; ++i) map.emplace(ids[i], i);
    std::size_t found = 0;
    for (const UserId& id : ids) found += map.count(id);
    benchmark::DoNotOptimize(found);
  }
}

// --- The hostile shapes -----------------------------------------------------

// The shared hostile shapes (tests/support/hostile_shapes) at 1k to 64k,
// each beside a plain vault of the same size, or of the same bytes for the
// ones whose bytes grow faster than their records (compared_by_bytes). Warm: every signature is taken as
// already verified, as a verification cache gives them, so only
// validation's algorithms are timed; cold: every signature is checked.
constexpr std::size_t kHostileSizes[] = {1'000, 4'000, 16'000, 64'000};
constexpr const char* kPlain = "plain";
constexpr const char* kSameBytes = "-samebytes";
constexpr const char* kModes[] = {"warm", "cold"};

// The heap's peak above where it started during one validation, in MiB,
// by benchmark name and size.
std::map<std::string, std::map<std::size_t, double>> g_peak_mib;

// The vault a hostile benchmark validates: the shape, the plain vault of
// the same records, or the plain vault of the shape's bytes.
const test::HostileVault& hostile_vault(const std::string& what, std::optional<test::HostileShape> shape, std::size_t n) {
  static std::map<std::pair<std::string, std::size_t>, test::HostileVault> cache;
  auto it = cache.find({what, n});
  if (it != cache.end()) return it->second;
  test::HostileVault v = !shape                       ? test::build_plain_yardstick(n, builder())
                         : what.ends_with(kSameBytes) ? test::build_plain_of_same_bytes(
                                                            hostile_vault(test::hostile_shape_name(*shape), shape, n).bytes,
                                                            builder())
                                                      : test::build_hostile_shape(*shape, n, builder());
  return cache.emplace(std::pair{what, n}, std::move(v)).first->second;
}

void run_hostile(benchmark::State& state, const std::string& what, std::optional<test::HostileShape> shape,
                 bool warm) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string name = std::string("hostile_") + what + "_" + (warm ? "warm" : "cold");
  if (over_budget(state, name, n)) return;
  const test::HostileVault& v = hostile_vault(what, shape, n);
  const VerifiedHashes none;
  const VerifiedHashes& verified = warm ? v.verified : none;
  const std::span<const HashedRecord> records(v.records);

  // Once, untimed: the report is the shape's, and the heap's peak.
  const std::size_t heap_before = g_heap_live;
  g_heap_peak = heap_before;
  const std::uint64_t work_before = vornex::core::work_done();
  {
    const auto report = must(validate_vault_with_verified(records, v.trust, provider(), verified));
    if (const std::string problem = test::hostile_report_problem(v, report); !problem.empty()) {
      setup_failed(name, n, problem);
    }
  }
  const std::uint64_t work = vornex::core::work_done() - work_before;
  const double peak_mib = static_cast<double>(g_heap_peak - heap_before) / (1024.0 * 1024.0);
  g_peak_mib[name][n] = peak_mib;

  for (auto _ : state) {
    auto report = must(validate_vault_with_verified(records, v.trust, provider(), verified));
    benchmark::DoNotOptimize(report);
  }
  state.counters["records"] = static_cast<double>(v.records.size());
  state.counters["bytes"] = static_cast<double>(v.bytes);
  state.counters["work"] = static_cast<double>(work);
  state.counters["peak_MiB"] = peak_mib;
}

void register_hostile() {
  const auto add = [](const std::string& what, std::optional<test::HostileShape> shape) {
    for (const char* mode : kModes) {
      const bool warm = std::string_view(mode) == "warm";
      const std::string name = "BM_hostile_" + what + "_" + mode;
      auto* b = benchmark::RegisterBenchmark(name.c_str(),
                                             [what, shape, warm](benchmark::State& state) {
                                               run_hostile(state, what, shape, warm);
                                             });
      for (std::size_t n : kHostileSizes) b->Arg(static_cast<std::int64_t>(n));
      b->Unit(benchmark::kMillisecond);
    }
  };
  add(kPlain, std::nullopt);
  for (const test::HostileShape shape : test::kHostileShapes) {
    const std::string name = test::hostile_shape_name(shape);
    add(name, shape);
    if (test::compared_by_bytes(shape)) add(name + kSameBytes, shape);
  }
}

// Keeps each run's time so the growth ratios can be printed last.
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so saved output stays plain text.
  GrowthReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // A single run, or the median of repetitions.
      if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median") continue;
      const std::string& name = run.run_name.function_name;
      const std::size_t n = std::stoul(run.run_name.args);
      g_times[name.substr(name.find('_') + 1)][n] =
          Timing{run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit), false};
    }
    ConsoleReporter::ReportRuns(runs);
  }

  static void PrintGrowth() {
    std::printf("\nSeconds per validation, and t(4n)/t(n) (about 4 when near-linear, 16 when quadratic);\n"
                "'~' marks a time predicted from the sizes before it instead of measured.\n");
    std::vector<const char*> names{kBaseline};
    for (const Shape& shape : kShapes) names.push_back(shape.name);
    int width = 0;
    for (const char* name : names) width = std::max(width, static_cast<int>(std::strlen(name)));
    for (const char* name : names) {
      const auto found = g_times.find(name);
      if (found == g_times.end()) continue;
      std::printf("%-*s", width, name);
      const Timing* last = nullptr;
      for (std::size_t n : kSizes) {
        const auto t = found->second.find(n);
        if (t == found->second.end()) {
          std::printf("  %6zu: %12s", n, "-");
          last = nullptr;
          continue;
        }
        std::printf("  %6zu: %s%10.4f s", n, t->second.predicted ? "~" : " ", t->second.seconds);
        if (last != nullptr) {
          std::printf(" (x%s%5.2f)", t->second.predicted ? "~" : "", t->second.seconds / last->seconds);
        }
        last = &t->second;
      }
      std::printf("\n");
    }
  }

  // Per hostile shape and mode: the time at each size with its growth per
  // 4x, its ratio to the plain vault of the same records (or the same
  // bytes), and the heap's peak during one validation.
  static void PrintHostile() {
    std::set<std::string> by_bytes_names;
    for (const test::HostileShape shape : test::kHostileShapes) {
      if (test::compared_by_bytes(shape)) by_bytes_names.insert(test::hostile_shape_name(shape));
    }
    bool any = false;
    for (const auto& [name, times] : g_times) any = any || name.starts_with("hostile_");
    if (!any) return;
    std::printf("\nHostile shapes: seconds per validation (x growth per 4x) [ratio to the plain vault of the same\n"
                "records; of the same bytes for the shapes shown beside one] {heap peak MiB}; '~' marks a prediction.\n");
    for (const char* mode : kModes) {
      std::vector<std::string> names{kPlain};
      for (const test::HostileShape shape : test::kHostileShapes) {
        names.push_back(test::hostile_shape_name(shape));
        if (test::compared_by_bytes(shape)) names.push_back(names.back() + kSameBytes);
      }
      for (const std::string& shape : names) {
        const std::string name = "hostile_" + shape + "_" + mode;
        const auto found = g_times.find(name);
        if (found == g_times.end()) continue;
        // The yardsticks themselves show no ratio.
        const bool yardstick = shape == kPlain || shape.ends_with(kSameBytes);
        const bool by_bytes = by_bytes_names.contains(shape);
        const auto& plain = g_times["hostile_" + (by_bytes ? shape + kSameBytes : std::string(kPlain)) + "_" + mode];
        std::printf("%-20s %s", shape.c_str(), mode);
        const Timing* last = nullptr;
        for (std::size_t n : kHostileSizes) {
          const auto t = found->second.find(n);
          if (t == found->second.end()) {
            std::printf("  %5zu: %9s", n, "-");
            last = nullptr;
            continue;
          }
          const char* mark = t->second.predicted ? "~" : " ";
          std::printf("  %5zu:%s%9.4f", n, mark, t->second.seconds);
          if (last != nullptr) std::printf(" (x%5.2f)", t->second.seconds / last->seconds);
          const auto p = plain.find(n);
          if (!yardstick && p != plain.end() && !p->second.predicted) std::printf(" [%6.1f]", t->second.seconds / p->second.seconds);
          const auto& peaks = g_peak_mib[name];
          if (const auto m = peaks.find(n); m != peaks.end()) std::printf(" {%.1f}", m->second);
          last = &t->second;
        }
        std::printf("\n");
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  // Our own flag, taken out before the library reads the rest.
  constexpr std::string_view kBudgetFlag = "--adversarial_budget_s=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg.starts_with(kBudgetFlag)) {
      g_budget_seconds = std::strtod(argv[i] + kBudgetFlag.size(), nullptr);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  {
    auto* b = benchmark::RegisterBenchmark((std::string("BM_") + kBaseline).c_str(), run_baseline);
    for (std::size_t n : kSizes) b->Arg(static_cast<std::int64_t>(n));
    b->Unit(benchmark::kMillisecond);
  }
  register_hostile();
  for (const Shape& shape : kShapes) {
    auto* b = benchmark::RegisterBenchmark((std::string("BM_") + shape.name).c_str(),
                                           [&shape](benchmark::State& state) { run_shape(state, shape); });
    for (std::size_t n : kSizes) b->Arg(static_cast<std::int64_t>(n));
    b->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  GrowthReporter::PrintGrowth();
  GrowthReporter::PrintHostile();
  benchmark::Shutdown();
  return 0;
}
