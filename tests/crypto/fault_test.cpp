// Key derivation failing inside libcrypto must fail the operation built on
// it: nothing may be sealed, opened or derived with the zeroed key a failed
// derivation leaves behind. This executable defines the libcrypto entry
// points our code calls; each forwards to the real one unless a test has
// switched a failure on. The definitions are hidden, so only calls from our
// libraries (linked into this executable) are redirected, never libcrypto's
// calls to itself.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/kdf.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/wrap.hpp"

namespace {

using namespace vornex;
using namespace vornex::crypto;
using namespace vornex::test;

enum class Entry { KdfFetch, KdfDerive, MacFetch, MacInit, MacFinal, MdFetch, MdContext, Count };

struct Switch {
  long calls = 0;
  bool always = false;  // every call fails
  long only = -1;       // or only the call with this number, counted from 0
};

std::array<Switch, static_cast<std::size_t>(Entry::Count)> switches;

Switch& at(Entry entry) { return switches[static_cast<std::size_t>(entry)]; }
long calls(Entry entry) { return at(entry).calls; }

// Counts the call, and says whether it is to fail.
bool failing(Entry entry) {
  Switch& s = at(entry);
  const long call = s.calls++;
  return s.always || call == s.only;
}

// The definition after this executable's own: libcrypto's.
template <class Function>
Function* next(Function*, const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "no libcrypto definition of %s\n", name);
    std::abort();
  }
  return reinterpret_cast<Function*>(found);
}

}  // namespace

// Fails when switched to, else calls the real `function`, looked up once.
#define VX_INTERPOSE(entry, failed, function, ...)      \
  if (failing(entry)) return failed;                    \
  static auto* const real = next(&function, #function); \
  return real(__VA_ARGS__)
#define VX_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

VX_HIDDEN EVP_KDF* EVP_KDF_fetch(OSSL_LIB_CTX* libctx, const char* algorithm, const char* properties) {
  VX_INTERPOSE(Entry::KdfFetch, nullptr, EVP_KDF_fetch, libctx, algorithm, properties);
}
VX_HIDDEN int EVP_KDF_derive(EVP_KDF_CTX* ctx, unsigned char* key, size_t keylen, const OSSL_PARAM params[]) {
  VX_INTERPOSE(Entry::KdfDerive, 0, EVP_KDF_derive, ctx, key, keylen, params);
}
VX_HIDDEN EVP_MAC* EVP_MAC_fetch(OSSL_LIB_CTX* libctx, const char* algorithm, const char* properties) {
  VX_INTERPOSE(Entry::MacFetch, nullptr, EVP_MAC_fetch, libctx, algorithm, properties);
}
VX_HIDDEN int EVP_MAC_init(EVP_MAC_CTX* ctx, const unsigned char* key, size_t keylen, const OSSL_PARAM params[]) {
  VX_INTERPOSE(Entry::MacInit, 0, EVP_MAC_init, ctx, key, keylen, params);
}
VX_HIDDEN int EVP_MAC_final(EVP_MAC_CTX* ctx, unsigned char* out, size_t* outl, size_t outsize) {
  VX_INTERPOSE(Entry::MacFinal, 0, EVP_MAC_final, ctx, out, outl, outsize);
}
VX_HIDDEN EVP_MD* EVP_MD_fetch(OSSL_LIB_CTX* libctx, const char* algorithm, const char* properties) {
  VX_INTERPOSE(Entry::MdFetch, nullptr, EVP_MD_fetch, libctx, algorithm, properties);
}
VX_HIDDEN EVP_MD_CTX* EVP_MD_CTX_new() { VX_INTERPOSE(Entry::MdContext, nullptr, EVP_MD_CTX_new); }

}  // extern "C"

namespace {

// Switches faults on for one scope; every switch and count is reset on
// the way in and out.
class Faults {
 public:
  Faults() { switches = {}; }
  ~Faults() { switches = {}; }
  Faults(const Faults&) = delete;
  Faults& operator=(const Faults&) = delete;

