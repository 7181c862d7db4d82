// Workspace paths from a vault path, the path pieces they rest on, and the
// state directory chosen from the environment.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "store_fixture.hpp"
#include "vornex/store/paths.hpp"

namespace {

using namespace vornex::store;
using vornex::core::HashValue;
using Opt = std::optional<std::string>;
using vornex::test::ScopedEnv;

const std::string kEuid = std::to_string(::geteuid());

TEST(Paths, PiecesByTheStoresRules) {
  struct Case {
    std::string path;
    Opt parent, name;
    std::string directory;
  };
  const Case cases[] = {
      {"/w/.vornex/vault.cord", "/w/.vornex", "vault.cord", "/w/.vornex"},
      {"vault.cord", "", "vault.cord", ""},
      {"a/b/", "a", "b", "a"},
      {"a//b//", "a", "b", "a"},
      {"a/./b", "a", "b", "a"},
      {"./a", ".", "a", "."},
      {"/a", "/", "a", "/"},
      {"a/..", "a", std::nullopt, "a"},
      {"..", "", std::nullopt, ""},
      {"/", std::nullopt, std::nullopt, "."},
      {"", std::nullopt, std::nullopt, "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto text = [](const std::optional<Path>& p) { return p ? Opt(p->native()) : std::nullopt; };
    EXPECT_EQ(text(parent_of(c.path)), c.parent);
    EXPECT_EQ(text(file_name_of(c.path)), c.name);
    EXPECT_EQ(directory_of(c.path).native(), c.directory);
  }
}

TEST(Paths, LiesWithinComparesComponents) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/tmp/vornex-0", "/tmp/vornex-0", true}, {"/tmp//vornex-0/a/", "/tmp/vornex-0", true},
      {"/tmp/./vornex-0/a", "/tmp/vornex-0/", true}, {"/tmp/vornex-01", "/tmp/vornex-0", false},
      {"/tmp", "/tmp/vornex-0", false},           {"tmp/vornex-0", "/tmp/vornex-0", false},
      {"./t/v/x", "t/v", true},
  };
  for (const auto& [path, base, within] : cases) EXPECT_EQ(lies_within(path, base), within) << path << " in " << base;
}

TEST(Paths, FromVaultPath) {
  const ScopedEnv env({{"VORNEX_STATE_DIR", "/state"}});
  struct Case {
    const char* vault;
    const char* root;
    const char* vornex_dir;
    const char* lock;
  };
  const Case cases[] = {
      {"/w/.vornex/vault.cord", "/w", "/w/.vornex", "/w/.vornex/vault.cord.lock"},
      {"/w/.vornex//vault.cord", "/w", "/w/.vornex", "/w/.vornex/vault.cord.lock"},
      {".vornex/vault.cord", "", ".vornex", ".vornex/vault.cord.lock"},
      {"/.vornex/vault.cord", "/", "/.vornex", "/.vornex/vault.cord.lock"},
      {"/w/data/v.cord", "/w/data", "/w/data", "/w/data/vault.cord.lock"},
      {"vault.cord", "", "", "vault.cord.lock"},
      {"/", ".", ".", "./vault.cord.lock"},
      {"/w/.Vornex/vault.cord", "/w/.Vornex", "/w/.Vornex", "/w/.Vornex/vault.cord.lock"},
      {"/w/.vornexx/vault.cord", "/w/.vornexx", "/w/.vornexx", "/w/.vornexx/vault.cord.lock"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vault);
    const WorkspacePaths paths = WorkspacePaths::from_vault_path(c.vault);
    EXPECT_EQ(paths.root().native(), c.root);
    EXPECT_EQ(paths.vornex_dir().native(), c.vornex_dir);
    EXPECT_EQ(paths.vault_path().native(), c.vault);
    EXPECT_EQ(paths.lock_path().native(), c.lock);
    EXPECT_EQ(paths.state_dir().native(), "/state");
  }
  const auto defaulted = WorkspacePaths::from_root_and_vornex_dir("/w", "/w/.vornex", std::nullopt);
  EXPECT_EQ(defaulted.vault_path().native(), "/w/.vornex/vault.cord");

  // The state directory is fixed when the value is built.
  const ScopedEnv moved({{"VORNEX_STATE_DIR", "/elsewhere"}});
  EXPECT_EQ(defaulted.state_dir().native(), "/state");
}

TEST(Paths, StateDirectoryFromEnvironment) {
  struct Case {
    Opt state, xdg, home, tmp;
    std::string expected;
  };
  const Case cases[] = {
      {"/s", "/x", "/h", "/t", "/s"},
      {"", "/x", "/h", "/t", ""},
      {std::nullopt, "/x", "/h", "/t", "/x/vornex"},
      {std::nullopt, "", "/h", "/t", "vornex"},
      {std::nullopt, std::nullopt, "/h", "/t", "/h/.local/state/vornex"},
      {std::nullopt, std::nullopt, "", "/t", ".local/state/vornex"},
      {std::nullopt, std::nullopt, std::nullopt, "/t", "/t/vornex-" + kEuid},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, "/tmp/vornex-" + kEuid},
      {std::nullopt, std::nullopt, std::nullopt, "", "/tmp/vornex-" + kEuid},
  };
  for (const Case& c : cases) {
    const ScopedEnv env({{"VORNEX_STATE_DIR", c.state}, {"XDG_STATE_HOME", c.xdg}, {"HOME", c.home}, {"TMPDIR", c.tmp}});
    EXPECT_EQ(default_state_dir().native(), c.expected);
  }
}

TEST(Paths, StateFilesUnderTheRootsHex) {
  const ScopedEnv env({{"VORNEX_STATE_DIR", "/s"}});
  const auto paths = WorkspacePaths::from_vault_path("/w/.vornex/vault.cord");
  const HashValue root({0x0a, 0xff}), owner({0x00, 0x01});
  EXPECT_EQ(ratchet_path(paths, root).native(), "/s/0aff/ratchet.cord");
  EXPECT_EQ(root_state_lock_path(paths, root).native(), "/s/0aff/state.lock");
  EXPECT_EQ(transaction_path(paths, root).native(), "/s/0aff/transaction.cord");
  EXPECT_EQ(join_commit_path(paths, root).native(), "/s/0aff/join-commit.cord");
  EXPECT_EQ(verification_cache_path(paths, root, owner).native(), "/s/0aff/0001/cache.cord");

  std::string padded;
  for (int i = 0; i < 32; ++i) padded += "0f";
  EXPECT_EQ(hex_hash(HashValue(cord::Bytes(32, 0x0f))), padded);
}

}  // namespace
