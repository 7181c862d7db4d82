// The transaction file: a record written out by hand, the shape rules in
// their order, the decoder's refusals, the root check, canonical paths,
// and an image above Cord's default length limit written and read back.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hex.hpp"
#include "store_fixture.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/transaction.hpp"

namespace {

using namespace vornex;
using namespace vornex::store;
using vornex::test::hex;
using vornex::test::to_hex;
namespace fs = std::filesystem;

std::string repeat(const std::string& text, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += text;
  return out;
}

cord::Bytes bytes_of(const std::string& text) { return cord::Bytes(text.begin(), text.end()); }

const core::HashValue kRoot(cord::Bytes(32, 0x22));

TransactionV1 sample() {
  return {cord::Bytes(32, 0x01),
          kRoot,
          NativePathV1::Unix{bytes_of("/w/v")},
          "set",
          FilePreconditionV1::Absent{},
          FilePreconditionV1::Hash{core::HashValue(cord::Bytes(32, 0x33))},
          hex("abcd"),
          {}};
}

const std::string kMagic = "766f726e65782d7472616e73616374696f6e00";
const std::string kSampleHex = kMagic + "00000000" + "00000020" + repeat("01", 32) + "00000020" + repeat("22", 32) +
                               "00000000 00000004 2f772f76" + "00000003 736574" + "00000000" + "00000001 00000020" +
                               repeat("33", 32) + "00000002 abcd" + "00000000";

std::string failure(const StoreStatus& result) { return result ? "ok" : *result.error().reason(); }

TEST(TransactionCodec, MatchesTheLayoutByHand) {
  EXPECT_EQ(to_hex(encode_transaction(sample()).value()), to_hex(hex(kSampleHex)));
  EXPECT_EQ(decode_transaction("t", hex(kSampleHex)).value(), sample());
}

TEST(TransactionShape, RulesInTheirOrder) {
  using Edit = std::function<void(TransactionV1&)>;
  const auto windows = [](std::size_t n) { return NativePathV1::WindowsUtf16Le{cord::Bytes(n, 0x41)}; };
  const auto short_hash = FilePreconditionV1::Hash{core::HashValue(cord::Bytes(31, 0))};
  const std::pair<Edit, std::string> cases[] = {
      {[](TransactionV1&) {}, "ok"},
      {[](TransactionV1& t) { t.operation_label = std::string(128, 'a'); }, "ok"},
      {[](TransactionV1& t) { t.operation_label = std::string(129, 'a'); },
       "transaction operation label is empty or too long"},
      {[](TransactionV1& t) { t.operation_label = repeat("\xE2\x82\xAC", 43); },
       "transaction operation label is empty or too long"},
      {[](TransactionV1& t) { t.operation_label.clear(); }, "transaction operation label is empty or too long"},
      {[](TransactionV1& t) { t.id.pop_back(); }, "transaction ID must be exactly 32 bytes"},
      // Two broken rules report the earlier.
      {[](TransactionV1& t) {
         t.id.pop_back();
         t.operation_label.clear();
       }, "transaction ID must be exactly 32 bytes"},
      {[&](TransactionV1& t) { t.vault_before = short_hash; }, "transaction file hash must be 32 bytes"},
      {[&](TransactionV1& t) { t.ratchet_before = short_hash; }, "transaction file hash must be 32 bytes"},
      {[&](TransactionV1& t) { t.vault_path = windows(6); }, "ok"},
      {[&](TransactionV1& t) { t.vault_path = windows(7); }, "transaction Windows path has odd byte length"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    TransactionV1 record = sample();
    cases[i].first(record);
    EXPECT_EQ(failure(validate_shape("t", record)), cases[i].second) << "case " << i;
  }
}

TEST(TransactionCodec, EncoderRefusalsNameTheBareFileName) {
  TransactionV1 record = sample();
  record.id.clear();
  EXPECT_EQ(encode_transaction(record).error().message(),
            "transaction file transaction.cord is invalid: transaction ID must be exactly 32 bytes");
  // A decomposed label would read back as another record.
  record = sample();
  record.operation_label = "e\xCC\x81";
  EXPECT_EQ(encode_transaction(record).error().message(),
            "transaction file transaction.cord is invalid: transaction operation label is not in NFC");
}

TEST(TransactionCodec, DecoderRefusals) {
  // Shape rules apply to what is read, too.
  TransactionV1 short_id = sample();
  short_id.id.pop_back();
  cord::Bytes bad_shape = hex(kMagic);
  ASSERT_TRUE(cord::serialize_into(bad_shape, TransactionStore{transaction_store::V1{short_id}}));

  const std::pair<cord::Bytes, std::string> cases[] = {
      {hex(kMagic.substr(0, 36)), "missing vornex transaction magic"},
      {hex(repeat("00", 19) + kSampleHex.substr(38)), "missing vornex transaction magic"},
      {hex(kMagic), "transaction Cord payload is invalid: Unexpected end of input"},
      {hex(kMagic + "00000001"), "transaction Cord payload is invalid: Cord encountered unknown enum variant index 1"},
      {hex(kSampleHex + "00"), "transaction Cord payload is invalid: Trailing bytes after deserialization"},
      {bad_shape, "transaction ID must be exactly 32 bytes"},
  };
  for (const auto& [bytes, reason] : cases) {
    const auto result = decode_transaction("t", bytes);
    ASSERT_FALSE(result.has_value()) << reason;
    EXPECT_EQ(result.error().message(), "transaction file t is invalid: " + reason);
  }

  // The size is judged before a byte is looked at: the pages are never touched.
  const std::size_t size = kTransactionFileLimit + 1;
  void* pages = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  const auto result = decode_transaction("t", cord::ByteView(static_cast<const std::uint8_t*>(pages), size));
  ::munmap(pages, size);
  EXPECT_EQ(*result.error().reason(), "transaction is 537919489 bytes, above the supported maximum of 537919488");
}

class TransactionFile : public vornex::test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    paths_.emplace(paths_at());
  }

