#include "hostile_shapes.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "hostile_shaper.hpp"
#include "must.hpp"
#include "vornex/core/crypto.hpp"

namespace vornex::test {

using namespace vornex::core;
using core::validate::ValidationReport;

using namespace shaping;

namespace {

// Matchers every label-sharing entry carries, before the one that tells
// them apart.
constexpr std::size_t kSharedLabels = 4;
// The first index of each population of numbered identities.
constexpr std::uint32_t kFirstTeamBManager = 1'000'000;
constexpr std::uint32_t kFirstAdministrator = 2'000'000;
constexpr std::uint32_t kFirstFlipMember = 3'000'000;
constexpr std::uint32_t kFirstChainUser = 4'000'000;
constexpr std::uint32_t kYardstickMembers = 4;

// a0..a3 = 1, then z = e<i>: sorted by key, as a selector's labels must be.
std::vector<KeyspaceLabelMatcherV1> shared_labels(std::size_t i) {
  std::vector<KeyspaceLabelMatcherV1> out;
  for (std::size_t k = 0; k < kSharedLabels; ++k) out.push_back(equals(seeded("a", k), "1"));
  out.push_back(equals("z", numbered("e", i)));
  return out;
}

// --- Sized by one record --------------------------------------------------

HostileVault big_in_list(std::size_t values, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  std::vector<std::string> allowed;
  for (std::size_t i = 0; i < values; ++i) allowed.push_back(numbered("v", i));
  std::vector<std::string> asked = allowed;
  asked.push_back("w");  // sorts after every v: one value the entry lacks
  s.add(s.builder().grant(s.a(), "b-in", s.ref(s.b()),
                          manage_all(under({"team", "b"}, {{"l", label_matcher::In{std::move(allowed)}}})), 1));
  s.add(s.builder().grant(s.b(), "b-to-c", s.ref(s.c()),
                          read_permission(under({"team", "b", "x"}, {{"l", label_matcher::In{std::move(asked)}}})), 1));
  const GrantId given = s.grant_id("b-in");
  const GrantId asked_for = s.grant_id("b-to-c");
  const UserId b = s.b().user_id();
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.expect(r.effective.grants.contains(given), "A's grant to B is not in force");
    p.expect(!r.effective.grants.contains(asked_for), "B's grant beyond its In list was admitted");
    const auto& manage = r.effective.authority_ref(b).manage;
    p.count(manage.size(), 1, "B's manage entries");
    if (manage.size() == 1 && manage.front().selector.labels.size() == 1) {
      const auto* in = std::get_if<label_matcher::In>(&manage.front().selector.labels.front().matcher);
      p.count(in == nullptr ? 0 : in->values.size(), values, "values in B's entry");
    }
    return std::move(p).text();
  });
}

HostileVault big_labels(std::size_t matchers, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  std::vector<KeyspaceLabelMatcherV1> labels;
  for (std::size_t i = 0; i < matchers; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "k%06zu", i);
    labels.push_back(equals(key, "1"));
  }
  s.add(s.builder().grant(s.c(), "c-labels", s.ref(s.b()), read_permission(under({"team", "c"}, std::move(labels))),
                          1));
  const GrantId id = s.grant_id("c-labels");
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.expect(!r.effective.grants.contains(id), "C's grant was admitted with no authority behind it");
    p.count(r.effective.grants.size(), 1, "grants in force");
    return std::move(p).text();
  });
}

// --- Toggles --------------------------------------------------------------

// A gives B `Manage team/b@{l In [c, v<i>]}` (count of them, revoked newest
// first); under each B writes grant b-to-c to C at counter i + 1, manage
// over team/b/c for even i and read for odd i, so that each revocation
// hands the grant to the record below and flips C's authority. C's read
// grants `team/b/c/q<j>@{l=c}` fill the rest: each is admitted exactly
// while the winner is a manage grant.
void add_label_toggle(Shaper& s, std::size_t n, std::vector<GrantId>& revoked, std::vector<GrantId>& dependents) {
  const std::size_t count = std::max<std::size_t>(2, s.left(n) / 6);
  const auto label = [](std::size_t i) {
    return std::vector<KeyspaceLabelMatcherV1>{{"l", label_matcher::In{{"c", numbered("v", i)}}}};
  };
  std::vector<GrantPermissionV1> narrow;
  for (std::size_t i = 0; i < count; ++i) {
    narrow.push_back(manage_all(under({"team", "b"}, label(i))));
    s.add(s.builder().grant(s.a(), seeded("b-narrow-", i), s.ref(s.b()), narrow.back(), 1));
    revoked.push_back(s.grant_id(seeded("b-narrow-", i)));
    const KeyspaceSelectorV1 to_c = under({"team", "b", "c"}, label(i));
    s.add(s.builder().grant(s.b(), "b-to-c", s.ref(s.c()), i % 2 == 0 ? manage_all(to_c) : read_permission(to_c),
                            i + 1));
  }
  s.revoke_newest_first(s.a(), revoked, narrow);
  for (std::size_t j = 0; s.size() < n; ++j) {
    s.add(s.builder().grant(s.c(), seeded("c-q", j), s.ref(s.b()),
                            read_permission(under({"team", "b", "c", seeded("q", j)}, {equals("l", "c")})), 1));
    dependents.push_back(s.grant_id(seeded("c-q", j)));
  }
}

