// Walking past an encoded value without building it. `skip<T>` takes the
// same steps as `decode<T>` (nesting levels, length and limit checks, width
// hints) and fails with the same error at the same byte, but allocates
// nothing, so a caller can keep a value as the span of input it occupies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cord/codec.hpp"

namespace cord {

// A byte string read in place: the view borrows the decoder's input.
inline Result<ByteView> read_byte_string(Deserializer& d, Hint hint = Hint::None) {
  VX_TRY(d.enter());
  VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(hint));
  if (count > d.remaining()) return fail(ErrorKind::UnexpectedEof);
  VX_TRY_ASSIGN(const ByteView bytes, d.read_bytes(static_cast<std::size_t>(count)));
  d.leave();
  return bytes;
}

template <class T>
Status skip(Deserializer& d, Hint hint = Hint::None);

namespace detail {

template <class T>
using fields_of = decltype(std::declval<T&>().cord_fields());

template <class Tuple, std::size_t... I>
Status skip_fields(Deserializer& d, std::index_sequence<I...>) {
  Status st;
  (void)(step_ok(st, [&] { return skip<std::remove_cvref_t<std::tuple_element_t<I, Tuple>>>(d); }) && ...);
  return st;
}

}  // namespace detail

// Only shapes whose every value takes at least one byte are walked, so an
// announced count can never outrun the bytes that follow it.
template <class T>
Status skip(Deserializer& d, Hint hint) {
  if constexpr (HasCustomCodec<T>) {
    static_assert(detail::dependent_false<T>, "skip does not walk types with a wire form of their own");
  } else if constexpr (HasFields<T>) {
    using Fields = detail::fields_of<T>;
    static_assert(std::tuple_size_v<Fields> > 0, "skip does not walk empty structs");
    VX_TRY(d.enter());
    VX_TRY(detail::skip_fields<Fields>(d, std::make_index_sequence<std::tuple_size_v<Fields>>{}));
    d.leave();
    return {};
  } else if constexpr (IsTransparent<T>) {
    return skip<std::remove_cvref_t<decltype(std::declval<T&>().cord_inner())>>(d, hint);
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    VX_TRY(d.next());
    return {};
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    VX_TRY(d.read_u32());
    return {};
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    VX_TRY(d.read_u64());
    return {};
  } else if constexpr (std::is_same_v<T, std::string>) {
    VX_TRY(d.parse_string(hint));
    return {};
  } else if constexpr (IsByteString<T>) {
    VX_TRY(read_byte_string(d, hint));
    return {};
  } else if constexpr (detail::is_vector<T>::value) {
    VX_TRY(d.enter());
    VX_TRY_ASSIGN(const std::uint64_t count, d.parse_length(hint));
    for (std::uint64_t i = 0; i < count; ++i) VX_TRY(skip<typename T::value_type>(d));
    d.leave();
    return {};
  } else if constexpr (detail::is_optional<T>::value) {
    VX_TRY_ASSIGN(const std::uint8_t tag, d.next());
    if (tag == 0) return {};
    if (tag != 1) return fail(CordError::validation("Invalid option variant"));
    VX_TRY(d.enter());
    VX_TRY(skip<typename T::value_type>(d, hint));
    d.leave();
    return {};
  } else {
    static_assert(detail::dependent_false<T>, "skip does not walk this shape");
  }
}

}  // namespace cord
