#include "vornex/ops/transaction.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <utility>

#include "vornex/core/hex.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/random.hpp"
#include "vornex/ops/join_commit.hpp"
#include "vornex/ops/trust.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::ops {

namespace {

std::atomic<testing::CommitHook> g_commit_hook{nullptr};

void reached(testing::CommitPoint point) {
  if (const testing::CommitHook hook = g_commit_hook.load()) hook(point);
}

OpsError mismatch() { return OpsError::of(OpsError::Kind::TransactionRecoveryMismatch); }

std::string recorded_path_text(const std::optional<Path>& path) {
  return path ? store::display(*path) : std::string(kAnotherPlatformPath);
}

OpsStatus remove_durably(const Path& path) {
  if (auto removed = store::remove_file_durable(path); !removed) return std::unexpected(OpsError(removed.error()));
  return {};
}

// A commit's after-images, already written beside their places; none for
// a file a vouched commit leaves as it is.
struct PreparedImages {
  std::optional<store::PreparedFile> ratchet;
  std::optional<store::PreparedFile> vault;
};

store::PreparedFile* prepared_or_null(std::optional<store::PreparedFile>& file) {
  return file ? &*file : nullptr;
}

// Temporaries that killed writers left in the directories a commit writes
// in. The caller holds the exclusive root-state lock and the workspace
// lock, which every writer of these files holds while its temporary exists.
void remove_stale_temporaries_locked(const store::WorkspacePaths& paths, const core::HashValue& root) {
  const Path ratchet = store::ratchet_path(paths, root);
  store::remove_stale_temporaries(store::directory_of(ratchet), {ratchet, store::transaction_path(paths, root)});
  store::remove_stale_temporaries(store::directory_of(paths.vault_path()), {paths.vault_path()});
}

// Puts one after-image in place: the prepared temporary is renamed, or,
// without one, the file is written whole; then it is read back.
OpsStatus put_ratchet(const store::WorkspacePaths& paths, const store::TransactionV1& transaction,
                      store::PreparedFile* prepared) {
  const core::HashValue& root = transaction.trusted_root;
  const cord::Bytes& image = transaction.next_ratchet_bytes;
  auto written = prepared == nullptr ? store::write_ratchet_bytes_atomic(paths, root, image) : prepared->place();
  if (written && prepared != nullptr) written = store::verify_ratchet_bytes(paths, root, image);
  if (!written) return std::unexpected(OpsError(written.error()));
  return {};
}

OpsStatus put_vault(const store::WorkspacePaths& paths, const store::TransactionV1& transaction,
                    store::PreparedFile* prepared) {
  const cord::Bytes& image = transaction.next_vault_bytes;
  auto written = prepared == nullptr ? store::write_vault_bytes_atomic(paths, image) : prepared->place();
  if (written && prepared != nullptr) written = store::verify_vault_bytes(paths, image);
  if (!written) return std::unexpected(OpsError(written.error()));
  return {};
}

OpsStatus complete_locked(const store::WorkspacePaths& paths, const store::TransactionV1& transaction,
                          const core::CryptoProvider& crypto, PreparedImages* prepared) {
  const core::HashValue& root = transaction.trusted_root;
  const Path ratchet_file = store::ratchet_path(paths, root);
  auto vault = read_current_file(paths.vault_path());
  if (!vault) return std::unexpected(std::move(vault).error());
  auto ratchet = read_current_file(ratchet_file);
  if (!ratchet) return std::unexpected(std::move(ratchet).error());
  auto vault_done = classify_file(crypto, *vault, transaction.vault_before, transaction.next_vault_bytes);
  if (!vault_done) return std::unexpected(std::move(vault_done).error());
  auto ratchet_done = classify_file(crypto, *ratchet, transaction.ratchet_before, transaction.next_ratchet_bytes);
  if (!ratchet_done) return std::unexpected(std::move(ratchet_done).error());

  // The ratchet first: after a crash the trust state is never older than
  // the vault it protects. Images are written as they stand, so an image in
  // a form other than the canonical one still reads back equal.
  if (!*ratchet_done) {
    if (auto put = put_ratchet(paths, transaction, prepared ? prepared_or_null(prepared->ratchet) : nullptr); !put) {
      return put;
    }
  }
  reached(testing::CommitPoint::RatchetWritten);
  if (!*vault_done) {
    if (auto put = put_vault(paths, transaction, prepared ? prepared_or_null(prepared->vault) : nullptr); !put) {
      return put;
    }
  }
  reached(testing::CommitPoint::VaultWritten);

  auto vault_after = read_current_file(paths.vault_path());
  if (!vault_after) return std::unexpected(std::move(vault_after).error());
  auto ratchet_after = read_current_file(ratchet_file);
  if (!ratchet_after) return std::unexpected(std::move(ratchet_after).error());
  if (!*vault_after || **vault_after != transaction.next_vault_bytes || !*ratchet_after ||
      **ratchet_after != transaction.next_ratchet_bytes) {
    return std::unexpected(mismatch());
  }
  reached(testing::CommitPoint::BeforeRemoval);
  return remove_durably(store::transaction_path(paths, root));
}

// Completion straight after this process's own commit point, for a caller
// that vouched for the before-images under the locks held since: both
// files are known to be at them, so nothing is read to classify them. A
// file whose image differs was prepared; it is placed and read back, once,
// by bytes (the caller validated what they encode).
OpsStatus complete_vouched_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                  cord::ByteView next_vault, cord::ByteView next_ratchet, PreparedImages& prepared,
                                  store::HeldFile* vault_held, store::HeldFile* ratchet_held) {
  // The ratchet first, as in every completion.
  if (prepared.ratchet) {
    auto put = prepared.ratchet->place();
    if (put) put = store::verify_ratchet_bytes_equal(paths, root, next_ratchet, ratchet_held);
    if (!put) return std::unexpected(OpsError(std::move(put).error()));
  }
  reached(testing::CommitPoint::RatchetWritten);
  if (prepared.vault) {
    auto put = prepared.vault->place();
    if (put) put = store::verify_vault_bytes_equal(paths, next_vault, vault_held);
    if (!put) return std::unexpected(OpsError(std::move(put).error()));
  }
  reached(testing::CommitPoint::VaultWritten);
  reached(testing::CommitPoint::BeforeRemoval);
  return remove_durably(store::transaction_path(paths, root));
}