ShapeCheck toggle_check(std::vector<GrantId> revoked, std::vector<GrantId> dependents, std::size_t kept,
                        UserId user, std::string what) {
  return [=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    p.count(in_force(r, dependents), 0, what + " in force with every revocation admitted");
    p.count(r.effective.grants.size(), kept, "grants in force");
    p.expect(r.effective.authority_ref(user).manage.empty() && !r.effective.authority_ref(user).is_root,
             "the toggled holder kept authority");
    return std::move(p).text();
  };
}

// With the first `kept` revocations alone, the winner left is record
// revocations - 1 - kept: the dependents are all in force when it is even
// (a grant of manage, or a membership) and none are when it is odd.
void check_toggles(HostileVault& v, std::vector<GrantId> dependents) {
  const std::size_t count = v.revocations.size();
  v.check_with_revocations = [count, dependents = std::move(dependents)](const ValidationReport& r,
                                                                          std::size_t kept) {
    Problems p;
    const bool on = (count - 1 - kept) % 2 == 0;
    p.count(in_force(r, dependents), on ? dependents.size() : 0,
            std::string("dependents in force with the winner ") + (on ? "on" : "off"));
    return std::move(p).text();
  };
}

HostileVault toggle_label(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  std::vector<GrantId> revoked;
  std::vector<GrantId> dependents;
  add_label_toggle(s, n, revoked, dependents);
  check_toggles(s.vault(), dependents);
  return s.take(toggle_check(revoked, dependents, 1, s.c().user_id(), "C's read grants"));
}

// Beside the toggle, n/8 users made by the root, each a manager of
// team/b from A.
HostileVault toggle_grant(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t managers = n / 8;
  for (std::size_t k = 0; k < managers; ++k) {
    const crypto::Identity& u = numbered_identity(builder, kFirstTeamBManager + static_cast<std::uint32_t>(k));
    s.enrol(u);
    s.add(builder.grant(s.a(), seeded("team-b-", k), s.ref(u), manage_all(under({"team", "b"})), 1));
  }
  std::vector<GrantId> revoked;
  std::vector<GrantId> dependents;
  add_label_toggle(s, n, revoked, dependents);
  check_toggles(s.vault(), dependents);
  return s.take(toggle_check(revoked, dependents, 1 + managers, s.c().user_id(), "C's read grants"));
}

