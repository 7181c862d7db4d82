#include "vault_program_shapes.hpp"

#include <algorithm>
#include <cstdint>

namespace vornex::test {

namespace {

using namespace program;

// Values of the list shapes per record of the others.
constexpr std::uint16_t kValuesPerRecord = 5;
std::uint16_t values(std::uint16_t records) { return static_cast<std::uint16_t>(kValuesPerRecord * records); }
// Records of the prelude: three users with entry points, the root, A's grant.
constexpr std::uint16_t kPrelude = 8;
// The label-matching shapes are seeded at a quarter of the others' size:
// their cost grows with the square of it, and the mutator scales them up.
std::uint16_t small(std::uint16_t records) { return std::max<std::uint16_t>(records / 4, 2 * kPrelude); }
// Counters above any a shape's revocations reach.
constexpr std::uint16_t kPendingCounter = 1000;

// Users of the table: A manages `team`, B and C are plain members.
Code a() { return num(1); }
Code b() { return num(2); }
Code c() { return num(3); }
Code w(Word word, Suffix suffix = Suffix::None) { return text(word, suffix); }

// The root, A, B and C, and A's manage grant over `team`.
Writer prelude() {
  Writer out;
  out.user(root(), a()).user(root(), b()).user(root(), c());
  out.grant(root(), w(Word::Team), as_user(a()), manage(prefix(path({w(Word::Team)}))));
  return out;
}

Code team_b(std::initializer_list<Code> more = {}) {
  Code out{static_cast<std::uint8_t>(2 + more.size())};
  out = cat({out, w(Word::Team), w(Word::B)});
  for (const Code& m : more) out.insert(out.end(), m.begin(), m.end());
  return out;
}

Code biginlist(std::uint16_t n) {
  Writer p = prelude();
  p.grant(a(), w(Word::B), as_user(b()),
          manage(prefix(team_b(), labels({in(w(Word::L), {}, Word::V, values(n))}))));
  p.grant(b(), w(Word::X), as_user(c()),
          read(prefix(team_b({w(Word::X)}), labels({in(w(Word::L), {w(Word::W)}, Word::V, values(n))}))));
  return p.code();
}

Code biglabels(std::uint16_t n) {
  Writer p = prelude();
  p.grant(c(), w(Word::K), as_user(b()),
          read(prefix(path({w(Word::Team), w(Word::C)}), labels({equals_range(w(Word::K), values(n), w(Word::One))}))));
  return p.code();
}

// `l In [c, v<index>]`.
Code toggle_labels(Suffix index) { return labels({in(w(Word::L), {w(Word::C), w(Word::V, index)})}); }

// A's m manage grants to B, revoked newest first; B's grant "x" to C under
// each, manage at even counters and read at odd ones; C's read grants,
// which only a manage record of B's lets stand, make up the rest.
void add_toggles(Writer& p, std::uint16_t m, std::uint16_t rest) {
  const auto narrow = [] { return manage(prefix(team_b(), toggle_labels(Suffix::T))); };
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), narrow());
  p.repeat(m / 2, 2)
      .grant(b(), w(Word::X), as_user(c()), manage(prefix(team_b({w(Word::C)}), toggle_labels(Suffix::R))),
             num(1, Ix::R))
      .grant(b(), w(Word::X), as_user(c()), read(prefix(team_b({w(Word::C)}), toggle_labels(Suffix::R))),
             num(1, Ix::R));
  p.repeat(m).grant_deleted(a(), w(Word::N, Suffix::T), narrow(), num(2, Ix::Down));
  p.repeat(rest).grant(c(), w(Word::Q, Suffix::T), as_user(b()),
                       read(prefix(team_b({w(Word::C), w(Word::Q, Suffix::T)}), labels({equals(w(Word::L), w(Word::C))}))));
}

Code togglelabel(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = n / 6;
  add_toggles(p, m, n - kPrelude - 3 * m);
  return p.code();
}

