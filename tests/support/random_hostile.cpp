#include "random_hostile.hpp"

#include <algorithm>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace vornex::test {

namespace {

using namespace core;
using crypto::Identity;

// Actors of the hostile shapes, sixteen per shape: no other record names
// them, so one that must hold nothing else does not.
constexpr std::uint8_t kHostileActors = 100;
constexpr unsigned kActorsPerShape = 16;
// How often a role goes to a user the random records name too; the root
// enrols it again above their counters, so the role is played.
constexpr unsigned kSharedUserPercent = 30;
constexpr std::uint64_t kSharedEnrolCounter = 4;
// How often a grant goes to someone of the random records instead.
constexpr unsigned kOtherGranteePercent = 15;
// Sizes are small: the reference computes a state per admitted deletion.
constexpr std::uint64_t kMinInList = 3;
constexpr std::uint64_t kInListSpread = 16;
constexpr std::uint64_t kMinLabels = 4;
constexpr std::uint64_t kLabelSpread = 20;
constexpr std::uint64_t kMinRevoked = 2;
constexpr std::uint64_t kRevokedSpread = 3;
constexpr std::uint64_t kMinUses = 2;
constexpr std::uint64_t kUseSpread = 4;
constexpr std::uint64_t kMinDepth = 2;
constexpr std::uint64_t kDepthSpread = 3;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kCiphertextBytes = 16;

const std::vector<KeyspaceGrantClassV1>& all_classes() {
  static const std::vector<KeyspaceGrantClassV1> all = {grant_class::Read{}, grant_class::Write{},
                                                        grant_class::Manage{}};
  return all;
}

GrantPermissionV1 manage(KeyspaceSelectorV1 selector) { return ManageKeyspaceGrantV1{std::move(selector), all_classes()}; }

std::vector<std::string> sorted(std::vector<std::string> values) {
  std::ranges::sort(values);
  return values;
}

class Planter {
 public:
  Planter(const HostileScene& scene, HostileShape shape, std::uint64_t index)
      : s_(scene), index_(index), p_("hs" + std::to_string(index) + "-"), planted_{shape, {}, {}, {}, {}, {}, {}, {}, {}, {}} {
    static const std::vector<std::vector<std::string>> kBases = {{"team"}, {"team"}, {"app"}, {}};
    base_ = rng().pick(kBases);
  }

  PlantedHostile plant() {
    using enum HostileShape;
    switch (planted_.shape) {
      case BigInList: big_in_list(); break;
      case BigLabels: big_labels(); break;
      case ToggleLabel: toggle(false); break;
      case PendTarget: rewritten(true, false, false); break;
      case PendFakeUp: rewritten(true, true, false); break;
      case Conflict1: rewritten(false, false, true); break;
      case LabelShare: label_share(false); break;
      case LabelSecret: label_share(true); break;
      case LabelPresent: label_present(); break;
      case ToggleGrant: toggle(true); break;
      case MemberFlip: member_flip(); break;
      case DeepQ: deep_q(); break;
      case ChainWrite:
      case ChainUsers:
      case ChainFan:
      case ChainLevels:
      case ChainGrants:
      case ChainAsk:
      case ChainFanAsk:
      case ChainPairs:
      case ChainPairGrants:
      case PendChain:
      case InRevoke:
      case InScan:
      case InSecret:
      case InDel:
      case NestGrow:
      case GroupAsk:
      case GroupAskKeep:
      case NeverSettle:
      case EmptyPath:
      case AbsentScan:
      case AbsentSecret: throw std::invalid_argument("a shape whose size is its point is not planted");
    }
    return std::move(planted_);
  }

 private:
  SeededRng& rng() const { return s_.rng; }
  const VaultBuilder& b() const { return s_.b; }
  const Identity& root() const { return s_.b.root(); }
  void add(VaultRecordV1 record) { s_.out.push_back(std::move(record)); }

