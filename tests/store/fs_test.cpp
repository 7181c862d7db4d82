// Bounded reads, atomic writes and their modes, the vault file, durable
// removal, the fallback state directory, and what a killed writer leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "vornex/core/validate/vault_file.hpp"
#include "store_fixture.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/held_file.hpp"

namespace {

using namespace vornex::store;
namespace fs = std::filesystem;

const std::regex kTemporaryName(R"(^\.target\.tmp\.[0-9a-f]{32}$)");

class Fs : public vornex::test::TempDirTest {
 protected:
  Path at(const std::string& relative) const { return dir_ / relative; }
  void put(const Path& path, const std::string& content) const { std::ofstream(path) << content; }
  std::string get(const Path& path) const {
    const auto bytes = read_file_bounded(path, 1 << 20).value();
    return {bytes.begin(), bytes.end()};
  }
  static cord::ByteView view(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
  }
};

TEST_F(Fs, ReadRefusesWhatIsNotARegularFile) {
  ::alarm(10);  // a FIFO that blocked the open would hang here
  put(at("file"), "x");
  fs::create_symlink(at("file"), at("link"));
  fs::create_directory(at("dir"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  const std::tuple<const char*, IoKind, std::string> cases[] = {
      {"link", IoKind::Other, IoError::from_errno(ELOOP).message()},
      {"dir", IoKind::InvalidInput, "not a regular file"},
      {"fifo", IoKind::InvalidInput, "not a regular file"},
      {"missing", IoKind::NotFound, IoError::from_errno(ENOENT).message()},
      {"file/under", IoKind::Other, IoError::from_errno(ENOTDIR).message()},
  };
  for (const auto& [name, kind, text] : cases) {
    const auto read = read_file_bounded(at(name), 100);
    ASSERT_FALSE(read) << name;
    EXPECT_EQ(read.error().kind(), kind) << name;
    EXPECT_EQ(read.error().message(), text) << name;
  }
  ::alarm(0);
}

TEST_F(Fs, ReadLimitsOnReportedAndActualSize) {
  put(at("ten"), "0123456789");
  EXPECT_EQ(get(at("ten")), "0123456789");
  EXPECT_EQ(read_file_bounded(at("ten"), 10).value().size(), 10u);
  EXPECT_EQ(read_file_bounded(at("ten"), 9).error(),
            IoError::invalid_data("file is 10 bytes, above the supported maximum of 9"));
#ifdef __linux__
  // Reports size 0 and has more: the limit on the bytes actually read.
  EXPECT_GT(read_file_bounded("/proc/self/status", 1 << 20).value().size(), 10u);
  EXPECT_EQ(read_file_bounded("/proc/self/status", 10).error(),
            IoError::invalid_data("file exceeds the supported maximum of 10 bytes"));
#endif
}

// A read-back that compares as it reads: every byte counts, across the
// pieces it reads in, and it refuses what the bounded read refuses.
TEST_F(Fs, FileHoldsComparesEveryByteAndRefusesAsTheReadDoes) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;  // the pieces it compares in
  std::string large(3 * kPiece + 17, 'a');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 23);
  std::string late = large;
  late[2 * kPiece - 1] ^= 1;  // the last byte of the second piece
  std::string first = large;
  first[0] ^= 1;
  put(at("large"), large);
  put(at("empty"), "");
  struct Case {
    const char* name;
    const char* file;
    std::string expected;
    bool holds;
  };
  const Case cases[] = {
      {"equal", "large", large, true},
      {"a byte of a later piece differs", "large", late, false},
      {"the first byte differs", "large", first, false},
      {"one byte shorter", "large", large.substr(0, large.size() - 1), false},
      {"one byte longer", "large", large + "a", false},
      {"both empty", "empty", "", true},
      {"empty, one byte expected", "empty", "a", false},
  };
  for (const Case& c : cases) {
    const auto holds = file_holds(at(c.file), view(c.expected), 4 * kPiece);
    ASSERT_TRUE(holds) << c.name << ": " << holds.error().message();
    EXPECT_EQ(*holds, c.holds) << c.name;
  }
#ifdef __linux__
  // Reports size 0 and has more: read on, and found to differ.
  EXPECT_FALSE(file_holds("/proc/self/status", {}, 1 << 20).value());
#endif

  fs::create_symlink(at("large"), at("link"));
  fs::create_directory(at("dir"));
  for (const auto& [name, max] : {std::pair{"link", 4 * kPiece}, {"dir", 4 * kPiece}, {"missing", 4 * kPiece},
                                  {"large", large.size() - 1}}) {
    const auto holds = file_holds(at(name), view(large), max);
    const auto read = read_file_bounded(at(name), max);
    ASSERT_FALSE(holds) << name;
    ASSERT_FALSE(read) << name;
    EXPECT_EQ(holds.error(), read.error()) << name;
  }
}

// A held read answers "still there, unchanged" only for the very file it
// read, untouched; anything a writer or an editor does to the path says
// otherwise, whatever the content.
TEST_F(Fs, HeldReadTellsWhetherThePathStillNamesTheFile) {
  const std::string content = "0123456789";
  const auto set_mtime = [&](const Path& path, long seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  struct Case {
    const char* name;
    std::function<void(const Path&)> change;
    bool still;
  };
  const std::vector<Case> cases = {
      {"untouched", [](const Path&) {}, true},
      {"read again by someone else", [&](const Path& p) { (void)get(p); }, true},
      {"replaced by rename with the same bytes",
       [&](const Path& p) {
         put(at("next"), content);
         set_mtime(at("next"), 1'000'000);
         ASSERT_EQ(::rename(at("next").c_str(), p.c_str()), 0);
       },
       false},
      {"rewritten in place with other bytes of the same size",
       [&](const Path& p) {
         put(p, "9876543210");
         set_mtime(p, 2'000'000);
       },
       false},
      {"only its times changed", [&](const Path& p) { set_mtime(p, 3'000'000); }, false},
      {"grown", [&](const Path& p) { std::ofstream(p, std::ios::app) << "x"; }, false},
      {"removed", [](const Path& p) { fs::remove(p); }, false},
      {"a link to it in its place",
       [&](const Path& p) {
         fs::rename(p, at("moved"));
         fs::create_symlink(at("moved"), p);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(at("file"));
    fs::remove_all(at("moved"));
    put(at("file"), content);
    set_mtime(at("file"), 500'000);
    auto held = read_file_held(at("file"), 100);
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ(std::string(held->bytes().begin(), held->bytes().end()), content);
    c.change(at("file"));
    EXPECT_EQ(held->still_at(at("file")), c.still);
    held->release();
    EXPECT_FALSE(held->still_at(at("file")));
  }
#ifdef __linux__
  // Reports size 0 and has more: a read that did not get what fstat said
  // never vouches for the file.
  auto status = read_file_held("/proc/self/status", 1 << 20);
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(status->still_at("/proc/self/status"));
#endif
  // The same failures as the plain read.
  EXPECT_EQ(read_file_held(at("missing"), 100).error(), read_file_bounded(at("missing"), 100).error());
  fs::create_directory(at("dir"));
  EXPECT_EQ(read_file_held(at("dir"), 100).error(), IoError::invalid_input("not a regular file"));
  EXPECT_EQ(read_file_held(at("file"), 9).error(), read_file_bounded(at("file"), 9).error());
}

TEST_F(Fs, WriteModes) {
  struct Case {
    bool private_mode;
    mode_t umask;
    unsigned file, dir;
  };
  const Case cases[] = {{true, 022, 0600, 0700}, {true, 0277, 0600, 0700}, {false, 022, 0600, 0777}};
  for (const Case& c : cases) {
    // An existing tree wider than wanted: only the file and its directory change.
    fs::remove_all(at("a"));
    fs::create_directories(at("a/b"));
    fs::permissions(at("a"), fs::perms::all);
    fs::permissions(at("a/b"), fs::perms::all);
    put(at("a/b/t"), "old");
    fs::permissions(at("a/b/t"), fs::perms::all);
    ::umask(c.umask);
    ASSERT_TRUE(write_private_atomic_inner(at("a/b/t"), view("new"), c.private_mode));
    ASSERT_TRUE(write_private_atomic_inner(at("a/c/t"), view("fresh"), c.private_mode));
    ::umask(022);
    EXPECT_EQ(get(at("a/b/t")), "new");
    EXPECT_EQ(mode_of(at("a/b/t")), c.file);
    EXPECT_EQ(mode_of(at("a/b")), c.dir);
    EXPECT_EQ(mode_of(at("a")), 0777u);
    EXPECT_EQ(mode_of(at("a/c/t")), c.file);
    if (c.private_mode) {
      EXPECT_EQ(mode_of(at("a/c")), 0700u);
    }
  }
}

TEST_F(Fs, FailuresNameTheirPathAndLeaveNothing) {
  put(at("file"), "x");
  // A name that fits but whose temporary does not: creating it fails.
  const std::string long_name(240, 'n');
  fs::create_directory(at("d"));
  const auto tmp_failure = write_private_atomic_inner(at("d/" + long_name), view("x"), true);
  ASSERT_FALSE(tmp_failure);
  EXPECT_EQ(tmp_failure.error().path()->parent_path(), at("d"));
  EXPECT_TRUE(tmp_failure.error().path()->filename().native().starts_with("." + long_name + ".tmp."));
  EXPECT_EQ(tmp_failure.error().io_error()->os_error(), ENAMETOOLONG);
  EXPECT_TRUE(fs::is_empty(at("d")));

  const auto dir_failure = write_private_atomic_inner(at("file/sub/t"), view("x"), true);
  EXPECT_EQ(*dir_failure.error().path(), at("file/sub"));
  EXPECT_EQ(dir_failure.error().io_error()->os_error(), ENOTDIR);
}

TEST_F(Fs, TemporaryNames) {
  const std::tuple<Path, std::string> cases[] = {
      {"/w/vault.cord", R"(^/w/\.vault\.cord\.tmp\.[0-9a-f]{32}$)"},
      {"vault.cord", R"(^\.vault\.cord\.tmp\.[0-9a-f]{32}$)"},
      {"/w/\xff.cord", R"(^/w/\.vornex-write\.tmp\.[0-9a-f]{32}$)"},
  };
  for (const auto& [target, pattern] : cases) {
    EXPECT_TRUE(std::regex_match(temporary_path_for(target).native(), std::regex(pattern))) << target;
  }
  EXPECT_NE(temporary_path_for("t"), temporary_path_for("t"));
}

TEST_F(Fs, RemoveFileDurable) {
  put(at("file"), "x");
  EXPECT_TRUE(remove_file_durable(at("file")));
  EXPECT_FALSE(fs::exists(at("file")));
  EXPECT_TRUE(remove_file_durable(at("file")));
  put(at("file"), "x");
  EXPECT_EQ(remove_file_durable(at("file/x")).error().io_error()->os_error(), ENOTDIR);
}

TEST_F(Fs, VaultWriteAndRead) {
  const auto paths = WorkspacePaths::from_vault_path(at("w/.vornex/vault.cord"));
  EXPECT_EQ(read_vault(paths).error(), StoreError::vault_missing(paths.vault_path()));

  const cord::Bytes empty = vornex::core::validate::encode_vault({}).value();
  ASSERT_TRUE(write_vault_bytes_atomic(paths, empty));
  EXPECT_EQ(read_vault_bytes(paths).value(), empty);
  EXPECT_TRUE(read_vault(paths).value().empty());
  EXPECT_EQ(mode_of(paths.vault_path()), 0644u);
  EXPECT_EQ(mode_of(paths.vornex_dir()), 0755u);

  // Undecodable bytes are refused after the rename: the new file stays.
  const auto garbage = write_vault_bytes_atomic(paths, view("garbage"));
  EXPECT_EQ(garbage.error().message(), "vault file " + paths.vault_path().native() +
                                           " is invalid: validation failed: not a vornex vault file (missing "
                                           "magic prefix)");
  EXPECT_EQ(get(paths.vault_path()), "garbage");

  // Sparse: the size is refused from fstat, nothing is read.
  ASSERT_EQ(::truncate(paths.vault_path().c_str(), kVaultFileLimit + 1), 0);
  EXPECT_EQ(read_vault_bytes(paths).error().message(),
            "vault file " + paths.vault_path().native() +
                " is invalid: validation failed: file is 268435457 bytes, above the supported maximum of 268435456");
  fs::remove(paths.vault_path());
  fs::create_directory(paths.vault_path());
  EXPECT_EQ(read_vault_bytes(paths).error(),
            StoreError::io(paths.vault_path(), IoError::invalid_input("not a regular file")));
}

// The read-back by bytes alone: what differs, or is missing, fails as the
// decoding read-back does; bytes that are no vault pass, as nothing is
// decoded.
TEST_F(Fs, VaultReadBackByBytesAlone) {
  const auto paths = WorkspacePaths::from_vault_path(at("w/.vornex/vault.cord"));
  const std::string vault = paths.vault_path().native();
  EXPECT_EQ(verify_vault_bytes_equal(paths, view("x")).error(), StoreError::vault_missing(paths.vault_path()));
  const cord::Bytes empty = vornex::core::validate::encode_vault({}).value();
  ASSERT_TRUE(write_vault_bytes_atomic(paths, empty));
  EXPECT_TRUE(verify_vault_bytes_equal(paths, empty));
  ASSERT_EQ(empty.size(), 21u);
  cord::Bytes other = empty;
  other[20] ^= 1;
  for (const auto& differs : {other, cord::Bytes(empty.begin(), empty.end() - 1)}) {
    EXPECT_EQ(verify_vault_bytes_equal(paths, differs).error().message(),
              "vault file " + vault + " is invalid: validation failed: vault bytes differed immediately after "
                                      "atomic write");
    EXPECT_EQ(verify_vault_bytes_equal(paths, differs).error(), verify_vault_bytes(paths, differs).error());
  }
  put(paths.vault_path(), "garbage");
  EXPECT_TRUE(verify_vault_bytes_equal(paths, view("garbage")));
  ASSERT_EQ(::truncate(paths.vault_path().c_str(), kVaultFileLimit + 1), 0);
  EXPECT_EQ(verify_vault_bytes_equal(paths, view("garbage")).error(), read_vault_bytes(paths).error());
}

TEST_F(Fs, OversizedVaultTouchesNothing) {
  // Address space only: any read of these bytes would fault.
  const std::size_t size = kVaultFileLimit + 1;
  void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const auto paths = WorkspacePaths::from_vault_path(at("w/.vornex/vault.cord"));
  const auto refused = write_vault_bytes_atomic(paths, {static_cast<const std::uint8_t*>(region), size});
  ::munmap(region, size);
  EXPECT_EQ(refused.error().message(),
            "vault file " + paths.vault_path().native() +
                " is invalid: validation failed: vault is 268435457 bytes, above the supported maximum of 268435456");
  EXPECT_FALSE(fs::exists(at("w")));
}

TEST_F(Fs, FallbackStateDirectoryMustBeOurs) {
  const vornex::test::ScopedEnv tmpdir("TMPDIR", dir_);
  const Path fallback = fallback_state_dir();
  fs::create_directory(at("elsewhere"));
  const std::function<bool()> setups[] = {
      [&] { return fs::create_directory_symlink(at("elsewhere"), fallback), true; },
      [&] { return put(fallback, ""), true; },
      [&] { return fs::create_directory(fallback) && ::chmod(fallback.c_str(), 0770) == 0; },
      [&] { return fs::create_directory(fallback) && ::chown(fallback.c_str(), 4242, -1) == 0; },
  };
  for (const auto& setup : setups) {
    fs::remove_all(fallback);
    if (!setup()) continue;  // chown needs root
    const auto refused = write_private_atomic_inner(fallback / "0a" / "ratchet.cord", view("x"), true);
    ASSERT_FALSE(refused);
    EXPECT_EQ(*refused.error().path(), fallback);
    EXPECT_TRUE(refused.error().message().contains("refusing insecure state directory")) << refused.error().message();
    EXPECT_TRUE(fs::is_empty(at("elsewhere")));
    // Places outside it are not affected.
    EXPECT_TRUE(create_private_dir_all(at("other")));
  }
  // One handed out stays checked after the environment has moved on.
  fs::remove_all(fallback);
  ASSERT_TRUE(fs::create_directory(fallback) && ::chmod(fallback.c_str(), 0777) == 0);
  {
    const vornex::test::ScopedEnv moved("TMPDIR", at("elsewhere"));
    EXPECT_FALSE(write_private_atomic_inner(fallback / "0b" / "ratchet.cord", view("x"), true));
  }
  fs::remove_all(fallback);
  EXPECT_TRUE(create_private_dir_all(fallback / "0a"));
  EXPECT_EQ(mode_of(fallback), 0700u);
  EXPECT_EQ(mode_of(fallback / "0a"), 0700u);
}

// Only exact names of our own pattern for the given targets are removed:
// a dot, the target's name (or "vornex-write" for one that is not UTF-8),
// ".tmp." and 32 lower-case hexadecimal digits.
TEST_F(Fs, StaleTemporariesOfTheTargetsOnly) {
  const std::string hex32 = "0123456789abcdef0123456789abcdef";
  const std::string removed[] = {".vault.cord.tmp." + hex32, ".ratchet.cord.tmp." + hex32,
                                 ".vornex-write.tmp." + hex32, ".vault.cord.tmp." + std::string(32, 'f')};
  const std::string kept[] = {
      ".vault.cord.tmp." + hex32.substr(1),          // 31 digits
      ".vault.cord.tmp." + hex32 + "0",              // 33 digits
      ".vault.cord.tmp.0123456789ABCDEF0123456789abcdef",  // upper case
      ".vault.cord.tmp.0123456789abcdef0123456789abcdeg",  // not hexadecimal
      ".cache.cord.tmp." + hex32,                    // not a target given
      "vault.cord.tmp." + hex32,                     // no leading dot
      ".vault.cord.tmp-" + hex32,
      "vault.cord",
  };
  for (const auto& name : removed) put(at(name), "stale");
  for (const auto& name : kept) put(at(name), "kept");
  fs::create_directory(at(".ratchet.cord.tmp." + std::string(32, '0')));  // not a file: stays, no harm
  remove_stale_temporaries(dir_, {at("vault.cord"), at("ratchet.cord"), at("\xff.cord")});
  for (const auto& name : removed) EXPECT_FALSE(fs::exists(at(name))) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(at(name))) << name;
  EXPECT_TRUE(fs::is_directory(at(".ratchet.cord.tmp." + std::string(32, '0'))));
  // A directory that cannot be listed is left alone.
  remove_stale_temporaries(at("missing"), {at("missing/vault.cord")});
}

// A writer killed at any moment leaves the old or the new content, never a
// mix, and at most stray temporaries that no reader opens.
TEST_F(Fs, KilledWriterLeavesOneWholeContent) {
  const std::string a(64 << 10, 'A'), b(64 << 10, 'B');
  const Path target = at("target");
  ASSERT_TRUE(write_private_atomic_inner(target, view(a), true));
  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 20; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (bool flip = false;; flip = !flip) (void)write_private_atomic_inner(target, view(flip ? a : b), true);
    }
    ::usleep(1000 * std::uniform_int_distribution<unsigned>(1, 20)(rng));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const std::string content = get(target);
    ASSERT_TRUE(content == a || content == b) << "round " << round;
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path() != target) {
      EXPECT_TRUE(std::regex_match(entry.path().filename().native(), kTemporaryName)) << entry.path();
    }
  }
}

}  // namespace
