#include "random_vault.hpp"

#include <algorithm>
#include <expected>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "random_hostile.hpp"
#include "vornex/core/authz.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/structure.hpp"

namespace vornex::test {

namespace {

using namespace core;
using crypto::Identity;

constexpr std::uint8_t kStranger = 200;  // signs records but is never credited
constexpr std::uint8_t kKeyDonor = 201;  // lends its HPKE key to a second claim of someone's signing key
constexpr std::uint8_t kGhost = 202;     // named by records, never has a user record
// Actors of planted deletion shapes, four per shape: no other record names
// them, so one that must hold nothing else does not.
constexpr std::uint8_t kShapeActors = 40;
// Actors of planted revocation shapes, eight per shape, alike.
constexpr std::uint8_t kRevocationActors = 60;

template <class T, class E>
T must(std::expected<T, E> result) {
  if (!result) throw std::runtime_error("random vault: a value could not be made");
  return std::move(*result);
}

KeyspaceSelectorV1 keyspace(TupleMatcherV1 tuple, std::vector<KeyspaceLabelMatcherV1> labels = {}) {
  return KeyspaceSelectorV1{std::move(tuple), std::move(labels)};
}

// Small alphabets, so that selectors cover, match and miss one another.
const std::vector<KeyspaceSelectorV1>& keyspaces() {
  static const std::vector<KeyspaceSelectorV1> all = {
      keyspace(tuple_matcher::Any{}),
      keyspace(tuple_matcher::Exact{{"app"}}),
      keyspace(tuple_matcher::Exact{{"app", "db"}}),
      keyspace(tuple_matcher::Prefix{{"app"}}),
      keyspace(tuple_matcher::Prefix{{"web"}}),
      keyspace(tuple_matcher::Any{}, {{"env", label_matcher::Equals{"prod"}}}),
      keyspace(tuple_matcher::Prefix{{"app"}}, {{"env", label_matcher::Present{}}}),
      keyspace(tuple_matcher::Any{}, {{"env", label_matcher::In{{"dev", "prod"}}}}),
      keyspace(tuple_matcher::Any{}, {{"env", label_matcher::Absent{}}}),
      keyspace(tuple_matcher::Exact{{"web"}}),
      keyspace(tuple_matcher::Prefix{{"app", "db"}}),
      keyspace(tuple_matcher::Any{}, {{"env", label_matcher::In{{"prod"}}}}),
      keyspace(tuple_matcher::Exact{{}}),
      keyspace(tuple_matcher::Prefix{{"web", "x"}}),
      keyspace(tuple_matcher::Exact{{"app", "db"}}, {{"env", label_matcher::Equals{"prod"}}}),
      keyspace(tuple_matcher::Prefix{{"app", "db", "x"}}),
  };
  return all;
}

SecretSelectorV1 secret_selector(std::vector<std::string> path, std::vector<SecretLabelV1> labels = {}) {
  return SecretSelectorV1{std::move(path), std::move(labels)};
}

const std::vector<SecretSelectorV1>& secret_selectors() {
  static const std::vector<SecretSelectorV1> all = {
      secret_selector({"app"}),
      secret_selector({"app", "db"}),
      secret_selector({"app", "db"}, {{"env", "prod"}}),
      secret_selector({"web"}),
      secret_selector({"web", "x"}, {{"env", "dev"}}),
      secret_selector({"app"}, {{"env", "prod"}, {"team", "a"}}),
      secret_selector({}),
      secret_selector({"app", "db", "x"}),
  };
  return all;
}

const std::vector<std::vector<KeyspaceGrantClassV1>>& class_sets() {
  using R = grant_class::Read;
  using W = grant_class::Write;
  using M = grant_class::Manage;
  static const std::vector<std::vector<KeyspaceGrantClassV1>> all = {
      {R{}}, {W{}}, {M{}}, {R{}, W{}}, {R{}, M{}}, {W{}, M{}}, {R{}, W{}, M{}},
  };
  return all;
}

// The keyspaces of the alphabet that `outer` subsumes, itself included.
std::vector<const KeyspaceSelectorV1*> within(const KeyspaceSelectorV1& outer) {
  std::vector<const KeyspaceSelectorV1*> out;
  for (const KeyspaceSelectorV1& k : keyspaces()) {
    if (selector_subsumes(outer, k)) out.push_back(&k);
  }
  return out;
}

// Those that none of `held` subsumes.
std::vector<const KeyspaceSelectorV1*> beyond(const std::vector<const KeyspaceSelectorV1*>& held) {
  std::vector<const KeyspaceSelectorV1*> out;
  for (const KeyspaceSelectorV1& k : keyspaces()) {
    if (std::ranges::none_of(held, [&](const KeyspaceSelectorV1* h) { return selector_subsumes(*h, k); })) {
      out.push_back(&k);
    }
  }
  return out;
}

std::uint64_t near(SeededRng& rng, std::uint64_t counter) {
  // Below, at or above a target's counter.
  const std::uint64_t step = rng.below(3);
  if (step == 0) return counter == 0 ? 0 : counter - 1;
  return step == 1 ? counter : counter + 1;
}

// Few segments and labels, so that selectors made apart still coincide,
// nest, or differ only by their labels.
const std::vector<std::string>& segments() {
  static const std::vector<std::string> all = {"db", "x", "s0", "s1"};
  return all;
}

const std::vector<KeyspaceLabelMatcherV1>& label_matchers() {
  static const std::vector<KeyspaceLabelMatcherV1> all = {
      {"env", label_matcher::Equals{"prod"}}, {"env", label_matcher::Equals{"dev"}},
      {"env", label_matcher::In{{"dev", "prod"}}}, {"env", label_matcher::Present{}},
      {"team", label_matcher::Equals{"a"}},
  };
  return all;
}

// `selector` with `matcher` among its labels, kept sorted by key; unchanged
// when it already has a matcher of that key.
KeyspaceSelectorV1 with_label(KeyspaceSelectorV1 selector, const KeyspaceLabelMatcherV1& matcher) {
  auto& labels = selector.labels;
  const auto at = std::ranges::lower_bound(labels, matcher.key, {}, &KeyspaceLabelMatcherV1::key);
  if (at == labels.end() || at->key != matcher.key) labels.insert(at, matcher);
  return selector;
}

KeyspaceSelectorV1 without_labels(KeyspaceSelectorV1 selector) {
  selector.labels.clear();
  return selector;
}

// A selector that `outer` subsumes, one segment deeper (as a prefix or an
// exact path) and now and then with a label `outer` leaves open. Nothing
// is deeper than an exact path, so below one only a label narrows.
KeyspaceSelectorV1 deeper(SeededRng& rng, const KeyspaceSelectorV1& outer, unsigned label_percent = 25) {
  KeyspaceSelectorV1 out = outer;
  if (std::holds_alternative<tuple_matcher::Exact>(outer.tuple)) return with_label(out, rng.pick(label_matchers()));
  std::vector<std::string> path;
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&outer.tuple)) path = prefix->segments;
  path.push_back(rng.pick(segments()));
  out.tuple = rng.percent(25) ? TupleMatcherV1{tuple_matcher::Exact{std::move(path)}}
                              : TupleMatcherV1{tuple_matcher::Prefix{std::move(path)}};
  if (rng.percent(label_percent)) out = with_label(std::move(out), rng.pick(label_matchers()));
  if (!selector_subsumes(outer, out)) throw std::logic_error("random vault: a deeper selector is not inside");
  return out;
}

struct MadeGrant {
  std::string seed;
  PrincipalRefV1 grantee;
  GrantPermissionV1 permission;
  std::uint64_t counter;
};

class Generator {
 public:
  Generator(std::uint64_t seed, const VaultBuilder& b) : rng_(seed), b_(b) {}

  RandomVault make();

 private:
  const Identity& id(std::uint8_t seed) const { return b_.identity(seed); }
  const Identity& root() const { return b_.root(); }
  void add(VaultRecordV1 record) { out_.push_back(std::move(record)); }

  const Identity& any_user() { return *rng_.pick(users_); }
  // The root or a user, sometimes a stranger the vault does not know.
  const Identity& signer(unsigned root_percent) {
    if (rng_.percent(root_percent) || users_.empty()) return root();
    if (rng_.percent(4)) return id(kStranger);
    return any_user();
  }
  std::uint64_t counter(std::uint64_t max) { return rng_.below(max + 1); }

  PrincipalRefV1 principal() {
    const std::uint64_t roll = rng_.below(10);
    if (roll < 5 && !users_.empty()) return any_user().user_id();
    if (roll == 5) return root().user_id();
    if (roll == 6) return id(kGhost).user_id();
    return group_ids_.empty() || roll == 9 ? b_.group_id("gx") : rng_.pick(group_ids_);
  }

  GrantPermissionV1 permission() {
    const KeyspaceSelectorV1& selector = rng_.pick(keyspaces());
    const std::uint64_t roll = rng_.below(100);
    if (roll < 30) return grant_permission::Read{selector};
    if (roll < 60) return grant_permission::Write{selector};
    if (roll < 95) return ManageKeyspaceGrantV1{selector, rng_.pick(class_sets())};
    return grant_permission::Root{};
  }

  SealedPayloadV1 payload() {
    SealedPayloadV1 p;
    for (int i = 0; i < 12; ++i) p.nonce.push_back(static_cast<std::uint8_t>(rng_.next()));
    for (int i = 0; i < 16; ++i) p.ciphertext.push_back(static_cast<std::uint8_t>(rng_.next()));
    for (const Identity* reader : users_) {
      if (!rng_.percent(50)) continue;
      p.recipient_slots.push_back(RecipientSlotV1{reader->user_id().to_vec(), {1, 2}, {3, 4}});
    }
    if (rng_.percent(3) && !p.recipient_slots.empty()) p.recipient_slots.push_back(p.recipient_slots.front());
    return p;
  }

