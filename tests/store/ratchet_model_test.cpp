// Ratchets read from random stored lists, raised and written, against a
// model kept in std::map the plain way: records absorbed one by one in
// order, and file bytes framed by hand from each record's own encoding.
// Lists come unordered, repeat keys with other counters and origins, carry
// empty origins, several format versions and root records, and unknown
// kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vornex/core/counter.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/ratchet_splice.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;
using Stored = cord::Evolving<RatchetRecordV1>;

struct Model {
  cord::Bytes root;
  std::map<RecordKey, std::uint64_t> counters;
  std::map<RecordKey, KeyOrigin> origins;
  std::uint64_t format_version = 0;
  std::vector<cord::Bytes> unknown;

  void raise(const RecordKey& key, std::uint64_t counter) {
    auto [it, inserted] = counters.try_emplace(key, counter);
    if (!inserted && it->second < counter) it->second = counter;
  }

  void absorb(const RatchetRecordV1& record) {
    if (const auto* version = std::get_if<FormatVersionRatchetRecordV1>(&record)) {
      format_version = std::max(format_version, version->version);
      return;
    }
    const auto key = ratchet_record_key(record);
    if (!key) return;
    raise(*key, counter_of(record));
    if (auto origin = ratchet_record_origin(record)) origins.try_emplace(*key, std::move(*origin));
  }

  void apply(const RatchetUpdate& update) {
    for (const auto& [key, counter] : update.counters) raise(key, counter);
    for (const auto& [key, origin] : update.origins) origins.try_emplace(key, origin);
    if (update.format_version) format_version = std::max(format_version, *update.format_version);
  }

  // Magic, store variant 0, the record count, then each record as a u32
  // length and its payload, ordered by those framed bytes.
  cord::Bytes file() const {
    std::vector<cord::Bytes> frames;
    const auto add = [&](const cord::Bytes& payload) {
      cord::Bytes frame = be32(payload.size());
      frame.insert(frame.end(), payload.begin(), payload.end());
      frames.push_back(std::move(frame));
    };
    for (const auto& [key, counter] : counters) {
      const auto origin = origins.find(key);
      const auto record = ratchet_record_for_key(key, counter, origin == origins.end() ? nullptr : &origin->second);
      if (record) add(cord::serialize(*record).value());
    }
    if (format_version != 0) add(cord::serialize(RatchetRecordV1(FormatVersionRatchetRecordV1{format_version})).value());
    add(cord::serialize(RatchetRecordV1(TrustedRootRatchetRecordV1{root})).value());
    for (const auto& payload : unknown) add(payload);
    std::sort(frames.begin(), frames.end());  // unsigned bytewise, a proper prefix first
    cord::Bytes out(store::kRatchetMagic.begin(), store::kRatchetMagic.end());
    for (const auto& part : {be32(0), be32(frames.size())}) out.insert(out.end(), part.begin(), part.end());
    for (const auto& frame : frames) out.insert(out.end(), frame.begin(), frame.end());
    return out;
  }

  static cord::Bytes be32(std::size_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
  }
};

class Random {
 public:
  explicit Random(std::uint64_t seed) : rng_(seed) {}
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  // Few ids, so keys repeat; some share long prefixes.
  HashValue id() {
    cord::Bytes bytes(32, 0);
    bytes[0] = static_cast<std::uint8_t>(below(2));
    bytes[31] = static_cast<std::uint8_t>(below(12));
    return HashValue(std::move(bytes));
  }
  std::uint64_t counter() { return below(3) == 0 ? below(1ULL << 40) : below(6); }
  std::string text() { return below(3) == 0 ? std::string() : "h" + std::to_string(below(5)); }
  SecretSelectorV1 selector() {
    SecretSelectorV1 s;
    // An empty path counts as no origin, labels or not.
    for (std::uint64_t i = below(3); i > 0; --i) s.tuple.push_back("p" + std::to_string(below(3)));
    if (below(3) == 0) s.labels.push_back({"env", "e" + std::to_string(below(2))});
    return s;
  }

  RatchetRecordV1 record() {
    switch (below(11)) {
      case 0: return UserRatchetRecordV1{UserId(id()), counter()};
      case 1: return UserHandleRatchetRecordV1{UserHandleId(id()), counter(), text()};
      case 2: return VaultHandleRatchetRecordV1{VaultHandleId(id()), counter(), text()};
      case 3: return GroupRatchetRecordV1{GroupId(id()), counter()};
      case 4: {
        std::optional<GroupMemberIdInputV1> input;
        if (below(2) == 0) input = GroupMemberIdInputV1{GroupId(id()), PrincipalRefV1(UserId(id()))};
        return GroupMemberRatchetRecordV1{GroupMemberId(id()), counter(), std::move(input)};
      }
      case 5: return GrantRatchetRecordV1{GrantId(id()), counter()};
      case 6:
      case 7: return SecretRatchetRecordV1{SecretId(id()), counter(), selector()};
      case 8: return EntryPointRatchetRecordV1{UserId(id()), counter()};
      case 9: return FormatVersionRatchetRecordV1{below(3)};
      default: return TrustedRootRatchetRecordV1{cord::Bytes(1 + below(2), static_cast<std::uint8_t>(0xF0 + below(3)))};
    }
  }

