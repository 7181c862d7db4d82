// Handle normalisation and validity, byte by byte at the edges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vornex/core/handles.hpp"

namespace {

using vornex::core::is_valid_handle;
using vornex::core::normalize_handle;

// Every White_Space character, written as the compiler encodes it.
const std::vector<std::string> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002",
    "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
    "\u202F", "\u205F", "\u3000",
};

TEST(NormalizeHandle, StripsEachWhiteSpaceAtBothEnds) {
  for (const auto& ws : kWhiteSpace) {
    const auto entry = &ws - kWhiteSpace.data();
    EXPECT_EQ(normalize_handle(ws + ws + "Bob" + ws + ws), "bob") << "entry " << entry;
    EXPECT_EQ(normalize_handle("a" + ws + "b"), "a" + ws + "b") << "entry " << entry;  // inner ones stay
  }
}

TEST(NormalizeHandle, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  Alice_01 ", "alice_01"},
      {" \u3000\t", ""},
      {"ABCXYZ@[`{", "abcxyz@[`{"},  // only A-Z move
      {"\u00C9cole", "\u00C9cole"},  // non-ASCII capital kept
      {"\u200Bbob\u2030", "\u200Bbob\u2030"},  // next to the ranges, not white space
      {"\u180Ebob", "\u180Ebob"},
      {"\xFF A ", "\xFF a"},  // not UTF-8: still trimmed, never fails
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_handle(in), out) << in;
}

TEST(IsValidHandle, Edges) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"a", true},       {"0", true},         {std::string(64, 'a'), true}, {"a" + std::string(62, '-') + "9", true},
      {"", false},       {std::string(65, 'a'), false},
      {"-a", false},     {"a-", false},       {"_a", false},                {"a_", false},
      {"a-b", true},     {"a_b", true},       {"alice_01", true},
      {"a.b", false},    {"a b", false},      {"Alice", false},             {"caf\u00E9", false},
  };
  for (const auto& [handle, valid] : cases) EXPECT_EQ(is_valid_handle(handle), valid) << "'" << handle << "'";
}

}  // namespace
