// The production validation engine against the slow reference engine of
// tests/support, on random vaults and on hand-built shapes that stress the
// faster algorithms (crediting, deletions, membership propagation, rollback
// conflicts, write checks). Every report must be equal in full.
//
// VORNEX_DIFF_SEEDS=n runs n random vaults instead of the default,
// VORNEX_DIFF_FIRST_SEED=s starts at seed s, and VORNEX_DIFF_STATS=1 prints
// how often the interesting cases came up, and for each deletion,
// revocation and hostile shape of the generator the state work production
// did for its vaults (for a hostile shape, also what kept it from being
// whole where it was not).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "case_name.hpp"
#include "env_number.hpp"
#include "random_vault.hpp"
#include "reference_validate.hpp"
#include "slow_build.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/effective.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/provider.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::RandomVault;
using vornex::test::VaultBuilder;

namespace {

using vornex::test::env_number;

// ---------------------------------------------------------------------------
// Readable differences between two reports.

std::string short_hex(cord::ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::string text(const HashValue& h) { return short_hex(h.bytes()); }
template <class Tag>
std::string text(const Identifier<Tag>& id) {
  return std::string(Tag::name) + ":" + short_hex(id.bytes());
}
std::string text(const RecordKey& key) {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, record_key::VaultRoot>) {
          return "VaultRoot";
        } else {
          return std::string(K::name) + ":" + short_hex(k.id().bytes());
        }
      },
      key);
}
std::string text(const PrincipalRefV1& p) {
  return std::visit([](const auto& id) { return text(id); }, p);
}

std::string text(const KeyspaceSelectorV1& s) {
  std::string out = std::visit(
      [](const auto& t) -> std::string {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, tuple_matcher::Any>) {
          return "any";
        } else {
          std::string path = std::is_same_v<T, tuple_matcher::Exact> ? "exact[" : "prefix[";
          for (std::size_t i = 0; i < t.segments.size(); ++i) path += (i ? "/" : "") + t.segments[i];
          return path + "]";
        }
      },
      s.tuple);
  for (const auto& m : s.labels) {
    out += std::visit(
        [&](const auto& v) -> std::string {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, label_matcher::Present>) return " " + m.key + "?";
          else if constexpr (std::is_same_v<V, label_matcher::Equals>) return " " + m.key + "=" + v.value;
          else if constexpr (std::is_same_v<V, label_matcher::In>) {
            std::string in = " " + m.key + " in{";
            for (std::size_t i = 0; i < v.values.size(); ++i) in += (i ? "," : "") + v.values[i];
            return in + "}";
          } else {
            return " !" + m.key;
          }
        },
        m.matcher);
  }
  return out;
}

std::string text(const AuthoritySet& a) {
  std::string out = a.is_root ? "root;" : "";
  out += " read[";
  for (const auto& s : a.read) out += text(s) + ",";
  out += "] write[";
  for (const auto& s : a.write) out += text(s) + ",";
  out += "] manage[";
  for (const auto& m : a.manage) {
    out += text(m.selector) + ":";
    for (const auto& c : m.grantable) out += "RWM"[c.index()];
    out += ",";
  }
  return out + "]";
}

template <class Map, class Describe>
void diff_map(std::ostringstream& out, const char* field, const Map& production, const Map& reference,
              Describe describe) {
  if (production == reference) return;
  out << "  " << field << " (production " << production.size() << " entries, reference " << reference.size()
      << "):\n";
  for (const auto& [key, value] : production) {
    const auto it = reference.find(key);
    if (it == reference.end()) {
      out << "    only in production: " << text(key) << describe(value) << "\n";
    } else if (!(it->second == value)) {
      out << "    differs at " << text(key) << "\n      production:" << describe(value)
          << "\n      reference: " << describe(it->second) << "\n";
    }
  }
  for (const auto& [key, value] : reference) {
    if (!production.contains(key)) out << "    only in reference: " << text(key) << describe(value) << "\n";
  }
}

template <class Set>
void diff_set(std::ostringstream& out, const char* field, const Set& production, const Set& reference) {
  if (production == reference) return;
  out << "  " << field << ":";
  for (const auto& id : production) {
    if (!reference.contains(id)) out << " +production " << text(id);
  }
  for (const auto& id : reference) {
    if (!production.contains(id)) out << " +reference " << text(id);
  }
  out << "\n";
}

std::string describe_conflict(const ConflictReport& c) {
  std::ostringstream out;
  out << " counter " << c.counter << ", rollback "
      << (c.rollback_counter ? std::to_string(*c.rollback_counter) : std::string("none")) << ", origin "
      << (c.origin ? "set" : "none") << ", " << c.candidates.size() << " candidates";
  return out.str();
}

std::string difference(const ValidationReport& production, const ValidationReport& reference) {
  std::ostringstream out;
  const EffectiveState& p = production.effective;
  const EffectiveState& r = reference.effective;
  const auto none = [](const auto&) { return std::string(); };
  if (p.highest_counter != r.highest_counter) {
    out << "  highest_counter: production " << (p.highest_counter ? std::to_string(*p.highest_counter) : "none")
        << ", reference " << (r.highest_counter ? std::to_string(*r.highest_counter) : "none") << "\n";
  }
  if (p.records != r.records) {
    out << "  records: production " << p.records.size() << ", reference " << r.records.size() << "\n";
    for (std::size_t i = 0; i < std::min(p.records.size(), r.records.size()); ++i) {
      if (!(p.records[i] == r.records[i])) {
        out << "    first difference at " << i << ": production " << text(p.records[i].key) << " hash "
            << text(p.records[i].hash) << " by " << text(p.records[i].signer) << ", reference "
            << text(r.records[i].key) << " hash " << text(r.records[i].hash) << " by " << text(r.records[i].signer)
            << "\n";
        break;
      }
    }
  }
  if (p.root_user_id != r.root_user_id) out << "  root_user_id differs\n";
  if (p.root_fingerprint != r.root_fingerprint) out << "  root_fingerprint differs\n";
  diff_map(out, "users", p.users, r.users, [](const UserRecordV1& u) { return " counter " + std::to_string(u.counter); });
  diff_map(out, "user_handles", p.user_handles, r.user_handles, none);
  diff_map(out, "vault_handles", p.vault_handles, r.vault_handles, none);
  diff_map(out, "groups", p.groups, r.groups, none);
  diff_map(out, "group_members", p.group_members, r.group_members, none);
  diff_map(out, "grants", p.grants, r.grants, none);
  diff_map(out, "entry_points", p.entry_points, r.entry_points, none);
  diff_set(out, "deleted_users", p.deleted_users, r.deleted_users);
  diff_set(out, "deleted_groups", p.deleted_groups, r.deleted_groups);
  diff_set(out, "deleted_grants", p.deleted_grants, r.deleted_grants);
  diff_map(out, "authorities", p.authorities.materialized(), r.authorities.materialized(), [](const AuthoritySet& a) { return " " + text(a); });
  diff_map(out, "conflicts", p.conflicts, r.conflicts, describe_conflict);
  diff_map(out, "latest_secret", p.latest_secret, r.latest_secret, [](const auto& e) {
    return " latest " + std::to_string(e.first) + " first " + std::to_string(e.second);
  });
  if (p.blocked != r.blocked) out << "  blocked: production " << p.blocked << ", reference " << r.blocked << "\n";

  const RatchetUpdate& pu = production.ratchet_update;
  const RatchetUpdate& ru = reference.ratchet_update;
  diff_map(out, "ratchet_update.counters", pu.counters, ru.counters,
           [](std::uint64_t c) { return " = " + std::to_string(c); });
  diff_map(out, "ratchet_update.origins", pu.origins, ru.origins, none);
  if (pu.format_version != ru.format_version) out << "  ratchet_update.format_version differs\n";
  if (production.issues != reference.issues) {
    out << "  issues:\n    production " << debug_string(production.issues) << "\n    reference  "
        << debug_string(reference.issues) << "\n";
  }
  if (production.warnings != reference.warnings) {
    out << "  warnings differ: production has " << production.warnings.size() << ", reference "
        << reference.warnings.size() << "\n";
  }
  return out.str();
}

// Unoptimised and sanitised builds run the reference many times slower.
constexpr std::uint64_t kDefaultSeeds = test::kSlowBuild ? 600 : 1200;

const VaultBuilder& builder() { return test::shared_builder(); }

// The real provider, with each signature answer remembered: the three
// validations of one vault then check each signature once, which is most
// of their cost. The answers are those of the real provider, so the
// engines cannot tell.
class RememberingCrypto final : public CryptoProvider {
 public:
  HashValue hash(cord::ByteView domain, cord::ByteView data) const override { return real_.hash(domain, data); }
  bool verify_signature(cord::ByteView domain, cord::ByteView public_key, cord::ByteView message,
                        cord::ByteView signature) const override {
    Key key{{domain.begin(), domain.end()},
            {public_key.begin(), public_key.end()},
            {message.begin(), message.end()},
            {signature.begin(), signature.end()}};
    const auto it = answers_.find(key);
    if (it != answers_.end()) return it->second;
    const bool answer = real_.verify_signature(domain, public_key, message, signature);
    answers_.emplace(std::move(key), answer);
    return answer;
  }
  void forget() const { answers_.clear(); }

 private:
  using Key = std::tuple<cord::Bytes, cord::Bytes, cord::Bytes, cord::Bytes>;
  crypto::Crypto real_;
  mutable std::map<Key, bool> answers_;
};

const RememberingCrypto& remembering_crypto() {
  static const RememberingCrypto crypto;
  return crypto;
}

// Production with borrowed and with consumed records against the
// reference; an empty text when all three agree.
std::string compare_engines(const std::vector<HashedRecord>& records, const Ratchet& trust,
                            const VerifiedHashes& verified, test::reference::Trace* trace = nullptr,
                            ValidationReport* out = nullptr) {
  const RememberingCrypto& crypto = remembering_crypto();
  crypto.forget();
  auto expected = test::reference::validate_vault_with_verified(records, trust, crypto, verified, trace);
  auto borrowed = validate_vault_with_verified(std::span<const HashedRecord>(records), trust, crypto, verified);
  std::vector<HashedRecord> copy = records;
  auto consumed = validate_vault_with_verified(std::move(copy), trust, crypto, verified);
  if (!expected || !borrowed || !consumed) {
    const auto error_text = [](const auto& result) { return result ? std::string("a report") : result.error().message(); };
    const std::string e = error_text(expected), b = error_text(borrowed), c = error_text(consumed);
    if (e == b && e == c) return {};
    return "  reference: " + e + "\n  borrowed: " + b + "\n  consumed: " + c + "\n";
  }
  if (out != nullptr) *out = *expected;
  std::string found;
  if (!(*borrowed == *expected)) found += "borrowed records:\n" + difference(*borrowed, *expected);
  if (!(*consumed == *expected)) found += "consumed records:\n" + difference(*consumed, *expected);
  return found;
}

