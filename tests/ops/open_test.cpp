// What an opening costs and what it leaves behind: signature checks per
// road (this executable counts every Ed25519 verification by defining the
// libsodium entry point our code calls, forwarding to the real one), and a
// verification cache that is rewritten only when what it vouches for
// changes.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "keychain_seal.hpp"
#include "vornex/core/hex.hpp"
#include "ops_vault.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/store/cache_file.hpp"
#include "vornex/store/interrupt.hpp"
#include "vornex/store/lock.hpp"

namespace {

long g_verifications = 0;
// Where set, the verification of that number sends SIGINT to the process
// first, as a Ctrl-C in the middle of an opening's signature checks.
long g_interrupt_at = 0;

}  // namespace

extern "C" __attribute__((visibility("hidden"))) int crypto_sign_verify_detached(const unsigned char* sig,
                                                                                  const unsigned char* m,
                                                                                  unsigned long long mlen,
                                                                                  const unsigned char* pk) {
  using Real = int (*)(const unsigned char*, const unsigned char*, unsigned long long, const unsigned char*);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "crypto_sign_verify_detached"));
  if (real == nullptr) {
    std::fprintf(stderr, "no libsodium definition of crypto_sign_verify_detached\n");
    std::abort();
  }
  if (++g_verifications == g_interrupt_at) ::kill(::getpid(), SIGINT);
  return real(sig, m, mlen, pk);
}

namespace {

using namespace vornex;
using namespace vornex::test::data;

constexpr int kSecrets = 40;

// Hands out the identity of a fixed seed, as an unlocked keychain would.
class FixedKeychain final : public keychain::IdentityKeychain {
 public:
  explicit FixedKeychain(std::uint8_t seed) : seed_(seed) {}
  keychain::KeychainResult<crypto::Identity> unlock_identity(const crypto::Crypto&,
                                                             const keychain::KeychainRequest&) const override {
    return identity_of(seed_);
  }

 private:
  std::uint8_t seed_;
};

struct FileStamp {
  ino_t inode = 0;
  long long mtime_ns = 0;
  cord::Bytes bytes;
  bool operator==(const FileStamp&) const = default;
};

class Opening : public OpsVaultTest {
 protected:
  void SetUp() override {
    OpsVaultTest::SetUp();
    records_ = base_records();
    for (int i = 0; i < kSecrets; ++i) {
      records_.push_back(b.secret(b.root(), {{"app", "s" + std::to_string(i)}, {}}, {&b.root(), &id(kAlice)}, 1));
    }
    write_vault(records_);
  }

  core::InvitationMaterial invitation(std::uint8_t seed) const {
    return core::InvitationMaterial{core::SecretBytes(cord::Bytes(32, seed)), root_fingerprint(),
                                    std::vector<core::RatchetRecordV1>{}};
  }
  ops::OpsResult<ops::UnlockedSession> by_invitation(std::uint8_t seed) const {
    return ops::UnlockedSession::from_invitation(paths(), crypto(), invitation(seed), kFastLocks);
  }
  ops::OpsResult<ops::UnlockedSession> by_keychain(std::uint8_t seed,
                                                   const std::optional<ops::NamedUser>& named = std::nullopt) const {
    auto locked = ops::LockedSession::load(paths(), crypto(), kFastLocks, named);
    if (!locked) return std::unexpected(std::move(locked).error());
    return ops::UnlockedSession::promote(std::move(*locked), crypto(), FixedKeychain(seed), id(seed).user_id(),
                                         keychain::key_use::Other{"test"});
  }
  void make_current_user(std::uint8_t seed) const {
    const cord::Bytes fp = root_fingerprint().to_vec();
    must(keychain::write_current_user_exact(keychain::current_user_path(keychain_dir(), fp),
                                            keychain::CurrentUserV1{id(seed).user_id().to_vec(), std::nullopt}));
  }
  std::filesystem::path cache_file(std::uint8_t seed) const {
    return store::verification_cache_path(paths(), root_fingerprint(), id(seed).user_id().hash());
  }
  std::optional<FileStamp> stamp(const std::filesystem::path& path) const {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_ino, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
                     file_bytes(path).value_or(cord::Bytes{})};
  }
  // The record hashes of these records, from their own encodings.
  std::vector<core::HashValue> hashes_of(const std::vector<core::VaultRecordV1>& records) const {
    std::vector<core::HashValue> out;
    for (const auto& r : records) out.push_back(crypto().hash(test::text_bytes("vornex.record-hash.v1"), must(cord::serialize(r))));
    std::sort(out.begin(), out.end());
    return out;
  }

