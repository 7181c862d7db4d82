// User references: handles, ids and id prefixes, and the default user.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store_fixture.hpp"
#include "vornex/core/handles.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/user.hpp"
#include "vornex/keychain/files.hpp"

namespace {

using namespace vornex;
using namespace vornex::frontend;

const crypto::Crypto kCrypto;

core::UserId id_of(const std::string& hex) {
  return core::UserId(core::HashValue(*decode_hex(hex, kUserIdLabel)));
}

const std::string kAlice = "aaaaaaaa" + std::string(56, '1');
const std::string kBob = "aaaaaaaa" + std::string(56, '2');  // shares alice's first 8 digits
const std::string kCarol = "c0ffee00" + std::string(56, '3');

// Three users; alice has the handles alice and zed, carol has carol.
core::validate::EffectiveState people() {
  core::validate::EffectiveState state;
  state.root_fingerprint = core::HashValue(cord::Bytes(32, 0x0f));
  for (const std::string& hex : {kAlice, kBob, kCarol}) state.users.emplace(id_of(hex), core::UserRecordV1{});
  const auto handle = [&](const std::string& text, const std::string& user) {
    state.user_handles.emplace(*core::derive_user_handle_id(kCrypto, text),
                               core::UserHandleRecordV1{{}, text, id_of(user), 1});
  };
  handle("alice", kAlice);
  handle("zed", kAlice);
  handle("carol", kCarol);
  handle("ghost", "dddddddd" + std::string(56, '4'));  // points to nobody
  return state;
}

TEST(UserRef, HandleSpellingsResolveAlike) {
  const auto state = people();
  for (const char* text : {"@alice", "alice", "@@alice", "Alice", " alice ", "@ALICE"}) {
    const auto resolved = resolve_cli_user_ref_in_report(state, kCrypto, text);
    ASSERT_TRUE(resolved.has_value()) << text << ": " << resolved.error().message();
    EXPECT_EQ(resolved->user_id, id_of(kAlice)) << text;
    EXPECT_EQ(resolved->handle, "alice") << text;  // the handle asked for
  }
  // By id the primary handle comes along: alice before zed.
  const auto by_id = resolve_cli_user_ref_in_report(state, kCrypto, kAlice);
  EXPECT_EQ(by_id->handle, "alice");
}

TEST(UserRef, IdsAndPrefixes) {
  const auto state = people();
  struct Case {
    std::string text;
    std::string outcome;  // the resolved id's hex, or the error text
  } cases[] = {
      {"c0ffee00", kCarol},
      {"0xC0FFEE00", kCarol},
      {"C0FFEE00" + std::string(56, '3'), kCarol},       // a full id, any case
      {"0x" + kCarol, kCarol},
      {"aaaaaaaa", "user \"aaaaaaaa\" is ambiguous"},
      {"aaaaaaaa1", kAlice},                                // longer and unique
      {"deadbeef", "no user matches \"deadbeef\""},        // eight digits: a prefix, never a handle
      {"abc", "user handle @abc does not exist"},           // too short and odd: a handle
      {"0XC0FFEE00", "user handle @0xc0ffee00 does not exist"},
      {std::string(66, 'a'), "invalid user handle \"" + std::string(66, 'a') + "\": " +
                                 std::string(ops::kInvalidHandleReason)},
      {"@", "invalid user handle \"\": " + std::string(ops::kInvalidHandleReason)},
      {"@Bad!", "invalid user handle \"Bad!\": " + std::string(ops::kInvalidHandleReason)},
      {"@ghost", "user handle @ghost points to missing user UserId(HashValue([221, 221, 221, 221, 68, 68, 68, 68, 68, "
                 "68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68]))"},
      {std::string(64, 'e'), "user UserId(HashValue([238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, "
                             "238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, 238, "
                             "238, 238])) is missing an active user record"},
  };
  for (const Case& c : cases) {
    const auto resolved = resolve_cli_user_ref_in_report(state, kCrypto, c.text);
    const std::string outcome = resolved ? hex_bytes(resolved->user_id.bytes()) : resolved.error().message();
    EXPECT_EQ(outcome, c.outcome) << c.text;
  }
}

TEST(UserRef, HexDecoding) {
  EXPECT_EQ(decode_hex("0x00Ab", kUserIdLabel).value(), (cord::Bytes{0x00, 0xab}));
  EXPECT_EQ(decode_hex("", kUserIdLabel).value(), cord::Bytes{});
  EXPECT_EQ(decode_hex("abc", kUserIdLabel).error().message(), "invalid user ID hex: odd length");
  EXPECT_EQ(decode_hex("zz", kUserIdLabel).error().message(), "invalid user ID hex: non-hex character");
  EXPECT_EQ(normalize_hex_prefix("0xABCDEF01"), "abcdef01");
  EXPECT_FALSE(normalize_hex_prefix("abcdef0").has_value());
  EXPECT_FALSE(normalize_hex_prefix("0Xabcdef01").has_value());
}

class DefaultUser : public test::TempDirTest {};

TEST_F(DefaultUser, StoredCurrentUserThenInvitationThenNone) {
  const test::ScopedEnv env({{"VORNEX_KEYCHAIN_DIR", (dir_ / "keychain").native()},
                             {"VORNEX_UNSAFE_INVITE", std::nullopt},
                             {"VORNEX_UNSAFE_INVITE_FILE", std::nullopt}});
  const auto state = people();
  const auto resolve = [&](std::optional<std::string_view> reference) {
    return resolve_cli_user_ref_with_report(state, kCrypto, reference, store::ProcessFacts::read(),
                                            InviteVariables::read_default());
  };
  const auto none = resolve(std::nullopt);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().message(), "no default Vornex identity is configured; pass --user once");

  const cord::Bytes root = state.root_fingerprint->to_vec();
  ASSERT_TRUE(keychain::write_current_user_exact(keychain::current_user_path(dir_ / "keychain", root),
                                                 keychain::CurrentUserV1{id_of(kCarol).to_vec(), "@carol"}));
  const auto stored = stored_default_user(root);
  ASSERT_TRUE(stored.has_value() && stored->has_value());
  EXPECT_EQ((*stored)->first, kCarol);
  EXPECT_EQ((*stored)->second, "@carol");
  const auto user = resolve(std::nullopt);
  ASSERT_TRUE(user.has_value()) << user.error().message();
  EXPECT_EQ(user->user_id, id_of(kCarol));
  EXPECT_FALSE(user->explicit_reference);
  EXPECT_EQ(user->root_fingerprint, root);

  const auto named = resolve("@alice");
  EXPECT_TRUE(named->explicit_reference);
  EXPECT_EQ(named->user_id, id_of(kAlice));
}

}  // namespace