struct Coverage {
  std::uint64_t vaults = 0;
  std::uint64_t admitted_deletions = 0;
  std::uint64_t refused_deletions = 0;
  std::uint64_t blocked = 0;
  std::uint64_t conflicts = 0;
  std::uint64_t rollback_conflicts = 0;
  std::uint64_t ambiguous_keys = 0;
  std::uint64_t clean = 0;
  std::uint64_t refused = 0;  // root not trusted, ambiguous root, format version
  std::uint64_t self_managed = 0;  // deletions in force of manage grants their signer gave itself
  // Per deletion shape: vaults holding it, of those the ones with at least
  // two of its narrow grants deleted, the ones that did not converge, and
  // the state work production did for them.
  struct ShapeSeen {
    std::uint64_t planted = 0;
    std::uint64_t narrow_deleted = 0;
    std::uint64_t did_not_converge = 0;
    std::uint64_t work = 0;
  };
  std::array<ShapeSeen, test::kDeletionShapeCount> shapes{};
  // Per revocation shape: vaults holding it, of those the ones with at
  // least two of its revoked grants deleted, the ones where a use went
  // with the grant it needed, and the state work production did.
  struct RevocationSeen {
    std::uint64_t planted = 0;
    std::uint64_t revoked = 0;
    std::uint64_t use_fell = 0;
    std::uint64_t work = 0;
  };
  std::array<RevocationSeen, test::kRevocationShapeCount> revocations{};
  // Per hostile shape: vaults holding it, of those the ones whose report
  // shows what makes it that shape, and the state work production did.
  struct HostileSeen {
    std::uint64_t planted = 0;
    std::uint64_t holds = 0;
    std::uint64_t work = 0;
    std::map<std::string, std::uint64_t> gaps;  // what the others lacked first
  };
  std::array<HostileSeen, test::kPlantedHostileShapeCount> hostile{};
};

// Whether a use of the planted revocation went with the grant it needed:
// that grant is deleted, and the use is not deleted itself and is out of
// force (a grant) or was refused (a deletion).
bool use_fell_away(const test::PlantedRevocation& planted, const EffectiveState& state) {
  return std::ranges::any_of(planted.uses, [&](const test::PlantedUse& use) {
    if (!state.deleted_grants.contains(use.under) || state.deleted_grants.contains(use.grant)) return false;
    return use.deletion || !state.grants.contains(use.grant);
  });
}

// What the report lacks of the planted hostile shape: the first of its
// lists that does not hold as random_vault.hpp describes it, or null when
// the shape is whole. A record the vault spoiled, or a random record that
// lends someone authority, can undo it; most seeds leave it whole.
const char* hostile_shape_gap(const test::PlantedHostile& planted, const EffectiveState& state) {
  const auto in_force = [&](const GrantId& id) { return state.grants.contains(id); };
  const auto enough = [](std::size_t count, std::size_t of) { return count >= std::min<std::size_t>(2, of); };
  // The verified records of a key, apart from deletions of a grant.
  const auto writes = [&](const RecordKey& key, bool deletions) {
    return static_cast<std::size_t>(std::ranges::count_if(state.records, [&](const VerifiedRecord& r) {
      return r.key == key && std::holds_alternative<GrantDeletedRecordV1>(r.body()) == deletions;
    }));
  };
  const auto verified = [&](const RecordKey& key) { return writes(key, false) > 0; };
  const auto authorised = [&](const SecretId& id) { return state.latest_secret.contains(id); };

  if (!std::ranges::all_of(planted.authority, in_force)) return "authority";
  if (!planted.revoked.empty() &&
      std::ranges::count_if(planted.revoked, [&](const GrantId& id) { return state.deleted_grants.contains(id); }) < 2) {
    return "revoked";
  }
  if (!planted.wanted.empty() &&
      !enough(static_cast<std::size_t>(std::ranges::count_if(planted.wanted, in_force)), planted.wanted.size())) {
    return "wanted";
  }
  if (!planted.refused.empty() &&
      (std::ranges::any_of(planted.refused, in_force) ||
       std::ranges::none_of(planted.refused, [&](const GrantId& id) { return verified(record_key::Grant{id}); }))) {
    return "refused";
  }
  if (planted.contested && writes(*planted.contested, false) < 2) return "contested";
  if (planted.pending &&
      (state.deleted_grants.contains(*planted.pending) || writes(record_key::Grant{*planted.pending}, true) == 0)) {
    return "pending";
  }
  if (!planted.secrets.empty() &&
      !enough(static_cast<std::size_t>(std::ranges::count_if(planted.secrets, authorised)), planted.secrets.size())) {
    return "secrets";
  }
  if (!planted.unauthorised.empty() &&
      (std::ranges::any_of(planted.unauthorised, authorised) ||
       std::ranges::none_of(planted.unauthorised, [&](const SecretId& id) { return verified(record_key::Secret{id}); }))) {
    return "unauthorised";
  }
  if (!planted.fake_members.empty() &&
      (std::ranges::any_of(planted.fake_members, [&](const GroupMemberId& id) { return state.group_members.contains(id); }) ||
       std::ranges::none_of(planted.fake_members,
                            [&](const GroupMemberId& id) { return verified(record_key::GroupMember{id}); }))) {
    return "fake_members";
  }
  return nullptr;
}

// How many grant deletions in force remove a manage grant that their own
// signer made to itself: the shape whose deletions keep their signer's
// answers without a new state.
std::uint64_t self_managed_deletions(const EffectiveState& state) {
  std::set<std::pair<GrantId, UserId>> own;
  for (const VerifiedRecord& r : state.records) {
    const auto* grant = std::get_if<GrantRecordV1>(&r.body());
    if (grant != nullptr && std::holds_alternative<grant_permission::Manage>(*grant->permission) &&
        grant->grantee == PrincipalRefV1{r.signer}) {
      own.emplace(grant->grant_id, r.signer);
    }
  }
  std::uint64_t count = 0;
  for (const VerifiedRecord& r : state.records) {
    const auto* deleted = std::get_if<GrantDeletedRecordV1>(&r.body());
    if (deleted != nullptr && state.deleted_grants.contains(deleted->grant_id) &&
        own.contains({deleted->grant_id, r.signer})) {
      ++count;
    }
  }
  return count;
}

// A vault whose walk repeats itself, with deletions admitted after: the
// walk is cut at its repetition and laid out again for the deletions'
// runs. Laid out from the change points alone, a witness drawn at random
// whose value at the cut was not the one its period started from named,
// for about half of the keys a validation draws, an entry that did not
// answer there; its going then left a stale yes. Each validation draws its
// own key, so a few of them meet such a key all but surely.
TEST(ValidateDifferential, RepeatingWalkWithDeletionsAfterGivesTheReferenceReport) {
  constexpr std::uint64_t kSeed = 807874;
  constexpr int kValidations = 12;
  const RandomVault vault = test::random_vault(kSeed, builder());
  for (int i = 0; i < kValidations; ++i) {
    const std::string found = compare_engines(vault.records, vault.trust, vault.verified, nullptr, nullptr);
    ASSERT_TRUE(found.empty()) << "validation " << i << ":\n" << found;
  }
}

