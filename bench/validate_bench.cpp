// Validation of generated vaults against the cost of its unavoidable work:
// without a verified set it checks one signature per record, so it is
// compared with bare Ed25519 verification of as many signatures; with
// every record verified it only decodes and hashes, so it is compared with
// bare SHA-256 of the file's bytes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vornex/core/handles.hpp"
#include "bench_support.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/signed_records.hpp"
#include "vornex/crypto/transcript.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::bench::must;
using vornex::bench::provider;
using vornex::bench::sign;


constexpr int kWriters = 4;

struct Generated {
  cord::Bytes file;
  std::unique_ptr<Ratchet> ratchet;
  VerifiedHashes all_hashes;
};


const crypto::Identity& identity(std::uint8_t seed) {
  static std::map<std::uint8_t, std::unique_ptr<crypto::Identity>> made;
  auto& slot = made[seed];
  if (!slot) {
    slot = std::make_unique<crypto::Identity>(
        must(crypto::Identity::from_master_seed(provider(), cord::Bytes(crypto::kMasterSeedSize, seed))));
  }
  return *slot;
}


KeyspaceSelectorV1 prefix(std::string segment) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{{"team", std::move(segment)}}, {}};
}

// A root, four writers with handles and entry points, two groups with
// members, one write grant per writer and a read grant per group, then
// `secrets` secret records spread over the writers' keyspaces.
const Generated& generated(std::size_t secrets) {
  static std::map<std::size_t, Generated> cache;
  if (auto it = cache.find(secrets); it != cache.end()) return it->second;
  const crypto::Identity& root = identity(1);
  std::vector<VaultRecordV1> records{sign(root, VaultRootRecordV1{root.user_id(), root.hpke_public_key()})};
  const auto hash_of = [](cord::ByteView domain, const std::string& text) {
    return must(derive_hash(provider(), domain, IdSeed(cord::Bytes(text.begin(), text.end()))));
  };
  std::vector<GroupId> groups;
  for (const std::string name : {"ops", "dev"}) {
    groups.emplace_back(hash_of(domains::kGroup, name));
    records.push_back(sign(root, GroupRecordV1{groups.back(), IdSeed(cord::Bytes(name.begin(), name.end())), name, 1}));
  }
  for (int w = 0; w < kWriters; ++w) {
    const crypto::Identity& user = identity(static_cast<std::uint8_t>(2 + w));
    const std::string handle = "writer-" + std::to_string(w);
    records.push_back(sign(root, UserRecordV1{user.user_id(), user.signing_public_key(), user.hpke_public_key(), 1}));
    records.push_back(sign(user, EntryPointRecordV1{root.user_id(), user.hpke_public_key(), 1}));
    records.push_back(sign(root, UserHandleRecordV1{must(derive_user_handle_id(provider(), handle)), handle,
                                                    user.user_id(), 1}));
    const GroupId& group = groups[static_cast<std::size_t>(w) % groups.size()];
    const PrincipalRefV1 member{user.user_id()};
    records.push_back(sign(root, GroupMemberRecordV1{must(derive_group_member_id(provider(), group, member)), group,
                                                     member, 1}));
    const std::string seed = "grant-" + std::to_string(w);
    records.push_back(sign(root, GrantRecordV1{GrantId(hash_of(domains::kGrant, seed)),
                                               IdSeed(cord::Bytes(seed.begin(), seed.end())), member,
                                               grant_permission::Write{prefix(std::to_string(w))}, 1}));
  }
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::string seed = "group-grant-" + std::to_string(g);
    records.push_back(sign(root, GrantRecordV1{GrantId(hash_of(domains::kGrant, seed)),
                                               IdSeed(cord::Bytes(seed.begin(), seed.end())),
                                               PrincipalRefV1{groups[g]}, grant_permission::Read{prefix("0")}, 1}));
  }
  for (std::size_t i = 0; i < secrets; ++i) {
    const int w = static_cast<int>(i % kWriters);
    const SecretSelectorV1 selector{{"team", std::to_string(w), "secret-" + std::to_string(i)},
                                    {{"env", i % 2 ? "prod" : "dev"}}};
    // A payload of realistic size; its contents are never opened here.
    SealedPayloadV1 payload{cord::Bytes(12, 7), cord::Bytes(80, 9), {}};
    for (int r = 0; r < 2; ++r) {
      payload.recipient_slots.push_back(
          RecipientSlotV1{identity(static_cast<std::uint8_t>(2 + (w + r) % kWriters)).user_id().to_vec(),
                          cord::Bytes(32, 3), cord::Bytes(48, 4)});
    }
    records.push_back(sign(identity(static_cast<std::uint8_t>(2 + w)),
                           SecretRecordV1{must(derive_secret_id(provider(), selector)), selector, std::move(payload),
                                          1 + i / kWriters}));
  }
  Generated out;
  out.file = must(encode_vault(must(cord::Set<VaultRecordV1>::from(std::move(records)))));
  out.ratchet = std::make_unique<Ratchet>(Ratchet::make(must(key_hash(provider(), root.signing_public_key())).to_vec()));
  for (const HashedRecord& r : must(decode_vault_hashed(out.file, provider()))) out.all_hashes.insert(r.hash);
  return cache.emplace(secrets, std::move(out)).first->second;
}

