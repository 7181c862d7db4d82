// Validation of vaults whose authority never settles (tests/support/
// oscillating_vault: sixteen managers or rings of managers taking each
// other's authority in every iteration, and the grants under them with
// them), against the same vault without the rewrites, which settles, and
// the plain yardstick of the hostile shapes, at 1,000, 4,000 and 16,000
// records; and the same never-settling vault walked literally through
// every iteration, as validation did before it read the rest off. Then
// the three again with sixteen of the grants deleted by the root.
//
// Warm: every signature is taken as verified. For each vault: the counted
// work of one validation, the heap's peak during it (counted by this
// program's allocation operators), and the median time of interleaved
// repetitions; every figure is also printed as a ratio to the plain
// yardstick of its size, measured in the same run.
//
//     build-bench/bench/cycle_bench [repetitions]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "counted_heap.hpp"
#include "hostile_shapes.hpp"
#include "oscillating_vault.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/literal_iterations.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/work.hpp"

namespace {

using namespace vornex;
using core::validate::HashedRecord;

constexpr std::size_t kSizes[] = {1'000, 4'000, 16'000};
constexpr int kDefaultRepetitions = 7;
constexpr std::size_t kDeletions = 16;

struct Case {
  const char* name;
  test::HostileVault vault;
  bool literal = false;
  std::uint64_t work = 0;
  double peak_mib = 0;
  std::vector<double> seconds;
};

test::HostileVault oscillating(std::size_t n, bool rewrites, std::size_t deletions = 0) {
  const test::VaultBuilder& b = test::shared_builder();
  test::HostileVault v(b);
  test::OscillatingOptions options;
  options.records = n;
  options.rewrites = rewrites;
  options.root_deletions = deletions;
  for (core::VaultRecordV1& r : test::oscillating_vault(options, b)) v.add(std::move(r));
  return v;
}

bool validate_once(const Case& c) {
  core::validate::set_literal_iterations(c.literal);
  const auto report = core::validate::validate_vault_with_verified(std::span<const HashedRecord>(c.vault.records),
                                                                   c.vault.trust, test::shared_builder().crypto(),
                                                                   c.vault.verified);
  core::validate::set_literal_iterations(false);
  return report.has_value();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRepetitions;
  std::printf("%-9s %-15s %12s %8s %10s %8s %10s %8s\n", "records", "vault", "work", "x plain", "peak MiB",
              "x plain", "warm ms", "x plain");
  for (const std::size_t n : kSizes) {
    std::vector<Case> cases;
    cases.push_back(Case{"plain", test::build_plain_yardstick(n, test::shared_builder())});
    cases.push_back(Case{"settling twin", oscillating(n, false)});
    cases.push_back(Case{"never settles", oscillating(n, true)});
    cases.push_back(Case{"  literal", oscillating(n, true), true});
    // Admissions walk every iteration again: the periodic rest is laid out
    // first, and they cost what they did.
    cases.push_back(Case{"+16 deletions", oscillating(n, true, kDeletions)});
    cases.push_back(Case{"  literal", oscillating(n, true, kDeletions), true});
    cases.push_back(Case{"  settling", oscillating(n, false, kDeletions)});
    for (Case& c : cases) {
      const std::size_t before = g_heap_live;
      g_heap_peak = before;
      const std::uint64_t work = core::work_done();
      if (!validate_once(c)) {
        std::fprintf(stderr, "%s at %zu: validation failed\n", c.name, n);
        return 1;
      }
      c.work = core::work_done() - work;
      c.peak_mib = static_cast<double>(g_heap_peak - before) / (1024.0 * 1024.0);
    }
    for (int r = 0; r < repetitions; ++r) {
      for (Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        validate_once(c);
        c.seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      }
    }
    const Case& plain = cases.front();
    const double plain_ms = median(plain.seconds) * 1e3;
    for (const Case& c : cases) {
      const double ms = median(c.seconds) * 1e3;
      std::printf("%-9zu %-15s %12llu %8.2f %10.2f %8.2f %10.2f %8.2f\n", c.vault.records.size(), c.name,
                  static_cast<unsigned long long>(c.work), static_cast<double>(c.work) / static_cast<double>(plain.work),
                  c.peak_mib, c.peak_mib / plain.peak_mib, ms, ms / plain_ms);
    }
  }
  return 0;
}