TEST(ValidateDifferential, RandomVaultsGiveTheReferenceReport) {
  const std::uint64_t first = env_number("VORNEX_DIFF_FIRST_SEED", 1);
  const std::uint64_t count = env_number("VORNEX_DIFF_SEEDS", kDefaultSeeds);
  Coverage seen;
  std::uint64_t mismatches = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    const RandomVault vault = test::random_vault(seed, builder());
    test::reference::Trace trace;
    ValidationReport expected;
    const std::uint64_t work_before = validation_work();
    const std::string found = compare_engines(vault.records, vault.trust, vault.verified, &trace, &expected);
    const std::uint64_t work = (validation_work() - work_before) / 2;  // two production runs
    if (!found.empty()) {
      if (++mismatches <= 5) {
        ADD_FAILURE() << "seed " << seed << " (" << vault.records.size() << " records; rerun alone with "
                      << "VORNEX_DIFF_FIRST_SEED=" << seed << " VORNEX_DIFF_SEEDS=1):\n"
                      << found;
      }
      continue;
    }
    ++seen.vaults;
    seen.admitted_deletions += trace.admitted_deletions;
    seen.refused_deletions += trace.deletion_candidates - trace.admitted_deletions;
    seen.ambiguous_keys += trace.ambiguous_keys;
    seen.rollback_conflicts += trace.rollback_floor;
    for (const auto& [key, conflict] : expected.effective.conflicts) seen.conflicts += conflict.rollback_counter ? 0 : 1;
    const bool did_not_converge = std::ranges::any_of(expected.issues, [](const ValidationIssue& i) {
      return std::holds_alternative<issue::AuthorityDidNotConverge>(i);
    });
    if (did_not_converge) ++seen.blocked;
    for (const test::PlantedShape& planted : vault.shapes) {
      Coverage::ShapeSeen& s = seen.shapes[static_cast<std::size_t>(planted.shape)];
      const auto deleted = std::ranges::count_if(
          planted.narrow, [&](const GrantId& id) { return expected.effective.deleted_grants.contains(id); });
      ++s.planted;
      s.narrow_deleted += deleted >= 2 ? 1 : 0;
      s.did_not_converge += did_not_converge ? 1 : 0;
      s.work += work;
    }
    for (const test::PlantedRevocation& planted : vault.revocations) {
      Coverage::RevocationSeen& s = seen.revocations[static_cast<std::size_t>(planted.shape)];
      const auto revoked = std::ranges::count_if(
          planted.revoked, [&](const GrantId& id) { return expected.effective.deleted_grants.contains(id); });
      ++s.planted;
      s.revoked += revoked >= 2 ? 1 : 0;
      s.use_fell += use_fell_away(planted, expected.effective) ? 1 : 0;
      s.work += work;
    }
    for (const test::PlantedHostile& planted : vault.hostile) {
      Coverage::HostileSeen& s = seen.hostile[test::planted_index(planted.shape)];
      ++s.planted;
      const char* gap = hostile_shape_gap(planted, expected.effective);
      s.holds += gap == nullptr ? 1 : 0;
      if (gap != nullptr) ++s.gaps[gap];
      s.work += work;
    }
    if (expected.issues.empty()) ++seen.clean;
    if (expected.effective.blocked && expected.effective.records.empty()) ++seen.refused;
    seen.self_managed += self_managed_deletions(expected.effective);
  }
  EXPECT_EQ(mismatches, 0u) << "of " << count << " seeds from " << first;

  if (std::getenv("VORNEX_DIFF_STATS") != nullptr) {
    std::printf(
        "%llu vaults: %llu admitted deletions, %llu refused deletions, %llu blocked, %llu conflicts, %llu rollback "
        "conflicts, %llu ambiguous keys, %llu clean, %llu refused outright, %llu self-managed deletions\n",
        static_cast<unsigned long long>(seen.vaults), static_cast<unsigned long long>(seen.admitted_deletions),
        static_cast<unsigned long long>(seen.refused_deletions), static_cast<unsigned long long>(seen.blocked),
        static_cast<unsigned long long>(seen.conflicts), static_cast<unsigned long long>(seen.rollback_conflicts),
        static_cast<unsigned long long>(seen.ambiguous_keys), static_cast<unsigned long long>(seen.clean),
        static_cast<unsigned long long>(seen.refused), static_cast<unsigned long long>(seen.self_managed));
    for (std::size_t k = 0; k < seen.shapes.size(); ++k) {
      const Coverage::ShapeSeen& s = seen.shapes[k];
      std::printf("  %-18s in %4llu vaults, two narrow grants deleted in %4llu, not converging in %4llu, %.1f work each\n",
                  test::deletion_shape_name(static_cast<test::DeletionShape>(k)),
                  static_cast<unsigned long long>(s.planted), static_cast<unsigned long long>(s.narrow_deleted),
                  static_cast<unsigned long long>(s.did_not_converge),
                  s.planted == 0 ? 0.0 : static_cast<double>(s.work) / static_cast<double>(s.planted));
    }
    for (std::size_t k = 0; k < seen.revocations.size(); ++k) {
      const Coverage::RevocationSeen& s = seen.revocations[k];
      std::printf("  %-21s in %4llu vaults, two revoked in %4llu, a use fell away in %4llu, %.1f work each\n",
                  test::revocation_shape_name(static_cast<test::RevocationShape>(k)),
                  static_cast<unsigned long long>(s.planted), static_cast<unsigned long long>(s.revoked),
                  static_cast<unsigned long long>(s.use_fell),
                  s.planted == 0 ? 0.0 : static_cast<double>(s.work) / static_cast<double>(s.planted));
    }
    for (std::size_t k = 0; k < seen.hostile.size(); ++k) {
      const Coverage::HostileSeen& s = seen.hostile[k];
      std::string lacked;
      for (const auto& [gap, times] : s.gaps) lacked += " " + gap + " " + std::to_string(times);
      std::printf("  %-13s in %4llu vaults, whole in %4llu, %.1f work each; lacking%s\n",
                  test::hostile_shape_name(test::kPlantedHostileShapes[k]),
                  static_cast<unsigned long long>(s.planted), static_cast<unsigned long long>(s.holds),
                  s.planted == 0 ? 0.0 : static_cast<double>(s.work) / static_cast<double>(s.planted), lacked.c_str());
    }
  }
  // The generator must keep reaching every interesting case, or the
  // comparison proves little.
  if (count >= 500 && mismatches == 0) {
    EXPECT_GT(seen.admitted_deletions, 0u);
    EXPECT_GT(seen.refused_deletions, 0u);
    EXPECT_GT(seen.blocked, 0u);
    EXPECT_GT(seen.conflicts, 0u);
    EXPECT_GT(seen.rollback_conflicts, 0u);
    EXPECT_GT(seen.ambiguous_keys, 0u);
    EXPECT_GT(seen.clean, 0u);
    EXPECT_GT(seen.refused, 0u);
    EXPECT_GT(seen.self_managed, 0u);
    // Each deletion shape that costs resolution a state per admission, and
    // not in a form that leaves nothing to resolve: the flipping source
    // blocks its state, the others have narrow grants deleted.
    for (std::size_t k = 0; k < seen.shapes.size(); ++k) {
      const auto shape = static_cast<test::DeletionShape>(k);
      const Coverage::ShapeSeen& s = seen.shapes[k];
      SCOPED_TRACE(test::deletion_shape_name(shape));
      EXPECT_GE(s.planted, 12u);
      if (shape == test::DeletionShape::FlippingSource) {
        EXPECT_GE(s.did_not_converge, s.planted / 4);
      } else {
        EXPECT_GE(s.narrow_deleted, s.planted / 5);
      }
    }
    // Each revocation shape, and in a form that matters: two or more of
    // its grants revoked, and a use gone with the grant it needed.
    for (std::size_t k = 0; k < seen.revocations.size(); ++k) {
      const Coverage::RevocationSeen& s = seen.revocations[k];
      SCOPED_TRACE(test::revocation_shape_name(static_cast<test::RevocationShape>(k)));
      EXPECT_GE(s.planted, 12u);
      EXPECT_GE(s.revoked, s.planted / 5);
      EXPECT_GE(s.use_fell, s.planted / 5);
    }
    // Each hostile shape, and whole in a good part of its vaults.
    for (std::size_t k = 0; k < seen.hostile.size(); ++k) {
      const Coverage::HostileSeen& s = seen.hostile[k];
      SCOPED_TRACE(test::hostile_shape_name(test::kPlantedHostileShapes[k]));
      EXPECT_GE(s.planted, 12u);
      EXPECT_GE(s.holds, s.planted / 5);
    }
  }
}

// ---------------------------------------------------------------------------
// Hand-built shapes: each is compared in full, and checked on the points
// that make it hard, against expectations written out here.

struct Shape {
  std::vector<VaultRecordV1> records;  // in the order validation meets them
  Ratchet trust = Ratchet::make(builder().selected_root().fingerprint.to_vec());
  VerifiedHashes verified;

  Shape() { trust.absorb_record(FormatVersionRatchetRecordV1{1}); }
  const crypto::Identity& root() const { return builder().root(); }
  Shape& add(VaultRecordV1 record) {
    records.push_back(std::move(record));
    return *this;
  }
  Shape& enrol(const crypto::Identity& user, std::uint64_t counter = 1) {
    add(builder().user(root(), user, counter));
    return add(builder().entry_point(user, counter));
  }
  std::vector<HashedRecord> hashed() const {
    std::vector<HashedRecord> out;
    for (const VaultRecordV1& r : records) out.push_back(test::hashed_record(builder(), r));
    return out;
  }
  // Both engines agree; the shared report for further checks.
  ValidationReport report() const {
    ValidationReport expected;
    const std::string found = compare_engines(hashed(), trust, verified, nullptr, &expected);
    EXPECT_TRUE(found.empty()) << found;
    return expected;
  }
};

// What one admitted deletion of these shapes may cost at most: its item,
// and a few root flags and answers, in each iteration it reaches; each of
// those reads a handful of records, index entries and matchers, counted
// as a step each (about ten here).
constexpr std::uint64_t kStepsPerEvaluation = 16;
constexpr std::uint64_t kWorkPerDeletion = 8 * kMaxAuthorityIterations * kStepsPerEvaluation;

struct ValidateDifferentialShapes : ::testing::Test {
  const VaultBuilder& b = builder();
  Shape v;
  ValidateDifferentialShapes() { v.add(b.vault_root()); }

  // `n` read grants from the root to user 5 (enrolled here unless `enrol`
  // is false) outside every keyspace the shapes use: validation reads
  // them, and no deletion reaches them.
  void add_ballast(std::size_t n, bool enrol = true) {
    if (n == 0) return;
    if (enrol) v.enrol(b.identity(5));
    for (std::size_t i = 0; i < n; ++i) {
      v.add(b.grant(b.root(), "ballast-" + std::to_string(i), user(5),
                    test::read_permission(test::prefix({"ballast", std::to_string(i)})), 1));
    }
  }

  // The state work a shape's deletions add grows with their number and not
  // with the vault: `work(count, ballast)` of `few` and `many` deletions
  // (each `per` deletion records) differ by about the same amount beside
  // any ballast, and by a bounded amount per deletion. Searches start at
  // random places, so each figure is the median of a few validations.
  template <class Work>
  void expect_work_per_deletion(Work&& measure, std::size_t few, std::size_t many, std::size_t per) {
    const auto work = [&](std::size_t count, std::size_t ballast) {
      std::array<std::uint64_t, 7> runs{};
      for (std::uint64_t& r : runs) r = measure(count, ballast);
      std::ranges::nth_element(runs, runs.begin() + runs.size() / 2);
      return runs[runs.size() / 2];
    };
    const std::uint64_t added = work(many, 0) - work(few, 0);
    for (const std::size_t ballast : {std::size_t{100}, std::size_t{400}}) {
      SCOPED_TRACE(ballast);
      const double with_ballast = static_cast<double>(work(many, ballast)) - static_cast<double>(work(few, ballast));
      EXPECT_NEAR(with_ballast, static_cast<double>(added), 0.15 * static_cast<double>(added));
    }
    EXPECT_LE(added, (many - few) * per * kWorkPerDeletion);
  }

  PrincipalRefV1 user(std::uint8_t seed) const { return PrincipalRefV1{b.identity(seed).user_id()}; }
  const AuthoritySet& authority(const ValidationReport& r, const PrincipalRefV1& p) const {
    return r.effective.authorities.at(p);
  }
};

