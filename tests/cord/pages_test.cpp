// The huge-page hint on buffers of every size and alignment, filled before
// and after: a hint never changes a byte, whatever part of the buffer it
// covers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cord/pages.hpp"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(HugePages, TheHintLeavesEveryByteAsItWas) {
  EXPECT_NO_FATAL_FAILURE(cord::advise_huge_pages(nullptr, 0));
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, 4095 * std::size_t{1}, 2 * kMiB - 1, 2 * kMiB,
                                 5 * kMiB + 3, 9 * kMiB}) {
    for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{4097}}) {
      SCOPED_TRACE(testing::Message() << size << " bytes at offset " << offset);
      std::vector<std::uint8_t> buffer(size + offset);
      for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 131 + 7);
      cord::advise_huge_pages(buffer.data() + offset, size);
      bool same = true;
      for (std::size_t i = 0; i < buffer.size(); ++i) same = same && buffer[i] == static_cast<std::uint8_t>(i * 131 + 7);
      EXPECT_TRUE(same);
      // A hint given before the first touch, as callers do after reserve.
      std::vector<std::uint8_t> fresh;
      fresh.reserve(size + offset);
      cord::advise_huge_pages(fresh.data() + offset, size);
      fresh.assign(size + offset, 0x5a);
      EXPECT_EQ(std::count(fresh.begin(), fresh.end(), 0x5a), static_cast<std::ptrdiff_t>(size + offset));
    }
  }
}

}  // namespace