  std::vector<core::VaultRecordV1> records_;
};

// One validation per opening, and none of the signatures an earlier
// opening of the same user vouched for: a warm opening checks only the
// root record (to find the root) and the cache's own signature.
TEST_F(Opening, SignatureChecksPerOpening) {
  const long records = static_cast<long>(records_.size());
  struct Case {
    const char* name;
    std::function<void()> before;
    std::function<bool()> open;
    long at_most;
  };
  const std::vector<Case> cases = {
      {"first invitation open, which seeds trust", [] {}, [&] { return by_invitation(kBob).has_value(); },
       records + 1},
      {"invitation open with trust and the invited user's cache in place", [] {},
       [&] { return by_invitation(kBob).has_value(); }, 2},
      {"the keychain's first open, its user without a cache", [&] { make_current_user(kAlice); },
       [&] { return by_keychain(kAlice).has_value(); }, records + 2},
      {"keychain open with the current user's cache in place", [] {}, [&] { return by_keychain(kAlice).has_value(); },
       2},
      {"invitation open after the keychain's user wrote its cache", [] {},
       [&] { return by_invitation(kAlice).has_value(); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    g_verifications = 0;
    ASSERT_TRUE(c.open());
    EXPECT_LE(g_verifications, c.at_most);
    EXPECT_GE(g_verifications, 1);  // the root record, at least, is checked
  }
}

// The cache is written when what it vouches for changes, and left alone
// (same file, same time, same bytes) by an opening that would sign the
// same set again.
TEST_F(Opening, CacheRewrittenOnlyWhenTheVerifiedSetChanges) {
  trust_root();
  make_current_user(kAlice);
  struct Road {
    const char* name;
    std::function<bool()> open;
  };
  const std::vector<Road> roads = {
      {"invitation", [&] { return by_invitation(kAlice).has_value(); }},
      {"keychain", [&] { return by_keychain(kAlice).has_value(); }},
  };
  int added = 0;
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    ASSERT_TRUE(road.open());
    const auto first = stamp(cache_file(kAlice));
    ASSERT_TRUE(first.has_value());
    for (int again = 0; again < 2; ++again) {
      ASSERT_TRUE(road.open());
      EXPECT_EQ(stamp(cache_file(kAlice)), first);
    }

    auto grown = b.secret(b.root(), {{"app", "added" + std::to_string(++added)}, {}}, {&b.root()}, 1);
    records_.push_back(grown);
    add_records({grown});
    ASSERT_TRUE(road.open());
    const auto second = stamp(cache_file(kAlice));
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second->inode, first->inode);
    const auto cache = store::read_verification_cache(paths(), root_fingerprint(), id(kAlice).user_id().hash());
    ASSERT_TRUE(cache.has_value());
    EXPECT_EQ(cache->record_hashes.items(), hashes_of(records_));
    EXPECT_EQ(cache->signing_key, id(kAlice).signing_public_key());
    const auto message = must(store::verification_cache_message(cache->trusted_root, 1, cache->record_hashes));
    EXPECT_TRUE(crypto().verify_signature(test::text_bytes("vornex.verification-cache.v1"), cache->signing_key, message,
                                          cache->signature));
  }
}

// Ctrl-C while an opening waits for the root-state lock (another holder
// has it) ends the opening there, on either road, and it leaves nothing:
// no trust seeded or raised, no cache. Run in a child, whose SIGINT
// disposition is its own.
TEST_F(Opening, AnInterruptedOpeningStopsAndWritesNothing) {
  struct Road {
    const char* name;
    std::function<void()> before;
    std::function<ops::OpsResult<ops::UnlockedSession>()> open;
  };
  const std::vector<Road> roads = {
      {"invitation, which would seed trust", [] {}, [&] { return by_invitation(kBob); }},
      {"keychain, which would raise trust", [&] { trust_root(); make_current_user(kAlice); },
       [&] { return by_keychain(kAlice); }},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    road.before();
    const auto ratchet_before = file_bytes(ratchet_file());
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGINT, [](int) {});
      auto held = store::acquire_root_state_lock(paths(), root_fingerprint(), kFastLocks);
      const store::InterruptWatch watch;
      std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(::getpid(), SIGINT);
      });
      const auto opened = road.open();
      interrupter.join();
      const std::string text = !held ? "not held" : opened ? "opened" : opened.error().message();
      [[maybe_unused]] const auto n = ::write(report[1], text.data(), text.size());
      ::_exit(0);
    }
    ::close(report[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(text, "store error: interrupted");
    EXPECT_EQ(file_bytes(ratchet_file()), ratchet_before);
    EXPECT_FALSE(std::filesystem::exists(cache_file(kAlice)));
    EXPECT_FALSE(std::filesystem::exists(cache_file(kBob)));
  }
}

