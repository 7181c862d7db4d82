// A value kept as its one canonical encoding, in a single byte buffer, for
// values that are stored and passed along far more often than they are read:
// decoding one walks its bytes and keeps them, building nothing. Decoded
// from a buffer the caller shares, it borrows them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>

#include "cord/codec.hpp"
#include "cord/skip.hpp"

namespace cord {

template <class T>
class Encoded {
  // A struct takes no width hint, so keeping its bytes loses none.
  static_assert(HasFields<T>, "Encoded keeps structs");

 public:
  // The encoding of T{}, shared by every default value, so that values made
  // only to be decoded into allocate nothing of their own.
  Encoded() = default;

  // Implicit: wherever a T was kept, its encoding can be. A value whose
  // encoding fails keeps the error, and encoding it gives that error.
  Encoded(const T& value) {  // NOLINT(google-explicit-constructor)
    Bytes bytes;
    Serializer s(bytes, kUnbounded.max_length);
    if (auto st = encode(s, value); !st) {
      error_ = std::make_shared<const CordError>(std::move(st).error());
      return;
    }
    bytes.shrink_to_fit();
    own(std::move(bytes));
  }

  // The encoding; empty only for a value that could not be encoded.
  ByteView bytes() const {
    if (buffer_ != nullptr) return view_;
    if (error_ == nullptr && default_encoding()) return *default_encoding();
    return {};
  }

  // Where the encoding lies in `buffer`, when it is borrowed from it.
  std::optional<std::size_t> offset_in(const Bytes& buffer) const noexcept {
    if (buffer_.get() != &buffer) return std::nullopt;
    return static_cast<std::size_t>(view_.data() - buffer.data());
  }

  // Borrows the encoding from `buffer` at `offset` instead, when the bytes
  // there are this encoding; else keeps it as it is. True when it moved.
  // Allocates nothing.
  bool rehome(const std::shared_ptr<const Bytes>& buffer, std::size_t offset) noexcept {
    // A value without a buffer is T{} or an error: nothing to move.
    if (buffer_ == nullptr || buffer == nullptr) return false;
    const ByteView encoding = view_;
    if (offset > buffer->size() || buffer->size() - offset < encoding.size()) return false;
    const ByteView there(buffer->data() + offset, encoding.size());
    if (!std::ranges::equal(there, encoding)) return false;
    buffer_ = buffer;
    view_ = there;
    return true;
  }

  // The value itself, built anew from the encoding.
  Result<T> decoded() const {
    if (const CordError* e = error()) return fail(*e);
    return deserialize<T>(bytes(), kUnbounded);
  }

  Status cord_encode(Serializer& s, Hint) const {
    if (const CordError* e = error()) return fail(*e);
    const ByteView encoding = bytes();
    // Every element of a walkable type takes a byte, so no length inside can
    // exceed the whole; only a longer whole needs the walk that finds the
    // first length the encoder would have refused.
    if (encoding.size() > s.max_length()) {
      Deserializer d(encoding, Limits{.max_length = s.max_length(), .max_depth = kUnbounded.max_depth});
      VX_TRY(skip<T>(d));
    }
    s.write_raw(encoding);
    return {};
  }

  Status cord_decode(Deserializer& d, Hint hint) {
    const std::uint8_t* begin = d.data();
    VX_TRY(skip<T>(d, hint));
    const ByteView encoding(begin, static_cast<std::size_t>(d.data() - begin));
    error_.reset();
    // Bytes of a buffer the caller shares are borrowed, keeping it alive.
    const std::shared_ptr<const Bytes>* lender = d.lender();
    if (lender != nullptr && *lender != nullptr && lends(**lender, encoding)) {
      buffer_ = *lender;
      view_ = encoding;
    } else {
      own(Bytes(encoding.begin(), encoding.end()));
    }
    return {};
  }

  // The decoder accepts one encoding of each value, so equal bytes are equal
  // values. A value that could not be encoded equals only its own copies.
  friend bool operator==(const Encoded& a, const Encoded& b) {
    const CordError* ea = a.error();
    const CordError* eb = b.error();
    if (ea != nullptr || eb != nullptr) return ea == eb;
    return std::ranges::equal(a.bytes(), b.bytes());
  }

 private:
  // Bytes already accepted once, or written by the encoder, are read back
  // whatever limits they were first read under.
  static constexpr Limits kUnbounded{.max_length = std::numeric_limits<std::uint64_t>::max(),
                                     .max_depth = std::numeric_limits<std::uint32_t>::max()};

  // Never destroyed, and made as the library loads, as Boxed's empty value.
  static inline const Result<Bytes>& kDefaultEncoding = *new Result<Bytes>(serialize(T{}, kUnbounded));
  static const Result<Bytes>& default_encoding() { return kDefaultEncoding; }

  const CordError* error() const {
    if (error_ != nullptr) return error_.get();
    if (buffer_ == nullptr && !default_encoding()) return &default_encoding().error();
    return nullptr;
  }

  static bool lends(const Bytes& buffer, ByteView part) {
    const std::uint8_t* first = buffer.data();
    return !part.empty() && std::less_equal<>()(first, part.data()) &&
           std::less_equal<>()(part.data() + part.size(), first + buffer.size());
  }

  void own(Bytes bytes) {
    buffer_ = std::make_shared<const Bytes>(std::move(bytes));
    view_ = *buffer_;
  }

  // The encoding is `view_`, inside `buffer_`: a buffer of its own, or one
  // it borrows from, such as the file it was read from. Copies share it.
  // No buffer: the encoding of T{}, or the error.
  std::shared_ptr<const Bytes> buffer_;
  ByteView view_;
  std::shared_ptr<const CordError> error_;
};

namespace detail {
template <class T> struct is_encoded : std::false_type {};
template <class T> struct is_encoded<Encoded<T>> : std::true_type {};
}  // namespace detail

}  // namespace cord
