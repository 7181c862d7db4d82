// Turning a loaded session into an unlocked one: when the keychain is asked
// and with what request, what refuses an unlock, how a pending transaction
// holds back some purposes, and how the verification cache is trusted and
// rewritten.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "keychain_seal.hpp"
#include "ops_vault.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/store/cache_file.hpp"

namespace {

using namespace vornex;
using namespace vornex::test::data;
using Kind = ops::OpsError::Kind;
namespace key_use = keychain::key_use;

constexpr std::string_view kPassphrase = "correct horse";

// "UserId(HashValue([a, b, ...]))", spelled out from the bytes.
std::string spelled(const core::UserId& user) {
  std::string out = "UserId(HashValue([";
  for (std::size_t i = 0; i < user.bytes().size(); ++i) out += (i ? ", " : "") + std::to_string(user.bytes()[i]);
  return out + "]))";
}

class CountingProvider final : public keychain::PassphraseProvider {
 public:
  CountingProvider(std::string passphrase, std::shared_ptr<int> asked)
      : passphrase_(std::move(passphrase)), asked_(std::move(asked)) {}
  keychain::KeychainResult<core::SecretBytes> request_passphrase(const keychain::KeychainRequest&) const override {
    ++*asked_;
    return core::SecretBytes(test::text_bytes(passphrase_));
  }

 private:
  std::string passphrase_;
  std::shared_ptr<int> asked_;
};

// Hands out the identity of a fixed seed and keeps every request.
class RecordingKeychain final : public keychain::IdentityKeychain {
 public:
  explicit RecordingKeychain(std::uint8_t seed) : seed_(seed) {}
  keychain::KeychainResult<crypto::Identity> unlock_identity(const crypto::Crypto&,
                                                             const keychain::KeychainRequest& request) const override {
    requests->push_back(request);
    return identity_of(seed_);
  }
  std::shared_ptr<std::vector<keychain::KeychainRequest>> requests =
      std::make_shared<std::vector<keychain::KeychainRequest>>();

 private:
  std::uint8_t seed_;
};

class DataUnlock : public OpsVaultTest {
 protected:
  void install_identity(std::uint8_t seed) const {
    const auto& user = id(seed).user_id().bytes();
    const cord::Bytes root = root_fingerprint().to_vec();
    must(keychain::write_identity_exact(keychain::identity_path(keychain_dir(), root, user), root, user,
                                        test::seal_identity(kPassphrase, root, user, id(seed).master_seed().view())));
  }
  keychain::AutoKeychain auto_keychain(std::shared_ptr<int> asked, std::string passphrase = std::string(kPassphrase)) const {
    return keychain::AutoKeychain(keychain_dir(), std::make_unique<CountingProvider>(std::move(passphrase), asked),
                                  kFastLocks);
  }
  std::filesystem::path cache_file(std::uint8_t seed) const {
    return store::verification_cache_path(paths(), root_fingerprint(), id(seed).user_id().hash());
  }
  std::optional<store::VerificationCacheV1> cache_of(std::uint8_t seed) const {
    return store::read_verification_cache(paths(), root_fingerprint(), id(seed).user_id().hash());
  }
  cord::Set<core::HashValue> record_hashes(const std::vector<core::VaultRecordV1>& records) const {
    std::vector<core::HashValue> hashes;
    for (const auto& r : records) hashes.push_back(crypto().hash(core::domains::kRecordHash, must(cord::serialize(r))));
    return must(cord::Set<core::HashValue>::from(std::move(hashes)));
  }
  bool cache_verifies(const store::VerificationCacheV1& cache) const {
    const auto message = must(store::verification_cache_message(cache.trusted_root, 1, cache.record_hashes));
    return crypto().verify_signature(test::text_bytes("vornex.verification-cache.v1"), cache.signing_key, message,
                                     cache.signature);
  }
  static keychain::KeyUsePurpose sdk() { return key_use::Other{std::string(keychain::kSdkPurposeText)}; }
};

// The keychain is asked only once the vault is known to be clean; a vault
// with issues refuses on both roads and writes no cache.
TEST_F(DataUnlock, KeychainIsAskedOnlyForACleanVault) {
  for (const bool clean : {true, false}) {
    SCOPED_TRACE(clean ? "clean" : "with issues");
    std::filesystem::remove_all(dir_ / "ws");
    std::filesystem::remove_all(state_dir());
    std::filesystem::remove_all(keychain_dir());
    const auto& root = b.root();
    standard_vault(clean ? std::vector<core::VaultRecordV1>{}
                         : std::vector{test::VaultBuilder::with_bad_signature(b.secret(root, {{"app", "z"}, {}}, {&root}, 3))});
    install_identity(kAlice);
    auto asked = std::make_shared<int>(0);
    const auto unlocked =
        ops::UnlockedSession::promote(load().value(), crypto(), auto_keychain(asked), id(kAlice).user_id(), sdk());
    const auto invited = ops::UnlockedSession::with_identity(load().value(), crypto(), identity_of(kAlice));
    if (clean) {
      ASSERT_TRUE(unlocked.has_value()) << unlocked.error().message();
      EXPECT_EQ(unlocked->identity().user_id(), id(kAlice).user_id());
      EXPECT_EQ(*asked, 1);
      EXPECT_TRUE(invited.has_value());
      EXPECT_TRUE(std::filesystem::exists(cache_file(kAlice)));
    } else {
      for (const auto* result : {&unlocked, &invited}) {
        ASSERT_FALSE(result->has_value());
        EXPECT_EQ(result->error().kind(), Kind::ValidationFailed);
        EXPECT_TRUE(result->error().message().starts_with("validation failed: [InvalidSignature(Secret {"))
            << result->error().message();
      }
      EXPECT_EQ(*asked, 0);
      EXPECT_FALSE(std::filesystem::exists(cache_file(kAlice)));
    }
  }
}

TEST_F(DataUnlock, KeychainFailuresAndWrongIdentities) {
  standard_vault();
  install_identity(kAlice);

  auto asked = std::make_shared<int>(0);
  const auto wrong = ops::UnlockedSession::promote(load().value(), crypto(), auto_keychain(asked, "guess"),
                                                   id(kAlice).user_id(), sdk());
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().kind(), Kind::Keychain);
  EXPECT_EQ(wrong.error().message(), "identity keychain unlock failed");  // the keychain's text, alone

