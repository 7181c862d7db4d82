// The ratchet file: its bytes against a layout written out by hand, the
// refusals of the decoder, the root checks of reader and writer, and
// unknown record kinds kept through read, change and rewrite.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/mman.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "hex.hpp"
#include "store_fixture.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace {

using namespace vornex;
using namespace vornex::store;
using vornex::test::hex;
using vornex::test::to_hex;

// A fresh directory per test holding the state directory.
class RatchetFile : public vornex::test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    paths_.emplace(paths_at());
  }

  std::string file_hex(const core::HashValue& root) const {
    std::ifstream in(dir_ / "state" / to_hex(root.bytes()) / "ratchet.cord", std::ios::binary);
    return to_hex(cord::Bytes(std::istreambuf_iterator<char>(in), {}));
  }

  std::optional<WorkspacePaths> paths_;
};

const core::HashValue kRootF1(hex("F1"));
const core::HashValue kRootF2(hex("F2"));

// "vornex-ratchet" 00, variant 0, then a set of three in order of their
// encodings: an unknown kind (index 10), the root F1, user A1 at `counter`.
cord::Bytes file_with_user_counter(const char* counter) {
  return hex(std::string("766f726e65782d7261746368657400 00000000 00000003") +
             " 00000006 0000000A 0102"
             " 00000009 00000009 00000001 F1"
             " 00000011 00000000 00000001 A1 " + counter);
}

std::string failure(const StoreResult<core::Ratchet>& result) { return result ? "ok" : result.error().message(); }

TEST_F(RatchetFile, UnknownKindsSurviveReadChangeAndRewrite) {
  ASSERT_TRUE(write_ratchet_bytes_atomic(*paths_, kRootF1, file_with_user_counter("0000000000000005")).has_value());
  auto read = read_ratchet_for_root(*paths_, kRootF1);
  ASSERT_TRUE(read.has_value() && read->has_value()) << (read ? "none" : read.error().message());
  core::Ratchet ratchet = **read;
  EXPECT_EQ(ratchet.unknown_records(), std::vector<cord::Bytes>{hex("0000000A 0102")});

  ratchet.absorb_record(core::UserRatchetRecordV1{core::UserId(core::HashValue(hex("A1"))), 6});
  ASSERT_TRUE(write_ratchet_atomic(*paths_, ratchet).has_value());
  EXPECT_EQ(file_hex(kRootF1), to_hex(file_with_user_counter("0000000000000006")));
  EXPECT_EQ(read_ratchet_for_root(*paths_, kRootF1).value(), ratchet);
}

