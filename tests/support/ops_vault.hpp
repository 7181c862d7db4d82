// Shared setup of the data-operation tests: a workspace whose state and
// keychain directories lie in the test's own directory (set in the
// environment for the whole test), a vault of fixed users laid out from
// records signed by the shared test identities, its trust file, sessions on
// it, and snapshots that show whether anything was written.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "must.hpp"
#include "store_fixture.hpp"
#include "vault_builder.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/ops/unlocked.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace vornex::test::data {

using namespace std::chrono_literals;
using test::must;

// Short enough to keep the suite fast, long enough for a loaded machine to
// take a free lock.
inline const store::LockPolicy kFastLocks{2000ms, 5ms};

inline cord::Bytes bytes_of(std::string_view text) { return cord::Bytes(text.begin(), text.end()); }

inline std::optional<cord::Bytes> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return cord::Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every file below `dir` with its bytes (directories as empty entries with
// a trailing slash): equal snapshots mean nothing was created or changed.
using Snapshot = std::map<std::string, cord::Bytes>;
inline Snapshot snapshot(const std::filesystem::path& dir) {
  Snapshot out;
  if (!std::filesystem::exists(dir)) return out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = std::filesystem::relative(entry.path(), dir).native();
    if (entry.is_directory()) {
      out[name + "/"] = {};
    } else {
      out[name] = file_bytes(entry.path()).value_or(cord::Bytes{});
    }
  }
  return out;
}

// A new identity of the shared seed scheme (32 copies of `seed`); the
// builder's own copies are not movable into a session.
inline crypto::Identity identity_of(std::uint8_t seed) {
  static const crypto::Crypto crypto;
  return must(crypto::Identity::from_master_seed(crypto, cord::Bytes(crypto::kMasterSeedSize, seed)));
}

inline core::PrincipalRefV1 user_ref(const crypto::Identity& identity) { return identity.user_id(); }

class OpsVaultTest : public TempDirTest {
 protected:
  static constexpr std::uint8_t kRoot = 1;
  static constexpr std::uint8_t kAlice = 2;  // writes below "app"
  static constexpr std::uint8_t kBob = 3;    // reads below "app"
  static constexpr std::uint8_t kCarol = 4;  // a member without grants
  static constexpr std::uint8_t kStranger = 9;  // never in the vault

  void SetUp() override {
    TempDirTest::SetUp();
    state_env_ = std::make_unique<ScopedEnv>("VORNEX_STATE_DIR", (dir_ / "state").native());
    keychain_env_ = std::make_unique<ScopedEnv>("VORNEX_KEYCHAIN_DIR", (dir_ / "keychain").native());
    paths_.emplace(store::WorkspacePaths::from_vault_path(dir_ / "ws" / ".vornex" / "vault.cord"));
  }
  void TearDown() override {
    keychain_env_.reset();
    state_env_.reset();
    TempDirTest::TearDown();
  }

  const VaultBuilder& b = shared_builder();
  const crypto::Crypto& crypto() const { return b.crypto(); }
  const crypto::Identity& id(std::uint8_t seed) const { return b.identity(seed); }
  const store::WorkspacePaths& paths() const { return *paths_; }
  std::filesystem::path state_dir() const { return dir_ / "state"; }
  std::filesystem::path keychain_dir() const { return dir_ / "keychain"; }

  core::HashValue root_fingerprint() const { return b.selected_root().fingerprint; }
  std::filesystem::path ratchet_file() const { return store::ratchet_path(paths(), root_fingerprint()); }
  std::filesystem::path transaction_file() const { return store::transaction_path(paths(), root_fingerprint()); }

  // Root, three enrolled users and the two grants below "app".
  std::vector<core::VaultRecordV1> base_records() const {
    return {b.vault_root(),
            b.user(b.root(), id(kAlice)),
            b.entry_point(id(kAlice)),
            b.user(b.root(), id(kBob)),
            b.entry_point(id(kBob)),
            b.user(b.root(), id(kCarol)),
            b.entry_point(id(kCarol)),
            b.grant(b.root(), "alice-write", user_ref(id(kAlice)), write_permission(prefix({"app"}))),
            b.grant(b.root(), "bob-read", user_ref(id(kBob)), read_permission(prefix({"app"})))};
  }