// Administrators Y<i>, each given Root by the root, write the membership
// of H in G at counter i + 1: a membership for even i, its deletion for
// odd i. The root revokes them newest first, so each revocation flips H's
// membership. G holds manage over team/g, and each of H's members grants
// C one read grant there: a question that H's membership answers.
HostileVault member_flip(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const GroupId g = builder.group_id("g");
  const GroupId h = builder.group_id("h");
  s.add(builder.group(s.root(), "g", 1));
  s.add(builder.group(s.root(), "h", 1));
  s.add(builder.grant(s.root(), "g-manage", PrincipalRefV1{g}, manage_all(under({"team", "g"})), 1));
  const std::size_t flips = std::max<std::size_t>(2, n / 10);
  std::vector<GrantId> revoked;
  std::vector<GrantPermissionV1> root_permissions;
  for (std::size_t i = 0; i < flips; ++i) {
    const crypto::Identity& y = numbered_identity(builder, kFirstAdministrator + static_cast<std::uint32_t>(i));
    s.enrol(y);
    s.add(builder.grant(s.root(), seeded("y-root-", i), s.ref(y), root_permission(), 1));
    revoked.push_back(s.grant_id(seeded("y-root-", i)));
    root_permissions.push_back(root_permission());
    s.add(i % 2 == 0 ? builder.member(y, g, PrincipalRefV1{h}, i + 1) : builder.member_deleted(y, g, PrincipalRefV1{h}, i + 1));
  }
  s.revoke_newest_first(s.root(), revoked, root_permissions);
  std::vector<GrantId> dependents;
  const std::size_t members = std::max<std::size_t>(1, n / 8);
  for (std::size_t k = 0; k < members; ++k) {
    const crypto::Identity& m = numbered_identity(builder, kFirstFlipMember + static_cast<std::uint32_t>(k));
    s.enrol(m);
    s.add(builder.member(s.root(), h, s.ref(m), 1));
    s.add(builder.grant(m, seeded("m-q-", k), s.ref(s.c()), read_permission(under({"team", "g", seeded("q", k)})), 1));
    dependents.push_back(s.grant_id(seeded("m-q-", k)));
  }
  check_toggles(s.vault(), dependents);
  const GroupMemberId h_in_g = builder.member_id(g, PrincipalRefV1{h});
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    p.expect(!r.effective.group_members.contains(h_in_g), "H is in G with every administrator revoked");
    p.count(r.effective.group_members.size(), members, "memberships in force");
    p.count(in_force(r, dependents), 0, "members' grants in force");
    p.count(r.effective.grants.size(), 2, "grants in force");
    return std::move(p).text();
  });
}

// --- Pending deletions under revoked entries -------------------------------

// A gives B narrow grants `team/b/s<i>`; under each B writes grant b-to-c
// to C, at counter i + 1 or all at one counter; A revokes them newest
// first. Returns how many.
std::size_t add_one_grant_under_revoked_entries(Shaper& s, std::size_t count, std::optional<std::uint64_t> one_counter,
                                                std::vector<GrantId>& revoked) {
  std::vector<GrantPermissionV1> narrow;
  for (std::size_t i = 0; i < count; ++i) {
    narrow.push_back(manage_all(under({"team", "b", seeded("s", i)})));
    s.add(s.builder().grant(s.a(), seeded("b-narrow-", i), s.ref(s.b()), narrow.back(), 1));
    revoked.push_back(s.grant_id(seeded("b-narrow-", i)));
    s.add(s.builder().grant(s.b(), "b-to-c", s.ref(s.c()),
                            read_permission(under({"team", "b", seeded("s", i), "x"})), one_counter.value_or(i + 1)));
  }
  s.revoke_newest_first(s.a(), revoked, narrow);
  return count;
}

ShapeCheck one_grant_check(std::vector<GrantId> revoked, GrantId b_to_c, UserId b, std::size_t ghost_groups,
                           std::size_t other_grants = 0) {
  return [=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    p.count(r.effective.deleted_grants.size(), revoked.size(), "deletions admitted");
    p.expect(!r.effective.grants.contains(b_to_c), "B's grant to C outlived its narrow grants");
    p.count(r.effective.grants.size(), 1 + other_grants, "grants in force");
    p.expect(r.effective.authority_ref(b).manage.empty(), "B still holds a narrow entry");
    if (ghost_groups > 0) p.count(r.effective.group_members.size(), 0, "memberships in groups nobody made");
    return std::move(p).text();
  };
}

// With the first `kept` revocations alone, B's records under the narrow
// grants left are admitted: the one at the highest counter wins, or, all
// at one counter, they conflict.
void check_one_grant(HostileVault& v, GrantId b_to_c, bool conflicted) {
  const std::size_t count = v.revocations.size();
  v.check_with_revocations = [=](const ValidationReport& r, std::size_t kept) {
    Problems p;
    const auto grant = r.effective.grants.find(b_to_c);
    if (conflicted) {
      p.expect(grant == r.effective.grants.end(), "B's conflicted grant is in force");
      p.count(r.effective.conflicts.size(), 1, "conflicts");
    } else {
      p.expect(grant != r.effective.grants.end() && grant->second.counter == count - kept,
               "B's grant is not its record under the newest narrow grant left");
    }
    return std::move(p).text();
  };
}

std::vector<GroupId> add_chain(Shaper& s, std::size_t depth, const char* name);

