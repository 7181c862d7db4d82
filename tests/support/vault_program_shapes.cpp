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
  const std::uint16_t users = std::min<std::uint16_t>(n / 8, kProgramUsers - 8);
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
  const std::uint16_t depth = std::min<std::uint16_t>(n / 6, kProgramUsers - 8);
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
      {"plain-org", plain_org(records), false},
      {"plain-deletions", plain_deletions(records), false},
      {"plain-labelled", plain_labelled(records), false},
  };
}

}  // namespace vornex::test
