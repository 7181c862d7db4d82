#include "vornex/store/ratchet_splice.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::store {

namespace {

// Magic, the store's variant index, then the record count.
constexpr std::size_t kIndexBytes = 4;
constexpr std::size_t kCountBytes = 4;
constexpr std::size_t kLengthBytes = 4;  // before each record's payload
constexpr std::size_t kHeaderBytes = kRatchetMagic.size() + kIndexBytes + kCountBytes;

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// Where each stored record begins and ends; none unless the bytes are
// exactly a framed file of the first store version.
std::optional<std::vector<std::pair<std::size_t, std::size_t>>> records_of(cord::ByteView file) {
  if (file.size() < kHeaderBytes || !std::equal(kRatchetMagic.begin(), kRatchetMagic.end(), file.begin()) ||
      read_be32(file.data() + kRatchetMagic.size()) != 0) {
    return std::nullopt;
  }
  const std::uint32_t count = read_be32(file.data() + kRatchetMagic.size() + kIndexBytes);
  // Each record takes at least its length prefix: a count beyond that is
  // not believed, and allocates nothing.
  if (count > (file.size() - kHeaderBytes) / kLengthBytes) return std::nullopt;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  ranges.reserve(count);
  std::size_t at = kHeaderBytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (file.size() - at < kLengthBytes) return std::nullopt;
    const std::size_t length = read_be32(file.data() + at);
    if (file.size() - at - kLengthBytes < length) return std::nullopt;
    ranges.emplace_back(at, at + kLengthBytes + length);
    at += kLengthBytes + length;
  }
  if (at != file.size()) return std::nullopt;
  return ranges;
}

// The stored encoding of the record that keeps `key` at `counter`; none for
// a key that has no record.
std::optional<cord::Bytes> stored_record(const core::RecordKey& key, std::uint64_t counter,
                                         const core::KeyOrigin* origin) {
  auto record = core::ratchet_record_for_key(key, counter, origin);
  if (!record) return std::nullopt;
  auto encoded = cord::serialize(cord::Evolving<core::RatchetRecordV1>(std::move(*record)));
  if (!encoded) return std::nullopt;
  return std::move(*encoded);
}

}  // namespace