// Writes the transaction file: its rename is the commit point. A failure
// once it is in place (the directory flush, the read-back) withdraws it,
// so that the files are as before and the error claims nothing; only a
// file that cannot be withdrawn leaves the change committed, and the error
// says so.
OpsStatus place_transaction(const store::WorkspacePaths& paths, const core::HashValue& root,
                            store::StoreResult<store::PreparedTransaction> prepared,
                            const std::function<store::StoreStatus(store::ByteParts)>& verify) {
  if (!prepared) return std::unexpected(OpsError(std::move(prepared).error()));
  auto placed = prepared->file.place();
  if (!prepared->file.placed()) return std::unexpected(OpsError(std::move(placed).error()));
  if (placed) placed = verify(prepared->parts());
  if (placed) return {};
  OpsError failure(std::move(placed).error());
  const Path path = store::transaction_path(paths, root);
  if (auto withdrawn = store::remove_file(path); !withdrawn) {
    return std::unexpected(std::move(failure).after_commit_point());
  }
  // Gone from its directory, so no open will find it. Should this flush
  // fail, only a crash could bring the file back, and its change would then
  // be completed whole, as after a crash just past the commit point; the
  // failure reported stays the first one.
  (void)store::sync_parent_directory(path);
  return std::unexpected(std::move(failure));
}

// What a failure past the commit point tells. The transaction file is
// removed only once both files are at their after-images, so without it
// the change is already in place; with it (or when that cannot be told)
// the next open completes it.
OpsError after_commit_point(const store::WorkspacePaths& paths, const core::HashValue& root, OpsError error) {
  auto pending_file = store::entry_present(store::transaction_path(paths, root));
  const bool applied = pending_file && !*pending_file;
  return std::move(error).after_commit_point(applied);
}

// The steps both commits share before they differ: no journal, no
// pending transaction.
OpsStatus ensure_nothing_pending(const store::WorkspacePaths& paths, const core::HashValue& root) {
  auto journal = join_commit_present(paths, root);
  if (!journal) return std::unexpected(std::move(journal).error());
  if (*journal) return std::unexpected(OpsError::of(OpsError::Kind::DuplicateRecoveryJournals));
  auto pending = store::read_transaction(paths, root);
  if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
  if (*pending) return std::unexpected(pending_error(**pending));
  return {};
}

