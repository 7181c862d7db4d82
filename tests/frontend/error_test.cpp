// The front end's error texts, the quoted form, and which exception class
// each failure becomes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vornex/frontend/error.hpp"
#include "vornex/frontend/exceptions.hpp"

namespace {

using namespace vornex;
using namespace vornex::frontend;
using Kind = FrontendError::Kind;

TEST(QuotedForm, EscapesAndNonPrintables) {
  struct Case {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"\u0085", "\"\\u{85}\""},  // a C1 control
      {"caf\u00e9 \u2603", "\"caf\u00e9 \u2603\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quoted_form(c.text), c.quoted);
}

TEST(Render, HexAndCountNoun) {
  EXPECT_EQ(hex_bytes(cord::Bytes{0x00, 0xab, 0x10}), "00ab10");
  EXPECT_EQ(hex_bytes(cord::Bytes{}), "");
  EXPECT_EQ(count_noun(0, "unresolved conflict"), "0 unresolved conflicts");
  EXPECT_EQ(count_noun(1, "unresolved conflict"), "1 unresolved conflict");
  EXPECT_EQ(count_noun(2, "unresolved conflict"), "2 unresolved conflicts");
}

TEST(FrontendErrorText, EveryVariant) {
  const store::IoError enoent = store::IoError::from_errno(2);
  const ops::OpsError ops = ops::OpsError::of(ops::OpsError::Kind::SecretMissing);
  const keychain::KeychainError keychain = keychain::KeychainError::unlock_failed();
  struct Case {
    FrontendError error;
    std::string text;
  } cases[] = {
      {ops, "secret is missing"},
      {store::StoreError::vault_missing("/v"), "store error: vault file is missing at /v"},
      {keychain, "identity keychain unlock failed"},
      {cord::CordError(cord::ErrorKind::TrailingBytes), "Cord error: Trailing bytes after deserialization"},
      {FrontendError::io_at("/i", enoent), "I/O error at /i: " + enoent.message()},
      {FrontendError::invite_written_commit_failed("/f", ops),
       "invitation file /f was written, but the vault commit failed: secret is missing"},
      {FrontendError::io(enoent), "I/O error: " + enoent.message()},
      {FrontendError::wrapped("boom", "clipboard"), "clipboard error: boom"},
      {FrontendError::invalid_selector("a//b", "r"), "invalid selector \"a//b\": r"},
      {FrontendError::invalid_hex("odd length", "user ID"), "invalid user ID hex: odd length"},
      {FrontendError::hex_length("user ID", 32, 31), "expected user ID hex to decode to 32 bytes, got 31"},
      {FrontendError::of(Kind::ValueAndFile), "pass at most one of VALUE or --file"},
      {FrontendError::secret_input_too_large(9), "secret input exceeds the supported maximum of 9 bytes"},
      {FrontendError::of(Kind::InviteFormCount), "pass exactly one of the string or file form"},
      {FrontendError::of(Kind::MalformedInvite), "invitation string is malformed or has a bad checksum"},
      {FrontendError::of(Kind::InviteTooLargeForText),
       "invitation is too large to display as text; use --invite-file instead"},
      {FrontendError::wrong_invite_prefix("abc"),
       "not the expected Vornex invitation (prefix \"abc\"; invitations are vrnx1\u2026)"},
      {FrontendError::validation_issue_count(3), "validation failed; issue count: 3"},
      {FrontendError::env_not_utf8("VORNEX_UNSAFE_INVITE"),
       "environment variable VORNEX_UNSAFE_INVITE must be valid UTF-8"},
      {FrontendError::invalid_user_handle("B!", "why"), "invalid user handle \"B!\": why"},
      {FrontendError::of(Kind::NoDefaultIdentity), "no default Vornex identity is configured; pass --user once"},
      {FrontendError::text(Kind::UnknownGroup, "g"), "group \"g\" does not exist"},
      {FrontendError::text(Kind::AmbiguousGroup, "g"), "group \"g\" is ambiguous"},
      {FrontendError::of(Kind::UnknownGroupMembership), "group membership does not exist"},
      {FrontendError::text(Kind::InvalidGrantableClass, "x"), "invalid grantable class \"x\""},
      {FrontendError::unknown_user("abcd1234"), "no user matches \"abcd1234\""},
      {FrontendError::ambiguous_user("abcd1234"), "user \"abcd1234\" is ambiguous"},
      {FrontendError::text(Kind::UnknownGrant, "q"), "no grant matches \"q\""},
      {FrontendError::text(Kind::AmbiguousGrant, "q"), "grant \"q\" is ambiguous"},
      {FrontendError::text(Kind::NotEncryptedToYou, "a/b"), "secret a/b is not encrypted to you"},
      {FrontendError::text(Kind::NotAuthorizedToRead, "a/b"), "not authorized to read a/b"},
      {FrontendError::text(Kind::NoSecretsMatch, "a/b"), "no secrets match a/b"},
      {FrontendError::text(Kind::SecretExists, "a/b"), "secret a/b already exists"},
      {FrontendError::texts(Kind::NotSingleVariable, {"DB", "a/b"}, {2}),
       "a/b matches 2 secrets, so it cannot be a single variable DB"},
      {FrontendError::texts(Kind::InvalidEnvName, {"1X", "why"}), "invalid environment variable name \"1X\": why"},
      {FrontendError::text(Kind::EnvAssignedTwice, "DB"), "environment variable DB is assigned by more than one --secret"},
      {FrontendError::texts(Kind::EnvAlreadySet, {"A", "B"}), "environment variables already set: A, B"},
      {FrontendError::texts(Kind::NotInjectable, {"a/b", "why"}),
       "secret a/b cannot be injected as an environment variable: why"},
      {FrontendError::exec_failed("run me", enoent), "failed to execute \"run me\": " + enoent.message()},
      {FrontendError::of(Kind::RefusePrintIdentity), "refusing to print private identity material to the terminal"},
      {FrontendError::of(Kind::NotInteractive), "this operation needs confirmation but the session is not interactive"},
      {FrontendError::of(Kind::NoClipboard), "no clipboard tool is available"},
      {FrontendError::text(Kind::GitConfig, "user.name"), "failed to set git config user.name"},
      {FrontendError::text(Kind::UnknownConflict, "c"), "no conflict matches \"c\""},
      {FrontendError::text(Kind::UnknownConflictCandidate, "c"), "no conflict candidate matches \"c\""},
      {FrontendError::text(Kind::AmbiguousConflictCandidate, "c"), "conflict candidate \"c\" is ambiguous"},
      {FrontendError::text(Kind::SecretConflicted, "a/b"), "secret a/b is conflicted and has no current value"},
      {FrontendError::missing_field("a/b", "k\"y"), "secret a/b has no field \"k\\\"y\""},
  };
  ASSERT_EQ(std::size(cases), 48u);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].error.kind()), i) << cases[i].text;
    EXPECT_EQ(cases[i].error.message(), cases[i].text) << "variant " << i;
  }
}

