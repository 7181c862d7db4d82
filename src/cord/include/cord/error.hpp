// The one error type of the Cord encoder and decoder, and the result aliases
// every fallible Cord call returns.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace cord {

// Declaration order is the error's variant number; keep it.
enum class ErrorKind : std::uint8_t {
  Io,
  Unsupported,
  Validation,
  Serialization,
  Deserialization,
  Schema,
  DepthLimitExceeded,
  LengthLimitExceeded,
  UnknownVariant,
  DuplicateKey,
  DuplicateElement,
  TrailingBytes,
  UnexpectedEof,
  InvalidBool,
  InvalidVarint,
  InvalidUtf8,
  NotNfc,
  NanNotAllowed,
  NegativeZero,
  ConflictingHints,
  WidthOverflow,
};

class CordError {
 public:
  // Kinds that carry nothing.
  explicit CordError(ErrorKind kind) : kind_(kind) {}

  static CordError io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  static CordError unsupported(std::string_view text) { return {ErrorKind::Unsupported, std::string(text)}; }
  static CordError validation(std::string_view text) { return {ErrorKind::Validation, std::string(text)}; }
  static CordError serialization(std::string text) { return {ErrorKind::Serialization, std::move(text)}; }
  static CordError deserialization(std::string text) { return {ErrorKind::Deserialization, std::move(text)}; }
  static CordError schema(std::string text) { return {ErrorKind::Schema, std::move(text)}; }
  static CordError length_limit(std::uint64_t len, std::uint64_t max) {
    return {ErrorKind::LengthLimitExceeded, {}, len, max};
  }
  static CordError unknown_variant(std::uint32_t index) { return {ErrorKind::UnknownVariant, {}, index, 0}; }

  // How the decoding and encoding sides report an error raised inside a
  // nested value they own (set elements, evolving payloads): by its text.
  static CordError deserialization_from(const CordError& inner) { return deserialization(inner.message()); }
  static CordError serialization_from(const CordError& inner) { return serialization(inner.message()); }

  ErrorKind kind() const { return kind_; }
  // The carried text of Io, Unsupported, Validation, Serialization,
  // Deserialization and Schema; empty for the others.
  const std::string& text() const { return text_; }
  // LengthLimitExceeded: the length read and the limit it exceeded.
  std::uint64_t length() const { return a_; }
  std::uint64_t maximum() const { return b_; }
  // UnknownVariant: the index read.
  std::uint32_t variant_index() const { return static_cast<std::uint32_t>(a_); }

  // The fixed display text of the error.
  std::string message() const;

  bool operator==(const CordError&) const = default;

 private:
  CordError(ErrorKind kind, std::string text, std::uint64_t a = 0, std::uint64_t b = 0)
      : kind_(kind), text_(std::move(text)), a_(a), b_(b) {}

  ErrorKind kind_;
  std::string text_;
  std::uint64_t a_ = 0;
  std::uint64_t b_ = 0;
};

template <class T>
using Result = std::expected<T, CordError>;
using Status = Result<void>;

namespace detail {

// One step of a fold over fields: true when it succeeded, else its error
// is kept in `st` and the fold stops. Only a failure assigns, so the
// decoding of a field costs no assignment of a result.
template <class Step>
bool step_ok(Status& st, Step&& step) {
  Status result = step();
  if (result) return true;
  st = std::move(result);
  return false;
}

}  // namespace detail

inline std::unexpected<CordError> fail(CordError error) { return std::unexpected(std::move(error)); }
inline std::unexpected<CordError> fail(ErrorKind kind) { return std::unexpected(CordError(kind)); }

// The same, made out of line: the readers every decode runs stay small
// enough to inline when their failures are a call away.
[[gnu::cold, gnu::noinline]] inline std::unexpected<CordError> fail_cold(ErrorKind kind) { return fail(kind); }
[[gnu::cold, gnu::noinline]] inline std::unexpected<CordError> fail_length_limit(std::uint64_t len, std::uint64_t max) {
  return fail(CordError::length_limit(len, max));
}

}  // namespace cord