// Every field of the transaction but the after-images.
OpsResult<store::TransactionV1> transaction_head(const store::WorkspacePaths& paths, const core::HashValue& root,
                                                 const core::CryptoProvider& crypto, std::string_view label,
                                                 cord::ByteView vault_before, cord::ByteView ratchet_before) {
  auto vault_path = store::NativePathV1::canonical(paths.vault_path());
  if (!vault_path) return std::unexpected(OpsError(std::move(vault_path).error()));
  return store::TransactionV1{
      crypto::random_seed(),
      root,
      std::move(*vault_path),
      std::string(label),
      store::FilePreconditionV1::Hash{transaction_hash(crypto, vault_before)},
      store::FilePreconditionV1::Hash{transaction_hash(crypto, ratchet_before)},
      {},
      {},
  };
}

}  // namespace

namespace testing {
void set_commit_hook(CommitHook hook) { g_commit_hook.store(hook); }
}  // namespace testing

core::HashValue transaction_hash(const core::CryptoProvider& crypto, cord::ByteView bytes) {
  return crypto.hash(cord::text_bytes(kTransactionHashDomain), bytes);
}

std::string transaction_id_hex(cord::ByteView id) { return core::hex_lower(id); }

OpsResult<std::optional<cord::Bytes>> read_current_file(const Path& path, std::uint64_t bound) {
  auto bytes = store::read_file_bounded(path, bound);
  if (bytes) return std::optional<cord::Bytes>(std::move(*bytes));
  if (bytes.error().kind() == store::IoKind::NotFound) return std::optional<cord::Bytes>();
  return std::unexpected(OpsError(store::StoreError::io(path, std::move(bytes).error())));
}

OpsResult<bool> classify_file(const core::CryptoProvider& crypto, const std::optional<cord::Bytes>& current,
                              const store::FilePreconditionV1& before, cord::ByteView after) {
  const core::HashValue* before_hash = before.hash();
  if (!current) {
    if (before_hash == nullptr) return false;
    return std::unexpected(mismatch());
  }
  const core::HashValue now = transaction_hash(crypto, *current);
  if (now == transaction_hash(crypto, after)) return true;
  if (before_hash != nullptr && now == *before_hash) return false;
  return std::unexpected(mismatch());
}

OpsResult<core::Ratchet> validate_transaction(const store::TransactionV1& transaction,
                                              const core::CryptoProvider& crypto, const store::WorkspacePaths& paths) {
  const Path file = store::transaction_path(paths, transaction.trusted_root);
  auto records = core::validate::decode_vault(transaction.next_vault_bytes);
  if (!records) return std::unexpected(OpsError(store::StoreError::vault_invalid(file, std::move(records).error())));
  auto candidate = trusted_root_candidate(*records, crypto);
  if (!candidate) return std::unexpected(std::move(candidate).error());
  if (*candidate != transaction.trusted_root) return std::unexpected(mismatch());
  auto ratchet = store::decode_ratchet(file, transaction.next_ratchet_bytes);
  if (!ratchet) return std::unexpected(OpsError(std::move(ratchet).error()));
  if (!std::ranges::equal(ratchet->trusted_root(), transaction.trusted_root.bytes())) return std::unexpected(mismatch());
  return std::move(*ratchet);
}

OpsStatus complete_transaction_locked(const store::WorkspacePaths& paths, const store::TransactionV1& transaction,
                                      const core::CryptoProvider& crypto) {
  return complete_locked(paths, transaction, crypto, nullptr);
}

