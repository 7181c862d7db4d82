#include "vornex/ops/invite.hpp"

#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/ops/trust.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace vornex::ops {

core::Ratchet seed_ratchet_from_baseline(const core::HashValue& root,
                                         const std::vector<core::RatchetRecordV1>& baseline) {
  core::Ratchet ratchet = core::Ratchet::make(root.to_vec());
  ratchet.absorb_records(baseline);
  return ratchet;
}

bool has_suspected_rollback(const core::validate::ValidationReport& report) {
  for (const auto& [key, conflict] : report.effective.conflicts) {
    if (conflict.rollback_counter) return true;
  }
  return false;
}

OpsStatus check_seeded_validation(const core::validate::ValidationReport& report, const core::UserId& invitee) {
  if (has_suspected_rollback(report)) return std::unexpected(OpsError::of(OpsError::Kind::RolledBackPastInviteBaseline));
  if (!report.issues.empty()) return std::unexpected(OpsError::validation_failed(report.issues));
  if (!report.effective.users.contains(invitee)) return std::unexpected(OpsError::claimed_identity_not_member(invitee));
  return {};
}

OpsStatus ensure_ratchet_from_invite(const store::WorkspacePaths& paths, const crypto::Crypto& crypto,
                                     const core::InvitationMaterial& invitation, const store::LockPolicy& policy) {
  auto identity = crypto::Identity::from_master_seed(crypto, invitation.master_seed.view());
  if (!identity) return std::unexpected(OpsError(std::move(identity).error()));
  auto records = store::read_vault(paths);
  if (!records) return std::unexpected(OpsError(std::move(records).error()));
  auto root = trusted_root_candidate(*records, crypto);
  if (!root) return std::unexpected(std::move(root).error());
  // Checked before any lock, so that an invitation for another vault
  // creates nothing in the state directory.
  if (*root != invitation.root) return std::unexpected(OpsError::of(OpsError::Kind::InviteForDifferentRoot));

  auto lock = store::acquire_root_state_lock(paths, *root, policy);
  if (!lock) return std::unexpected(OpsError(std::move(lock).error()));
  // An existing ratchet file makes the invitation add nothing, so a pending
  // transaction (which the session load that follows completes) does not
  // concern it: refusing here would lock every invited opener out of a
  // vault whose last write failed after its commit point.
  auto existing = store::read_ratchet_for_root(paths, *root);
  if (!existing) return std::unexpected(OpsError(std::move(existing).error()));
  if (*existing) return {};
  if (auto clear = ensure_no_pending_transaction_locked(paths, *root, crypto); !clear) return clear;
  if (!invitation.baseline) return std::unexpected(OpsError::of(OpsError::Kind::RollbackProtectedInviteRequired));

  core::Ratchet seeded = seed_ratchet_from_baseline(*root, *invitation.baseline);
  auto report = core::validate::validate_vault(*records, seeded, crypto);
  if (!report) return std::unexpected(OpsError(std::move(report).error()));
  if (auto checked = check_seeded_validation(*report, identity->user_id()); !checked) return checked;
  seeded.apply_update(report->ratchet_update);
  if (auto written = store::write_ratchet_atomic(paths, seeded); !written) return std::unexpected(OpsError(written.error()));
  return {};
}

}  // namespace vornex::ops
