// Validation's work on vaults a member may write to make it work hard. The
// input is a vault program (tests/support/vault_program.hpp): a few bytes
// build a vault of up to 4,096 records, whose signatures are placeholders
// that the verified-hash set vouches for, so that the time goes into the
// structure of the vault and not into Ed25519. Property: validation
// succeeds, and its counted work (vornex::core::work_done) stays within
// kWorkPerRecordOrByte per record and byte of the vault. Its mutator knows
// the language (vault_program_mutator.hpp): most mutations scale counts,
// make values shared or private, deepen paths or add revocations; the rest
// are libFuzzer's own byte edits.
#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "support.hpp"
#include "vault_program.hpp"
#include "vault_program_mutator.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/work.hpp"

using namespace vornex;

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

// One mutation in this many is libFuzzer's own, whatever the structure
// offers: byte edits still find what no structural edit names.
constexpr unsigned kByteMutationEvery = 4;

// The work an input costs, as coverage: libFuzzer keeps an input that
// reaches a work level (work per record and byte, in quarters) not reached
// before at its size (records, by powers of two), so the corpus climbs
// towards costly vaults instead of waiting for one mutation to make one.
// Small vaults that cost much are kept beside large ones: scaled up, they
// are the likeliest to pass the bound.
constexpr std::size_t kSizeClasses = 14;
constexpr std::size_t kWorkLevels = 32;
constexpr double kLevelsPerUnit = 4.0;
__attribute__((used, section("__libfuzzer_extra_counters"))) std::uint8_t work_levels[kSizeClasses * kWorkLevels];

void note_work_level(std::size_t records, double per_unit) {
  const std::size_t size_class = std::min<std::size_t>(std::bit_width(records), kSizeClasses - 1);
  const std::size_t level = std::min<std::size_t>(static_cast<std::size_t>(per_unit * kLevelsPerUnit), kWorkLevels - 1);
  work_levels[size_class * kWorkLevels + level] = 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The builder's identities are derived once, before the first input; the
  // numbered users above them as programs name them, once a process.
  const test::VaultBuilder& b = test::shared_builder();
  for (std::size_t u = 1; u <= test::kBuilderUsers; ++u) (void)test::program_user(b, u);
  return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
  if (seed % kByteMutationEvery != 0) {
    test::ProgramCode program(data, data + size);
    if (test::mutate_vault_program(program, max_size, seed) != test::ProgramEdit::None) {
      std::copy(program.begin(), program.end(), data);
      return program.size();
    }
  }
  return LLVMFuzzerMutate(data, size, max_size);
}

extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                 const std::uint8_t* data2, std::size_t size2, std::uint8_t* out,
                                                 std::size_t max_out_size, unsigned int seed) {
  const test::ProgramCode crossed = test::cross_vault_programs(test::ProgramCode(data1, data1 + size1),
                                                               test::ProgramCode(data2, data2 + size2),
                                                               max_out_size, seed);
  std::copy(crossed.begin(), crossed.end(), out);
  return crossed.size();
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
  const double per_unit = static_cast<double>(work) / static_cast<double>(vault.records.size() + vault.bytes);
  note_work_level(vault.records.size(), per_unit);
  if (work > test::work_bound(vault)) {
    std::fprintf(stderr,
                 "property failed: validation work over the bound: work %" PRIu64 ", records %zu, bytes %zu, "
                 "%.3f per record or byte (bound %.2f)\n",
                 work, vault.records.size(), vault.bytes, per_unit, test::kWorkPerRecordOrByte);
    std::abort();
  }
  return 0;
}