Code togglegrant(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t users = n / 8;
  p.repeat(users, 2)
      .user(root(), num(4, Ix::T))
      .grant(a(), w(Word::U, Suffix::T), as_user(num(4, Ix::T)), manage(prefix(team_b())));
  const std::uint16_t left = n - kPrelude - 3 * users;
  const std::uint16_t m = left / 6;
  add_toggles(p, m, left - 3 * m);
  return p.code();
}

// A's narrow grants `team/b/s<i>` to B, and B's one grant to C rewritten
// under each at counter `counter` (i + 1 when 0); A revokes them newest
// first.
void add_revokes_under_one_grant(Writer& p, std::uint16_t count, std::uint16_t counter) {
  const auto narrow = [] { return manage(prefix(team_b({w(Word::S, Suffix::T)}))); };
  p.repeat(count, 2)
      .grant(a(), w(Word::N, Suffix::T), as_user(b()), narrow())
      .grant(b(), w(Word::X), as_user(c()), read(prefix(team_b({w(Word::S, Suffix::T), w(Word::X)}))),
             counter == 0 ? num(1, Ix::T) : num(counter));
  p.repeat(count).grant_deleted(a(), w(Word::N, Suffix::T), narrow(), num(2, Ix::Down));
}

// The rewritten-grant shape, and C's deletions of B's grant, each naming a
// permission of its own, after every revocation.
Writer pendtarget_writer(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t deletions = n / 4;
  add_revokes_under_one_grant(p, (n - kPrelude - deletions) / 3, 0);
  p.repeat(deletions).grant_deleted(c(), w(Word::X), read(prefix(team_b({w(Word::C), w(Word::P, Suffix::T)}))),
                                    num(kPendingCounter, Ix::T));
  return p;
}

Code pendtarget(std::uint16_t n) { return pendtarget_writer(n).code(); }

Code pendfakeup(std::uint16_t n) {
  Writer p = pendtarget_writer(n);
  p.repeat(n / 8).member(c(), num(100, Ix::T), as_user(c()));
  return p.code();
}

Code conflict1(std::uint16_t n) {
  Writer p = prelude();
  add_revokes_under_one_grant(p, (n - kPrelude) / 3, 5);
  return p.code();
}

// a0..a3 = 1 and z = e<index>.
Code shared_labels(Suffix index) {
  return labels({equals(w(Word::A0), w(Word::One)), equals(w(Word::A1), w(Word::One)),
                 equals(w(Word::A2), w(Word::One)), equals(w(Word::A3), w(Word::One)),
                 equals(w(Word::Z), w(Word::E, index))});
}

Code labelshare(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2;
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), manage(prefix(team_b(), shared_labels(Suffix::T))));
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()),
                    read(prefix(team_b({w(Word::X)}), shared_labels(Suffix::T))));
  return p.code();
}

Code labelsecret(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2;
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), write(prefix(team_b(), shared_labels(Suffix::T))));
  p.repeat(m).secret(b(), team_b({w(Word::X)}), shared_labels(Suffix::T));
  return p.code();
}

Code labelpresent(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2 - 1;
  p.grant(a(), w(Word::Q), as_user(b()), manage(prefix(path({w(Word::Team), w(Word::Q)}))));
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()),
                    manage(prefix(team_b({w(Word::S, Suffix::T)}), labels({present(w(Word::A))}))));
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()),
                    read(prefix(path({w(Word::Team), w(Word::Q), w(Word::X, Suffix::T)}),
                                labels({equals(w(Word::A), w(Word::V, Suffix::T))}))));
  return p.code();
}