  const Identity& actor(unsigned i) const {
    return b().identity(static_cast<std::uint8_t>(kHostileActors + kActorsPerShape * index_ + i));
  }
  void enrol(const Identity& user, std::uint64_t counter = 0) {
    add(b().user(root(), user, counter));
    add(b().entry_point(user, counter));
  }
  // Actor i, or now and then a user of the random records that plays no
  // other part here; enrolled by the root.
  const Identity& cast(unsigned i) {
    const Identity* who = &actor(i);
    if (!s_.users.empty() && rng().percent(kSharedUserPercent)) {
      const Identity* user = rng().pick(s_.users);
      if (std::ranges::find(cast_, user) == cast_.end()) who = user;
    }
    cast_.push_back(who);
    enrol(*who, who == &actor(i) ? 0 : kSharedEnrolCounter);
    return *who;
  }
  // Mostly `usual`, now and then a user of the random records.
  PrincipalRefV1 someone(const Identity& usual) {
    if (!s_.users.empty() && rng().percent(kOtherGranteePercent)) return rng().pick(s_.users)->user_id();
    return usual.user_id();
  }

  // A selector below K; K itself for no segments.
  KeyspaceSelectorV1 under(std::vector<std::string> segments, std::vector<KeyspaceLabelMatcherV1> labels = {}) const {
    std::vector<std::string> path = base_;
    path.insert(path.end(), segments.begin(), segments.end());
    std::ranges::sort(labels, {}, &KeyspaceLabelMatcherV1::key);
    if (path.empty()) return KeyspaceSelectorV1{tuple_matcher::Any{}, std::move(labels)};
    return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, std::move(labels)};
  }
  std::vector<std::string> path(std::vector<std::string> segments) const {
    std::vector<std::string> out = base_;
    out.insert(out.end(), segments.begin(), segments.end());
    return out;
  }

  GrantId grant(const Identity& signer, const std::string& name, PrincipalRefV1 grantee, GrantPermissionV1 permission,
                std::uint64_t counter) {
    add(b().grant(signer, p_ + name, std::move(grantee), std::move(permission), counter));
    return b().grant_id(p_ + name);
  }
  GroupId group(const std::string& name) {
    add(b().group(root(), p_ + name, 0));
    return b().group_id(p_ + name);
  }

  // A, the manager of K from the root.
  const Identity& team() {
    const Identity& a = cast(0);
    planted_.authority.push_back(grant(root(), "src", a.user_id(), manage(under({})), rng().below(2)));
    return a;
  }
  // B itself, or now and then a group the root made with B in it.
  PrincipalRefV1 holder(const Identity& user) {
    if (!rng().percent(20)) return user.user_id();
    const GroupId g = group("holder");
    add(b().member(root(), g, user.user_id(), rng().below(2)));
    return g;
  }
  GrantPermissionV1 any_kind(KeyspaceSelectorV1 selector) {
    const std::uint64_t roll = rng().below(3);
    if (roll == 0) return grant_permission::Read{std::move(selector)};
    if (roll == 1) return grant_permission::Write{std::move(selector)};
    return manage(std::move(selector));
  }
  SealedPayloadV1 payload(const Identity& reader) {
    SealedPayloadV1 p;
    for (std::size_t i = 0; i < kNonceBytes; ++i) p.nonce.push_back(static_cast<std::uint8_t>(rng().next()));
    for (std::size_t i = 0; i < kCiphertextBytes; ++i) p.ciphertext.push_back(static_cast<std::uint8_t>(rng().next()));
    p.recipient_slots.push_back(RecipientSlotV1{reader.user_id().to_vec(), {1, 2}, {3, 4}});
    return p;
  }

  // The grantor deletes the grants one by one, each naming what it gave:
  // mostly newest first, sometimes oldest first or in any order, now and
  // then two at one counter or one left standing.
  void revoke(const Identity& grantor, const std::vector<std::pair<GrantId, GrantPermissionV1>>& given,
              std::uint64_t above) {
    std::vector<std::size_t> order(given.size());
    std::iota(order.begin(), order.end(), 0);
    const std::uint64_t roll = rng().below(100);
    if (roll < 65) {
      std::ranges::reverse(order);
    } else if (roll >= 80) {
      rng().shuffle(order);
    }
    std::uint64_t at = above + 1 + rng().below(2);
    for (const std::size_t i : order) {
      planted_.revoked.push_back(given[i].first);
      if (rng().percent(8)) continue;
      add(b().grant_deleted(grantor, given[i].first, given[i].second, at));
      if (!rng().percent(10)) ++at;
    }
  }