  void make_users();
  void make_groups();
  void make_grants();
  void make_deletion_play();
  void make_self_managed();
  void make_bulk_authority();
  void make_odd_ids();
  void make_dense_groups();
  void make_secrets();
  void make_handles();
  void make_oddities();
  void make_deletion_shapes();
  void plant(DeletionShape shape, std::uint64_t index);
  void make_revocation_shapes();
  void plant(RevocationShape shape, std::uint64_t index);
  void plant_root_administrators(const std::string& p, std::uint64_t index);
  void make_hostile_shapes();
  // Mostly above the target; sometimes at it (a conflict) or below it.
  std::uint64_t after(std::uint64_t target) {
    const std::uint64_t roll = rng_.below(100);
    if (roll < 10) return target;
    if (roll < 14) return target == 0 ? 0 : target - 1;
    return target + 1 + rng_.below(2);
  }
  void enrol(const Identity& user) {
    add(b_.user(root(), user, 0));
    add(b_.entry_point(user, 0));
  }
  Ratchet make_trust(const std::vector<validate::HashedRecord>& hashed);

  SeededRng rng_;
  const VaultBuilder& b_;
  std::vector<VaultRecordV1> out_;
  std::vector<const Identity*> users_;
  std::map<const Identity*, std::uint64_t> user_counter_;
  std::vector<GroupId> group_ids_;
  std::vector<MadeGrant> grants_;
  std::vector<PlantedShape> shapes_;
  std::vector<PlantedRevocation> revocations_;
  std::vector<PlantedHostile> hostile_;
};

void Generator::make_users() {
  const std::uint64_t n = rng_.below(7);
  for (std::uint64_t i = 0; i < n; ++i) users_.push_back(&id(static_cast<std::uint8_t>(2 + i)));

  // Sometimes a strict chain: each user is made by the next one, the last
  // by the root, so crediting needs one pass per link whatever the order.
  const bool chain = rng_.percent(15);
  for (std::size_t i = 0; i < users_.size(); ++i) {
    const Identity& user = *users_[i];
    const std::uint64_t c = counter(2);
    user_counter_[&user] = c;
    if (chain) {
      add(b_.user(i + 1 < users_.size() ? *users_[i + 1] : root(), user, c));
    } else if (rng_.percent(90)) {
      add(b_.user(signer(55), user, c));
    }
    if (rng_.percent(15)) add(b_.user(signer(50), user, counter(3)));
    // A known key whose signature does not hold.
    if (rng_.percent(10)) add(VaultBuilder::with_bad_signature(b_.user(signer(50), user, counter(3))));
    if (rng_.percent(75)) add(b_.entry_point(user, counter(2)));
    if (rng_.percent(10)) add(b_.entry_point(user, counter(3)));
  }

  // A second user declaring someone's signing key, with or without an
  // entry point that settles the key on the claimant.
  if (!users_.empty() && rng_.percent(12)) {
    const Identity& owner = any_user();
    const Identity& donor = id(kKeyDonor);
    const UserId claimant = must(derive_user_id(b_.crypto(), owner.signing_public_key(), donor.hpke_public_key()));
    add(b_.sign(signer(70), UserRecordV1{claimant, owner.signing_public_key(), donor.hpke_public_key(), counter(2)}));
    if (rng_.percent(50)) {
      add(b_.sign(owner, EntryPointRecordV1{root().user_id(), donor.hpke_public_key(), counter(2)}));
    }
  }

  // User deletions, by the root and by others.
  for (const Identity* user : users_) {
    if (!rng_.percent(12)) continue;
    add(b_.user_deleted(signer(60), user->user_id(), near(rng_, user_counter_[user])));
  }
  if (rng_.percent(5)) add(b_.user_deleted(signer(60), id(kGhost).user_id(), counter(2)));
}

void Generator::make_groups() {
  const std::uint64_t n = rng_.below(5);
  std::vector<std::uint64_t> counters;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string seed = "g" + std::to_string(i);
    const std::uint64_t c = counter(2);
    const Identity& maker = signer(80);
    add(b_.group(maker, seed, c));
    group_ids_.push_back(b_.group_id(seed));
    counters.push_back(c);
    if (rng_.percent(8)) {
      // Same counter: another handle conflicts, the same body does not.
      GroupRecordV1 body{b_.group_id(seed), IdSeed(cord::Bytes(seed.begin(), seed.end())),
                         rng_.percent(50) ? seed : seed + "-other", c};
      add(b_.sign(signer(70), std::move(body)));
    }
  }
  for (std::size_t i = 0; i < group_ids_.size(); ++i) {
    if (rng_.percent(15)) add(b_.group_deleted(signer(60), group_ids_[i], near(rng_, counters[i])));
  }

  // Memberships of users and groups, including a group in itself, and
  // their deletions.
  const std::uint64_t members = rng_.below(8);
  for (std::uint64_t i = 0; i < members; ++i) {
    const GroupId group = group_ids_.empty() || rng_.percent(10) ? b_.group_id("gx") : rng_.pick(group_ids_);
    const PrincipalRefV1 member = principal();
    const std::uint64_t c = counter(2);
    add(b_.member(signer(85), group, member, c));
    if (rng_.percent(20)) add(b_.member_deleted(signer(80), group, member, near(rng_, c)));
  }

  // Sometimes a nested chain with a grant at the top and a user at the
  // bottom, so authority has to travel through every link.
  if (group_ids_.size() >= 2 && !users_.empty() && rng_.percent(25)) {
    for (std::size_t i = 1; i < group_ids_.size(); ++i) {
      add(b_.member(root(), group_ids_[i - 1], group_ids_[i], counter(1)));
    }
    add(b_.member(root(), group_ids_.back(), any_user().user_id(), counter(1)));
    if (rng_.percent(50)) add(b_.member(root(), group_ids_.back(), group_ids_.front(), counter(1)));  // a cycle
  }
}

void Generator::make_grants() {
  const std::uint64_t n = rng_.below(10);
  for (std::uint64_t i = 0; i < n; ++i) {
    // Few seeds, so that one grant id is often written more than once.
    const std::string seed = "t" + std::to_string(rng_.below(n + 3));
    MadeGrant made{seed, principal(), permission(), counter(3)};
    if (rng_.percent(20) && !group_ids_.empty()) made.grantee = rng_.pick(group_ids_);
    add(b_.grant(signer(50), made.seed, made.grantee, made.permission, made.counter));
    grants_.push_back(std::move(made));
  }

  // A grant whose holder overwrites it at a higher counter: admitting the
  // overwrite takes away the authority that admitted it.
  if (!users_.empty() && rng_.percent(10)) {
    const Identity& holder = any_user();
    const GrantPermissionV1 manage =
        ManageKeyspaceGrantV1{keyspaces()[0], class_sets()[6]};
    add(b_.grant(root(), "undermined", holder.user_id(), manage, 1));
    add(b_.grant(holder, "undermined", principal(), grant_permission::Read{rng_.pick(keyspaces())}, 2));
  }

  // Grant deletions: of grants that exist and that do not, naming their
  // permission or another, by the root, by managers and by the grantee.
  const std::uint64_t deletions = rng_.below(5);
  for (std::uint64_t i = 0; i < deletions; ++i) {
    const Identity* deleter = &signer(40);
    if (!grants_.empty() && rng_.percent(70)) {
      const MadeGrant* target = &rng_.pick(grants_);
      if (rng_.percent(30)) {
        // A grant the deleter holds itself, when there is one.
        for (const MadeGrant& g : grants_) {
          if (const auto* holder = std::get_if<UserId>(&g.grantee); holder && *holder == deleter->user_id()) target = &g;
        }
      }
      const GrantPermissionV1 named = rng_.percent(60) ? target->permission : permission();
      add(b_.grant_deleted(*deleter, b_.grant_id(target->seed), named, near(rng_, target->counter)));
    } else {
      add(b_.grant_deleted(*deleter, b_.grant_id("missing" + std::to_string(rng_.below(3))), permission(),
                           counter(3)));
    }
  }
}

