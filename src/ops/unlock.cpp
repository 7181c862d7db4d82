#include "vornex/ops/unlocked.hpp"

#include <algorithm>
#include <variant>
#include <vector>

#include "vornex/core/handles.hpp"
#include "vornex/core/prefix_sort.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/transcript.hpp"
#include "vornex/ops/principals.hpp"
#include "vornex/store/cache_file.hpp"

namespace vornex::ops {

namespace {

// Purposes that may change the vault or the keychain wait for a pending
// transaction; reading, running and verifying do not.
bool held_back_by_pending(const keychain::KeyUsePurpose& purpose) {
  return std::holds_alternative<keychain::key_use::Set>(purpose) ||
         std::holds_alternative<keychain::key_use::Move>(purpose) ||
         std::holds_alternative<keychain::key_use::Delete>(purpose) ||
         std::holds_alternative<keychain::key_use::Other>(purpose) ||
         std::holds_alternative<keychain::key_use::StoreIdentity>(purpose);
}

template <class Record>
std::optional<std::string> normalized_handle(const Record* record) {
  if (record == nullptr) return std::nullopt;
  return core::normalize_handle(record->handle);
}

}  // namespace

OpsStatus ensure_member(const LockedSession& session, const core::UserId& user) {
  if (!session.report.issues.empty() || session.report.effective.users.contains(user)) return {};
  return std::unexpected(OpsError::not_effective_member(user));
}

OpsStatus LockedSession::attest_verifications(const crypto::Crypto& crypto, const crypto::Identity& identity) {
  if (cache_signer_key && *cache_signer_key != identity.signing_public_key()) {
    // Hashes another key vouched for are not this identity's to trust.
    auto records = core::validate::decode_vault_hashed(vault_bytes, crypto);
    if (!records && records.error().kind() == core::CoreError::Kind::Interrupted) {
      return std::unexpected(OpsError(std::move(records).error()));
    }
    if (!records) {
      return std::unexpected(OpsError(store::StoreError::vault_invalid(paths.vault_path(), std::move(records).error())));
    }
    auto full = core::validate::validate_vault_with_verified(std::move(*records), ratchet, crypto, {});
    if (!full) return std::unexpected(OpsError(std::move(full).error()));
    report = std::move(*full);
    ratchet_follows_report = true;
    cache_signer_key.reset();
    trusted_cache.reset();
    if (auto valid = ensure_valid(); !valid) return valid;
  }
  if (!report.issues.empty()) return {};
  // Record hashes are domain hashes, all of one width, and the report holds
  // each record once: sorted by their bytes, they are in the set's order.
  // They are sorted by pointer on their first eight bytes, taken in one
  // pass, so that most comparisons never reach the hashes themselves, and
  // are only copied into a set when a new cache is to be written.
  // Their widths are read in the same pass, in the records' own order.
  std::vector<std::pair<std::uint64_t, const core::HashValue*>> keyed;
  keyed.reserve(report.effective.records.size());
  bool one_width = true;
  for (const core::validate::VerifiedRecord& record : report.effective.records) {
    const cord::ByteView bytes = record.hash.bytes();
    if (!keyed.empty() && bytes.size() != keyed.front().second->bytes().size()) one_width = false;
    keyed.emplace_back(core::validate::detail::byte_prefix(bytes), &record.hash);
  }
  core::prefix_sort(keyed, [](const auto& k) { return k.first; }, [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : *a.second < *b.second;
  });
  std::vector<const core::HashValue*> hashes;
  hashes.reserve(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    const bool repeat = i > 0 && keyed[i].first == keyed[i - 1].first && *keyed[i].second == *keyed[i - 1].second;
    if (!repeat) hashes.push_back(keyed[i].second);
  }
  const core::HashValue trusted_root(ratchet.trusted_root());
  // The hashes, met in sorted order and so each somewhere else in memory,
  // against the cache's: the ones a few steps ahead are fetched meanwhile.
  const auto same_hashes = [&](const std::vector<core::HashValue>& cached) {
    constexpr std::size_t kAhead = 8;
    if (hashes.size() != cached.size()) return false;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      if (i + kAhead < hashes.size()) __builtin_prefetch(hashes[i + kAhead]);
      if (!(*hashes[i] == cached[i])) return false;
    }
    return true;
  };
  // A cache this identity signed over these very hashes, for this root, in
  // its own file, says what a new one would: it stays as it is, and no new
  // message is built or signed.
  const bool unchanged = one_width && trusted_cache && cache_signer_key == identity.signing_public_key() &&
                         trusted_cache->owner == identity.user_id().hash() && trusted_cache->root == trusted_root &&
                         same_hashes(trusted_cache->record_hashes);
  if (!unchanged) {
    std::vector<core::HashValue> owned;
    owned.reserve(hashes.size());
    for (const core::HashValue* h : hashes) owned.push_back(*h);
    std::optional<cord::Bytes> message;
    cord::Result<cord::Set<core::HashValue>> record_hashes = cord::Set<core::HashValue>{};
    if (one_width) {
      auto built = store::verification_cache_message(trusted_root, store::kVerificationCacheVersion,
                                                     std::span<const core::HashValue* const>(hashes));
      if (built) message = std::move(*built);
      record_hashes = cord::Set<core::HashValue>::from_ascending(std::move(owned));  // the message's very order
    } else {
      // Hashes of several widths order by their encodings.
      record_hashes = cord::Set<core::HashValue>::from(std::move(owned));
      if (record_hashes) {
        auto built = store::verification_cache_message(trusted_root, store::kVerificationCacheVersion, *record_hashes);
        if (built) message = std::move(*built);
      }
    }
    if (message && record_hashes) {
      const cord::ByteView domain = cord::text_bytes(kVerificationCacheDomain);
      const cord::Bytes signature = identity.sign(domain, *message);
      const store::VerificationCacheV1 cache{trusted_root, store::kVerificationCacheVersion, std::move(*record_hashes),
                                             identity.signing_public_key(), signature};
      // The cache only saves work: a failed write costs the next open a full
      // verification, nothing else.
      (void)store::write_verification_cache_atomic(paths, identity.user_id().hash(), cache);
    }
  }
  cache_signer_key.reset();
  trusted_cache.reset();
  return {};
}

