// What the keychain targets share: a keychain directory in the scratch
// space, and the root and user an input names, so that a file is put where
// the code that reads it looks.
#pragma once

#include <algorithm>
#include <optional>

#include "support.hpp"
#include "vornex/keychain/files.hpp"

namespace vornex::fuzz {

inline const cord::Bytes kFallbackRoot(32, 0x52);
inline const cord::Bytes kFallbackUser(32, 0x55);
// Longer ids name no file this system could make: hex doubles them.
inline constexpr std::size_t kMaxIdBytes = 64;

struct RootAndUser {
  cord::Bytes root = kFallbackRoot;
  cord::Bytes user = kFallbackUser;
};

inline RootAndUser named_by(const keychain::SealedIdentityV1& identity) {
  RootAndUser out;
  if (identity.root.size() <= kMaxIdBytes) out.root = identity.root;
  if (identity.user.size() <= kMaxIdBytes) out.user = identity.user;
  return out;
}

// The root and user of the first identity of an older keychain, if the
// input decodes as one.
inline RootAndUser named_by_keychain(cord::ByteView file) {
  if (file.size() < keychain::kKeychainMagic.size()) return {};
  auto store = cord::deserialize<keychain::KeychainStore>(file.subspan(keychain::kKeychainMagic.size()));
  if (!store) return {};
  for (const auto& record : std::get<keychain::keychain_store::V1>(*store).records) {
    const keychain::KeychainRecordV1* known = record.known();
    if (known == nullptr) continue;
    if (const auto* identity = std::get_if<keychain::SealedIdentityV1>(known)) return named_by(*identity);
  }
  return {};
}

inline bool is_clear_refusal(const keychain::KeychainError& error) {
  using Kind = keychain::KeychainError::Kind;
  return error.kind() == Kind::FileInvalid || error.kind() == Kind::Cord || error.kind() == Kind::Io;
}

// Every file below the directory, with its bytes.
inline std::vector<std::pair<fs::path, cord::Bytes>> snapshot(const fs::path& dir) {
  std::vector<std::pair<fs::path, cord::Bytes>> out;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file() || entry.path().filename() == keychain::kKeychainLockFileName) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out.emplace_back(entry.path(), cord::Bytes(std::istreambuf_iterator<char>(in), {}));
  }
  std::ranges::sort(out);
  return out;
}

}  // namespace vornex::fuzz
