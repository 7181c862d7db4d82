// Generic encoding and decoding of typed values.
//
// A type describes its wire form in one of these ways:
//   - CORD_FIELDS(a, b, c): a struct; its fields in declaration order.
//   - CORD_TRANSPARENT(m): a plain newtype; exactly the encoding of m.
//   - CORD_UNIT: a unit variant of an enum (nothing follows the index).
//   - cord_encode / cord_decode members: a wire form of its own (sets,
//     evolving records, width wrappers).
// Standard types map as: uint8/32/64 -> fixed-width integers, std::string ->
// text, Bytes and InlineBytes -> byte string, std::vector -> sequence, std::optional ->
// option, std::variant -> enum (alternative order is the variant index),
// std::array -> tuple.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "cord/de.hpp"
#include "cord/error.hpp"
#include "cord/inline_bytes.hpp"
#include "cord/ser.hpp"
#include "cord/try.hpp"
#include "cord/wire.hpp"

#define CORD_FIELDS(...)                                        \
  auto cord_fields() { return std::tie(__VA_ARGS__); }          \
  auto cord_fields() const { return std::tie(__VA_ARGS__); }

#define CORD_TRANSPARENT(member)                      \
  auto& cord_inner() { return member; }               \
  const auto& cord_inner() const { return member; }

#define CORD_UNIT static constexpr bool cord_unit = true;

