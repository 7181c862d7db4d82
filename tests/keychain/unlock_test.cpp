// Unlocking an identity through every layout, what the caller is told when
// it fails, and that no keychain lock is held while the passphrase is asked.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "keychain_seal.hpp"
#include "store_fixture.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/keychain/unlock.hpp"
#include "vornex/store/fs.hpp"

namespace {

using namespace vornex;
using namespace vornex::keychain;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kPassphrase = "hunter2";
const cord::Bytes kSeed(32, 0x07);

// What a provider saw; it outlives the keychain that owns the provider.
struct Probe {
  int asked = 0;
  bool lock_was_free = false;
};

// Counts requests, and checks that the root's keychain lock is free while
// it is asked (another taker gets it at once).
class ProbingProvider final : public PassphraseProvider {
 public:
  ProbingProvider(fs::path base, std::string passphrase, std::shared_ptr<Probe> probe)
      : base_(std::move(base)), passphrase_(std::move(passphrase)), probe_(std::move(probe)) {}
  KeychainResult<core::SecretBytes> request_passphrase(const KeychainRequest& request) const override {
    ++probe_->asked;
    probe_->lock_was_free = acquire_keychain_lock(base_, request.root.bytes(), {50ms, 10ms}).has_value();
    return core::SecretBytes(test::text_bytes(passphrase_));
  }

 private:
  fs::path base_;
  std::string passphrase_;
  std::shared_ptr<Probe> probe_;
};

class Unlock : public test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    const auto identity = crypto::Identity::from_master_seed(crypto_, kSeed);
    user_ = identity->user_id();
    sealed_ = test::seal_identity(kPassphrase, root_.bytes(), user_.bytes(), kSeed);
  }

  fs::path base() const { return dir_ / "keychain"; }
  KeychainRequest request() const {
    const test::ScopedEnv state("VORNEX_STATE_DIR", (dir_ / "state").native());
    return KeychainRequest::make(store::WorkspacePaths::from_vault_path(dir_ / "ws/.vornex/vault.cord"), root_,
                                 user_, key_use::Other{std::string(kSdkPurposeText)});
  }
  // Unlocks with a provider answering `passphrase`; what it saw is left in
  // `probe_`.
  KeychainResult<crypto::Identity> unlock(std::string_view passphrase = kPassphrase) {
    probe_ = std::make_shared<Probe>();
    const AutoKeychain keychain(base(), std::make_unique<ProbingProvider>(base(), std::string(passphrase), probe_),
                                store::LockPolicy{300ms, 20ms});
    return keychain.unlock_identity(crypto_, request());
  }
  void write_keychain(const fs::path& path, std::vector<cord::Evolving<KeychainRecordV1>> records) {
    const auto bytes = encode_keychain_records(KeychainRecords::from(std::move(records)).value());
    ASSERT_TRUE(store::write_private_atomic_inner(path, *bytes, true).has_value());
  }

  crypto::Crypto crypto_;
  core::HashValue root_{cord::Bytes(32, 0x0c)};
  core::UserId user_;
  SealedIdentityV1 sealed_;
  std::shared_ptr<Probe> probe_;
};

TEST_F(Unlock, FromEachLayout) {
  const auto check = [&](const char* layout) {
    const auto identity = unlock();
    ASSERT_TRUE(identity.has_value()) << layout << ": " << identity.error().message();
    EXPECT_EQ(identity->user_id(), user_) << layout;
    EXPECT_TRUE(probe_->lock_was_free) << layout;
    EXPECT_TRUE(fs::exists(identity_path(base(), root_.bytes(), user_.bytes()))) << layout;
    fs::remove_all(base());
  };
  ASSERT_TRUE(write_identity_exact(identity_path(base(), root_.bytes(), user_.bytes()), root_.bytes(), user_.bytes(),
                                   sealed_));
  check("current");
  write_keychain(keychain_path(base(), root_.bytes()), {cord::Evolving<KeychainRecordV1>(sealed_)});
  check("combined");
  write_keychain(legacy_user_keychain_path(base(), user_.bytes()), {cord::Evolving<KeychainRecordV1>(sealed_)});
  check("per user");
}

TEST_F(Unlock, Failures) {
  const std::string user_text = core::debug_string(user_);
  const auto missing = unlock();
  EXPECT_EQ(missing.error().message(), "no safe identity keychain is available for " + user_text);
  EXPECT_EQ(probe_->asked, 0);  // nothing to open, nothing asked

  ASSERT_TRUE(write_identity_exact(identity_path(base(), root_.bytes(), user_.bytes()), root_.bytes(), user_.bytes(),
                                   sealed_));
  const auto wrong = unlock("hunter3");
  EXPECT_EQ(wrong.error().message(), "identity keychain unlock failed");
  EXPECT_EQ(probe_->asked, 1);  // asked once, no second prompt

  // A keychain held by someone else for longer than the wait.
  const auto held = acquire_keychain_lock(base(), root_.bytes());
  const auto contended = unlock();
  EXPECT_EQ(contended.error().kind(), KeychainError::Kind::LockTimeout);
}

TEST_F(Unlock, ProvidersAndFixedSeeds) {
  const StaticPassphraseProvider fixed(core::SecretBytes(test::text_bytes("same")));
  EXPECT_TRUE(std::ranges::equal(fixed.request_passphrase(request())->view(), test::text_bytes("same")));

  const auto provider = FixedIdentityProvider::from_master_seed(crypto_, kSeed);
  ASSERT_TRUE(provider.has_value());
  EXPECT_EQ(provider->user_id(), user_);
  EXPECT_TRUE(std::ranges::equal(provider->local().master_seed.view(), kSeed));
  EXPECT_EQ(FixedIdentityProvider::from_master_seed(crypto_, cord::Bytes(33, 1)).error().kind(),
            KeychainError::Kind::Crypto);
}

}  // namespace
