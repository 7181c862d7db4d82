// The counter of a record held in a variant of record kinds: the kind's
// `counter` field, or 0 for a kind that has none (the vault root, the
// ratchet's format-version and trusted-root records).
#pragma once

#include <cstdint>
#include <variant>

namespace vornex::core {

template <class Variant>
std::uint64_t counter_of(const Variant& record) {
  return std::visit(
      [](const auto& kind) -> std::uint64_t {
        if constexpr (requires { kind.counter; }) {
          return kind.counter;
        } else {
          return 0;
        }
      },
      record);
}

}  // namespace vornex::core