// Holders X<i> of revoked root grants write group H's membership of G in
// turn (a membership at even counters, its deletion at odd ones); H's
// members each make a grant that only G's entry allows.
Code memberflip(std::uint16_t n) {
  Writer p = prelude();
  const Code g = num(1);
  const Code h = num(2);
  const std::uint16_t holders = n / 10;
  const std::uint16_t members = n / 8;
  const std::uint16_t first_member = 4 + holders;
  p.group(root(), g).group(root(), h);
  p.grant(root(), w(Word::G), as_group(g), manage(prefix(path({w(Word::Team), w(Word::G)}))));
  p.repeat(holders, 2)
      .user(root(), num(4, Ix::T))
      .grant(root(), w(Word::R, Suffix::T), as_user(num(4, Ix::T)), root_grant());
  p.repeat(holders / 2, 2)
      .member(num(4, Ix::R), g, as_group(h), num(1, Ix::R))
      .member_deleted(num(4, Ix::R), g, as_group(h), num(1, Ix::R));
  p.repeat(holders).grant_deleted(root(), w(Word::R, Suffix::T), root_grant(), num(2, Ix::Down));
  p.repeat(members, 2).user(root(), num(first_member, Ix::T)).member(root(), h, as_user(num(first_member, Ix::T)));
  p.repeat(members).grant(num(first_member, Ix::T), w(Word::Q, Suffix::T), as_user(c()),
                          read(prefix(path({w(Word::Team), w(Word::G), w(Word::Q, Suffix::T)}))));
  return p.code();
}

// Groups g0 .. g<d-1>, each a member of the one before; B is in the last
// and makes grants under the first's entry.
Code deepq(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t depth = n / 4;
  p.repeat(depth).group(root(), num(0, Ix::T));
  p.repeat(depth - 1).member(root(), num(0, Ix::T), as_group(num(1, Ix::T)));
  p.member(root(), num(depth - 1), as_user(b()));
  p.grant(root(), w(Word::D), as_group(num(0)), manage(prefix(path({w(Word::Team), w(Word::D)}))));
  p.repeat(n / 2).grant(b(), w(Word::Q, Suffix::T), as_user(c()),
                               read(prefix(path({w(Word::Team), w(Word::D), w(Word::Q, Suffix::T)}))));
  return p.code();
}

// Groups g0 .. g<d-1> as in deepq under a manage entry at the first; users
// each the one member of a group of their own, a member of the last, and
// each granting C a read under the entry: askers that share no group.
Code chainfanask(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t depth = n / 4;
  // Six records a user, and no more users than a program names.
  const std::uint16_t users = std::min<std::uint16_t>(n / 8, kBuilderUsers - 8);
  p.repeat(depth).group(root(), num(0, Ix::T));
  p.repeat(depth - 1).member(root(), num(0, Ix::T), as_group(num(1, Ix::T)));
  p.grant(root(), w(Word::P), as_group(num(0)), manage(prefix(path({w(Word::Team), w(Word::P)}))));
  p.repeat(users, 5)
      .group(root(), num(depth, Ix::T))
      .member(root(), num(depth - 1), as_group(num(depth, Ix::T)))
      .user(root(), num(4, Ix::T))
      .member(root(), num(depth, Ix::T), as_user(num(4, Ix::T)))
      .grant(num(4, Ix::T), w(Word::Q, Suffix::T), as_user(c()),
             read(prefix(path({w(Word::Team), w(Word::P), w(Word::Q, Suffix::T)}))));
  return p.code();
}

// Groups g0 .. g<d-1> as in deepq, each holding a manage entry of its
// own and the first one more; a user in each grants C a read that only
// that one allows, so each question passes every holder above its asker.
Code chaingrants(std::uint16_t n) {
  Writer p = prelude();
  // Six records a level, and no more users than a program names.
  const std::uint16_t depth = std::min<std::uint16_t>(n / 6, kBuilderUsers - 8);
  p.repeat(depth).group(root(), num(0, Ix::T));
  p.repeat(depth - 1).member(root(), num(0, Ix::T), as_group(num(1, Ix::T)));
  p.repeat(depth).grant(root(), w(Word::L, Suffix::T), as_group(num(0, Ix::T)),
                        manage(prefix(path({w(Word::Team), w(Word::L, Suffix::T)}))));
  p.grant(root(), w(Word::P), as_group(num(0)), manage(prefix(path({w(Word::Team), w(Word::P)}))));
  p.repeat(depth, 3)
      .user(root(), num(4, Ix::T))
      .member(root(), num(0, Ix::T), as_user(num(4, Ix::T)))
      .grant(num(4, Ix::T), w(Word::Q, Suffix::T), as_user(c()),
             read(prefix(path({w(Word::Team), w(Word::P), w(Word::Q, Suffix::T)}))));
  return p.code();
}

