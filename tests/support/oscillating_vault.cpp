#include "oscillating_vault.hpp"

#include <string>
#include <utility>

namespace vornex::test {

namespace {

using core::GrantPermissionV1;
using core::PrincipalRefV1;

// splitmix64, as the random vaults use.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t below(std::uint64_t n) {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return n == 0 ? 0 : (z ^ (z >> 31)) % n;
  }
  bool percent(unsigned p) { return below(100) < p; }

 private:
  std::uint64_t state_;
};

enum class Kind : std::uint8_t { Flip, Ring2, Ring3, Ring4 };
constexpr std::size_t kKinds = 4;
constexpr std::size_t kRingOf[kKinds] = {1, 2, 3, 4};

// Identities: the root is 1; managers from 10 on, plain users from 200.
constexpr std::uint8_t kFirstManager = 10;
constexpr std::uint8_t kFirstUser = 200;
constexpr std::size_t kUsers = 8;
constexpr std::uint64_t kRewriteCounter = 2;

struct Builder {
  Builder(const VaultBuilder& builder, std::uint64_t seed) : b(builder), rng(seed), random(seed != 0) {}

  const VaultBuilder& b;
  Rng rng;
  bool random;
  std::vector<core::VaultRecordV1> out;
  std::uint8_t next_manager = kFirstManager;
  std::vector<std::string> deletable;  // grants under managers a random vault may delete

  void add(core::VaultRecordV1 r) { out.push_back(std::move(r)); }
  void enrol(const crypto::Identity& who) {
    add(b.user(b.root(), who, 1));
    add(b.entry_point(who, 1));
  }
  PrincipalRefV1 ref(const crypto::Identity& who) const { return PrincipalRefV1{who.user_id()}; }

  static core::KeyspaceSelectorV1 space(std::size_t o) { return prefix({"osc", std::to_string(o)}); }

  // The manage grant `seed` over oscillator o's keyspace to `m`: from the
  // root, through a group of the root's, or (one iteration later) from a
  // manager above it.
  void give(const std::string& seed, std::size_t o, const crypto::Identity& m) {
    const unsigned how = random ? static_cast<unsigned>(rng.below(3)) : 0;
    if (how == 1) {
      const std::string group = seed + "-group";
      add(b.group(b.root(), group, 1));
      add(b.member(b.root(), b.group_id(group), ref(m), 1));
      add(b.grant(b.root(), seed + "-via", PrincipalRefV1{b.group_id(group)}, manage_permission(space(o)), 1));
      // The rewrite below still names the direct grant.
    } else if (how == 2) {
      const crypto::Identity& above = b.identity(next_manager++);
      enrol(above);
      add(b.grant(b.root(), seed + "-above", ref(above), manage_permission(space(o)), 1));
      add(b.grant(above, seed, ref(m), manage_permission(space(o)), 1));
      return;
    }
    add(b.grant(b.root(), seed, ref(m), manage_permission(space(o)), 1));
  }

  void oscillator(std::size_t o, Kind kind, bool rewrites) {
    const std::size_t ring = kRingOf[static_cast<std::size_t>(kind)];
    std::vector<const crypto::Identity*> managers;
    for (std::size_t i = 0; i < ring; ++i) {
      managers.push_back(&b.identity(next_manager++));
      enrol(*managers.back());
    }
    const auto source = [&](std::size_t i) { return "osc-" + std::to_string(o) + "-m" + std::to_string(i); };
    for (std::size_t i = 0; i < ring; ++i) give(source(i), o, *managers[i]);
    if (rewrites) {
      // Manager i narrows manager i + 1's grant (its own, alone): allowed
      // only while it manages, which the rewrite it suffers takes away.
      for (std::size_t i = 0; i < ring; ++i) {
        const std::size_t next = (i + 1) % ring;
        add(b.grant(*managers[i], source(next), ref(*managers[next]), read_permission(space(o)), kRewriteCounter));
      }
    }
    if (random && rng.percent(40)) {
      // One manager deletes the next one's grant, or the root a source.
      const std::size_t i = rng.below(ring);
      const crypto::Identity& signer = rng.percent(50) ? b.root() : *managers[i];
      add(b.grant_deleted(signer, b.grant_id(source((i + 1) % ring)), manage_permission(space(o)),
                          kRewriteCounter + 1 + rng.below(2)));
    }
    oscillating.push_back(std::move(managers));
  }

  // A grant under oscillator o's keyspace from one of its managers: it
  // comes and goes with that manager's authority. Sometimes a manage grant
  // to a plain user, who grants under it in turn.
  void filler(std::size_t o, std::size_t j) {
    const std::vector<const crypto::Identity*>& managers = oscillating[o];
    const crypto::Identity& m = *managers[j % managers.size()];
    const crypto::Identity& user = b.identity(static_cast<std::uint8_t>(kFirstUser + j % kUsers));
    const std::string seed = "f-" + std::to_string(o) + "-" + std::to_string(j);
    const core::KeyspaceSelectorV1 where = prefix({"osc", std::to_string(o), "f", std::to_string(j)});
    if (random && rng.percent(15)) {
      add(b.grant(m, seed, ref(user), manage_permission(where), 1));
      const crypto::Identity& other = b.identity(static_cast<std::uint8_t>(kFirstUser + (j + 1) % kUsers));
      add(b.grant(user, seed + "-under", ref(other), read_permission(where), 1));
      deletable.push_back(seed + "-under");
    } else {
      add(b.grant(m, seed, ref(user), read_permission(where), 1));
    }
    deletable.push_back(seed);
    if (!random) return;
    if (rng.percent(10)) {
      // Its manager deletes it: judged in the final state.
      add(b.grant_deleted(m, b.grant_id(seed), read_permission(where), 2 + rng.below(2)));
    } else if (rng.percent(5)) {
      // A plain user deletes a grant that never existed, under it.
      add(b.grant_deleted(user, b.grant_id(seed + "-missing"), read_permission(where), 1));
    }
  }

  std::vector<std::vector<const crypto::Identity*>> oscillating;
};

}  // namespace

std::vector<core::VaultRecordV1> oscillating_vault(const OscillatingOptions& options, const VaultBuilder& b) {
  Builder v(b, options.seed);
  v.add(b.vault_root());
  for (std::size_t u = 0; u < kUsers; ++u) v.enrol(b.identity(static_cast<std::uint8_t>(kFirstUser + u)));
  for (std::size_t o = 0; o < options.oscillators; ++o) {
    const Kind kind = v.random ? static_cast<Kind>(v.rng.below(kKinds))
                               : (o % 3 == 0 ? Kind::Flip : (o % 3 == 1 ? Kind::Ring3 : Kind::Ring4));
    v.oscillator(o, kind, options.rewrites);
  }
  for (std::size_t j = 0; v.out.size() < options.records && options.oscillators > 0; ++j) {
    v.filler(j % options.oscillators, j / options.oscillators);
  }
  if (!v.deletable.empty()) {
    // The root deletes a few of them outright.
    const std::size_t deletions = v.random ? v.rng.below(3) : options.root_deletions;
    for (std::size_t i = 0; i < deletions; ++i) {
      const std::string& seed = v.deletable[v.random ? v.rng.below(v.deletable.size()) : i % v.deletable.size()];
      v.add(b.grant_deleted(b.root(), b.grant_id(seed), read_permission(any_keyspace()), 5));
    }
  }
  return std::move(v.out);
}

}  // namespace vornex::test
