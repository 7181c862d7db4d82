// Users and vaults named by their handles, over states built by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vornex/core/handles.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/principals.hpp"

namespace {

using namespace vornex;
using core::validate::EffectiveState;

const crypto::Crypto kCrypto;

core::UserId user(std::uint8_t fill) { return core::UserId(core::HashValue(cord::Bytes(32, fill))); }

// "UserId(HashValue([f, f, ...]))", spelled out without the code under test.
std::string user_debug(std::uint8_t fill) {
  std::string out = "UserId(HashValue([";
  for (int i = 0; i < 32; ++i) out += (i ? ", " : "") + std::to_string(fill);
  return out + "]))";
}

const std::string kReason =
    "handle must be 1\xE2\x80\x93" "64 chars of a\xE2\x80\x93z, 0\xE2\x80\x93" "9, '-', '_', starting and ending with a "
    "letter or digit";

struct Handles {
  EffectiveState state;

  void add_user(const core::UserId& id) { state.users[id] = core::UserRecordV1{id, {}, {}, 1}; }
  // Under the id its text derives, as validation would key it.
  void add_handle(const std::string& text, const core::UserId& owner) {
    const auto hid = core::derive_user_handle_id(kCrypto, text).value();
    state.user_handles[hid] = core::UserHandleRecordV1{hid, text, owner, 1};
  }
  // Under a chosen key, to fix the order in which records are visited.
  void add_handle_at(std::uint8_t key, const std::string& text, const core::UserId& owner) {
    const core::UserHandleId hid(core::HashValue(cord::Bytes(32, key)));
    state.user_handles[hid] = core::UserHandleRecordV1{hid, text, owner, 1};
  }
  void add_vault_handle_at(std::uint8_t key, const std::string& text) {
    const core::VaultHandleId hid(core::HashValue(cord::Bytes(32, key)));
    state.vault_handles[hid] = core::VaultHandleRecordV1{hid, text, 1};
  }
};

// The primary handle is the smallest after normalising, whatever the order
// of the records' keys; among equal normalised handles the first key wins.
TEST(DataPrincipals, PrimaryHandlePicksSmallestNormalised) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::string>> handles;  // key, text
    std::string expected_raw;
  };
  const std::vector<Case> cases = {
      {"beta before alpha", {{1, "beta"}, {2, "alpha"}}, "alpha"},
      {"alpha before beta", {{1, "alpha"}, {2, "beta"}}, "alpha"},
      {"prefix sorts first", {{1, "abc"}, {2, "ab"}}, "ab"},
      // Raw bytes would put "B" first; normalised, "a" is smaller.
      {"compared normalised", {{1, "B"}, {2, "a"}}, "a"},
      {"blank compared normalised", {{1, " b"}, {2, "a"}}, "a"},
      {"tie keeps first key", {{1, "ALPHA"}, {2, "alpha"}}, "ALPHA"},
      {"tie keeps first key, reversed", {{1, "alpha"}, {2, "ALPHA"}}, "alpha"},
  };
  for (const Case& c : cases) {
    Handles h;
    h.add_user(user(7));
    h.add_user(user(8));
    for (const auto& [key, text] : c.handles) h.add_handle_at(key, text, user(7));
    h.add_handle_at(0, "aaa", user(8));  // another user's, smaller, never chosen
    const auto* primary = ops::primary_handle_for_user(h.state, user(7));
    ASSERT_NE(primary, nullptr) << c.name;
    EXPECT_EQ(primary->handle, c.expected_raw) << c.name;

    Handles v;
    for (const auto& [key, text] : c.handles) v.add_vault_handle_at(key, text);
    const auto* vault = ops::primary_vault_handle(v.state);
    ASSERT_NE(vault, nullptr) << c.name;
    EXPECT_EQ(vault->handle, c.expected_raw) << c.name;
  }
}

TEST(DataPrincipals, NoHandles) {
  Handles h;
  h.add_user(user(7));
  h.add_handle_at(1, "bob", user(8));
  EXPECT_EQ(ops::primary_vault_handle(h.state), nullptr);
  EXPECT_EQ(ops::primary_handle_for_user(h.state, user(7)), nullptr);
  const auto resolved = ops::resolve_user_ref(h.state, kCrypto, ops::user_ref::Id{user(7)});
  ASSERT_TRUE(resolved.has_value()) << resolved.error().message();
  EXPECT_EQ(*resolved, (ops::ResolvedUserRef{user(7), std::nullopt}));
}