KeyspaceSelectorV1 exact(std::vector<std::string> path) {
  return KeyspaceSelectorV1{tuple_matcher::Exact{std::move(path)}, {}};
}
GrantPermissionV1 manage_of(KeyspaceSelectorV1 selector, std::vector<KeyspaceGrantClassV1> classes) {
  return ManageKeyspaceGrantV1{std::move(selector), std::move(classes)};
}
const std::vector<KeyspaceGrantClassV1> kAllClasses = {grant_class::Read{}, grant_class::Write{},
                                                       grant_class::Manage{}};

TEST_F(ValidateDifferentialShapes, ReversedUserChainWithBrokenLinks) {
  // User k is made by user k-1, user 2 by the root, and the records come
  // last link first, so each pass over the list credits one user.
  constexpr std::uint8_t kLast = 14;
  for (std::uint8_t k = kLast; k >= 2; --k) {
    v.add(b.user(k == 2 ? b.root() : b.identity(k - 1), b.identity(k), 1));
  }
  for (std::uint8_t k = 2; k <= kLast; ++k) v.add(b.entry_point(b.identity(k)));
  // Known signers, broken signatures: 20 is never credited, 21 is credited
  // through its good record only.
  v.add(VaultBuilder::with_bad_signature(b.user(b.identity(5), b.identity(20), 1)));
  v.add(b.entry_point(b.identity(20)));
  v.add(VaultBuilder::with_bad_signature(b.user(b.identity(7), b.identity(21), 2)));
  v.add(b.user(b.identity(kLast), b.identity(21), 1));
  v.add(b.entry_point(b.identity(21)));
  // A link whose broken signature the cache vouches for credits 22.
  const VaultRecordV1 vouched = VaultBuilder::with_bad_signature(b.user(b.identity(3), b.identity(22), 1));
  v.add(vouched).add(b.entry_point(b.identity(22)));
  v.verified.insert(test::hashed_record(b, vouched).hash);

  const ValidationReport r = v.report();
  // A credited key's records are verified under its user; only root-signed
  // user records make effective users, so 2 alone is one.
  const auto credited = [&](std::uint8_t seed) {
    const RecordKey key = record_key::EntryPoint{b.identity(seed).user_id()};
    return std::ranges::any_of(r.effective.records, [&](const VerifiedRecord& rec) {
      return rec.key == key && rec.signer == b.identity(seed).user_id();
    });
  };
  for (std::uint8_t k = 2; k <= kLast; ++k) EXPECT_TRUE(credited(k)) << +k;
  EXPECT_FALSE(credited(20));
  EXPECT_TRUE(credited(21));
  EXPECT_TRUE(credited(22));
  EXPECT_EQ(r.effective.users.size(), 2u);
  // Two bad signatures by credited keys, and 20's entry point by a key
  // nobody was credited with.
  std::size_t bad = 0, unknown = 0;
  for (const ValidationIssue& i : r.issues) {
    bad += std::holds_alternative<issue::InvalidSignature>(i) ? 1 : 0;
    unknown += std::holds_alternative<issue::UnknownSignerKey>(i) ? 1 : 0;
  }
  EXPECT_EQ(bad, 2u);
  EXPECT_EQ(unknown, 1u);
}

TEST_F(ValidateDifferentialShapes, RootDeletesManyOfItsGrants) {
  for (std::uint8_t k = 2; k <= 5; ++k) v.enrol(b.identity(k));
  v.add(b.group(b.root(), "team"));
  const GroupId team = b.group_id("team");
  std::set<GrantId> expected_deleted, expected_live;
  for (int i = 0; i < 16; ++i) {
    const std::string seed = "r" + std::to_string(i);
    const PrincipalRefV1 grantee = i % 5 == 4 ? PrincipalRefV1{team} : user(static_cast<std::uint8_t>(2 + i % 4));
    const GrantPermissionV1 permission = i % 3 == 0   ? test::read_permission(test::prefix({"app"}))
                                         : i % 3 == 1 ? test::write_permission(exact({"app", std::to_string(i)}))
                                                      : manage_of(test::any_keyspace(), kAllClasses);
    v.add(b.grant(b.root(), seed, grantee, permission, 3));
    if (i >= 12) {
      expected_live.insert(b.grant_id(seed));
      continue;
    }
    // Below the grant's counter the deletion loses, at it they conflict,
    // above it the grant is gone.
    const std::uint64_t at = 2 + static_cast<std::uint64_t>(i % 3);
    v.add(b.grant_deleted(b.root(), b.grant_id(seed), permission, at));
    if (at == 2) expected_live.insert(b.grant_id(seed));
    if (at == 4) expected_deleted.insert(b.grant_id(seed));
  }
  v.add(b.grant_deleted(b.root(), b.grant_id("never-made"), test::root_permission(), 1));
  expected_deleted.insert(b.grant_id("never-made"));

  const ValidationReport r = v.report();
  EXPECT_EQ(r.effective.deleted_grants, expected_deleted);
  std::set<GrantId> live;
  for (const auto& [id, grant] : r.effective.grants) live.insert(id);
  EXPECT_EQ(live, expected_live);
  EXPECT_EQ(r.effective.conflicts.size(), 4u);  // the deletions at the grants' own counter
}

TEST_F(ValidateDifferentialShapes, ManagerDeletesGrantsThatDoNotExistAndItsOwn) {
  const auto& x = b.identity(2);
  const auto& y = b.identity(3);
  v.enrol(x).enrol(y);
  v.add(b.group(b.root(), "managers")).add(b.member(b.root(), b.group_id("managers"), user(2)));
  const GrantPermissionV1 app_manage = manage_of(test::prefix({"app"}), kAllClasses);
  v.add(b.grant(b.root(), "managers-app", PrincipalRefV1{b.group_id("managers")}, app_manage, 1));
  v.add(b.grant(b.root(), "own-write", user(2), test::write_permission(exact({"app"})), 1));
  v.add(b.grant(b.root(), "own-read", user(2), test::read_permission(test::any_keyspace()), 1));
  v.add(b.grant(b.root(), "strong", user(3), test::root_permission(), 1));

  const auto weak = test::read_permission(exact({"app"}));
  // Nothing to remove: allowed when X may create the named permission.
  v.add(b.grant_deleted(x, b.grant_id("ghost-1"), test::read_permission(test::prefix({"app"})), 2));
  v.add(b.grant_deleted(x, b.grant_id("ghost-2"), test::write_permission(test::any_keyspace()), 2));
  v.add(b.grant_deleted(x, b.grant_id("ghost-3"), manage_of(test::prefix({"app", "db"}), {grant_class::Read{}}), 2));
  // Its own grants: the write one within its keyspace, the read one not.
  v.add(b.grant_deleted(x, b.grant_id("own-write"), test::write_permission(exact({"app"})), 2));
  v.add(b.grant_deleted(x, b.grant_id("own-read"), test::read_permission(test::any_keyspace()), 2));
  // A stronger grant named as a weak one: refused while it is in force,
  // allowed once the root's earlier deletion has taken it away; it then
  // carries the grant's watermark.
  v.add(b.grant_deleted(x, b.grant_id("strong"), weak, 4));
  v.add(b.grant_deleted(b.root(), b.grant_id("strong"), test::root_permission(), 3));
  // X removes its own source of authority, after which it deletes nothing.
  v.add(b.grant_deleted(x, b.grant_id("managers-app"), app_manage, 5));
  v.add(b.grant_deleted(x, b.grant_id("ghost-4"), weak, 6));

  const ValidationReport r = v.report();
  const std::set<GrantId> expected = {b.grant_id("ghost-1"), b.grant_id("ghost-3"), b.grant_id("own-write"),
                                      b.grant_id("strong"), b.grant_id("managers-app")};
  EXPECT_EQ(r.effective.deleted_grants, expected);
  EXPECT_TRUE(r.effective.grants.contains(b.grant_id("own-read")));
  EXPECT_FALSE(r.effective.authority_for_user(b.identity(3).user_id()).is_root);
  EXPECT_EQ(r.ratchet_update.counters.at(record_key::Grant{b.grant_id("strong")}), 4u);
}

TEST_F(ValidateDifferentialShapes, NestedGroupsWhoseMembershipsRunAgainstIdOrder) {
  // Each link passes authority down the chain and has a smaller
  // membership id than the link before it, so a sweep in id order moves it
  // one link only.
  std::vector<GroupId> chain = {b.group_id("n0")};
  std::vector<std::string> seeds = {"n0"};
  std::optional<GroupMemberId> previous;
  std::set<std::string> used = {"n0"};
  for (int link = 0; link < 12; ++link) {
    std::optional<std::pair<GroupMemberId, std::string>> best;
    for (int candidate = 1; candidate < 400; ++candidate) {
      const std::string seed = "n" + std::to_string(candidate);
      if (used.contains(seed)) continue;
      const GroupMemberId id = b.member_id(chain.back(), PrincipalRefV1{b.group_id(seed)});
      if (previous && !(id < *previous)) continue;
      if (!best || best->first < id) best = std::pair{id, seed};
    }
    ASSERT_TRUE(best.has_value());
    previous = best->first;
    used.insert(best->second);
    seeds.push_back(best->second);
    chain.push_back(b.group_id(best->second));
  }
  for (const std::string& seed : seeds) v.add(b.group(b.root(), seed));
  for (std::size_t i = 1; i < chain.size(); ++i) v.add(b.member(b.root(), chain[i - 1], PrincipalRefV1{chain[i]}));
  const auto& u = b.identity(2);
  v.enrol(u).add(b.member(b.root(), chain.back(), user(2)));
  v.add(b.grant(b.root(), "top-manage", PrincipalRefV1{chain.front()}, manage_of(test::prefix({"app"}), kAllClasses)));
  v.add(b.grant(b.root(), "top-read", PrincipalRefV1{chain.front()}, test::read_permission(test::any_keyspace())));
  // What the bottom user does with authority that came down the chain.
  v.enrol(b.identity(3));
  v.add(b.grant(u, "from-bottom", user(3), test::write_permission(exact({"app", "db"}))));
  v.add(b.sign(u, SecretRecordV1{b.secret_id(test::selector({"app", "db"})), test::selector({"app", "db"}), {}, 1}));

  const ValidationReport r = v.report();
  EXPECT_FALSE(r.effective.blocked);
  const AuthoritySet& bottom = authority(r, user(2));
  EXPECT_EQ(bottom.manage.size(), 1u);
  EXPECT_EQ(bottom.read.size(), 1u);
  EXPECT_TRUE(r.effective.grants.contains(b.grant_id("from-bottom")));
  EXPECT_EQ(r.effective.latest_secret.size(), 1u);

  // Closing the chain into a cycle gives every group the same authority.
  v.add(b.member(b.root(), chain.back(), PrincipalRefV1{chain.front()}));
  const ValidationReport cycle = v.report();
  EXPECT_EQ(authority(cycle, PrincipalRefV1{chain.front()}), authority(cycle, PrincipalRefV1{chain.back()}));
}

