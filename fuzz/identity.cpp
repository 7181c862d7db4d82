// The identity file of a user under a root, read as an unlock reads it. An
// accepted file re-encodes to exactly itself and can be written back (as a
// split writes one) to read back equal. Opening it fails only for the
// reasons opening has: a record that does not belong, parameters out of
// range, or a seal the passphrase does not open. The key is derived only
// at the cheapest accepted parameters, so the fuzzer spends its time on
// parsing rather than on Argon2.
#include "keychain_support.hpp"
#include "vornex/keychain/passphrase_key.hpp"

namespace {

using namespace vornex;

// Parameters the opening accepts but that cost more than the cheapest.
bool costly(const keychain::SealedIdentityV1& sealed) {
  const keychain::KdfParamsV1& kdf = sealed.kdf;
  const bool accepted = sealed.salt.size() == keychain::kSaltSize && kdf.algorithm == keychain::kArgon2idAlgorithm &&
                        kdf.memory_kib >= keychain::kMinMemoryKib && kdf.memory_kib <= keychain::kMaxMemoryKib &&
                        kdf.iterations >= keychain::kMinIterations && kdf.iterations <= keychain::kMaxIterations &&
                        kdf.lanes >= keychain::kMinLanes && kdf.lanes <= keychain::kMaxLanes;
  return accepted && (kdf.memory_kib != keychain::kMinMemoryKib || kdf.iterations != keychain::kMinIterations ||
                      kdf.lanes != keychain::kMinLanes);
}

fuzz::RootAndUser named_by_file(cord::ByteView file) {
  if (file.size() < keychain::kIdentityMagic.size()) return {};
  auto store = cord::deserialize<keychain::IdentityStore>(file.subspan(keychain::kIdentityMagic.size()));
  if (!store) return {};
  return fuzz::named_by(std::get<keychain::SealedIdentityV1>(*store));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const fuzz::fs::path base = fuzz::Scratch::get().fresh() / "keychain";
  const fuzz::RootAndUser named = named_by_file(file);
  const fuzz::fs::path path = keychain::identity_path(base, named.root, named.user);
  fuzz::write_file(path, file);

  auto sealed = keychain::read_identity_at(path, named.root, named.user);
  if (!sealed) {
    fuzz::check(fuzz::is_clear_refusal(sealed.error()), "an identity file is refused clearly",
                sealed.error().message());
    return 0;
  }
  fuzz::check(sealed->has_value(), "an identity file present is read");
  const keychain::SealedIdentityV1& identity = **sealed;
  cord::Bytes encoded(keychain::kIdentityMagic.begin(), keychain::kIdentityMagic.end());
  fuzz::check_ok(cord::serialize_into(encoded, keychain::IdentityStore{identity}), "re-encoding an identity");
  fuzz::check(fuzz::same_bytes(encoded, file), "an accepted identity file re-encodes to exactly itself");

  const fuzz::fs::path copy = base / "copy" / "identity.cord";
  fuzz::check_ok(keychain::write_identity_exact(copy, named.root, named.user, identity), "writing an identity back");

  if (costly(identity)) return 0;
  const cord::Bytes passphrase{'p', 'w'};
  auto opened = keychain::open_local_identity(passphrase, named.root, named.user, identity);
  if (!opened) {
    using Kind = keychain::KeychainError::Kind;
    const Kind kind = opened.error().kind();
    fuzz::check(kind == Kind::Inconsistent || kind == Kind::InvalidKdfParams || kind == Kind::UnlockFailed ||
                    kind == Kind::Cord,
                "an identity fails to open for a reason of its own", opened.error().message());
  }
  return 0;
}
