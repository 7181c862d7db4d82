// The operations' error: every variant's number and exact text, the wrapped
// errors of the components below, and the note a failure after the commit
// point carries.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vornex/core/validate/report.hpp"
#include "vornex/ops/error.hpp"

namespace {

using namespace vornex;
using ops::OpsError;
using Kind = OpsError::Kind;
namespace issue = core::validate::issue;

core::UserId user(std::vector<std::uint8_t> bytes) { return core::UserId(core::HashValue(std::move(bytes))); }

// "UserId(HashValue([0, 0, ..., 0]))" written out without the code's helpers.
std::string zero_user_text() {
  std::string list;
  for (int i = 0; i < 32; ++i) list += i == 0 ? "0" : ", 0";
  return "UserId(HashValue([" + list + "]))";
}

struct Case {
  OpsError error;
  int number;
  std::string text;
};

std::vector<Case> every_variant() {
  using core::validate::SecretStatus;
  return {
      {store::StoreError::vault_missing("/w/.vornex/vault.cord"), 0,
       "store error: vault file is missing at /w/.vornex/vault.cord"},
      {core::CoreError::validation("bad"), 1, "core error: validation failed: bad"},
      {core::CryptoError::invalid_byte_length("content key", 32, 31), 2,
       "crypto error: invalid byte length for content key: expected 32, got 31"},
      {cord::CordError::unknown_variant(1), 3, "Cord error: Cord encountered unknown enum variant index 1"},
      {core::HazmatError::identity_mismatch(user({1}), user({2})), 4,
       "hazmat error: signer identity does not match signing public key"},
      // The keychain's text stands alone, whatever it is.
      {keychain::KeychainError::unlock_failed(), 5, "identity keychain unlock failed"},
      {keychain::KeychainError::lock_timeout("/k/keychain.lock"), 5,
       "timed out waiting for keychain lock at /k/keychain.lock"},
      {keychain::KeychainError(store::StoreError::lock_held("/s/state.lock")), 5,
       "store error: workspace lock is already held at /s/state.lock"},
      {OpsError::already_initialized("/w/.vornex"), 6, "vault is already initialized at /w/.vornex"},
      {OpsError::missing_ratchet_state("/s/ab/ratchet.cord"), 7,
       "workspace is missing ratchet state at /s/ab/ratchet.cord"},
      {OpsError::validation_failed({}), 8, "validation failed: []"},
      {OpsError::validation_failed({issue::RootNotTrusted{}, issue::InvalidStructure{"bad \"grant\""},
                                    issue::FormatVersionRegression{2, 1}}),
       8,
       "validation failed: [RootNotTrusted, InvalidStructure(\"bad \\\"grant\\\"\"), "
       "FormatVersionRegression { remembered: 2, current: 1 }]"},
      {OpsError::not_effective("secret value did not take effect"), 9,
       "operation did not become effective: secret value did not take effect"},
      {OpsError::of(Kind::MissingEffectiveRoot), 10, "validated vault is missing an effective root"},
      {OpsError::not_effective_member(user(std::vector<std::uint8_t>(32, 0))), 11,
       "identity " + zero_user_text() + " is not an effective member of this vault"},
      {OpsError::of(Kind::NoRootRecord), 12,
       "vault does not contain a self-signed root record that can identify its ratchet state"},
      {OpsError::multiple_root_records({core::HashValue({1, 2}), core::HashValue({255})}), 13,
       "vault contains multiple self-signed root records that could identify ratchet state: "
       "[HashValue([1, 2]), HashValue([255])]"},
      {OpsError::of(Kind::SecretMissing), 14, "secret is missing"},
      {OpsError::secret_not_decryptable(SecretStatus::NotEncryptedForReader), 15,
       "secret is not decryptable for this identity: NotEncryptedForReader"},
      {OpsError::of(Kind::InvalidPlaintextEnvelope), 16,
       "authenticated secret plaintext has an invalid or unsupported envelope"},
      {OpsError::of(Kind::SecretNotWritable), 17, "secret is not writable by this identity"},
      {OpsError::recipient_slot_missing(user({1})), 18, "recipient slot is missing for UserId(HashValue([1]))"},
      {OpsError::reader_missing_user_record(user({2})), 19,
       "reader UserId(HashValue([2])) is missing an active user record"},
      {OpsError::writer_missing_user_record(user({3})), 20,
       "writer UserId(HashValue([3])) is missing an active user record"},
      {OpsError::user_missing_user_record(user({4})), 21,
       "user UserId(HashValue([4])) is missing an active user record"},
      {OpsError::unknown_user_handle("alice"), 22, "user handle @alice does not exist"},
      {OpsError::handle_to_missing_user("bob", user({7, 8})), 23,
       "user handle @bob points to missing user UserId(HashValue([7, 8]))"},
      {OpsError::invalid_user_handle("handle is too long", "a\"b\\c"), 24,
       "invalid user handle \"a\\\"b\\\\c\": handle is too long"},
      {OpsError::invalid_vault_handle("empty", "x\ty"), 25, "invalid vault handle \"x\\ty\": empty"},
      {OpsError::invalid_group_handle("bad start", "-g"), 26, "invalid group handle \"-g\": bad start"},
      {OpsError::cannot_administer_principals(user({5})), 27,
       "user UserId(HashValue([5])) cannot administer the principal graph"},
      {OpsError::cannot_confer_group_authority(user({6})), 28,
       "user UserId(HashValue([6])) cannot confer all of this group's authority"},
      // Returned first, expected second.
      {OpsError::keychain_identity_mismatch(user({1}), user({2})), 29,
       "keychain returned identity UserId(HashValue([2])), expected UserId(HashValue([1]))"},
      {OpsError::claimed_identity_not_member(user({9})), 30,
       "claimed identity UserId(HashValue([9])) is not a current member of this vault"},
      {OpsError::of(Kind::RolledBackPastInviteBaseline), 31,
       "the vault has been rolled back past the invite baseline"},
      {OpsError::of(Kind::InviteForDifferentRoot), 32, "the invitation is for a different vault root"},
      {OpsError::of(Kind::RollbackProtectedInviteRequired), 33,
       "a rollback-protected invitation is required to establish trust non-interactively"},
      {OpsError::no_conflict_candidate(core::HashValue({0, 16})), 34,
       "no conflict candidate has record hash HashValue([0, 16])"},
      {OpsError::conflict_unresolvable("no winner"), 35, "conflict cannot be resolved: no winner"},
      {OpsError::of(Kind::SecretConflicted), 36,
       "secret is conflicted and has no current value until the conflict is resolved"},
      {OpsError::of(Kind::LamportCounterExhausted), 37,
       "the vault's Lamport counter is exhausted \xE2\x80\x94 a record carries an absurdly high counter, which no "
       "well-behaved client produces"},
      {OpsError::invalid_join_candidate("stale"), 38, "invalid join candidate: stale"},
      {OpsError::of(Kind::JoinRootMismatch), 39, "join request trusted root does not match this workspace"},
      {OpsError::of(Kind::JoinApprovalMismatch), 40, "join approval does not match its request"},
      {OpsError::of(Kind::JoinApprovalStale), 41, "join approval plan is stale; reload and approve again"},
      {OpsError::of(Kind::KubernetesEnrollmentConflict), 42,
       "a prepared Kubernetes enrollment transaction conflicts with local vault state"},
      {OpsError::pending_transaction_blocks("00ab", "<another platform path>"), 43,
       "a pending transaction 00ab from <another platform path> blocks writes for this vault"},
      {OpsError::of(Kind::TransactionRecoveryMismatch), 44,
       "transaction recovery found a file that matches neither its before nor after state"},
      {OpsError::transaction_precondition_changed("vault"), 45,
       "transaction precondition changed for vault; reload and retry"},
      {OpsError::transaction_precondition_changed("ratchet"), 45,
       "transaction precondition changed for ratchet; reload and retry"},
      {OpsError::of(Kind::NoPendingTransaction), 46, "there is no pending transaction for this vault"},
      {OpsError::of(Kind::DuplicateRecoveryJournals), 47,
       "both legacy and current recovery journals exist for this vault"},
  };
}

TEST(OpsErrorText, EveryVariantWithItsNumberAndText) {
  const std::vector<Case> cases = every_variant();
  std::vector<bool> seen(48, false);
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(c.error.kind()), c.number) << c.text;
    EXPECT_EQ(c.error.message(), c.text) << "variant " << c.number;
    EXPECT_FALSE(c.error.is_after_commit_point());
    seen.at(static_cast<std::size_t>(c.number)) = true;
  }
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i]) << "variant " << i << " has no case";
}

