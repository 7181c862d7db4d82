#include "vornex/core/validate/report.hpp"

#include <cstdio>
#include <type_traits>

namespace vornex::core::validate {

std::string debug_text(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

namespace {

std::string number(std::uint64_t value, NumberStyle style) {
  if (style == NumberStyle::Decimal) return std::to_string(value);
  char buf[17];
  std::snprintf(buf, sizeof buf, style == NumberStyle::LowerHex ? "%llx" : "%llX",
                static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace

std::string debug_string(const ValidationIssue& issue, NumberStyle numbers) {
  return std::visit(
      [numbers](const auto& i) -> std::string {
        using I = std::decay_t<decltype(i)>;
        if constexpr (std::is_same_v<I, issue::InvalidStructure>) {
          return "InvalidStructure(" + debug_text(i.message) + ")";
        } else if constexpr (std::is_same_v<I, issue::InvalidSignature>) {
          return "InvalidSignature(" + core::debug_string(i.key) + ")";
        } else if constexpr (std::is_same_v<I, issue::UnknownSignerKey>) {
          return "UnknownSignerKey(" + core::debug_string(i.fingerprint) + ")";
        } else if constexpr (std::is_same_v<I, issue::RootNotTrusted>) {
          return "RootNotTrusted";
        } else if constexpr (std::is_same_v<I, issue::AmbiguousRoot>) {
          return "AmbiguousRoot";
        } else if constexpr (std::is_same_v<I, issue::AuthorityDidNotConverge>) {
          return "AuthorityDidNotConverge";
        } else {
          return "FormatVersionRegression { remembered: " + number(i.remembered, numbers) +
                 ", current: " + number(i.current, numbers) + " }";
        }
      },
      issue);
}

std::string debug_string(const std::vector<ValidationIssue>& issues, NumberStyle numbers) {
  std::string out = "[";
  for (std::size_t i = 0; i < issues.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_string(issues[i], numbers);
  }
  return out + "]";
}

std::vector<ValidationWarning> warnings_for(std::uint64_t skipped) {
  if (skipped == 0) return {};
  return {warning::UndecodableRecords{skipped}};
}

}  // namespace vornex::core::validate