TEST_F(ValidateDifferentialShapes, ManyRolledBackSecrets) {
  const auto& w = b.identity(2);
  v.enrol(w);
  v.add(b.grant(b.root(), "w", user(2), test::write_permission(test::prefix({"s"}))));
  std::size_t expected_rollbacks = 0;
  for (int i = 0; i < 40; ++i) {
    const SecretSelectorV1 sel = test::selector({"s", std::to_string(i)});
    const std::uint64_t at = 1 + static_cast<std::uint64_t>(i % 3);
    const SecretRecordV1 body{b.secret_id(sel), sel, {}, at};
    v.add(b.sign(i % 2 ? w : b.root(), body));
    if (i % 4 == 0) v.add(b.sign(i % 2 ? b.root() : w, body));  // the same body twice
    if (i % 4 == 1) v.add(b.sign(b.root(), SecretRecordV1{body.secret_id, sel, SealedPayloadV1{{9}, {}, {}}, at}));  // differs
    const RecordKey key = record_key::Secret{body.secret_id};
    if (i % 8 < 6) {
      v.trust.absorb_record(*ratchet_record_for_key(key, at + 2, nullptr));
      ++expected_rollbacks;
    } else if (i % 8 == 6) {
      v.trust.absorb_record(*ratchet_record_for_key(key, at, nullptr));
    }
    if (i % 5 == 0) {
      RatchetUpdate origin;
      origin.origins.emplace(key, key_origin::Secret{test::selector({"elsewhere"})});
      v.trust.apply_update(origin);
    }
  }
  // A key the vault does not hold at all.
  v.trust.absorb_record(GrantRatchetRecordV1{b.grant_id("gone"), 4});
  ++expected_rollbacks;

  const ValidationReport r = v.report();
  std::size_t rollbacks = 0;
  for (const auto& [key, conflict] : r.effective.conflicts) rollbacks += conflict.rollback_counter ? 1 : 0;
  EXPECT_EQ(rollbacks, expected_rollbacks);
  EXPECT_EQ(r.effective.rollback_counter_floor(), 6u);
}

TEST_F(ValidateDifferentialShapes, WriterWithManyWriteGrantsAndManySecrets) {
  const auto& w = b.identity(2);
  v.enrol(w);
  const std::vector<std::string> areas = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"};
  for (std::size_t i = 0; i < areas.size(); ++i) {
    v.add(b.grant(b.root(), "w" + areas[i], user(2),
                  i % 4 == 3 ? test::read_permission(test::prefix({areas[i]}))
                             : test::write_permission(test::prefix({areas[i]}))));
  }
  // Only the areas with a write grant count; every fourth has only read.
  std::set<SecretId> writable;
  for (int i = 0; i < 60; ++i) {
    const std::size_t area = static_cast<std::size_t>(i) % areas.size();
    const SecretSelectorV1 sel = test::selector({areas[area], std::to_string(i % 7)});
    const std::uint64_t at = static_cast<std::uint64_t>(i % 4);
    if (i % 9 == 8) {
      v.add(b.secret_deleted(w, sel, at));
    } else {
      v.add(b.sign(w, SecretRecordV1{b.secret_id(sel), sel, SealedPayloadV1{{static_cast<std::uint8_t>(i)}, {}, {}}, at}));
    }
    if (area % 4 != 3) writable.insert(b.secret_id(sel));
  }
  const ValidationReport r = v.report();
  std::set<SecretId> indexed;
  for (const auto& [id, entry] : r.effective.latest_secret) indexed.insert(id);
  EXPECT_EQ(indexed, writable);
}

TEST_F(ValidateDifferentialShapes, RootPassedReadOrWriteOfAnyKeepsOneSelector) {
  v.enrol(b.identity(2));
  const GroupId all = b.group_id("all");
  v.add(b.group(b.root(), "all"));
  v.add(b.member(b.root(), all, user(1))).add(b.member(b.root(), all, user(2)));
  v.add(b.grant(b.root(), "root-read", user(1), test::read_permission(test::any_keyspace())));
  v.add(b.grant(b.root(), "root-write", user(1), test::write_permission(test::any_keyspace())));
  v.add(b.grant(b.root(), "root-manage", user(1), test::manage_permission(test::any_keyspace())));
  v.add(b.grant(b.root(), "root-narrow", user(1), manage_of(test::any_keyspace(), {grant_class::Read{}})));
  v.add(b.grant(b.root(), "all-read", PrincipalRefV1{all}, test::read_permission(test::any_keyspace())));
  v.add(b.grant(b.root(), "all-write", PrincipalRefV1{all}, test::write_permission(test::any_keyspace())));
  v.add(b.grant(b.root(), "all-app", PrincipalRefV1{all}, test::read_permission(test::prefix({"app"}))));

  const ValidationReport r = v.report();
  AuthoritySet expected = AuthoritySet::root();
  expected.read.push_back(test::prefix({"app"}));
  expected.manage.push_back(ManageKeyspaceGrantV1{test::any_keyspace(), {grant_class::Read{}}});
  EXPECT_EQ(authority(r, user(1)), expected) << text(authority(r, user(1)));
}

TEST_F(ValidateDifferentialShapes, UnchangedVaultOfCounterZeroRecords) {
  const auto& u = b.identity(2);
  v.enrol(u, 0);
  v.add(b.group(b.root(), "g", 0)).add(b.member(b.root(), b.group_id("g"), user(2), 0));
  v.add(b.grant(b.root(), "t", user(2), test::write_permission(test::any_keyspace()), 0));
  v.add(b.user_handle(b.root(), "u", u.user_id(), 0)).add(b.vault_handle(b.root(), "v", 0));
  const SecretSelectorV1 sel = test::selector({"s"});
  v.add(b.sign(u, SecretRecordV1{b.secret_id(sel), sel, {}, 0}));
  v.trust = Ratchet::make(b.selected_root().fingerprint.to_vec());  // empty, remembering no version

  const ValidationReport r = v.report();
  EXPECT_TRUE(r.issues.empty());
  EXPECT_TRUE(r.ratchet_update.counters.empty());
  EXPECT_EQ(r.ratchet_update.format_version, 1u);
  EXPECT_EQ(r.ratchet_update.origins.size(), 4u);  // the handles, the membership and the secret
  EXPECT_EQ(r.effective.highest_counter, 0u);
}

// A manager gives itself manage grants within its own keyspace and deletes
// each. However its authority reaches it, every deletion leaves its answers
// as they were, so each admission costs the same small work whatever else
// the vault holds.
enum class ManagerSource { Direct, Group, NestedGroup, Delegated, DirectPrefix };

struct SelfManagedDeletions : ValidateDifferentialShapes, ::testing::WithParamInterface<ManagerSource> {
  // The manager is user 2; `other` (user 3) delegates to it when asked to.
  void grant_source() {
    const GrantPermissionV1 everything = manage_of(test::any_keyspace(), kAllClasses);
    switch (GetParam()) {
      case ManagerSource::Direct:
        v.add(b.grant(b.root(), "source", user(2), everything, 1));
        break;
      case ManagerSource::DirectPrefix:
        v.add(b.grant(b.root(), "source", user(2), manage_of(test::prefix({"app"}), kAllClasses), 1));
        break;
      case ManagerSource::Group:
      case ManagerSource::NestedGroup: {
        const GroupId team = b.group_id("team");
        v.add(b.group(b.root(), "team", 0)).add(b.member(b.root(), team, user(2), 0));
        PrincipalRefV1 holder{team};
        if (GetParam() == ManagerSource::NestedGroup) {
          v.add(b.group(b.root(), "dept", 0)).add(b.member(b.root(), b.group_id("dept"), PrincipalRefV1{team}, 0));
          holder = PrincipalRefV1{b.group_id("dept")};
        }
        v.add(b.grant(b.root(), "source", holder, everything, 1));
        break;
      }
      case ManagerSource::Delegated:
        v.enrol(b.identity(3));
        v.add(b.grant(b.root(), "delegation", user(3), everything, 1));
        v.add(b.grant(b.identity(3), "source", user(2), everything, 1));
        break;
    }
  }

  // `count` own grants at counter 1, each deleted at counter 2, or with
  // `twice` at its own pair of counters, the second time naming a narrower
  // permission; and `ballast` records no deletion reaches.
  std::vector<HashedRecord> vault(std::size_t count, bool twice = false, std::size_t ballast = 0) {
    v = Shape{};
    v.add(b.vault_root());
    v.enrol(b.identity(2));
    grant_source();
    add_ballast(ballast);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string seed = "own-" + std::to_string(i);
      const GrantPermissionV1 own = manage_of(exact({"app", std::to_string(i)}), kAllClasses);
      v.add(b.grant(b.identity(2), seed, user(2), own, 1));
      const std::uint64_t at = twice ? 2 + 2 * i : 2;
      v.add(b.grant_deleted(b.identity(2), b.grant_id(seed), own, at));
      if (twice) {
        v.add(b.grant_deleted(b.identity(2), b.grant_id(seed), test::read_permission(exact({"app", seed})), at + 1));
      }
    }
    return v.hashed();
  }

  // The state work of one validation.
  std::uint64_t work(std::size_t count, bool twice, std::size_t ballast) {
    const std::vector<HashedRecord> records = vault(count, twice, ballast);
    const std::uint64_t before = validation_work();
    const auto report = validate_vault_with_verified(std::span<const HashedRecord>(records), v.trust,
                                                     remembering_crypto(), v.verified);
    const std::uint64_t after = validation_work();
    EXPECT_TRUE(report.has_value());
    if (report) {
      EXPECT_TRUE(report->issues.empty()) << debug_string(report->issues);
      EXPECT_EQ(report->effective.deleted_grants.size(), count);
    }
    return after - before;
  }
};

