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

}  // namespace vornex::core
