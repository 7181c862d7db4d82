#include "vornex/ops/session.hpp"

#include <set>
#include <utility>

#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/ops/trust.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::ops {

namespace {

struct ReadVault {
  cord::Bytes bytes;
  std::vector<core::validate::HashedRecord> records;
  core::validate::VaultIndex index;
};

OpsResult<std::vector<core::validate::HashedRecord>> decode_hashed(const store::WorkspacePaths& paths,
                                                                   cord::ByteView bytes,
                                                                   const crypto::Crypto& crypto,
                                                                   core::validate::VaultIndex* index = nullptr) {
  auto records = core::validate::decode_vault_hashed(bytes, crypto, index);
  if (!records) {
    return std::unexpected(OpsError(store::StoreError::vault_invalid(paths.vault_path(), std::move(records).error())));
  }
  return std::move(*records);
}

OpsResult<ReadVault> read_and_decode_vault(const store::WorkspacePaths& paths, const crypto::Crypto& crypto) {
  auto bytes = store::read_vault_bytes(paths);
  if (!bytes) return std::unexpected(OpsError(std::move(bytes).error()));
  core::validate::VaultIndex index;
  auto records = decode_hashed(paths, *bytes, crypto, &index);
  if (!records) return std::unexpected(std::move(records).error());
  return ReadVault{std::move(*bytes), std::move(*records), std::move(index)};
}

// The records are consumed: the report keeps what it needs of them.
OpsResult<core::validate::ValidationReport> validate(std::vector<core::validate::HashedRecord>&& records,
                                                     const core::Ratchet& ratchet, const crypto::Crypto& crypto,
                                                     const core::validate::VerifiedHashes& verified) {
  auto report = core::validate::validate_vault_with_verified(std::move(records), ratchet, crypto, verified);
  if (!report) return std::unexpected(OpsError(std::move(report).error()));
  return std::move(*report);
}

}  // namespace

std::optional<store::VerificationCacheV1> read_trusted_cache(const store::WorkspacePaths& paths,
                                                             const core::HashValue& root,
                                                             const crypto::Crypto& crypto,
                                                             const store::LockPolicy& policy) {
  const auto base = keychain::default_keychain_dir();
  if (!base) return std::nullopt;
  const auto current = keychain::read_current_user(*base, root.bytes(), policy);
  if (!current || !*current) return std::nullopt;
  const core::HashValue owner((*current)->user);
  auto cache = store::read_verification_cache(paths, root, owner);
  if (!cache || cache->trusted_root != root || cache->version != store::kVerificationCacheVersion) return std::nullopt;
  const auto message = store::verification_cache_message(cache->trusted_root, 1, cache->record_hashes);
  if (!message ||
      !crypto.verify_signature(cord::text_bytes(kVerificationCacheDomain), cache->signing_key, *message, cache->signature)) {
    return std::nullopt;
  }
  return cache;
}

OpsResult<LockedSession> LockedSession::load(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                             const store::LockPolicy& policy) {
  core::HashValue root;
  {
    auto first = read_and_decode_vault(paths, crypto);
    if (!first) return std::unexpected(std::move(first).error());
    auto candidate = trusted_root_candidate(first->records, crypto);
    if (!candidate) return std::unexpected(std::move(candidate).error());
    root = std::move(*candidate);
  }
  if (auto recovered = recover_for_root(paths, root, crypto, policy); !recovered) {
    return std::unexpected(std::move(recovered).error());
  }

  auto session = [&]() -> OpsResult<LockedSession> {
    // The vault, the strongest ratchet and the pending transaction are read
    // under one shared lock, so they belong together.
    auto shared = store::acquire_root_state_shared_lock(paths, root, policy);
    if (!shared) return std::unexpected(OpsError(std::move(shared).error()));
    auto vault = read_and_decode_vault(paths, crypto);
    if (!vault) return std::unexpected(std::move(vault).error());
    auto strongest = read_strongest_ratchet_locked(paths, root, crypto);
    if (!strongest) return std::unexpected(std::move(strongest).error());
    auto cache = read_trusted_cache(paths, root, crypto, policy);
    core::validate::VerifiedHashes verified;
    std::optional<cord::Bytes> signer;
    if (cache) {
      verified.insert(cache->record_hashes.begin(), cache->record_hashes.end());
      signer = cache->signing_key;
    }
    auto report = validate(std::move(vault->records), strongest->ratchet, crypto, verified);
    if (!report) return std::unexpected(std::move(report).error());
    return LockedSession{.paths = paths,
                         .vault_bytes = std::move(vault->bytes),
                         .vault_index = std::move(vault->index),
                         .ratchet = std::move(strongest->ratchet),
                         .report = std::move(*report),
                         .ratchet_follows_report = true,
                         .ratchet_file_bytes = std::nullopt,
                         .cache_signer_key = std::move(signer),
                         .pending = std::move(strongest->pending),
                         .lock_policy = policy};
  }();
  if (!session) return session;
  if (auto raised = session->absorb_clean_trust_raises(crypto, policy); !raised) return std::unexpected(raised.error());
  return session;
}

