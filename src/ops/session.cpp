#include "vornex/ops/session.hpp"

#include <set>
#include <span>
#include <utility>
#include <vector>

#include "cord/try.hpp"

#include "vornex/core/handles.hpp"
#include "vornex/core/hex.hpp"

#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/ops/invite.hpp"
#include "vornex/ops/trust.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/held_file.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::ops {

namespace {

using core::validate::HashedRecord;

// The vault as one read found it: the file still open, and its records
// decoded with each record's hash taken over the bytes it was read from.
struct DecodedVault {
  store::HeldFile file;  // its bytes taken into `bytes`
  std::shared_ptr<const cord::Bytes> bytes;
  std::vector<HashedRecord> records;
  core::validate::VaultIndex index;
};

// The records' payloads borrow their bytes from the file's.
OpsResult<std::vector<HashedRecord>> decode_hashed(const store::WorkspacePaths& paths,
                                                   const std::shared_ptr<const cord::Bytes>& bytes,
                                                   const crypto::Crypto& crypto, core::validate::VaultIndex& index) {
  auto records = core::validate::decode_vault_hashed(bytes, crypto, &index);
  if (!records && records.error().kind() == core::CoreError::Kind::Interrupted) {
    return std::unexpected(OpsError(std::move(records).error()));
  }
  if (!records) {
    return std::unexpected(OpsError(store::StoreError::vault_invalid(paths.vault_path(), std::move(records).error())));
  }
  return std::move(*records);
}

OpsResult<DecodedVault> read_and_decode_vault(const store::WorkspacePaths& paths, const crypto::Crypto& crypto) {
  auto held = store::read_vault_held(paths);
  if (!held) return std::unexpected(OpsError(std::move(held).error()));
  auto bytes = std::make_shared<const cord::Bytes>(held->take_bytes());
  core::validate::VaultIndex index;
  VX_TRY_ASSIGN(auto records, decode_hashed(paths, bytes, crypto, index));
  return DecodedVault{std::move(*held), std::move(bytes), std::move(records), std::move(index)};
}

// Under the root-state lock: the vault as first read while its path still
// names that file unchanged, else read and decoded again. Writers replace
// the vault by rename, and the held descriptor keeps the first file's inode
// from being reused, so an equal look means the same file.
OpsStatus refresh_locked(DecodedVault& vault, const store::WorkspacePaths& paths, const crypto::Crypto& crypto) {
  if (vault.file.still_at(paths.vault_path())) return {};
  vault = DecodedVault{};  // the old records go before the new ones come
  VX_TRY_ASSIGN(vault, read_and_decode_vault(paths, crypto));
  return {};
}

// The records are consumed: the report keeps what it needs of them, and
// the session keeps no other decoded copy.
OpsResult<core::validate::ValidationReport> validate(std::vector<HashedRecord>&& records,
                                                     const core::Ratchet& ratchet, const crypto::Crypto& crypto,
                                                     const core::validate::VerifiedHashes& verified) {
  auto report = core::validate::validate_vault_with_verified(std::move(records), ratchet, crypto, verified);
  if (!report) return std::unexpected(OpsError(std::move(report).error()));
  return std::move(*report);
}

// The same with a verification cache's hashes, read where they lie.
OpsResult<core::validate::ValidationReport> validate(std::vector<HashedRecord>&& records,
                                                     const core::Ratchet& ratchet, const crypto::Crypto& crypto,
                                                     std::span<const core::HashValue> verified) {
  auto report = core::validate::validate_vault_with_verified_list(std::move(records), ratchet, crypto, verified);
  if (!report) return std::unexpected(OpsError(std::move(report).error()));
  return std::move(*report);
}

// A verification cache that checks out.
struct CheckedCache {
  store::VerificationCacheV1 cache;
};

std::optional<CheckedCache> checked_cache(const store::WorkspacePaths& paths, const core::HashValue& root,
                                          const core::HashValue& owner, const crypto::Crypto& crypto) {
  auto cache = store::read_verification_cache(paths, root, owner);
  if (!cache || cache->trusted_root != root || cache->version != store::kVerificationCacheVersion) return std::nullopt;
  const auto message = store::verification_cache_message(cache->trusted_root, 1, cache->record_hashes);
  const cord::ByteView domain = cord::text_bytes(kVerificationCacheDomain);
  if (!message || !crypto.verify_signature(domain, cache->signing_key, *message, cache->signature)) {
    return std::nullopt;
  }
  return CheckedCache{std::move(*cache)};
}

// The owner whose cache the keychain road trusts: the keychain's current
// user for the root, in the keychain the paths' facts name.
std::optional<core::HashValue> current_user_owner(const store::WorkspacePaths& paths, const core::HashValue& root,
                                                  const store::LockPolicy& policy) {
  const auto base = keychain::default_base_dir(paths.facts());
  if (!base) return std::nullopt;
  const auto current = keychain::read_current_user(*base, root.bytes(), policy, paths.facts());
  if (!current || !*current) return std::nullopt;
  return core::HashValue((*current)->user);
}

// The user `named` names among the records as they stand, unvalidated: an
// id as given; the one user whose id starts with the digits; the user the
// handle's record at its highest counter points to. None where that is not
// one user. One pass over the records.
std::optional<core::HashValue> named_owner(const NamedUser& named, std::span<const HashedRecord> records,
                                           const crypto::Crypto& crypto) {
  if (const auto* id = std::get_if<user_ref::Id>(&named)) return id->id.hash();
  if (const auto* prefix = std::get_if<named_user::IdPrefix>(&named)) {
    std::optional<core::UserId> found;
    for (const HashedRecord& r : records) {
      const core::RecordBodyV1* body = r.record.body.known();
      const auto* user = body != nullptr ? std::get_if<core::UserRecordV1>(body) : nullptr;
      if (user == nullptr || !core::hex_lower(user->user_id.bytes()).starts_with(prefix->hex)) continue;
      if (found && *found != user->user_id) return std::nullopt;
      found = user->user_id;
    }
    if (!found) return std::nullopt;
    return found->hash();
  }
  auto handle_id = core::derive_user_handle_id(crypto, std::get<user_ref::Handle>(named).text);
  if (!handle_id) return std::nullopt;
  const core::UserHandleRecordV1* latest = nullptr;
  bool tied = false;
  for (const HashedRecord& r : records) {
    const core::RecordBodyV1* body = r.record.body.known();
    const auto* handle = body != nullptr ? std::get_if<core::UserHandleRecordV1>(body) : nullptr;
    if (handle == nullptr || handle->handle_id != *handle_id) continue;
    if (latest == nullptr || handle->counter > latest->counter) {
      latest = handle;
      tied = false;
    } else if (handle->counter == latest->counter && handle->user_id != latest->user_id) {
      tied = true;
    }
  }
  if (latest == nullptr || tied) return std::nullopt;
  return latest->user_id.hash();
}

// Where the invitation's root has a trust file already, the invitation
// adds nothing. Only a hint, looked at before anything is decoded: the
// seeding road asks again under its lock, and a failed look takes that
// road, whose read reports the failure.
bool trust_file_present(const store::WorkspacePaths& paths, const core::HashValue& root) {
  const auto present = store::entry_present(store::ratchet_path(paths, root));
  return present && *present;
}

LockedSession assemble(const store::WorkspacePaths& paths, DecodedVault vault, core::Ratchet ratchet,
                       core::validate::ValidationReport report, std::optional<CheckedCache> cache,
                       std::optional<PendingTransaction> pending, const core::HashValue& owner,
                       const store::LockPolicy& policy) {
  std::optional<cord::Bytes> signer;
  std::optional<TrustedCache> trusted;
  if (cache) {
    signer = std::move(cache->cache.signing_key);
    trusted = TrustedCache{owner, std::move(cache->cache.trusted_root), std::move(cache->cache.record_hashes).take_items()};
  }
  return LockedSession{.paths = paths,
                       .vault_bytes = std::move(vault.bytes),
                       .vault_index = std::move(vault.index),
                       .ratchet = std::move(ratchet),
                       .report = std::move(report),
                       .ratchet_follows_report = true,
                       .ratchet_file_bytes = nullptr,
                       .vault_file = std::make_shared<const store::HeldFile>(std::move(vault.file)),
                       .ratchet_file = nullptr,
                       .cache_signer_key = std::move(signer),
                       .pending = std::move(pending),
                       .lock_policy = policy,
                       .trusted_cache = std::move(trusted)};
}

// The first open of an invitation's vault, whose root has no trust file:
// under the exclusive root-state lock, the baseline becomes the trust file
// once the vault validates against it as check_seeded_validation requires,
// and that validation is the session's. None when a trust file is there by
// the time the lock is held: the invitation then adds nothing.
OpsResult<std::optional<LockedSession>> seed_trust(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                                   const store::LockPolicy& policy, const core::HashValue& root,
                                                   DecodedVault& vault, const Invited& invited) {
  auto lock = store::acquire_root_state_lock(paths, root, policy);
  if (!lock) return std::unexpected(OpsError(std::move(lock).error()));
  const Path ratchet_file = store::ratchet_path(paths, root);
  auto present = store::entry_present(ratchet_file);
  if (!present) return std::unexpected(OpsError(store::StoreError::io(ratchet_file, std::move(present).error())));
  if (*present) return std::nullopt;
  VX_TRY(ensure_no_pending_transaction_locked(paths, root, crypto));
  if (!invited.invitation.baseline) {
    return std::unexpected(OpsError::of(OpsError::Kind::RollbackProtectedInviteRequired));
  }
  VX_TRY(refresh_locked(vault, paths, crypto));
  VX_TRY(stop_if_interrupted());
  core::Ratchet seeded = seed_ratchet_from_baseline(root, *invited.invitation.baseline);
  // Every signature is checked: nothing this user attested can stand for a
  // vault it has never trusted.
  VX_TRY_ASSIGN(auto report, validate(std::move(vault.records), seeded, crypto, core::validate::VerifiedHashes{}));
  VX_TRY(check_seeded_validation(report, invited.identity.user_id()));
  VX_TRY(stop_if_interrupted());
  // The report's raise goes into the file now; the session trusts it as
  // the trust raise of a load would have it.
  seeded.apply_update(report.ratchet_update);
  if (auto written = store::write_ratchet_atomic(paths, seeded); !written) {
    return std::unexpected(OpsError(written.error()));
  }
  return assemble(paths, std::move(vault), std::move(seeded), std::move(report), std::nullopt, std::nullopt,
                  invited.identity.user_id().hash(), policy);
}

OpsResult<LockedSession> load_session(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                      const store::LockPolicy& policy, const Invited* invited,
                                      const std::optional<NamedUser>& named) {
  const bool seeding = invited != nullptr && !trust_file_present(paths, invited->invitation.root);
  VX_TRY_ASSIGN(DecodedVault vault, read_and_decode_vault(paths, crypto));
  VX_TRY(stop_if_interrupted());
  VX_TRY_ASSIGN(const core::HashValue root, trusted_root_candidate(std::span<const HashedRecord>(vault.records), crypto));
  // Before any lock, so that an invitation for another vault creates
  // nothing in the state directory.
  if (invited != nullptr && root != invited->invitation.root) {
    return std::unexpected(OpsError::of(OpsError::Kind::InviteForDifferentRoot));
  }
  if (seeding) {
    VX_TRY_ASSIGN(auto seeded, seed_trust(paths, crypto, policy, root, vault, *invited));
    if (seeded) return std::move(*seeded);  // its raise is in the file already
  }
  VX_TRY(recover_for_root(paths, root, crypto, policy));
  VX_TRY(stop_if_interrupted());

  auto session = [&]() -> OpsResult<LockedSession> {
    // The vault, the strongest ratchet and the pending transaction are read
    // under one shared lock, so they belong together.
    auto shared = store::acquire_root_state_shared_lock(paths, root, policy);
    if (!shared) return std::unexpected(OpsError(std::move(shared).error()));
    VX_TRY(refresh_locked(vault, paths, crypto));
    VX_TRY_ASSIGN(auto strongest, read_strongest_ratchet_locked(paths, root, crypto));
    // The invitation road knows its user before the load; the keychain road
    // trusts the cache of the keychain's current user, or else of the user
    // the caller named.
    std::optional<core::HashValue> owner =
        invited != nullptr ? std::optional(invited->identity.user_id().hash()) : current_user_owner(paths, root, policy);
    if (!owner && invited == nullptr && named) owner = named_owner(*named, vault.records, crypto);
    std::optional<CheckedCache> cache;
    if (owner) cache = checked_cache(paths, root, *owner, crypto);
    // The cache's hashes are read where they lie, in the set's order.
    const std::span<const core::HashValue> verified =
        cache ? std::span<const core::HashValue>(cache->cache.record_hashes.items()) : std::span<const core::HashValue>();
    VX_TRY(stop_if_interrupted());
    VX_TRY_ASSIGN(auto report, validate(std::move(vault.records), strongest.ratchet, crypto, verified));
    return assemble(paths, std::move(vault), std::move(strongest.ratchet), std::move(report), std::move(cache),
                    std::move(strongest.pending), owner.value_or(core::HashValue{}), policy);
  }();
  if (!session) return session;
  VX_TRY(stop_if_interrupted());
  if (auto raised = session->absorb_clean_trust_raises(crypto, policy); !raised) return std::unexpected(raised.error());
  return session;
}

}  // namespace