TEST_P(SelfManagedDeletions, EveryDeletionIsAdmittedAsTheReferenceAdmitsIt) {
  constexpr std::size_t kOwn = 12;
  vault(kOwn, true);
  const ValidationReport r = v.report();
  std::set<GrantId> expected;
  for (std::size_t i = 0; i < kOwn; ++i) expected.insert(b.grant_id("own-" + std::to_string(i)));
  EXPECT_EQ(r.effective.deleted_grants, expected);
  for (const GrantId& id : expected) EXPECT_FALSE(r.effective.grants.contains(id));
  EXPECT_TRUE(r.effective.grants.contains(b.grant_id("source")));
  EXPECT_EQ(authority(r, user(2)).manage.size(), 1u);
}

TEST_P(SelfManagedDeletions, WorkGrowsWithTheDeletionsNotWithTheVault) {
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "each deleted twice" : "each deleted once");
    expect_work_per_deletion([&](std::size_t count, std::size_t ballast) { return work(count, twice, ballast); },
                             8, 64, twice ? 2 : 1);
  }
}

std::string name_of(ManagerSource source) {
  switch (source) {
    case ManagerSource::Direct: return "Direct";
    case ManagerSource::Group: return "Group";
    case ManagerSource::NestedGroup: return "NestedGroup";
    case ManagerSource::Delegated: return "Delegated";
    case ManagerSource::DirectPrefix: return "DirectPrefix";
  }
  return "?";
}
void PrintTo(ManagerSource source, std::ostream* out) { *out << name_of(source); }

INSTANTIATE_TEST_SUITE_P(ValidateDifferentialShapes, SelfManagedDeletions,
                         ::testing::Values(ManagerSource::Direct, ManagerSource::DirectPrefix, ManagerSource::Group,
                                           ManagerSource::NestedGroup, ManagerSource::Delegated),
                         [](const auto& info) { return name_of(info.param); });

// A manager (user 2) holding manage over "team" from the root deletes, one
// by one, narrow manage grants it gave: another manager of "team/b" (user
// 3), itself after rewriting its source at a higher counter (or narrowing
// it to Read, so that authority never settles), a user without other
// authority (user 4) whose refused grant leads to a signer with a deletion
// of its own (user 5), or a group that user 3 is in. No narrow entry
// answers a question anything else asks, so every admission leaves the
// state as it was but for its grant, and costs the same small work however
// large the vault. In the last two shapes each narrow entry lets its holder
// (or, through the group, a member) make a manage grant to a signer with a
// deletion of its own, so every admission changes something, and still
// costs only what it changes.
enum class NarrowDeletions {
  ToManager,
  RewrittenSource,
  FlippingSource,
  PowerlessGrantee,
  ToGroup,
  EachOneCounts,
  MemberMakesEach
};

struct NarrowDeletionShapes : ValidateDifferentialShapes, ::testing::WithParamInterface<NarrowDeletions> {
  static std::string narrow_seed(std::size_t i) { return "narrow-" + std::to_string(i); }

  std::vector<HashedRecord> vault(std::size_t count, std::size_t ballast = 0) {
    v = Shape{};
    v.add(b.vault_root());
    for (const std::uint8_t u : {2, 3, 4, 5}) v.enrol(b.identity(u));
    add_ballast(ballast, false);
    const GrantPermissionV1 team = manage_of(test::prefix({"team"}), kAllClasses);
    v.add(b.grant(b.root(), "source", user(2), team, 1));
    const auto& a = b.identity(2);
    PrincipalRefV1 holder = user(3);
    std::string at = "b";
    const bool each_counts =
        GetParam() == NarrowDeletions::EachOneCounts || GetParam() == NarrowDeletions::MemberMakesEach;
    switch (GetParam()) {
      case NarrowDeletions::MemberMakesEach:
        v.add(b.group(b.root(), "g", 0)).add(b.member(b.root(), b.group_id("g"), user(4), 0));
        holder = PrincipalRefV1{b.group_id("g")};
        at = "c";
        v.add(b.grant_deleted(b.identity(5), b.grant_id("ghost"),
                              test::read_permission(test::prefix({"team", "c", "s0", "x", "y"})), 3));
        break;
      case NarrowDeletions::ToGroup:
        v.add(b.group(b.root(), "g", 0)).add(b.member(b.root(), b.group_id("g"), user(3), 0));
        holder = PrincipalRefV1{b.group_id("g")};
        [[fallthrough]];
      case NarrowDeletions::ToManager:
        v.add(b.grant(a, "manager", holder, manage_of(test::prefix({"team", "b"}), kAllClasses), 1));
        // The manager's own deletion, after all of the narrow ones.
        v.add(b.grant(b.identity(3), "shared", user(5), test::read_permission(test::prefix({"team", "b", "x"})), 1));
        v.add(b.grant_deleted(b.identity(3), b.grant_id("shared"),
                              test::read_permission(test::prefix({"team", "b", "x"})), 3));
        break;
      case NarrowDeletions::RewrittenSource:
      case NarrowDeletions::FlippingSource:
        holder = user(2);
        at = "a";
        v.add(b.grant(a, "source", user(2),
                      GetParam() == NarrowDeletions::RewrittenSource ? team
                                                                     : test::read_permission(test::prefix({"team"})),
                      2));
        break;
      case NarrowDeletions::PowerlessGrantee:
      case NarrowDeletions::EachOneCounts:
        holder = user(4);
        at = "c";
        if (GetParam() == NarrowDeletions::PowerlessGrantee) {
          v.add(b.grant(b.identity(4), "refused", user(5), manage_of(test::prefix({"other"}), kAllClasses), 1));
          v.add(b.grant_deleted(b.identity(5), b.grant_id("source"), team, 3));
        } else {
          v.add(b.grant_deleted(b.identity(5), b.grant_id("ghost"),
                                test::read_permission(test::prefix({"team", "c", "s0", "x", "y"})), 3));
        }
        break;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const GrantPermissionV1 narrow = manage_of(test::prefix({"team", at, "s" + std::to_string(i)}), kAllClasses);
      v.add(b.grant(a, narrow_seed(i), holder, narrow, 1));
      v.add(b.grant_deleted(a, b.grant_id(narrow_seed(i)), narrow, 2));
      if (each_counts) {
        const std::string seed = "made-" + std::to_string(i);
        const GrantPermissionV1 made = manage_of(test::prefix({"team", at, "s" + std::to_string(i), "x"}), kAllClasses);
        v.add(b.grant(b.identity(4), seed, user(5), made, 1));
      }
    }
    return v.hashed();
  }

  std::uint64_t work(std::size_t count, std::size_t ballast) {
    const std::vector<HashedRecord> records = vault(count, ballast);
    const std::uint64_t before = validation_work();
    const auto report = validate_vault_with_verified(std::span<const HashedRecord>(records), v.trust,
                                                     remembering_crypto(), v.verified);
    const std::uint64_t after = validation_work();
    EXPECT_TRUE(report.has_value());
    return after - before;
  }
};

TEST_P(NarrowDeletionShapes, EveryDeletionIsJudgedAsTheReferenceJudgesIt) {
  constexpr std::size_t kNarrow = 6;
  vault(kNarrow);
  const ValidationReport r = v.report();
  for (std::size_t i = 0; i < kNarrow; ++i) EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id(narrow_seed(i))));
  const bool flips = GetParam() == NarrowDeletions::FlippingSource;
  EXPECT_EQ(r.effective.blocked, flips);
  EXPECT_EQ(r.issues.size(), flips ? 1u : 0u) << debug_string(r.issues);
  switch (GetParam()) {
    case NarrowDeletions::ToManager:
    case NarrowDeletions::ToGroup:
      EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("shared")));
      break;
    case NarrowDeletions::PowerlessGrantee:
      EXPECT_FALSE(r.effective.grants.contains(b.grant_id("refused")));
      EXPECT_TRUE(r.effective.grants.contains(b.grant_id("source")));
      break;
    case NarrowDeletions::EachOneCounts:
    case NarrowDeletions::MemberMakesEach:
      // What the narrow entries let user 4 make goes with them, and with it
      // what user 5 could delete.
      for (std::size_t i = 0; i < kNarrow; ++i) {
        EXPECT_FALSE(r.effective.grants.contains(b.grant_id("made-" + std::to_string(i))));
      }
      EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("ghost")));
      break;
    default:
      break;
  }
}

TEST_P(NarrowDeletionShapes, WorkGrowsWithTheDeletionsNotWithTheVault) {
  expect_work_per_deletion([&](std::size_t count, std::size_t ballast) { return work(count, ballast); }, 4, 24, 1);
}

std::string name_of(NarrowDeletions shape) {
  switch (shape) {
    case NarrowDeletions::ToManager: return "ToManager";
    case NarrowDeletions::RewrittenSource: return "RewrittenSource";
    case NarrowDeletions::FlippingSource: return "FlippingSource";
    case NarrowDeletions::PowerlessGrantee: return "PowerlessGrantee";
    case NarrowDeletions::ToGroup: return "ToGroup";
    case NarrowDeletions::EachOneCounts: return "EachOneCounts";
    case NarrowDeletions::MemberMakesEach: return "MemberMakesEach";
  }
  return "?";
}
void PrintTo(NarrowDeletions shape, std::ostream* out) { *out << name_of(shape); }

INSTANTIATE_TEST_SUITE_P(ValidateDifferentialShapes, NarrowDeletionShapes,
                         ::testing::Values(NarrowDeletions::ToManager, NarrowDeletions::RewrittenSource,
                                           NarrowDeletions::FlippingSource, NarrowDeletions::PowerlessGrantee,
                                           NarrowDeletions::ToGroup, NarrowDeletions::EachOneCounts,
                                           NarrowDeletions::MemberMakesEach),
                         [](const auto& info) { return name_of(info.param); });

// Removing a manage entry changes the answer to a question asked below its
// holder exactly when the entry answers it: a pending deletion's named
// permission, a grant record's, or the permission of a pending deletion's
// target; the holder a user or a group of nested, cyclic or self-membered
// groups that user 3 is in. Each pair of entry and question is judged by
// path (Exact, Prefix, Any), labels and classes as subsumption judges them.
// Validation finds the questions an entry answers through an index: one it
// missed would keep its old answer, and the report would differ from the
// reference's.
struct EntryQuestion {
  const char* name;
  GrantPermissionV1 entry;     // the removed manage grant's permission
  GrantPermissionV1 question;  // what user 3 asks
  bool answered;
};