OpsStatus LockedSession::absorb_clean_trust_raises(const crypto::Crypto& crypto, const store::LockPolicy& policy) {
  const core::RatchetUpdate& update = report.ratchet_update;
  if (!report.issues.empty() || update.counters.empty()) return {};
  ratchet.apply_update(update);
  if (pending) return {};  // trusted in memory only until the transaction is done

  const core::HashValue session_root = root();
  auto lock = store::acquire_root_state_lock(paths, session_root, policy);
  if (!lock) {
    // Someone else holds the trust state: the raise stays in memory.
    if (lock.error().kind() == store::StoreError::Kind::LockHeld) return {};
    return std::unexpected(OpsError(std::move(lock).error()));
  }
  // A transaction or journal that appeared since the ratchet was read owns
  // the next ratchet file: the raise stays in memory, as for one seen
  // earlier, and the open goes on; the next write meets the barrier.
  if (auto clear = ensure_no_pending_transaction_locked(paths, session_root, crypto); !clear) {
    const OpsError::Kind kind = clear.error().kind();
    if (kind == OpsError::Kind::PendingTransactionBlocks || kind == OpsError::Kind::DuplicateRecoveryJournals) {
      return {};
    }
    return std::unexpected(clear.error());  // an unreadable or invalid file is still reported
  }
  auto file = store::read_ratchet_for_root(paths, session_root);
  if (!file) return std::unexpected(OpsError(std::move(file).error()));
  core::Ratchet raised = *file ? std::move(**file) : core::Ratchet::make(session_root.bytes());
  raised.apply_update(update);
  if (auto written = store::write_ratchet_atomic(paths, raised); !written) return std::unexpected(OpsError(written.error()));
  // A file raised meanwhile by another process holds more than the report
  // was validated against.
  ratchet_follows_report = raised == ratchet;
  ratchet = std::move(raised);
  return {};
}

OpsResult<bool> LockedSession::reload_if_stale_locked(const crypto::Crypto& crypto,
                                                      std::optional<cord::Bytes>* ratchet_bytes) {
  auto bytes = store::read_vault_bytes(paths);
  if (!bytes) return std::unexpected(OpsError(std::move(bytes).error()));
  const core::HashValue session_root = root();
  auto file = read_current_file(store::ratchet_path(paths, session_root));
  if (!file) return std::unexpected(std::move(file).error());
  // The ratchet this session wrote or read, unchanged, with no transaction
  // beside it: nothing to decode.
  if (*file && ratchet_file_bytes && **file == *ratchet_file_bytes && *bytes == vault_bytes) {
    auto transaction = store::entry_present(store::transaction_path(paths, session_root));
    if (!transaction) {
      return std::unexpected(
          OpsError(store::StoreError::io(store::transaction_path(paths, session_root), std::move(transaction).error())));
    }
    if (!*transaction) {
      pending.reset();
      if (ratchet_bytes != nullptr) *ratchet_bytes = std::move(*file);
      return false;
    }
  }
  auto strongest = read_strongest_ratchet_locked(paths, session_root, crypto);
  if (!strongest) return std::unexpected(std::move(strongest).error());
  if (ratchet_bytes != nullptr) *ratchet_bytes = std::move(*file);
  if (*bytes == vault_bytes && strongest->ratchet == ratchet) {
    pending = std::move(strongest->pending);
    return false;
  }
  core::validate::VaultIndex index;
  auto decoded = decode_hashed(paths, *bytes, crypto, &index);
  if (!decoded) return std::unexpected(std::move(decoded).error());
  auto candidate = trusted_root_candidate(*decoded, crypto);
  if (!candidate) return std::unexpected(std::move(candidate).error());
  if (*candidate != session_root) {
    return std::unexpected(OpsError(store::StoreError::trust_root_mismatch(std::move(*candidate), session_root)));
  }
  auto new_report =
      validate(std::move(*decoded), strongest->ratchet, crypto, report.effective.verified_record_hashes());
  if (!new_report) return std::unexpected(std::move(new_report).error());
  vault_bytes = std::move(*bytes);
  vault_index = std::move(index);
  ratchet = std::move(strongest->ratchet);
  report = std::move(*new_report);
  ratchet_follows_report = true;
  ratchet_file_bytes.reset();
  pending = std::move(strongest->pending);
  return true;
}

OpsStatus LockedSession::ensure_valid() const {
  if (report.issues.empty()) return {};
  return std::unexpected(OpsError::validation_failed(report.issues));
}

}  // namespace vornex::ops