  const RecordingKeychain returns_bob(kBob);
  const auto mismatch =
      ops::UnlockedSession::promote(load().value(), crypto(), returns_bob, id(kAlice).user_id(), sdk());
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().kind(), Kind::KeychainIdentityMismatch);
  EXPECT_EQ(mismatch.error().message(), "keychain returned identity " + spelled(id(kBob).user_id()) + ", expected " +
                                            spelled(id(kAlice).user_id()));
  EXPECT_FALSE(std::filesystem::exists(cache_file(kBob)));

  // A valid identity that is no member: refused after its cache is written.
  const crypto::Identity stranger = identity_of(kStranger);
  const RecordingKeychain returns_stranger(kStranger);
  const auto outsider =
      ops::UnlockedSession::promote(load().value(), crypto(), returns_stranger, stranger.user_id(), sdk());
  ASSERT_FALSE(outsider.has_value());
  EXPECT_EQ(outsider.error().kind(), Kind::NotEffectiveMember);
  EXPECT_EQ(outsider.error().message(),
            "identity " + spelled(stranger.user_id()) + " is not an effective member of this vault");
  EXPECT_TRUE(std::filesystem::exists(
      store::verification_cache_path(paths(), root_fingerprint(), stranger.user_id().hash())));

  const auto invited = ops::UnlockedSession::with_identity(load().value(), crypto(), identity_of(kStranger));
  ASSERT_FALSE(invited.has_value());
  EXPECT_EQ(invited.error().kind(), Kind::NotEffectiveMember);

  // A state that names no root cannot say which keychain to ask.
  auto rootless = load().value();
  rootless.report.effective.root_fingerprint.reset();
  const RecordingKeychain returns_alice(kAlice);
  const auto no_root = ops::UnlockedSession::promote(std::move(rootless), crypto(), returns_alice,
                                                     id(kAlice).user_id(), sdk());
  ASSERT_FALSE(no_root.has_value());
  EXPECT_EQ(no_root.error().kind(), Kind::MissingEffectiveRoot);
  EXPECT_TRUE(returns_alice.requests->empty());
}

