// The hostile shapes built on In lists: entries that share one value of
// their list and are told apart by a private one (or by an Absent key), so
// that every entry lands where every question looks.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "hostile_shaper.hpp"

namespace vornex::test::shaping {

namespace {

// The value every entry's list shares, and the second one indel's share.
constexpr const char* kShared = "1";
constexpr const char* kSecondShared = "2";

// `a In [1, v<i>]`, or `a In [1, 2, v<i>]` with `second`.
KeyspaceLabelMatcherV1 shared_and_private(std::size_t i, bool second = false) {
  std::vector<std::string> values{kShared};
  if (second) values.emplace_back(kSecondShared);
  values.push_back(numbered("v", i));
  return {"a", label_matcher::In{std::move(values)}};
}

}  // namespace

// A gives B n/3 entries `Manage team/b@{a In [1, v<i>]}`, each covering
// every one of B's n/3 grants `Manage team/b/c<j>@{a=1}` to C. C deletes
// one of them under a permission it cannot create, so the deletion stays
// pending through every run. A revokes the entries newest first, keeping
// the first: each revocation starts a run, and no answer ever changes.
HostileVault in_revoke(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const std::size_t count = std::max<std::size_t>(2, s.left(n) / 3);
  std::vector<GrantId> entries;
  std::vector<GrantPermissionV1> permissions;
  for (std::size_t i = 0; i < count; ++i) {
    permissions.push_back(manage_all(under({"team", "b"}, {shared_and_private(i)})));
    s.add(builder.grant(s.a(), seeded("b-in-", i), s.ref(s.b()), permissions.back(), 1));
    entries.push_back(s.grant_id(seeded("b-in-", i)));
  }
  std::vector<GrantId> uses;
  for (std::size_t j = 0; j < count; ++j) {
    s.add(builder.grant(s.b(), seeded("b-c-", j), s.ref(s.c()),
                        manage_all(under({"team", "b", seeded("c", j)}, {equals("a", kShared)})), 1));
    uses.push_back(s.grant_id(seeded("b-c-", j)));
  }
  // Over team/b, which none of C's entries reaches.
  s.add(builder.grant_deleted(s.c(), uses.front(), manage_all(under({"team", "b"}, {equals("a", kShared)})), 2));
  const std::vector<GrantId> revoked(entries.begin() + 1, entries.end());
  s.revoke_newest_first(s.a(), revoked, std::vector<GrantPermissionV1>(permissions.begin() + 1, permissions.end()));
  const UserId b = s.b().user_id();
  s.vault().check_with_revocations = [=](const ValidationReport& r, std::size_t kept) {
    Problems p;
    p.count(r.effective.authority_ref(b).manage.size(), count - kept, "B's entries left");
    p.count(in_force(r, uses), count, "B's grants in force");
    return std::move(p).text();
  };
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    p.count(r.effective.deleted_grants.size(), revoked.size(), "deletions admitted");
    p.count(r.effective.authority_ref(b).manage.size(), 1, "B's entries left");
    p.count(in_force(r, uses), count, "B's grants in force");
    p.count(r.effective.grants.size(), 2 + count, "grants in force");
    return std::move(p).text();
  });
}

