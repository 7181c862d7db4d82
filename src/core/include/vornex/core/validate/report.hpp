// The result of validating a vault: its effective state, what the trust
// state must learn, and the findings. Content problems are findings here,
// never errors; only a failure to encode or derive ends validation early.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vornex/core/ids.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/state.hpp"

namespace vornex::core::validate {

// Alternative order is the declaration order callers rely on; keep it.
namespace issue {
struct InvalidStructure {
  std::string message;
  bool operator==(const InvalidStructure&) const = default;
};
struct InvalidSignature {
  RecordKey key;
  bool operator==(const InvalidSignature&) const = default;
};
struct UnknownSignerKey {
  HashValue fingerprint;
  bool operator==(const UnknownSignerKey&) const = default;
};
struct RootNotTrusted {
  bool operator==(const RootNotTrusted&) const = default;
};
struct AmbiguousRoot {
  bool operator==(const AmbiguousRoot&) const = default;
};
struct AuthorityDidNotConverge {
  bool operator==(const AuthorityDidNotConverge&) const = default;
};
struct FormatVersionRegression {
  std::uint64_t remembered = 0;
  std::uint64_t current = 0;
  bool operator==(const FormatVersionRegression&) const = default;
};
}  // namespace issue

using ValidationIssue =
    std::variant<issue::InvalidStructure, issue::InvalidSignature, issue::UnknownSignerKey, issue::RootNotTrusted,
                 issue::AmbiguousRoot, issue::AuthorityDidNotConverge, issue::FormatVersionRegression>;

namespace warning {
// Records of a kind this build cannot decode were skipped; never 0.
struct UndecodableRecords {
  std::uint64_t count = 0;
  bool operator==(const UndecodableRecords&) const = default;
};
// Several users declare this signing key; its records were skipped.
struct AmbiguousSignerKey {
  HashValue fingerprint;
  bool operator==(const AmbiguousSignerKey&) const = default;
};
}  // namespace warning

using ValidationWarning = std::variant<warning::UndecodableRecords, warning::AmbiguousSignerKey>;

struct ValidationReport {
  EffectiveState effective;
  RatchetUpdate ratchet_update;
  std::vector<ValidationIssue> issues;
  std::vector<ValidationWarning> warnings;
  bool operator==(const ValidationReport&) const = default;
};

// The vault format version this build reads and writes.
inline constexpr std::uint64_t kCurrentFormatVersion = 1;

// How the unsigned numbers of a debug text are written: decimal, or
// hexadecimal digits without a prefix.
enum class NumberStyle : std::uint8_t { Decimal, LowerHex, UpperHex };

// A text between double quotes with the escapes of a debug string (quote,
// backslash, tab, line feed, carriage return, NUL, other control bytes as
// \u{..}); other bytes, UTF-8 included, pass unchanged.
std::string debug_text(std::string_view text);

// Debug texts, as a validation failure quotes them:
// InvalidStructure("invalid grant"), InvalidSignature(VaultRoot),
// FormatVersionRegression { remembered: 2, current: 1 }, and a list as
// [RootNotTrusted, AmbiguousRoot].
std::string debug_string(const ValidationIssue& issue, NumberStyle numbers = NumberStyle::Decimal);
std::string debug_string(const std::vector<ValidationIssue>& issues, NumberStyle numbers = NumberStyle::Decimal);

// No warning for 0 skipped records, else one carrying the count.
std::vector<ValidationWarning> warnings_for(std::uint64_t skipped);

}  // namespace vornex::core::validate