TEST(RatchetCodec, DecoderRefusals) {
  const std::string magic = "766f726e65782d7261746368657400";
  const std::string prefix = "ratchet file r is invalid: ";
  const std::pair<std::string, std::string> cases[] = {
      {"", "Cord could not validate: not a vornex state file (missing magic prefix)"},
      // "vornex-ratchet" followed by 01 instead of the zero byte.
      {"766f726e65782d7261746368657401 00000000 00000000",
       "Cord could not validate: not a vornex state file (missing magic prefix)"},
      {magic, "Unexpected end of input"},
      {magic + "00000001 00000000", "Cord encountered unknown enum variant index 1"},
      {magic + "00000000 00000000", "Cord could not validate: ratchet file missing its trusted-root record"},
      {magic + "00000000 00000001 00000009 00000009 00000001 F1 00", "Trailing bytes after deserialization"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(failure(decode_ratchet("r", hex(bytes))), prefix + text) << bytes;
  }
}

// A file holding two root records: the set's order decides, so the greater
// encoding names the root.
TEST(RatchetCodec, SeveralRootRecordsResolveInSetOrder) {
  const auto file = hex(
      "766f726e65782d7261746368657400 00000000 00000002"
      " 00000009 00000009 00000001 F1 00000009 00000009 00000001 F2");
  EXPECT_EQ(decode_ratchet("r", file).value().trusted_root(), hex("F2"));
}

TEST_F(RatchetFile, RootChecksAndMissingFiles) {
  EXPECT_EQ(read_ratchet_for_root(*paths_, kRootF1).value(), std::nullopt);

  // Bytes of root F1 are never written for F2.
  const auto bytes = file_with_user_counter("0000000000000001");
  const auto refused = write_ratchet_bytes_atomic(*paths_, kRootF2, bytes);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "trust root mismatch: file has HashValue([241]), requested HashValue([242])");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "state"));

  // A file copied into another root's directory is refused on reading.
  ASSERT_TRUE(write_ratchet_bytes_atomic(*paths_, kRootF1, bytes).has_value());
  std::filesystem::create_directories(dir_ / "state" / "f2");
  std::filesystem::copy_file(dir_ / "state" / "f1" / "ratchet.cord", dir_ / "state" / "f2" / "ratchet.cord");
  const auto copied = read_ratchet_for_root(*paths_, kRootF2);
  ASSERT_FALSE(copied.has_value());
  EXPECT_EQ(copied.error().message(), "trust root mismatch: file has HashValue([241]), requested HashValue([242])");

  // A directory where the file belongs is an error, not an absent file.
  std::filesystem::create_directories(dir_ / "state" / "aa" / "ratchet.cord");
  const auto directory = read_ratchet_for_root(*paths_, core::HashValue(hex("AA")));
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().kind(), StoreError::Kind::Io);

  // Too large: refused from its length, before a byte of it is read or any
  // directory made (address space only; a read would fault).
  std::filesystem::remove_all(dir_ / "state");
  const std::size_t size = kRatchetFileLimit + 1;
  void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const auto oversized = write_ratchet_bytes_atomic(*paths_, kRootF1, {static_cast<const std::uint8_t*>(region), size});
  ::munmap(region, size);
  ASSERT_FALSE(oversized.has_value());
  EXPECT_EQ(oversized.error().message(), "I/O error at " + (dir_ / "state" / "f1" / "ratchet.cord").native() +
                                             ": ratchet is 268435457 bytes, above the supported maximum of 268435456");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "state"));
}

// A writer's own encoding: prepared without decoding, its size still
// refused before anything is made, and read back by bytes alone.
TEST_F(RatchetFile, EncodedBytesArePreparedAndReadBackWithoutDecoding) {
  const std::filesystem::path file = dir_ / "state" / "f1" / "ratchet.cord";
  const auto bytes = file_with_user_counter("0000000000000001");
  auto prepared = prepare_encoded_ratchet_bytes(*paths_, kRootF1, bytes);
  ASSERT_TRUE(prepared.has_value()) << prepared.error().message();
  EXPECT_FALSE(std::filesystem::exists(file));
  ASSERT_TRUE(prepared->place());
  EXPECT_EQ(file_hex(kRootF1), to_hex(bytes));
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_TRUE(verify_ratchet_bytes_equal(*paths_, kRootF1, bytes));

  const auto other = file_with_user_counter("0000000000000002");
  const auto differs = verify_ratchet_bytes_equal(*paths_, kRootF1, other);
  ASSERT_FALSE(differs.has_value());
  EXPECT_EQ(differs.error().message(),
            "I/O error at " + file.native() + ": ratchet bytes differed immediately after atomic write");
  EXPECT_EQ(differs.error(), verify_ratchet_bytes(*paths_, kRootF1, other).error());
  const auto missing = verify_ratchet_bytes_equal(*paths_, kRootF2, bytes);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), verify_ratchet_bytes(*paths_, kRootF2, bytes).error());

  const std::size_t size = kRatchetFileLimit + 1;
  void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const auto oversized =
      prepare_encoded_ratchet_bytes(*paths_, kRootF2, {static_cast<const std::uint8_t*>(region), size});
  ::munmap(region, size);
  ASSERT_FALSE(oversized.has_value());
  EXPECT_EQ(oversized.error().message(), "I/O error at " + (dir_ / "state" / "f2" / "ratchet.cord").native() +
                                             ": ratchet is 268435457 bytes, above the supported maximum of 268435456");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "state" / "f2"));
}

}  // namespace
