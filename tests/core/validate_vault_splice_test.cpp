// Adding a record to a vault file by splicing its encoding into the old
// bytes must give exactly what encoding the grown record set gives, and
// the index it hands on must be the one decoding the new file gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "random_vault.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using RecordSet = cord::Set<VaultRecordV1>;

const test::VaultBuilder& builder() { return test::shared_builder(); }

RecordSet set_of(std::vector<VaultRecordV1> records) { return RecordSet::from(std::move(records)).value(); }

cord::Bytes encoding(const VaultRecordV1& record) { return cord::serialize(record).value(); }

VaultIndex index_of(cord::ByteView file) {
  VaultIndex index;
  EXPECT_TRUE(decode_vault_hashed(file, builder().crypto(), &index)) << "the file does not decode";
  return index;
}

// The plain road: the whole set with the record inserted, encoded again.
struct Expected {
  cord::Bytes file;
  bool inserted;
};
Expected reencoded(RecordSet records, const VaultRecordV1& record) {
  const bool inserted = records.insert(record).value();
  return {encode_vault(records).value(), inserted};
}

// Checks one splice against the plain road; returns the spliced result.
SplicedVault splice_and_compare(const RecordSet& records, const cord::Bytes& file, const VaultIndex& index,
                                const VaultRecordV1& record, const std::string& trace) {
  const auto spliced = splice_record(file, index, encoding(record));
  if (!spliced) {
    ADD_FAILURE() << trace << ": " << spliced.error().message();
    return {};
  }
  const Expected expected = reencoded(records, record);
  EXPECT_EQ(spliced->inserted, expected.inserted) << trace;
  EXPECT_TRUE(spliced->file == expected.file) << trace;
  EXPECT_EQ(spliced->index, index_of(expected.file)) << trace;
  return *spliced;
}

TEST(VaultSplice, RandomVaultsGiveTheReencodedFile) {
  // Random vaults with records of every kind; the new records come from
  // other seeds' vaults (new), or from the same vault (already present).
  constexpr std::uint64_t kSeeds = 60;
  constexpr int kInsertsPerVault = 4;
  std::size_t inserted = 0;
  std::size_t present = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    const test::RandomVault vault = test::random_vault(seed, builder());
    const test::RandomVault donor = test::random_vault(seed + 1'000'000, builder());
    std::vector<VaultRecordV1> records;
    for (const HashedRecord& r : vault.records) records.push_back(r.record);
    RecordSet set = set_of(records);
    cord::Bytes file = encode_vault(set).value();
    VaultIndex index = index_of(file);
    test::SeededRng rng(seed);
    // Each splice starts from the file and index the previous one gave.
    for (int step = 0; step < kInsertsPerVault; ++step) {
      const bool again = !records.empty() && rng.percent(25);
      const VaultRecordV1& record = again ? rng.pick(records) : rng.pick(donor.records).record;
      const std::string trace = "seed " + std::to_string(seed) + " step " + std::to_string(step);
      SplicedVault spliced = splice_and_compare(set, file, index, record, trace);
      if (HasFailure()) return;
      (spliced.inserted ? inserted : present) += 1;
      ASSERT_TRUE(set.insert(record));
      file = std::move(spliced.file);
      index = std::move(spliced.index);
    }
  }
  // Both outcomes came up often.
  EXPECT_GT(inserted, kSeeds * 2);
  EXPECT_GT(present, kSeeds / 10);
}

TEST(VaultSplice, EveryPlaceInTheFile) {
  // Each record taken out of a small vault and spliced back: first, last
  // and every place between, and the first record of an empty vault.
  const test::VaultBuilder& b = builder();
  const RecordSet full = set_of({b.vault_root(), b.entry_point(b.identity(2)), b.user(b.root(), b.identity(2)),
                                b.vault_handle(b.root(), "ops"), b.group(b.root(), "g"), b.unknown_kind(b.root())});
  const cord::Bytes full_file = encode_vault(full).value();
  for (std::size_t k = 0; k < full.size(); ++k) {
    std::vector<VaultRecordV1> rest = full.items();
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(k));
    const RecordSet without = set_of(rest);
    const cord::Bytes file = encode_vault(without).value();
    const SplicedVault spliced =
        splice_and_compare(without, file, index_of(file), full.items()[k], "place " + std::to_string(k));
    EXPECT_TRUE(spliced.file == full_file) << k;
  }
  const cord::Bytes empty = encode_vault({}).value();
  const SplicedVault first = splice_and_compare({}, empty, index_of(empty), b.vault_root(), "empty vault");
  EXPECT_EQ(first.index.starts, std::vector<std::size_t>{21});
}

