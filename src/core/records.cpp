#include "vornex/core/records.hpp"

#include "vornex/core/counter.hpp"

namespace vornex::core {

std::uint64_t record_counter(const RecordBodyV1& body) { return counter_of(body); }

}  // namespace vornex::core