  Faults& always(Entry entry) {
    at(entry).always = true;
    return *this;
  }
  Faults& only(Entry entry, long call) {
    at(entry).only = call;
    return *this;
  }
};

X25519PrivateKey fixed_private_key() {
  return X25519PrivateKey(std::span<const std::uint8_t, 32>(kHpkePrivate.data(), 32));
}
const Bytes kContentKey = counting(32, 0x40);

constexpr std::string_view kEncap = "HPKE operation failed: Encapsulation failed";
constexpr std::string_view kDecap = "HPKE operation failed: Decapsulation failed";
constexpr std::string_view kSeal = "HPKE operation failed: Failed to seal plaintext";
constexpr std::string_view kOpen = "HPKE operation failed: Failed to open ciphertext";
constexpr std::string_view kEd25519 = "invalid Ed25519 secret key";
constexpr std::string_view kHpkePrivateKey = "invalid HPKE private key";

// An operation, its result as bytes, and the error each failing derivation
// step must give, in the order the operation runs them: `extractions[i]`
// when its extraction number i fails, `expansions[i]` likewise.
struct Operation {
  const char* name;
  std::function<core::CryptoResult<Bytes>()> run;
  Bytes expected;  // empty: checked by opening it instead
  std::vector<std::string_view> extractions, expansions;
};

template <class T, class Convert>
core::CryptoResult<Bytes> outcome(core::CryptoResult<T> result, Convert convert) {
  if (!result) return std::unexpected(std::move(result).error());
  return convert(std::move(*result));
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> all{
      // Encap extracts and expands once, then the key schedule extracts
      // three times (psk_id_hash, info_hash, secret) and expands twice.
      {"wrap_content_key",
       [] {
         const ContentKey key(std::span<const std::uint8_t, 32>(kContentKey.data(), 32));
         return outcome(wrap_content_key(kHpkePublic, text("ctx"), text("aad"), key), [](WrappedContentKey w) {
           return concat(std::move(w.encapsulated_key), w.wrapped_key);
         });
       },
       {},
       {kEncap, kSeal, kSeal, kSeal},
       {kEncap, kSeal, kSeal}},
      // Decap, then the same key schedule.
      {"unwrap_content_key",
       [] {
         return outcome(unwrap_content_key(fixed_private_key(), kSealedEncapsulatedKey, text("slot-context"), {},
                                           kSealedWrappedKey),
                        [](const ContentKey& key) { return to_bytes(key.view()); });
       },
       kContentKey,
       {kDecap, kOpen, kOpen, kOpen},
       {kDecap, kOpen, kOpen}},
      // One extraction for both keys, the Ed25519 expansion, the X25519
      // material's, then DeriveKeyPair's extraction and expansion.
      {"Identity::from_master_seed",
       [] {
         return outcome(Identity::from_master_seed(Crypto(), kSeed), [](const Identity& identity) {
           return concat(concat(identity.user_id().to_vec(), identity.signing_public_key()),
                         to_bytes(identity.hpke_private_key().view()));
         });
       },
       concat(concat(kUserId, kSigningPublic), kHpkePrivate),
       {kEd25519, kHpkePrivateKey},
       {kEd25519, kHpkePrivateKey, kHpkePrivateKey}},
  };
  return all;
}

// Checks what `op` gave: the independently computed value, or for a
// wrapped key, that it opens to the key. Run with no fault switched on.
void expect_success(const Operation& op, const core::CryptoResult<Bytes>& result) {
  ASSERT_TRUE(result.has_value()) << op.name << ": " << result.error().message();
  if (!op.expected.empty()) {
    EXPECT_EQ(*result, op.expected) << op.name;
    return;
  }
  const Bytes& sealed = *result;
  ASSERT_EQ(sealed.size(), 32u + 48u);
  const auto opened = unwrap_content_key(fixed_private_key(), Bytes(sealed.begin(), sealed.begin() + 32),
                                         text("ctx"), text("aad"), Bytes(sealed.begin() + 32, sealed.end()));
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  EXPECT_EQ(to_bytes(opened->view()), kContentKey);
}

// RFC 5869 A.1.
const Bytes kIkm = Bytes(22, 0x0b), kSalt = counting(13, 0x00), kInfo = counting(10, 0xf0);
const Bytes kPrk = hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5");
const Bytes kOkm = hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");

// The switch must really reach the calls our code makes: else every test
// below could pass without a single fault injected. A failed derivation
// leaves its output zeroed, and the next call works again.
TEST(Interposition, SwitchedOnFaultsReachOurCalls) {
  for (const Entry entry : {Entry::MacInit, Entry::MacFinal, Entry::KdfDerive}) {
    SCOPED_TRACE(static_cast<int>(entry));
    SecretArray<kSha256Size> prk;
    Bytes okm(kOkm.size(), 0x5A);
    prk.data()[0] = 0x5A;
    {
      Faults faults;
      faults.always(entry);
      if (entry == Entry::KdfDerive) {
        EXPECT_FALSE(hkdf_expand(kPrk, kInfo, okm));
        EXPECT_EQ(okm, Bytes(kOkm.size(), 0));
      } else {
        EXPECT_FALSE(hkdf_extract(kSalt, kIkm, prk));
        EXPECT_EQ(to_bytes(prk.view()), Bytes(32, 0));
      }
      EXPECT_EQ(calls(entry), 1);
    }
    ASSERT_TRUE(hkdf_extract(kSalt, kIkm, prk));
    EXPECT_EQ(to_bytes(prk.view()), kPrk);
    ASSERT_TRUE(hkdf_expand(kPrk, kInfo, okm));
    EXPECT_EQ(okm, kOkm);
  }
}

// Each derivation step failing on its own fails the operation with the
// error of its stage, so no step's result goes unchecked. One step past
// the last nothing fails: the tables name every step there is, and the
// operation succeeds again in the same process.
TEST(DerivationFault, EachFailingStepFailsTheOperation) {
  for (const Operation& op : operations()) {
    for (const Entry entry : {Entry::MacFinal, Entry::KdfDerive}) {
      const auto& errors = entry == Entry::MacFinal ? op.extractions : op.expansions;
      for (std::size_t step = 0; step <= errors.size(); ++step) {
        SCOPED_TRACE(std::string(op.name) + (entry == Entry::MacFinal ? ", extraction " : ", expansion ") +
                     std::to_string(step));
        const auto result = [&] {
          Faults faults;
          faults.only(entry, static_cast<long>(step));
          return op.run();
        }();
        if (step == errors.size()) {
          expect_success(op, result);
          continue;
        }
        ASSERT_FALSE(result.has_value()) << "succeeded despite the failed step";
        EXPECT_EQ(result.error().message(), errors[step]);
      }
    }
  }
}

constexpr const char* kFreshProcess = "VORNEX_FAULT_FRESH_PROCESS";

// Runs `test` again in a new process, where nothing was fetched before it.
void rerun_in_fresh_process(const std::string& test) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back(std::string(kFreshProcess) + "=1");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", filter = "--gtest_filter=" + test;
  char* argv[] = {self.data(), filter.data(), nullptr};

  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the fresh process ended by signal " << WTERMSIG(status);
  const int exit_code = WEXITSTATUS(status);
  EXPECT_EQ(exit_code, 0) << "the fresh-process run failed; its output is above";
}

