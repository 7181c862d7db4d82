// Special newtypes of the format: width hints and the fixed 16-byte value.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "cord/codec.hpp"

namespace cord {

// A value whose first prefix is written in the width that H selects
// ("__cord_varint", "__cord_width8", "__cord_width16", "__cord_width64").
template <Hint H, class T>
struct Hinted {
  T value{};

  bool operator==(const Hinted&) const = default;

  Status cord_encode(Serializer& s, Hint pending) const {
    if (pending != Hint::None) return fail(ErrorKind::ConflictingHints);
    return encode(s, value, H);
  }
  Status cord_decode(Deserializer& d, Hint pending) {
    if (pending != Hint::None) return fail(CordError::validation(kConflictingSentinels));
    return decode(d, value, H);
  }
};

template <class T> using Varint = Hinted<Hint::Varint, T>;
template <class T> using Width8 = Hinted<Hint::Width8, T>;
template <class T> using Width16 = Hinted<Hint::Width16, T>;
template <class T> using Width64 = Hinted<Hint::Width64, T>;

inline constexpr std::size_t kUuidSize = 16;
using UuidBytes = std::array<std::uint8_t, kUuidSize>;

// "__cord_uuid": encodes as the wrapped value (16 bytes, no prefix, for
// UuidBytes); decodes exactly 16 bytes, which only a byte array can take.
template <class T = UuidBytes>
struct Uuid {
  T value{};

  bool operator==(const Uuid&) const = default;

  Status cord_encode(Serializer& s, Hint pending) const { return encode(s, value, pending); }
  Status cord_decode(Deserializer& d, Hint) {
    VX_TRY_ASSIGN(const ByteView raw, d.read_bytes(kUuidSize));
    if constexpr (std::is_same_v<T, UuidBytes>) {
      std::copy(raw.begin(), raw.end(), value.begin());
      return {};
    } else {
      return fail(CordError::validation("FixedBytesDeserializer only supports deserialize_bytes"));
    }
  }
};

}  // namespace cord