namespace cord {

// No announced count may make the decoder reserve more than this much
// element storage ahead of the elements actually read, unless the bytes
// left could hold that many elements (reserve_for).
inline constexpr std::size_t kReserveCap = 1'048'576;

template <class T>
concept HasCustomCodec = requires(const T& c, T& m, Serializer& s, Deserializer& d, Hint h) {
  { c.cord_encode(s, h) } -> std::same_as<Status>;
  { m.cord_decode(d, h) } -> std::same_as<Status>;
};
template <class T>
concept HasFields = requires(T& t) { t.cord_fields(); };
template <class T>
concept IsTransparent = requires(T& t) { t.cord_inner(); };
template <class T>
concept IsUnit = requires { T::cord_unit; } || std::is_same_v<T, std::monostate>;

namespace detail {
template <class T> struct is_vector : std::false_type {};
template <class T, class A> struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T> struct is_optional : std::false_type {};
template <class T> struct is_optional<std::optional<T>> : std::true_type {};
template <class T> struct is_variant : std::false_type {};
template <class... T> struct is_variant<std::variant<T...>> : std::true_type {};
template <class T> struct is_array : std::false_type {};
template <class T, std::size_t N> struct is_array<std::array<T, N>> : std::true_type {};
template <class> inline constexpr bool dependent_false = false;
}  // namespace detail

// The types written as a byte string.
template <class T>
concept IsByteString = std::is_same_v<T, Bytes> || std::is_same_v<T, InlineBytes>;

// The fewest bytes the encoding of a T can take when read without a hint,
// as a sequence's elements are: 0 where that is not known (a wire form of
// its own, a unit).
template <class T>
constexpr std::size_t min_encoded_size();

namespace detail {
template <class Fields>
struct fields_min_size;
template <class... F>
struct fields_min_size<std::tuple<F...>> {
  static constexpr std::size_t value = (std::size_t{0} + ... + min_encoded_size<std::remove_cvref_t<F>>());
};
}  // namespace detail

template <class T>
constexpr std::size_t min_encoded_size() {
  constexpr std::size_t prefix = width_bytes(width_of(Hint::None));
  if constexpr (HasCustomCodec<T>) {
    return 0;
  } else if constexpr (HasFields<T>) {
    return detail::fields_min_size<decltype(std::declval<T&>().cord_fields())>::value;
  } else if constexpr (IsTransparent<T>) {
    return min_encoded_size<std::remove_cvref_t<decltype(std::declval<T&>().cord_inner())>>();
  } else if constexpr (IsUnit<T>) {
    return 0;
  } else if constexpr (std::is_same_v<T, std::uint8_t> || detail::is_optional<T>::value) {
    return 1;
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return 4;
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return 8;
  } else if constexpr (std::is_same_v<T, std::string> || IsByteString<T> || detail::is_vector<T>::value ||
                       detail::is_variant<T>::value) {
    return prefix;
  } else if constexpr (detail::is_array<T>::value) {
    return std::tuple_size_v<T> * min_encoded_size<typename T::value_type>();
  } else {
    return 0;
  }
}

// At most this many bytes of element storage per byte of input may be
// reserved on the word of a count that the input could back.
inline constexpr std::size_t kReservePerInputByte = 16;

// How many elements to reserve for an announced count: all of them when
// the bytes left could hold that many, so that a long sequence is never
// moved to grow nor left with room for as many again; else no more than
// kReserveCap, since elements that cannot all be there may not come.
template <class T>
constexpr std::size_t reserve_for(std::uint64_t count, std::size_t remaining = 0) {
  constexpr std::size_t least = min_encoded_size<T>();
  if constexpr (least > 0 && sizeof(T) <= kReservePerInputByte * least) {
    if (count <= remaining / least) return static_cast<std::size_t>(count);
  }
  constexpr std::size_t cap = kReserveCap / sizeof(T) == 0 ? 1 : kReserveCap / sizeof(T);
  return count < cap ? static_cast<std::size_t>(count) : cap;
}

template <class T>
Status encode(Serializer& s, const T& value, Hint hint = Hint::None);
template <class T>
Status decode(Deserializer& d, T& out, Hint hint = Hint::None);

namespace detail {

template <class Tuple>
Status encode_fields(Serializer& s, const Tuple& fields) {
  Status st;
  std::apply([&](const auto&... f) { (void)(step_ok(st, [&] { return encode(s, f); }) && ...); }, fields);
  return st;
}

template <class Tuple>
Status decode_fields(Deserializer& d, Tuple&& fields) {
  Status st;
  std::apply([&](auto&... f) { (void)(step_ok(st, [&] { return decode(d, f); }) && ...); }, fields);
  return st;
}

template <class V, std::size_t... I>
Status decode_alternative(Deserializer& d, V& out, std::size_t index, std::index_sequence<I...>) {
  Status st;
  (void)((index == I && (step_ok(st, [&] { return decode(d, out.template emplace<I>()); }), true)) || ...);
  return st;
}

}  // namespace detail

template <class T>
Status encode(Serializer& s, const T& value, Hint hint) {
  if constexpr (HasCustomCodec<T>) {
    return value.cord_encode(s, hint);
  } else if constexpr (HasFields<T>) {
    return detail::encode_fields(s, value.cord_fields());  // a struct drops the hint
  } else if constexpr (IsTransparent<T>) {
    return encode(s, value.cord_inner(), hint);
  } else if constexpr (IsUnit<T>) {
    return {};
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    s.write_u8(value);
    return {};
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    s.write_u32(value);
    return {};
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    s.write_u64(value);
    return {};
  } else if constexpr (std::is_same_v<T, std::string>) {
    return s.write_str(value, hint);
  } else if constexpr (IsByteString<T>) {
    VX_TRY(s.write_length(value.size(), hint));
    s.write_raw(value);
    return {};
  } else if constexpr (detail::is_vector<T>::value) {
    VX_TRY(s.write_length(value.size(), hint));
    for (const auto& element : value) VX_TRY(encode(s, element));
    return {};
  } else if constexpr (detail::is_optional<T>::value) {
    if (!value) {
      s.write_u8(0);
      return {};
    }
    s.write_u8(1);
    return encode(s, *value, hint);
  } else if constexpr (detail::is_variant<T>::value) {
    VX_TRY(s.write_variant_index(static_cast<std::uint32_t>(value.index()), hint));
    return std::visit([&](const auto& payload) { return encode(s, payload); }, value);
  } else if constexpr (detail::is_array<T>::value) {
    for (const auto& element : value) VX_TRY(encode(s, element));
    return {};
  } else {
    static_assert(detail::dependent_false<T>, "type has no Cord wire form");
  }
}

template <class T>
Status decode(Deserializer& d, T& out, Hint hint) {
  if constexpr (HasCustomCodec<T>) {
    return out.cord_decode(d, hint);
  } else if constexpr (HasFields<T>) {
    VX_TRY(d.enter());
    VX_TRY(detail::decode_fields(d, out.cord_fields()));
    d.leave();
    return {};
  } else if constexpr (IsTransparent<T>) {
    return decode(d, out.cord_inner(), hint);
  } else if constexpr (IsUnit<T>) {
    return {};
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    VX_TRY_ASSIGN(out, d.next());
    return {};
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    VX_TRY_ASSIGN(out, d.read_u32());
    return {};
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    VX_TRY_ASSIGN(out, d.read_u64());
    return {};
  } else if constexpr (std::is_same_v<T, std::string>) {
    VX_TRY_ASSIGN(const std::string_view text, d.parse_string(hint));
    out.assign(text);
    return {};
  } else if constexpr (IsByteString<T>) {
    VX_TRY(d.enter());
    VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(hint));
    // A count beyond the input ends at the input's end either way; failing
    // here reserves nothing for it.
    if (count > d.remaining()) return fail(ErrorKind::UnexpectedEof);
    VX_TRY_ASSIGN(const ByteView bytes, d.read_bytes(static_cast<std::size_t>(count)));
    if constexpr (std::is_same_v<T, Bytes>) {
      out.assign(bytes.begin(), bytes.end());
    } else {
      out.assign(bytes);
    }
    d.leave();
    return {};
  } else if constexpr (detail::is_vector<T>::value) {
    using Element = typename T::value_type;
    VX_TRY(d.enter());
    VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(hint));
    out.clear();
    out.reserve(reserve_for<Element>(count, d.remaining()));
    for (std::uint64_t i = 0; i < count; ++i) VX_TRY(decode(d, out.emplace_back()));
    d.leave();
    return {};
  } else if constexpr (detail::is_optional<T>::value) {
    VX_TRY_ASSIGN(const std::uint8_t tag, d.next());
    if (tag == 0) {
      out.reset();
      return {};
    }
    if (tag != 1) return fail(CordError::validation("Invalid option variant"));
    VX_TRY(d.enter());
    VX_TRY(decode(d, out.emplace(), hint));  // the tag leaves the hint to the value
    d.leave();
    return {};
  } else if constexpr (detail::is_variant<T>::value) {
    constexpr std::size_t kCount = std::variant_size_v<T>;
    VX_TRY(d.enter());
    VX_TRY_ASSIGN(const std::uint32_t index, d.parse_variant_index(hint));
    if (index >= kCount) return fail(CordError::unknown_variant(index));
    VX_TRY(detail::decode_alternative(d, out, index, std::make_index_sequence<kCount>{}));
    d.leave();
    return {};
  } else if constexpr (detail::is_array<T>::value) {
    VX_TRY(d.enter());
    for (auto& element : out) VX_TRY(decode(d, element));
    d.leave();
    return {};
  } else {
    static_assert(detail::dependent_false<T>, "type has no Cord wire form");
  }
}

// Appends the encoding of `value` to `out`; on failure `out` is left as it
// was. Lengths above `limits.max_length` are refused: a reader with the same
// limits could not decode them.
template <class T>
Status serialize_into(Bytes& out, const T& value, const Limits& limits = {}) {
  const std::size_t mark = out.size();
  Serializer s(out, limits.max_length);
  auto st = encode(s, value);
  if (!st) out.resize(mark);
  return st;
}

// The one canonical encoding of `value`.
template <class T>
Result<Bytes> serialize(const T& value, const Limits& limits = {}) {
  Bytes out;
  out.reserve(64);
  VX_TRY(serialize_into(out, value, limits));
  return out;
}

// Decodes one whole value; bytes left over are an error.
template <class T>
Result<T> deserialize(ByteView input, const Limits& limits = {}) {
  Deserializer d(input, limits);
  T value{};
  VX_TRY(decode(d, value));
  if (d.remaining() != 0) return fail(ErrorKind::TrailingBytes);
  return value;
}

}  // namespace cord