void validate_file(benchmark::State& state, bool cached) {
  const Generated& g = generated(static_cast<std::size_t>(state.range(0)));
  const VerifiedHashes none;
  for (auto _ : state) {
    auto records = must(decode_vault_hashed(g.file, provider()));
    auto report =
        must(validate_vault_with_verified(std::move(records), *g.ratchet, provider(), cached ? g.all_hashes : none));
    if (!report.issues.empty()) state.SkipWithError("generated vault has issues");
    benchmark::DoNotOptimize(report);
  }
}

void BM_ValidateNoVerifiedSet(benchmark::State& state) { validate_file(state, false); }
void BM_ValidateAllVerified(benchmark::State& state) { validate_file(state, true); }

// The vault's own signatures, verified by libsodium alone over the exact
// messages that were signed.
void BM_BareVerify(benchmark::State& state) {
  struct Signed {
    cord::Bytes message, public_key, signature;
  };
  std::vector<Signed> all;
  for (const HashedRecord& r : must(decode_vault_hashed(generated(static_cast<std::size_t>(state.range(0))).file,
                                                        provider()))) {
    all.push_back({crypto::signature_transcript(domains::kSigned, must(signed_record_message(r.record.body))),
                   r.record.signing_public_key, r.record.signature});
  }
  for (auto _ : state) {
    int failures = 0;
    for (const Signed& s : all) {
      failures += crypto_sign_verify_detached(s.signature.data(), s.message.data(), s.message.size(),
                                              s.public_key.data());
    }
    if (failures != 0) state.SkipWithError("a signature did not verify");
    benchmark::DoNotOptimize(failures);
  }
}

// libsodium's portable SHA-256, and OpenSSL's, which uses the CPU's SHA
// extensions and is the one the domain hash runs on.
void BM_BareSha256(benchmark::State& state) {
  const cord::Bytes& file = generated(static_cast<std::size_t>(state.range(0))).file;
  unsigned char digest[crypto_hash_sha256_BYTES];
  for (auto _ : state) {
    crypto_hash_sha256(digest, file.data(), file.size());
    benchmark::DoNotOptimize(digest);
  }
}

void BM_BareSha256OpenSsl(benchmark::State& state) {
  const cord::Bytes& file = generated(static_cast<std::size_t>(state.range(0))).file;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  for (auto _ : state) {
    EVP_Digest(file.data(), file.size(), digest, &length, sha256, nullptr);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_free(sha256);
}

#define VORNEX_SIZES ->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ValidateNoVerifiedSet) VORNEX_SIZES;
BENCHMARK(BM_BareVerify) VORNEX_SIZES;
BENCHMARK(BM_ValidateAllVerified) VORNEX_SIZES;
BENCHMARK(BM_BareSha256) VORNEX_SIZES;
BENCHMARK(BM_BareSha256OpenSsl) VORNEX_SIZES;

// Keeps each run's time per iteration so the ratios can be printed last.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // A single run, or the median of repetitions.
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        times_[run.run_name.str()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    for (const char* size : {"1000", "10000", "100000"}) {
      const auto ratio = [&](const char* a, const char* b) {
        const auto x = times_.find(std::string(a) + "/" + size);
        const auto y = times_.find(std::string(b) + "/" + size);
        return x == times_.end() || y == times_.end() ? -1.0 : x->second / y->second;
      };
      std::printf("%7s secrets: no verified set / bare verify = %.2fx (target 1.3x); "
                  "all verified / bare sha256 = %.2fx (target 5x), / OpenSSL sha256 = %.2fx\n",
                  size, ratio("BM_ValidateNoVerifiedSet", "BM_BareVerify"),
                  ratio("BM_ValidateAllVerified", "BM_BareSha256"),
                  ratio("BM_ValidateAllVerified", "BM_BareSha256OpenSsl"));
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