// Deleters whose authority hangs on records that other deletions remove:
// X holds a manage or root grant directly or through (nested) groups, Y holds
// one that X made, and the root and both of them delete grants, groups,
// memberships and users at interleaved counters. Admitting one deletion
// then changes how later ones, and earlier refused ones, are judged.
void Generator::make_deletion_play() {
  if (users_.size() < 2 || !rng_.percent(50)) return;
  const Identity& x = *users_[0];
  const Identity& y = *users_[1];
  for (const Identity* u : {&x, &y}) {
    add(b_.user(root(), *u, 0));
    add(b_.entry_point(*u, 0));
  }
  const auto manage = [&]() -> GrantPermissionV1 {
    const KeyspaceSelectorV1& selector = keyspaces()[rng_.percent(50) ? 0 : rng_.below(keyspaces().size())];
    return ManageKeyspaceGrantV1{selector, class_sets()[rng_.percent(50) ? 6 : rng_.below(class_sets().size())]};
  };
  const auto when = [&] { return counter(5); };

  std::vector<MadeGrant> sources;  // what X's authority rests on
  const GroupId dg = b_.group_id("dg");
  const GroupId dh = b_.group_id("dh");
  switch (rng_.below(4)) {
    case 0:
      sources.push_back({"dx", x.user_id(), manage(), when()});
      break;
    case 1:
      sources.push_back({"dx", x.user_id(), grant_permission::Root{}, when()});
      break;
    default: {
      add(b_.group(root(), "dg", 0));
      add(b_.member(root(), dg, x.user_id(), 0));
      PrincipalRefV1 holder = dg;
      if (rng_.percent(50)) {
        add(b_.group(root(), "dh", 0));
        add(b_.member(root(), dh, dg, 0));
        holder = dh;
      }
      sources.push_back({"dgx", holder, manage(), when()});
      break;
    }
  }
  for (const MadeGrant& g : sources) add(b_.grant(root(), g.seed, g.grantee, g.permission, g.counter));
  // Y's authority is X's work, so it lasts only while X's does.
  const MadeGrant from_x{"dy", y.user_id(), manage(), when()};
  add(b_.grant(x, from_x.seed, from_x.grantee, from_x.permission, from_x.counter));

  std::vector<MadeGrant> targets = sources;
  targets.push_back(from_x);
  for (int i = 0; i < 3; ++i) {
    MadeGrant made{"dt" + std::to_string(i), principal(),
                   rng_.percent(30) ? GrantPermissionV1{grant_permission::Root{}} : permission(), when()};
    add(b_.grant(rng_.percent(70) ? root() : x, made.seed, made.grantee, made.permission, made.counter));
    targets.push_back(std::move(made));
  }
  targets.push_back({"dt-missing", x.user_id(), manage(), when()});  // never made

  // Few deletions as often as many: a later recomputation can hide a
  // wrong judgement made on the way.
  const std::uint64_t n = rng_.percent(50) ? 1 + rng_.below(2) : 2 + rng_.below(6);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t who = rng_.below(3);
    const Identity& deleter = who == 0 ? root() : who == 1 ? x : y;
    const std::uint64_t what = rng_.below(10);
    if (what < 6) {
      // Naming a weaker permission than the grant holds is refused while
      // the grant is in force, and allowed once the root has deleted it.
      const MadeGrant& target = rng_.pick(targets);
      const std::uint64_t naming = rng_.below(10);
      const GrantPermissionV1 named = naming < 5   ? target.permission
                                      : naming < 8 ? GrantPermissionV1{grant_permission::Read{keyspaces()[1]}}
                                                   : permission();
      const std::uint64_t at = when();
      add(b_.grant_deleted(deleter, b_.grant_id(target.seed), named, at));
      if (&deleter != &root() && rng_.percent(50)) {
        // Often just before: the deleter's record is then judged after the
        // root's has taken the grant away, and is the later writer.
        const std::uint64_t before = at == 0 || rng_.percent(30) ? when() : at - 1;
        add(b_.grant_deleted(root(), b_.grant_id(target.seed), target.permission, before));
      }
    } else if (what == 6) {
      add(b_.group_deleted(deleter, rng_.percent(50) ? dg : dh, when()));
    } else if (what == 7) {
      add(b_.member_deleted(deleter, dg, x.user_id(), when()));
    } else {
      add(b_.user_deleted(deleter, rng_.percent(50) ? x.user_id() : y.user_id(), when()));
    }
  }
}

// A manager who gives itself manage grants within its own keyspace and
// deletes them again, among other deletions at interleaved counters: of the
// grant its authority rests on, of the memberships and groups that carry
// it, of grants it made for others, and a second deletion of the same
// grant. Its authority comes from the root directly, through one or two
// groups, or from another manager the root delegated to; its own grants go
// to itself, to the group it is in, or to another user who then does the
// same one level further down.
void Generator::make_self_managed() {
  if (users_.size() < 2 || !rng_.percent(35)) return;
  const Identity& m = *users_.back();
  const Identity& other = *users_[rng_.below(users_.size() - 1)];
  for (const Identity* u : {&m, &other}) {
    add(b_.user(root(), *u, 0));
    add(b_.entry_point(*u, 0));
  }
  const auto when = [&] { return counter(4); };
  // Broad keyspaces that cover some of the others and miss the rest.
  static const std::vector<std::size_t> kBroad = {0, 0, 3, 6, 7, 1};
  const std::vector<KeyspaceGrantClassV1>& classes = class_sets()[rng_.percent(70) ? 6 : 2 + rng_.below(5)];
  const GrantPermissionV1 broad = ManageKeyspaceGrantV1{keyspaces()[rng_.pick(kBroad)], classes};

  const GroupId smg = b_.group_id("smg");
  const GroupId smh = b_.group_id("smh");
  bool in_group = false;
  const std::uint64_t source = rng_.below(5);
  if (source == 0 || source == 4) add(b_.grant(root(), "sm-src", m.user_id(), broad, rng_.below(2)));
  if (source == 1 || source == 2 || source == 4) {
    add(b_.group(root(), "smg", 0));
    in_group = true;
    if (rng_.percent(75)) {
      add(b_.member(root(), smg, m.user_id(), 0));
    } else {
      // The membership comes from a user the root made a root, so it is
      // in force only from a later iteration on, and with a second record
      // at a higher counter it changes value on the way.
      add(b_.grant(root(), "sm-rooted", other.user_id(), grant_permission::Root{}, 0));
      add(b_.member(other, smg, m.user_id(), counter(1)));
      if (rng_.percent(30)) add(b_.member(root(), smg, m.user_id(), counter(2)));
    }
    PrincipalRefV1 holder = smg;
    if (source == 2) {
      add(b_.group(root(), "smh", 0));
      add(b_.member(root(), smh, smg, 0));
      holder = smh;
    }
    add(b_.grant(root(), "sm-grp", holder, broad, rng_.below(2)));
  }
  if (source == 3) {
    // Delegated: the root makes `other` a manager, and `other` makes `m` one.
    add(b_.grant(root(), "sm-del", other.user_id(), ManageKeyspaceGrantV1{keyspaces()[0], class_sets()[6]}, 0));
    add(b_.grant(other, "sm-src", m.user_id(), broad, rng_.below(3)));
  }
  if (rng_.percent(20)) add(b_.grant(root(), "sm-narrow", m.user_id(), permission(), rng_.below(2)));
  if (rng_.percent(12)) {
    // The manager overwrites its own source with something it can make
    // only some of the time, so the fixed point may cycle.
    const GrantPermissionV1 over = rng_.percent(50) ? GrantPermissionV1{grant_permission::Read{rng_.pick(keyspaces())}}
                                                    : permission();
    add(b_.grant(m, rng_.percent(70) ? "sm-src" : "sm-grp", m.user_id(), over, 2 + rng_.below(2)));
  }
  if (rng_.percent(8)) add(b_.grant(root(), "sm-src", m.user_id(), permission(), 2));  // the root changes it

  // Its own grants, and their deletions.
  const std::uint64_t n = 1 + rng_.below(6);
  std::vector<MadeGrant> own;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t to = rng_.below(10);
    const PrincipalRefV1 grantee = to < 7 || (to < 9 && !in_group) ? PrincipalRefV1{m.user_id()}
                                   : to < 9                        ? PrincipalRefV1{smg}
                                                                   : PrincipalRefV1{other.user_id()};
    GrantPermissionV1 granted = rng_.percent(5) ? GrantPermissionV1{grant_permission::Root{}}
                                                : ManageKeyspaceGrantV1{rng_.pick(keyspaces()), rng_.pick(class_sets())};
    // Few seeds now and then, so that one own grant is written twice.
    const std::uint64_t name = rng_.percent(15) ? rng_.below(n) : i;
    MadeGrant made{"sm-own" + std::to_string(name), grantee, std::move(granted), counter(2)};
    add(b_.grant(m, made.seed, made.grantee, made.permission, made.counter));
    own.push_back(std::move(made));
  }
  if (rng_.percent(15)) {
    // One level further down: what `m` gave `other`, `other` uses alike.
    const GrantPermissionV1 sub = ManageKeyspaceGrantV1{rng_.pick(keyspaces()), class_sets()[6]};
    add(b_.grant(m, "sm-sub", other.user_id(), sub, counter(2)));
    for (int i = 0; i < 2; ++i) {
      MadeGrant made{"sm-sub" + std::to_string(i), other.user_id(),
                     ManageKeyspaceGrantV1{rng_.pick(keyspaces()), rng_.pick(class_sets())}, counter(2)};
      add(b_.grant(other, made.seed, made.grantee, made.permission, made.counter));
      add(b_.grant_deleted(other, b_.grant_id(made.seed), made.permission, when()));
    }
  }
  for (const MadeGrant& g : own) {
    if (!rng_.percent(85)) continue;
    const GrantPermissionV1 named = rng_.percent(80) ? g.permission : permission();
    const std::uint64_t at = rng_.percent(70) ? g.counter + 1 : when();
    add(b_.grant_deleted(m, b_.grant_id(g.seed), named, at));
    if (rng_.percent(10)) add(b_.grant_deleted(m, b_.grant_id(g.seed), g.permission, when()));
  }

  // Other deletions at interleaved counters.
  if (rng_.percent(25)) add(b_.grant_deleted(root(), b_.grant_id(rng_.percent(50) ? "sm-src" : "sm-grp"), broad, when()));
  if (source == 3 && rng_.percent(25)) add(b_.grant_deleted(other, b_.grant_id("sm-src"), broad, when()));
  if (in_group && rng_.percent(15)) add(b_.member_deleted(root(), smg, m.user_id(), when()));
  if (in_group && rng_.percent(10)) add(b_.group_deleted(rng_.percent(70) ? root() : m, smg, when()));
  if (!grants_.empty() && rng_.percent(30)) {
    const MadeGrant& g = rng_.pick(grants_);
    add(b_.grant_deleted(m, b_.grant_id(g.seed), g.permission, when()));
  }
  if (rng_.percent(8)) add(b_.user_deleted(rng_.percent(70) ? root() : m, other.user_id(), when()));
}