  std::optional<WorkspacePaths> paths_;
};

// 17 MiB is above Cord's default length limit of 16 MiB.
TEST_F(TransactionFile, LargeImageIsWrittenAndReadBack) {
  TransactionV1 record = sample();
  record.next_vault_bytes.assign(17 * 1024 * 1024, 0x5A);
  record.next_ratchet_bytes.assign(17 * 1024 * 1024 + 1, 0xA5);
  ASSERT_TRUE(write_transaction_atomic(*paths_, record).has_value());
  EXPECT_EQ(read_transaction(*paths_, kRoot).value(), record);
}

TEST_F(TransactionFile, MissingRefusedAndForeignFiles) {
  EXPECT_EQ(read_transaction(*paths_, kRoot).value(), std::nullopt);

  TransactionV1 bad = sample();
  bad.operation_label.clear();
  EXPECT_FALSE(write_transaction_atomic(*paths_, bad).has_value());
  EXPECT_FALSE(fs::exists(dir_ / "state"));

  ASSERT_TRUE(write_transaction_atomic(*paths_, sample()).has_value());
  const fs::path other = dir_ / "state" / repeat("99", 32);
  fs::create_directories(other);
  fs::copy_file(dir_ / "state" / repeat("22", 32) / "transaction.cord", other / "transaction.cord");
  const auto foreign = read_transaction(*paths_, core::HashValue(cord::Bytes(32, 0x99)));
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(foreign.error().message(), "transaction file " + (other / "transaction.cord").string() +
                                           " is invalid: transaction trusted root does not match its state directory");
}