TEST(DataPrincipals, ResolvesByIdAndByHandle) {
  Handles h;
  h.add_user(user(7));
  h.add_handle("alice", user(7));
  h.add_handle("aardvark", user(7));  // the primary handle
  h.add_handle("Mixed", user(7));     // stored as written, reported normalised

  struct Case {
    const char* name;
    ops::UserRef reference;
    std::optional<std::string> handle;
  };
  const std::vector<Case> cases = {
      {"id gives the primary", ops::user_ref::Id{user(7)}, "aardvark"},
      {"handle gives the one asked for", ops::user_ref::Handle{"alice"}, "alice"},
      {"blanks and capitals", ops::user_ref::Handle{" Alice "}, "alice"},
      {"tab and newline", ops::user_ref::Handle{"\tALICE\n"}, "alice"},
      {"stored text normalised", ops::user_ref::Handle{"mixed"}, "mixed"},
  };
  for (const Case& c : cases) {
    const auto resolved = ops::resolve_user_ref(h.state, kCrypto, c.reference);
    ASSERT_TRUE(resolved.has_value()) << c.name << ": " << resolved.error().message();
    EXPECT_EQ(resolved->user_id, user(7)) << c.name;
    EXPECT_EQ(resolved->handle, c.handle) << c.name;
  }
}

TEST(DataPrincipals, Failures) {
  Handles h;
  h.add_user(user(7));
  h.add_handle("alice", user(7));
  h.add_handle("ghost", user(9));  // points at a user who is not there

  using Kind = ops::OpsError::Kind;
  struct Case {
    const char* name;
    ops::UserRef reference;
    Kind kind;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"handle to a missing user", ops::user_ref::Handle{"Ghost"}, Kind::HandleToMissingUser,
       "user handle @ghost points to missing user " + user_debug(9)},
      {"unknown handle, shown normalised", ops::user_ref::Handle{" Nobody "}, Kind::UnknownUserHandle,
       "user handle @nobody does not exist"},
      {"id of a non-user", ops::user_ref::Id{user(9)}, Kind::UserMissingUserRecord,
       "user " + user_debug(9) + " is missing an active user record"},
      {"inner blank", ops::user_ref::Handle{"bad handle"}, Kind::InvalidUserHandle,
       "invalid user handle \"bad handle\": " + kReason},
      {"quoted as given", ops::user_ref::Handle{" A\"b\\\n"}, Kind::InvalidUserHandle,
       "invalid user handle \" A\\\"b\\\\\\n\": " + kReason},
      {"empty", ops::user_ref::Handle{""}, Kind::InvalidUserHandle, "invalid user handle \"\": " + kReason},
      {"only blanks", ops::user_ref::Handle{"  "}, Kind::InvalidUserHandle,
       "invalid user handle \"  \": " + kReason},
      {"leading dash", ops::user_ref::Handle{"-alice"}, Kind::InvalidUserHandle,
       "invalid user handle \"-alice\": " + kReason},
      {"trailing underscore", ops::user_ref::Handle{"alice_"}, Kind::InvalidUserHandle,
       "invalid user handle \"alice_\": " + kReason},
      {"65 characters", ops::user_ref::Handle{std::string(65, 'a')}, Kind::InvalidUserHandle,
       "invalid user handle \"" + std::string(65, 'a') + "\": " + kReason},
      {"64 characters is a handle", ops::user_ref::Handle{std::string(64, 'a')}, Kind::UnknownUserHandle,
       "user handle @" + std::string(64, 'a') + " does not exist"},
      {"non-ASCII letter", ops::user_ref::Handle{"\xC3\xA9mile"}, Kind::InvalidUserHandle,
       "invalid user handle \"\xC3\xA9mile\": " + kReason},
  };
  for (const Case& c : cases) {
    const auto resolved = ops::resolve_user_ref(h.state, kCrypto, c.reference);
    ASSERT_FALSE(resolved.has_value()) << c.name;
    EXPECT_EQ(resolved.error().kind(), c.kind) << c.name;
    EXPECT_EQ(resolved.error().message(), c.message) << c.name;
  }
}

}  // namespace
