// A Bech32m encoder (BIP-350 checksum over the BIP-173 format) for the
// text form of test invitations: the system only ever decodes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cord/wire.hpp"

namespace vornex::test {

inline std::uint32_t bech32_polymod(const std::vector<std::uint8_t>& values) {
  static constexpr std::uint32_t kGenerator[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
  std::uint32_t checksum = 1;
  for (const std::uint8_t value : values) {
    const std::uint32_t top = checksum >> 25;
    checksum = ((checksum & 0x1ffffff) << 5) ^ value;
    for (int i = 0; i < 5; ++i) {
      if ((top >> i) & 1) checksum ^= kGenerator[i];
    }
  }
  return checksum;
}

// The human-readable part, "1", the bytes as 5-bit groups (the last one
// padded with zero bits) and the six checksum characters.
inline std::string bech32m_encode(std::string_view hrp, cord::ByteView bytes, std::uint32_t constant = 0x2bc830a3) {
  static constexpr std::string_view kAlphabet = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
  std::vector<std::uint8_t> data;
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (const std::uint8_t byte : bytes) {
    accumulator = (accumulator << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      data.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 31));
    }
  }
  if (bits > 0) data.push_back(static_cast<std::uint8_t>((accumulator << (5 - bits)) & 31));

  std::vector<std::uint8_t> values;
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c) >> 5);
  values.push_back(0);
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c) & 31);
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), 6, 0);
  const std::uint32_t checksum = bech32_polymod(values) ^ constant;

  std::string out(hrp);
  out += '1';
  for (const std::uint8_t value : data) out += kAlphabet[value];
  for (int i = 0; i < 6; ++i) out += kAlphabet[(checksum >> (5 * (5 - i))) & 31];
  return out;
}

}  // namespace vornex::test
