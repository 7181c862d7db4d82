// Splitting the older keychain layouts: what moves, what stays, what
// blocks, and that a second run finds nothing left to do.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "store_fixture.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/keychain/migrate.hpp"
#include "vornex/store/fs.hpp"

namespace {

using namespace vornex;
using namespace vornex::keychain;
namespace fs = std::filesystem;

const cord::Bytes kRootA(32, 0x0a);
const cord::Bytes kRootB(32, 0x0b);
const cord::Bytes kAlice(32, 0xa1);
const cord::Bytes kBob(32, 0xb0);

SealedIdentityV1 identity(const cord::Bytes& root, const cord::Bytes& user, std::uint8_t fill = 0x33) {
  return SealedIdentityV1{root, user, KdfParamsV1{"argon2id-v1.3", 8'192, 1, 1}, cord::Bytes(16, 0x11),
                          cord::Bytes(12, 0x22), cord::Bytes(48, fill)};
}

cord::Evolving<KeychainRecordV1> record(KeychainRecordV1 r) { return cord::Evolving<KeychainRecordV1>(std::move(r)); }

class Migrations : public test::TempDirTest {
 protected:
  fs::path base() const { return dir_ / "keychain"; }

  void write_keychain(const fs::path& path, std::vector<cord::Evolving<KeychainRecordV1>> records) {
    const auto bytes = encode_keychain_records(KeychainRecords::from(std::move(records)).value());
    ASSERT_TRUE(store::write_private_atomic_inner(path, *bytes, true).has_value());
  }
  std::optional<SealedIdentityV1> stored(const cord::Bytes& root, const cord::Bytes& user) {
    return read_identity_at(identity_path(base(), root, user), root, user).value();
  }
  std::string combined_error() {
    auto result = migrate_root_combined_locked(base(), kRootA);
    return result ? "ok" : result.error().message();
  }
  std::string legacy_error(const cord::Bytes& root) {
    auto result = migrate_legacy_user_locked(base(), root, kAlice, legacy(), {});
    return result ? "ok" : result.error().message();
  }
  fs::path combined() const { return keychain_path(base(), kRootA); }
  fs::path legacy() const { return legacy_user_keychain_path(base(), kAlice); }
  std::string invalid(const fs::path& path, const std::string& reason) const {
    return "keychain file " + path.native() + " is invalid: " + reason;
  }
};

TEST_F(Migrations, CombinedSplitsIntoIdentityAndCurrentUserFiles) {
  const CurrentUserV1 current{kAlice, "alice"};
  write_keychain(combined(), {record(identity(kRootA, kAlice)), record(identity(kRootA, kBob)), record(current)});
  EXPECT_EQ(combined_error(), "ok");
  EXPECT_EQ(stored(kRootA, kAlice), identity(kRootA, kAlice));
  EXPECT_EQ(stored(kRootA, kBob), identity(kRootA, kBob));
  EXPECT_EQ(read_current_user_at(current_user_path(base(), kRootA))->value(), current);
  EXPECT_FALSE(fs::exists(combined()));
  EXPECT_EQ(combined_error(), "ok");  // nothing left to do
}

TEST_F(Migrations, CurrentUserReaderSplitsTheCombinedKeychainFirst) {
  EXPECT_FALSE(read_current_user(base(), kRootA).value().has_value());
  write_keychain(combined(), {record(CurrentUserV1{kBob, "bob"})});
  EXPECT_EQ(read_current_user(base(), kRootA).value(), (CurrentUserV1{kBob, "bob"}));
  EXPECT_FALSE(fs::exists(combined()));
}

TEST_F(Migrations, CombinedWithEqualFilesAlreadyThereWritesNothing) {
  write_keychain(combined(), {record(identity(kRootA, kAlice))});
  ASSERT_TRUE(write_identity_exact(identity_path(base(), kRootA, kAlice), kRootA, kAlice, identity(kRootA, kAlice)));
  const auto before = fs::last_write_time(identity_path(base(), kRootA, kAlice));
  EXPECT_EQ(combined_error(), "ok");
  EXPECT_EQ(fs::last_write_time(identity_path(base(), kRootA, kAlice)), before);
  EXPECT_FALSE(fs::exists(combined()));
}

TEST_F(Migrations, CombinedRefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::vector<cord::Evolving<KeychainRecordV1>> records;
    std::string reason;
  } cases[] = {
      {"an unknown kind",
       {record(identity(kRootA, kAlice)), cord::Evolving<KeychainRecordV1>::unknown(cord::Bytes{0, 0, 0, 7})},
       "combined keychain has unknown records with no safe split destination"},
      {"another root", {record(identity(kRootA, kAlice)), record(identity(kRootB, kBob))},
       "combined keychain contains an identity for another root"},
      {"two current users", {record(CurrentUserV1{kAlice, {}}), record(CurrentUserV1{kBob, {}})},
       "combined keychain contains multiple current-user selectors"},
  };
  for (auto& c : cases) {
    write_keychain(combined(), c.records);
    EXPECT_EQ(combined_error(), invalid(combined(), c.reason)) << c.what;
    EXPECT_FALSE(fs::exists(base() / hex_bytes(kRootA) / "identities")) << c.what;
    EXPECT_TRUE(fs::exists(combined())) << c.what;
  }
}

// Two different identities of one user (sealed under two passphrases)
// cannot both be split: the second would overwrite the first's new file,
// and removing the older file would then lose it for good. Refused before
// the first is written, in both older layouts, and the older file stays.
TEST_F(Migrations, TwoIdentitiesForOneUserAreRefusedWhole) {
  struct Layout {
    const char* name;
    std::function<fs::path()> file;
    std::function<std::string()> run;
    const char* reason;
  };
  const Layout layouts[] = {
      {"combined", [&] { return combined(); }, [&] { return combined_error(); },
       "split identity conflicts with the combined keychain"},
      {"legacy", [&] { return legacy(); }, [&] { return legacy_error(kRootA); },
       "split identity conflicts with the legacy user keychain"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    fs::remove_all(base());
    const fs::path older = layout.file();
    write_keychain(older, {record(identity(kRootA, kBob)), record(identity(kRootA, kAlice, 0x33)),
                           record(identity(kRootA, kAlice, 0x44))});
    const std::string expected = invalid(identity_path(base(), kRootA, kAlice), layout.reason);
    EXPECT_EQ(layout.run(), expected);
    EXPECT_EQ(layout.run(), expected);  // and again: nothing was half done
    EXPECT_FALSE(stored(kRootA, kBob).has_value());
    EXPECT_FALSE(stored(kRootA, kAlice).has_value());
    EXPECT_EQ(read_keychain_records_at(older)->size(), 3u);
  }
}

TEST_F(Migrations, CombinedConflictsNameTheFileAndKeepBoth) {
  write_keychain(combined(), {record(identity(kRootA, kAlice)), record(CurrentUserV1{kAlice, {}})});
  const fs::path alice = identity_path(base(), kRootA, kAlice);
  ASSERT_TRUE(write_identity_exact(alice, kRootA, kAlice, identity(kRootA, kAlice, 0x55)));
  EXPECT_EQ(combined_error(), invalid(alice, "split identity conflicts with the combined keychain"));
  EXPECT_EQ(stored(kRootA, kAlice), identity(kRootA, kAlice, 0x55));
  EXPECT_TRUE(fs::exists(combined()));

  // With the identity settled, a different current user blocks next.
  ASSERT_TRUE(write_identity_exact(alice, kRootA, kAlice, identity(kRootA, kAlice)));
  const fs::path current = current_user_path(base(), kRootA);
  ASSERT_TRUE(write_current_user_exact(current, CurrentUserV1{kBob, {}}));
  EXPECT_EQ(combined_error(), invalid(current, "split current-user selector conflicts with the combined keychain"));
  EXPECT_TRUE(fs::exists(combined()));

  // Resolved by hand, the next run completes what is missing.
  fs::remove(current);
  EXPECT_EQ(combined_error(), "ok");
  EXPECT_EQ(read_current_user_at(current)->value(), (CurrentUserV1{kAlice, {}}));
  EXPECT_FALSE(fs::exists(combined()));
}

TEST_F(Migrations, LegacyMovesOneRootAtATime) {
  const CurrentUserV1 current{kAlice, {}};
  write_keychain(legacy(), {record(identity(kRootA, kAlice)), record(identity(kRootA, kBob)),
                            record(identity(kRootB, kAlice)), record(current)});
  EXPECT_EQ(legacy_error(kRootA), "ok");
  EXPECT_EQ(stored(kRootA, kAlice), identity(kRootA, kAlice));
  EXPECT_EQ(stored(kRootA, kBob), identity(kRootA, kBob));
  EXPECT_EQ(read_keychain_records_at(legacy()).value(),
            KeychainRecords::from({record(identity(kRootB, kAlice)), record(current)}).value());

  EXPECT_EQ(legacy_error(kRootB), "ok");
  EXPECT_EQ(stored(kRootB, kAlice), identity(kRootB, kAlice));
  // The current-user record alone is left: no split moves it.
  EXPECT_EQ(read_keychain_records_at(legacy()).value(), KeychainRecords::from({record(current)}).value());
  EXPECT_TRUE(fs::exists(legacy().parent_path() / "keychain.lock"));
}

TEST_F(Migrations, LegacyWithNothingForThisRootIsNotTouched) {
  write_keychain(legacy(), {record(identity(kRootB, kAlice))});
  const auto before = fs::last_write_time(legacy());
  EXPECT_EQ(legacy_error(kRootA), "ok");
  EXPECT_EQ(fs::last_write_time(legacy()), before);

  write_keychain(legacy(), {record(identity(kRootA, kAlice))});
  EXPECT_EQ(legacy_error(kRootA), "ok");
  EXPECT_FALSE(fs::exists(legacy()));  // nothing remained
  EXPECT_EQ(legacy_error(kRootA), "ok");
}

TEST_F(Migrations, LegacyConflictKeepsTheLegacyFile) {
  write_keychain(legacy(), {record(identity(kRootA, kAlice)), record(identity(kRootA, kBob))});
  const fs::path bob = identity_path(base(), kRootA, kBob);
  ASSERT_TRUE(write_identity_exact(bob, kRootA, kBob, identity(kRootA, kBob, 0x66)));
  EXPECT_EQ(legacy_error(kRootA), invalid(bob, "split identity conflicts with the legacy user keychain"));
  EXPECT_FALSE(stored(kRootA, kAlice).has_value());  // checked before anything was written
  EXPECT_EQ(read_keychain_records_at(legacy())->size(), 2u);
}

}  // namespace
