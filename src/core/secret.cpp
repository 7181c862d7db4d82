#include "vornex/core/secret.hpp"

namespace vornex::core {

void secure_wipe(void* data, std::size_t size) noexcept {
  volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace vornex::core
