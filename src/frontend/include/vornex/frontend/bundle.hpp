// The text form of an invitation: Bech32 text (a Bech32m checksum, or
// failing that a Bech32 one) whose human-readable part is "vrnx", holding
// up to 1023 characters instead of the usual 90. The decoded bytes carry
// the invitee's master seed, so they come back in a buffer wiped on drop.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "vornex/core/secret.hpp"

namespace vornex::frontend::bundle {

enum class DecodeFailure : std::uint8_t { Malformed, WrongPrefix };

struct DecodeError {
  DecodeFailure failure;
  // The human-readable part as written, for WrongPrefix; empty otherwise.
  std::string prefix;

  bool operator==(const DecodeError&) const = default;
};

// White space around the text is ignored. The checksum is verified before
// the prefix is compared, so a damaged text never claims a wrong prefix.
std::expected<core::SecretBytes, DecodeError> decode(std::string_view text);

namespace detail {

enum class Checksum : std::uint8_t { Bech32, Bech32m };

// A text that passed every check but the prefix: views into the caller's
// text, the data part without its checksum.
struct Parsed {
  std::string_view hrp;
  std::string_view data;
  Checksum checksum;
};

// Trimming, character, length and checksum checks, for any prefix; none
// when the text is malformed. Exposed so that texts with other prefixes,
// such as published test strings, can be checked.
std::optional<Parsed> parse(std::string_view text);

}  // namespace detail

}  // namespace vornex::frontend::bundle