TEST(VaultSplice, TheHeaderCountsTheNewRecord) {
  // The count is the big-endian u32 behind the magic and the variant
  // index, written here by hand rather than by the encoder.
  const test::VaultBuilder& b = builder();
  const RecordSet set = set_of({b.vault_root(), b.entry_point(b.identity(2))});
  const cord::Bytes file = encode_vault(set).value();
  const cord::Bytes record = encoding(b.user(b.root(), b.identity(2)));
  const SplicedVault spliced = splice_record(file, index_of(file), record).value();
  const cord::Bytes header(spliced.file.begin(), spliced.file.begin() + 21);
  cord::Bytes expected_header(kVaultMagic.begin(), kVaultMagic.end());
  expected_header.insert(expected_header.end(), {0, 0, 0, 0, 0, 0, 0, 3});
  EXPECT_EQ(header, expected_header);
  EXPECT_EQ(spliced.file.size(), file.size() + record.size());
}

TEST(VaultSplice, LimitsAreThoseOfTheEncoder) {
  namespace d = validate::detail;
  const test::VaultBuilder& b = builder();
  const RecordSet set = set_of({b.vault_root(), b.entry_point(b.identity(2))});
  const VaultRecordV1 added = b.user(b.root(), b.identity(2));
  const VaultRecordV1 present = b.vault_root();
  const cord::Bytes file = encode_vault(set).value();
  const VaultIndex index = index_of(file);
  RecordSet grown = set;
  ASSERT_TRUE(grown.insert(added).value());
  const std::size_t size = encode_vault(grown).value().size();

  const struct {
    const char* name;
    d::VaultLimits limits;
    const VaultRecordV1* record;
  } cases[] = {
      {"at both limits", {size, 3}, &added},
      {"one record too many", {size, 2}, &added},
      {"one byte too many", {size - 1, 3}, &added},
      {"both: the count is told first", {size - 1, 2}, &added},
      {"a present record at the old size and count", {file.size(), 2}, &present},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordSet with = set;
    ASSERT_TRUE(with.insert(*c.record));
    const auto expected = d::encode_vault(with, c.limits);
    const auto spliced = d::splice_record(file, index, encoding(*c.record), c.limits);
    ASSERT_EQ(spliced.has_value(), expected.has_value());
    if (expected) {
      EXPECT_TRUE(spliced->file == *expected);
    } else {
      EXPECT_EQ(spliced.error().message(), expected.error().message());
    }
  }
}

TEST(VaultSplice, RefusesAnIndexOrRecordThatDoesNotFit) {
  const test::VaultBuilder& b = builder();
  const RecordSet set = set_of({b.vault_root(), b.entry_point(b.identity(2)), b.user(b.root(), b.identity(2))});
  const cord::Bytes file = encode_vault(set).value();
  const VaultIndex index = index_of(file);
  const cord::Bytes record = encoding(b.vault_handle(b.root(), "ops"));
  const std::string mismatch = "validation failed: vault index does not match the vault file";
  const auto with = [](VaultIndex i, auto edit) {
    edit(i.starts);
    return i;
  };
  cord::Bytes trailing = record;
  trailing.push_back(0);
  cord::Bytes two = record;
  two.insert(two.end(), record.begin(), record.end());
  cord::Bytes other_variant = file;
  other_variant[16] = 1;

  const struct {
    const char* name;
    cord::Bytes file;
    VaultIndex index;
    cord::Bytes record;
    std::string expected;  // a prefix of the error's text
  } cases[] = {
      {"one record too few", file, with(index, [](auto& s) { s.pop_back(); }), record, mismatch},
      {"one record too many", file, with(index, [&](auto& s) { s.push_back(file.size() - 1); }), record, mismatch},
      {"no records", file, VaultIndex{}, record, mismatch},
      {"not in order", file, with(index, [](auto& s) { std::swap(s[1], s[2]); }), record, mismatch},
      {"a record twice", file, with(index, [](auto& s) { s[2] = s[1]; }), record, mismatch},
      {"starting inside the header", file, with(index, [](auto& s) { s[0] = 20; }), record, mismatch},
      {"starting behind the first record", file, with(index, [](auto& s) { s[0] += 1; }), record, mismatch},
      {"running past the end", file, with(index, [&](auto& s) { s[2] = file.size(); }), record, mismatch},
      {"an empty vault with a record", encode_vault({}).value(), index, record, mismatch},
      {"a file behind an empty vault", [&] { cord::Bytes f = encode_vault({}).value(); f.push_back(0); return f; }(),
       VaultIndex{}, record, mismatch},
      {"another store variant", other_variant, index, record, mismatch},
      {"no magic", cord::Bytes(file.begin() + 1, file.end()), index, record,
       "validation failed: not a vornex vault file (missing magic prefix)"},
      {"a header cut short", cord::Bytes(file.begin(), file.begin() + 19), VaultIndex{}, record, mismatch},
      {"a record with a byte behind it", file, index, trailing, "cord error: "},
      {"two records", file, index, two, "cord error: "},
      {"a record cut short", file, index, cord::Bytes(record.begin(), record.end() - 1), "cord error: "},
      {"no record", file, index, cord::Bytes{}, "cord error: "},
  };
  for (const auto& c : cases) {
    const auto spliced = splice_record(c.file, c.index, c.record);
    ASSERT_FALSE(spliced) << c.name;
    EXPECT_EQ(spliced.error().message().rfind(c.expected, 0), 0u) << c.name << ": " << spliced.error().message();
  }
}

}  // namespace
