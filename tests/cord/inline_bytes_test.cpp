// The in-place byte string as a value: copies, moves and assignments across
// the inline and heap forms keep exactly the bytes a vector would hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "cord/cord.hpp"

namespace {

using cord::Bytes;
using cord::InlineBytes;

// Either side of the 32 bytes held in place.
constexpr std::size_t kLengths[] = {0, 1, 31, 32, 33, 64, 1000};

Bytes pattern(std::size_t n, std::uint8_t salt) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + salt);
  return out;
}

Bytes held(const InlineBytes& b) { return Bytes(b.begin(), b.end()); }

TEST(InlineBytes, CopiesMovesAndAssignmentsKeepTheBytes) {
  for (const std::size_t from : kLengths) {
    for (const std::size_t to : kLengths) {
      SCOPED_TRACE(testing::Message() << from << " over " << to);
      const Bytes want = pattern(from, 1);
      const InlineBytes source(want);

      const InlineBytes copied(source);
      EXPECT_EQ(held(copied), want);
      EXPECT_EQ(held(source), want);

      InlineBytes copy_assigned(pattern(to, 2));
      copy_assigned = source;
      EXPECT_EQ(held(copy_assigned), want);
      EXPECT_EQ(held(source), want);

      InlineBytes moving(source);
      const InlineBytes moved(std::move(moving));
      EXPECT_EQ(held(moved), want);
      moving = InlineBytes(pattern(to, 3));  // a moved-from value takes a new one
      EXPECT_EQ(held(moving), pattern(to, 3));

      InlineBytes move_assigned(pattern(to, 4));
      InlineBytes donor(source);
      move_assigned = std::move(donor);
      EXPECT_EQ(held(move_assigned), want);
      donor.assign(pattern(to, 5));
      EXPECT_EQ(held(donor), pattern(to, 5));

      InlineBytes reassigned(pattern(to, 6));
      reassigned.assign(want);
      EXPECT_EQ(held(reassigned), want);
      EXPECT_EQ(reassigned.size(), from);
      EXPECT_EQ(reassigned.empty(), from == 0);
    }
  }
}

// A value assigned from itself, whole or from a part of its own bytes, as
// a vector's assign(begin, end) of itself would give.
TEST(InlineBytes, AssignmentFromItsOwnBytes) {
  for (const std::size_t n : kLengths) {
    SCOPED_TRACE(n);
    const Bytes want = pattern(n, 7);
    InlineBytes value(want);
    const InlineBytes& same = value;
    value = same;
    EXPECT_EQ(held(value), want);
    InlineBytes& alias = value;
    value = std::move(alias);
    EXPECT_EQ(held(value), want);
    value.assign(value.view());
    EXPECT_EQ(held(value), want);
    if (n == 0) continue;
    value.assign(value.view().subspan(1));
    EXPECT_EQ(held(value), Bytes(want.begin() + 1, want.end()));
  }
}

// Small enough that a record holding several gains from the bytes in place.
TEST(InlineBytes, StaysSmall) { EXPECT_LE(sizeof(InlineBytes), 40U); }

}  // namespace
