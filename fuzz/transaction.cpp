// The pending-transaction file. An accepted file re-encodes to exactly
// itself. Recovery's later steps must not fail on it except for the reasons
// they exist: the after-images are checked as recovery checks them, and a
// transaction whose images check out is rolled forward into an empty
// workspace, after which the vault and the ratchet read back as written.
#include <cstdlib>

#include "support.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"

namespace {

using namespace vornex;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::use_scratch_state_dir(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  auto transaction = store::decode_transaction("transaction.cord", file);
  if (!transaction) {
    fuzz::check(transaction.error().kind() == store::StoreError::Kind::TransactionInvalid,
                "a refused transaction is invalid", transaction.error().message());
    return 0;
  }
  auto encoded = store::encode_transaction(*transaction);
  fuzz::check_ok(encoded, "re-encoding an accepted transaction");
  fuzz::check(fuzz::same_bytes(*encoded, file), "an accepted transaction re-encodes to exactly itself");
  (void)ops::pending_error(*transaction).message();

  const crypto::Crypto crypto;
  const fuzz::fs::path& scratch = fuzz::Scratch::get().fresh();
  const auto paths = store::WorkspacePaths::from_vault_path(scratch / "ws" / ".vornex" / "vault.cord");
  auto ratchet = ops::validate_transaction(*transaction, crypto, paths);
  if (!ratchet) return 0;
  fuzz::check_ok(store::encode_ratchet(*ratchet), "encoding a transaction's ratchet");

  // Only a transaction that expects both files absent applies to an empty
  // workspace; any other is a recovery mismatch there.
  fuzz::check_ok(store::create_dir_all(paths.vornex_dir()), "creating the workspace");
  auto applied = ops::complete_transaction_locked(paths, *transaction, crypto);
  const bool from_nothing = transaction->vault_before.hash() == nullptr && transaction->ratchet_before.hash() == nullptr;
  if (!from_nothing) {
    fuzz::check(!applied && applied.error().kind() == ops::OpsError::Kind::TransactionRecoveryMismatch,
                "a transaction from other files does not apply to an empty workspace");
    return 0;
  }
  fuzz::check_ok(applied, "rolling forward a transaction whose images check out");
  fuzz::check_ok(store::read_vault(paths), "reading the vault a transaction wrote");
  auto written = store::read_ratchet_for_root(paths, transaction->trusted_root);
  fuzz::check_ok(written, "reading the ratchet a transaction wrote");
  fuzz::check(written->has_value() && **written == *ratchet, "the ratchet a transaction wrote reads back equal");
  return 0;
}