// The rewritten grant, with a quarter of the records C's deletions of
// it, each naming a permission of its own at a counter after every
// revocation; with `fake_up`, a quarter more C's memberships of itself in
// groups nobody made; with `chained`, C in the last of a chain of an
// eighth as many groups under one holding an entry, so that each deletion's
// question, answered in every iteration in turn, is asked up the chain.
HostileVault pending_target(std::size_t n, bool fake_up, bool chained, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t deletions = n / 4;
  const std::size_t ghosts = fake_up ? n / 4 : 0;
  const std::size_t depth = chained ? std::max<std::size_t>(1, n / 8) : 0;
  const std::size_t count =
      std::max<std::size_t>(2, (s.left(n) - std::min(s.left(n), deletions + ghosts + 2 * depth)) / 3);
  std::vector<GrantId> revoked;
  add_one_grant_under_revoked_entries(s, count, std::nullopt, revoked);
  const GrantId b_to_c = s.grant_id("b-to-c");
  if (chained) {
    const std::vector<GroupId> groups = add_chain(s, depth, "pchain-");
    s.add(builder.grant(s.root(), "pchain-top", PrincipalRefV1{groups.front()}, manage_all(under({"team", "zz"})), 1));
    s.add(builder.member(s.root(), groups.back(), s.ref(s.c()), 1));
  }
  for (std::size_t j = 0; j < deletions; ++j) {
    s.add(builder.grant_deleted(s.c(), b_to_c, read_permission(under({"team", "b", seeded("s", j), "x"})),
                                count + 2));
  }
  for (std::size_t k = 0; k < ghosts; ++k) {
    s.add(builder.member(s.c(), builder.group_id(seeded("ghost-", k)), s.ref(s.c()), 1));
  }
  check_one_grant(s.vault(), b_to_c, false);
  return s.take(one_grant_check(revoked, b_to_c, s.b().user_id(), ghosts, chained ? 1 : 0));
}

// --- Label indexes ----------------------------------------------------------

// A gives B n/2 entries over team/b sharing a0..a3 and told apart by z;
// B uses each once, with a read grant to C (or, for secrets, write
// entries and one labelled secret under each).
HostileVault label_share(std::size_t n, bool secrets, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t count = std::max<std::size_t>(1, s.left(n) / 2);
  std::vector<GrantId> entries;
  std::vector<GrantId> uses;
  for (std::size_t i = 0; i < count; ++i) {
    const KeyspaceSelectorV1 where = under({"team", "b"}, shared_labels(i));
    s.add(builder.grant(s.a(), seeded("b-share-", i), s.ref(s.b()),
                        secrets ? write_permission(where) : manage_all(where), 1));
    entries.push_back(s.grant_id(seeded("b-share-", i)));
  }
  std::vector<SecretSelectorV1> written;
  for (std::size_t j = 0; j < count; ++j) {
    if (secrets) {
      std::vector<SecretLabelV1> labels;
      for (const KeyspaceLabelMatcherV1& m : shared_labels(j)) {
        labels.push_back({m.key, std::get<label_matcher::Equals>(m.matcher).value});
      }
      written.push_back(SecretSelectorV1{{"team", "b", "x"}, std::move(labels)});
      s.add(builder.secret(s.b(), written.back(), {&s.b()}, 1));
    } else {
      s.add(builder.grant(s.b(), seeded("b-read-", j), s.ref(s.c()),
                          read_permission(under({"team", "b", "x"}, shared_labels(j))), 1));
      uses.push_back(s.grant_id(seeded("b-read-", j)));
    }
  }
  const UserId b = s.b().user_id();
  const UserId c = s.c().user_id();
  const std::vector<SecretId> secret_ids = [&] {
    std::vector<SecretId> out;
    for (const SecretSelectorV1& selector : written) out.push_back(builder.secret_id(selector));
    return out;
  }();
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(in_force(r, entries), count, "A's entries in force");
    const AuthoritySet& held = r.effective.authority_ref(b);
    p.count(secrets ? held.write.size() : held.manage.size(), count, "B's entries");
    const auto five_labels = [](const auto& entries) {
      return static_cast<std::size_t>(std::ranges::count_if(entries, [](const auto& e) {
        if constexpr (requires { e.selector; }) {
          return e.selector.labels.size() == kSharedLabels + 1;
        } else {
          return e.labels.size() == kSharedLabels + 1;
        }
      }));
    };
    p.count(secrets ? five_labels(held.write) : five_labels(held.manage), count, "B's entries with the shared labels");
    if (secrets) {
      const auto live = std::ranges::count_if(secret_ids, [&](const SecretId& id) {
        return r.effective.latest_secret.find(id) != r.effective.latest_secret.end();
      });
      p.count(static_cast<std::size_t>(live), count, "B's secrets written");
    } else {
      p.count(in_force(r, uses), count, "B's read grants in force");
      p.count(r.effective.authority_ref(c).read.size(), count, "C's read entries");
    }
    return std::move(p).text();
  });
}