// A principal holding more grants than a short scan covers, so that the
// questions asked of its authority go through whatever index production
// keeps for large sets; then it writes secrets and makes and deletes grants.
void Generator::make_bulk_authority() {
  if (users_.empty() || !rng_.percent(25)) return;
  const Identity& holder = any_user();
  add(b_.user(root(), holder, 0));
  add(b_.entry_point(holder, 0));
  PrincipalRefV1 grantee = holder.user_id();
  if (rng_.percent(40)) {
    add(b_.group(root(), "bulk", 0));
    add(b_.member(root(), b_.group_id("bulk"), holder.user_id(), 0));
    grantee = b_.group_id("bulk");
  }
  const std::uint64_t n = 9 + rng_.below(10);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t roll = rng_.below(100);
    const KeyspaceSelectorV1& selector = rng_.pick(keyspaces());
    GrantPermissionV1 granted = roll < 30   ? GrantPermissionV1{grant_permission::Read{selector}}
                                : roll < 60 ? GrantPermissionV1{grant_permission::Write{selector}}
                                            : GrantPermissionV1{ManageKeyspaceGrantV1{selector, rng_.pick(class_sets())}};
    add(b_.grant(root(), "bulk" + std::to_string(i), grantee, std::move(granted), counter(1)));
  }
  const std::uint64_t uses = 4 + rng_.below(8);
  for (std::uint64_t i = 0; i < uses; ++i) {
    const std::uint64_t roll = rng_.below(10);
    if (roll < 5) {
      const SecretSelectorV1& selector = rng_.pick(secret_selectors());
      add(b_.sign(holder, SecretRecordV1{b_.secret_id(selector), selector, payload(), counter(4)}));
    } else if (roll < 8) {
      add(b_.grant(holder, "bulk-made" + std::to_string(i), principal(), permission(), counter(3)));
    } else {
      add(b_.grant_deleted(holder, b_.grant_id("bulk-missing" + std::to_string(i)), permission(), counter(3)));
    }
  }
}

// Deletions may name ids that no derivation gives: short ones, empty ones,
// and ids that share their first eight bytes and differ after them, so
// that orderings and lookups that look at a prefix first are put to work.
void Generator::make_odd_ids() {
  if (!rng_.percent(10)) return;
  const auto odd = [&]() -> HashValue {
    cord::Bytes bytes(8, 0xaa);
    switch (rng_.below(7)) {
      case 0: return HashValue(bytes);
      case 1: bytes.push_back(0); return HashValue(bytes);
      case 2: bytes.push_back(1); return HashValue(bytes);
      case 3: bytes.resize(7); return HashValue(bytes);
      case 4: return HashValue(cord::Bytes{0xaa});
      case 5: return HashValue(cord::Bytes{});
      default: bytes.push_back(1); bytes.push_back(2); return HashValue(bytes);
    }
  };
  const std::uint64_t n = 2 + rng_.below(6);
  for (std::uint64_t i = 0; i < n; ++i) {
    const Identity& deleter = signer(70);
    switch (rng_.below(3)) {
      case 0:
        add(b_.grant_deleted(deleter, GrantId(odd()), permission(), counter(2)));
        break;
      case 1:
        add(b_.group_deleted(deleter, GroupId(odd()), counter(2)));
        break;
      default:
        add(b_.user_deleted(deleter, UserId(odd()), counter(2)));
        break;
    }
  }
}

// Many memberships among a handful of groups, with grants to only some of
// them: authority reaches members along several paths, and the order in
// which it arrives decides the order of their lists.
void Generator::make_dense_groups() {
  if (!rng_.percent(20)) return;
  std::vector<GroupId> groups;
  const std::uint64_t n = 4 + rng_.below(3);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string seed = "dense" + std::to_string(i);
    add(b_.group(root(), seed, 0));
    groups.push_back(b_.group_id(seed));
  }
  const std::uint64_t links = 6 + rng_.below(10);
  for (std::uint64_t i = 0; i < links; ++i) {
    const GroupId& group = rng_.pick(groups);
    const PrincipalRefV1 member =
        rng_.percent(60) || users_.empty() ? PrincipalRefV1{rng_.pick(groups)} : PrincipalRefV1{any_user().user_id()};
    add(b_.member(root(), group, member, 0));
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!rng_.percent(40)) continue;
    const std::uint64_t grants = 1 + rng_.below(3);
    for (std::uint64_t k = 0; k < grants; ++k) {
      add(b_.grant(root(), "dense-grant" + std::to_string(i) + "-" + std::to_string(k), groups[i], permission(), 0));
    }
  }
}

void Generator::make_secrets() {
  const std::uint64_t n = rng_.below(10);
  for (std::uint64_t i = 0; i < n; ++i) {
    const SecretSelectorV1& selector = rng_.pick(secret_selectors());
    const SecretId secret = b_.secret_id(selector);
    const std::uint64_t c = counter(3);
    if (rng_.percent(12)) {
      add(b_.secret_deleted(signer(30), selector, c));
      continue;
    }
    const SecretRecordV1 body{secret, selector, payload(), c};
    add(b_.sign(signer(30), body));
    const std::uint64_t roll = rng_.below(100);
    if (roll < 15) {
      add(b_.sign(signer(30), body));  // the same body from another writer: no conflict
    } else if (roll < 30) {
      add(b_.sign(signer(30), SecretRecordV1{secret, selector, payload(), c}));  // differs: a conflict
    } else if (roll < 35) {
      add(b_.secret_deleted(signer(30), selector, c));  // a deletion at the same counter: a conflict
    }
  }
}

void Generator::make_handles() {
  const std::uint64_t user_handles = rng_.below(3);
  for (std::uint64_t i = 0; i < user_handles; ++i) {
    const UserId named = users_.empty() || rng_.percent(15) ? id(kGhost).user_id() : any_user().user_id();
    add(b_.user_handle(signer(85), "h" + std::to_string(rng_.below(2)), named, counter(2)));
  }
  const std::uint64_t vault_handles = rng_.below(3);
  for (std::uint64_t i = 0; i < vault_handles; ++i) {
    add(b_.vault_handle(signer(85), "v" + std::to_string(rng_.below(2)), counter(2)));
  }
}

void Generator::make_oddities() {
  if (rng_.percent(6)) {
    const std::uint64_t n = 1 + rng_.below(2);
    for (std::uint64_t i = 0; i < n; ++i) add(b_.unknown_kind(signer(50)));
  }
  if (rng_.percent(5)) {
    // Records that break a structural rule.
    switch (rng_.below(5)) {
      case 0:
        add(b_.sign(root(), GroupRecordV1{b_.group_id("g0"), IdSeed(cord::Bytes{1}), "g0", 1}));
        break;
      case 1:
        add(b_.secret_deleted(signer(50), rng_.pick(secret_selectors()), validate::kCounterCeiling + 1));
        break;
      case 2:
        add(b_.sign(signer(50), EntryPointRecordV1{id(kGhost).user_id(), root().hpke_public_key(), 1}));
        break;
      case 3:
        add(b_.user_deleted(root(), root().user_id(), 3));
        break;
      default:
        add(b_.grant(root(), "bad", root().user_id(), ManageKeyspaceGrantV1{keyspaces()[0], {}}, 1));
        break;
    }
  }
  // Self-signed roots: a second trusted one (ambiguous), an untrusted one
  // (unknown signer), or the only one with a broken signature.
  const std::uint64_t roll = rng_.below(100);
  if (roll < 1) {
    const Identity& other = id(kKeyDonor);
    const UserId second = must(derive_user_id(b_.crypto(), root().signing_public_key(), other.hpke_public_key()));
    add(b_.sign(root(), VaultRootRecordV1{second, other.hpke_public_key()}));
  } else if (roll < 4) {
    const Identity& other = id(kStranger);
    add(b_.sign(other, VaultRootRecordV1{other.user_id(), other.hpke_public_key()}));
  }
}

// Two vaults in five hold one deletion shape or two, each small (the
// reference computes a state per admitted deletion), at counters close
// enough that ties, rewrites and reorderings come up. A flipping source
// blocks the state, so every state of its vault costs all the iterations
// there are: it comes half as often as the others, alone and smaller.
void Generator::make_deletion_shapes() {
  if (!rng_.percent(40)) return;
  const auto pick = [&] {
    static constexpr DeletionShape kWeighted[] = {
        DeletionShape::ManagerToManager, DeletionShape::ManagerToManager, DeletionShape::RewrittenSource,
        DeletionShape::RewrittenSource,  DeletionShape::FlippingSource,   DeletionShape::PowerlessGrantee,
        DeletionShape::PowerlessGrantee, DeletionShape::ManagerToGroup,   DeletionShape::ManagerToGroup,
    };
    return kWeighted[rng_.below(std::size(kWeighted))];
  };
  const DeletionShape shape = pick();
  plant(shape, 0);
  if (shape == DeletionShape::FlippingSource || !rng_.percent(20)) return;
  const DeletionShape second = pick();
  if (second != DeletionShape::FlippingSource) plant(second, 1);
}