// With no current user in the keychain, an opening that names its user
// trusts that user's cache, found by the name before validation: the
// second opening checks no record's signature again and leaves the cache
// file as it was. A handle is looked up in the records as they stand, so a
// forged one may name someone else: then nothing that user's cache vouched
// for is trusted for this identity, and every signature is checked again.
TEST_F(Opening, NamingTheUserFindsItsCacheWithoutACurrentUser) {
  trust_root();
  const crypto::Identity& alice = id(kAlice);
  records_.push_back(b.user_handle(b.root(), "alice", alice.user_id(), 2));
  records_.push_back(b.user_handle(b.root(), "carol", id(kCarol).user_id(), 1));
  write_vault(records_);
  const long records = static_cast<long>(records_.size());
  const std::string hex = core::hex_lower(alice.user_id().bytes());
  struct Naming {
    const char* name;
    ops::NamedUser named;
  };
  const std::vector<Naming> namings = {
      {"by id", ops::user_ref::Id{alice.user_id()}},
      {"by id prefix", ops::named_user::IdPrefix{hex.substr(0, 12)}},
      {"by handle", ops::user_ref::Handle{"alice"}},
  };
  for (const Naming& n : namings) {
    SCOPED_TRACE(n.name);
    std::filesystem::remove(cache_file(kAlice));
    ASSERT_TRUE(by_keychain(kAlice, n.named).has_value());
    const auto written = stamp(cache_file(kAlice));
    ASSERT_TRUE(written.has_value());
    for (int again = 0; again < 2; ++again) {
      g_verifications = 0;
      ASSERT_TRUE(by_keychain(kAlice, n.named).has_value());
      EXPECT_LE(g_verifications, 2);
      EXPECT_EQ(stamp(cache_file(kAlice)), written);
    }
    // Without the name the load has no cache to trust.
    g_verifications = 0;
    ASSERT_TRUE(by_keychain(kAlice).has_value());
    EXPECT_GE(g_verifications, records);
  }

  // Carol, whose identity is on this machine too, forges the handle alice
  // at a higher counter: the load trusts carol's cache, and the unlock as
  // alice checks every signature again. The forgery counts for nothing.
  ASSERT_TRUE(by_keychain(kCarol, ops::user_ref::Handle{"carol"}).has_value());
  add_records({b.user_handle(id(kCarol), "alice", id(kCarol).user_id(), 9)});
  g_verifications = 0;
  const auto opened = by_keychain(kAlice, ops::user_ref::Handle{"alice"});
  ASSERT_TRUE(opened.has_value());
  EXPECT_GE(g_verifications, records);
  const auto& handles = opened->session().report.effective.user_handles;
  const auto alice_handle = handles.find(b.user_handle_id("alice"));
  ASSERT_NE(alice_handle, handles.end());
  EXPECT_EQ(alice_handle->second.user_id, alice.user_id());
}

// Ctrl-C in the middle of an opening's signature checks ends them there:
// the opening is interrupted having checked one more round of signatures
// at most, not the rest of the vault.
TEST_F(Opening, AnInterruptDuringTheSignatureChecksEndsThem) {
  trust_root();
  make_current_user(kAlice);
  for (int i = 0; i < 400; ++i) {
    records_.push_back(b.grant(b.root(), "more" + std::to_string(i), user_ref(id(kBob)),
                               test::read_permission(test::prefix({"more", std::to_string(i)}))));
  }
  write_vault(records_);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGINT, [](int) {});
    const store::InterruptWatch watch;
    g_verifications = 0;
    g_interrupt_at = 50;
    const auto opened = by_keychain(kAlice);
    const std::string text = (opened ? "opened" : opened.error().message()) + " " + std::to_string(g_verifications);
    [[maybe_unused]] const auto n = ::write(report[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(report[0]);
  ::waitpid(child, nullptr, 0);
  const std::string expected = "store error: interrupted ";
  ASSERT_TRUE(text.starts_with(expected)) << text;
  EXPECT_LE(std::stol(text.substr(expected.size())), 50 + 64) << text;
  EXPECT_FALSE(std::filesystem::exists(cache_file(kAlice)));
}

}  // namespace