// A gives B manage over team/q and n/2 entries `team/b/s<i>@{a Present}`;
// B writes n/2 read grants `team/q/x<j>@{a=v<j>}`, each answered by the
// one entry over team/q.
HostileVault label_present(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  s.add(builder.grant(s.a(), "b-q", s.ref(s.b()), manage_all(under({"team", "q"})), 1));
  const std::size_t count = std::max<std::size_t>(1, s.left(n) / 2);
  for (std::size_t i = 0; i < count; ++i) {
    s.add(builder.grant(s.a(), seeded("b-present-", i), s.ref(s.b()),
                        manage_all(under({"team", "b", seeded("s", i)}, {{"a", label_matcher::Present{}}})), 1));
  }
  std::vector<GrantId> uses;
  for (std::size_t j = 0; j < count; ++j) {
    s.add(builder.grant(s.b(), seeded("b-read-", j), s.ref(s.c()),
                        read_permission(under({"team", "q", seeded("x", j)}, {equals("a", numbered("v", j))})), 1));
    uses.push_back(s.grant_id(seeded("b-read-", j)));
  }
  const UserId b = s.b().user_id();
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(in_force(r, uses), count, "B's read grants in force");
    const auto& manage = r.effective.authority_ref(b).manage;
    p.count(manage.size(), count + 1, "B's manage entries");
    p.count(static_cast<std::size_t>(std::ranges::count_if(manage, [](const ManageKeyspaceGrantV1& e) {
              return e.selector.labels.size() == 1 && e.selector.labels.front().key == "a" &&
                     std::holds_alternative<label_matcher::Present>(e.selector.labels.front().matcher);
            })),
            count, "B's entries of `a Present`");
    p.count(r.effective.grants.size(), 2 + 2 * count, "grants in force");
    return std::move(p).text();
  });
}

// --- Groups -----------------------------------------------------------------

// The root makes groups G0..G(d-1) with G(k+1) a member of G(k), and B a
// member of the last. G0 holds manage over team/d, and B grants C n/2
// reads under it: each is answered only through the whole chain.
HostileVault deep_questions(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t depth = std::max<std::size_t>(1, n / 4);
  std::vector<GroupId> groups;
  for (std::size_t k = 0; k < depth; ++k) {
    s.add(builder.group(s.root(), seeded("deep-", k), 1));
    groups.push_back(builder.group_id(seeded("deep-", k)));
  }
  for (std::size_t k = 0; k + 1 < depth; ++k) s.add(builder.member(s.root(), groups[k], PrincipalRefV1{groups[k + 1]}, 1));
  s.add(builder.member(s.root(), groups.back(), s.ref(s.b()), 1));
  s.add(builder.grant(s.root(), "deep-manage", PrincipalRefV1{groups.front()}, manage_all(under({"team", "d"})), 1));
  std::vector<GrantId> uses;
  for (std::size_t j = 0; s.size() < n || uses.empty(); ++j) {
    s.add(builder.grant(s.b(), seeded("b-deep-", j), s.ref(s.c()), read_permission(under({"team", "d", seeded("q", j)})),
                        1));
    uses.push_back(s.grant_id(seeded("b-deep-", j)));
  }
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.groups.size(), depth, "groups");
    p.count(r.effective.group_members.size(), depth, "memberships");
    p.count(in_force(r, uses), uses.size(), "B's grants under the chain's entry");
    return std::move(p).text();
  });
}

// The root's chain of groups G0..G(depth-1), G(k+1) a member of G(k).
std::vector<GroupId> add_chain(Shaper& s, std::size_t depth, const char* name) {
  const VaultBuilder& builder = s.builder();
  std::vector<GroupId> groups;
  for (std::size_t k = 0; k < depth; ++k) {
    s.add(builder.group(s.root(), seeded(name, k), 1));
    groups.push_back(builder.group_id(seeded(name, k)));
  }
  for (std::size_t k = 0; k + 1 < depth; ++k) s.add(builder.member(s.root(), groups[k], PrincipalRefV1{groups[k + 1]}, 1));
  return groups;
}