// --- Label matching, small forms ---------------------------------------------
// Entries that share one value of a key and differ by a private one, so
// that each is an entry of its own and all of them meet every question on
// that key.

// `a In [1, v<index>]`, with `b Absent` when asked.
Code shared_in(Suffix index, bool b_absent = false) {
  if (b_absent) return labels({in(w(Word::A), {w(Word::One), w(Word::V, index)}), absent(w(Word::B))});
  return labels({in(w(Word::A), {w(Word::One), w(Word::V, index)})});
}
Code a1() { return labels({equals(w(Word::A), w(Word::One))}); }
Code a1_b1() { return labels({equals(w(Word::A), w(Word::One)), equals(w(Word::B), w(Word::One))}); }

// A's entries `Manage team/b@{a In [1, v<i>]}` to B, made last first so
// that revoking them in the order of t takes the newest first; B's grants
// `Manage team/b/c<j>@{a=1}` to C, which each of them covers; C's deletion
// nobody may make, asked again at every change; A revokes all but the
// first made.
Code inrevoke(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 3;
  const auto entry = [] { return manage(prefix(team_b(), shared_in(Suffix::Down))); };
  p.repeat(m).grant(a(), w(Word::N, Suffix::Down), as_user(b()), entry());
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()), manage(prefix(team_b({w(Word::C, Suffix::T)}), a1())));
  p.grant_deleted(c(), w(Word::P), manage(prefix(team_b({w(Word::Q)}))), num(kPendingCounter));
  p.repeat(m - 1).grant_deleted(a(), w(Word::N, Suffix::Down), entry(), num(2));
  return p.code();
}

// A's `Manage team/b/q` to B and entries `team/b@{a In [1, v<i>], b Absent}`
// that cover nothing B writes: B's read grants `team/b/q/x<j>@{a=1, b=1}`.
Code inscan(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2;
  p.grant(a(), w(Word::Q), as_user(b()), manage(prefix(team_b({w(Word::Q)}))));
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), manage(prefix(team_b(), shared_in(Suffix::T, true))));
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()), read(prefix(team_b({w(Word::Q), w(Word::X, Suffix::T)}), a1_b1())));
  return p.code();
}

// inscan with write entries and B's secrets `team/b/w/x<j>@{a=1, b=1}`.
Code insecret(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2;
  p.grant(a(), w(Word::W), as_user(b()), write(prefix(team_b({w(Word::W)}))));
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), write(prefix(team_b(), shared_in(Suffix::T, true))));
  p.repeat(m).secret(b(), team_b({w(Word::W), w(Word::X, Suffix::T)}), a1_b1());
  return p.code();
}

// inscan's entries, and B's grants to C whose own selectors hold In lists,
// deleted by B: each deletion's target asks through every entry.
Code indel(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 3;
  const auto target = [] {
    return read(prefix(team_b({w(Word::Q), w(Word::X, Suffix::T)}),
                       labels({in(w(Word::A), {w(Word::One), w(Word::W, Suffix::T)}), equals(w(Word::B), w(Word::One))})));
  };
  p.grant(a(), w(Word::Q), as_user(b()), manage(prefix(team_b({w(Word::Q)}))));
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), manage(prefix(team_b(), shared_in(Suffix::T, true))));
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()), target());
  p.repeat(m).grant_deleted(b(), w(Word::X, Suffix::T), target(), num(2));
  return p.code();
}

