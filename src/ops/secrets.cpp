#include "vornex/ops/secrets.hpp"

#include <algorithm>
#include <variant>

#include "cord/text.hpp"
#include "vornex/core/secret.hpp"
#include "vornex/core/validate/extend.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/aead.hpp"
#include "vornex/crypto/signed_records.hpp"
#include "vornex/ops/session.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/ratchet_splice.hpp"

namespace vornex::ops {

namespace {

using core::validate::EffectiveState;

// What the locked write adds: a value computed from the current one (or
// given), or a deletion.
struct ValueWrite {
  const ValueUpdate* update = nullptr;  // null: `value` is written as it is
  core::SecretValueV1 value;
};
struct DeletionWrite {};
using WriteKind = std::variant<ValueWrite, DeletionWrite>;

struct Built {
  core::VaultRecordV1 record;
  cord::Bytes encoding;  // canonical, as the vault file holds it
  core::HashValue hash;
  std::optional<core::SealedPayloadV1> payload;
};

// A record whose body could not be decoded again must never reach the
// vault; the check is made before anything is sealed, with the sizes.
OpsStatus ensure_sealable(const core::SecretValueV1& value) {
  auto envelope = plaintext_envelope(value);
  if (!envelope) return std::unexpected(std::move(envelope).error());
  const std::uint64_t ciphertext = envelope->size() + crypto::kAeadTagSize;
  core::secure_wipe(envelope->data(), envelope->size());
  const std::uint64_t limit = cord::Limits{}.max_length;
  if (ciphertext > limit) return std::unexpected(OpsError(cord::CordError::length_limit(ciphertext, limit)));
  return {};
}

// The record-building step of both writes: the new record (a value, or a
// deletion when there is none) on the session's current state. Its counter
// outranks the highest admitted record and every conflicting one.
OpsResult<Built> commit_record(const EffectiveState& state, const crypto::Crypto& crypto,
                               const crypto::Identity& identity, const core::SecretSelectorV1& selector,
                               const core::SecretId& secret_id, const std::optional<core::SecretValueV1>& value) {
  const std::uint64_t counter = std::max(core::validate::next_counter(state.highest_counter),
                                         state.rollback_counter_floor());
  if (counter > kMaxRecordCounter) return std::unexpected(OpsError::of(OpsError::Kind::LamportCounterExhausted));
  Built built;
  if (value) {
    const RecordContext context{core::record_key::Secret{secret_id}, identity.signing_public_key(), secret_id,
                                selector, counter};
    auto payload = seal_secret_payload(state, context, *value);
    if (!payload) return std::unexpected(std::move(payload).error());
    // The body must fit what a reader's decoder accepts, or the record could
    // never be read again; refused here, with the sizes, before signing.
    const core::StoredPayloadV1 stored(*payload);  // encoded once for both uses
    const core::RecordBodyV1 body = core::SecretRecordV1{secret_id, selector, stored, counter};
    auto body_bytes = cord::serialize(body);
    if (!body_bytes) return std::unexpected(OpsError(std::move(body_bytes).error()));
    if (const std::uint64_t limit = cord::Limits{}.max_length; body_bytes->size() > limit) {
      return std::unexpected(OpsError(cord::CordError::length_limit(body_bytes->size(), limit)));
    }
    auto record = crypto::secret_record(crypto, identity, selector, stored, counter);
    if (!record) return std::unexpected(OpsError(std::move(record).error()));
    built.record = std::move(*record);
    built.payload = std::move(*payload);
  } else {
    auto record = crypto::secret_deleted_record(crypto, identity, selector, counter);
    if (!record) return std::unexpected(OpsError(std::move(record).error()));
    built.record = std::move(*record);
  }
  auto encoded = cord::serialize(built.record);
  if (!encoded) return std::unexpected(OpsError(core::CoreError(std::move(encoded).error())));
  built.hash = crypto.hash(core::domains::kRecordHash, *encoded);
  built.encoding = std::move(*encoded);
  return built;
}

}  // namespace

core::SecretSelectorV1 normalize_selector(core::SecretSelectorV1 selector) {
  for (std::string& segment : selector.tuple) segment = cord::text::to_nfc(segment);
  for (core::SecretLabelV1& label : selector.labels) {
    label.key = cord::text::to_nfc(label.key);
    label.value = cord::text::to_nfc(label.value);
  }
  std::stable_sort(selector.labels.begin(), selector.labels.end(),
                   [](const core::SecretLabelV1& a, const core::SecretLabelV1& b) { return a.key < b.key; });
  return selector;
}

OpsStatus ensure_secret_writable(const EffectiveState& state, const core::SecretSelectorV1& selector,
                                 const crypto::Identity& identity) {
  if (!state.users.contains(identity.user_id())) {
    return std::unexpected(OpsError::writer_missing_user_record(identity.user_id()));
  }
  if (state.blocked || !state.authorities.can_write(identity.user_id(), selector)) {
    return std::unexpected(OpsError::of(OpsError::Kind::SecretNotWritable));
  }
  return {};
}

OpsStatus ensure_secret_readable(const EffectiveState& state, const crypto::Crypto& crypto,
                                 const crypto::Identity& identity, const core::SecretSelectorV1& selector) {
  using core::validate::SecretStatus;
  const SecretStatus status = state.classify_secret_for_user(selector, identity.user_id(), crypto);
  switch (status) {
    case SecretStatus::ActiveDecryptable: return {};
    case SecretStatus::Missing: return std::unexpected(OpsError::of(OpsError::Kind::SecretMissing));
    case SecretStatus::Conflicted: return std::unexpected(OpsError::of(OpsError::Kind::SecretConflicted));
    default: return std::unexpected(OpsError::secret_not_decryptable(status));
  }
}

OpsResult<SecretPlaintext> current_plaintext(const EffectiveState& state, const crypto::Crypto& crypto,
                                             const crypto::Identity& identity,
                                             const core::SecretSelectorV1& selector) {
  if (auto readable = ensure_secret_readable(state, crypto, identity, selector); !readable) {
    return std::unexpected(readable.error());
  }
  return decrypt_secret_from_report(state, identity, selector, crypto);
}

namespace {

// Puts a derived report back as it was unless the write commits.
struct ReportExtension {
  core::validate::ValidationReport& report;
  std::optional<core::validate::SecretWriteUndo> undo;
  explicit ReportExtension(core::validate::ValidationReport& extended) : report(extended) {}
  ReportExtension(const ReportExtension&) = delete;
  ReportExtension& operator=(const ReportExtension&) = delete;
  ~ReportExtension() {
    if (undo) core::validate::undo_secret_write(report, std::move(*undo));
  }
};

// Raises of the session's ratchet made by a write, taken back, the last
// first, unless the write commits.
class RatchetRaises {
 public:
  explicit RatchetRaises(core::Ratchet& ratchet) : ratchet_(ratchet) {}
  RatchetRaises(const RatchetRaises&) = delete;
  RatchetRaises& operator=(const RatchetRaises&) = delete;
  ~RatchetRaises() {
    for (auto it = undos_.rbegin(); it != undos_.rend(); ++it) ratchet_.undo_raise(*it);
  }