// A chain of n/4 groups, each given write over its own team/w<k> by the
// root; B, a member of the last, writes the rest as secrets under team/w0,
// which only the top group's entry covers: every secret is a question over
// every group of the chain, each holding an entry of the kind asked about.
HostileVault chain_write(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t depth = std::max<std::size_t>(1, n / 4);
  const std::vector<GroupId> groups = add_chain(s, depth, "wchain-");
  s.add(builder.member(s.root(), groups.back(), s.ref(s.b()), 1));
  for (std::size_t k = 0; k < depth; ++k) {
    s.add(builder.grant(s.root(), seeded("wchain-write-", k), PrincipalRefV1{groups[k]},
                        write_permission(under({"team", seeded("w", k)})), 1));
  }
  std::vector<SecretId> written;
  for (std::size_t j = 0; s.size() < n || written.empty(); ++j) {
    const SecretSelectorV1 where{{"team", "w0", seeded("s", j)}, {}};
    s.add(builder.secret(s.b(), where, {&s.b()}, 1));
    written.push_back(builder.secret_id(where));
  }
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.groups.size(), depth, "groups");
    p.count(r.effective.grants.size(), depth + 1, "grants in force");
    p.count(written_count(r, written), written.size(), "B's secrets written");
    return std::move(p).text();
  });
}

// A chain of n/4 groups, the top one given write over team/u by the
// root; users enrolled by the root, each a member of the last group, write
// one secret each under team/u: each user's questions reach the entry
// through the whole chain. With `fan`, over team/f, each user is instead
// the one member of a group F<k> of its own, a member of the chain's last
// group: no two users share the groups they are direct members of. With
// `grants`, the top's entry is a manage entry and each user grants C one
// read under it instead: the same questions, asked of the fixed point.
HostileVault chain_users(std::size_t n, bool fan, bool grants, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::string top = std::string(fan ? "f" : "u") + (grants ? "g" : "");
  const std::size_t depth = std::max<std::size_t>(1, n / 4);
  const std::vector<GroupId> groups = add_chain(s, depth, (top + "chain-").c_str());
  const KeyspaceSelectorV1 entry = under({"team", top});
  s.add(builder.grant(s.root(), top + "chain-top", PrincipalRefV1{groups.front()},
                      grants ? manage_all(entry) : write_permission(entry), 1));
  // Four records a user: its user record, entry point, membership and
  // secret or grant; with `fan`, two more: its group and that group's
  // membership.
  const std::size_t records_per_user = fan ? 6 : 4;
  const std::size_t users = std::max<std::size_t>(1, s.left(n) / records_per_user);
  std::vector<SecretId> written;
  std::vector<GrantId> given;
  for (std::size_t k = 0; k < users; ++k) {
    const crypto::Identity& u = numbered_identity(builder, kFirstChainUser + static_cast<std::uint32_t>(k));
    GroupId direct = groups.back();
    if (fan) {
      s.add(builder.group(s.root(), seeded("fan-", k), 1));
      direct = builder.group_id(seeded("fan-", k));
      s.add(builder.member(s.root(), groups.back(), PrincipalRefV1{direct}, 1));
    }
    s.enrol(u);
    s.add(builder.member(s.root(), direct, s.ref(u), 1));
    if (grants) {
      s.add(builder.grant(u, seeded("chain-read-", k), s.ref(s.c()), read_permission(under({"team", top, seeded("q", k)})),
                          1));
      given.push_back(s.grant_id(seeded("chain-read-", k)));
      continue;
    }
    const SecretSelectorV1 where{{"team", top, seeded("s", k)}, {}};
    s.add(builder.secret(u, where, {&u}, 1));
    written.push_back(builder.secret_id(where));
  }
  const std::size_t own_groups = fan ? users : 0;
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.groups.size(), depth + own_groups, "groups");
    p.count(r.effective.group_members.size(), depth - 1 + users + own_groups, "memberships");
    p.count(written_count(r, written), written.size(), "the users' secrets written");
    p.count(in_force(r, given), given.size(), "the users' grants under the top's entry");
    return std::move(p).text();
  });
}

