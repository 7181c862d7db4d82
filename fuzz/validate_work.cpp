// Validation's work on vaults a member may write to make it work hard. The
// input is a vault program (tests/support/vault_program.hpp): a few bytes
// build a vault of up to 20,000 records, whose signatures are placeholders
// that the verified-hash set vouches for, so that the time goes into the
// structure of the vault and not into Ed25519. Property: validation
// succeeds, and its counted work (vornex::core::work_done) stays within
// kWorkPerRecordOrByte per record and byte of the vault.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "support.hpp"
#include "vault_program.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/work.hpp"

using namespace vornex;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The table's identities are derived once, before the first input.
  const test::VaultBuilder& b = test::shared_builder();
  for (std::size_t u = 1; u <= test::kProgramUsers; ++u) (void)b.identity(static_cast<std::uint8_t>(u + 1));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const test::VaultBuilder& b = test::shared_builder();
  const test::ProgramVault vault =
      test::run_vault_program(std::span<const std::uint8_t>(data, size), b, test::ProgramSignatures::Placeholder);
  const std::uint64_t before = core::work_done();
  const auto report = core::validate::validate_vault_with_verified(
      std::span<const core::validate::HashedRecord>(vault.records), vault.trust, b.crypto(), vault.verified);
  const std::uint64_t work = core::work_done() - before;
  fuzz::check_ok(report, "validation of a program's vault");
  if (work > test::work_bound(vault)) {
    std::fprintf(stderr,
                 "property failed: validation work over the bound: work %" PRIu64 ", records %zu, bytes %zu, "
                 "%.3f per record or byte (bound %.2f)\n",
                 work, vault.records.size(), vault.bytes,
                 static_cast<double>(work) / static_cast<double>(vault.records.size() + vault.bytes),
                 test::kWorkPerRecordOrByte);
    std::abort();
  }
  return 0;
}