  void big_in_list() {
    const Identity& a = team();
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const std::string key = rng().percent(60) ? "l" : "env";
    const std::uint64_t n = kMinInList + rng().below(kInListSpread);
    std::vector<std::string> values;
    for (std::uint64_t i = 0; i < n; ++i) values.push_back("v" + std::to_string(i));
    values = sorted(std::move(values));
    planted_.authority.push_back(
        grant(a, "big", holder(user), manage(under({"b"}, {{key, label_matcher::In{values}}})), rng().below(2)));
    // Now and then a second list that overlaps the first: what needs both
    // lists is covered by neither entry.
    std::vector<std::string> second;
    if (rng().percent(30)) {
      for (std::uint64_t i = n / 2; i < n + 3; ++i) second.push_back("v" + std::to_string(i));
      second = sorted(std::move(second));
      grant(a, "big2", user.user_id(), manage(under({"b"}, {{key, label_matcher::In{second}}})), rng().below(2));
      const std::string only_second = "v" + std::to_string(n + 2);
      const KeyspaceSelectorV1 both = under({"b", "both"}, {{key, label_matcher::In{sorted({"v0", only_second})}}});
      planted_.refused.push_back(grant(user, "both", someone(c), any_kind(both), rng().below(2)));
    }
    // The list and one value more; or a part of the list, one value of it,
    // or any value at all.
    static const std::vector<std::string> kBeyond = {"w", "a", "v"};
    std::vector<std::string> wider = values;
    wider.push_back(rng().pick(kBeyond));
    wider = sorted(std::move(wider));
    const std::uint64_t writes = 1 + rng().below(3);
    for (std::uint64_t j = 0; j < writes; ++j) {
      LabelMatcherV1 matcher = label_matcher::In{wider};
      bool covered = false;
      const std::uint64_t roll = j == 0 ? 100 : rng().below(100);
      if (roll < 35) {
        std::vector<std::string> part;
        for (const std::string& v : values) {
          if (rng().percent(50)) part.push_back(v);
        }
        if (part.empty()) part.push_back(rng().pick(values));
        matcher = label_matcher::In{std::move(part)};
        covered = true;
      } else if (roll < 55) {
        matcher = label_matcher::Equals{rng().pick(values)};
        covered = true;
      } else if (roll < 65) {
        matcher = label_matcher::Present{};
      }
      const KeyspaceSelectorV1 where = under({"b", "x" + std::to_string(j)}, {{key, std::move(matcher)}});
      const GrantId id = grant(user, "w" + std::to_string(j), someone(c), any_kind(where), rng().below(2));
      (covered ? planted_.wanted : planted_.refused).push_back(id);
    }
  }

