// The verification cache, read from a file as a session reads it. Every
// failure is a miss; an accepted file re-encodes to exactly itself, its
// signed message can be formed and checked, and the same hashes written
// back under the session's own root read back equal.
#include <cstdlib>

#include "support.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/store/cache_file.hpp"
#include "vornex/store/paths.hpp"

namespace {

using namespace vornex;

const core::HashValue kRoot(cord::Bytes(32, 0x52));
const core::HashValue kOwner(cord::Bytes(32, 0x4f));

store::WorkspacePaths workspace(const fuzz::fs::path& scratch) {
  return store::WorkspacePaths::from_vault_path(scratch / "ws" / ".vornex" / "vault.cord");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::use_scratch_state_dir(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const store::WorkspacePaths paths = workspace(fuzz::Scratch::get().fresh());
  fuzz::write_file(store::verification_cache_path(paths, kRoot, kOwner), file);
  const auto cache = store::read_verification_cache(paths, kRoot, kOwner);
  if (!cache) return 0;

  cord::Bytes encoded(store::kCacheMagic.begin(), store::kCacheMagic.end());
  fuzz::check_ok(cord::serialize_into(encoded, store::VerificationCacheStore{store::verification_cache_store::V1{*cache}}),
                 "re-encoding an accepted cache");
  fuzz::check(fuzz::same_bytes(encoded, file), "an accepted cache re-encodes to exactly itself");

  // The session's check: the message, then the signature over it.
  auto message = store::verification_cache_message(cache->trusted_root, store::kVerificationCacheVersion,
                                                   cache->record_hashes);
  fuzz::check_ok(message, "the signed message of an accepted cache");
  const crypto::Crypto crypto;
  (void)crypto.verify_signature(core::domains::kVerificationCache, cache->signing_key, *message, cache->signature);

  store::VerificationCacheV1 ours = *cache;
  ours.trusted_root = kRoot;
  fuzz::check_ok(store::write_verification_cache_atomic(paths, kOwner, ours), "writing a cache back");
  const auto back = store::read_verification_cache(paths, kRoot, kOwner);
  fuzz::check(back.has_value() && *back == ours, "a cache written back reads back equal");
  return 0;
}