// While a fetch fails every operation fails, fetching again each time; once
// it succeeds the same operations succeed in the same process, and fetch
// no more.
TEST(FetchFault, FailedFetchIsNotKept) {
  if (std::getenv(kFreshProcess) == nullptr) {
    rerun_in_fresh_process("FetchFault.FailedFetchIsNotKept");
    return;
  }
  ASSERT_EQ(calls(Entry::MacFetch) + calls(Entry::KdfFetch) + calls(Entry::MdFetch), 0);
  const auto n = static_cast<long>(operations().size());
  for (const Entry entry : {Entry::MacFetch, Entry::KdfFetch}) {
    Faults faults;
    faults.always(entry);
    for (const Operation& op : operations()) {
      SCOPED_TRACE(op.name);
      const auto result = op.run();
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().message(),
                entry == Entry::MacFetch ? op.extractions.front() : op.expansions.front());
    }
    EXPECT_EQ(calls(entry), n);
    // HMAC, once it could be fetched, was fetched by the first operation and
    // kept; HKDF was never reached while HMAC failed.
    EXPECT_EQ(calls(entry == Entry::MacFetch ? Entry::KdfFetch : Entry::MacFetch),
              entry == Entry::MacFetch ? 0 : 1);
  }
  {
    // The domain hash has no error result; it throws, as it always has.
    Faults faults;
    faults.always(Entry::MdFetch).always(Entry::MdContext);
    EXPECT_THROW(core::domain_hash(text("d"), text("x")), std::bad_alloc);
    at(Entry::MdContext).always = false;
    EXPECT_THROW(core::domain_hash(text("d"), text("x")), std::runtime_error);
    // Its key derivations get through now: HKDF, refused all along above,
    // is fetched at last.
    EXPECT_THROW(static_cast<void>(Identity::from_master_seed(Crypto(), kSeed)), std::runtime_error);
    EXPECT_EQ(calls(Entry::MdFetch), 2);
    EXPECT_EQ(calls(Entry::KdfFetch), 1);
  }
  // Every switch is off now, and every count back at zero.
  for (int round = 0; round < 2; ++round) {
    for (const Operation& op : operations()) expect_success(op, op.run());
  }
  // SHA-256 is fetched once and kept; the rest were kept already.
  EXPECT_EQ(calls(Entry::MacFetch), 0);
  EXPECT_EQ(calls(Entry::KdfFetch), 0);
  EXPECT_EQ(calls(Entry::MdFetch), 1);
  EXPECT_EQ(calls(Entry::MdContext), 0);
}

}  // namespace
