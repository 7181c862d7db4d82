// Large buffers that are filled once and read through: backed by huge
// pages where the system offers them, so that first touching a vault's
// worth of memory takes a fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include <cstddef>

namespace cord {

// A hint only: nothing changes where the system has no such pages. Call it
// on storage not yet touched, such as a vector's capacity right after
// reserve.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

}  // namespace cord
