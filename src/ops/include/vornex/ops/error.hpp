// The one error type of the vault operations. Its variant number is what
// the layers above tell failures apart by, and its text is what the user
// reads, so both are fixed. The errors of the components below are carried
// whole: behind a prefix, except a keychain error, whose text stands alone.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "cord/error.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/hazmat.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/validate/report.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/store/error.hpp"

namespace vornex::ops {

using store::Path;

class OpsError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t {
    Store,
    Core,
    Crypto,
    Cord,
    Hazmat,
    Keychain,
    AlreadyInitialized,
    MissingRatchetState,
    ValidationFailed,
    NotEffective,
    MissingEffectiveRoot,
    NotEffectiveMember,
    NoRootRecord,
    MultipleRootRecords,
    SecretMissing,
    SecretNotDecryptable,
    InvalidPlaintextEnvelope,
    SecretNotWritable,
    RecipientSlotMissing,
    ReaderMissingUserRecord,
    WriterMissingUserRecord,
    UserMissingUserRecord,
    UnknownUserHandle,
    HandleToMissingUser,
    InvalidUserHandle,
    InvalidVaultHandle,
    InvalidGroupHandle,
    CannotAdministerPrincipals,
    CannotConferGroupAuthority,
    KeychainIdentityMismatch,
    ClaimedIdentityNotMember,
    RolledBackPastInviteBaseline,
    InviteForDifferentRoot,
    RollbackProtectedInviteRequired,
    NoConflictCandidate,
    ConflictUnresolvable,
    SecretConflicted,
    LamportCounterExhausted,
    InvalidJoinCandidate,
    JoinRootMismatch,
    JoinApprovalMismatch,
    JoinApprovalStale,
    KubernetesEnrollmentConflict,
    PendingTransactionBlocks,
    TransactionRecoveryMismatch,
    TransactionPreconditionChanged,
    NoPendingTransaction,
    DuplicateRecoveryJournals,
  };

  OpsError(store::StoreError e) : kind_(Kind::Store), detail_(std::move(e)) {}         // NOLINT
  // A computation below that stopped for an interrupt is reported as a
  // lock's wait reports one: the store's "interrupted".
  OpsError(core::CoreError e)  // NOLINT
      : kind_(e.kind() == core::CoreError::Kind::Interrupted ? Kind::Store : Kind::Core),
        detail_(e.kind() == core::CoreError::Kind::Interrupted ? Detail(store::StoreError::interrupted())
                                                                : Detail(std::move(e))) {}
  OpsError(core::CryptoError e) : kind_(Kind::Crypto), detail_(std::move(e)) {}        // NOLINT
  OpsError(cord::CordError e) : kind_(Kind::Cord), detail_(std::move(e)) {}            // NOLINT
  OpsError(core::HazmatError e) : kind_(Kind::Hazmat), detail_(std::move(e)) {}        // NOLINT
  OpsError(keychain::KeychainError e) : kind_(Kind::Keychain), detail_(std::move(e)) {}  // NOLINT

