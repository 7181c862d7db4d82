// The older combined keychain of a root ("keychain.cord" in the root's
// directory), split as an unlock splits it. The split either puts every
// identity and the current user in its own file, reading back equal, and
// removes the combined file, or is refused with a clear error before
// anything is written.
#include <cstdlib>

#include "keychain_support.hpp"
#include "vornex/keychain/migrate.hpp"

namespace {

using namespace vornex;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const fuzz::fs::path base = fuzz::Scratch::get().fresh() / "keychain";
  const fuzz::RootAndUser named = fuzz::named_by_keychain(file);
  const fuzz::fs::path combined = keychain::keychain_path(base, named.root);
  fuzz::write_file(combined, file);
  const auto before = fuzz::snapshot(base);

  auto split = keychain::migrate_root_combined_locked(base, named.root);
  if (!split) {
    fuzz::check(fuzz::is_clear_refusal(split.error()), "a combined keychain is refused clearly",
                split.error().message());
    fuzz::check(fuzz::snapshot(base) == before, "a refused split writes nothing");
    return 0;
  }
  fuzz::check(!fuzz::fs::exists(combined), "a split removes the combined keychain");
  auto records = cord::deserialize<keychain::KeychainStore>(file.subspan(keychain::kKeychainMagic.size()));
  fuzz::check_ok(records, "decoding a combined keychain that was split");
  for (const auto& record : std::get<keychain::keychain_store::V1>(*records).records) {
    const keychain::KeychainRecordV1& known = *record.known();
    if (const auto* identity = std::get_if<keychain::SealedIdentityV1>(&known)) {
      auto back = keychain::read_identity_at(keychain::identity_path(base, named.root, identity->user), named.root,
                                             identity->user);
      fuzz::check_ok(back, "reading a split identity");
      fuzz::check(back->has_value() && **back == *identity, "every identity of a split keychain is kept");
    } else {
      auto back = keychain::read_current_user_at(keychain::current_user_path(base, named.root));
      fuzz::check_ok(back, "reading a split current user");
      fuzz::check(back->has_value() && **back == std::get<keychain::CurrentUserV1>(known),
                  "the current user of a split keychain is kept");
    }
  }
  return 0;
}
