#include "vornex/core/payload.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <tuple>
#include <type_traits>

#include "cord/skip.hpp"

#include "vornex/core/secret.hpp"

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

// The bytes were accepted once already; no limit of a first reading applies.
constexpr cord::Limits kWalkLimits{.max_length = std::numeric_limits<std::uint64_t>::max(),
                                   .max_depth = std::numeric_limits<std::uint32_t>::max()};

// Payloads rarely have more readers than this; the duplicate check then
// needs no allocation at all.
constexpr std::size_t kInlineRecipients = 16;

}  // namespace

cord::Result<RecipientWalk> RecipientWalk::over(const StoredPayloadV1& payload) {
  cord::Deserializer d(payload.bytes(), kWalkLimits);
  VX_TRY(d.enter());
  VX_TRY(cord::skip<cord::Bytes>(d));  // nonce
  VX_TRY(cord::skip<cord::Bytes>(d));  // ciphertext
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(cord::Hint::None));
  return RecipientWalk(d, count);
}

cord::Result<cord::ByteView> RecipientWalk::next() {
  VX_TRY(d_.enter());
  VX_TRY_ASSIGN(const cord::ByteView recipient, cord::read_byte_string(d_));
  VX_TRY(cord::skip<cord::Bytes>(d_));  // encapsulated key
  VX_TRY(cord::skip<cord::Bytes>(d_));  // wrapped key
  d_.leave();
  --remaining_;
  return recipient;
}

cord::Result<bool> has_duplicate_recipient(const StoredPayloadV1& payload) {
  VX_TRY_ASSIGN(RecipientWalk walk, RecipientWalk::over(payload));
  std::array<cord::ByteView, kInlineRecipients> inline_views;
  std::vector<cord::ByteView> more;
  std::span<cord::ByteView> views;
  if (walk.remaining() <= kInlineRecipients) {
    views = std::span(inline_views.data(), static_cast<std::size_t>(walk.remaining()));
    for (cord::ByteView& view : views) {
      VX_TRY_ASSIGN(view, walk.next());
    }
  } else {
    // Every slot takes bytes of the payload, so its size bounds the count.
    more.reserve(std::min<std::uint64_t>(walk.remaining(), payload.bytes().size()));
    while (walk.remaining() != 0) {
      VX_TRY_ASSIGN(more.emplace_back(), walk.next());
    }
    views = more;
  }
  std::ranges::sort(views, [](cord::ByteView x, cord::ByteView y) { return std::ranges::lexicographical_compare(x, y); });
  const auto same = [](cord::ByteView x, cord::ByteView y) { return std::ranges::equal(x, y); };
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