// A writer that keeps its images: the same bytes as the whole record's.
TEST_F(TransactionFile, BorrowedImagesGiveTheRecordsBytes) {
  TransactionV1 head = sample();
  const cord::Bytes vault = head.next_vault_bytes;
  head.next_vault_bytes = hex("ffff");  // a head's own images are not written
  auto prepared = prepare_transaction(*paths_, head, vault, {});
  ASSERT_TRUE(prepared.has_value()) << prepared.error().message();
  cord::Bytes joined;
  for (const cord::ByteView part : prepared->parts()) joined.insert(joined.end(), part.begin(), part.end());
  EXPECT_EQ(to_hex(joined), to_hex(hex(kSampleHex)));
  ASSERT_TRUE(prepared->file.place());
  EXPECT_EQ(to_hex(read_file_bounded(dir_ / "state" / repeat("22", 32) / "transaction.cord", 1 << 20).value()),
            to_hex(hex(kSampleHex)));
  EXPECT_TRUE(verify_transaction_bytes(*paths_, kRoot, prepared->parts()));
  EXPECT_EQ(read_transaction(*paths_, kRoot).value(), sample());

  // Any split of the same bytes reads back equal; a change anywhere, or a
  // byte more or less, does not.
  const fs::path file = dir_ / "state" / repeat("22", 32) / "transaction.cord";
  const cord::ByteView whole(joined);
  for (std::size_t cut = 0; cut <= whole.size(); cut += 7) {
    const std::vector<cord::ByteView> halves{whole.first(cut), cord::ByteView(), whole.subspan(cut)};
    EXPECT_TRUE(verify_transaction_bytes(*paths_, kRoot, halves)) << cut;
  }
  for (const std::size_t at : {std::size_t{0}, whole.size() / 2, whole.size() - 1}) {
    cord::Bytes other = joined;
    other[at] ^= 1;
    const std::vector<cord::ByteView> changed{cord::ByteView(other).first(at), cord::ByteView(other).subspan(at)};
    EXPECT_EQ(verify_transaction_bytes(*paths_, kRoot, changed).error().message(),
              "transaction file " + file.native() +
                  " is invalid: transaction bytes differed immediately after atomic write");
  }
  const std::vector<cord::ByteView> shorter{whole.first(whole.size() - 1)};
  EXPECT_FALSE(verify_transaction_bytes(*paths_, kRoot, shorter));
  const cord::Bytes extra{0x00};
  const std::vector<cord::ByteView> longer{whole, extra};
  EXPECT_FALSE(verify_transaction_bytes(*paths_, kRoot, longer));
  EXPECT_EQ(verify_transaction_bytes(*paths_, core::HashValue(cord::Bytes(32, 0x99)), longer).error().kind(),
            StoreError::Kind::Io);

  // Images are judged by their sizes before a byte of them is read
  // (address space only; a read would fault), after the other rules.
  const std::size_t size = kMaxTransactionImageBytes + 1;
  void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const cord::ByteView huge(static_cast<const std::uint8_t*>(region), size);
  TransactionV1 unlabelled = head;
  unlabelled.operation_label.clear();
  const std::pair<StoreResult<PreparedTransaction>, std::string> cases[] = {
      {prepare_transaction(*paths_, head, huge, {}), "transaction vault after-image is too large"},
      {prepare_transaction(*paths_, head, {}, huge), "transaction ratchet after-image is too large"},
      {prepare_transaction(*paths_, unlabelled, huge, {}), "transaction operation label is empty or too long"},
  };
  ::munmap(region, size);
  for (const auto& [result, reason] : cases) {
    ASSERT_FALSE(result.has_value()) << reason;
    EXPECT_EQ(result.error().message(), "transaction file transaction.cord is invalid: " + reason);
  }
}

TEST_F(TransactionFile, CanonicalPaths) {
  const auto missing = NativePathV1::canonical(dir_ / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), StoreError::Kind::Io);
  EXPECT_EQ(*missing.error().path(), dir_ / "missing");

  fs::create_directories(dir_ / "a" / "b");
  fs::create_directory_symlink(dir_ / "a", dir_ / "link");
  const fs::path expected = fs::canonical(dir_) / "a";
  const NativePathV1 resolved = NativePathV1::canonical(dir_ / "link" / "b" / ".." / ".").value();
  EXPECT_EQ(resolved, NativePathV1(NativePathV1::Unix{bytes_of(expected.string())}));
  EXPECT_EQ(resolved.to_path_buf(), expected);
  EXPECT_TRUE(resolved.matches_canonical(dir_ / "a" / "b" / "..").value());
  EXPECT_FALSE(resolved.matches_canonical(dir_ / "a" / "b").value());

  const NativePathV1 windows = NativePathV1::WindowsUtf16Le{bytes_of(expected.string())};
  EXPECT_EQ(windows.to_path_buf(), std::nullopt);
  EXPECT_FALSE(windows.matches_canonical(expected).value());
}

}  // namespace