  // Unknown kinds, distinct by their last byte.
  Stored unknown() {
    return Stored::unknown(cord::Bytes{0, 0, 0, static_cast<std::uint8_t>(10 + below(3)), 7,
                                       static_cast<std::uint8_t>(next_unknown_++)});
  }

  std::vector<Stored> list(std::size_t count) {
    std::vector<Stored> stored;
    for (std::size_t i = 0; i < count; ++i) stored.push_back(below(12) == 0 ? unknown() : Stored(record()));
    return stored;
  }

  std::optional<KeyOrigin> origin_for(const RecordKey& key) {
    if (std::holds_alternative<record_key::Secret>(key)) return key_origin::Secret{selector()};
    if (std::holds_alternative<record_key::UserHandle>(key)) return key_origin::UserHandle{"u" + std::to_string(below(3))};
    if (std::holds_alternative<record_key::VaultHandle>(key)) return key_origin::VaultHandle{"v"};
    return std::nullopt;
  }

  // Counters and origins of keys of the lists' ids, some of them only an
  // origin, which memory keeps and the file does not.
  RatchetUpdate update(std::size_t keys) {
    RatchetUpdate update;
    for (std::size_t i = 0; i < keys; ++i) {
      const auto key = ratchet_record_key(record());
      if (!key) continue;
      if (below(5) != 0) {
        std::uint64_t& held = update.counters[*key];
        held = std::max(held, counter());
      }
      if (below(2) == 0) {
        if (auto origin = origin_for(*key)) update.origins.emplace(*key, std::move(*origin));
      }
    }
    if (below(8) == 0) update.format_version = below(3);
    return update;
  }

 private:
  std::mt19937_64 rng_;
  int next_unknown_ = 0;
};

void expect_matches(const Ratchet& ratchet, const Model& model) {
  EXPECT_EQ(ratchet.trusted_root(), model.root);
  EXPECT_TRUE(ratchet.counters() == model.counters);
  EXPECT_TRUE(ratchet.origins() == model.origins);
  EXPECT_EQ(ratchet.format_version(), model.format_version);
}

std::vector<cord::Bytes> sorted(std::vector<cord::Bytes> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(RatchetModel, StoredListsReadAsAbsorbedOneByOne) {
  int without_root = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    Random random(seed);
    const std::vector<Stored> stored = random.list(random.below(90));
    Model model;
    bool rooted = false;
    for (const Stored& element : stored) {
      if (const auto* record = element.known()) {
        model.absorb(*record);
        if (const auto* root = std::get_if<TrustedRootRatchetRecordV1>(record)) {
          model.root = root->fingerprint;  // the last one in the list
          rooted = true;
        }
      } else {
        model.unknown.push_back(*element.unknown_payload());
      }
    }
    const auto copied = Ratchet::from_stored(std::span<const Stored>(stored));
    auto moved = Ratchet::from_stored(std::vector<Stored>(stored));
    ASSERT_EQ(copied.has_value(), rooted);
    ASSERT_EQ(moved.has_value(), rooted);
    if (!rooted) {
      ++without_root;
      continue;
    }
    expect_matches(*copied, model);
    EXPECT_EQ(copied->unknown_records(), model.unknown);
    EXPECT_EQ(*moved, *copied);

    // Written, the file is the model's; read back, it is the same ratchet
    // with its unknown records in file order.
    const cord::Bytes file = model.file();
    EXPECT_EQ(store::encode_ratchet(*copied).value(), file);
    const auto decoded = store::decode_ratchet("r", file);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    expect_matches(*decoded, model);
    EXPECT_EQ(decoded->unknown_records(), sorted(model.unknown));
  }
  EXPECT_GT(without_root, 0);
}