// Besides the shape itself, now and then: narrow grants outside B's
// sub-keyspace or outside A's keyspace, a sub-grant from the root instead
// (standing from the first iteration), the grants A's and B's authority
// rest on deleted or rewritten among A's deletions, a second deletion of a
// narrow grant by another signer, and B's membership deleted.
void Generator::plant(DeletionShape shape, std::uint64_t index) {
  using enum DeletionShape;
  const std::string p = "ds" + std::to_string(index) + "-";
  const auto actor = [&](unsigned i) -> const Identity& {
    return id(static_cast<std::uint8_t>(kShapeActors + 4 * index + i));
  };
  // A and B are sometimes users the random records name too.
  const Identity& a = !users_.empty() && rng_.percent(40) ? any_user() : actor(0);
  const Identity* b_ptr = &actor(1);
  if (users_.size() >= 2 && rng_.percent(40)) {
    const Identity& u = any_user();
    if (&u != &a) b_ptr = &u;
  }
  const Identity& b = *b_ptr;
  const Identity& c = actor(2);
  const Identity& d = actor(3);
  const bool to_manager = shape == ManagerToManager || shape == ManagerToGroup;
  const bool rewritten = shape == RewrittenSource || shape == FlippingSource;
  std::vector<const Identity*> cast = {&a};
  if (to_manager) cast.push_back(&b);
  if (shape == PowerlessGrantee) cast.insert(cast.end(), {&c, &d});
  for (const Identity* u : cast) {
    add(b_.user(root(), *u, 0));
    add(b_.entry_point(*u, 0));
  }

  const auto strictly_within = [](const KeyspaceSelectorV1& outer) {
    std::vector<const KeyspaceSelectorV1*> inside = within(outer);
    std::erase(inside, &outer);
    return inside.empty() ? within(outer) : inside;
  };

  // A's keyspace: mostly one that the alphabet's other selectors fall in
  // and miss.
  static const std::vector<std::size_t> kManaged = {3, 3, 3, 0, 10, 4, 7};
  const KeyspaceSelectorV1& broad = keyspaces()[rng_.pick(kManaged)];
  const std::vector<KeyspaceGrantClassV1>& all = class_sets()[6];
  static const std::vector<std::size_t> kWithManage = {2, 4, 5};
  const std::vector<KeyspaceGrantClassV1>& a_classes =
      rewritten || rng_.percent(80) ? all : class_sets()[rng_.pick(kWithManage)];
  const GrantPermissionV1 source = ManageKeyspaceGrantV1{broad, a_classes};
  const std::uint64_t source_at = rng_.below(2);
  add(b_.grant(root(), p + "src", a.user_id(), source, source_at));
  if (rewritten) {
    // Only A's authority admits the rewrite, so from the second iteration
    // on another record wins the grant; a read grant then takes away what
    // admitted it, and the two records alternate for ever.
    const GrantPermissionV1 again = shape == RewrittenSource ? source : GrantPermissionV1{grant_permission::Read{broad}};
    add(b_.grant(a, p + "src", a.user_id(), again, source_at + 1 + rng_.below(2)));
  }

  PrincipalRefV1 holder = a.user_id();
  if (shape == ManagerToManager) holder = b.user_id();
  if (shape == PowerlessGrantee) holder = c.user_id();
  if (shape == ManagerToGroup) {
    const GroupId g = b_.group_id(p + "g");
    add(b_.group(root(), p + "g", 0));
    holder = g;
    GroupId home = g;
    if (rng_.percent(20)) {
      // B is in G through a group of its own.
      home = b_.group_id(p + "h");
      add(b_.group(root(), p + "h", 0));
      add(b_.member(root(), g, home, 0));
    }
    const std::uint64_t joined = rng_.below(2);
    add(b_.member(root(), home, b.user_id(), joined));
    if (rng_.percent(25)) add(b_.member_deleted(rng_.percent(80) ? root() : a, home, b.user_id(), rng_.below(4)));
  }

  // B's sub-keyspace, given in the iteration the narrow grants are.
  const KeyspaceSelectorV1* inner = &broad;
  GrantPermissionV1 sub = source;
  std::uint64_t sub_at = 0;
  if (to_manager) {
    inner = rng_.pick(strictly_within(broad));
    sub = ManageKeyspaceGrantV1{*inner, rng_.percent(70) ? all : rng_.pick(class_sets())};
    sub_at = rng_.below(3);
    add(b_.grant(rng_.percent(15) ? root() : a, p + "sub", holder, sub, sub_at));
  }

  const std::vector<const KeyspaceSelectorV1*> inside = rewritten ? strictly_within(*inner) : within(*inner);
  std::vector<const KeyspaceSelectorV1*> between;  // in A's keyspace, not in B's
  for (const KeyspaceSelectorV1* k : within(broad)) {
    if (!selector_subsumes(*inner, *k)) between.push_back(k);
  }
  const std::vector<const KeyspaceSelectorV1*> outside = beyond({&broad});
  PlantedShape planted{shape, {}};
  std::vector<MadeGrant> narrow;
  std::vector<const KeyspaceSelectorV1*> held;  // the narrow grants' keyspaces
  const std::uint64_t n = 2 + rng_.below(shape == FlippingSource ? 2 : 3);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t roll = rng_.below(100);
    const KeyspaceSelectorV1* where = rng_.pick(inside);
    if (roll >= 78 && roll < 90 && !between.empty()) where = rng_.pick(between);
    if (roll >= 90 && !outside.empty()) where = rng_.pick(outside);
    MadeGrant made{p + "n" + std::to_string(i), holder,
                   ManageKeyspaceGrantV1{*where, rng_.percent(50) ? a_classes : rng_.pick(class_sets())}, rng_.below(3)};
    add(b_.grant(a, made.seed, made.grantee, made.permission, made.counter));
    planted.narrow.push_back(b_.grant_id(made.seed));
    held.push_back(where);
    narrow.push_back(std::move(made));
  }

  // A deletes them one by one; the root or B now and then deletes one too.
  std::uint64_t latest = 0;
  for (std::size_t i = 0; i < narrow.size(); ++i) {
    const MadeGrant& g = narrow[i];
    if (!rng_.percent(95)) continue;
    const std::uint64_t roll = rng_.below(100);
    const GrantPermissionV1 named = roll < 85   ? g.permission
                                    : roll < 95 ? GrantPermissionV1{grant_permission::Read{*held[i]}}
                                                : permission();
    const std::uint64_t at = after(g.counter);
    add(b_.grant_deleted(a, b_.grant_id(g.seed), named, at));
    latest = std::max(latest, at);
    if (rng_.percent(10)) {
      add(b_.grant_deleted(to_manager && rng_.percent(50) ? b : root(), b_.grant_id(g.seed), g.permission,
                           after(g.counter)));
    }
  }

  // The deletion still to come after A's, whose judgement each of them
  // may change.
  const std::uint64_t later = latest + rng_.below(2);
  if (to_manager) {
    const std::uint64_t roll = rng_.below(100);
    if (roll < 40 || (roll >= 80 && grants_.empty())) {
      const KeyspaceSelectorV1& where = *rng_.pick(within(*inner));
      const std::uint64_t kind = rng_.below(3);
      const GrantPermissionV1 named = kind == 0   ? GrantPermissionV1{grant_permission::Read{where}}
                                      : kind == 1 ? GrantPermissionV1{grant_permission::Write{where}}
                                                  : GrantPermissionV1{ManageKeyspaceGrantV1{where, all}};
      add(b_.grant_deleted(b, b_.grant_id(p + "gone"), named, later));
    } else if (roll < 65) {
      const MadeGrant& g = rng_.pick(narrow);
      add(b_.grant_deleted(b, b_.grant_id(g.seed), g.permission, later));
    } else if (roll < 80) {
      add(b_.grant_deleted(b, b_.grant_id(p + "sub"), sub, later));
    } else {
      const MadeGrant& g = rng_.pick(grants_);
      add(b_.grant_deleted(b, b_.grant_id(g.seed), g.permission, later));
    }
  }
  if (shape == PowerlessGrantee) {
    // Nothing C holds covers what it grants D, so D never holds anything;
    // when C holds all of the alphabet, only a root grant is beyond it.
    const std::vector<const KeyspaceSelectorV1*> foreign = beyond(held);
    const GrantPermissionV1 onward = foreign.empty()
                                         ? GrantPermissionV1{grant_permission::Root{}}
                                         : GrantPermissionV1{ManageKeyspaceGrantV1{*rng_.pick(foreign), all}};
    add(b_.grant(c, p + "cd", d.user_id(), onward, rng_.below(3)));
    const std::uint64_t roll = rng_.below(100);
    if (roll < 50) {
      add(b_.grant_deleted(d, b_.grant_id(p + "cd"), onward, later));
    } else if (roll < 75) {
      const MadeGrant& g = rng_.pick(narrow);
      add(b_.grant_deleted(d, b_.grant_id(g.seed), g.permission, later));
    } else {
      add(b_.grant_deleted(d, b_.grant_id(p + "gone"), grant_permission::Read{rng_.pick(keyspaces())}, later));
    }
  }

  // What A's and B's authority rests on, deleted or rewritten among A's
  // deletions.
  const auto among = [&] { return rng_.below(latest + 2); };
  if (rng_.percent(15)) add(b_.grant_deleted(root(), b_.grant_id(p + "src"), source, among()));
  if (to_manager && rng_.percent(20)) add(b_.grant_deleted(a, b_.grant_id(p + "sub"), sub, among()));
  if (to_manager && rng_.percent(15)) {
    const std::uint64_t roll = rng_.below(3);
    // Narrower, weaker, or the same for someone else.
    const GrantPermissionV1 rewrite = roll == 0   ? GrantPermissionV1{ManageKeyspaceGrantV1{*rng_.pick(inside), all}}
                                      : roll == 1 ? GrantPermissionV1{grant_permission::Read{*inner}}
                                                  : sub;
    const PrincipalRefV1 to = roll < 2 ? holder : users_.empty() ? PrincipalRefV1{a.user_id()} : any_user().user_id();
    add(b_.grant(a, p + "sub", to, rewrite, sub_at + 1 + rng_.below(2)));
  }
  if (!grants_.empty() && rng_.percent(10)) {
    const MadeGrant& g = rng_.pick(grants_);
    add(b_.grant_deleted(a, b_.grant_id(g.seed), g.permission, among()));
  }
  shapes_.push_back(std::move(planted));
}