OpsStatus commit_after_images_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                     const core::CryptoProvider& crypto, std::string_view label,
                                     cord::ByteView vault_before, cord::ByteView ratchet_before,
                                     cord::Bytes next_vault, cord::Bytes next_ratchet) {
  if (auto clear = ensure_nothing_pending(paths, root); !clear) return clear;
  auto vault = store::read_vault_bytes(paths);
  if (!vault) return std::unexpected(OpsError(std::move(vault).error()));
  if (!std::ranges::equal(*vault, vault_before)) return std::unexpected(OpsError::transaction_precondition_changed("vault"));
  auto ratchet = read_current_file(store::ratchet_path(paths, root));
  if (!ratchet) return std::unexpected(std::move(ratchet).error());
  if (!*ratchet || !std::ranges::equal(**ratchet, ratchet_before)) {
    return std::unexpected(OpsError::transaction_precondition_changed("ratchet"));
  }

  auto head = transaction_head(paths, root, crypto, label, vault_before, ratchet_before);
  if (!head) return std::unexpected(std::move(head).error());
  store::TransactionV1 transaction = std::move(*head);
  transaction.next_vault_bytes = std::move(next_vault);
  transaction.next_ratchet_bytes = std::move(next_ratchet);
  if (auto valid = validate_transaction(transaction, crypto, paths); !valid) return std::unexpected(valid.error());

  // Both after-images are written and flushed beside their places before
  // the commit point, so that what can fail for want of space or
  // permission (a full disk, a read-only workspace) fails while nothing
  // has changed. After it only renames, flushes and read-backs remain.
  remove_stale_temporaries_locked(paths, root);
  auto ratchet_file = store::prepare_ratchet_bytes(paths, root, transaction.next_ratchet_bytes);
  if (!ratchet_file) return std::unexpected(OpsError(std::move(ratchet_file).error()));
  auto vault_file = store::prepare_vault_bytes(paths, transaction.next_vault_bytes);
  if (!vault_file) return std::unexpected(OpsError(std::move(vault_file).error()));
  PreparedImages prepared{std::move(*ratchet_file), std::move(*vault_file)};
  if (auto placed = place_transaction(paths, root, store::prepare_transaction(paths, transaction),
                                      [&](store::ByteParts parts) {
                                        return store::verify_transaction(paths, transaction, parts);
                                      });
      !placed) {
    return placed;
  }
  // The commit point: from here on the change is durable, and a failure
  // leaves it pending for the next open to complete.
  reached(testing::CommitPoint::TransactionWritten);
  if (auto completed = complete_locked(paths, transaction, crypto, &prepared); !completed) {
    return std::unexpected(after_commit_point(paths, root, std::move(completed).error()));
  }
  return {};
}

OpsStatus commit_vouched_images_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                       const core::CryptoProvider& crypto, std::string_view label,
                                       cord::ByteView vault_before, cord::ByteView ratchet_before,
                                       cord::ByteView next_vault, cord::ByteView next_ratchet,
                                       store::HeldFile* vault_held, store::HeldFile* ratchet_held) {
  if (auto clear = ensure_nothing_pending(paths, root); !clear) return clear;
  auto head = transaction_head(paths, root, crypto, label, vault_before, ratchet_before);
  if (!head) return std::unexpected(std::move(head).error());

  // As in the checked commit, what can fail for want of space or
  // permission happens before the commit point; a file whose after-image
  // is its before-image is not written at all.
  remove_stale_temporaries_locked(paths, root);
  PreparedImages prepared;
  if (!std::ranges::equal(next_ratchet, ratchet_before)) {
    auto file = store::prepare_encoded_ratchet_bytes(paths, root, next_ratchet);
    if (!file) return std::unexpected(OpsError(std::move(file).error()));
    prepared.ratchet = std::move(*file);
  }
  if (!std::ranges::equal(next_vault, vault_before)) {
    auto file = store::prepare_vault_bytes(paths, next_vault);
    if (!file) return std::unexpected(OpsError(std::move(file).error()));
    prepared.vault = std::move(*file);
  }
  if (auto placed = place_transaction(paths, root, store::prepare_transaction(paths, *head, next_vault, next_ratchet),
                                      [&](store::ByteParts parts) {
                                        return store::verify_transaction_bytes(paths, root, parts);
                                      });
      !placed) {
    return placed;
  }
  reached(testing::CommitPoint::TransactionWritten);
  if (auto completed = complete_vouched_locked(paths, root, next_vault, next_ratchet, prepared, vault_held,
                                                 ratchet_held);
      !completed) {
    return std::unexpected(after_commit_point(paths, root, std::move(completed).error()));
  }
  return {};
}

