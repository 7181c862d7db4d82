// A raised ratchet file made from the old file's bytes against the full
// encoding of the raised ratchet, on random ratchets and updates: every
// result it gives is byte for byte the full encoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/ratchet_splice.hpp"

using namespace vornex;
using namespace vornex::core;

namespace {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t below(std::uint64_t n) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state_ >> 33) % n;
  }

 private:
  std::uint64_t state_;
};

HashValue id_bytes(std::uint64_t n) {
  cord::Bytes bytes(32, 0);
  // Ids that share long prefixes, and some that differ first.
  bytes[0] = static_cast<std::uint8_t>(n % 3);
  bytes[31] = static_cast<std::uint8_t>(n);
  bytes[30] = static_cast<std::uint8_t>(n >> 8);
  return HashValue(std::move(bytes));
}

// A few keys of each kind with an origin field, and some without one.
RecordKey random_key(Rng& rng) {
  const HashValue id = id_bytes(rng.below(40));
  switch (rng.below(5)) {
    case 0: return record_key::User{UserId(id)};
    case 1: return record_key::Grant{GrantId(id)};
    case 2: return record_key::UserHandle{UserHandleId(id)};
    default: return record_key::Secret{SecretId(id)};
  }
}

std::optional<KeyOrigin> random_origin(Rng& rng, const RecordKey& key) {
  const std::string text = "o" + std::to_string(rng.below(4)) + std::string(rng.below(3) * 40, 'x');
  if (std::holds_alternative<record_key::Secret>(key)) {
    return KeyOrigin(key_origin::Secret{SecretSelectorV1{{"app", text}, {}}});
  }
  if (std::holds_alternative<record_key::UserHandle>(key)) return KeyOrigin(key_origin::UserHandle{text});
  return std::nullopt;
}

RatchetUpdate random_update(Rng& rng, std::uint64_t keys) {
  RatchetUpdate update;
  for (std::uint64_t i = 0; i < keys; ++i) {
    const RecordKey key = random_key(rng);
    // Origins of keys that get no counter are kept in memory, not stored.
    if (rng.below(6) != 0) update.counters[key] = rng.below(2) == 0 ? rng.below(5) : rng.below(1u << 20);
    if (rng.below(2) == 0) {
      if (auto origin = random_origin(rng, key)) update.origins.emplace(key, std::move(*origin));
    }
  }
  return update;
}

TEST(RatchetSplice, RaisedFilesAreTheFullEncoding) {
  int spliced = 0;
  int declined = 0;
  int unchanged = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    Rng rng(seed);
    Ratchet ratchet = Ratchet::make(cord::Bytes(32, 0x5a));
    ratchet.apply_update(random_update(rng, rng.below(60)));
    if (rng.below(3) == 0) ratchet.keep_unknown_record(cord::Bytes{0, 0, 0, 99, 1, 2, 3});
    if (rng.below(2) == 0) {
      RatchetUpdate version;
      version.format_version = 1;
      ratchet.apply_update(version);
    }
    const cord::Bytes before = store::encode_ratchet(ratchet).value();
    const auto shared = std::make_shared<const cord::Bytes>(before);
    for (int step = 0; step < 8; ++step) {
      // Now and then a raise the ratchet holds already, which changes nothing.
      RatchetUpdate update = rng.below(5) == 0 ? RatchetUpdate{ratchet.counters(), ratchet.origins(), std::nullopt}
                                               : random_update(rng, rng.below(4));
      if (rng.below(10) == 0) update.format_version = 1 + rng.below(2);
      Ratchet raised = ratchet;
      raised.apply_update(update);
      const cord::Bytes full = store::encode_ratchet(raised).value();
      const auto got = store::encode_raised_ratchet(before, ratchet, update);
      // Over shared bytes: the same answer, and the same bytes when they do not change.
      const auto got_shared = store::raise_ratchet_bytes(shared, ratchet, update);
      EXPECT_EQ(got_shared != nullptr, got.has_value());
      if (got_shared != nullptr) {
        EXPECT_EQ(*got_shared, full);
        EXPECT_EQ(got_shared == shared, full == before);
        unchanged += full == before ? 1 : 0;
      }
      if (!got) {
        ++declined;
        // Only a format version above the file's is left to the full encoding.
        EXPECT_TRUE(update.format_version && *update.format_version > ratchet.format_version());
        continue;
      }
      ++spliced;
      EXPECT_EQ(*got, full);
    }
  }
  EXPECT_GT(spliced, 2000);
  EXPECT_GT(declined, 0);
  EXPECT_GT(unchanged, 200);
}

TEST(RatchetSplice, BytesThatAreNotTheRatchetsFileAreDeclined) {
  Ratchet ratchet = Ratchet::make(cord::Bytes(32, 0x5a));
  RatchetUpdate first;
  first.counters[record_key::User{UserId(id_bytes(1))}] = 3;
  ratchet.apply_update(first);
  const cord::Bytes file = store::encode_ratchet(ratchet).value();
  RatchetUpdate raise;
  raise.counters[record_key::User{UserId(id_bytes(1))}] = 4;

  const cord::Bytes other = store::encode_ratchet(Ratchet::make(cord::Bytes(32, 0x5a))).value();
  cord::Bytes truncated(file.begin(), file.end() - 1);
  cord::Bytes trailing = file;
  trailing.push_back(0);
  cord::Bytes huge_count = file;
  huge_count[store::kRatchetMagic.size() + 4] = 0xff;
  cord::Bytes wrong_magic = file;
  wrong_magic[0] ^= 1;
  // The record to raise is not in the bytes, a frame is cut, bytes follow
  // the last record, the count is beyond the bytes, or the magic is wrong.
  for (const cord::Bytes* bytes : std::vector<const cord::Bytes*>{&other, &truncated, &trailing, &huge_count, &wrong_magic}) {
    EXPECT_FALSE(store::encode_raised_ratchet(*bytes, ratchet, raise).has_value());
  }
  Ratchet raised = ratchet;
  raised.apply_update(raise);
  EXPECT_EQ(store::encode_raised_ratchet(file, ratchet, raise), store::encode_ratchet(raised).value());
}

}  // namespace