// The file is written and read record by record. Damaged in any way,
// it fails exactly as decoding the whole store and then reading the list
// fails, with the same error, and what still decodes is the same ratchet.
TEST(RatchetModel, DamagedFilesReadAsTheWholeStoreDecodes) {
  int still_decoded = 0;
  int refused = 0;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Random random(seed);
    std::vector<Stored> stored = random.list(1 + random.below(60));
    // An unknown record met twice is written once, as a set keeps one of
    // equal elements.
    if (random.below(3) == 0) stored.push_back(random.unknown());
    if (!stored.empty() && !stored.back().is_known()) stored.push_back(stored.back());
    const auto ratchet = Ratchet::from_stored(std::move(stored));
    if (!ratchet) continue;
    const cord::Bytes file = store::encode_ratchet(*ratchet).value();
    // Written record by record, the file is what the whole store encodes to.
    cord::Bytes whole_file(store::kRatchetMagic.begin(), store::kRatchetMagic.end());
    ASSERT_TRUE(cord::serialize_into(whole_file, store::to_ratchet_store(*ratchet).value()).has_value());
    ASSERT_EQ(file, whole_file);
    const cord::Bytes body(file.begin() + static_cast<std::ptrdiff_t>(store::kRatchetMagic.size()), file.end());
    for (int damage = 0; damage < 24; ++damage) {
      cord::Bytes bytes = body;
      const std::size_t at = random.below(bytes.size());
      switch (random.below(4)) {
        case 0: bytes.resize(at); break;                                      // cut short
        case 1: bytes[at] ^= static_cast<std::uint8_t>(1 + random.below(255)); break;  // one byte changed
        case 2: bytes.push_back(static_cast<std::uint8_t>(random.below(256))); break;  // trailing byte
        default:  // a record's bytes twice, which breaks the set's order
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 1 + random.below(40))));
      }
      const auto whole = cord::deserialize<store::RatchetStore>(bytes);
      const auto streamed = store::load_ratchet_store(bytes);
      ASSERT_EQ(streamed.has_value(), whole.has_value()) << damage;
      if (!whole) {
        ++refused;
        EXPECT_EQ(streamed.error().message(), whole.error().message());
        continue;
      }
      ++still_decoded;
      EXPECT_EQ(*streamed, store::into_ratchet(*whole));
    }
  }
  EXPECT_GT(still_decoded, 100);
  EXPECT_GT(refused, 1000);
}

TEST(RatchetModel, RaisesMergesAndSplicesMatchTheModel) {
  int spliced = 0;
  for (std::uint64_t seed = 1; seed <= 120; ++seed) {
    SCOPED_TRACE(seed);
    Random random(seed);
    Model model;
    model.root = cord::Bytes(32, 0x5a);
    Ratchet ratchet = Ratchet::make(model.root);
    for (int step = 0; step < 10; ++step) {
      const cord::Bytes before = store::encode_ratchet(ratchet).value();
      ASSERT_EQ(before, model.file());
      switch (random.below(3)) {
        case 0: {
          const RatchetUpdate update = random.update(random.below(step == 0 ? 80 : 6));
          // A raise of the format version is left to the full encoding.
          const auto splice = store::encode_raised_ratchet(before, ratchet, update);
          ratchet.apply_update(update);
          model.apply(update);
          if (splice) {
            ++spliced;
            EXPECT_EQ(*splice, model.file());
          }
          break;
        }
        case 1: {  // a batch of records, unordered with repeats
          std::vector<RatchetRecordV1> records;
          for (std::uint64_t i = random.below(40); i > 0; --i) records.push_back(random.record());
          ratchet.absorb_records(records);
          for (const auto& record : records) model.absorb(record);
          break;
        }
        default: {  // another ratchet's records, as a merge of two files does
          const auto other = Ratchet::from_stored(random.list(30 + random.below(30)));
          if (!other) break;
          ratchet.absorb_records(other->to_records());
          for (const auto& record : other->to_records()) model.absorb(record);
        }
      }
      expect_matches(ratchet, model);
    }
    EXPECT_EQ(store::encode_ratchet(ratchet).value(), model.file());
  }
  EXPECT_GT(spliced, 80);
}

// Raises taken back, the last first, leave the ratchet exactly as it was,
// and until then it is what the plain raises make it.
TEST(RatchetModel, RaisesTakenBackLeaveTheRatchetAsItWas) {
  for (std::uint64_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(seed);
    Random random(seed);
    Ratchet ratchet = Ratchet::make(cord::Bytes(32, 0x5a));
    ratchet.apply_update(random.update(random.below(60)));
    if (random.below(3) == 0) ratchet.keep_unknown_record(cord::Bytes{0, 0, 0, 99, 1});
    const Ratchet before = ratchet;
    Ratchet plain = ratchet;
    std::vector<RatchetRaiseUndo> undos;
    for (std::uint64_t raises = 1 + random.below(3); raises > 0; --raises) {
      // Sometimes the ratchet's own state again, which changes nothing.
      const RatchetUpdate update = random.below(4) == 0
                                       ? RatchetUpdate{ratchet.counters(), ratchet.origins(), std::nullopt}
                                       : random.update(random.below(20));
      undos.push_back(ratchet.apply_update_undoably(update));
      plain.apply_update(update);
      EXPECT_EQ(ratchet, plain);
    }
    for (auto it = undos.rbegin(); it != undos.rend(); ++it) ratchet.undo_raise(*it);
    EXPECT_EQ(ratchet, before);
    EXPECT_EQ(store::encode_ratchet(ratchet).value(), store::encode_ratchet(before).value());
  }
}

}  // namespace