  // The variants without a payload.
  static OpsError of(Kind kind);
  static OpsError already_initialized(Path path) { return {Kind::AlreadyInitialized, std::move(path)}; }
  static OpsError missing_ratchet_state(Path ratchet) { return {Kind::MissingRatchetState, std::move(ratchet)}; }
  static OpsError validation_failed(std::vector<core::validate::ValidationIssue> issues) {
    return {Kind::ValidationFailed, std::move(issues)};
  }
  // "secret value did not take effect" or "secret deletion did not take effect".
  static OpsError not_effective(std::string what) { return {Kind::NotEffective, std::move(what)}; }
  static OpsError not_effective_member(core::UserId user) { return {Kind::NotEffectiveMember, std::move(user)}; }
  static OpsError multiple_root_records(std::vector<core::HashValue> candidates) {
    return {Kind::MultipleRootRecords, std::move(candidates)};
  }
  static OpsError secret_not_decryptable(core::validate::SecretStatus status) {
    return {Kind::SecretNotDecryptable, status};
  }
  static OpsError recipient_slot_missing(core::UserId u) { return {Kind::RecipientSlotMissing, std::move(u)}; }
  static OpsError reader_missing_user_record(core::UserId u) { return {Kind::ReaderMissingUserRecord, std::move(u)}; }
  static OpsError writer_missing_user_record(core::UserId u) { return {Kind::WriterMissingUserRecord, std::move(u)}; }
  static OpsError user_missing_user_record(core::UserId u) { return {Kind::UserMissingUserRecord, std::move(u)}; }
  static OpsError unknown_user_handle(std::string handle) { return {Kind::UnknownUserHandle, std::move(handle)}; }
  static OpsError handle_to_missing_user(std::string handle, core::UserId user) {
    return {Kind::HandleToMissingUser, HandleUser{std::move(handle), std::move(user)}};
  }
  static OpsError invalid_user_handle(std::string reason, std::string handle) {
    return {Kind::InvalidUserHandle, Texts{std::move(reason), std::move(handle)}};
  }
  static OpsError invalid_vault_handle(std::string reason, std::string handle) {
    return {Kind::InvalidVaultHandle, Texts{std::move(reason), std::move(handle)}};
  }
  static OpsError invalid_group_handle(std::string reason, std::string handle) {
    return {Kind::InvalidGroupHandle, Texts{std::move(reason), std::move(handle)}};
  }
  static OpsError cannot_administer_principals(core::UserId u) {
    return {Kind::CannotAdministerPrincipals, std::move(u)};
  }
  static OpsError cannot_confer_group_authority(core::UserId u) {
    return {Kind::CannotConferGroupAuthority, std::move(u)};
  }
  static OpsError keychain_identity_mismatch(core::UserId expected, core::UserId returned) {
    return {Kind::KeychainIdentityMismatch, Users{std::move(expected), std::move(returned)}};
  }
  static OpsError claimed_identity_not_member(core::UserId u) { return {Kind::ClaimedIdentityNotMember, std::move(u)}; }
  static OpsError no_conflict_candidate(core::HashValue hash) { return {Kind::NoConflictCandidate, std::move(hash)}; }
  static OpsError conflict_unresolvable(std::string why) { return {Kind::ConflictUnresolvable, std::move(why)}; }
  static OpsError invalid_join_candidate(std::string why) { return {Kind::InvalidJoinCandidate, std::move(why)}; }
  static OpsError pending_transaction_blocks(std::string id, std::string path) {
    return {Kind::PendingTransactionBlocks, Texts{std::move(id), std::move(path)}};
  }
  // "vault" or "ratchet".
  static OpsError transaction_precondition_changed(std::string what) {
    return {Kind::TransactionPreconditionChanged, std::move(what)};
  }

  Kind kind() const { return kind_; }
  const store::StoreError* store_error() const { return std::get_if<store::StoreError>(&detail_); }
  const core::CoreError* core_error() const { return std::get_if<core::CoreError>(&detail_); }
  const keychain::KeychainError* keychain_error() const { return std::get_if<keychain::KeychainError>(&detail_); }
  const std::vector<core::validate::ValidationIssue>* issues() const {
    return std::get_if<std::vector<core::validate::ValidationIssue>>(&detail_);
  }
  const core::validate::SecretStatus* status() const { return std::get_if<core::validate::SecretStatus>(&detail_); }

  // Marks a failure that came after a commit reached its point of no
  // return: the change is durable and will be completed by the next open
  // (or, `applied`, is already in place), and the text says so, so that
  // nobody takes the write for lost.
  OpsError after_commit_point(bool applied = false) &&;
  bool is_after_commit_point() const { return commit_ != Commit::None; }

  std::string message() const;

  bool operator==(const OpsError&) const = default;

 private:
  struct Texts {
    std::string first;
    std::string second;
    bool operator==(const Texts&) const = default;
  };
  struct Users {
    core::UserId expected;
    core::UserId returned;
    bool operator==(const Users&) const = default;
  };
  struct HandleUser {
    std::string handle;
    core::UserId user;
    bool operator==(const HandleUser&) const = default;
  };
  using Detail = std::variant<std::monostate, store::StoreError, core::CoreError, core::CryptoError, cord::CordError,
                              core::HazmatError, keychain::KeychainError, Path,
                              std::vector<core::validate::ValidationIssue>, std::string, core::UserId,
                              std::vector<core::HashValue>, core::validate::SecretStatus, Texts, Users, HandleUser,
                              core::HashValue>;

  OpsError(Kind kind, Detail detail) : kind_(kind), detail_(std::move(detail)) {}

  std::string own_message() const;

  Kind kind_;
  Detail detail_;
  enum class Commit : std::uint8_t { None, Pending, Applied };
  Commit commit_ = Commit::None;
};

template <class T>
using OpsResult = std::expected<T, OpsError>;
using OpsStatus = std::expected<void, OpsError>;

// Between the long steps of an opening: an error once the watch this
// thread lives under has seen Ctrl-C (store/interrupt.hpp), else nothing.
OpsStatus stop_if_interrupted();

// The variant name of a status, as error texts show it.
std::string debug_string(core::validate::SecretStatus status);

}  // namespace vornex::ops