namespace {

// encode_raised_ratchet, except that a raise that changes no record gives
// `unchanged` and no bytes.
std::optional<cord::Bytes> raise_records(cord::ByteView encoded, const core::Ratchet& ratchet,
                                         const core::RatchetUpdate& update, bool& unchanged) {
  unchanged = false;
  if (update.format_version && *update.format_version > ratchet.format_version()) return std::nullopt;
  auto ranges = records_of(encoded);
  if (!ranges) return std::nullopt;
  const auto record_at = [&](std::size_t i) {
    return cord::ByteView(encoded.data() + (*ranges)[i].first, (*ranges)[i].second - (*ranges)[i].first);
  };
  // The first record whose encoding is not below `bytes`.
  const auto lower = [&](cord::ByteView bytes) {
    std::size_t lo = 0;
    std::size_t hi = ranges->size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (cord::compare_bytes(record_at(mid), bytes) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };

  // Every key the update names, once each, in key order: a walk over its
  // two maps in step.
  std::vector<const core::RecordKey*> keys;
  keys.reserve(update.counters.size() + update.origins.size());
  auto c = update.counters.begin();
  auto o = update.origins.begin();
  while (c != update.counters.end() || o != update.origins.end()) {
    if (o == update.origins.end() || (c != update.counters.end() && c->first < o->first)) {
      keys.push_back(&(c++)->first);
    } else {
      if (c != update.counters.end() && c->first == o->first) ++c;
      keys.push_back(&(o++)->first);
    }
  }
  std::vector<std::size_t> removed;
  std::vector<std::pair<std::size_t, cord::Bytes>> added;  // place among the old records, encoding
  for (const core::RecordKey* named : keys) {
    const core::RecordKey& key = *named;
    const auto old_counter = ratchet.counters().find(key);
    const auto raise = update.counters.find(key);
    // Origins written without a counter are never stored.
    if (old_counter == ratchet.counters().end() && raise == update.counters.end()) continue;
    const auto old_origin = ratchet.origins().find(key);
    const core::KeyOrigin* had = old_origin == ratchet.origins().end() ? nullptr : &old_origin->second;
    const auto given = update.origins.find(key);
    const core::KeyOrigin* origin = had != nullptr ? had : given == update.origins.end() ? nullptr : &given->second;
    std::uint64_t counter = old_counter == ratchet.counters().end() ? 0 : old_counter->second;
    if (raise != update.counters.end()) counter = std::max(counter, raise->second);

    std::optional<cord::Bytes> before;
    if (old_counter != ratchet.counters().end()) before = stored_record(key, old_counter->second, had);
    std::optional<cord::Bytes> after = stored_record(key, counter, origin);
    if (before == after) continue;
    if (before) {
      const std::size_t at = lower(*before);
      // The file must hold the record it is said to encode.
      if (at == ranges->size() || cord::compare_bytes(record_at(at), *before) != 0) return std::nullopt;
      removed.push_back(at);
    }
    if (after) {
      const std::size_t at = lower(*after);
      // Equal to a record that stays: let the full encoding decide.
      if (at != ranges->size() && cord::compare_bytes(record_at(at), *after) == 0 &&
          std::ranges::find(removed, at) == removed.end()) {
        return std::nullopt;
      }
      added.emplace_back(at, std::move(*after));
    }
  }
  if (removed.empty() && added.empty()) {
    unchanged = true;
    return cord::Bytes();
  }
  std::sort(removed.begin(), removed.end());
  std::sort(added.begin(), added.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : cord::compare_bytes(a.second, b.second) < 0;
  });

  const std::size_t count = ranges->size() - removed.size() + added.size();
  if (count > UINT32_MAX) return std::nullopt;
  std::size_t size = encoded.size();
  for (const std::size_t i : removed) size -= (*ranges)[i].second - (*ranges)[i].first;
  for (const auto& [at, bytes] : added) size += bytes.size();
  cord::Bytes out;
  out.reserve(size);
  out.insert(out.end(), encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(kHeaderBytes));
  put_be32(out.data() + kRatchetMagic.size() + kIndexBytes, static_cast<std::uint32_t>(count));
  // Unchanged records are copied in runs between the places that change.
  std::size_t next_removed = 0;
  std::size_t next_added = 0;
  std::size_t copied_to = kHeaderBytes;
  const auto copy_until = [&](std::size_t offset) {
    out.insert(out.end(), encoded.begin() + static_cast<std::ptrdiff_t>(copied_to),
               encoded.begin() + static_cast<std::ptrdiff_t>(offset));
    copied_to = offset;
  };
  for (std::size_t i = 0; i <= ranges->size(); ++i) {
    const std::size_t offset = i < ranges->size() ? (*ranges)[i].first : encoded.size();
    if (next_added < added.size() && added[next_added].first == i) {
      copy_until(offset);
      for (; next_added < added.size() && added[next_added].first == i; ++next_added) {
        out.insert(out.end(), added[next_added].second.begin(), added[next_added].second.end());
      }
    }
    if (next_removed < removed.size() && removed[next_removed] == i) {
      copy_until(offset);
      copied_to = (*ranges)[i].second;
      ++next_removed;
    }
  }
  copy_until(encoded.size());
  return out;
}

}  // namespace

std::optional<cord::Bytes> encode_raised_ratchet(cord::ByteView encoded, const core::Ratchet& ratchet,
                                                 const core::RatchetUpdate& update) {
  bool unchanged = false;
  auto raised = raise_records(encoded, ratchet, update, unchanged);
  if (unchanged) return cord::Bytes(encoded.begin(), encoded.end());
  return raised;
}

std::shared_ptr<const cord::Bytes> raise_ratchet_bytes(const std::shared_ptr<const cord::Bytes>& encoded,
                                                       const core::Ratchet& ratchet,
                                                       const core::RatchetUpdate& update) {
  bool unchanged = false;
  auto raised = raise_records(*encoded, ratchet, update, unchanged);
  if (unchanged) return encoded;
  if (!raised) return nullptr;
  return std::make_shared<const cord::Bytes>(std::move(*raised));
}

}  // namespace vornex::store