std::optional<store::VerificationCacheV1> read_trusted_cache(const store::WorkspacePaths& paths,
                                                             const core::HashValue& root,
                                                             const crypto::Crypto& crypto,
                                                             const store::LockPolicy& policy) {
  const auto owner = current_user_owner(paths, root, policy);
  if (!owner) return std::nullopt;
  return read_trusted_cache_of(paths, root, *owner, crypto);
}

std::optional<store::VerificationCacheV1> read_trusted_cache_of(const store::WorkspacePaths& paths,
                                                                const core::HashValue& root,
                                                                const core::HashValue& owner,
                                                                const crypto::Crypto& crypto) {
  auto checked = checked_cache(paths, root, owner, crypto);
  if (!checked) return std::nullopt;
  return std::move(checked->cache);
}

OpsResult<LockedSession> LockedSession::load(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                             const store::LockPolicy& policy, const std::optional<NamedUser>& named) {
  return load_session(paths, crypto, policy, nullptr, named);
}

OpsResult<LockedSession> LockedSession::load_invited(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                                     const Invited& invited, const store::LockPolicy& policy) {
  return load_session(paths, crypto, policy, &invited, std::nullopt);
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
  core::Ratchet raised = *file ? std::move(**file) : core::Ratchet::make(session_root.to_vec());
  raised.apply_update(update);
  if (auto written = store::write_ratchet_atomic(paths, raised); !written) return std::unexpected(OpsError(written.error()));
  // A file raised meanwhile by another process holds more than the report
  // was validated against.
  ratchet_follows_report = raised == ratchet;
  ratchet = std::move(raised);
  return {};
}

