// The verification cache: a file written out by hand, the signed message,
// every kind of damage read as a miss, and the size limit of the writer.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hex.hpp"
#include "store_fixture.hpp"
#include "vornex/store/cache_file.hpp"

namespace {

using namespace vornex;
using namespace vornex::store;
using vornex::test::hex;
using vornex::test::to_hex;
namespace fs = std::filesystem;

std::string repeat(const std::string& byte, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += byte;
  return out;
}

const core::HashValue kRoot(cord::Bytes(32, 0x11));
const core::HashValue kOwner(cord::Bytes(32, 0x44));

VerificationCacheV1 sample() {
  return {kRoot, 1,
          cord::Set<core::HashValue>::from({core::HashValue(cord::Bytes(32, 2)), core::HashValue(cord::Bytes(32, 1))})
              .value(),
          hex("6b6579"), hex("736967")};
}

// The message part: root, version 1, the two hashes in ascending order.
const std::string kMessageHex = "00000020" + repeat("11", 32) + "0000000000000001 00000002" + " 00000020" +
                                repeat("01", 32) + " 00000020" + repeat("02", 32);
// "vornex-cache" 00, variant 0, the message part, key "key", signature "sig".
const cord::Bytes kSampleFile =
    hex("766f726e65782d636163686500 00000000" + kMessageHex + "00000003 6b6579 00000003 736967");

class CacheFile : public vornex::test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    paths_.emplace(paths_at());
    file_ = dir_ / "state" / repeat("11", 32) / repeat("44", 32) / "cache.cord";
  }

  void put(const cord::Bytes& bytes) const {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  }

  fs::path file_;
  std::optional<WorkspacePaths> paths_;
};

TEST(CacheMessage, IsTheFirstThreeFieldsAlone) {
  VerificationCacheV1 cache = sample();
  const auto message = [&] {
    return to_hex(verification_cache_message(cache.trusted_root, cache.version, cache.record_hashes).value());
  };
  EXPECT_EQ(message(), to_hex(hex(kMessageHex)));
  cache.signing_key = hex("00");
  cache.signature = hex("0102");
  EXPECT_EQ(message(), to_hex(hex(kMessageHex)));
}

// The message built from hashes by pointer, in the set's order, is the
// message of the set they make: for the sample and for sets of every size
// up to a few hundred, of hashes sharing long prefixes.
TEST(CacheMessage, FromHashesByPointerIsTheSetsMessage) {
  const VerificationCacheV1 cache = sample();
  const auto by_pointer = [&](const cord::Set<core::HashValue>& set) {
    std::vector<const core::HashValue*> refs;
    for (const core::HashValue& h : set) refs.push_back(&h);
    return to_hex(verification_cache_message(cache.trusted_root, cache.version,
                                             std::span<const core::HashValue* const>(refs))
                      .value());
  };
  EXPECT_EQ(by_pointer(cache.record_hashes), to_hex(hex(kMessageHex)));
  std::uint64_t state = 7;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{17}, std::size_t{300}}) {
    std::vector<core::HashValue> hashes;
    for (std::size_t i = 0; i < size; ++i) {
      cord::Bytes bytes(32, 0xab);  // a shared prefix, then random bytes
      for (std::size_t j = 6; j < bytes.size(); ++j) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        bytes[j] = static_cast<std::uint8_t>(state >> 56);
      }
      hashes.emplace_back(std::move(bytes));
    }
    const auto set = cord::Set<core::HashValue>::from(std::move(hashes)).value();
    EXPECT_EQ(by_pointer(set), to_hex(verification_cache_message(cache.trusted_root, cache.version, set).value()))
        << size;
  }
}

// The writer places the file under the cache's own root, owner-only.
TEST_F(CacheFile, WritesTheLayoutAndReadsItBack) {
  ASSERT_TRUE(write_verification_cache_atomic(*paths_, kOwner, sample()).has_value());
  std::ifstream in(file_, std::ios::binary);
  EXPECT_EQ(cord::Bytes(std::istreambuf_iterator<char>(in), {}), kSampleFile);
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(file_.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(read_verification_cache(*paths_, kRoot, kOwner), sample());
}

TEST_F(CacheFile, EveryDamageIsAMiss) {
  const auto edited = [](const std::function<void(cord::Bytes&)>& edit) {
    cord::Bytes bytes = kSampleFile;
    edit(bytes);
    return bytes;
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"missing", [] {}},
      {"wrong magic", [&] { put(edited([](cord::Bytes& b) { b[0] = 'w'; })); }},
      {"magic without zero byte", [&] { put(edited([](cord::Bytes& b) { b.erase(b.begin() + 12); })); }},
      {"shorter than magic", [&] { put(hex("766f726e65782d6361636865")); }},
      {"variant 1", [&] { put(edited([](cord::Bytes& b) { b[16] = 1; })); }},
      {"trailing byte", [&] { put(edited([](cord::Bytes& b) { b.push_back(0); })); }},
      {"truncated", [&] { put(edited([](cord::Bytes& b) { b.pop_back(); })); }},
      {"directory", [&] { fs::create_directories(file_); }},
  };
  for (const auto& [name, damage] : cases) {
    fs::remove_all(dir_ / "state");
    damage();
    EXPECT_EQ(read_verification_cache(*paths_, kRoot, kOwner), std::nullopt) << name;
  }

  // Another version still decodes; the caller judges it.
  fs::remove_all(dir_ / "state");
  put(edited([](cord::Bytes& b) { b[13 + 4 + 36 + 7] = 2; }));
  EXPECT_EQ(read_verification_cache(*paths_, kRoot, kOwner).value().version, 2U);
}

// 73 bytes of framing, key and signature around two byte strings that
// together fill the file to exactly 32 MiB.
TEST_F(CacheFile, SizeLimitIsExact) {
  VerificationCacheV1 cache{kRoot, 1, {}, cord::Bytes(16'777'216, 0xAB), cord::Bytes(16'777'143 + 1, 0xCD)};
  const auto over = write_verification_cache_atomic(*paths_, kOwner, cache);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().io_error()->message(),
            "verification cache is 33554433 bytes, above the supported maximum of 33554432");
  EXPECT_FALSE(fs::exists(dir_ / "state"));

  // A valid file one byte over the limit is a miss.
  cord::Bytes oversized(kCacheMagic.begin(), kCacheMagic.end());
  ASSERT_TRUE(cord::serialize_into(oversized, VerificationCacheStore{verification_cache_store::V1{cache}}));
  put(oversized);
  EXPECT_EQ(read_verification_cache(*paths_, kRoot, kOwner), std::nullopt);

  cache.signature.pop_back();
  ASSERT_TRUE(write_verification_cache_atomic(*paths_, kOwner, cache).has_value());
  EXPECT_EQ(fs::file_size(file_), 33'554'432U);
  EXPECT_EQ(read_verification_cache(*paths_, kRoot, kOwner), cache);
}

}  // namespace
