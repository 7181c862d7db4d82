// Validation counts its work on the counter decoding counts on
// (cord/work.hpp), so that one bound covers reading a vault and judging it.
#pragma once

#include "cord/work.hpp"

namespace vornex::core {

using cord::count_work;
using cord::work_done;

}  // namespace vornex::core