OpsResult<bool> LockedSession::reload_if_stale_locked(const crypto::Crypto& crypto,
                                                      std::shared_ptr<const cord::Bytes>* ratchet_bytes) {
  // The vault this session wrote, its path still naming that unchanged
  // file, is not read again; anything else is read and compared.
  std::shared_ptr<const cord::Bytes> bytes;
  if (!vault_file || !vault_file->still_at(paths.vault_path())) {
    auto read = store::read_vault_bytes(paths);
    if (!read) return std::unexpected(OpsError(std::move(read).error()));
    bytes = std::make_shared<const cord::Bytes>(std::move(*read));
    vault_file.reset();
  }
  const bool vault_unchanged = !bytes || *bytes == *vault_bytes;
  const core::HashValue session_root = root();
  // Likewise the ratchet this session wrote: while its path names that
  // unchanged file, it holds the bytes the session kept.
  const Path ratchet_at = store::ratchet_path(paths, session_root);
  std::shared_ptr<const cord::Bytes> file;
  if (ratchet_file && ratchet_file_bytes && ratchet_file->still_at(ratchet_at)) {
    file = ratchet_file_bytes;
  } else {
    ratchet_file.reset();
    auto read = read_current_file(ratchet_at);
    if (!read) return std::unexpected(std::move(read).error());
    if (*read) file = std::make_shared<const cord::Bytes>(std::move(**read));
  }
  // A file that is exactly the encoding of this session's ratchet decodes
  // to it: known from one encoding instead of a decode, and from then on
  // raised in place like a file the session wrote.
  if (file && !ratchet_file_bytes && vault_unchanged) {
    auto encoded = store::encode_ratchet(ratchet);
    if (encoded && *encoded == *file) ratchet_file_bytes = file;
  }
  // The ratchet this session wrote, unchanged, with no transaction beside
  // it: nothing to decode.
  if (file && ratchet_file_bytes && file != ratchet_file_bytes && *file == *ratchet_file_bytes) {
    file = ratchet_file_bytes;  // one copy is enough
  }
  if (file && file == ratchet_file_bytes && vault_unchanged) {
    const Path transaction_file = store::transaction_path(paths, session_root);
    auto transaction = store::entry_present(transaction_file);
    if (!transaction) return std::unexpected(OpsError(store::StoreError::io(transaction_file, std::move(transaction).error())));
    if (!*transaction) {
      pending.reset();
      if (ratchet_bytes != nullptr) *ratchet_bytes = std::move(file);
      return false;
    }
  }
  auto strongest = read_strongest_ratchet_locked(paths, session_root, crypto);
  if (!strongest) return std::unexpected(std::move(strongest).error());
  if (ratchet_bytes != nullptr) *ratchet_bytes = std::move(file);
  if (vault_unchanged && strongest->ratchet == ratchet) {
    pending = std::move(strongest->pending);
    return false;
  }
  core::validate::VaultIndex index;
  auto decoded = decode_hashed(paths, bytes ? bytes : vault_bytes, crypto, index);
  if (!decoded) return std::unexpected(std::move(decoded).error());
  auto candidate = trusted_root_candidate(std::span<const HashedRecord>(*decoded), crypto);
  if (!candidate) return std::unexpected(std::move(candidate).error());
  if (*candidate != session_root) {
    return std::unexpected(OpsError(store::StoreError::trust_root_mismatch(std::move(*candidate), session_root)));
  }
  auto new_report =
      validate(std::move(*decoded), strongest->ratchet, crypto, report.effective.verified_record_hashes());
  if (!new_report) return std::unexpected(std::move(new_report).error());
  if (bytes) vault_bytes = std::move(bytes);
  vault_index = std::move(index);
  ratchet = std::move(strongest->ratchet);
  report = std::move(*new_report);
  ratchet_follows_report = true;
  ratchet_file_bytes.reset();
  ratchet_file.reset();
  pending = std::move(strongest->pending);
  return true;
}

OpsStatus LockedSession::ensure_valid() const {
  if (report.issues.empty()) return {};
  return std::unexpected(OpsError::validation_failed(report.issues));
}

}  // namespace vornex::ops
