#include "vornex/ops/join_commit.hpp"

#include <algorithm>
#include <optional>

#include "vornex/core/validate/vault_file.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace vornex::ops {

namespace {

OpsError conflict() { return OpsError::of(OpsError::Kind::KubernetesEnrollmentConflict); }

// The journal for `root`, or none. Images may be up to 256 MiB, beyond the
// Cord default, so the transaction file's limits apply.
OpsResult<std::optional<JoinCommitJournalV1>> read_journal(const store::WorkspacePaths& paths,
                                                           const core::HashValue& root) {
  auto bytes = read_current_file(store::join_commit_path(paths, root), kJoinCommitLimit);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (!*bytes) return std::optional<JoinCommitJournalV1>();
  const cord::Bytes& file = **bytes;
  if (file.size() < kJoinCommitMagic.size() || !std::equal(kJoinCommitMagic.begin(), kJoinCommitMagic.end(), file.begin())) {
    return std::unexpected(conflict());
  }
  auto journal = cord::deserialize<JoinCommitJournal>(cord::ByteView(file).subspan(kJoinCommitMagic.size()),
                                                      store::kTransactionCordLimits);
  if (!journal) return std::unexpected(OpsError(std::move(journal).error()));
  JoinCommitJournalV1 v1 = std::get<JoinCommitJournalV1>(std::move(*journal));
  if (v1.root_fingerprint != root) return std::unexpected(conflict());
  return std::optional<JoinCommitJournalV1>(std::move(v1));
}

// J of the ratchet file: of its bytes as they stand, and of its canonical
// encoding, which is what a journal's preparer hashed; the two differ only
// for a file in another valid form, which must not wedge the journal.
OpsResult<std::pair<core::HashValue, core::HashValue>> ratchet_hashes(const store::WorkspacePaths& paths,
                                                                      const core::HashValue& root,
                                                                      const core::CryptoProvider& crypto) {
  auto ratchet = store::read_ratchet_for_root(paths, root);
  if (!ratchet) return std::unexpected(OpsError(std::move(ratchet).error()));
  const Path path = store::ratchet_path(paths, root);
  if (!*ratchet) return std::unexpected(OpsError::missing_ratchet_state(path));
  auto raw = read_current_file(path);
  if (!raw) return std::unexpected(std::move(raw).error());
  if (!*raw) return std::unexpected(OpsError::missing_ratchet_state(path));
  auto encoded = store::encode_ratchet(**ratchet);
  if (!encoded) return std::unexpected(OpsError(std::move(encoded).error()));
  return std::pair{join_commit_hash(crypto, **raw), join_commit_hash(crypto, *encoded)};
}

}  // namespace

core::HashValue join_commit_hash(const core::CryptoProvider& crypto, cord::ByteView bytes) {
  return crypto.hash(cord::text_bytes(kJoinCommitHashDomain), bytes);
}

OpsResult<bool> join_commit_present(const store::WorkspacePaths& paths, const core::HashValue& root) {
  auto bytes = read_current_file(store::join_commit_path(paths, root), kJoinCommitLimit);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  return bytes->has_value();
}

OpsResult<bool> recover_join_commit(const store::WorkspacePaths& paths, const core::HashValue& root,
                                    const core::CryptoProvider& crypto, const store::LockPolicy& policy) {
  auto journal = read_journal(paths, root);
  if (!journal) return std::unexpected(std::move(journal).error());
  if (!*journal) return false;
  auto exclusive = store::acquire_root_state_lock(paths, root, policy);
  if (!exclusive) return std::unexpected(OpsError(std::move(exclusive).error()));
  auto workspace = store::acquire_workspace_lock(paths, policy);
  if (!workspace) return std::unexpected(OpsError(std::move(workspace).error()));
  // Read again under the locks: another process may have applied it in the
  // meantime, and its result must not be taken for a conflict.
  journal = read_journal(paths, root);
  if (!journal) return std::unexpected(std::move(journal).error());
  if (!*journal) return true;
  if (auto applied = complete_join_commit(paths, **journal, crypto); !applied) return std::unexpected(applied.error());
  return true;
}

OpsStatus complete_join_commit(const store::WorkspacePaths& paths, const JoinCommitJournalV1& journal,
                               const core::CryptoProvider& crypto) {
  const core::HashValue& root = journal.root_fingerprint;
  auto vault = store::read_vault_bytes(paths);
  if (!vault) return std::unexpected(OpsError(std::move(vault).error()));
  const core::HashValue vault_now = join_commit_hash(crypto, *vault);
  if (vault_now != journal.vault_before_hash && vault_now != join_commit_hash(crypto, journal.vault_image)) {
    return std::unexpected(conflict());
  }
  auto ratchet_now = ratchet_hashes(paths, root, crypto);
  if (!ratchet_now) return std::unexpected(std::move(ratchet_now).error());
  const core::HashValue ratchet_after = join_commit_hash(crypto, journal.ratchet_image);
  const auto known = [&](const core::HashValue& h) { return h == journal.ratchet_before_hash || h == ratchet_after; };
  if (!known(ratchet_now->first) && !known(ratchet_now->second)) return std::unexpected(conflict());

  // The ratchet image must be this root's; it is then written as it
  // stands, so that it reads back byte for byte whatever its form.
  const Path journal_path = store::join_commit_path(paths, root);
  if (auto decoded = store::decode_ratchet(journal_path, journal.ratchet_image); !decoded) {
    return std::unexpected(OpsError(std::move(decoded).error()));
  }
  // So must the vault image decode before either file is touched: written,
  // it would replace a good vault with one no reader accepts.
  if (auto records = core::validate::decode_vault(journal.vault_image); !records) {
    return std::unexpected(OpsError(store::StoreError::vault_invalid(journal_path, std::move(records).error())));
  }
  if (auto written = store::write_ratchet_bytes_atomic(paths, root, journal.ratchet_image); !written) {
    return std::unexpected(OpsError(written.error()));
  }
  if (auto written = store::write_vault_bytes_atomic(paths, journal.vault_image); !written) {
    return std::unexpected(OpsError(written.error()));
  }

  auto ratchet_back = read_current_file(store::ratchet_path(paths, root));
  if (!ratchet_back) return std::unexpected(std::move(ratchet_back).error());
  if (!*ratchet_back) return std::unexpected(OpsError::missing_ratchet_state(store::ratchet_path(paths, root)));
  auto vault_back = store::read_vault_bytes(paths);
  if (!vault_back) return std::unexpected(OpsError(std::move(vault_back).error()));
  if (*vault_back != journal.vault_image || **ratchet_back != journal.ratchet_image) {
    return std::unexpected(conflict());
  }
  if (auto removed = store::remove_file_durable(journal_path); !removed) return std::unexpected(OpsError(removed.error()));
  return {};
}

}  // namespace vornex::ops