TEST(OpsErrorText, LamportTextIsExactlyItsBytes) {
  const std::string text = OpsError::of(Kind::LamportCounterExhausted).message();
  EXPECT_EQ(text.size(), 125u);
  EXPECT_NE(text.find("exhausted \xE2\x80\x94 a record"), std::string::npos);
}

TEST(OpsErrorText, EveryStatusByItsVariantName) {
  using core::validate::SecretStatus;
  const std::pair<SecretStatus, const char*> cases[] = {
      {SecretStatus::ActiveDecryptable, "ActiveDecryptable"}, {SecretStatus::NotEncryptedForReader, "NotEncryptedForReader"},
      {SecretStatus::Unauthorized, "Unauthorized"},           {SecretStatus::Missing, "Missing"},
      {SecretStatus::Conflicted, "Conflicted"},               {SecretStatus::Invalid, "Invalid"},
  };
  for (const auto& [status, name] : cases) {
    EXPECT_EQ(OpsError::secret_not_decryptable(status).message(),
              std::string("secret is not decryptable for this identity: ") + name);
  }
}

TEST(OpsErrorText, WrappedErrorsAreKeptWhole) {
  const store::StoreError store_error = store::StoreError::lock_held("/s/state.lock");
  const OpsError from_store(store_error);
  ASSERT_NE(from_store.store_error(), nullptr);
  EXPECT_EQ(*from_store.store_error(), store_error);

  const keychain::KeychainError keychain_error = keychain::KeychainError::passphrase_mismatch();
  const OpsError from_keychain(keychain_error);
  EXPECT_EQ(from_keychain.kind(), Kind::Keychain);
  ASSERT_NE(from_keychain.keychain_error(), nullptr);
  EXPECT_EQ(*from_keychain.keychain_error(), keychain_error);
  EXPECT_EQ(from_keychain.message(), keychain_error.message());

  const std::vector<core::validate::ValidationIssue> issues{issue::AmbiguousRoot{}};
  const OpsError failed = OpsError::validation_failed(issues);
  ASSERT_NE(failed.issues(), nullptr);
  EXPECT_EQ(*failed.issues(), issues);
}

TEST(OpsErrorText, AfterTheCommitPointTheNoteIsAppendedAndTheKindKept) {
  const std::string note = " (the change was committed and will be completed the next time this vault is opened)";
  const OpsError cases[] = {
      OpsError::of(Kind::TransactionRecoveryMismatch),
      OpsError(store::StoreError::vault_missing("/w/v")),
      OpsError(keychain::KeychainError::unlock_failed()),
  };
  for (const OpsError& plain : cases) {
    OpsError marked = OpsError(plain).after_commit_point();
    EXPECT_TRUE(marked.is_after_commit_point());
    EXPECT_EQ(marked.kind(), plain.kind());
    EXPECT_EQ(marked.message(), plain.message() + note);
    EXPECT_NE(marked, plain);
    // Without a transaction file left, the change is already in place.
    OpsError applied = OpsError(plain).after_commit_point(true);
    EXPECT_TRUE(applied.is_after_commit_point());
    EXPECT_EQ(applied.message(), plain.message() + " (the change was committed and applied)");
  }
}

}  // namespace