KeyspaceSelectorV1 labelled(TupleMatcherV1 path, std::vector<KeyspaceLabelMatcherV1> labels) {
  return KeyspaceSelectorV1{std::move(path), std::move(labels)};
}

std::vector<EntryQuestion> entry_questions() {
  using R = grant_class::Read;
  using W = grant_class::Write;
  using M = grant_class::Manage;
  const KeyspaceLabelMatcherV1 prod{"env", label_matcher::Equals{"prod"}};
  const KeyspaceLabelMatcherV1 a_or_b{"env", label_matcher::In{{"a", "b"}}};
  const KeyspaceLabelMatcherV1 a{"env", label_matcher::Equals{"a"}};
  const auto read = [](KeyspaceSelectorV1 s) { return test::read_permission(std::move(s)); };
  const auto prefix = [](std::vector<std::string> p) { return test::prefix(std::move(p)); };
  return {
      {"exact, the same exact", manage_of(exact({"t", "x"}), kAllClasses), read(exact({"t", "x"})), true},
      {"exact, a prefix at it", manage_of(exact({"t", "x"}), kAllClasses), read(prefix({"t", "x"})), false},
      {"exact, deeper", manage_of(exact({"t"}), kAllClasses), read(exact({"t", "x"})), false},
      {"prefix, a deeper exact", manage_of(prefix({"t"}), kAllClasses), read(exact({"t", "x", "y"})), true},
      {"prefix, the same prefix", manage_of(prefix({"t"}), kAllClasses), read(prefix({"t"})), true},
      {"prefix, the exact at it", manage_of(prefix({"t"}), kAllClasses), read(exact({"t"})), true},
      {"prefix, above", manage_of(prefix({"t", "x"}), kAllClasses), read(prefix({"t"})), false},
      {"prefix, a sibling", manage_of(prefix({"t", "x"}), kAllClasses), read(exact({"t", "y"})), false},
      {"any, any", manage_of(test::any_keyspace(), kAllClasses), read(test::any_keyspace()), true},
      {"any, an exact", manage_of(test::any_keyspace(), kAllClasses), read(exact({"q"})), true},
      {"any, the empty exact", manage_of(test::any_keyspace(), kAllClasses), read(exact({})), true},
      {"labelled any, the same label", manage_of(labelled(tuple_matcher::Any{}, {prod}), kAllClasses),
       read(labelled(tuple_matcher::Exact{{"q"}}, {prod})), true},
      {"labelled any, no label", manage_of(labelled(tuple_matcher::Any{}, {prod}), kAllClasses), read(exact({"q"})),
       false},
      {"prefix in a set, one of it", manage_of(labelled(tuple_matcher::Prefix{{"t"}}, {a_or_b}), kAllClasses),
       read(labelled(tuple_matcher::Prefix{{"t", "x"}}, {a})), true},
      {"exact in a set, one of it", manage_of(labelled(tuple_matcher::Exact{{"t"}}, {a_or_b}), kAllClasses),
       read(labelled(tuple_matcher::Exact{{"t"}}, {a})), true},
      {"read only, a write", manage_of(prefix({"t"}), {R{}}), test::write_permission(exact({"t", "x"})), false},
      {"write, a write", manage_of(prefix({"t"}), {W{}}), test::write_permission(exact({"t", "x"})), true},
      {"manage, a narrower manage", manage_of(prefix({"t"}), {R{}, M{}}), manage_of(prefix({"t", "x"}), {R{}}), true},
      {"manage, more classes", manage_of(prefix({"t"}), {R{}, M{}}), manage_of(prefix({"t", "x"}), {R{}, W{}}), false},
      {"no manage class, a manage", manage_of(prefix({"t"}), {R{}, W{}}), manage_of(prefix({"t", "x"}), {R{}}), false},
      {"any write and manage, a write manage", manage_of(test::any_keyspace(), {W{}, M{}}),
       manage_of(exact({"t"}), {W{}}), true},
  };
}

enum class Holder { User, Group, NestedGroups, GroupCycle, SelfMemberGroup };
enum class Asker { Deletion, Grant, DeletionTarget };

struct EntryQuestions : ValidateDifferentialShapes,
                        ::testing::WithParamInterface<std::tuple<std::size_t, Holder, Asker>> {};

TEST_P(EntryQuestions, JudgedAsTheReferenceJudgesThem) {
  const auto [index, holding, asker] = GetParam();
  const EntryQuestion q = entry_questions()[index];
  SCOPED_TRACE(q.name);
  for (const std::uint8_t u : {2, 3, 4, 5}) v.enrol(b.identity(u));
  v.add(b.grant(b.root(), "source", user(2), manage_of(test::any_keyspace(), kAllClasses), 1));
  const auto group = [&](const char* name) { return PrincipalRefV1{b.group_id(name)}; };
  const auto member = [&](const char* of, const PrincipalRefV1& who) { v.add(b.member(b.root(), b.group_id(of), who, 0)); };
  PrincipalRefV1 holder = user(3);
  for (const char* name : {"g1", "g2", "g3"}) v.add(b.group(b.root(), name, 0));
  switch (holding) {
    case Holder::User:
      break;
    case Holder::Group:
      member("g1", user(3));
      holder = group("g1");
      break;
    case Holder::NestedGroups:
      member("g1", group("g2"));
      member("g2", group("g3"));
      member("g3", user(3));
      holder = group("g1");
      break;
    case Holder::GroupCycle:
      member("g1", group("g2"));
      member("g2", group("g1"));
      member("g2", user(3));
      holder = group("g1");
      break;
    case Holder::SelfMemberGroup:
      member("g1", group("g1"));
      member("g1", user(3));
      holder = group("g1");
      break;
  }
  v.add(b.grant(b.identity(2), "removed", holder, q.entry, 1));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("removed"), q.entry, 2));
  // A later deletion that changes nothing anyone asks about.
  const GrantPermissionV1 elsewhere = manage_of(exact({"elsewhere"}), kAllClasses);
  v.add(b.grant(b.identity(2), "other", user(5), elsewhere, 1));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("other"), elsewhere, 4));
  switch (asker) {
    case Asker::Deletion:
      v.add(b.grant_deleted(b.identity(3), b.grant_id("ghost"), q.question, 3));
      break;
    case Asker::Grant: {
      // What user 3 makes gives user 4 the authority for a deletion of its own.
      v.add(b.grant(b.identity(3), "made", user(4), q.question, 1));
      const auto& made = std::get<grant_permission::Manage>(q.question);
      const GrantPermissionV1 named = std::holds_alternative<grant_class::Write>(made.grantable.front())
                                          ? test::write_permission(made.selector)
                                          : test::read_permission(made.selector);
      v.add(b.grant_deleted(b.identity(4), b.grant_id("ghost"), named, 3));
      break;
    }
    case Asker::DeletionTarget:
      // User 3 may always name what its deletion names; whether it may
      // remove the target is the question.
      v.add(b.grant(b.root(), "target", user(5), q.question, 1));
      v.add(b.grant(b.root(), "base", user(3), manage_of(exact({"zz"}), kAllClasses), 1));
      v.add(b.grant_deleted(b.identity(3), b.grant_id("target"), test::read_permission(exact({"zz"})), 3));
      break;
  }
  const ValidationReport r = v.report();  // the same report as the reference's
  EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("removed")));
  EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("other")));
  // What hangs on the answer, once the entry went: user 3's grant to user
  // 4 and the deletion it allowed, user 3's deletions.
  if (asker == Asker::Grant) {
    EXPECT_FALSE(r.effective.grants.contains(b.grant_id("made")));
  }
  EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("ghost")));
}

// Only a manage question, made into a grant, gives its grantee authority.
std::vector<std::tuple<std::size_t, Holder, Asker>> entry_question_cases() {
  std::vector<std::tuple<std::size_t, Holder, Asker>> out;
  const auto questions = entry_questions();
  for (std::size_t i = 0; i < questions.size(); ++i) {
    for (const Holder h : {Holder::User, Holder::Group, Holder::NestedGroups, Holder::GroupCycle,
                           Holder::SelfMemberGroup}) {
      for (const Asker a : {Asker::Deletion, Asker::Grant, Asker::DeletionTarget}) {
        if (a != Asker::Grant || std::holds_alternative<grant_permission::Manage>(questions[i].question)) {
          out.emplace_back(i, h, a);
        }
      }
    }
  }
  return out;
}

std::string name_of(Holder holder) {
  switch (holder) {
    case Holder::User: return "User";
    case Holder::Group: return "Group";
    case Holder::NestedGroups: return "NestedGroups";
    case Holder::GroupCycle: return "GroupCycle";
    case Holder::SelfMemberGroup: return "SelfMemberGroup";
  }
  return "?";
}

std::string name_of(Asker asker) {
  switch (asker) {
    case Asker::Deletion: return "Deletion";
    case Asker::Grant: return "Grant";
    case Asker::DeletionTarget: return "DeletionTarget";
  }
  return "?";
}

void PrintTo(Holder holder, std::ostream* out) { *out << name_of(holder); }
void PrintTo(Asker asker, std::ostream* out) { *out << name_of(asker); }

// "<question>_<holder>_<asker>", the question by its number and name.
std::string entry_question_case_name(const std::tuple<std::size_t, Holder, Asker>& c) {
  const auto [question, holder, asker] = c;
  return test::case_name(question, entry_questions()[question].name) + "_" + name_of(holder) + "_" + name_of(asker);
}

INSTANTIATE_TEST_SUITE_P(ValidateDifferentialShapes, EntryQuestions, ::testing::ValuesIn(entry_question_cases()),
                         [](const auto& info) { return entry_question_case_name(info.param); });

