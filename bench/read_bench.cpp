// The reads of an open vault against their floor, on a generated vault of
// 10,000 secrets (or the count given first), each sealed to three readers:
//
//   get:   the checks, the lookup and the opening of one secret by one
//          reader, against the primitives it cannot avoid, one HPKE open
//          (one X25519, the KEM's two HKDF steps, the key schedule, the AEAD
//          open of the wrapped key) and the ChaCha20-Poly1305 open of the
//          content, over the same bytes;
//   list:  a listing under a filter that keeps 1% of the secrets, and under
//          one that keeps a single secret, against a listing of everything.
//
// Repetitions are interleaved and medians reported, as the machine is
// shared. Not part of CI.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/crypto/hpke.hpp"
#include "vornex/crypto/kdf.hpp"
#include "vornex/crypto/transcript.hpp"
#include "vornex/frontend/vault.hpp"
#include "vornex/ops/seal.hpp"
#include "vornex/ops/secrets.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using vornex::bench::must;
using vornex::bench::provider;
using vornex::bench::sign;
using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 21;
constexpr std::size_t kGetsPerRepetition = 200;
constexpr std::size_t kTeams = 100;

crypto::Identity identity(std::uint8_t seed) {
  return must(crypto::Identity::from_master_seed(provider(), cord::Bytes(crypto::kMasterSeedSize, seed)));
}

cord::Bytes bytes(std::string_view text) { return cord::Bytes(text.begin(), text.end()); }

SecretSelectorV1 selector_of(std::size_t i) {
  char team[8], name[16];
  std::snprintf(team, sizeof team, "t%02zu", i % kTeams);
  std::snprintf(name, sizeof name, "s%05zu", i);
  return SecretSelectorV1{{"team", team, name}, {}};
}

struct Generated {
  crypto::Identity root = identity(1);
  std::vector<crypto::Identity> readers;
  validate::EffectiveState state;
};

// The root, three users who may read all of "team", then the secrets,
// written by the root and sealed to every reader.
Generated generate(std::size_t secrets) {
  Generated g;
  std::vector<VaultRecordV1> records{sign(g.root, VaultRootRecordV1{g.root.user_id(), g.root.hpke_public_key()})};
  for (std::uint8_t seed = 2; seed <= 4; ++seed) {
    const crypto::Identity& user = g.readers.emplace_back(identity(seed));
    records.push_back(sign(g.root, UserRecordV1{user.user_id(), user.signing_public_key(), user.hpke_public_key(), 1}));
    records.push_back(sign(user, EntryPointRecordV1{g.root.user_id(), user.hpke_public_key(), 1}));
    const std::string seed_text = "read-" + std::to_string(seed);
    records.push_back(sign(
        g.root, GrantRecordV1{GrantId(must(derive_hash(provider(), domains::kGrant, IdSeed(bytes(seed_text))))),
                              IdSeed(bytes(seed_text)), PrincipalRefV1{user.user_id()},
                              grant_permission::Read{KeyspaceSelectorV1{tuple_matcher::Prefix{{"team"}}, {}}}, 1}));
  }
  const auto ratchet = Ratchet::make(must(key_hash(provider(), g.root.signing_public_key())).to_vec());
  const auto validated = [&](const std::vector<VaultRecordV1>& all) {
    const cord::Bytes file = must(validate::encode_vault(must(cord::Set<VaultRecordV1>::from(all))));
    auto report = must(validate::validate_vault_with_verified(must(validate::decode_vault_hashed(file, provider())),
                                                              ratchet, provider(), {}));
    if (!report.issues.empty()) throw std::runtime_error("generated vault has issues");
    return std::move(report.effective);
  };
  const validate::EffectiveState principals = validated(records);
  for (std::size_t i = 0; i < secrets; ++i) {
    const SecretSelectorV1 selector = selector_of(i);
    const SecretId id = must(derive_secret_id(provider(), selector));
    const ops::RecordContext context{RecordKey{record_key::Secret{id}}, g.root.signing_public_key(), id, selector, 1};
    const auto value = SecretValueV1::from_primary(bytes("value-of-secret-" + std::to_string(i)));
    auto payload = must(ops::seal_secret_payload(principals, context, value));
    records.push_back(sign(g.root, SecretRecordV1{id, selector, std::move(payload), 1}));
  }
  g.state = validated(records);
  return g;
}

// LabeledExtract and LabeledExpand of the KEM, from the HKDF primitives.
constexpr std::string_view kKemLabel{"HPKE-v1KEM\x00\x20", 12};

