// The passphrase key (Argon2id) and the opening of a sealed identity. This
// system only opens sealed identities; it never seals one.
#pragma once

#include <cstdint>

#include "cord/wire.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/secret_array.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/keychain/records.hpp"

namespace vornex::keychain {

inline constexpr std::size_t kPassphraseKeySize = 32;
inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kSealNonceSize = 12;
// The accepted parameters bound what one unlock may cost: at most 256 MiB,
// 10 passes and 8 lanes. A record outside them is refused before anything
// is derived.
inline constexpr std::uint32_t kMinMemoryKib = 8'192;
inline constexpr std::uint32_t kMaxMemoryKib = 262'144;
inline constexpr std::uint32_t kMinIterations = 1;
inline constexpr std::uint32_t kMaxIterations = 10;
inline constexpr std::uint32_t kMinLanes = 1;
inline constexpr std::uint32_t kMaxLanes = 8;

using PassphraseKey = crypto::SecretArray<kPassphraseKeySize>;

// The Cord encoding of (root, user): the associated data of a seal.
KeychainResult<cord::Bytes> envelope_aad_bytes(cord::ByteView root, cord::ByteView user);

// Argon2id (version 0x13) of the passphrase, one thread whatever the lanes.
KeychainResult<PassphraseKey> derive_passphrase_key(cord::ByteView passphrase, cord::ByteView salt,
                                                    const KdfParamsV1& kdf);

KeychainResult<LocalIdentityV1> open_local_identity(cord::ByteView passphrase, cord::ByteView root,
                                                    cord::ByteView user, const SealedIdentityV1& sealed);

KeychainResult<crypto::Identity> identity_from_local(const crypto::Crypto& crypto, const LocalIdentityV1& local);

}  // namespace vornex::keychain
