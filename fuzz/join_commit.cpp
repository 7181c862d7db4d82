// The join-commit journal, found at opening beside the ratchet file of a
// workspace whose vault is empty and whose ratchet holds only the root.
// Recovery either applies the journal, after which the vault and the
// ratchet read back as its images and the journal is gone, or refuses it
// with one of the errors recovery has for journals, leaving the vault file
// as it was and the journal in place.
#include <cstdlib>

#include "support.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/join_commit.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace {

using namespace vornex;

const core::HashValue kFallbackRoot(cord::Bytes(32, 0x52));
// Longer roots name no directory this system could make.
constexpr std::size_t kMaxRootBytes = 64;
const store::LockPolicy kNoWait{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};

// The root the journal names, so that it is found where recovery looks.
core::HashValue root_named_by(cord::ByteView file) {
  if (file.size() < ops::kJoinCommitMagic.size()) return kFallbackRoot;
  auto journal = cord::deserialize<ops::JoinCommitJournal>(file.subspan(ops::kJoinCommitMagic.size()),
                                                           store::kTransactionCordLimits);
  if (!journal) return kFallbackRoot;
  const core::HashValue& root = std::get<ops::JoinCommitJournalV1>(*journal).root_fingerprint;
  return root.bytes().size() <= kMaxRootBytes ? root : kFallbackRoot;
}

bool expected_refusal(const ops::OpsError& error) {
  using Kind = ops::OpsError::Kind;
  switch (error.kind()) {
    case Kind::KubernetesEnrollmentConflict:
    case Kind::Cord:
      return true;
    case Kind::Store: {
      const auto kind = error.store_error()->kind();
      return kind == store::StoreError::Kind::RatchetInvalid || kind == store::StoreError::Kind::VaultInvalid ||
             kind == store::StoreError::Kind::TrustRootMismatch;
    }
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::use_scratch_state_dir(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const fuzz::fs::path& scratch = fuzz::Scratch::get().fresh();
  const auto paths = store::WorkspacePaths::from_vault_path(scratch / "ws" / ".vornex" / "vault.cord");
  const core::HashValue root = root_named_by(file);

  auto empty_vault = core::validate::encode_vault({});
  fuzz::check_ok(empty_vault, "encoding an empty vault");
  auto ratchet = store::encode_ratchet(core::Ratchet::make(root.to_vec()));
  fuzz::check_ok(ratchet, "encoding a fresh ratchet");
  fuzz::write_file(paths.vault_path(), *empty_vault);
  fuzz::write_file(store::ratchet_path(paths, root), *ratchet);
  const fuzz::fs::path journal_path = store::join_commit_path(paths, root);
  fuzz::write_file(journal_path, file);

  const crypto::Crypto crypto;
  auto applied = ops::recover_join_commit(paths, root, crypto, kNoWait);
  auto vault_now = store::read_vault_bytes(paths);
  if (!applied) {
    fuzz::check(expected_refusal(applied.error()), "a journal is refused for a reason of its own",
                applied.error().message());
    fuzz::check(vault_now && fuzz::same_bytes(*vault_now, *empty_vault), "a refused journal leaves the vault as it was");
    fuzz::check(fuzz::fs::exists(journal_path), "a refused journal stays");
    return 0;
  }
  fuzz::check(*applied, "a journal present is applied");
  fuzz::check(!fuzz::fs::exists(journal_path), "an applied journal is removed");
  auto journal = cord::deserialize<ops::JoinCommitJournal>(file.subspan(ops::kJoinCommitMagic.size()),
                                                           store::kTransactionCordLimits);
  fuzz::check_ok(journal, "decoding an applied journal");
  const auto& v1 = std::get<ops::JoinCommitJournalV1>(*journal);
  fuzz::check(vault_now && fuzz::same_bytes(*vault_now, v1.vault_image), "the vault holds the journal's image");
  fuzz::check_ok(store::read_vault(paths), "reading the vault a journal wrote");
  auto ratchet_now = store::read_ratchet_for_root(paths, root);
  fuzz::check_ok(ratchet_now, "reading the ratchet a journal wrote");
  fuzz::check(ratchet_now->has_value(), "the ratchet a journal wrote is there");
  return 0;
}