// A chain of n/7 groups, each given write over its own team/l<k> by the
// root, and at every level a user enrolled by the root, a member of that
// level's group, writing one secret under team/l0, which only the top
// group's entry covers: each user asks once, over every group above it.
// With `grants`, the entries are manage entries and each user grants C a
// read under team/l0 instead: the same question, asked of the fixed point.
HostileVault chain_levels(std::size_t n, bool grants, bool pairs, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  // Seven records a level: its group, membership, grant, and its user's
  // user record, entry point, membership and secret; with pairs, the
  // user's membership of the group above too.
  const std::size_t per_level = pairs ? 8 : 7;
  const std::size_t depth = std::max<std::size_t>(1, n / per_level);
  const std::vector<GroupId> groups = add_chain(s, depth, "lchain-");
  std::vector<SecretId> written;
  for (std::size_t k = 0; k < depth; ++k) {
    const KeyspaceSelectorV1 own = under({"team", seeded("l", k)});
    s.add(builder.grant(s.root(), seeded("lchain-write-", k), PrincipalRefV1{groups[k]},
                        grants ? manage_all(own) : write_permission(own), 1));
    const crypto::Identity& u = numbered_identity(builder, kFirstChainUser + static_cast<std::uint32_t>(k));
    s.enrol(u);
    s.add(builder.member(s.root(), groups[k], s.ref(u), 1));
    // In two groups of the chain: its questions start from both.
    if (pairs && k > 0) s.add(builder.member(s.root(), groups[k - 1], s.ref(u), 1));
    if (grants) {
      s.add(builder.grant(u, seeded("lchain-read-", k), s.ref(s.c()), read_permission(under({"team", "l0", seeded("q", k)})),
                          1));
      continue;
    }
    const SecretSelectorV1 where{{"team", "l0", seeded("s", k)}, {}};
    s.add(builder.secret(u, where, {&u}, 1));
    written.push_back(builder.secret_id(where));
  }
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.groups.size(), depth, "groups");
    p.count(r.effective.grants.size(), (grants ? 2 * depth : depth) + 1, "grants in force");
    p.count(written_count(r, written), grants ? 0 : depth, "the users' secrets written");
    return std::move(p).text();
  });
}

HostileVault plain_grants(std::size_t records, std::size_t bytes, const VaultBuilder& builder) {
  Shaper s(builder);
  s.add(builder.vault_root());
  s.enrol(s.a());
  std::vector<const crypto::Identity*> members;
  for (std::uint32_t m = 0; m < kYardstickMembers; ++m) {
    members.push_back(&builder.identity(static_cast<std::uint8_t>(5 + m)));
    s.enrol(*members.back());
  }
  s.add(builder.grant(s.root(), "team-manager", s.ref(s.a()), manage_all(under({"team"})), 1));
  std::size_t delegated = 0;
  for (; s.size() < records || s.vault().bytes < bytes; ++delegated) {
    const std::size_t m = delegated % kYardstickMembers;
    s.add(builder.grant(s.a(), seeded("yardstick-", delegated), s.ref(*members[m]),
                        manage_all(under({"team", seeded("m", m), seeded("s", delegated)})), 1));
  }
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.grants.size(), delegated + 1, "grants in force");
    std::size_t entries = 0;
    for (const crypto::Identity* m : members) entries += r.effective.authority_ref(m->user_id()).manage.size();
    p.count(entries, delegated, "the members' manage entries");
    return std::move(p).text();
  });
}

}  // namespace

HostileVault::HostileVault(const VaultBuilder& b)
    : trust(Ratchet::make(b.selected_root().fingerprint.to_vec())), builder_(&b) {
  trust.absorb_record(FormatVersionRatchetRecordV1{1});
}

void HostileVault::add(VaultRecordV1 record) {
  const cord::Bytes encoded = must(cord::serialize(record));
  HashValue hash = builder_->crypto().hash(domains::kRecordHash, encoded);
  bytes += encoded.size();
  verified.insert(hash);
  records.push_back(validate::HashedRecord{std::move(record), {}, std::move(hash), {}});
}

bool sized_by_one_record(HostileShape shape) {
  return shape == HostileShape::BigInList || shape == HostileShape::BigLabels || shape == HostileShape::EmptyPath;
}

bool compared_by_bytes(HostileShape shape) { return sized_by_one_record(shape) || shape == HostileShape::NestGrow; }