cord::Bytes labeled(std::string_view prefix, std::string_view name, cord::ByteView rest) {
  cord::Bytes out(prefix.begin(), prefix.end());
  out.insert(out.end(), kKemLabel.begin(), kKemLabel.end());
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// One HPKE open and one content open, from the primitives, over what one
// reader's get opens. Empty when anything fails.
struct FloorInput {
  cord::Bytes enc, wrapped, binding, aad, nonce, ciphertext;
};

std::optional<cord::Bytes> floor_open(const crypto::Identity& reader, const FloorInput& in) {
  crypto::SecretArray<32> dh, prk;
  crypto::hpke::SharedSecret shared;
  if (!crypto::x25519(reader.hpke_private_key().view(), in.enc, dh)) return std::nullopt;
  cord::Bytes context = in.enc;
  context.insert(context.end(), reader.hpke_public_key().begin(), reader.hpke_public_key().end());
  if (!crypto::hkdf_extract({}, labeled("", "eae_prk", dh.view()), prk)) return std::nullopt;
  if (!crypto::hkdf_expand(prk.view(), labeled(std::string_view("\x00\x20", 2), "shared_secret", context),
                           shared.span())) {
    return std::nullopt;
  }
  const auto schedule = crypto::hpke::key_schedule(shared, crypto::hpke_info(in.binding));
  if (!schedule) return std::nullopt;
  const auto key = crypto::aead_open(schedule->key.view(), schedule->base_nonce.view(), in.binding, in.wrapped);
  if (!key) return std::nullopt;
  return crypto::aead_open(*key, in.nonce, in.aad, in.ciphertext);
}

FloorInput floor_input(const Generated& g, const crypto::Identity& reader, const SecretSelectorV1& selector) {
  const auto* live = must(g.state.live_secret(selector, provider()));
  const auto& record = std::get<SecretRecordV1>(live->body());
  const SealedPayloadV1 payload = must(record.payload.decoded());
  const auto& slots = payload.recipient_slots;
  const auto slot = std::ranges::find(slots, reader.user_id().to_vec(), &RecipientSlotV1::recipient);
  const cord::ByteView root = g.state.root_fingerprint->bytes();
  const ops::RecordContext context{RecordKey{record_key::Secret{record.secret_id}}, live->record.signing_public_key,
                                   record.secret_id, record.selector, record.counter};
  return FloorInput{slot->encapsulated_key, slot->wrapped_key,
                    must(ops::recipient_slot_binding_bytes(root, record.secret_id, selector, reader.user_id().bytes())),
                    must(ops::secret_content_aad_bytes(root, context, payload.nonce, slots)),
                    payload.nonce, payload.ciphertext};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class Op>
double micros_per_call(std::size_t calls, Op&& op) {
  const auto start = Clock::now();
  for (std::size_t i = 0; i < calls; ++i) op(i);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t secrets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10'000;
  const Generated g = generate(secrets);
  const crypto::Identity& reader = g.readers.front();

  std::vector<SecretSelectorV1> picked;
  std::vector<FloorInput> inputs;
  for (std::size_t k = 0; k < kGetsPerRepetition; ++k) {
    picked.push_back(selector_of((k * 7919) % secrets));
    inputs.push_back(floor_input(g, reader, picked.back()));
    // The floor opens what get opens.
    const auto opened = must(ops::current_plaintext(g.state, provider(), reader, picked.back()));
    const auto floor = floor_open(reader, inputs.back());
    const auto envelope = must(ops::plaintext_envelope(SecretValueV1::from_primary(opened.primary())));
    if (!floor || *floor != envelope) throw std::runtime_error("the floor does not open what get opens");
  }
  const std::optional<SecretSelectorV1> all, team{SecretSelectorV1{{"team", "t07"}, {}}},
      one{selector_of(7)};

  std::vector<double> floor, get, list_all, list_team, list_one;
  std::size_t listed = 0;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    floor.push_back(micros_per_call(kGetsPerRepetition, [&](std::size_t i) {
      if (!floor_open(reader, inputs[i])) throw std::runtime_error("floor failed");
    }));
    get.push_back(micros_per_call(kGetsPerRepetition, [&](std::size_t i) {
      if (!ops::current_plaintext(g.state, provider(), reader, picked[i])) throw std::runtime_error("get failed");
    }));
    list_all.push_back(micros_per_call(3, [&](std::size_t) { listed += frontend::list_selectors(g.state, all).size(); }));
    list_team.push_back(
        micros_per_call(30, [&](std::size_t) { listed += frontend::list_selectors(g.state, team).size(); }));
    list_one.push_back(micros_per_call(30, [&](std::size_t) { listed += frontend::list_selectors(g.state, one).size(); }));
  }
  const double f = median(floor), gt = median(get), la = median(list_all), lt = median(list_team),
               lo = median(list_one);
  std::printf("%zu secrets (%zu listed)\n", secrets, listed);
  std::printf("get %.1f us, floor %.1f us: get / floor = %.2fx (target 1.2x)\n", gt, f, gt / f);
  std::printf("list all %.0f us (%.3f us per secret); 1%% filter %.0f us (all / it = %.1fx); "
              "one-secret filter %.0f us (all / it = %.1fx); target 10x\n",
              la, la / static_cast<double>(secrets), lt, la / lt, lo, la / lo);
  return 0;
}