OpsResult<UnlockedSession> UnlockedSession::promote(LockedSession session, const crypto::Crypto& crypto,
                                                    const keychain::IdentityKeychain& keychain,
                                                    const core::UserId& expected_user,
                                                    keychain::KeyUsePurpose purpose) {
  if (held_back_by_pending(purpose) && session.pending) {
    return std::unexpected(pending_barrier_error(*session.pending));
  }
  if (auto valid = session.ensure_valid(); !valid) return std::unexpected(valid.error());
  const core::validate::EffectiveState& state = session.report.effective;
  // The keychain is kept per trusted root, named by the root's fingerprint
  // as the ratchet is.
  if (!state.root_user_id || !state.root_fingerprint) {
    return std::unexpected(OpsError::of(OpsError::Kind::MissingEffectiveRoot));
  }
  keychain::KeychainRequest request =
      keychain::KeychainRequest::make(session.paths, *state.root_fingerprint, expected_user, std::move(purpose))
          .with_labels(normalized_handle(primary_vault_handle(state)),
                       normalized_handle(primary_handle_for_user(state, expected_user)));
  auto identity = keychain.unlock_identity(crypto, request);
  if (!identity) return std::unexpected(OpsError(std::move(identity).error()));
  if (identity->user_id() != expected_user) {
    return std::unexpected(OpsError::keychain_identity_mismatch(expected_user, identity->user_id()));
  }
  if (auto attested = session.attest_verifications(crypto, *identity); !attested) {
    return std::unexpected(attested.error());
  }
  if (auto member = ensure_member(session, identity->user_id()); !member) return std::unexpected(member.error());
  if (auto valid = session.ensure_valid(); !valid) return std::unexpected(valid.error());
  return UnlockedSession(std::move(session), std::move(*identity));
}