// A pending deletion whose target has many records is taken to ask
// everything of its signer: removing any entry from it costs a computation,
// and the deletion is judged as the reference judges it. With fewer records
// each is asked on its own.
TEST_F(ValidateDifferentialShapes, DeletionOfATargetWithManyRecordsAsksEverything) {
  for (const std::size_t target_records : {std::size_t{8}, std::size_t{9}}) {
    SCOPED_TRACE(target_records);
    v = Shape{};
    v.add(b.vault_root());
    for (const std::uint8_t u : {2, 3, 5}) v.enrol(b.identity(u));
    v.add(b.grant(b.root(), "source", user(2), manage_of(test::any_keyspace(), kAllClasses), 1));
    v.add(b.grant(b.root(), "base", user(3), manage_of(exact({"zz"}), kAllClasses), 1));
    for (std::size_t i = 0; i < target_records; ++i) {
      v.add(b.grant(b.root(), "target", user(5), test::read_permission(exact({"t", "x", std::to_string(i)})), 1 + i));
    }
    const GrantPermissionV1 entry = manage_of(test::prefix({"t", "x"}), kAllClasses);
    v.add(b.grant(b.identity(2), "removed", user(3), entry, 1));
    v.add(b.grant_deleted(b.identity(2), b.grant_id("removed"), entry, 20));
    v.add(b.grant_deleted(b.identity(3), b.grant_id("target"), test::read_permission(exact({"zz"})), 30));
    const ValidationReport r = v.report();
    EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("removed")));
    EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("target")));
  }
}

TEST_F(ValidateDifferentialShapes, SelfManagedDeletionsAroundTheLossOfTheManagersSource) {
  // The manager deletes its own grants at even counters; the root takes its
  // source away at counter 7, after which its own grants no longer stand
  // and its later deletions are refused. A group member's copy of the same
  // entry and a second deletion of one grant come in between.
  v.enrol(b.identity(2)).enrol(b.identity(3));
  const GrantPermissionV1 everything = manage_of(test::any_keyspace(), kAllClasses);
  v.add(b.grant(b.root(), "source", user(2), everything, 1));
  v.add(b.group(b.root(), "team", 0)).add(b.member(b.root(), b.group_id("team"), user(3), 0));
  v.add(b.grant(b.root(), "team-app", PrincipalRefV1{b.group_id("team")}, manage_of(test::prefix({"app"}), kAllClasses), 1));
  std::set<GrantId> expected = {b.grant_id("source")};
  for (std::uint64_t i = 0; i < 6; ++i) {
    const std::string seed = "own-" + std::to_string(i);
    const GrantPermissionV1 own = manage_of(test::prefix({"app", std::to_string(i)}), kAllClasses);
    v.add(b.grant(b.identity(2), seed, i % 3 == 2 ? PrincipalRefV1{b.group_id("team")} : user(2), own, 1));
    v.add(b.grant_deleted(b.identity(2), b.grant_id(seed), own, 2 + 2 * i));
    if (2 + 2 * i < 7) expected.insert(b.grant_id(seed));
  }
  v.add(b.grant_deleted(b.identity(2), b.grant_id("own-1"), test::read_permission(exact({"app", "1"})), 5));
  v.add(b.grant_deleted(b.root(), b.grant_id("source"), everything, 7));
  // The team member deletes what the manager gave the team, within its
  // own keyspace, after the manager's source is gone.
  v.add(b.grant_deleted(b.identity(3), b.grant_id("own-5"), manage_of(test::prefix({"app", "5"}), kAllClasses), 13));
  expected.insert(b.grant_id("own-5"));
  const ValidationReport r = v.report();
  EXPECT_EQ(r.effective.deleted_grants, expected);
  EXPECT_TRUE(r.effective.authority_for_user(b.identity(2).user_id()).manage.empty());
}

TEST_F(ValidateDifferentialShapes, SelfManagedDeletionWhileTheSourceFlipsBetweenValues) {
  // The manager overwrites the grant its authority rests on with a read
  // grant that only its own grant lets it make, so the fixed point cycles
  // with period three: the root's manage entry, then the overwrite and the
  // own grant, then the overwrite alone. The source grant's id is in every
  // selection, and its manage entry in the last one, but not in a run that
  // covers the own grant's iterations. Deleting the own grant shortens the
  // cycle to two, which leaves the manager without authority in the last
  // iteration: its later deletion is refused, as the reference refuses it.
  v.enrol(b.identity(2), 2);
  v.add(b.grant(b.root(), "source", user(2), manage_of(test::any_keyspace(), kAllClasses), 1));
  v.add(b.grant(b.identity(2), "source", user(2), test::read_permission(test::prefix({"web"})), 2));
  const GrantPermissionV1 own = manage_of(test::prefix({"web"}), {grant_class::Read{}, grant_class::Write{}});
  v.add(b.grant(b.identity(2), "own", user(2), own, 2));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("own"), own, 3));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("elsewhere"), test::read_permission(exact({"app"})), 5));
  const ValidationReport r = v.report();
  EXPECT_TRUE(r.effective.blocked);
  EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("own")));
  EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("elsewhere")));
}

TEST_F(ValidateDifferentialShapes, SelfManagedGrantIdRewrittenForAnotherHolder) {
  // The manager writes one grant id twice: to itself, which its source
  // covers, and at a higher counter to another user, whom nothing else
  // covers. Deleting that id takes the other user's entry away, so the
  // other user's later deletion is refused.
  v.enrol(b.identity(2)).enrol(b.identity(3));
  v.add(b.grant(b.root(), "source", user(2), manage_of(test::any_keyspace(), kAllClasses), 1));
  const GrantPermissionV1 narrow = manage_of(exact({"app", "1"}), kAllClasses);
  v.add(b.grant(b.identity(2), "own", user(2), narrow, 1));
  v.add(b.grant(b.identity(2), "own", user(3), narrow, 2));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("own"), narrow, 3));
  v.add(b.grant_deleted(b.identity(3), b.grant_id("gone"), test::read_permission(exact({"app", "1"})), 4));
  const ValidationReport r = v.report();
  EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("own")));
  EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("gone")));
}

TEST_F(ValidateDifferentialShapes, CoveringEntryMustCarryEveryClassOfTheRemovedOne) {
  // The manager's standing entry covers everything but may only grant
  // reading; the write-and-manage entry another manager gave it is the one
  // its later deletion needs, so removing that entry changes its answers.
  v.enrol(b.identity(2)).enrol(b.identity(3));
  v.add(b.grant(b.root(), "reader", user(2), manage_of(test::any_keyspace(), {grant_class::Read{}}), 1));
  v.add(b.grant(b.root(), "other", user(3), manage_of(test::prefix({"app"}), kAllClasses), 1));
  const GrantPermissionV1 given = manage_of(test::prefix({"app", "x"}), {grant_class::Write{}, grant_class::Manage{}});
  v.add(b.grant(b.identity(3), "given", user(2), given, 1));
  v.add(b.grant_deleted(b.identity(3), b.grant_id("given"), given, 2));
  v.add(b.grant_deleted(b.identity(2), b.grant_id("gone"), test::write_permission(exact({"app", "x", "1"})), 3));
  const ValidationReport r = v.report();
  EXPECT_TRUE(r.effective.deleted_grants.contains(b.grant_id("given")));
  EXPECT_FALSE(r.effective.deleted_grants.contains(b.grant_id("gone")));
}

TEST_F(ValidateDifferentialShapes, GrantOverwrittenByItsOwnHolderNeverSettles) {
  const auto& x = b.identity(2);
  v.enrol(x);
  v.add(b.grant(b.root(), "shaky", user(2), test::manage_permission(test::any_keyspace()), 1));
  v.add(b.grant(x, "shaky", user(2), test::read_permission(test::any_keyspace()), 2));
  const ValidationReport r = v.report();
  EXPECT_TRUE(r.effective.blocked);
  EXPECT_EQ(r.issues, std::vector<ValidationIssue>{issue::AuthorityDidNotConverge{}});
}

// One grant of user 3's written again and again, each record under its own
// narrow entry that user 2 gave it and then revokes: as the revocations
// are admitted, the records lose their admission one by one, and each
// time another record, the next admitted one down, decides the grant. The
// records at counters of their own or all at one (in conflict while two
// are admitted), revoked newest first, oldest first or interleaved; the
// grant's outcome is judged again from the records that changed.
TEST_F(ValidateDifferentialShapes, OneGrantRewrittenUnderEachRevokedEntry) {
  constexpr std::size_t kRecords = 7;
  const struct {
    const char* name;
    bool one_counter;
    std::vector<std::size_t> order;  // which entry each revocation takes, in the order they are admitted
  } cases[] = {
      {"newest first", false, {6, 5, 4, 3, 2, 1, 0}},
      {"oldest first", false, {0, 1, 2, 3, 4, 5, 6}},
      {"interleaved", false, {3, 6, 0, 5, 1, 4}},
      {"one counter, newest first", true, {6, 5, 4, 3, 2, 1, 0}},
      {"one counter, interleaved", true, {3, 6, 0, 5, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    v = Shape{};
    v.add(b.vault_root());
    for (const std::uint8_t u : {2, 3, 4}) v.enrol(b.identity(u));
    v.add(b.grant(b.root(), "source", user(2), manage_of(test::prefix({"team"}), kAllClasses), 1));
    const auto narrow = [](std::size_t i) {
      return manage_of(test::prefix({"team", "s" + std::to_string(i)}), kAllClasses);
    };
    for (std::size_t i = 0; i < kRecords; ++i) {
      v.add(b.grant(b.identity(2), "narrow-" + std::to_string(i), user(3), narrow(i), 1));
      v.add(b.grant(b.identity(3), "rewritten", user(4),
                    test::read_permission(test::prefix({"team", "s" + std::to_string(i), "x"})),
                    c.one_counter ? 5 : 10 + i));
    }
    for (std::size_t at = 0; at < c.order.size(); ++at) {
      const std::size_t i = c.order[at];
      v.add(b.grant_deleted(b.identity(2), b.grant_id("narrow-" + std::to_string(i)), narrow(i), 2 + at));
    }
    const ValidationReport r = v.report();  // the same report as the reference's
    EXPECT_EQ(r.effective.deleted_grants.size(), c.order.size());
    // The records left decide: the newest alone, or, at one counter, any
    // two of them in conflict; none, once every entry went.
    const std::size_t left = kRecords - c.order.size();
    const bool conflicted = c.one_counter && left >= 2;
    EXPECT_EQ(r.effective.grants.contains(b.grant_id("rewritten")), left > 0 && !conflicted);
    EXPECT_EQ(r.effective.conflicts.contains(RecordKey{record_key::Grant{b.grant_id("rewritten")}}), conflicted);
  }
}

}  // namespace