// The request names the trusted root, the expected user and the labels of
// the vault's and the user's primary handles, normalised.
TEST_F(DataUnlock, KeychainRequestCarriesRootUserAndLabels) {
  const auto& root = b.root();
  for (const bool handles : {true, false}) {
    SCOPED_TRACE(handles ? "with handles" : "without handles");
    std::filesystem::remove_all(dir_ / "ws");
    std::filesystem::remove_all(state_dir());
    standard_vault(handles ? std::vector{b.vault_handle(root, "team-b"), b.vault_handle(root, "team-a"),
                                         b.user_handle(root, "beta", id(kAlice).user_id()),
                                         b.user_handle(root, "alpha", id(kAlice).user_id()),
                                         b.user_handle(root, "aaa", id(kBob).user_id())}
                           : std::vector<core::VaultRecordV1>{});
    auto session = load();
    ASSERT_TRUE(session.has_value()) << session.error().message();
    ASSERT_TRUE(session->report.issues.empty());
    const RecordingKeychain keychain(kAlice);
    const auto unlocked = ops::UnlockedSession::promote(std::move(*session), crypto(), keychain, id(kAlice).user_id(),
                                                        key_use::Other{"the reason"});
    ASSERT_TRUE(unlocked.has_value()) << unlocked.error().message();
    ASSERT_EQ(keychain.requests->size(), 1u);
    const auto& request = keychain.requests->front();
    EXPECT_EQ(request.root, root_fingerprint());
    EXPECT_EQ(request.user, id(kAlice).user_id());
    EXPECT_EQ(request.workspace_root, paths().root());
    EXPECT_EQ(request.vault_path, paths().vault_path());
    ASSERT_TRUE(std::holds_alternative<key_use::Other>(request.purpose));
    EXPECT_EQ(std::get<key_use::Other>(request.purpose).text, "the reason");
    EXPECT_EQ(request.vault_label, handles ? std::optional<std::string>("team-a") : std::nullopt);
    EXPECT_EQ(request.user_label, handles ? std::optional<std::string>("alpha") : std::nullopt);
  }
}

// A transaction pending for another workspace of the same root holds back
// the purposes that may change the vault or the keychain; reading,
// running and verifying go on. The invitation road has no such barrier.
TEST_F(DataUnlock, PendingTransactionOfAnotherWorkspace) {
  standard_vault();
  const auto other = other_workspace_vault();
  write_pending_transaction(other);
  std::string id_text;
  for (int i = 0; i < 32; ++i) id_text += "ab";
  const std::string blocked = "a pending transaction " + id_text + " from " +
                              std::filesystem::canonical(other).native() + " blocks writes for this vault";

  const core::SecretSelectorV1 s{{"app", "x"}, {}};
  struct Case {
    const char* name;
    keychain::KeyUsePurpose purpose;
    bool held_back;
  };
  const std::vector<Case> cases = {
      {"set", key_use::Set{s}, true},
      {"move", key_use::Move{s, s}, true},
      {"delete", key_use::Delete{s}, true},
      {"other", sdk(), true},
      {"store identity", key_use::StoreIdentity{}, true},
      {"reveal", key_use::Reveal{keychain::output_sink::Stdout{}, s}, false},
      {"run", key_use::Run{{"app/x"}, {"env"}}, false},
      {"verify", key_use::VerifyVault{}, false},
  };
  for (const Case& c : cases) {
    auto session = load();
    ASSERT_TRUE(session.has_value()) << session.error().message();
    ASSERT_TRUE(session->pending.has_value());
    EXPECT_FALSE(session->pending->this_workspace);
    const RecordingKeychain keychain(kAlice);
    const auto unlocked =
        ops::UnlockedSession::promote(std::move(*session), crypto(), keychain, id(kAlice).user_id(), c.purpose);
    if (c.held_back) {
      ASSERT_FALSE(unlocked.has_value()) << c.name;
      EXPECT_EQ(unlocked.error().kind(), Kind::PendingTransactionBlocks) << c.name;
      EXPECT_EQ(unlocked.error().message(), blocked) << c.name;
      EXPECT_TRUE(keychain.requests->empty()) << c.name;
    } else {
      ASSERT_TRUE(unlocked.has_value()) << c.name << ": " << unlocked.error().message();
      EXPECT_EQ(keychain.requests->size(), 1u) << c.name;
    }
  }

  auto invited = ops::UnlockedSession::with_identity(load().value(), crypto(), identity_of(kAlice));
  ASSERT_TRUE(invited.has_value()) << invited.error().message();
  // Unlocked for verifying, the session still may not write.
  const auto write = invited->set_secret(crypto(), s, bytes_of("v"));
  ASSERT_FALSE(write.has_value());
  EXPECT_EQ(write.error().kind(), Kind::PendingTransactionBlocks);
  EXPECT_TRUE(std::filesystem::exists(transaction_file()));
}