OpsResult<UnlockedSession> UnlockedSession::with_identity(LockedSession session, const crypto::Crypto& crypto,
                                                          crypto::Identity identity) {
  if (auto valid = session.ensure_valid(); !valid) return std::unexpected(valid.error());
  if (auto attested = session.attest_verifications(crypto, identity); !attested) {
    return std::unexpected(attested.error());
  }
  if (auto valid = session.ensure_valid(); !valid) return std::unexpected(valid.error());
  if (auto member = ensure_member(session, identity.user_id()); !member) return std::unexpected(member.error());
  return UnlockedSession(std::move(session), std::move(identity));
}

OpsResult<UnlockedSession> UnlockedSession::from_invitation(const store::WorkspacePaths& paths,
                                                            const crypto::Crypto& crypto,
                                                            const core::InvitationMaterial& invitation,
                                                            const store::LockPolicy& policy) {
  auto identity = crypto::Identity::from_master_seed(crypto, invitation.master_seed.view());
  if (!identity) return std::unexpected(OpsError(std::move(identity).error()));
  auto locked = LockedSession::load_invited(paths, crypto, Invited{invitation, *identity}, policy);
  if (!locked) return std::unexpected(std::move(locked).error());
  return with_identity(std::move(*locked), crypto, std::move(*identity));
}

OpsResult<SecretPlaintext> UnlockedSession::get_secret(const crypto::Crypto& crypto,
                                                       core::SecretSelectorV1 selector) const {
  selector = normalize_selector(std::move(selector));
  return current_plaintext(session_.report.effective, crypto, identity_, selector);
}

OpsResult<Written<SetSecretOutput>> UnlockedSession::set_secret(const crypto::Crypto& crypto,
                                                                core::SecretSelectorV1 selector,
                                                                cord::ByteView primary, const WriteGate& gate) {
  return set_secret_value(crypto, std::move(selector), core::SecretValueV1::from_primary(primary), gate);
}

OpsResult<Written<SetSecretOutput>> UnlockedSession::set_secret_value(const crypto::Crypto& crypto,
                                                                      core::SecretSelectorV1 selector,
                                                                      core::SecretValueV1 value,
                                                                      const WriteGate& gate) {
  selector = normalize_selector(std::move(selector));
  if (auto writable = ensure_secret_writable(session_.report.effective, selector, identity_); !writable) {
    return std::unexpected(writable.error());
  }
  return session_.set_secret_value(crypto, identity_, selector, std::move(value), gate);
}

OpsResult<std::optional<Written<SetSecretOutput>>> UnlockedSession::update_secret_value(
    const crypto::Crypto& crypto, core::SecretSelectorV1 selector, const ValueUpdate& update, const WriteGate& gate) {
  selector = normalize_selector(std::move(selector));
  // An update reads before it writes: a value this identity cannot read
  // fails as the read would, before any write check or lock.
  if (auto readable = ensure_secret_readable(session_.report.effective, crypto, identity_, selector); !readable) {
    return std::unexpected(readable.error());
  }
  if (auto writable = ensure_secret_writable(session_.report.effective, selector, identity_); !writable) {
    return std::unexpected(writable.error());
  }
  return session_.update_secret_value(crypto, identity_, selector, update, gate);
}

OpsResult<Written<DeleteSecretOutput>> UnlockedSession::delete_secret(const crypto::Crypto& crypto,
                                                                      core::SecretSelectorV1 selector,
                                                                      const WriteGate& gate) {
  selector = normalize_selector(std::move(selector));
  if (auto writable = ensure_secret_writable(session_.report.effective, selector, identity_); !writable) {
    return std::unexpected(writable.error());
  }
  return session_.delete_secret(crypto, identity_, selector, gate);
}

}  // namespace vornex::ops