TEST(Exceptions, ByMessage) {
  struct Case {
    std::string message;
    ExceptionClass cls;
  } cases[] = {
      {"validation failed: []", ExceptionClass::ValidationError},
      {"validation failed; issue count: 2", ExceptionClass::ValidationError},
      {"identity keychain unlock failed", ExceptionClass::IdentityError},
      {"timed out waiting for keychain lock at /k", ExceptionClass::IdentityError},
      {"workspace is missing ratchet state at /s", ExceptionClass::IdentityError},
      {"no default Vornex identity is configured; pass --user once", ExceptionClass::IdentityError},
      {"passphrase provider failed: no tty", ExceptionClass::VornexError},
      {"invalid selector \"identity\": selector path must not contain empty segments", ExceptionClass::IdentityError},
      {"Validation Failed", ExceptionClass::VornexError},  // case matters
      {"a pending transaction 00 from /v blocks writes for this vault", ExceptionClass::VornexError},
  };
  for (const Case& c : cases) EXPECT_EQ(py_err(c.message), (RaisedError{c.cls, c.message}));
}

TEST(Exceptions, ForOneSecret) {
  using ops::OpsError;
  using core::validate::SecretStatus;
  const std::string sel = "app/db";
  struct Case {
    OpsError error;
    ExceptionClass cls;
    std::string message;
  } cases[] = {
      {keychain::KeychainError::passphrase_provider("no tty"), ExceptionClass::IdentityError,
       "passphrase provider failed: no tty"},
      {OpsError::validation_failed({}), ExceptionClass::ValidationError, "validation failed: []"},
      {OpsError::of(OpsError::Kind::SecretMissing), ExceptionClass::NotFound, "secret app/db not found"},
      {OpsError::secret_not_decryptable(SecretStatus::NotEncryptedForReader), ExceptionClass::PermissionDenied,
       "not authorized for secret app/db"},
      {OpsError::secret_not_decryptable(SecretStatus::Unauthorized), ExceptionClass::PermissionDenied,
       "not authorized for secret app/db"},
      {OpsError::secret_not_decryptable(SecretStatus::Invalid), ExceptionClass::IdentityError,
       "secret is not decryptable for this identity: Invalid"},
      {OpsError::of(OpsError::Kind::SecretNotWritable), ExceptionClass::PermissionDenied,
       "not authorized for secret app/db"},
      {OpsError::of(OpsError::Kind::SecretConflicted), ExceptionClass::ConflictError, "secret app/db is conflicted"},
      {OpsError::pending_transaction_blocks("00ab", "/v"), ExceptionClass::VornexError,
       "a pending transaction 00ab from /v blocks writes for this vault"},
      {OpsError::missing_ratchet_state("/s"), ExceptionClass::IdentityError,
       "workspace is missing ratchet state at /s"},
  };
  for (const Case& c : cases) EXPECT_EQ(secret_error(c.error, sel), (RaisedError{c.cls, c.message}));
}

}  // namespace