// The verification cache only saves work: when it cannot be written, the
// unlock still succeeds.
TEST_F(DataUnlock, UnwritableStateDirectoryStillUnlocks) {
  for (const bool by_mode : {true, false}) {
    SCOPED_TRACE(by_mode ? "directory mode 0500" : "a file where the cache's directory goes");
    std::filesystem::remove_all(dir_ / "ws");
    std::filesystem::remove_all(state_dir());
    standard_vault();
    auto session = load();
    ASSERT_TRUE(session.has_value()) << session.error().message();
    const auto root_dir = ratchet_file().parent_path();
    const auto cache_dir = cache_file(kAlice).parent_path();
    if (by_mode) {
      ASSERT_EQ(::chmod(root_dir.c_str(), 0500), 0);
      // The superuser writes regardless of modes; then this form tests nothing.
      if (::mkdir((root_dir / "probe").c_str(), 0700) == 0) {
        ::rmdir((root_dir / "probe").c_str());
        ::chmod(root_dir.c_str(), 0700);
        RecordProperty("mode_form", "skipped: modes do not restrict this user");
        continue;
      }
    } else {
      std::ofstream(cache_dir) << "in the way";
    }
    const RecordingKeychain keychain(kAlice);
    const auto unlocked =
        ops::UnlockedSession::promote(std::move(*session), crypto(), keychain, id(kAlice).user_id(), sdk());
    ::chmod(root_dir.c_str(), 0700);
    ASSERT_TRUE(unlocked.has_value()) << unlocked.error().message();
    EXPECT_FALSE(cache_of(kAlice).has_value());
    EXPECT_FALSE(unlocked->session().cache_signer_key.has_value());
  }
}

// A cache is trusted for the key that signed it. Unlocked by a user whose
// key did not sign it, the session checks every signature again and
// rewrites the cache under that user's key.
TEST_F(DataUnlock, CacheSignedByAnotherKey) {
  const auto& root = b.root();
  const auto forged = test::VaultBuilder::with_bad_signature(b.secret(root, {{"app", "forged"}, {}}, {&root}, 3));
  struct Case {
    const char* name;
    std::uint8_t signer;
    bool with_forged;
    bool unlocks;
  };
  const std::vector<Case> cases = {
      {"another user's cache", kBob, false, true},
      {"another user's cache vouching for a forgery", kBob, true, false},
      {"the user's own cache vouching for a forgery", kAlice, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_ / "ws");
    std::filesystem::remove_all(state_dir());
    std::filesystem::remove_all(keychain_dir());
    auto records = base_records();
    records.push_back(b.secret(root, {{"app", "x"}, {}}, {&root, &id(kAlice)}, 2));
    if (c.with_forged) records.push_back(forged);
    write_vault(records);
    trust_root();
    const cord::Bytes fp = root_fingerprint().to_vec();
    must(keychain::write_current_user_exact(keychain::current_user_path(keychain_dir(), fp),
                                            keychain::CurrentUserV1{id(kAlice).user_id().to_vec(), std::nullopt}));
    const auto hashes = record_hashes(records);
    const auto message = must(store::verification_cache_message(root_fingerprint(), 1, hashes));
    const store::VerificationCacheV1 cache{
        root_fingerprint(), 1, hashes, id(c.signer).signing_public_key(),
        id(c.signer).sign(test::text_bytes("vornex.verification-cache.v1"), message)};
    must(store::write_verification_cache_atomic(paths(), id(kAlice).user_id().hash(), cache));

    auto session = load();
    ASSERT_TRUE(session.has_value()) << session.error().message();
    EXPECT_EQ(session->cache_signer_key, std::optional(id(c.signer).signing_public_key()));
    EXPECT_TRUE(session->report.issues.empty());  // the forgery is vouched for

    const RecordingKeychain keychain(kAlice);
    const auto unlocked =
        ops::UnlockedSession::promote(std::move(*session), crypto(), keychain, id(kAlice).user_id(), sdk());
    if (!c.unlocks) {
      ASSERT_FALSE(unlocked.has_value());
      EXPECT_EQ(unlocked.error().kind(), Kind::ValidationFailed);
      EXPECT_TRUE(unlocked.error().message().starts_with("validation failed: [InvalidSignature(Secret {"));
      EXPECT_EQ(cache_of(kAlice), cache);  // left as it was
      continue;
    }
    ASSERT_TRUE(unlocked.has_value()) << unlocked.error().message();
    EXPECT_FALSE(unlocked->session().cache_signer_key.has_value());
    const auto rewritten = cache_of(kAlice);
    ASSERT_TRUE(rewritten.has_value());
    EXPECT_EQ(rewritten->signing_key, id(kAlice).signing_public_key());
    EXPECT_EQ(rewritten->trusted_root, root_fingerprint());
    EXPECT_EQ(rewritten->version, 1u);
    EXPECT_EQ(rewritten->record_hashes, hashes);
    EXPECT_TRUE(cache_verifies(*rewritten));
  }
}

}  // namespace