  void apply(const core::RatchetUpdate& update) { undos_.push_back(ratchet_.apply_update_undoably(update)); }
  void keep() { undos_.clear(); }

 private:
  core::Ratchet& ratchet_;
  std::vector<core::RatchetRaiseUndo> undos_;
};

// The payload of the record spliced into `next_file`, borrowed from it; none
// for a record that is not a secret write or was there already.
std::optional<core::StoredPayloadV1> spliced_payload(const std::shared_ptr<const cord::Bytes>& next_file,
                                                     std::size_t old_size, const core::validate::SplicedVault& spliced) {
  if (!spliced.inserted) return std::nullopt;
  const std::size_t size = next_file->size() - old_size;
  cord::Deserializer d(cord::ByteView(*next_file).subspan(spliced.at, size));
  d.set_lender(&next_file);
  core::VaultRecordV1 record;
  if (!cord::decode(d, record) || d.remaining() != 0) return std::nullopt;
  auto* secret = std::get_if<core::SecretRecordV1>(record.body.known());
  if (secret == nullptr) return std::nullopt;
  return std::move(secret->payload);
}

// After a write, every payload the session keeps borrows from the new file:
// those borrowed from `old_file` move to the same bytes in `next_file`, the
// old file with one record spliced in, and the new record's (`added`, whose
// payload is `added_payload`) to where it was spliced. A payload not found
// there stays where it is: that costs memory, never a wrong value. Runs
// once the write has committed, so it allocates nothing and cannot fail.
void rehome_payloads(std::vector<core::validate::VerifiedRecord>& records, const cord::Bytes& old_file,
                     const std::shared_ptr<const cord::Bytes>& next_file, const core::validate::SplicedVault& spliced,
                     const core::HashValue& added, const std::optional<core::StoredPayloadV1>& added_payload) noexcept {
  const std::size_t moved_by = spliced.inserted ? next_file->size() - old_file.size() : 0;
  for (core::validate::VerifiedRecord& verified : records) {
    auto* secret = std::get_if<core::SecretRecordV1>(verified.record.body.known());
    if (secret == nullptr) continue;
    if (const std::optional<std::size_t> offset = secret->payload.offset_in(old_file)) {
      secret->payload.rehome(next_file, *offset >= spliced.at ? *offset + moved_by : *offset);
    } else if (added_payload && verified.hash == added && secret->payload == *added_payload) {
      secret->payload = *added_payload;
    }
  }
}

// One locked write. `Out` is what the caller gets for the new record.
template <class Out>
OpsResult<std::optional<Written<Out>>> write_locked(LockedSession& session, const crypto::Crypto& crypto,
                                                    const crypto::Identity& identity,
                                                    const core::SecretSelectorV1& selector, WriteKind& kind,
                                                    const WriteGate& gate) {
  using Result = std::optional<Written<Out>>;
  if (auto consistent = crypto::ensure_identity_consistent(crypto, identity); !consistent) {
    return std::unexpected(OpsError(std::move(consistent).error()));
  }
  auto secret_id = core::derive_secret_id(crypto, selector);
  if (!secret_id) return std::unexpected(OpsError(std::move(secret_id).error()));
  const core::HashValue root = session.root();
  auto root_lock = store::acquire_root_state_lock(session.paths, root, session.lock_policy);
  if (!root_lock) return std::unexpected(OpsError(std::move(root_lock).error()));
  auto workspace_lock = store::acquire_workspace_lock(session.paths, session.lock_policy);
  if (!workspace_lock) return std::unexpected(OpsError(std::move(workspace_lock).error()));
  if (auto clear = ensure_no_pending_transaction_locked(session.paths, root, crypto); !clear) {
    return std::unexpected(clear.error());
  }
  // The ratchet as the file holds it, byte for byte, is what the commit
  // must find unchanged; a re-encoding could differ from a valid file.
  std::shared_ptr<const cord::Bytes> ratchet_before;
  if (auto reloaded = session.reload_if_stale_locked(crypto, &ratchet_before); !reloaded) {
    return std::unexpected(reloaded.error());
  }
  if (auto valid = session.ensure_valid(); !valid) return std::unexpected(valid.error());
  const EffectiveState& state = session.report.effective;
  if (gate) {
    if (auto passed = gate(state); !passed) return std::unexpected(passed.error());
  }
  // Checked again on what the files hold now: a grant revoked since the
  // session was loaded refuses the write for what it is.
  if (auto writable = ensure_secret_writable(state, selector, identity); !writable) {
    return std::unexpected(writable.error());
  }

  std::optional<core::SecretValueV1> value;
  if (auto* write = std::get_if<ValueWrite>(&kind)) {
    if (write->update != nullptr) {
      // Read and changed under the locks, after the reload, so that
      // nothing another writer committed meanwhile is lost.
      auto current = current_plaintext(state, crypto, identity, selector);
      if (!current) return std::unexpected(std::move(current).error());
      auto updated = (*write->update)(*current);
      if (!updated) return std::unexpected(std::move(updated).error());
      if (!*updated) return Result();
      value = std::move(**updated);
    } else {
      value = std::move(write->value);
    }
    if (auto sealable = ensure_sealable(*value); !sealable) return std::unexpected(sealable.error());
  }

  if (!ratchet_before) return std::unexpected(OpsError::transaction_precondition_changed("ratchet"));

  // The working ratchet's file bytes, from the file the session knows,
  // when they can be had without encoding every record again.
  std::shared_ptr<const cord::Bytes> working_ratchet_bytes;
  if (session.ratchet_file_bytes) {
    working_ratchet_bytes =
        store::raise_ratchet_bytes(session.ratchet_file_bytes, session.ratchet, session.report.ratchet_update);
  }
  // The session's ratchet is raised in place, and lowered back unless the
  // write commits: no copy of a ratchet that may hold a counter per record.
  RatchetRaises working{session.ratchet};
  const core::Ratchet& working_ratchet = session.ratchet;
  working.apply(session.report.ratchet_update);
  auto built = commit_record(state, crypto, identity, selector, *secret_id, value);
  if (!built) return std::unexpected(std::move(built).error());
  auto vault_image = core::validate::splice_record(*session.vault_bytes, session.vault_index, built->encoding);
  if (!vault_image) return std::unexpected(OpsError(std::move(vault_image).error()));
  const auto next_vault = std::make_shared<const cord::Bytes>(std::move(vault_image->file));
  const std::optional<core::StoredPayloadV1> added_payload =
      spliced_payload(next_vault, session.vault_bytes->size(), *vault_image);

  // The new record's report: derived from the session's where the record
  // provably changes nothing but its own secret, else a full validation.
  // A derived report lives in the session and is put back unless the
  // write commits.
  ReportExtension extension{session.report};
  auto derived = core::validate::extend_with_secret_write(session.report, working_ratchet,
                                                          session.ratchet_follows_report, built->record,
                                                          built->hash, built->encoding, crypto);
  if (!derived) return std::unexpected(OpsError(std::move(derived).error()));
  extension.undo = std::move(*derived);
  std::optional<core::validate::ValidationReport> full;
  if (!extension.undo) {
    auto records = core::validate::decode_vault_hashed(next_vault, crypto);
    if (!records) {
      return std::unexpected(
          OpsError(store::StoreError::vault_invalid(session.paths.vault_path(), std::move(records).error())));
    }
    auto report = core::validate::validate_vault_with_verified(std::move(*records), working_ratchet, crypto,
                                                               state.verified_record_hashes());
    if (!report) return std::unexpected(OpsError(std::move(report).error()));
    full = std::move(*report);
  }
  const core::validate::ValidationReport& report = full ? *full : session.report;
  if (!report.issues.empty()) return std::unexpected(OpsError::validation_failed(report.issues));
  if (!report.effective.secret_record_is_current(built->hash)) {
    return std::unexpected(
        OpsError::not_effective(std::string(value ? kValueNotEffective : kDeletionNotEffective)));
  }
  std::shared_ptr<const cord::Bytes> ratchet_image;
  if (working_ratchet_bytes) {
    ratchet_image = store::raise_ratchet_bytes(working_ratchet_bytes, working_ratchet, report.ratchet_update);
  }
  working_ratchet_bytes.reset();
  working.apply(report.ratchet_update);
  if (!ratchet_image) {
    auto encoded = store::encode_ratchet(working_ratchet);
    if (!encoded) return std::unexpected(OpsError(std::move(encoded).error()));
    ratchet_image = std::make_shared<const cord::Bytes>(std::move(*encoded));
  }
  // Both before-images were read under these locks, and both after-images
  // encode what was just validated.
  // What the session and the caller keep is made before the commit: once
  // the files have changed, nothing may fail and call the write failed.
  auto vault_file = std::make_shared<store::HeldFile>();
  auto ratchet_file = std::make_shared<store::HeldFile>();
  Written<Out> out = [&] {
    if constexpr (std::is_same_v<Out, SetSecretOutput>) {
      return Written<Out>{SetSecretOutput{*secret_id, selector, std::move(*built->payload)}, built->hash};
    } else {
      return Written<Out>{DeleteSecretOutput{*secret_id, selector}, built->hash};
    }
  }();
  const bool ratchet_written = ratchet_image != ratchet_before && !std::ranges::equal(*ratchet_image, *ratchet_before);
  if (auto committed = commit_vouched_images_locked(session.paths, root, crypto, kVaultMutationLabel,
                                                    *session.vault_bytes, *ratchet_before, *next_vault,
                                                    *ratchet_image, vault_file.get(), ratchet_file.get());
      !committed) {
    return std::unexpected(committed.error());
  }

  extension.undo.reset();  // committed: the derived report stays
  if (full) session.report = std::move(*full);
  // The records kept from before the write borrow their payloads from the
  // new file, where the same bytes lie, so the old file can go.
  rehome_payloads(session.report.effective.records, *session.vault_bytes, next_vault, *vault_image, built->hash,
                  added_payload);
  session.vault_bytes = next_vault;
  session.vault_index = std::move(vault_image->index);
  working.keep();
  session.ratchet_follows_report = true;
  session.ratchet_file_bytes = std::move(ratchet_image);
  session.vault_file = std::move(vault_file);
  // A ratchet not written is the file the reload found, still held if it was.
  if (ratchet_written) session.ratchet_file = std::move(ratchet_file);
  session.pending.reset();
  return Result(std::move(out));
}

}  // namespace

OpsResult<Written<SetSecretOutput>> LockedSession::set_secret_value(const crypto::Crypto& crypto,
                                                                    const crypto::Identity& identity,
                                                                    const core::SecretSelectorV1& selector,
                                                                    core::SecretValueV1 value,
                                                                    const WriteGate& gate) {
  WriteKind kind = ValueWrite{nullptr, std::move(value)};
  auto written = write_locked<SetSecretOutput>(*this, crypto, identity, selector, kind, gate);
  if (!written) return std::unexpected(std::move(written).error());
  return std::move(**written);
}

OpsResult<std::optional<Written<SetSecretOutput>>> LockedSession::update_secret_value(
    const crypto::Crypto& crypto, const crypto::Identity& identity, const core::SecretSelectorV1& selector,
    const ValueUpdate& update, const WriteGate& gate) {
  WriteKind kind = ValueWrite{&update, {}};
  return write_locked<SetSecretOutput>(*this, crypto, identity, selector, kind, gate);
}

OpsResult<Written<DeleteSecretOutput>> LockedSession::delete_secret(const crypto::Crypto& crypto,
                                                                    const crypto::Identity& identity,
                                                                    const core::SecretSelectorV1& selector,
                                                                    const WriteGate& gate) {
  WriteKind kind = DeletionWrite{};
  auto written = write_locked<DeleteSecretOutput>(*this, crypto, identity, selector, kind, gate);
  if (!written) return std::unexpected(std::move(written).error());
  return std::move(**written);
}

}  // namespace vornex::ops
