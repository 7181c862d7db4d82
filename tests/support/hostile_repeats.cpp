// The hostile shapes built on repetition: entries at every depth of one
// path, a group whose every member asks, vaults that never settle and a
// path of nothing but empty segments.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hostile_shaper.hpp"

namespace vornex::test::shaping {

namespace {

// The first index of each population of numbered identities, apart from
// those of the other shapes.
constexpr std::uint32_t kFirstGroupAsker = 5'000'000;
constexpr std::uint32_t kFirstRingManager = 6'000'000;
// The oscillators of a vault that never settles, and the managers their
// rings are made of: rings of one (a grant rewritten by its holder), three
// and four, in turn.
constexpr std::size_t kMaxOscillators = 16;
constexpr std::size_t kRecordsPerOscillator = 32;
constexpr std::size_t kRingManagers = 4;
constexpr std::array<std::size_t, 3> kRingSizes = {1, 3, 4};
// Enough entries along the path, at the smallest sizes, for several to
// be revoked.
constexpr std::size_t kMinDepth = 5;

std::vector<std::string> nested_path(std::size_t depth) {
  std::vector<std::string> path{"team", "n"};
  for (std::size_t k = 1; k <= depth; ++k) path.push_back(seeded("d", k));
  return path;
}

}  // namespace

// A gives B `Manage team/n/d1/../d<k>` for every depth k to about √n/2
// and revokes them deepest first, keeping the shallowest; B's read grants
// to C fill the rest at the bottom of the path, each under every entry.
HostileVault nest_grow(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const auto depth = std::max(kMinDepth, static_cast<std::size_t>(std::sqrt(static_cast<double>(n))) / 2);
  std::vector<GrantId> entries;
  std::vector<GrantPermissionV1> permissions;
  for (std::size_t k = 1; k <= depth; ++k) {
    permissions.push_back(manage_all(under(nested_path(k))));
    s.add(builder.grant(s.a(), seeded("b-nest-", k), s.ref(s.b()), permissions.back(), 1));
    entries.push_back(s.grant_id(seeded("b-nest-", k)));
  }
  const std::vector<GrantId> revoked(entries.begin() + 1, entries.end());
  s.revoke_newest_first(s.a(), revoked, std::vector<GrantPermissionV1>(permissions.begin() + 1, permissions.end()));
  std::vector<GrantId> uses;
  for (std::size_t j = 0; s.size() < n || uses.empty(); ++j) {
    std::vector<std::string> path = nested_path(depth);
    path.push_back(seeded("x", j));
    s.add(builder.grant(s.b(), seeded("b-bottom-", j), s.ref(s.c()), read_permission(under(std::move(path))), 1));
    uses.push_back(s.grant_id(seeded("b-bottom-", j)));
  }
  const UserId b = s.b().user_id();
  s.vault().check_with_revocations = [=](const ValidationReport& r, std::size_t kept) {
    Problems p;
    p.count(r.effective.authority_ref(b).manage.size(), depth - kept, "B's entries left");
    p.count(in_force(r, uses), uses.size(), "B's grants in force");
    return std::move(p).text();
  };
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    const auto& manage = r.effective.authority_ref(b).manage;
    p.count(manage.size(), 1, "B's entries left");
    p.expect(manage.size() == 1 && manage.front().selector == under(nested_path(1)), "B's entry left is not the shallowest");
    p.count(in_force(r, uses), uses.size(), "B's grants in force");
    return std::move(p).text();
  });
}

