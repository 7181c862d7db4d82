// A versioned record enum behind a payload length prefix, so that a record
// of a kind this build does not know is kept as its exact bytes and written
// back unchanged: signatures and record hashes survive across versions.
#pragma once

#include <variant>

#include "cord/codec.hpp"

namespace cord {

template <class T, Width W = Width::Four>
class BasicEvolving {
 public:
  // The payload of a record whose variant this build does not know, without
  // its length prefix.
  struct Unknown {
    Bytes payload;
    bool operator==(const Unknown&) const = default;
  };

  BasicEvolving() = default;
  BasicEvolving(T known) : value_(std::move(known)) {}  // NOLINT: a record is its evolving form
  static BasicEvolving unknown(Bytes payload) {
    BasicEvolving e;
    e.value_ = Unknown{std::move(payload)};
    return e;
  }

  bool is_known() const { return value_.index() == 0; }
  const T* known() const { return std::get_if<T>(&value_); }
  T* known() { return std::get_if<T>(&value_); }
  const Bytes* unknown_payload() const {
    const Unknown* u = std::get_if<Unknown>(&value_);
    return u == nullptr ? nullptr : &u->payload;
  }
  Bytes* unknown_payload() {
    Unknown* u = std::get_if<Unknown>(&value_);
    return u == nullptr ? nullptr : &u->payload;
  }

  // A known record never equals an unknown one, even with the same bytes.
  bool operator==(const BasicEvolving&) const = default;

  Status cord_encode(Serializer& s, Hint hint) const {
    if (hint != Hint::None) return fail(ErrorKind::ConflictingHints);
    Bytes& out = s.out();
    const std::size_t mark = out.size();
    const std::size_t prefix = width_bytes(W);
    // The payload is written in place behind a placeholder prefix, which is
    // filled in once the payload's length is known.
    out.resize(mark + prefix);
    if (const T* value = known()) {
      Serializer inner(out, s.max_length());
      if (auto st = encode(inner, *value); !st) {
        out.resize(mark);
        return st;
      }
    } else {
      s.write_raw(*unknown_payload());
    }
    const std::uint64_t length = out.size() - mark - prefix;
    if (length > s.max_length()) {
      out.resize(mark);
      return fail(CordError::length_limit(length, s.max_length()));
    }
    Bytes length_bytes;
    if (auto st = wire::write_length(length_bytes, length, W); !st) {
      out.resize(mark);
      return st;
    }
    std::copy(length_bytes.begin(), length_bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(mark));
    return {};
  }

  Status cord_decode(Deserializer& d, Hint hint) {
    if (hint != Hint::None) return fail(CordError::validation(kConflictingSentinels));
    VX_TRY_ASSIGN(const std::uint64_t length, d.read_length(W));
    VX_TRY_ASSIGN(const ByteView payload, d.read_bytes(static_cast<std::size_t>(length)));
    // Each payload is read by a fresh decoder with its own depth budget.
    Deserializer inner(payload, d.limits());
    inner.set_lender(d.lender());
    T value{};
    if (auto st = decode(inner, value); !st) {
      if (st.error().kind() != ErrorKind::UnknownVariant) return fail(CordError::deserialization_from(st.error()));
      value_ = Unknown{Bytes(payload.begin(), payload.end())};
      return {};
    }
    if (inner.remaining() != 0) return fail(CordError::deserialization("trailing bytes in evolving payload"));
    value_ = std::move(value);
    return {};
  }

 private:
  std::variant<T, Unknown> value_;
};

template <class T>
using Evolving = BasicEvolving<T, Width::Four>;

}  // namespace cord
