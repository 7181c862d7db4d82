// The keychain's files: where they live, their byte layout, their size caps
// and checks, and the keychain lock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "hex.hpp"
#include "keychain_seal.hpp"
#include "store_fixture.hpp"
#include "vornex/keychain/files.hpp"

namespace {

using namespace vornex;
using namespace vornex::keychain;
using namespace std::chrono_literals;
using test::ScopedEnv;
namespace fs = std::filesystem;

const cord::Bytes kRoot(32, 0x01);
const cord::Bytes kUser(32, 0xab);
const store::LockPolicy kShort{300ms, 20ms};

cord::Bytes read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return cord::Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_all(const fs::path& path, cord::ByteView bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

SealedIdentityV1 sample_identity(cord::ByteView root = kRoot, cord::ByteView user = kUser) {
  return SealedIdentityV1{cord::Bytes(root.begin(), root.end()), cord::Bytes(user.begin(), user.end()),
                          test::cheapest_kdf(), cord::Bytes(16, 0x11), cord::Bytes(12, 0x22), cord::Bytes(48, 0x33)};
}

class KeychainFiles : public test::TempDirTest {
 protected:
  fs::path base() const { return dir_ / "keychain"; }
};

TEST(KeychainBaseDir, PrecedenceAndEmptyValues) {
  struct Case {
    std::optional<std::string> keychain, xdg, home;
    std::string expected;
  } cases[] = {
      {"/k", "/x", "/h", "/k"},
      {"", "/x", "/h", ""},  // set but empty: used as it stands
      {std::nullopt, "/x", "/h", "/x/vornex"},
      {std::nullopt, "", "/h", "vornex"},
      {std::nullopt, std::nullopt, "/h", "/h/.local/share/vornex"},
  };
  for (const Case& c : cases) {
    const ScopedEnv env({{"VORNEX_KEYCHAIN_DIR", c.keychain}, {"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}});
    const auto base = default_base_dir();
    ASSERT_TRUE(base.has_value());
    EXPECT_EQ(base->native(), c.expected);
  }
  const ScopedEnv none({{"VORNEX_KEYCHAIN_DIR", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}, {"HOME", std::nullopt}});
  const auto base = default_base_dir();
  ASSERT_FALSE(base.has_value());
  EXPECT_EQ(base.error().message(),
            "passphrase identity keychain backend is unavailable: "
            "VORNEX_KEYCHAIN_DIR, APPDATA, XDG_DATA_HOME, and HOME are unset");
}

TEST(KeychainPaths, HexOfEveryByte) {
  EXPECT_EQ(hex_bytes(cord::Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  const std::string root_hex(64, '0');
  const std::string user_hex = "abab";
  EXPECT_EQ(identity_path("/b", cord::Bytes(32, 0), cord::Bytes{0xab, 0xab}).native(),
            "/b/" + root_hex + "/identities/" + user_hex + ".cord");
  EXPECT_EQ(current_user_path("/b", cord::Bytes{0x01}).native(), "/b/01/current-user.cord");
  EXPECT_EQ(keychain_path("/b", cord::Bytes{0x01}).native(), "/b/01/keychain.cord");
  EXPECT_EQ(legacy_user_keychain_path("/b", cord::Bytes{0xab}).native(), "/b/ab/keychain.cord");
}

// The file is the magic, four zero bytes for the store's only variant, then
// the record's fields: laid out here by hand, field by field.
TEST_F(KeychainFiles, IdentityLayoutRoundTripAndModes) {
  const SealedIdentityV1 sealed = sample_identity();
  const fs::path path = identity_path(base(), kRoot, kUser);
  ASSERT_TRUE(write_identity_exact(path, kRoot, kUser, sealed).has_value());

  const std::string expected_hex =
      std::string("766f726e65782d6964656e7469747900") + "00000000" +  // "vornex-identity" NUL, variant 0
      "00000020" + "0101010101010101010101010101010101010101010101010101010101010101" +
      "00000020" + "abababababababababababababababababababababababababababababababab" +
      "0000000d" + "6172676f6e3269642d76312e33" + "00002000" + "00000001" + "00000001" +
      "00000010" + std::string(32, '1') + "0000000c" + std::string(24, '2') + "00000030" + std::string(96, '3');
  EXPECT_EQ(test::to_hex(read_all(path)), expected_hex);

  const auto back = read_identity_at(path, kRoot, kUser);
  ASSERT_TRUE(back.has_value() && back->has_value());
  EXPECT_EQ(**back, sealed);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(mode_of(path.parent_path()), 0700u);
  EXPECT_FALSE(read_identity_at(identity_path(base(), kRoot, kRoot), kRoot, kRoot)->has_value());
}

TEST_F(KeychainFiles, ReaderRefusals) {
  const fs::path path = identity_path(base(), kRoot, kUser);
  cord::Bytes good = read_all([&] {
    EXPECT_TRUE(write_identity_exact(path, kRoot, kUser, sample_identity()).has_value());
    return path;
  }());
  const auto refusal = [&](cord::ByteView bytes) {
    write_all(path, bytes);
    auto result = read_identity_at(path, kRoot, kUser);
    return result ? std::string("read") : result.error().message();
  };
  const std::string prefix = "keychain file " + path.native() + " is invalid: ";
  EXPECT_EQ(refusal(cord::ByteView(good).first(15)), prefix + "missing identity magic prefix");
  cord::Bytes no_nul = good;
  no_nul[15] = '!';
  EXPECT_EQ(refusal(no_nul), prefix + "missing identity magic prefix");
  cord::Bytes trailing = good;
  trailing.push_back(0);
  EXPECT_EQ(refusal(trailing), "Cord error: Trailing bytes after deserialization");
  cord::Bytes other_variant = good;
  other_variant[19] = 1;
  EXPECT_NE(refusal(other_variant).find("Cord error: "), std::string::npos);

  // A valid identity of another user, copied under this user's name.
  const cord::Bytes other_user(32, 0xcd);
  ASSERT_TRUE(write_identity_exact(identity_path(base(), kRoot, other_user), kRoot, other_user,
                                   sample_identity(kRoot, other_user)).has_value());
  EXPECT_EQ(refusal(read_all(identity_path(base(), kRoot, other_user))),
            prefix + "identity does not match its root and user path");
  // The writer refuses the same mismatch before writing anything.
  const auto mismatched = write_identity_exact(path, kRoot, kUser, sample_identity(kRoot, other_user));
  ASSERT_FALSE(mismatched.has_value());
  EXPECT_EQ(mismatched.error().message(), prefix + "identity does not match its root and user path");
}

TEST_F(KeychainFiles, SizeCapsAtTheBoundary) {
  const fs::path path = identity_path(base(), kRoot, kUser);
  // Padding the ciphertext brings the file to exactly the cap.
  SealedIdentityV1 sealed = sample_identity();
  const std::size_t fixed = 16 + 4 + (4 + 32) * 2 + (4 + 13 + 12) + (4 + 16) + (4 + 12) + 4;
  sealed.ciphertext.assign(kIdentityFileLimit - fixed, 0x33);
  ASSERT_TRUE(write_identity_exact(path, kRoot, kUser, sealed).has_value());
  EXPECT_EQ(fs::file_size(path), kIdentityFileLimit);
  sealed.ciphertext.push_back(0x33);
  const auto too_large = write_identity_exact(path, kRoot, kUser, sealed);
  ASSERT_FALSE(too_large.has_value());
  EXPECT_EQ(too_large.error().message(),
            "keychain file " + path.native() + " is invalid: identity exceeds the supported size");
  cord::Bytes bigger = read_all(path);
  bigger.push_back(0);
  write_all(path, bigger);
  const auto read = read_identity_at(path, kRoot, kUser);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), KeychainError::Kind::Io);

  const fs::path current = current_user_path(base(), kRoot);
  // magic 20, variant 4, user 4 + 32, option tag 1, text length 4.
  const std::size_t selector_room = kCurrentUserFileLimit - (20 + 4 + 36 + 1 + 4);
  CurrentUserV1 user{kUser, std::string(selector_room, 'u')};
  ASSERT_TRUE(write_current_user_exact(current, user).has_value());
  EXPECT_EQ(fs::file_size(current), kCurrentUserFileLimit);
  user.selector->push_back('u');
  const auto refused = write_current_user_exact(current, user);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "keychain file " + current.native() +
                                           " is invalid: current-user selector exceeds the supported size");
  EXPECT_EQ(read_current_user_at(current)->value().selector->size(), selector_room);
}

TEST_F(KeychainFiles, CurrentUserRoundTripAndMagic) {
  const fs::path path = current_user_path(base(), kRoot);
  for (const CurrentUserV1& current : {CurrentUserV1{kUser, std::nullopt}, CurrentUserV1{kUser, "alice"}}) {
    ASSERT_TRUE(write_current_user_exact(path, current).has_value());
    EXPECT_EQ(read_current_user_at(path)->value(), current);
  }
  write_all(path, test::text_bytes("vornex-current-use"));
  EXPECT_EQ(read_current_user_at(path).error().message(),
            "keychain file " + path.native() + " is invalid: missing current-user magic prefix");
}

TEST_F(KeychainFiles, LinksAreRefusedButPresent) {
  const fs::path path = identity_path(base(), kRoot, kUser);
  ASSERT_TRUE(write_identity_exact(path, kRoot, kUser, sample_identity()).has_value());
  const fs::path link = identity_path(base(), kRoot, kRoot);
  fs::create_symlink(path, link);
  const auto read = read_identity_at(link, kRoot, kRoot);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), KeychainError::Kind::Io);
  EXPECT_TRUE(*path_present_no_follow(link));
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  EXPECT_TRUE(*path_present_no_follow(dir_ / "dangling"));
  EXPECT_FALSE(*path_present_no_follow(dir_ / "absent"));
}

TEST_F(KeychainFiles, CombinedKeychainMagicIsACordError) {
  const fs::path path = keychain_path(base(), kRoot);
  EXPECT_TRUE(read_keychain_records_at(path)->empty());
  write_all(path, test::text_bytes("vornex-keychain"));
  EXPECT_EQ(read_keychain_records_at(path).error().message(),
            "Cord error: Cord could not validate: not a vornex keychain file (missing magic prefix)");
}

TEST_F(KeychainFiles, LockIsPrivateExclusiveAndTimesOut) {
  const fs::path lock_path = base() / hex_bytes(kRoot) / "keychain.lock";
  auto held = acquire_keychain_lock(base(), kRoot, kShort);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(mode_of(lock_path.parent_path()), 0700u);
  EXPECT_EQ(mode_of(lock_path), 0600u);

  // Another process cannot take it; the text names the lock file.
  const pid_t child = ::fork();
  if (child == 0) {
    const auto contended = acquire_keychain_lock(base(), kRoot, kShort);
    const bool ok = !contended && contended.error().message() ==
                                      "timed out waiting for keychain lock at " + lock_path.native();
    ::_exit(ok ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  held = std::unexpected(KeychainError::unlock_failed());  // dropped: released
  EXPECT_TRUE(acquire_keychain_lock(base(), kRoot, kShort).has_value());
  EXPECT_TRUE(fs::exists(lock_path));

  fs::remove(lock_path);
  fs::create_symlink(dir_ / "elsewhere", lock_path);
  EXPECT_EQ(acquire_keychain_lock(base(), kRoot, kShort).error().kind(), KeychainError::Kind::Io);
}

}  // namespace