// One vault in three holds a revocation shape, now and then two, each small
// for the same reason as the deletion shapes.
void Generator::make_revocation_shapes() {
  if (!rng_.percent(35)) return;
  const auto pick = [&] { return static_cast<RevocationShape>(rng_.below(kRevocationShapeCount)); };
  plant(pick(), 0);
  if (rng_.percent(15)) plant(pick(), 1);
}

// Besides the shape itself, now and then: actors that other records name
// too, groups nested two deep, reached along two paths or in a cycle,
// chains three deep, the grants authority rests on written again at a
// higher counter (the same or narrower), narrow grants that differ from
// one another only by labels, uses deleted themselves, a second deletion
// of a narrow grant, what the grantor's authority rests on deleted among
// the revocations, and counters at or below their targets.
void Generator::plant(RevocationShape shape, std::uint64_t index) {
  using enum RevocationShape;
  const std::string p = "rv" + std::to_string(index) + "-";
  if (shape == RootAdministrators) {
    plant_root_administrators(p, index);
    return;
  }
  const auto actor = [&](unsigned i) -> const Identity& {
    return id(static_cast<std::uint8_t>(kRevocationActors + 8 * index + i));
  };
  const Identity& a = !users_.empty() && rng_.percent(35) ? any_user() : actor(0);
  const Identity* b_ptr = &actor(1);
  if (users_.size() >= 2 && rng_.percent(30)) {
    const Identity& u = any_user();
    if (&u != &a) b_ptr = &u;
  }
  const Identity& b = *b_ptr;
  const bool chain = shape == ChainUsed;
  const bool three_deep = chain && rng_.percent(30);
  // Who gives the narrow grants, who uses them, and to whom the uses go.
  const Identity& grantor = !chain ? a : three_deep ? actor(2) : b;
  const Identity& user = !chain ? b : three_deep ? actor(3) : actor(2);
  const Identity& next = !chain ? actor(2) : three_deep ? actor(4) : actor(3);
  std::vector<const Identity*> cast = {&a, &b};
  if (chain) cast.insert(cast.end(), {&actor(2), &actor(3)});
  if (three_deep) cast.push_back(&actor(4));
  if (!chain) cast.push_back(&next);
  for (const Identity* u : cast) enrol(*u);

  const std::vector<KeyspaceGrantClassV1>& all = class_sets()[6];
  const auto some_classes = [&]() -> const std::vector<KeyspaceGrantClassV1>& {
    static const std::vector<std::size_t> kWithManage = {2, 4, 5};
    return rng_.percent(85) ? all : class_sets()[rng_.pick(kWithManage)];
  };
  // What a holder makes, or names, inside a keyspace it manages.
  const auto inside = [&](const ManageKeyspaceGrantV1& held) -> GrantPermissionV1 {
    const KeyspaceSelectorV1 where = rng_.percent(30) ? held.selector : deeper(rng_, held.selector);
    const std::uint64_t roll = rng_.below(100);
    if (roll < 45) return grant_permission::Read{where};
    if (roll < 60) return grant_permission::Write{where};
    return ManageKeyspaceGrantV1{where, rng_.percent(70) ? held.grantable : class_sets()[0]};
  };
  // The grant written again at a higher counter by the same signer: the
  // same, or narrower.
  const auto rewrite = [&](const Identity& signer, const MadeGrant& g, const ManageKeyspaceGrantV1& was) {
    const GrantPermissionV1 again =
        rng_.percent(50) ? GrantPermissionV1{was}
                         : GrantPermissionV1{ManageKeyspaceGrantV1{deeper(rng_, was.selector), was.grantable}};
    add(b_.grant(signer, g.seed, g.grantee, again, g.counter + 1 + rng_.below(2)));
  };

  // A's keyspace K, mostly one that the random records' selectors fall in
  // and miss.
  static const std::vector<std::vector<std::string>> kBases = {{"app"}, {"app"}, {}, {"web"}, {"app", "db"}};
  const std::vector<std::string>& base = rng_.pick(kBases);
  const KeyspaceSelectorV1 k = base.empty() ? keyspace(tuple_matcher::Any{}) : keyspace(tuple_matcher::Prefix{base});
  const ManageKeyspaceGrantV1 source{k, some_classes()};
  const MadeGrant src{p + "src", a.user_id(), source, rng_.below(2)};
  add(b_.grant(root(), src.seed, src.grantee, src.permission, src.counter));
  if (rng_.percent(12)) rewrite(rng_.percent(70) ? root() : a, src, source);

  // In a chain, the managers below A, each over a keyspace inside the one
  // above.
  ManageKeyspaceGrantV1 granted = source;  // what the grantor manages
  std::vector<std::pair<const Identity*, MadeGrant>> subs;
  if (chain) {
    const Identity* from = &a;
    for (const Identity* manager : three_deep ? std::vector{&b, &actor(2)} : std::vector{&b}) {
      const ManageKeyspaceGrantV1 sub{deeper(rng_, granted.selector, 15), granted.grantable};
      const MadeGrant made{p + "sub" + std::to_string(subs.size()), manager->user_id(), sub, rng_.below(3)};
      add(b_.grant(*from, made.seed, made.grantee, made.permission, made.counter));
      if (rng_.percent(15)) rewrite(*from, made, sub);
      subs.emplace_back(from, made);
      from = manager;
      granted = sub;
    }
  }

  PrincipalRefV1 holder = user.user_id();
  if (shape == GroupUsed) {
    // G holds the narrow grants; B is in G directly or through one or two
    // groups of its own.
    const GroupId g = b_.group_id(p + "g");
    add(b_.group(root(), p + "g", 0));
    holder = g;
    std::vector<GroupId> path = {g};
    const std::uint64_t depth = rng_.percent(55) ? 0 : rng_.percent(70) ? 1 : 2;
    for (std::uint64_t i = 0; i < depth; ++i) {
      const std::string seed = p + "h" + std::to_string(i);
      add(b_.group(root(), seed, 0));
      add(b_.member(root(), path.back(), b_.group_id(seed), 0));
      path.push_back(b_.group_id(seed));
    }
    add(b_.member(root(), path.back(), user.user_id(), rng_.below(2)));
    if (depth > 0 && rng_.percent(15)) add(b_.member(root(), g, user.user_id(), 0));  // a second path
    if (depth > 0 && rng_.percent(15)) add(b_.member(root(), path.back(), g, 0));     // a cycle
    if (rng_.percent(10)) add(b_.member_deleted(root(), path.back(), user.user_id(), rng_.below(4)));
  }

  // B's keyspace for env=dev and the grants B made under it: questions of
  // B's, filed beside the narrow grants.
  std::vector<MadeGrant> asked;
  if (shape == BesideManyQuestions) {
    const KeyspaceLabelMatcherV1 dev = rng_.percent(75) ? KeyspaceLabelMatcherV1{"env", label_matcher::Equals{"dev"}}
                                                        : KeyspaceLabelMatcherV1{"env", label_matcher::In{{"dev"}}};
    const ManageKeyspaceGrantV1 labelled{with_label(k, dev), source.grantable};
    const MadeGrant given{p + "dev", b.user_id(), labelled, rng_.below(2)};
    add(b_.grant(a, given.seed, given.grantee, given.permission, given.counter));
    if (rng_.percent(12)) rewrite(a, given, labelled);
    const std::uint64_t m = 2 + rng_.below(4);
    for (std::uint64_t i = 0; i < m; ++i) {
      MadeGrant made{p + "q" + std::to_string(i), rng_.percent(85) ? PrincipalRefV1{next.user_id()} : principal(),
                     inside(labelled), rng_.below(3)};
      add(b_.grant(b, made.seed, made.grantee, made.permission, made.counter));
      asked.push_back(std::move(made));
    }
  }

  // The narrow grants, strictly inside what the grantor manages; beside
  // B's questions, for env=prod.
  static const std::vector<KeyspaceLabelMatcherV1> kProd = {
      {"env", label_matcher::Equals{"prod"}},
      {"env", label_matcher::In{{"prod"}}},
      {"env", label_matcher::In{{"prod", "qa"}}},
  };
  PlantedRevocation planted{shape, {}, {}};
  std::vector<MadeGrant> narrow;
  std::vector<ManageKeyspaceGrantV1> held;
  const std::uint64_t n = 2 + rng_.below(3);
  for (std::uint64_t i = 0; i < n; ++i) {
    KeyspaceSelectorV1 where = deeper(rng_, granted.selector);
    if (shape == BesideManyQuestions) {
      where = with_label(rng_.percent(50) ? k : without_labels(where), rng_.pick(kProd));
      if (rng_.percent(20)) where = with_label(std::move(where), {"team", label_matcher::Equals{"a"}});
    } else if (i > 0 && rng_.percent(25)) {
      // The path of the one before, with another label.
      KeyspaceSelectorV1 beside{held.back().selector.tuple, granted.selector.labels};
      beside = with_label(std::move(beside), rng_.pick(label_matchers()));
      if (!(beside == granted.selector) && selector_subsumes(granted.selector, beside)) where = std::move(beside);
    }
    const ManageKeyspaceGrantV1 manage{where, rng_.percent(80) ? granted.grantable : class_sets()[2]};
    MadeGrant made{p + "n" + std::to_string(i), holder, manage, rng_.below(3)};
    add(b_.grant(grantor, made.seed, made.grantee, made.permission, made.counter));
    if (rng_.percent(10)) rewrite(grantor, made, manage);
    planted.revoked.push_back(b_.grant_id(made.seed));
    held.push_back(manage);
    narrow.push_back(std::move(made));
  }

  // What the holder makes under each: a grant inside it to the next one
  // down (beside B's questions only now and then).
  std::vector<MadeGrant> uses;
  if (shape != Pending) {
    for (std::size_t i = 0; i < narrow.size(); ++i) {
      if (shape == BesideManyQuestions && !rng_.percent(50)) continue;
      MadeGrant use{p + "u" + std::to_string(i), rng_.percent(85) ? PrincipalRefV1{next.user_id()} : principal(),
                    inside(held[i]), rng_.below(3)};
      add(b_.grant(user, use.seed, use.grantee, use.permission, use.counter));
      planted.uses.push_back({planted.revoked[i], b_.grant_id(use.seed), false});
      uses.push_back(std::move(use));
    }
  }

  // The grantor deletes them one by one; now and then someone else with
  // the authority deletes one too.
  std::uint64_t latest = 0;
  std::vector<std::optional<std::uint64_t>> revoked_at(narrow.size());
  for (std::size_t i = 0; i < narrow.size(); ++i) {
    const MadeGrant& g = narrow[i];
    if (!rng_.percent(95)) continue;
    const std::uint64_t roll = rng_.below(100);
    const GrantPermissionV1 named = roll < 85   ? g.permission
                                    : roll < 95 ? GrantPermissionV1{grant_permission::Read{held[i].selector}}
                                                : permission();
    const std::uint64_t at = after(g.counter);
    add(b_.grant_deleted(grantor, b_.grant_id(g.seed), named, at));
    revoked_at[i] = at;
    latest = std::max(latest, at);
    if (rng_.percent(8)) add(b_.grant_deleted(rng_.percent(50) ? root() : a, b_.grant_id(g.seed), g.permission, after(g.counter)));
  }

  if (shape == Pending) {
    // Each use is a deletion inside its narrow grant, after the grantor's
    // (or at or below it): of a grant that never was, or of one the
    // grantor made there.
    for (std::size_t i = 0; i < narrow.size(); ++i) {
      const std::string seed = p + "m" + std::to_string(i);
      const GrantPermissionV1 named = inside(held[i]);
      if (rng_.percent(40)) add(b_.grant(grantor, seed, next.user_id(), named, rng_.below(2)));
      const std::uint64_t at = revoked_at[i] ? after(*revoked_at[i]) : rng_.below(4);
      add(b_.grant_deleted(user, b_.grant_id(seed), named, at));
      planted.uses.push_back({planted.revoked[i], b_.grant_id(seed), true});
    }
  }

  // Uses deleted themselves, by their signer, the grantor or the root.
  for (const MadeGrant& u : uses) {
    if (!rng_.percent(10)) continue;
    const std::uint64_t who = rng_.below(3);
    add(b_.grant_deleted(who == 0 ? user : who == 1 ? grantor : root(), b_.grant_id(u.seed), u.permission,
                         near(rng_, u.counter + 1)));
  }
  // What the grantor's authority rests on, deleted among the revocations.
  const auto among = [&] { return rng_.below(latest + 2); };
  if (rng_.percent(6)) add(b_.grant_deleted(root(), b_.grant_id(src.seed), src.permission, among()));
  for (const auto& [from, sub] : subs) {
    if (rng_.percent(8)) add(b_.grant_deleted(*from, b_.grant_id(sub.seed), sub.permission, among()));
  }

  // The user's own deletion after the revocations, whose judgement each of
  // them may change; beside B's questions mostly of one of them, which no
  // revocation changes.
  if (shape != Pending || rng_.percent(50)) {
    const std::uint64_t later = after(latest);
    const std::uint64_t roll = rng_.below(100);
    const MadeGrant* target = nullptr;
    GrantPermissionV1 named = grant_permission::Read{k};
    std::string gone = p + "gone";
    if (!asked.empty() && roll < 60) {
      target = &asked.front();
    } else if (!uses.empty() && roll < 45) {
      target = &rng_.pick(uses);
    } else if (roll < 70) {
      named = inside(held[rng_.below(held.size())]);
    } else if (roll < 80) {
      target = &rng_.pick(narrow);
    } else if (roll < 90 && !grants_.empty()) {
      target = &rng_.pick(grants_);
    } else {
      named = permission();
    }
    if (target != nullptr) {
      gone = target->seed;
      named = target->permission;
    }
    add(b_.grant_deleted(user, b_.grant_id(gone), named, later));
  }
  revocations_.push_back(std::move(planted));
}