OpsResult<Recovery> recover_for_root(const store::WorkspacePaths& paths, const core::HashValue& root,
                                     const core::CryptoProvider& crypto, const store::LockPolicy& policy) {
  {
    auto shared = store::acquire_root_state_shared_lock(paths, root, policy);
    if (!shared) return std::unexpected(OpsError(std::move(shared).error()));
    auto pending = store::read_transaction(paths, root);
    if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
    auto journal = join_commit_present(paths, root);
    if (!journal) return std::unexpected(std::move(journal).error());
    if (*pending && *journal) return std::unexpected(OpsError::of(OpsError::Kind::DuplicateRecoveryJournals));
  }
  bool found = false;
  {
    auto shared = store::acquire_root_state_shared_lock(paths, root, policy);
    if (!shared) return std::unexpected(OpsError(std::move(shared).error()));
    auto pending = store::read_transaction(paths, root);
    if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
    if (*pending) {
      if (auto valid = validate_transaction(**pending, crypto, paths); !valid) return std::unexpected(valid.error());
      auto ours = (*pending)->vault_path.matches_canonical(paths.vault_path());
      if (!ours) return std::unexpected(OpsError(std::move(ours).error()));
      if (!*ours) return Recovery::OtherWorkspace;
      found = true;
    }
  }
  if (!found) {
    // The journal takes its own locks; the shared one is gone by now.
    auto applied = recover_join_commit(paths, root, crypto, policy);
    if (!applied) return std::unexpected(std::move(applied).error());
    return *applied ? Recovery::Completed : Recovery::NothingPending;
  }
  // No upgrade from shared to exclusive: the shared lock is gone, so the
  // transaction is read a third time under the exclusive locks.
  auto exclusive = store::acquire_root_state_lock(paths, root, policy);
  if (!exclusive) return std::unexpected(OpsError(std::move(exclusive).error()));
  auto workspace = store::acquire_workspace_lock(paths, policy);
  if (!workspace) return std::unexpected(OpsError(std::move(workspace).error()));
  auto pending = store::read_transaction(paths, root);
  if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
  if (!*pending) return Recovery::Completed;  // completed by another process meanwhile
  if (auto valid = validate_transaction(**pending, crypto, paths); !valid) return std::unexpected(valid.error());
  auto ours = (*pending)->vault_path.matches_canonical(paths.vault_path());
  if (!ours) return std::unexpected(OpsError(std::move(ours).error()));
  if (!*ours) return Recovery::OtherWorkspace;
  remove_stale_temporaries_locked(paths, root);
  if (auto completed = complete_transaction_locked(paths, **pending, crypto); !completed) {
    return std::unexpected(completed.error());
  }
  return Recovery::Completed;
}

OpsResult<StrongestRatchet> read_strongest_ratchet_locked(const store::WorkspacePaths& paths,
                                                          const core::HashValue& root,
                                                          const core::CryptoProvider& crypto) {
  auto file = store::read_ratchet_for_root(paths, root);
  if (!file) return std::unexpected(OpsError(std::move(file).error()));
  auto pending = store::read_transaction(paths, root);
  if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
  if (!*pending) {
    if (!*file) return std::unexpected(OpsError::missing_ratchet_state(store::ratchet_path(paths, root)));
    return StrongestRatchet{std::move(**file), std::nullopt};
  }
  const store::TransactionV1& transaction = **pending;
  auto after = validate_transaction(transaction, crypto, paths);
  if (!after) return std::unexpected(std::move(after).error());
  core::Ratchet base = *file ? std::move(**file) : core::Ratchet::make(root.to_vec());
  if (auto merged = merge_ratchet(base, *after); !merged) return std::unexpected(merged.error());
  auto ours = transaction.vault_path.matches_canonical(paths.vault_path());
  if (!ours) return std::unexpected(OpsError(std::move(ours).error()));
  return StrongestRatchet{std::move(base), PendingTransaction{transaction.id, transaction.vault_path.to_path_buf(), *ours}};
}

OpsStatus merge_ratchet(core::Ratchet& into, const core::Ratchet& other) {
  if (into.trusted_root() != other.trusted_root()) return std::unexpected(mismatch());
  into.absorb_records(other.to_records());
  into.keep_unknown_records(other.unknown_records());
  return {};
}

OpsStatus ensure_no_pending_transaction_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                               const core::CryptoProvider& crypto) {
  auto journal = join_commit_present(paths, root);
  if (!journal) return std::unexpected(std::move(journal).error());
  if (*journal) return std::unexpected(OpsError::of(OpsError::Kind::DuplicateRecoveryJournals));
  auto pending = store::read_transaction(paths, root);
  if (!pending) return std::unexpected(OpsError(std::move(pending).error()));
  if (!*pending) return {};
  if (auto valid = validate_transaction(**pending, crypto, paths); !valid) return std::unexpected(valid.error());
  return std::unexpected(pending_error(**pending));
}

OpsError pending_error(const store::TransactionV1& transaction) {
  return OpsError::pending_transaction_blocks(transaction_id_hex(transaction.id),
                                              recorded_path_text(transaction.vault_path.to_path_buf()));
}

OpsError pending_barrier_error(const PendingTransaction& pending) {
  return OpsError::pending_transaction_blocks(transaction_id_hex(pending.id), recorded_path_text(pending.vault_path));
}

}  // namespace vornex::ops