// A's manage entries to B at every depth of one path `team/d/d/...`, B's
// grant to C at the deepest, and A's revocations, deepest first.
Code nestgrow(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude - 1) / 2;
  const auto at_depth = [](Ix ix) { return manage(prefix(deep_path({w(Word::Team)}, num(1, ix), w(Word::D)))); };
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()), at_depth(Ix::T));
  p.grant(b(), w(Word::X), as_user(c()), read(prefix(deep_path({w(Word::Team)}, num(m), w(Word::D), w(Word::X)))));
  p.repeat(m).grant_deleted(a(), w(Word::N, Suffix::Down), at_depth(Ix::Down), num(2));
  return p.code();
}

// Group g0 of numbered users (past the builder's), each granting C one
// read under the root's entry for g0; A gives g0 narrow entries and
// revokes them newest first, each change asking every member's grant again.
Code groupask(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t members = n / 8;
  const std::uint16_t narrow = n / 4;
  const Code first = numbered(0, Ix::T);
  const auto entry = [] { return manage(prefix(path({w(Word::Team), w(Word::G), w(Word::S, Suffix::T)}))); };
  p.group(root(), num(0));
  p.grant(root(), w(Word::G), as_group(num(0)), manage(prefix(path({w(Word::Team), w(Word::G)}))));
  p.repeat(members, 3)
      .user(root(), first)
      .member(root(), num(0), as_user(first))
      .grant(first, w(Word::Q, Suffix::T), as_user(c()), read(prefix(path({w(Word::Team), w(Word::G), w(Word::Q, Suffix::T)}))));
  p.repeat(narrow).grant(a(), w(Word::N, Suffix::T), as_group(num(0)), entry());
  p.repeat(narrow).grant_deleted(a(), w(Word::N, Suffix::Down), manage(prefix(path({w(Word::Team), w(Word::G), w(Word::S, Suffix::Down)}))), num(2));
  return p.code();
}

// A ring of managers, each giving the next `Manage team/r`, which hangs on
// A's grant to the first, rewritten at rising counters between manage and
// read so that it comes and goes; each manager's read grant to C.
Code neversettle(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t ring = n / 8;
  const std::uint16_t flips = n / 4;
  const auto r = [] { return manage(prefix(path({w(Word::Team), w(Word::R)}))); };
  p.repeat(ring).user(root(), num(4, Ix::T));
  p.repeat(ring - 1).grant(num(4, Ix::T), w(Word::R, Suffix::T), as_user(num(5, Ix::T)), r());
  p.grant(num(static_cast<std::uint16_t>(4 + ring - 1)), w(Word::R), as_user(num(4)), r());
  p.repeat(ring).grant(num(4, Ix::T), w(Word::Q, Suffix::T), as_user(c()),
                       read(prefix(path({w(Word::Team), w(Word::R), w(Word::Q, Suffix::T)}))));
  p.repeat(flips, 2)
      .grant(a(), w(Word::X), as_user(num(4)), r(), num(1, Ix::R))
      .grant(a(), w(Word::X), as_user(num(4)), read(prefix(path({w(Word::Team), w(Word::R)}))), num(1, Ix::R));
  return p.code();
}

// Paths of empty segments: A's entries `team` then t empty segments, and
// B's grants under the deepest, one empty segment more each.
Code emptyseg(std::uint16_t n) {
  Writer p = prelude();
  const std::uint16_t m = (n - kPrelude) / 2;
  p.repeat(m).grant(a(), w(Word::N, Suffix::T), as_user(b()),
                    manage(prefix(deep_path({w(Word::Team)}, num(0, Ix::T), w(Word::Empty)), a1())));
  p.repeat(m).grant(b(), w(Word::X, Suffix::T), as_user(c()),
                    read(prefix(deep_path({w(Word::Team)}, num(0, Ix::T), w(Word::Empty), w(Word::Empty)), a1_b1())));
  return p.code();
}

// --- Plain vaults ----------------------------------------------------------

constexpr std::uint16_t kPlainUsers = 20;
// Of every user's secrets together, per record of the vault.
constexpr std::uint16_t kSecretsPerUser = kPlainUsers * 2;