// X holds Root from the root and gives it to Y1..Yn (now and then through
// a group); each Y makes a manage grant to Z, now and then over the
// keyspace of the Y before or one the random records use; X deletes each root grant it gave, and Z deletes
// something last. Now and then X's own grant is written again (the same or
// narrower than Root) or deleted among the revocations, a Y's root grant
// written again, or a use deleted.
void Generator::plant_root_administrators(const std::string& p, std::uint64_t index) {
  const auto actor = [&](unsigned i) -> const Identity& {
    return id(static_cast<std::uint8_t>(kRevocationActors + 8 * index + i));
  };
  const Identity& x = !users_.empty() && rng_.percent(35) ? any_user() : actor(0);
  const Identity* z_ptr = &actor(1);
  if (users_.size() >= 2 && rng_.percent(30)) {
    const Identity& u = any_user();
    if (&u != &x) z_ptr = &u;
  }
  const Identity& z = *z_ptr;
  const std::uint64_t n = 2 + rng_.below(3);
  enrol(x);
  enrol(z);
  for (std::uint64_t i = 0; i < n; ++i) enrol(actor(static_cast<unsigned>(2 + i)));

  const MadeGrant src{p + "src", x.user_id(), grant_permission::Root{}, rng_.below(2)};
  add(b_.grant(root(), src.seed, src.grantee, src.permission, src.counter));
  if (rng_.percent(12)) {
    const GrantPermissionV1 again = rng_.percent(60) ? GrantPermissionV1{grant_permission::Root{}}
                                                     : GrantPermissionV1{ManageKeyspaceGrantV1{keyspaces()[0], class_sets()[6]}};
    add(b_.grant(rng_.percent(60) ? root() : x, src.seed, src.grantee, again, src.counter + 1 + rng_.below(2)));
  }

  static const std::vector<std::vector<std::string>> kBases = {{"app"}, {"app"}, {}, {"web"}};
  const std::vector<std::string>& base = rng_.pick(kBases);
  const KeyspaceSelectorV1 k = base.empty() ? keyspace(tuple_matcher::Any{}) : keyspace(tuple_matcher::Prefix{base});
  PlantedRevocation planted{RevocationShape::RootAdministrators, {}, {}};
  std::vector<MadeGrant> given;
  std::vector<MadeGrant> uses;
  for (std::uint64_t i = 0; i < n; ++i) {
    const Identity& y = actor(static_cast<unsigned>(2 + i));
    PrincipalRefV1 holder = y.user_id();
    if (rng_.percent(12)) {
      const std::string seed = p + "yg" + std::to_string(i);
      add(b_.group(root(), seed, 0));
      add(b_.member(root(), b_.group_id(seed), y.user_id(), 0));
      holder = b_.group_id(seed);
    }
    MadeGrant root_grant{p + "y" + std::to_string(i), holder, grant_permission::Root{}, rng_.below(3)};
    add(b_.grant(x, root_grant.seed, root_grant.grantee, root_grant.permission, root_grant.counter));
    if (rng_.percent(8)) {
      add(b_.grant(x, root_grant.seed, holder, root_grant.permission, root_grant.counter + 1 + rng_.below(2)));
    }
    planted.revoked.push_back(b_.grant_id(root_grant.seed));

    KeyspaceSelectorV1 where = deeper(rng_, k);
    if (!uses.empty() && rng_.percent(20)) {
      where = std::get<grant_permission::Manage>(uses.back().permission).selector;  // another Y's keyspace
    } else if (rng_.percent(20)) {
      where = rng_.pick(keyspaces());
    }
    MadeGrant use{p + "z" + std::to_string(i), rng_.percent(90) ? PrincipalRefV1{z.user_id()} : principal(),
                  ManageKeyspaceGrantV1{where, rng_.percent(80) ? class_sets()[6] : rng_.pick(class_sets())},
                  rng_.below(3)};
    add(b_.grant(y, use.seed, use.grantee, use.permission, use.counter));
    planted.uses.push_back({planted.revoked.back(), b_.grant_id(use.seed), false});
    given.push_back(std::move(root_grant));
    uses.push_back(std::move(use));
  }

  std::uint64_t latest = 0;
  for (const MadeGrant& g : given) {
    if (!rng_.percent(95)) continue;
    const GrantPermissionV1 named = rng_.percent(85) ? GrantPermissionV1{grant_permission::Root{}} : permission();
    const std::uint64_t at = after(g.counter);
    add(b_.grant_deleted(x, b_.grant_id(g.seed), named, at));
    latest = std::max(latest, at);
    if (rng_.percent(8)) add(b_.grant_deleted(root(), b_.grant_id(g.seed), g.permission, after(g.counter)));
  }
  for (std::size_t i = 0; i < uses.size(); ++i) {
    if (!rng_.percent(10)) continue;
    const Identity& deleter = rng_.percent(50) ? z : actor(static_cast<unsigned>(2 + i));
    add(b_.grant_deleted(deleter, b_.grant_id(uses[i].seed), uses[i].permission, near(rng_, uses[i].counter + 1)));
  }
  if (rng_.percent(8)) add(b_.grant_deleted(root(), b_.grant_id(src.seed), src.permission, rng_.below(latest + 2)));

  // Z's deletion after the revocations: of the first Y's grant to it, of
  // one never made inside that keyspace, or of anything.
  const std::uint64_t later = after(latest);
  const std::uint64_t roll = rng_.below(100);
  const KeyspaceSelectorV1& first = std::get<grant_permission::Manage>(uses.front().permission).selector;
  if (roll < 50) {
    add(b_.grant_deleted(z, b_.grant_id(uses.front().seed), uses.front().permission, later));
  } else if (roll < 80) {
    add(b_.grant_deleted(z, b_.grant_id(p + "gone"), grant_permission::Read{deeper(rng_, first)}, later));
  } else if (!grants_.empty() && roll < 90) {
    const MadeGrant& g = rng_.pick(grants_);
    add(b_.grant_deleted(z, b_.grant_id(g.seed), g.permission, later));
  } else {
    add(b_.grant_deleted(z, b_.grant_id(p + "gone"), permission(), later));
  }
  revocations_.push_back(std::move(planted));
}

