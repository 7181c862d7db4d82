// No copy of a secret value is left in freed memory by reads and writes.
// This binary replaces the global allocation functions: while a scan is on,
// every block given back is searched for a marker that only the secret
// holds, before it is freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "ops_vault.hpp"

namespace {

constexpr std::string_view kMarker = "secret-marker-7d1e4c09b2a6";
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::atomic<bool> g_scanning{false};
std::atomic<int> g_leaks{0};

void scan(const unsigned char* block, std::size_t size) {
  const auto* begin = reinterpret_cast<const char*>(block);
  if (std::search(begin, begin + size, kMarker.begin(), kMarker.end()) != begin + size) ++g_leaks;
}

}  // namespace

void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  return block + kHeader;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// Every form that pairs with the plain delete, so no block lacks the header
// (a sanitizer runtime would otherwise supply these).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }

void operator delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  auto* block = static_cast<unsigned char*>(pointer) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  if (g_scanning.load()) scan(static_cast<unsigned char*>(pointer), size);
  std::free(block);
}
void operator delete[](void* pointer) noexcept { ::operator delete(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { ::operator delete(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { ::operator delete(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { ::operator delete(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { ::operator delete(pointer); }

namespace {

using namespace vornex;
using namespace vornex::test::data;

core::SecretSelectorV1 sel(std::vector<std::string> path) { return core::SecretSelectorV1{std::move(path), {}}; }

// The secret: the marker many times over, so that any piece of a copy long
// enough to matter holds it whole.
cord::Bytes secret_value() {
  cord::Bytes out;
  out.reserve(kMarker.size() * 64);
  for (int i = 0; i < 64; ++i) out.insert(out.end(), kMarker.begin(), kMarker.end());
  return out;
}

// Counts the freed blocks that held the marker while `op` ran.
template <class Op>
int leaks_during(Op&& op) {
  g_leaks = 0;
  g_scanning = true;
  op();
  g_scanning = false;
  return g_leaks.load();
}

class Wipe : public OpsVaultTest {
 protected:
  void SetUp() override {
    OpsVaultTest::SetUp();
    standard_vault();
  }
  ops::UnlockedSession open_as(std::uint8_t seed) const {
    auto session = unlock(seed);
    if (!session) throw std::runtime_error("unlock failed: " + session.error().message());
    return std::move(*session);
  }
};

TEST_F(Wipe, ReadsAndWritesLeaveNoCopyBehind) {
  auto alice = open_as(kAlice);
  const auto x = sel({"app", "x"});
  // Made and dropped outside the scans: the test's own copies.
  auto value = std::make_optional(secret_value());
  const ops::ValueUpdate add_field =
      [&](const ops::SecretPlaintext& p) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    return p.with_field("token", *value);
  };
  const ops::ValueUpdate drop_field =
      [&](const ops::SecretPlaintext& p) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    return p.without_field("other");
  };

  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(alice.set_secret(crypto(), x, *value).has_value()); }), 0) << "set";
  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(alice.get_secret(crypto(), x).has_value()); }), 0) << "get";
  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(alice.update_secret_value(crypto(), x, add_field).has_value()); }), 0)
      << "field added";
  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(alice.update_secret_value(crypto(), x, drop_field).has_value()); }), 0)
      << "other field removed";
  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(open_as(kBob).get_secret(crypto(), x).has_value()); }), 0)
      << "opened and read by another reader";
  EXPECT_EQ(leaks_during([&] { ASSERT_TRUE(alice.delete_secret(crypto(), x).has_value()); }), 0) << "delete";

  // The scan itself finds an unwiped copy.
  EXPECT_EQ(leaks_during([&] { const cord::Bytes copy = *value; }), 1);
}

}  // namespace
