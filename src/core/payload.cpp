#include "vornex/core/payload.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "vornex/core/secret.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core {

namespace {

// Overwrites the bytes in place; what replaces them then reuses or frees a
// buffer that holds nothing any more.
void wipe(cord::Bytes& bytes) noexcept { secure_wipe(bytes.data(), bytes.size()); }

// The walk below reads these layouts field by field.
static_assert(std::is_same_v<cord::detail::fields_of<SealedPayloadV1>,
                             std::tuple<cord::Bytes&, cord::Bytes&, std::vector<RecipientSlotV1>&>>);
static_assert(std::is_same_v<cord::detail::fields_of<RecipientSlotV1>,
                             std::tuple<cord::Bytes&, cord::Bytes&, cord::Bytes&>>);

// Prefixes of fields that carry no width hint, as every field here.
constexpr std::size_t kPrefixBytes = cord::width_bytes(cord::width_of(cord::Hint::None));

// Payloads rarely have more readers than this; the duplicate check then
// needs no allocation and no sort.
constexpr std::size_t kInlineRecipients = 16;

// The walk reads bytes a decoder accepted or the encoder wrote, so it checks
// only that every read stays inside them: limits were applied when they
// were first read.
bool take_prefix(cord::ByteView& rest, std::uint64_t& value) {
  if (rest.size() < kPrefixBytes) return false;
  value = 0;
  for (std::size_t i = 0; i < kPrefixBytes; ++i) value = (value << 8) | rest[i];
  rest = rest.subspan(kPrefixBytes);
  return true;
}

bool take_byte_string(cord::ByteView& rest, cord::ByteView& out) {
  std::uint64_t length = 0;
  if (!take_prefix(rest, length) || length > rest.size()) return false;
  out = rest.first(static_cast<std::size_t>(length));
  rest = rest.subspan(static_cast<std::size_t>(length));
  return true;
}

}  // namespace

cord::Result<RecipientWalk> RecipientWalk::over(const StoredPayloadV1& payload) {
  cord::ByteView rest = payload.bytes();
  cord::ByteView nonce;
  cord::ByteView ciphertext;
  std::uint64_t count = 0;
  if (!take_byte_string(rest, nonce) || !take_byte_string(rest, ciphertext) || !take_prefix(rest, count)) {
    return cord::fail(cord::ErrorKind::UnexpectedEof);
  }
  return RecipientWalk(rest, count);
}

cord::Result<cord::ByteView> RecipientWalk::next() {
  cord::ByteView recipient;
  cord::ByteView encapsulated_key;
  cord::ByteView wrapped_key;
  if (remaining_ == 0 || !take_byte_string(rest_, recipient) || !take_byte_string(rest_, encapsulated_key) ||
      !take_byte_string(rest_, wrapped_key)) {
    return cord::fail(cord::ErrorKind::UnexpectedEof);
  }
  --remaining_;
  return recipient;
}

cord::Result<bool> has_duplicate_recipient(const StoredPayloadV1& payload) {
  VX_TRY_ASSIGN(RecipientWalk walk, RecipientWalk::over(payload));
  const auto same = [](cord::ByteView x, cord::ByteView y) { return std::ranges::equal(x, y); };
  if (walk.remaining() <= kInlineRecipients) {
    // So few that comparing every pair costs less than sorting.
    std::array<cord::ByteView, kInlineRecipients> seen;
    for (std::size_t i = 0; walk.remaining() != 0; ++i) {
      count_work(1 + i);  // the slot read, then compared with each before it
      VX_TRY_ASSIGN(seen[i], walk.next());
      if (std::ranges::any_of(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(i),
                              [&](cord::ByteView earlier) { return same(earlier, seen[i]); })) {
        return true;
      }
    }
    return false;
  }
  // Every slot takes bytes of the payload, so its size bounds the count.
  std::vector<cord::ByteView> views;
  views.reserve(std::min<std::uint64_t>(walk.remaining(), payload.bytes().size()));
  while (walk.remaining() != 0) {
    VX_TRY_ASSIGN(views.emplace_back(), walk.next());
  }
  // Each slot read, sorted (its logarithm of comparisons) and compared
  // with its neighbour.
  count_work(views.size() * (2 + static_cast<std::uint64_t>(std::bit_width(views.size()))));
  std::ranges::sort(views, [](cord::ByteView x, cord::ByteView y) { return cord::compare_bytes(x, y) < 0; });
  return std::ranges::adjacent_find(views, same) != views.end();
}

cord::Result<bool> has_recipient(const StoredPayloadV1& payload, cord::ByteView reader) {
  VX_TRY_ASSIGN(RecipientWalk walk, RecipientWalk::over(payload));
  while (walk.remaining() != 0) {
    VX_TRY_ASSIGN(const cord::ByteView recipient, walk.next());
    if (std::ranges::equal(recipient, reader)) return true;
  }
  return false;
}

SecretFieldEntryV1& SecretFieldEntryV1::operator=(const SecretFieldEntryV1& other) {
  if (this != &other) {
    wipe(value);
    name = other.name;
    value = other.value;
  }
  return *this;
}

SecretFieldEntryV1& SecretFieldEntryV1::operator=(SecretFieldEntryV1&& other) noexcept {
  if (this != &other) {
    wipe(value);
    name = std::move(other.name);
    value = std::move(other.value);
  }
  return *this;
}

SecretFieldEntryV1::~SecretFieldEntryV1() { wipe(value); }

SecretValueV1& SecretValueV1::operator=(const SecretValueV1& other) {
  if (this != &other) {
    wipe(primary);
    primary = other.primary;
    fields = other.fields;  // each replaced entry wipes itself
  }
  return *this;
}

SecretValueV1& SecretValueV1::operator=(SecretValueV1&& other) noexcept {
  if (this != &other) {
    wipe(primary);
    primary = std::move(other.primary);
    fields = std::move(other.fields);
  }
  return *this;
}

SecretValueV1::~SecretValueV1() { wipe(primary); }

}  // namespace vornex::core