// A gives B `Manage team/b/q` (or `Write team/b/w`) and n/2 entries
// `team/b@{a In [1, v<i>], b Absent}`, which cover nothing B writes. B
// writes n/2 read grants `team/b/q/x<j>@{a=1, b=1}` to C (or secrets
// there, under team/b/w), each answered by the one entry beside them.
// With `absent`, the entries are `team/b@{a=1, k<i> Absent}` instead:
// told apart by a private Absent key where the others have a private
// value.
HostileVault in_scan(std::size_t n, bool secrets, bool absent, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const char* const home = secrets ? "w" : "q";
  const KeyspaceSelectorV1 answer = under({"team", "b", home});
  s.add(builder.grant(s.a(), "b-home", s.ref(s.b()), secrets ? write_permission(answer) : manage_all(answer), 1));
  const std::size_t count = std::max<std::size_t>(1, s.left(n) / 2);
  for (std::size_t i = 0; i < count; ++i) {
    const KeyspaceSelectorV1 where =
        absent ? under({"team", "b"}, {equals("a", kShared), {numbered("k", i), label_matcher::Absent{}}})
               : under({"team", "b"}, {shared_and_private(i), {"b", label_matcher::Absent{}}});
    s.add(builder.grant(s.a(), seeded("b-scan-", i), s.ref(s.b()), secrets ? write_permission(where) : manage_all(where),
                        1));
  }
  std::vector<GrantId> uses;
  std::vector<SecretId> written;
  for (std::size_t j = 0; j < count; ++j) {
    if (secrets) {
      const SecretSelectorV1 where{{"team", "b", home, seeded("x", j)}, {{"a", kShared}, {"b", kShared}}};
      s.add(builder.secret(s.b(), where, {&s.b()}, 1));
      written.push_back(builder.secret_id(where));
      continue;
    }
    s.add(builder.grant(s.b(), seeded("b-read-", j), s.ref(s.c()),
                        read_permission(under({"team", "b", home, seeded("x", j)},
                                              {equals("a", kShared), equals("b", kShared)})),
                        1));
    uses.push_back(s.grant_id(seeded("b-read-", j)));
  }
  const UserId b = s.b().user_id();
  const UserId c = s.c().user_id();
  return s.take([=](const ValidationReport& r) {
    Problems p;
    const AuthoritySet& held = r.effective.authority_ref(b);
    p.count(secrets ? held.write.size() : held.manage.size(), count + 1, "B's entries");
    if (secrets) {
      p.count(written_count(r, written), count, "B's secrets written");
    } else {
      p.count(in_force(r, uses), count, "B's read grants in force");
      p.count(r.effective.authority_ref(c).read.size(), count, "C's read entries");
    }
    return std::move(p).text();
  });
}

// A gives C entries `Manage team/b@{a In [1, 2, v<i>]}` and revokes them
// newest first. C's n/4 deletions of A's grant `Read team/b/c@{a In [1,
// 2]}` to B name `Read team/b/c<j>@{a In [1, 2]}`, which every entry
// covers, at a counter after every revocation: each run admits the next
// revocation before them, so they are asked again in every run and stay
// pending to the end, when C holds nothing.
HostileVault in_deletions(std::size_t n, const VaultBuilder& builder) {
  Shaper s(builder);
  s.start();
  const auto both = [] { return KeyspaceLabelMatcherV1{"a", label_matcher::In{{kShared, kSecondShared}}}; };
  s.add(builder.grant(s.a(), "b-target", s.ref(s.b()), read_permission(under({"team", "b", "c"}, {both()})), 1));
  const GrantId target = s.grant_id("b-target");
  const std::size_t deletions = std::max<std::size_t>(1, n / 4);
  const std::size_t count = std::max<std::size_t>(2, (s.left(n) - std::min(s.left(n), deletions)) / 2);
  std::vector<GrantId> revoked;
  std::vector<GrantPermissionV1> permissions;
  for (std::size_t i = 0; i < count; ++i) {
    permissions.push_back(manage_all(under({"team", "b"}, {shared_and_private(i, true)})));
    s.add(builder.grant(s.a(), seeded("c-indel-", i), s.ref(s.c()), permissions.back(), 1));
    revoked.push_back(s.grant_id(seeded("c-indel-", i)));
  }
  s.revoke_newest_first(s.a(), revoked, permissions);
  for (std::size_t j = 0; j < deletions; ++j) {
    s.add(builder.grant_deleted(s.c(), target, read_permission(under({"team", "b", seeded("c", j)}, {both()})),
                                count + 2));
  }
  const UserId c = s.c().user_id();
  // With an entry of C's left, its deletions are admitted after the
  // revocations: only the last revocation keeps them pending.
  s.vault().check_with_revocations = [=](const ValidationReport& r, std::size_t kept) {
    Problems p;
    p.expect(!r.effective.grants.contains(target), "C's deletions were refused with an entry left");
    p.count(r.effective.authority_ref(c).manage.size(), count - kept, "C's entries left");
    return std::move(p).text();
  };
  return s.take([=](const ValidationReport& r) {
    Problems p;
    p.count(deleted(r, revoked), revoked.size(), "revocations admitted");
    p.count(r.effective.deleted_grants.size(), revoked.size(), "deletions admitted");
    p.expect(r.effective.grants.contains(target), "a deletion of C's was admitted");
    p.count(r.effective.grants.size(), 2, "grants in force");
    p.expect(r.effective.authority_ref(c).manage.empty(), "C still holds an entry");
    return std::move(p).text();
  });
}

}  // namespace vornex::test::shaping
