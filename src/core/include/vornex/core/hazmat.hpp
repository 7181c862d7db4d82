// The error of signed-record construction.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::core {

class HazmatError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t { IdentityMismatch, Core };

  // The signer states one user id but its public keys derive another. The
  // ids are for the caller; the display text shows neither.
  struct IdentityMismatch {
    UserId identity_user_id;
    UserId derived_user_id;
    bool operator==(const IdentityMismatch&) const = default;
  };

  HazmatError(CoreError error) : value_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  static HazmatError identity_mismatch(UserId identity_user_id, UserId derived_user_id) {
    return HazmatError(IdentityMismatch{std::move(identity_user_id), std::move(derived_user_id)});
  }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  // What each kind carries; null for the other kind.
  const IdentityMismatch* identity_mismatch() const { return std::get_if<IdentityMismatch>(&value_); }
  const CoreError* core_error() const { return std::get_if<CoreError>(&value_); }

  std::string message() const;

  bool operator==(const HazmatError&) const = default;

 private:
  explicit HazmatError(IdentityMismatch mismatch) : value_(std::move(mismatch)) {}

  std::variant<IdentityMismatch, CoreError> value_;
};

template <class T>
using HazmatResult = std::expected<T, HazmatError>;

}  // namespace vornex::core
