// HKDF-SHA256 (RFC 5869), computed by libcrypto: identity derivation and
// the HPKE key schedule are built on these two halves.
#pragma once

#include <cstdint>
#include <span>

#include "cord/wire.hpp"
#include "vornex/crypto/secret_array.hpp"

namespace vornex::crypto {

inline constexpr std::size_t kSha256Size = 32;
// RFC 5869 caps the output at 255 blocks of the hash.
inline constexpr std::size_t kHkdfMaxOutput = 255 * kSha256Size;

// Sets `prk` to HMAC-SHA256(salt, ikm); an empty salt acts as 32 zero
// bytes. Any lengths. False (and `prk` zeroed) only if libcrypto fails,
// for instance when it runs out of memory.
[[nodiscard]] bool hkdf_extract(cord::ByteView salt, cord::ByteView ikm, SecretArray<kSha256Size>& prk);

// Fills `out` with HKDF-Expand(prk, info, out.size()). False (and `out`
// zeroed) when the length is beyond the limit or libcrypto refuses.
[[nodiscard]] bool hkdf_expand(cord::ByteView prk, cord::ByteView info, std::span<std::uint8_t> out);

}  // namespace vornex::crypto