  void write_vault(const std::vector<core::VaultRecordV1>& records) const {
    const auto set = must(cord::Set<core::VaultRecordV1>::from(records));
    must(store::write_vault_bytes_atomic(paths(), must(core::validate::encode_vault(set))));
  }
  // What another process would do: the vault's records plus these.
  void add_records(const std::vector<core::VaultRecordV1>& records) const {
    auto set = must(store::read_vault(paths()));
    for (const auto& record : records) must(set.insert(record));
    must(store::write_vault_bytes_atomic(paths(), must(core::validate::encode_vault(set))));
  }
  // A trust file that knows only the root.
  void trust_root() const { must(store::write_ratchet_atomic(paths(), core::Ratchet::make(root_fingerprint().to_vec()))); }
  void trust(const core::Ratchet& ratchet) const { must(store::write_ratchet_atomic(paths(), ratchet)); }

  // The base vault, trusted.
  void standard_vault(const std::vector<core::VaultRecordV1>& extra = {}) const {
    auto records = base_records();
    records.insert(records.end(), extra.begin(), extra.end());
    write_vault(records);
    trust_root();
  }

  ops::OpsResult<ops::LockedSession> load() const { return ops::LockedSession::load(paths(), crypto(), kFastLocks); }
  ops::OpsResult<ops::UnlockedSession> unlock(std::uint8_t seed) const {
    auto session = load();
    if (!session) return std::unexpected(std::move(session).error());
    return ops::UnlockedSession::with_identity(std::move(*session), crypto(), identity_of(seed));
  }

  // A valid transaction file for this vault's root whose after-images are
  // the files as they are now, recorded for the vault at `recorded`.
  void write_pending_transaction(const std::filesystem::path& recorded) const {
    const cord::Bytes vault = file_bytes(paths().vault_path()).value();
    const std::optional<cord::Bytes> ratchet = file_bytes(ratchet_file());
    store::TransactionV1 transaction{
        cord::Bytes(32, 0xab),
        root_fingerprint(),
        must(store::NativePathV1::canonical(recorded)),
        std::string(ops::kVaultMutationLabel),
        store::FilePreconditionV1::Hash{ops::transaction_hash(crypto(), vault)},
        ratchet ? store::FilePreconditionV1(store::FilePreconditionV1::Hash{ops::transaction_hash(crypto(), *ratchet)})
                : store::FilePreconditionV1(store::FilePreconditionV1::Absent{}),
        vault,
        ratchet ? *ratchet : must(store::encode_ratchet(core::Ratchet::make(root_fingerprint().to_vec())))};
    must(store::write_transaction_atomic(paths(), transaction));
  }

  // The vault file as a second workspace that shares the state directory.
  std::filesystem::path other_workspace_vault() const {
    const auto other = dir_ / "other" / ".vornex" / "vault.cord";
    std::filesystem::create_directories(other.parent_path());
    std::filesystem::copy_file(paths().vault_path(), other, std::filesystem::copy_options::overwrite_existing);
    return other;
  }

  // Everything below the test's directory but lock files, which taking a
  // lock may create.
  Snapshot files() const {
    Snapshot out;
    for (auto& [name, bytes] : snapshot(dir_)) {
      if (!name.ends_with(".lock")) out.emplace(name, bytes);
    }
    return out;
  }

 private:
  std::unique_ptr<ScopedEnv> state_env_;
  std::unique_ptr<ScopedEnv> keychain_env_;
  std::optional<store::WorkspacePaths> paths_;
};

// The counter of the record with this hash in the session's state.
inline std::optional<std::uint64_t> counter_of(const ops::LockedSession& session, const core::HashValue& hash) {
  for (const auto& record : session.report.effective.records) {
    if (record.hash == hash) return core::record_counter(record.body());
  }
  return std::nullopt;
}

}  // namespace vornex::test::data
