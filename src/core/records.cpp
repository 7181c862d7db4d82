#include "vornex/core/records.hpp"

#include <variant>

namespace vornex::core {

std::uint64_t record_counter(const RecordBodyV1& body) {
  return std::visit(
      [](const auto& record) -> std::uint64_t {
        if constexpr (requires { record.counter; }) {
          return record.counter;
        } else {
          return 0;
        }
      },
      body);
}

}  // namespace vornex::core
