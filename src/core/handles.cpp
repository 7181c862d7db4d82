#include "vornex/core/handles.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vornex::core {

namespace {

constexpr std::size_t kMaxHandleBytes = 64;

// The characters with the Unicode White_Space property, UTF-8 encoded.
// Matching a whole encoding at either end is exact on UTF-8: a match begins
// on a lead byte, so it can never be the tail of a longer character.
constexpr std::string_view kWhiteSpace[] = {
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20",  // U+0009..U+000D, U+0020
    "\xC2\x85",                                      // U+0085
    "\xC2\xA0",                                      // U+00A0
    "\xE1\x9A\x80",                                  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9",                  // U+2028, U+2029
    "\xE2\x80\xAF",                                  // U+202F
    "\xE2\x81\x9F",                                  // U+205F
    "\xE3\x80\x80",                                  // U+3000
};

std::size_t leading_space(std::string_view text) {
  for (const std::string_view ws : kWhiteSpace) {
    if (text.starts_with(ws)) return ws.size();
  }
  return 0;
}

std::size_t trailing_space(std::string_view text) {
  for (const std::string_view ws : kWhiteSpace) {
    if (text.ends_with(ws)) return ws.size();
  }
  return 0;
}

bool is_letter_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

template <class Id>
CoreResult<Id> derive_handle_id(const CryptoProvider& provider, cord::ByteView domain, std::string_view handle) {
  VX_TRY_ASSIGN(HashValue hash, derive_hash(provider, domain, normalize_handle(handle)));
  return Id(std::move(hash));
}

}  // namespace

std::string normalize_handle(std::string_view handle) {
  while (const std::size_t n = leading_space(handle)) handle.remove_prefix(n);
  while (const std::size_t n = trailing_space(handle)) handle.remove_suffix(n);
  std::string out(handle);
  // Bytes below 0x80 are whole characters in UTF-8, so this touches
  // nothing inside a multi-byte character.
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool is_valid_handle(std::string_view handle) {
  if (handle.empty() || handle.size() > kMaxHandleBytes) return false;
  if (!is_letter_or_digit(handle.front()) || !is_letter_or_digit(handle.back())) return false;
  return std::ranges::all_of(handle, [](char c) { return is_letter_or_digit(c) || c == '_' || c == '-'; });
}

CoreResult<UserHandleId> derive_user_handle_id(const CryptoProvider& provider, std::string_view handle) {
  return derive_handle_id<UserHandleId>(provider, domains::kHandle, handle);
}

CoreResult<VaultHandleId> derive_vault_handle_id(const CryptoProvider& provider, std::string_view handle) {
  return derive_handle_id<VaultHandleId>(provider, domains::kVaultHandle, handle);
}

}  // namespace vornex::core
