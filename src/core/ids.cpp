#include "vornex/core/ids.hpp"

#include <string>
#include <variant>

namespace vornex::core {

std::string debug_string(const HashValue& value) {
  std::string out = "HashValue([";
  bool first = true;
  for (const auto byte : value.bytes()) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(byte);
  }
  out += "])";
  return out;
}

namespace detail {
std::string debug_identifier(std::string_view type_name, const HashValue& hash) {
  std::string out(type_name);
  out += '(';
  out += debug_string(hash);
  out += ')';
  return out;
}
}  // namespace detail

std::string debug_string(const RecordKey& key) {
  return std::visit(
      [](const auto& variant) {
        using V = std::decay_t<decltype(variant)>;
        std::string out(V::name);
        if constexpr (!std::is_same_v<V, record_key::VaultRoot>) {
          out += " { ";
          out += V::field;
          out += ": ";
          out += debug_string(variant.id());
          out += " }";
        }
        return out;
      },
      key);
}

std::uint64_t key_prefix(const RecordKey& key) {
  const std::uint64_t variant = static_cast<std::uint64_t>(key.index()) << 56;
  return std::visit(
      [&](const auto& k) -> std::uint64_t {
        if constexpr (requires { k.id(); }) {
          return variant | (byte_prefix(k.id().bytes()) >> 8);
        } else {
          return variant;
        }
      },
      key);
}

}  // namespace vornex::core
