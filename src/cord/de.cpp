#include "cord/de.hpp"

namespace cord {

Result<std::uint32_t> Deserializer::read_u32() {
  auto v = in_.read_uint(4);
  if (!v) return fail(std::move(v).error());
  return static_cast<std::uint32_t>(*v);
}

}  // namespace cord