// An organisation: users in groups with read grants, a manager giving
// each user a write grant, and each user's secrets.
Code plain_org(std::uint16_t n) {
  Writer p = prelude();
  p.repeat(kPlainUsers).user(root(), num(4, Ix::T));
  p.repeat(kPlainUsers / 2).group(root(), num(0, Ix::T));
  p.repeat(kPlainUsers).member(root(), num(0, Ix::Half), as_user(num(4, Ix::T)));
  p.repeat(kPlainUsers / 2).grant(root(), w(Word::G, Suffix::T), as_group(num(0, Ix::T)),
                                  read(prefix(path({w(Word::Team), w(Word::G, Suffix::T)}))));
  p.repeat(kPlainUsers).grant(a(), w(Word::U, Suffix::T), as_user(num(4, Ix::T)),
                              write(prefix(path({w(Word::Team), w(Word::U, Suffix::T)}))));
  p.repeat(kPlainUsers).repeat(static_cast<std::uint16_t>(n / kSecretsPerUser)).secret(
      num(4, Ix::OuterT), path({w(Word::Team), w(Word::U, Suffix::OuterT), w(Word::Y, Suffix::T)}),
      labels({equals(w(Word::Env), w(Word::Prod))}));
  return p.code();
}

// kPlainUsers members of group g0.
void add_team(Writer& p) {
  p.repeat(kPlainUsers).user(root(), num(4, Ix::T));
  p.group(root(), num(0));
  p.repeat(kPlainUsers).member(root(), num(0), as_user(num(4, Ix::T)));
}

// The root grants and deletes, the way an administrator tidies up.
Code plain_deletions(std::uint16_t n) {
  Writer p = prelude();
  add_team(p);
  // Fewer than the other shapes: the reference computes a state per deletion.
  const std::uint16_t grants = n / 8;
  const auto granted = [] { return read(prefix(path({w(Word::App), w(Word::S, Suffix::T)}))); };
  p.repeat(grants).grant(root(), w(Word::R, Suffix::T), as_group(num(0)), granted());
  p.repeat(grants).grant_deleted(root(), w(Word::R, Suffix::T), granted(), num(2));
  return p.code();
}

// Labelled grants from A to the team, with short In lists: more bytes a
// record, as the list shapes have, spread over many records.
Code plain_labelled(std::uint16_t n) {
  Writer p = prelude();
  add_team(p);
  p.repeat(n - kPrelude - kPlainUsers * 3)
      .grant(a(), w(Word::N, Suffix::T), as_group(num(0)),
             read(prefix(path({w(Word::Team), w(Word::S, Suffix::T)}),
                         labels({equals(w(Word::Env), w(Word::Prod)), in(w(Word::L), {w(Word::C)}, Word::V, 16)}))));
  return p.code();
}

}  // namespace

std::vector<ProgramShape> validate_work_shapes(std::uint16_t records) {
  return {
      {"biginlist", biginlist(records)},
      {"biglabels", biglabels(records)},
      {"togglelabel", togglelabel(records)},
      {"pendtarget", pendtarget(records)},
      {"pendfakeup", pendfakeup(records)},
      {"conflict1", conflict1(records)},
      {"labelshare", labelshare(records)},
      {"labelsecret", labelsecret(records)},
      {"labelpresent", labelpresent(records)},
      {"togglegrant", togglegrant(records)},
      {"memberflip", memberflip(records)},
      {"deepq", deepq(records)},
      {"chainfanask", chainfanask(records)},
      {"chaingrants", chaingrants(records)},
      {"inrevoke", inrevoke(small(records))},
      {"inscan", inscan(small(records))},
      {"insecret", insecret(small(records))},
      {"indel", indel(small(records))},
      {"nestgrow", nestgrow(small(records))},
      {"groupask", groupask(small(records))},
      {"neversettle", neversettle(small(records))},
      {"emptyseg", emptyseg(small(records))},
      {"plain-org", plain_org(records), false},
      {"plain-deletions", plain_deletions(records), false},
      {"plain-labelled", plain_labelled(records), false},
  };
}

}  // namespace vornex::test
