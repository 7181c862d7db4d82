// The oldest keychain, one per user ("keychain.cord" in the user's
// directory), split for one root as an unlock splits it. The split either
// gives every identity of that root its own file, reading back equal, and
// leaves exactly the other records behind (removing the file when none
// remain), or is refused with a clear error, leaving the older file as it
// was. No identity may be lost either way.
#include <cstdlib>

#include "keychain_support.hpp"
#include "vornex/keychain/migrate.hpp"
#include "vornex/store/fs.hpp"

namespace {

using namespace vornex;

const store::LockPolicy kNoWait{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const fuzz::fs::path base = fuzz::Scratch::get().fresh() / "keychain";
  const fuzz::RootAndUser named = fuzz::named_by_keychain(file);
  const fuzz::fs::path legacy = keychain::legacy_user_keychain_path(base, named.user);
  fuzz::write_file(legacy, file);

  auto split = keychain::migrate_legacy_user_locked(base, named.root, named.user, legacy, kNoWait);
  if (!split) {
    fuzz::check(fuzz::is_clear_refusal(split.error()), "a per-user keychain is refused clearly",
                split.error().message());
    auto kept = store::read_file_bounded(legacy, keychain::kKeychainFileLimit);
    fuzz::check(kept && fuzz::same_bytes(*kept, file), "a refused split leaves the per-user keychain as it was");
    return 0;
  }
  auto original = cord::deserialize<keychain::KeychainStore>(file.subspan(keychain::kKeychainMagic.size()));
  fuzz::check_ok(original, "decoding a per-user keychain that was split");
  std::vector<const keychain::SealedIdentityV1*> moved;
  std::vector<cord::Evolving<keychain::KeychainRecordV1>> rest;
  for (const auto& record : std::get<keychain::keychain_store::V1>(*original).records) {
    const auto* known = record.known();
    const auto* identity = known != nullptr ? std::get_if<keychain::SealedIdentityV1>(known) : nullptr;
    if (identity != nullptr && std::ranges::equal(identity->root, named.root)) {
      moved.push_back(identity);
    } else {
      rest.push_back(record);
    }
  }
  if (moved.empty()) {
    auto kept = store::read_file_bounded(legacy, keychain::kKeychainFileLimit);
    fuzz::check(kept && fuzz::same_bytes(*kept, file), "a keychain with nothing for the root is left as it was");
    return 0;
  }
  for (const keychain::SealedIdentityV1* identity : moved) {
    auto back = keychain::read_identity_at(keychain::identity_path(base, named.root, identity->user), named.root,
                                           identity->user);
    fuzz::check_ok(back, "reading a split identity");
    fuzz::check(back->has_value() && **back == *identity, "every identity of the root is kept by a split");
  }
  if (rest.empty()) {
    fuzz::check(!fuzz::fs::exists(legacy), "a per-user keychain left empty is removed");
  } else {
    auto left = keychain::read_keychain_records_at(legacy);
    fuzz::check_ok(left, "reading what a split left of a per-user keychain");
    fuzz::check(left->items() == rest, "a split keeps exactly the other records");
  }
  return 0;
}