  void big_labels() {
    // Without a grant of its own, C is one of the shape's actors: a user of
    // the random records may hold what covers its grant.
    const bool covered = rng().percent(50);
    const Identity& c = covered ? cast(2) : actor(2);
    if (!covered) enrol(c);
    const std::uint64_t n = kMinLabels + rng().below(kLabelSpread);
    std::vector<KeyspaceLabelMatcherV1> labels;
    std::vector<std::size_t> equals;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::string key = std::to_string(i);
      key = "k" + std::string(6 - key.size(), '0') + key;
      const std::uint64_t roll = rng().below(10);
      if (roll == 0) {
        labels.push_back({key, label_matcher::Present{}});
      } else if (roll == 1) {
        labels.push_back({key, label_matcher::In{{"1", "2"}}});
      } else {
        equals.push_back(labels.size());
        labels.push_back({key, label_matcher::Equals{"1"}});
      }
    }
    if (equals.empty()) {
      labels.front().matcher = label_matcher::Equals{"1"};
      equals.push_back(0);
    }
    const KeyspaceLabelMatcherV1 asked = labels[rng().pick(equals)];
    const Identity& d = cast(3);
    const GrantId id = grant(c, "wide", someone(d), any_kind(under({"c"}, std::move(labels))), rng().below(2));
    if (covered) {
      planted_.authority.push_back(grant(root(), "cover", c.user_id(), manage(under({"c"}, {asked})), rng().below(2)));
      planted_.wanted.push_back(id);
    } else {
      planted_.refused.push_back(id);
    }
  }

  void toggle(bool with_managers) {
    const Identity& a = team();
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const Identity& d = cast(3);
    const std::string key = rng().percent(60) ? "l" : "env";
    const std::uint64_t m = kMinRevoked + rng().below(kRevokedSpread);
    const std::uint64_t parity = rng().below(2);
    const std::uint64_t offset = rng().below(2);
    const PrincipalRefV1 to = holder(user);
    std::vector<std::pair<GrantId, GrantPermissionV1>> given;
    for (std::uint64_t i = 0; i < m; ++i) {
      const std::vector<KeyspaceLabelMatcherV1> pair = {{key, label_matcher::In{{"c", "v" + std::to_string(i)}}}};
      const GrantPermissionV1 narrow = manage(under({"b"}, pair));
      given.emplace_back(grant(a, "n" + std::to_string(i), to, narrow, rng().below(2)), narrow);
      // Under it, the one grant to C again: manage and read in turn.
      const KeyspaceSelectorV1 where = rng().percent(70) ? under({"b"}, pair) : under({"b", "c"}, pair);
      const GrantPermissionV1 use =
          (i + parity) % 2 == 0 ? manage(where) : GrantPermissionV1{grant_permission::Read{where}};
      grant(user, "bc", c.user_id(), use, i + 1 + offset);
    }
    planted_.contested = record_key::Grant{b().grant_id(p_ + "bc")};
    const std::uint64_t uses = 1 + rng().below(kUseSpread);
    for (std::uint64_t j = 0; j < uses; ++j) {
      const LabelMatcherV1 only_c = rng().percent(70) ? LabelMatcherV1{label_matcher::Equals{"c"}}
                                                      : LabelMatcherV1{label_matcher::In{{"c"}}};
      grant(c, "q" + std::to_string(j), someone(d),
            grant_permission::Read{under({"b", "c", "q" + std::to_string(j)}, {{key, only_c}})}, rng().below(2));
    }
    // Now and then the root revokes instead, or writes A's grant again,
    // unchanged, among the revocations.
    revoke(rng().percent(20) ? root() : a, given, 1);
    if (rng().percent(10)) grant(root(), "src", a.user_id(), manage(under({})), 2 + rng().below(2));
    if (!with_managers) return;
    const std::uint64_t managers = 1 + rng().below(4);
    for (std::uint64_t j = 0; j < managers; ++j) {
      const Identity& other = actor(static_cast<unsigned>(4 + j));
      enrol(other);
      planted_.wanted.push_back(grant(a, "m" + std::to_string(j), other.user_id(), manage(under({"b"})), rng().below(2)));
    }
  }

  // B's one grant to C written again under each revoked narrow grant; with
  // C's deletions of it, with C's memberships in groups nobody made, or
  // with every write at one counter.
  void rewritten(bool pend, bool fake, bool conflicted) {
    const Identity& a = team();
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const std::uint64_t m = kMinRevoked + rng().below(kRevokedSpread);
    const std::uint64_t offset = rng().below(2);
    const std::uint64_t one = 1 + rng().below(4);
    std::vector<std::pair<GrantId, GrantPermissionV1>> given;
    for (std::uint64_t i = 0; i < m; ++i) {
      const std::string s = "s" + std::to_string(i);
      const GrantPermissionV1 narrow = manage(under({"b", s}));
      given.emplace_back(grant(a, "n" + std::to_string(i), user.user_id(), narrow, rng().below(2)), narrow);
      grant(user, "bc", c.user_id(), grant_permission::Read{under({"b", s, "x"})}, conflicted ? one : i + 1 + offset);
    }
    const GrantId bc = b().grant_id(p_ + "bc");
    planted_.contested = record_key::Grant{bc};
    revoke(a, given, 1);
    if (pend) {
      const std::uint64_t deletions = 1 + rng().below(4);
      for (std::uint64_t j = 0; j < deletions; ++j) {
        const std::string s = j < m && rng().percent(50) ? "s" + std::to_string(j) : "p" + std::to_string(j);
        add(b().grant_deleted(c, bc, grant_permission::Read{under({"b", s, "x"})}, 1 + rng().below(m + 3)));
      }
      planted_.pending = bc;
    }
    if (fake) {
      const std::uint64_t memberships = 1 + rng().below(4);
      for (std::uint64_t j = 0; j < memberships; ++j) {
        const GroupId nobody = b().group_id(p_ + "fake" + std::to_string(j));
        add(b().member(c, nobody, c.user_id(), rng().below(2)));
        planted_.fake_members.push_back(b().member_id(nobody, c.user_id()));
      }
    }
  }

  void label_share(bool secrets) {
    const Identity& a = team();
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const std::uint64_t shared = 2 + rng().below(3);
    const auto labels = [&](const std::string& z, std::uint64_t skip) {
      std::vector<KeyspaceLabelMatcherV1> out;
      for (std::uint64_t k = 0; k < shared; ++k) {
        if (k != skip) out.push_back({"a" + std::to_string(k), label_matcher::Equals{"1"}});
      }
      out.push_back({"z", label_matcher::Equals{z}});
      return out;
    };
    const std::uint64_t m = kMinUses + rng().below(kUseSpread);
    const PrincipalRefV1 to = holder(user);
    // Now and then each entry also takes the next value, the last one
    // excepted: a value is then covered by one or two entries.
    const bool overlapping = rng().percent(30);
    for (std::uint64_t i = 0; i < m; ++i) {
      KeyspaceSelectorV1 where = under({"b"}, labels("e" + std::to_string(i), shared));
      if (overlapping && i + 1 < m) {
        where.labels.back().matcher = label_matcher::In{sorted({"e" + std::to_string(i), "e" + std::to_string(i + 1)})};
      }
      grant(a, "e" + std::to_string(i), to,
            secrets ? GrantPermissionV1{grant_permission::Write{where}} : manage(where), rng().below(2));
    }
    // Each use is covered by entry `z`; one more now and then by none: for
    // a value never granted, or without one of the shared labels.
    const std::uint64_t uses = kMinUses + rng().below(kUseSpread);
    const bool uncovered = rng().percent(40);
    for (std::uint64_t j = 0; j < uses + (uncovered ? 1 : 0); ++j) {
      const bool last = j == uses;
      const bool drop = last && rng().percent(50);
      const std::string z = "e" + std::to_string(last && !drop ? m : rng().below(m));
      std::vector<KeyspaceLabelMatcherV1> matchers = labels(z, drop ? rng().below(shared) : shared);
      if (rng().percent(25)) matchers.push_back({"team", label_matcher::Equals{"a"}});
      const std::string name = "x" + std::to_string(j);
      if (secrets) {
        std::vector<SecretLabelV1> secret_labels;
        for (const KeyspaceLabelMatcherV1& matcher : matchers) {
          secret_labels.push_back({matcher.key, std::get<label_matcher::Equals>(matcher.matcher).value});
        }
        std::ranges::sort(secret_labels, {}, &SecretLabelV1::key);
        const SecretSelectorV1 selector{path({"b", name}), std::move(secret_labels)};
        const SecretId id = b().secret_id(selector);
        add(b().sign(user, SecretRecordV1{id, selector, payload(user), rng().below(2)}));
        (last ? planted_.unauthorised : planted_.secrets).push_back(id);
      } else {
        const GrantId id = grant(user, name, someone(c), grant_permission::Read{under({"b", name}, std::move(matchers))},
                                 rng().below(2));
        (last ? planted_.refused : planted_.wanted).push_back(id);
      }
    }
  }

  void label_present() {
    const Identity& a = team();
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const std::string key = rng().percent(60) ? "a" : "env";
    planted_.authority.push_back(grant(a, "q", user.user_id(), manage(under({"q"})), rng().below(2)));
    const std::uint64_t m = kMinUses + rng().below(kUseSpread);
    for (std::uint64_t i = 0; i < m; ++i) {
      grant(a, "s" + std::to_string(i), user.user_id(),
            manage(under({"b", "s" + std::to_string(i)}, {{key, label_matcher::Present{}}})), rng().below(2));
    }
    const std::uint64_t uses = kMinUses + rng().below(kUseSpread);
    for (std::uint64_t j = 0; j < uses; ++j) {
      const std::string x = "x" + std::to_string(j);
      planted_.wanted.push_back(grant(user, x, someone(c),
                                      grant_permission::Read{under({"q", x}, {{key, label_matcher::Equals{"v" + std::to_string(j)}}})},
                                      rng().below(2)));
    }
    // Now and then one inside a labelled entry, for a value of its label,
    // for any, or for none; and one beside them all.
    if (rng().percent(30)) {
      const std::string s = "s" + std::to_string(rng().below(m));
      std::vector<KeyspaceLabelMatcherV1> labels;
      const std::uint64_t roll = rng().below(5);
      if (roll == 0) labels.push_back({key, label_matcher::Equals{"v"}});
      if (roll == 1) labels.push_back({key, label_matcher::In{{"v", "w"}}});
      if (roll == 2) labels.push_back({key, label_matcher::Present{}});
      if (roll == 3) labels.push_back({key, label_matcher::Absent{}});
      const GrantId id = grant(user, "in", someone(c), grant_permission::Read{under({"b", s, "y"}, std::move(labels))},
                               rng().below(2));
      (roll < 3 ? planted_.wanted : planted_.refused).push_back(id);
    }
    if (rng().percent(30)) {
      planted_.refused.push_back(grant(user, "beside", someone(c),
                                       grant_permission::Read{under({"b", "t"}, {{key, label_matcher::Equals{"v"}}})},
                                       rng().below(2)));
    }
  }

  void member_flip() {
    const bool by_root = rng().percent(40);
    const Identity& x = by_root ? root() : cast(0);
    if (!by_root) planted_.authority.push_back(grant(root(), "x", x.user_id(), grant_permission::Root{}, rng().below(2)));
    const GroupId g = group("flip-g");
    const GroupId h = group("flip-h");
    planted_.authority.push_back(grant(root(), "g", g, manage(under({"g"})), rng().below(2)));
    if (rng().percent(20)) add(b().member(root(), g, h, 0));
    const std::uint64_t m = kMinRevoked + rng().below(kRevokedSpread);
    const std::uint64_t parity = rng().below(2);
    const std::uint64_t offset = rng().below(2);
    std::vector<std::pair<GrantId, GrantPermissionV1>> given;
    for (std::uint64_t i = 0; i < m; ++i) {
      const Identity& y = cast(static_cast<unsigned>(1 + i));
      given.emplace_back(grant(x, "y" + std::to_string(i), y.user_id(), grant_permission::Root{}, rng().below(2)),
                         grant_permission::Root{});
      const std::uint64_t at = i + 1 + offset;
      add((i + parity) % 2 == 0 ? b().member(y, g, h, at) : b().member_deleted(y, g, h, at));
    }
    planted_.contested = record_key::GroupMember{b().member_id(g, h)};
    const std::uint64_t members = 2 + rng().below(4);
    for (std::uint64_t j = 0; j < members; ++j) {
      const Identity& u = cast(static_cast<unsigned>(8 + j));
      add(b().member(root(), h, u.user_id(), rng().below(2)));
      const std::string name = "u" + std::to_string(j);
      if (rng().percent(70)) {
        grant(u, name, someone(u), grant_permission::Read{under({"g", name})}, rng().below(2));
      } else {
        const SecretSelectorV1 selector{path({"g", name}), {}};
        add(b().sign(u, SecretRecordV1{b().secret_id(selector), selector, payload(u), rng().below(2)}));
      }
    }
    revoke(x, given, 1);
  }

  void deep_q() {
    const Identity& user = cast(1);
    const Identity& c = cast(2);
    const std::uint64_t depth = kMinDepth + rng().below(kDepthSpread);
    std::vector<GroupId> chain;
    for (std::uint64_t i = 0; i < depth; ++i) chain.push_back(group("d" + std::to_string(i)));
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) add(b().member(root(), chain[i], chain[i + 1], rng().below(2)));
    add(b().member(root(), chain.back(), user.user_id(), rng().below(2)));
    if (rng().percent(15)) add(b().member(root(), chain.back(), chain.front(), 0));  // a cycle
    const GrantPermissionV1 entry = manage(under({"b"}));
    if (rng().percent(50)) {
      planted_.authority.push_back(grant(root(), "entry", chain.front(), entry, rng().below(2)));
    } else {
      planted_.authority.push_back(grant(team(), "entry", chain.front(), entry, rng().below(2)));
    }
    const std::uint64_t uses = kMinUses + rng().below(kUseSpread);
    for (std::uint64_t j = 0; j < uses; ++j) {
      const std::string x = "x" + std::to_string(j);
      planted_.wanted.push_back(grant(user, x, someone(c), any_kind(under({"b", x})), rng().below(2)));
    }
  }

  const HostileScene& s_;
  std::uint64_t index_;
  std::string p_;
  PlantedHostile planted_;
  std::vector<std::string> base_;  // K's path
  std::vector<const Identity*> cast_;
};

}  // namespace

PlantedHostile plant_hostile(HostileShape shape, std::uint64_t index, const HostileScene& scene) {
  return Planter(scene, shape, index).plant();
}

}  // namespace vornex::test
