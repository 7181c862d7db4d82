#include "vornex/ops/error.hpp"

#include "vornex/store/interrupt.hpp"

namespace vornex::ops {

namespace {

using core::debug_string;
using core::validate::debug_text;

template <class T>
std::string debug_list(const std::vector<T>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_string(items[i]);
  }
  return out + "]";
}

constexpr std::string_view kAfterCommitPoint =
    " (the change was committed and will be completed the next time this vault is opened)";
constexpr std::string_view kAppliedAfterCommitPoint = " (the change was committed and applied)";

}  // namespace

std::string debug_string(core::validate::SecretStatus status) {
  using core::validate::SecretStatus;
  switch (status) {
    case SecretStatus::ActiveDecryptable: return "ActiveDecryptable";
    case SecretStatus::NotEncryptedForReader: return "NotEncryptedForReader";
    case SecretStatus::Unauthorized: return "Unauthorized";
    case SecretStatus::Missing: return "Missing";
    case SecretStatus::Conflicted: return "Conflicted";
    case SecretStatus::Invalid: return "Invalid";
  }
  return "Invalid";
}

OpsError OpsError::of(Kind kind) { return OpsError(kind, std::monostate{}); }

OpsError OpsError::after_commit_point(bool applied) && {
  commit_ = applied ? Commit::Applied : Commit::Pending;
  return std::move(*this);
}

std::string OpsError::message() const {
  std::string text = own_message();
  if (commit_ == Commit::Pending) text += kAfterCommitPoint;
  if (commit_ == Commit::Applied) text += kAppliedAfterCommitPoint;
  return text;
}

std::string OpsError::own_message() const {
  const auto path = [&] { return store::display(std::get<Path>(detail_)); };
  const auto text = [&] { return std::get<std::string>(detail_); };
  const auto user = [&] { return debug_string(std::get<core::UserId>(detail_)); };
  const auto texts = [&] { return std::get<Texts>(detail_); };
  switch (kind_) {
    case Kind::Store: return "store error: " + store_error()->message();
    case Kind::Core: return "core error: " + core_error()->message();
    case Kind::Crypto: return "crypto error: " + std::get<core::CryptoError>(detail_).message();
    case Kind::Cord: return "Cord error: " + std::get<cord::CordError>(detail_).message();
    case Kind::Hazmat: return "hazmat error: " + std::get<core::HazmatError>(detail_).message();
    case Kind::Keychain: return keychain_error()->message();
    case Kind::AlreadyInitialized: return "vault is already initialized at " + path();
    case Kind::MissingRatchetState: return "workspace is missing ratchet state at " + path();
    case Kind::ValidationFailed: return "validation failed: " + core::validate::debug_string(*issues());
    case Kind::NotEffective: return "operation did not become effective: " + text();
    case Kind::MissingEffectiveRoot: return "validated vault is missing an effective root";
    case Kind::NotEffectiveMember: return "identity " + user() + " is not an effective member of this vault";
    case Kind::NoRootRecord:
      return "vault does not contain a self-signed root record that can identify its ratchet state";
    case Kind::MultipleRootRecords:
      return "vault contains multiple self-signed root records that could identify ratchet state: " +
             debug_list(std::get<std::vector<core::HashValue>>(detail_));
    case Kind::SecretMissing: return "secret is missing";
    case Kind::SecretNotDecryptable:
      return "secret is not decryptable for this identity: " + debug_string(*status());
    case Kind::InvalidPlaintextEnvelope:
      return "authenticated secret plaintext has an invalid or unsupported envelope";
    case Kind::SecretNotWritable: return "secret is not writable by this identity";
    case Kind::RecipientSlotMissing: return "recipient slot is missing for " + user();
    case Kind::ReaderMissingUserRecord: return "reader " + user() + " is missing an active user record";
    case Kind::WriterMissingUserRecord: return "writer " + user() + " is missing an active user record";
    case Kind::UserMissingUserRecord: return "user " + user() + " is missing an active user record";
    case Kind::UnknownUserHandle: return "user handle @" + text() + " does not exist";
    case Kind::HandleToMissingUser: {
      const auto& h = std::get<HandleUser>(detail_);
      return "user handle @" + h.handle + " points to missing user " + debug_string(h.user);
    }
    case Kind::InvalidUserHandle: return "invalid user handle " + debug_text(texts().second) + ": " + texts().first;
    case Kind::InvalidVaultHandle: return "invalid vault handle " + debug_text(texts().second) + ": " + texts().first;
    case Kind::InvalidGroupHandle: return "invalid group handle " + debug_text(texts().second) + ": " + texts().first;
    case Kind::CannotAdministerPrincipals: return "user " + user() + " cannot administer the principal graph";
    case Kind::CannotConferGroupAuthority: return "user " + user() + " cannot confer all of this group's authority";
    case Kind::KeychainIdentityMismatch: {
      const auto& u = std::get<Users>(detail_);
      return "keychain returned identity " + debug_string(u.returned) + ", expected " + debug_string(u.expected);
    }
    case Kind::ClaimedIdentityNotMember:
      return "claimed identity " + user() + " is not a current member of this vault";
    case Kind::RolledBackPastInviteBaseline: return "the vault has been rolled back past the invite baseline";
    case Kind::InviteForDifferentRoot: return "the invitation is for a different vault root";
    case Kind::RollbackProtectedInviteRequired:
      return "a rollback-protected invitation is required to establish trust non-interactively";
    case Kind::NoConflictCandidate:
      return "no conflict candidate has record hash " + debug_string(std::get<core::HashValue>(detail_));
    case Kind::ConflictUnresolvable: return "conflict cannot be resolved: " + text();
    case Kind::SecretConflicted:
      return "secret is conflicted and has no current value until the conflict is resolved";
    case Kind::LamportCounterExhausted:
      return "the vault's Lamport counter is exhausted \u2014 a record carries an absurdly high counter, which no "
             "well-behaved client produces";
    case Kind::InvalidJoinCandidate: return "invalid join candidate: " + text();
    case Kind::JoinRootMismatch: return "join request trusted root does not match this workspace";
    case Kind::JoinApprovalMismatch: return "join approval does not match its request";
    case Kind::JoinApprovalStale: return "join approval plan is stale; reload and approve again";
    case Kind::KubernetesEnrollmentConflict:
      return "a prepared Kubernetes enrollment transaction conflicts with local vault state";
    case Kind::PendingTransactionBlocks:
      return "a pending transaction " + texts().first + " from " + texts().second + " blocks writes for this vault";
    case Kind::TransactionRecoveryMismatch:
      return "transaction recovery found a file that matches neither its before nor after state";
    case Kind::TransactionPreconditionChanged: return "transaction precondition changed for " + text() + "; reload and retry";
    case Kind::NoPendingTransaction: return "there is no pending transaction for this vault";
    case Kind::DuplicateRecoveryJournals: return "both legacy and current recovery journals exist for this vault";
  }
  return "operation failed";
}

OpsStatus stop_if_interrupted() {
  if (store::interrupt_requested()) return std::unexpected(OpsError(store::StoreError::interrupted()));
  return {};
}

}  // namespace vornex::ops
