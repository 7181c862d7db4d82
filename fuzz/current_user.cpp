// The current-user file of a root. An accepted file re-encodes to exactly
// itself, can be written back (as a split writes one) to read back equal,
// and gives the default user a vault opening shows.
#include <cstdlib>

#include "keychain_support.hpp"
#include "vornex/frontend/user.hpp"

namespace {

using namespace vornex;

fuzz::fs::path keychain_base() { return fuzz::Scratch::get().root() / "keychain"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("VORNEX_KEYCHAIN_DIR", keychain_base().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  fuzz::Scratch::get().fresh();
  const fuzz::fs::path base = keychain_base();
  const fuzz::fs::path path = keychain::current_user_path(base, fuzz::kFallbackRoot);
  fuzz::write_file(path, file);

  auto current = keychain::read_current_user_at(path);
  if (!current) {
    fuzz::check(fuzz::is_clear_refusal(current.error()), "a current-user file is refused clearly",
                current.error().message());
    return 0;
  }
  fuzz::check(current->has_value(), "a current-user file present is read");
  const keychain::CurrentUserV1& user = **current;
  cord::Bytes encoded(keychain::kCurrentUserMagic.begin(), keychain::kCurrentUserMagic.end());
  fuzz::check_ok(cord::serialize_into(encoded, keychain::CurrentUserStore{user}), "re-encoding a current user");
  fuzz::check(fuzz::same_bytes(encoded, file), "an accepted current-user file re-encodes to exactly itself");

  auto shown = frontend::stored_default_user(fuzz::kFallbackRoot);
  fuzz::check_ok(shown, "the default user of an accepted current-user file");
  fuzz::check(shown->has_value() && (*shown)->first == keychain::hex_bytes(user.user),
              "the default user is the one the file names");

  const fuzz::fs::path copy = base / "copy" / "current-user.cord";
  fuzz::check_ok(keychain::write_current_user_exact(copy, user), "writing a current user back");
  return 0;
}
