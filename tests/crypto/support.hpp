// Shared by the crypto tests: published vectors from tests/vectors (see
// SOURCES.md there), and the fixed identity whose values
// were computed independently with Python (`cryptography` HKDF, Ed25519,
// X25519, DeriveKeyPair built from HKDF; hashlib for the domain hash).
#pragma once

#include <array>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "hex.hpp"

#ifndef VORNEX_TESTDATA_DIR
#error "VORNEX_TESTDATA_DIR must name the test vector directory"
#endif

namespace vornex::test {

using Bytes = std::vector<std::uint8_t>;

inline std::filesystem::path testdata_dir() { return std::filesystem::path(VORNEX_TESTDATA_DIR); }

inline nlohmann::json load_vectors(std::string_view name) {
  const std::filesystem::path path = testdata_dir() / name;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("test vectors missing: " + path.string() + " (tests/vectors in the source tree)");
  return nlohmann::json::parse(in);
}

inline Bytes bytes_of(const nlohmann::json& field) { return hex(field.get<std::string>()); }
inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
template <class Range>
Bytes to_bytes(const Range& r) {
  return Bytes(std::begin(r), std::end(r));
}
inline Bytes counting(std::size_t n, std::uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

// The identity of master seed 00..1f, and its signature over the
// transcript of ("vornex.signed.v1", "hello").
inline const Bytes kSeed = counting(32, 0);
inline const Bytes kSigningPublic = hex("bcfa7058d03118b36ce0eb45a5fc7dcb24ff251db5721c8e042b4671fa6fc9c5");
inline const Bytes kHpkePrivate = hex("10c84448a9235c316f5b6788d23eeeb29b792de593440ae58b37c03fc4fd2873");
inline const Bytes kHpkePublic = hex("809ea861fa47f274b63c1a43699596314be0ff02c48dc2f985a83a1bdf7c7d31");
inline const Bytes kUserId = hex("1e0f623028ac5f4b43ec330f2001eb67f4e50886dddd023e7a7065a17235558c");
inline const Bytes kHelloSignature = hex(
    "4f2042ffeca849f10c235f7c34aa714913170209ac7cfd1774be29d58eb656c5"
    "36b5523a6c59bfb7388a5a3a7e366588cfa0c67dcbd3d50f3f8b41d8237fb80d");

// Python `cryptography` sealed the key 40..5f to the fixed identity's X25519
// key with info = our framing of "slot-context" and no aad.
inline const Bytes kSealedEncapsulatedKey = hex("578f76517095ae201ddd2445e8ac7b6b8e492091cb3af76c7151a89282002875");
inline const Bytes kSealedWrappedKey =
    hex("a9380fdc9f2618a6dd4fef24ed246b4f741f1a52849c4c3bb23c38f503299278e37816a622fbd4e3d2af6ebd74ffaf7a");

}  // namespace vornex::test
