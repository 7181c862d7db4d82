// The front end's error: failures of selector text, user references and
// invitation input, and the operation, store, keychain and encoding errors
// met on those paths. It also carries the texts of a command-line client
// that shares the front end, so that variant numbers and texts stay as
// that client knows them.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "cord/error.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/store/error.hpp"

namespace vornex::frontend {

using store::Path;

// A text between double quotes with a backslash before each double quote
// and backslash, \t \r \n \0 for those characters, and any other
// character that does not print as \u{hex}.
std::string quoted_form(std::string_view text);

class FrontendError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t {
    Ops,
    Store,
    Keychain,
    Cord,
    IoAt,
    InviteWrittenCommitFailed,
    Io,
    Wrapped,
    InvalidSelector,
    InvalidHex,
    HexLength,
    ValueAndFile,
    SecretInputTooLarge,
    InviteFormCount,
    MalformedInvite,
    InviteTooLargeForText,
    WrongInvitePrefix,
    ValidationIssueCount,
    EnvNotUtf8,
    InvalidUserHandle,
    NoDefaultIdentity,
    UnknownGroup,
    AmbiguousGroup,
    UnknownGroupMembership,
    InvalidGrantableClass,
    UnknownUser,
    AmbiguousUser,
    UnknownGrant,
    AmbiguousGrant,
    NotEncryptedToYou,
    NotAuthorizedToRead,
    NoSecretsMatch,
    SecretExists,
    NotSingleVariable,
    InvalidEnvName,
    EnvAssignedTwice,
    EnvAlreadySet,
    NotInjectable,
    ExecFailed,
    RefusePrintIdentity,
    NotInteractive,
    NoClipboard,
    GitConfig,
    UnknownConflict,
    UnknownConflictCandidate,
    AmbiguousConflictCandidate,
    SecretConflicted,
    MissingField,
  };

  FrontendError(ops::OpsError e) : kind_(Kind::Ops), detail_(std::move(e)) {}                  // NOLINT
  FrontendError(store::StoreError e) : kind_(Kind::Store), detail_(std::move(e)) {}            // NOLINT
  FrontendError(keychain::KeychainError e) : kind_(Kind::Keychain), detail_(std::move(e)) {}   // NOLINT
  FrontendError(cord::CordError e) : kind_(Kind::Cord), detail_(std::move(e)) {}               // NOLINT

  // The variants without a payload.
  static FrontendError of(Kind kind) { return {kind, std::monostate{}}; }
  // Variants carrying texts (and numbers), in the order their display uses.
  static FrontendError io_at(Path path, store::IoError error) { return {Kind::IoAt, PathIo{std::move(path), std::move(error)}}; }
  static FrontendError invite_written_commit_failed(Path path, ops::OpsError error) {
    return {Kind::InviteWrittenCommitFailed, PathOps{std::move(path), std::make_shared<ops::OpsError>(std::move(error))}};
  }
  static FrontendError io(store::IoError error) { return {Kind::Io, PathIo{{}, std::move(error)}}; }
  static FrontendError wrapped(std::string message, std::string label) {
    return {Kind::Wrapped, Texts{{std::move(message), std::move(label)}}};
  }
  static FrontendError invalid_selector(std::string text, std::string reason) {
    return {Kind::InvalidSelector, Texts{{std::move(text), std::move(reason)}}};
  }
  static FrontendError invalid_hex(std::string error, std::string label) {
    return {Kind::InvalidHex, Texts{{std::move(error), std::move(label)}}};
  }
  static FrontendError hex_length(std::string label, std::uint64_t expected, std::uint64_t actual) {
    return {Kind::HexLength, Texts{{std::move(label)}, {expected, actual}}};
  }
  static FrontendError secret_input_too_large(std::uint64_t maximum) {
    return {Kind::SecretInputTooLarge, Texts{{}, {maximum}}};
  }
  static FrontendError wrong_invite_prefix(std::string prefix) { return text(Kind::WrongInvitePrefix, std::move(prefix)); }
  static FrontendError validation_issue_count(std::uint64_t count) {
    return {Kind::ValidationIssueCount, Texts{{}, {count}}};
  }
  static FrontendError env_not_utf8(std::string name) { return text(Kind::EnvNotUtf8, std::move(name)); }
  static FrontendError invalid_user_handle(std::string handle, std::string reason) {
    return {Kind::InvalidUserHandle, Texts{{std::move(handle), std::move(reason)}}};
  }
  static FrontendError unknown_user(std::string reference) { return text(Kind::UnknownUser, std::move(reference)); }
  static FrontendError ambiguous_user(std::string reference) { return text(Kind::AmbiguousUser, std::move(reference)); }
  // Texts of the command-line client; kept for their numbers and texts.
  static FrontendError text(Kind kind, std::string value) { return {kind, Texts{{std::move(value)}}}; }
  static FrontendError texts(Kind kind, std::vector<std::string> values, std::vector<std::uint64_t> numbers = {}) {
    return {kind, Texts{std::move(values), std::move(numbers)}};
  }
  static FrontendError exec_failed(std::string program, store::IoError error) {
    return {Kind::ExecFailed, PathIo{Path(std::move(program)), std::move(error)}};
  }
  static FrontendError missing_field(std::string selector, std::string key) {
    return {Kind::MissingField, Texts{{std::move(selector), std::move(key)}}};
  }

  Kind kind() const { return kind_; }
  const ops::OpsError* ops_error() const { return std::get_if<ops::OpsError>(&detail_); }
  const keychain::KeychainError* keychain_error() const { return std::get_if<keychain::KeychainError>(&detail_); }

  std::string message() const;

 private:
  struct PathIo {
    Path path;
    store::IoError error;
  };
  struct PathOps {
    Path path;
    std::shared_ptr<ops::OpsError> error;
  };
  struct Texts {
    std::vector<std::string> values;
    std::vector<std::uint64_t> numbers = {};
  };
  using Detail = std::variant<std::monostate, ops::OpsError, store::StoreError, keychain::KeychainError,
                              cord::CordError, PathIo, PathOps, Texts>;

  FrontendError(Kind kind, Detail detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  Detail detail_;
};

template <class T>
using FrontendResult = std::expected<T, FrontendError>;

// Lower-case hexadecimal, two digits per byte.
std::string hex_bytes(cord::ByteView bytes);
// "1 conflict", "0 conflicts", "2 conflicts".
std::string count_noun(std::uint64_t count, std::string_view noun);

}  // namespace vornex::frontend