// The root makes a group G of n/8 members; each signs one question: a
// read grant to C under G's entry over team/g/q, or (every other member)
// a deletion of that entry under a permission nobody holds, pending to
// the end. A gives G narrow entries over team/g/n<i>, under which nobody
// asks anything, and with `revoked` takes them back newest first.
HostileVault group_ask(std::size_t n, bool revoked, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  s.add(builder.group(s.root(), "ask-g", 1));
  const GroupId g = builder.group_id("ask-g");
  s.add(builder.grant(s.a(), "g-q", PrincipalRefV1{g}, manage_all(under({"team", "g", "q"})), 1));
  const GrantId g_q = s.grant_id("g-q");
  const std::size_t members = std::max<std::size_t>(2, n / 8);
  std::vector<GrantId> asked;
  for (std::size_t k = 0; k < members; ++k) {
    const crypto::Identity& m = numbered_identity(builder, kFirstGroupAsker + static_cast<std::uint32_t>(k));
    s.enrol(m);
    s.add(builder.member(s.root(), g, s.ref(m), 1));
    if (k % 2 == 0) {
      s.add(builder.grant(m, seeded("ask-", k), s.ref(s.c()), read_permission(under({"team", "g", "q", seeded("x", k)})),
                          1));
      asked.push_back(s.grant_id(seeded("ask-", k)));
    } else {
      s.add(builder.grant_deleted(m, g_q, read_permission(under({"team", "h", seeded("x", k)})), 2));
    }
  }
  // A narrow entry and its revocation each, or the entry alone.
  const std::size_t narrow = std::max<std::size_t>(2, revoked ? s.left(n) / 2 : s.left(n));
  std::vector<GrantId> ids;
  std::vector<GrantPermissionV1> permissions;
  for (std::size_t i = 0; i < narrow; ++i) {
    permissions.push_back(manage_all(under({"team", "g", seeded("n", i)})));
    s.add(builder.grant(s.a(), seeded("g-narrow-", i), PrincipalRefV1{g}, permissions.back(), 1));
    ids.push_back(s.grant_id(seeded("g-narrow-", i)));
  }
  if (revoked) s.revoke_newest_first(s.a(), ids, permissions);
  const PrincipalRefV1 holder{g};
  const auto g_entries = [holder](const ValidationReport& r) {
    const AuthoritySet* held = r.effective.authorities.find(holder);
    return held == nullptr ? std::size_t{0} : held->manage.size();
  };
  if (revoked) {
    s.vault().check_with_revocations = [=](const ValidationReport& r, std::size_t kept) {
      Problems p;
      p.count(g_entries(r), 1 + narrow - kept, "G's entries left");
      p.count(in_force(r, asked), asked.size(), "the members' grants in force");
      return std::move(p).text();
    };
  }
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(r.effective.group_members.size(), members, "memberships");
    p.count(in_force(r, asked), asked.size(), "the members' grants in force");
    p.expect(r.effective.grants.contains(g_q), "a member's deletion of G's entry was admitted");
    p.count(deleted(r, ids), revoked ? narrow : 0, "narrow entries revoked");
    p.count(g_entries(r), 1 + (revoked ? 0 : narrow), "G's entries");
    return std::move(p).text();
  });
}

// Up to 16 oscillators, each a ring of managers of its own team/o<k>: A
// gives ring member i manage over it, and member i + 1 of the ring
// rewrites that grant to read, which its own manage grant admits. While
// a member holds manage, the next one loses it, so every grant comes and
// goes and the fixed point runs to its last iteration. The first member
// of every ring grants C reads under the rings' keyspaces, each asked
// again in every iteration.
HostileVault never_settle(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  std::vector<const crypto::Identity*> managers;
  for (std::size_t i = 0; i < kRingManagers; ++i) {
    managers.push_back(&numbered_identity(builder, kFirstRingManager + static_cast<std::uint32_t>(i)));
    s.enrol(*managers.back());
  }
  const std::size_t oscillators = std::clamp<std::size_t>(n / kRecordsPerOscillator, 1, kMaxOscillators);
  for (std::size_t k = 0; k < oscillators; ++k) {
    const std::size_t ring = kRingSizes[k % kRingSizes.size()];
    const KeyspaceSelectorV1 own = under({"team", seeded("o", k)});
    for (std::size_t i = 0; i < ring; ++i) {
      const std::string seed = seeded("osc-", k) + seeded("-", i);
      s.add(builder.grant(s.a(), seed, s.ref(*managers[i]), manage_all(own), 1));
      s.add(builder.grant(*managers[(i + 1) % ring], seed, s.ref(*managers[i]), read_permission(own), 2));
    }
  }
  for (std::size_t j = 0; s.size() < n; ++j) {
    s.add(builder.grant(*managers.front(), seeded("osc-q-", j), s.ref(s.c()),
                        read_permission(under({"team", seeded("o", j % oscillators), seeded("x", j)})), 1));
  }
  s.vault().never_settles = true;
  return s.take({});
}

// A gives C read over team and then `segments` empty segments: one grant,
// four bytes a segment.
HostileVault empty_path(std::size_t segments, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  std::vector<std::string> path{"team"};
  path.resize(1 + segments);
  s.add(builder.grant(s.a(), "c-empty", s.ref(s.c()), read_permission(under(std::move(path))), 1));
  const GrantId id = s.grant_id("c-empty");
  const UserId c = s.c().user_id();
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.expect(r.effective.grants.contains(id), "C's grant is not in force");
    const auto& read = r.effective.authority_ref(c).read;
    p.count(read.size(), 1, "C's read entries");
    if (read.size() == 1) {
      const auto* prefix = std::get_if<tuple_matcher::Prefix>(&read.front().tuple);
      p.count(prefix == nullptr ? 0 : prefix->segments.size(), 1 + segments, "segments of C's entry");
    }
    return std::move(p).text();
  });
}

}  // namespace vornex::test::shaping
