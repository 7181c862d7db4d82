#include "vornex/frontend/bundle.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "cord/text.hpp"
#include "cord/wire.hpp"

namespace vornex::frontend::bundle {

namespace {

constexpr std::string_view kPrefix = "vrnx";
constexpr char kSeparator = '1';
constexpr std::string_view kAlphabet = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
// Invitations outgrow the usual 90 characters; the part before the
// separator keeps its usual bound.
constexpr std::size_t kMaxTextLength = 1023;
constexpr std::size_t kMaxHrpLength = 83;
constexpr std::size_t kChecksumLength = 6;
constexpr char kFirstHrpChar = '!';
constexpr char kLastHrpChar = '~';
// What the checksum polynomial leaves over a valid text.
constexpr std::uint32_t kBech32mConstant = 0x2BC830A3;
constexpr std::uint32_t kBech32Constant = 1;
constexpr std::array<std::uint32_t, 5> kGenerator = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};

// The code points with the Unicode White_Space property.
constexpr std::array<char32_t, 25> kWhiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

bool is_white_space(char32_t c) { return std::ranges::find(kWhiteSpace, c) != kWhiteSpace.end(); }

// The code point that starts at `i` in text known to be valid UTF-8, and
// the number of bytes it takes.
std::pair<char32_t, std::size_t> code_point_at(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  char32_t c = lead & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) c = c << 6 | (byte(k) & 0x3F);
  return {c, n};
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto [c, n] = code_point_at(text, begin);
    if (!is_white_space(c)) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(code_point_at(text, start).first)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

// The 5-bit value of a data character of either case, or -1.
constexpr std::array<std::int8_t, 128> kValues = [] {
  std::array<std::int8_t, 128> values{};
  values.fill(-1);
  for (std::size_t v = 0; v < kAlphabet.size(); ++v) {
    const char c = kAlphabet[v];
    values[static_cast<unsigned char>(c)] = static_cast<std::int8_t>(v);
    if (c >= 'a' && c <= 'z') values[static_cast<unsigned char>(c - 'a' + 'A')] = static_cast<std::int8_t>(v);
  }
  return values;
}();

int value_of(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < kValues.size() ? kValues[u] : -1;
}

std::uint32_t polymod_step(std::uint32_t checksum, std::uint32_t value) {
  const std::uint32_t top = checksum >> 25;
  checksum = (checksum & 0x1FFFFFF) << 5 ^ value;
  for (std::size_t i = 0; i < kGenerator.size(); ++i) {
    if (top >> i & 1) checksum ^= kGenerator[i];
  }
  return checksum;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }

}  // namespace

namespace detail {

std::optional<Parsed> parse(std::string_view text) {
  // A byte that is not part of valid UTF-8 is never white space, so it
  // would stay in the text and fail the character checks anyway.
  if (!cord::text::is_utf8(text)) return std::nullopt;
  const std::string_view s = trim(text);
  // Checked early so that a huge text costs no further scan; any failure
  // here is the same Malformed as below.
  if (s.size() > kMaxTextLength) return std::nullopt;
  const std::size_t separator = s.rfind(kSeparator);
  if (separator == std::string_view::npos) return std::nullopt;
  const std::string_view hrp = s.substr(0, separator);
  const std::string_view data = s.substr(separator + 1);
  if (hrp.empty() || hrp.size() > kMaxHrpLength || data.size() < kChecksumLength) return std::nullopt;

  bool lower = false;
  bool upper = false;
  for (const char c : hrp) {
    if (c < kFirstHrpChar || c > kLastHrpChar) return std::nullopt;
    lower |= is_lower(c);
    upper |= is_upper(c);
  }
  for (const char c : data) {
    if (value_of(c) < 0) return std::nullopt;
    lower |= is_lower(c);
    upper |= is_upper(c);
  }
  if (lower && upper) return std::nullopt;

  // The checksum covers the lower-case form, so an all upper-case text
  // carries the same checksum as its lower-case twin.
  std::uint32_t checksum = 1;
  for (const char c : hrp) checksum = polymod_step(checksum, static_cast<unsigned char>(ascii_lower(c)) >> 5);
  checksum = polymod_step(checksum, 0);
  for (const char c : hrp) checksum = polymod_step(checksum, static_cast<unsigned char>(ascii_lower(c)) & 0x1F);
  for (const char c : data) checksum = polymod_step(checksum, static_cast<std::uint32_t>(value_of(c)));

  Checksum kind;
  if (checksum == kBech32mConstant) {
    kind = Checksum::Bech32m;
  } else if (checksum == kBech32Constant) {
    kind = Checksum::Bech32;
  } else {
    return std::nullopt;
  }
  return Parsed{hrp, data.substr(0, data.size() - kChecksumLength), kind};
}

}  // namespace detail

std::expected<core::SecretBytes, DecodeError> decode(std::string_view text) {
  const auto parsed = detail::parse(text);
  if (!parsed) return std::unexpected(DecodeError{DecodeFailure::Malformed, {}});
  if (parsed->hrp != kPrefix) return std::unexpected(DecodeError{DecodeFailure::WrongPrefix, std::string(parsed->hrp)});

  // Five bits per character, most significant first; bits left over that
  // do not fill a byte are dropped without looking at them.
  cord::Bytes packed(parsed->data.size() * 5 / 8);
  std::uint32_t pending = 0;
  unsigned bits = 0;
  std::size_t out = 0;
  for (const char c : parsed->data) {
    pending = pending << 5 | static_cast<std::uint32_t>(value_of(c));
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      packed[out++] = static_cast<std::uint8_t>(pending >> bits);
      pending &= (1u << bits) - 1;
    }
  }
  core::SecretBytes result(packed);
  core::secure_wipe(packed.data(), packed.size());
  core::secure_wipe(&pending, sizeof pending);
  return result;
}

}  // namespace vornex::frontend::bundle