HostileVault build_hostile_shape(HostileShape shape, std::size_t n, const VaultBuilder& b) {
  switch (shape) {
    case HostileShape::BigInList: return big_in_list(n, b);
    case HostileShape::BigLabels: return big_labels(n, b);
    case HostileShape::ToggleLabel: return toggle_label(n, b);
    case HostileShape::PendTarget: return pending_target(n, false, false, b);
    case HostileShape::PendFakeUp: return pending_target(n, true, false, b);
    case HostileShape::PendChain: return pending_target(n, false, true, b);
    case HostileShape::Conflict1: return build_one_grant_under_revoked_entries(n, true, b);
    case HostileShape::LabelShare: return label_share(n, false, b);
    case HostileShape::LabelSecret: return label_share(n, true, b);
    case HostileShape::LabelPresent: return label_present(n, b);
    case HostileShape::ToggleGrant: return toggle_grant(n, b);
    case HostileShape::MemberFlip: return member_flip(n, b);
    case HostileShape::DeepQ: return deep_questions(n, b);
    case HostileShape::ChainWrite: return chain_write(n, b);
    case HostileShape::ChainUsers: return chain_users(n, false, false, b);
    case HostileShape::ChainFan: return chain_users(n, true, false, b);
    case HostileShape::ChainAsk: return chain_users(n, false, true, b);
    case HostileShape::ChainFanAsk: return chain_users(n, true, true, b);
    case HostileShape::ChainLevels: return chain_levels(n, false, false, b);
    case HostileShape::ChainGrants: return chain_levels(n, true, false, b);
    case HostileShape::ChainPairs: return chain_levels(n, false, true, b);
    case HostileShape::ChainPairGrants: return chain_levels(n, true, true, b);
    case HostileShape::InRevoke: return in_revoke(n, b);
    case HostileShape::InScan: return in_scan(n, false, false, b);
    case HostileShape::InSecret: return in_scan(n, true, false, b);
    case HostileShape::AbsentScan: return in_scan(n, false, true, b);
    case HostileShape::AbsentSecret: return in_scan(n, true, true, b);
    case HostileShape::InDel: return in_deletions(n, b);
    case HostileShape::NestGrow: return nest_grow(n, b);
    case HostileShape::GroupAsk: return group_ask(n, true, b);
    case HostileShape::GroupAskKeep: return group_ask(n, false, b);
    case HostileShape::NeverSettle: return never_settle(n, b);
    case HostileShape::EmptyPath: return empty_path(n, b);
  }
  throw std::invalid_argument("unknown hostile shape");
}

HostileVault build_one_grant_under_revoked_entries(std::size_t n, bool conflicted, const VaultBuilder& b) {
  // Records at one counter conflict while two of them are admitted.
  constexpr std::uint64_t kOneCounter = 5;
  Shaper s(b);
  s.start();
  std::vector<GrantId> revoked;
  add_one_grant_under_revoked_entries(s, std::max<std::size_t>(2, s.left(n) / 3),
                                      conflicted ? std::optional<std::uint64_t>(kOneCounter) : std::nullopt, revoked);
  check_one_grant(s.vault(), s.grant_id("b-to-c"), conflicted);
  return s.take(one_grant_check(revoked, s.grant_id("b-to-c"), s.b().user_id(), 0));
}

HostileVault build_plain_yardstick(std::size_t records, const VaultBuilder& b) { return plain_grants(records, 0, b); }
HostileVault build_plain_of_same_bytes(std::size_t bytes, const VaultBuilder& b) { return plain_grants(0, bytes, b); }

std::string hostile_report_problem(const HostileVault& vault, const ValidationReport& report) {
  if (report.effective.blocked != vault.never_settles) {
    return vault.never_settles ? "the effective state settled" : "the effective state is blocked";
  }
  if (!report.warnings.empty()) return "unexpected warnings";
  // One that never settles says so, and nothing else.
  const std::size_t expected_issues = vault.never_settles ? 1 : 0;
  if (report.issues.size() != expected_issues ||
      (vault.never_settles && !std::holds_alternative<validate::issue::AuthorityDidNotConverge>(report.issues.front()))) {
    return report.issues.empty() ? "no issue where the vault never settles"
                                 : "unexpected issues; first: " + validate::debug_string(report.issues.front());
  }
  return vault.check ? vault.check(report) : std::string();
}

const crypto::Identity& numbered_identity(const VaultBuilder& b, std::uint32_t index) {
  static std::map<std::uint32_t, std::unique_ptr<crypto::Identity>> made;
  auto& slot = made[index];
  if (!slot) {
    cord::Bytes seed(crypto::kMasterSeedSize, 0x5a);
    for (std::size_t i = 0; i < 4; ++i) seed[i] = static_cast<std::uint8_t>(index >> (24 - 8 * i));
    slot = std::make_unique<crypto::Identity>(must(crypto::Identity::from_master_seed(b.crypto(), seed)));
  }
  return *slot;
}

}  // namespace vornex::test
