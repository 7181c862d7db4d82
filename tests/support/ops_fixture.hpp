// What the operations' tests share: a fresh directory per test holding
// workspaces, one state directory and one keychain directory (both set in
// the environment for the whole test, so nothing reaches the real home),
// vault and ratchet files laid out from records signed by the shared test
// identities, and the two recovery hashes computed from their domains.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <expected>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "must.hpp"
#include "store_fixture.hpp"
#include "vault_builder.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/paths.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace vornex::test {

using namespace std::chrono_literals;

// Lock waits short enough to keep the suite fast, long enough for a
// loaded machine to take a free lock.
inline const store::LockPolicy kShortWait{300ms, 20ms};

inline cord::Bytes bytes_of(std::string_view text) { return cord::Bytes(text.begin(), text.end()); }

// The whole file, or none when nothing is there.
inline std::optional<cord::Bytes> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return cord::Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void write_raw(const std::filesystem::path& path, const cord::Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("test setup failed: cannot write " + path.native());
}

inline ino_t inode_of(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Waits for a child for at most `limit`, then kills it; its exit code, or
// -1 when it did not exit normally.
inline int reap(pid_t child, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ADD_FAILURE() << "child " << child << " did not finish in time";
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

class OpsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    env_.emplace(std::initializer_list<std::pair<std::string, ScopedEnv::Value>>{
        {"VORNEX_STATE_DIR", (dir_ / "state").native()},
        {"VORNEX_KEYCHAIN_DIR", (dir_ / "keychain").native()}});
    paths_.emplace(workspace("ws"));
  }
  void TearDown() override {
    env_.reset();
    TempDirTest::TearDown();
  }

  static const VaultBuilder& b() { return shared_builder(); }
  static const crypto::Crypto& crypto() { return b().crypto(); }
  static const core::HashValue& root() {
    static const core::HashValue fingerprint = must(core::key_hash(b().crypto(), b().root().signing_public_key()));
    return fingerprint;
  }

  // The paths of the workspace directory `name` (vault in its ".vornex").
  store::WorkspacePaths workspace(const std::string& name) const {
    return store::WorkspacePaths::from_vault_path(dir_ / name / ".vornex" / "vault.cord");
  }
  const store::WorkspacePaths& paths() const { return *paths_; }

  // Root, then user 2 made effective by the root, then `more`.
  static std::vector<core::VaultRecordV1> base_records(std::vector<core::VaultRecordV1> more = {}) {
    std::vector<core::VaultRecordV1> records{b().vault_root(), b().user(b().root(), b().identity(2)),
                                             b().entry_point(b().identity(2))};
    for (auto& record : more) records.push_back(std::move(record));
    return records;
  }
  static cord::Set<core::VaultRecordV1> record_set(std::vector<core::VaultRecordV1> records) {
    return must(cord::Set<core::VaultRecordV1>::from(std::move(records)));
  }
  static cord::Bytes vault_file(std::vector<core::VaultRecordV1> records) {
    return must(core::validate::encode_vault(record_set(std::move(records))));
  }

  // The ratchet that validating `records` against `start` leaves trusted.
  static core::Ratchet raised(const std::vector<core::VaultRecordV1>& records, core::Ratchet start) {
    auto report = must(core::validate::validate_vault(record_set(records), start, crypto()));
    if (!report.issues.empty()) throw std::runtime_error("test setup failed: records do not validate");
    start.apply_update(report.ratchet_update);
    return start;
  }
  static core::Ratchet empty_ratchet(const core::HashValue& fingerprint = root()) {
    return core::Ratchet::make(fingerprint.to_vec());
  }
  static cord::Bytes ratchet_file(const core::Ratchet& ratchet) { return must(store::encode_ratchet(ratchet)); }

  // A vault change: the records before and after, the ratchet each leaves
  // trusted, and the files of both.
  struct Change {
    std::vector<core::VaultRecordV1> records0, records1;
    core::Ratchet ratchet0 = core::Ratchet::make({});
    core::Ratchet ratchet1 = core::Ratchet::make({});
    cord::Bytes v0, v1, r0, r1;
  };
  // From the base records to the base records and `added`.
  static Change change(std::vector<core::VaultRecordV1> added) {
    Change c;
    c.records0 = base_records();
    c.records1 = base_records(std::move(added));
    c.ratchet0 = raised(c.records0, empty_ratchet());
    c.ratchet1 = raised(c.records1, c.ratchet0);
    c.v0 = vault_file(c.records0);
    c.v1 = vault_file(c.records1);
    c.r0 = ratchet_file(c.ratchet0);
    c.r1 = ratchet_file(c.ratchet1);
    return c;
  }

  void put_vault(const cord::Bytes& bytes, const store::WorkspacePaths* at = nullptr) const {
    must(store::write_vault_bytes_atomic(at ? *at : paths(), bytes));
  }
  void put_ratchet(const cord::Bytes& bytes) const { must(store::write_ratchet_bytes_atomic(paths(), root(), bytes)); }

  std::optional<cord::Bytes> vault_now(const store::WorkspacePaths* at = nullptr) const {
    return file_bytes((at ? *at : paths()).vault_path());
  }
  std::optional<cord::Bytes> ratchet_now() const { return file_bytes(store::ratchet_path(paths(), root())); }
  bool transaction_exists() const { return std::filesystem::exists(store::transaction_path(paths(), root())); }
  bool journal_exists() const { return std::filesystem::exists(store::join_commit_path(paths(), root())); }

  // The hashes recovery recognises file states by, from their domains.
  static core::HashValue tx_hash(const cord::Bytes& bytes) {
    return crypto().hash(bytes_of("vornex.transaction-file.v1"), bytes);
  }
  static core::HashValue journal_hash(const cord::Bytes& bytes) {
    return crypto().hash(bytes_of("vornex.join-commit.v1"), bytes);
  }

  // A transaction recorded for the vault of `at` (this workspace by default).
  store::TransactionV1 transaction(store::FilePreconditionV1 vault_before, store::FilePreconditionV1 ratchet_before,
                                   cord::Bytes next_vault, cord::Bytes next_ratchet,
                                   const store::WorkspacePaths* at = nullptr) const {
    return {cord::Bytes(32, 0x5a),
            root(),
            must(store::NativePathV1::canonical((at ? *at : paths()).vault_path())),
            "vault mutation",
            std::move(vault_before),
            std::move(ratchet_before),
            std::move(next_vault),
            std::move(next_ratchet)};
  }
  static store::FilePreconditionV1 before_hash(const cord::Bytes& bytes) {
    return store::FilePreconditionV1::Hash{tx_hash(bytes)};
  }

  // The exclusive root-state lock, then the workspace lock, as a writer
  // holds them.
  struct WriterLocks {
    store::RootStateLock root_state;
    store::WorkspaceLock workspace;
  };
  WriterLocks writer_locks(const store::WorkspacePaths* at = nullptr) const {
    const store::WorkspacePaths& p = at ? *at : paths();
    auto root_state = must(store::acquire_root_state_lock(p, root(), kShortWait));
    auto workspace = must(store::acquire_workspace_lock(p, kShortWait));
    return {std::move(root_state), std::move(workspace)};
  }

  std::optional<ScopedEnv> env_;
  std::optional<store::WorkspacePaths> paths_;
};

}  // namespace vornex::test
