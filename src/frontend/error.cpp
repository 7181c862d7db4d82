#include "vornex/frontend/error.hpp"

#include <utf8proc.h>

#include <cstdio>

#include "vornex/core/hex.hpp"

namespace vornex::frontend {

namespace {

// Controls, format characters, separators of lines and paragraphs,
// surrogates, private use and unassigned code points do not print.
bool printable(utf8proc_int32_t c) {
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string quoted_form(std::string_view text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &c);
    if (n <= 0) {
      // Not UTF-8: shown as the replacement character, as a path is.
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(c)) {
          out.append(text.substr(i, static_cast<std::size_t>(n)));
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        }
    }
    i += static_cast<std::size_t>(n);
  }
  return out + "\"";
}

std::string hex_bytes(cord::ByteView bytes) { return core::hex_lower(bytes); }

std::string count_noun(std::uint64_t count, std::string_view noun) {
  std::string out = std::to_string(count) + " ";
  out.append(noun);
  if (count != 1) out += "s";
  return out;
}

std::string FrontendError::message() const {
  const auto value = [&](std::size_t i) -> const std::string& { return std::get<Texts>(detail_).values.at(i); };
  const auto number = [&](std::size_t i) { return std::to_string(std::get<Texts>(detail_).numbers.at(i)); };
  switch (kind_) {
    case Kind::Ops: return ops_error()->message();
    case Kind::Store: return "store error: " + std::get<store::StoreError>(detail_).message();
    case Kind::Keychain: return keychain_error()->message();
    case Kind::Cord: return "Cord error: " + std::get<cord::CordError>(detail_).message();
    case Kind::IoAt: {
      const auto& e = std::get<PathIo>(detail_);
      return "I/O error at " + store::display(e.path) + ": " + e.error.message();
    }
    case Kind::InviteWrittenCommitFailed: {
      const auto& e = std::get<PathOps>(detail_);
      return "invitation file " + store::display(e.path) + " was written, but the vault commit failed: " +
             e.error->message();
    }
    case Kind::Io: return "I/O error: " + std::get<PathIo>(detail_).error.message();
    case Kind::Wrapped: return value(1) + " error: " + value(0);
    case Kind::InvalidSelector: return "invalid selector " + quoted_form(value(0)) + ": " + value(1);
    case Kind::InvalidHex: return "invalid " + value(1) + " hex: " + value(0);
    case Kind::HexLength:
      return "expected " + value(0) + " hex to decode to " + number(0) + " bytes, got " + number(1);
    case Kind::ValueAndFile: return "pass at most one of VALUE or --file";
    case Kind::SecretInputTooLarge: return "secret input exceeds the supported maximum of " + number(0) + " bytes";
    case Kind::InviteFormCount: return "pass exactly one of the string or file form";
    case Kind::MalformedInvite: return "invitation string is malformed or has a bad checksum";
    case Kind::InviteTooLargeForText: return "invitation is too large to display as text; use --invite-file instead";
    case Kind::WrongInvitePrefix:
      return "not the expected Vornex invitation (prefix " + quoted_form(value(0)) + "; invitations are vrnx1\u2026)";
    case Kind::ValidationIssueCount: return "validation failed; issue count: " + number(0);
    case Kind::EnvNotUtf8: return "environment variable " + value(0) + " must be valid UTF-8";
    case Kind::InvalidUserHandle: return "invalid user handle " + quoted_form(value(0)) + ": " + value(1);
    case Kind::NoDefaultIdentity: return "no default Vornex identity is configured; pass --user once";
    case Kind::UnknownGroup: return "group " + quoted_form(value(0)) + " does not exist";
    case Kind::AmbiguousGroup: return "group " + quoted_form(value(0)) + " is ambiguous";
    case Kind::UnknownGroupMembership: return "group membership does not exist";
    case Kind::InvalidGrantableClass: return "invalid grantable class " + quoted_form(value(0));
    case Kind::UnknownUser: return "no user matches " + quoted_form(value(0));
    case Kind::AmbiguousUser: return "user " + quoted_form(value(0)) + " is ambiguous";
    case Kind::UnknownGrant: return "no grant matches " + quoted_form(value(0));
    case Kind::AmbiguousGrant: return "grant " + quoted_form(value(0)) + " is ambiguous";
    case Kind::NotEncryptedToYou: return "secret " + value(0) + " is not encrypted to you";
    case Kind::NotAuthorizedToRead: return "not authorized to read " + value(0);
    case Kind::NoSecretsMatch: return "no secrets match " + value(0);
    case Kind::SecretExists: return "secret " + value(0) + " already exists";
    case Kind::NotSingleVariable:
      return value(1) + " matches " + number(0) + " secrets, so it cannot be a single variable " + value(0);
    case Kind::InvalidEnvName: return "invalid environment variable name " + quoted_form(value(0)) + ": " + value(1);
    case Kind::EnvAssignedTwice: return "environment variable " + value(0) + " is assigned by more than one --secret";
    case Kind::EnvAlreadySet: {
      std::string names;
      for (const std::string& name : std::get<Texts>(detail_).values) names += (names.empty() ? "" : ", ") + name;
      return "environment variables already set: " + names;
    }
    case Kind::NotInjectable:
      return "secret " + value(0) + " cannot be injected as an environment variable: " + value(1);
    case Kind::ExecFailed: {
      const auto& e = std::get<PathIo>(detail_);
      return "failed to execute " + quoted_form(e.path.native()) + ": " + e.error.message();
    }
    case Kind::RefusePrintIdentity: return "refusing to print private identity material to the terminal";
    case Kind::NotInteractive: return "this operation needs confirmation but the session is not interactive";
    case Kind::NoClipboard: return "no clipboard tool is available";
    case Kind::GitConfig: return "failed to set git config " + value(0);
    case Kind::UnknownConflict: return "no conflict matches " + quoted_form(value(0));
    case Kind::UnknownConflictCandidate: return "no conflict candidate matches " + quoted_form(value(0));
    case Kind::AmbiguousConflictCandidate: return "conflict candidate " + quoted_form(value(0)) + " is ambiguous";
    case Kind::SecretConflicted: return "secret " + value(0) + " is conflicted and has no current value";
    case Kind::MissingField: return "secret " + value(0) + " has no field " + quoted_form(value(1));
  }
  return "front end error";
}

}  // namespace vornex::frontend