// Nearly half the vaults hold a hostile shape, now and then two, each
// small for the same reason as the deletion shapes, drawn by the weights
// the shapes' table gives them.
void Generator::make_hostile_shapes() {
  if (!rng_.percent(42)) return;
  const HostileScene scene{rng_, b_, out_, users_};
  static const std::vector<HostileShape> kWeighted = [] {
    std::vector<HostileShape> out;
    for (const HostileShapeTraits& t : kHostileShapeTable) out.insert(out.end(), t.planted_weight, t.shape);
    return out;
  }();
  const auto pick = [&] { return rng_.pick(kWeighted); };
  hostile_.push_back(plant_hostile(pick(), 0, scene));
  if (rng_.percent(15)) hostile_.push_back(plant_hostile(pick(), 1, scene));
}

Ratchet Generator::make_trust(const std::vector<validate::HashedRecord>& hashed) {
  const HashValue root_fingerprint = must(key_hash(b_.crypto(), root().signing_public_key()));
  Ratchet trust = Ratchet::make(rng_.percent(97) ? root_fingerprint.to_vec()
                                                 : must(key_hash(b_.crypto(), id(kStranger).signing_public_key())).to_vec());
  const std::uint64_t version_roll = rng_.below(100);
  const std::uint64_t version = version_roll < 45 ? 0 : version_roll < 95 ? 1 : version_roll < 98 ? 2 : 5;
  if (version != 0) trust.absorb_record(FormatVersionRatchetRecordV1{version});

  // The highest counter of each key in the vault, whoever signed it.
  std::map<RecordKey, std::uint64_t> highest;
  for (const validate::HashedRecord& entry_of : hashed) {
    const VaultRecordV1& record = entry_of.record;
    const RecordBodyV1* body = record.body.known();
    if (body == nullptr) continue;
    UserId signer;
    if (const auto* entry = std::get_if<EntryPointRecordV1>(body)) {
      signer = must(derive_user_id(b_.crypto(), record.signing_public_key, entry->hpke_public_key));
    }
    const RecordKey key = validate::record_key_for(*body, signer);
    auto [it, inserted] = highest.try_emplace(key, record_counter(*body));
    if (!inserted) it->second = std::max(it->second, record_counter(*body));
  }

  const auto some_origin = [&]() -> KeyOrigin {
    switch (rng_.below(4)) {
      case 0:
        return key_origin::Secret{rng_.pick(secret_selectors())};
      case 1:
        return key_origin::UserHandle{"h" + std::to_string(rng_.below(2))};
      case 2:
        return key_origin::VaultHandle{"v0"};
      default:
        return key_origin::GroupMember{GroupMemberIdInputV1{b_.group_id("g0"), root().user_id()}};
    }
  };

  const unsigned share = rng_.percent(40) ? 0 : static_cast<unsigned>(rng_.below(50));
  for (const auto& [key, top] : highest) {
    if (!rng_.percent(share)) continue;
    std::uint64_t trusted = 0;
    switch (rng_.below(6)) {
      case 0: trusted = 0; break;
      case 1: trusted = top == 0 ? 0 : top - 1; break;
      case 2: trusted = top; break;
      case 3: trusted = top + 1; break;
      default: trusted = top + 1 + rng_.below(3); break;
    }
    const KeyOrigin origin = some_origin();
    if (auto stored = ratchet_record_for_key(key, trusted, rng_.percent(40) ? &origin : nullptr)) {
      trust.absorb_record(*stored);
    }
  }
  // Keys the vault does not hold at all.
  if (rng_.percent(20)) {
    const SecretSelectorV1 gone = secret_selector({"gone"});
    trust.absorb_record(SecretRatchetRecordV1{b_.secret_id(gone), 1 + rng_.below(3), gone});
  }
  if (rng_.percent(10)) trust.absorb_record(GroupRatchetRecordV1{b_.group_id("gx"), rng_.below(3)});
  if (rng_.percent(4)) {
    // No stored record carries the root's key, but an update can.
    RatchetUpdate update;
    update.counters.emplace(record_key::VaultRoot{}, 1 + rng_.below(2));
    trust.apply_update(update);
  }
  // Origins without counters, some of another kind than their key.
  if (!highest.empty() && rng_.percent(15)) {
    RatchetUpdate update;
    auto it = highest.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(rng_.below(highest.size())));
    update.origins.emplace(it->first, some_origin());
    trust.apply_update(update);
  }
  return trust;
}

RandomVault Generator::make() {
  const std::uint64_t root_roll = rng_.below(100);
  if (root_roll < 97) {
    add(b_.vault_root());
  } else if (root_roll < 98) {
    add(VaultBuilder::with_bad_signature(b_.vault_root()));
  }  // else no root at all
  make_users();
  make_groups();
  make_grants();
  make_deletion_play();
  make_self_managed();
  make_bulk_authority();
  make_odd_ids();
  make_dense_groups();
  make_secrets();
  make_handles();
  make_oddities();
  // Last, so that every record the others make stays as a seed made it
  // before the shapes came.
  make_deletion_shapes();
  make_revocation_shapes();
  make_hostile_shapes();

  // A few spoiled signatures anywhere but on the root.
  for (VaultRecordV1& record : out_) {
    const RecordBodyV1* body = record.body.known();
    if (body != nullptr && !std::holds_alternative<VaultRootRecordV1>(*body) && rng_.percent(3)) {
      record = VaultBuilder::with_bad_signature(std::move(record));
    }
  }

  RandomVault vault;
  vault.shapes = std::move(shapes_);
  vault.revocations = std::move(revocations_);
  vault.hostile = std::move(hostile_);
  for (VaultRecordV1& record : out_) vault.records.push_back(hashed_record(b_, std::move(record)));
  if (!vault.records.empty() && rng_.percent(5)) vault.records.push_back(rng_.pick(vault.records));
  rng_.shuffle(vault.records);
  vault.trust = make_trust(vault.records);

  const std::uint64_t cache_roll = rng_.below(100);
  if (cache_roll >= 30) {
    const unsigned keep = cache_roll < 75 ? static_cast<unsigned>(rng_.below(100)) : 100;
    for (const auto& r : vault.records) {
      if (rng_.percent(keep)) vault.verified.insert(r.hash);
    }
    if (rng_.percent(10)) vault.verified.insert(HashValue(cord::Bytes(32, 7)));
  }
  return vault;
}

}  // namespace

validate::HashedRecord hashed_record(const VaultBuilder& b, VaultRecordV1 record) {
  HashValue hash = b.crypto().hash(domains::kRecordHash, must(cord::serialize(record)));
  return validate::HashedRecord{std::move(record), {}, std::move(hash), {}};
}

RandomVault random_vault(std::uint64_t seed, const VaultBuilder& b) { return Generator(seed, b).make(); }

const char* deletion_shape_name(DeletionShape shape) {
  switch (shape) {
    case DeletionShape::ManagerToManager: return "manager to manager";
    case DeletionShape::RewrittenSource: return "rewritten source";
    case DeletionShape::FlippingSource: return "flipping source";
    case DeletionShape::PowerlessGrantee: return "powerless grantee";
    case DeletionShape::ManagerToGroup: return "manager to group";
  }
  return "?";
}

const char* revocation_shape_name(RevocationShape shape) {
  switch (shape) {
    case RevocationShape::Used: return "used";
    case RevocationShape::Pending: return "pending";
    case RevocationShape::GroupUsed: return "group used";
    case RevocationShape::ChainUsed: return "chain used";
    case RevocationShape::RootAdministrators: return "root administrators";
    case RevocationShape::BesideManyQuestions: return "beside many questions";
  }
  return "?";
}

}  // namespace vornex::test
