// The heap a vault's paths and label matchers cost while it is opened:
// decoding the file and validating its records, as a session does, with
// the heap's peak counted by this program's allocation operators. Each
// hostile shape is set beside a plain vault of the same bytes (delegated
// manage grants), and every figure is the peak above where the heap stood
// with the file read, per byte of file:
//
//   emptyread    A's read grants to B under team, each path ~1M empty segments
//   emptymanage  the same as manage grants: their paths are entries too
//   onebyte      the same with one-byte segments
//   deeptree     many grants, each a path of 64 one-byte segments from an
//                alphabet of four, so the paths branch at every depth
//   biglabels    C's one grant with as many label matchers as fit
//   biginlist    B's grant with an In list one value beyond its entry's
//
// Usage: path_memory_bench [--sizes=1,4,16,64] [--shapes=emptyread,...]
// (sizes in MiB). Memory is deterministic: one validation per vault.
#include <malloc.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "counted_heap.hpp"
#include "hostile_shapes.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"

namespace {

using namespace vornex;
using namespace vornex::core;

constexpr std::size_t kMiB = 1024 * 1024;
// No one record may be longer than the decoder reads: paths are split
// over grants of at most this many segments.
constexpr std::size_t kSegmentsPerGrant = 1'000'000;
constexpr std::size_t kDeepTreeDepth = 64;
constexpr std::size_t kDeepTreeAlphabet = 4;
// About what one label matcher or In value costs on the wire, to size the
// one-record shapes near the bytes asked for.
constexpr std::size_t kLabelMatcherBytes = 20;
constexpr std::size_t kInValueBytes = 24;  // the list is written twice: the entry's and the grant's

template <class T, class E>
T must(std::expected<T, E> result) {
  if (!result) {
    std::fprintf(stderr, "path_memory_bench: setup failed\n");
    std::abort();
  }
  return std::move(*result);
}

const test::VaultBuilder& builder() { return test::shared_builder(); }

KeyspaceSelectorV1 under(std::vector<std::string> path) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, {}};
}

// The root, A (manager of team) and B, as the hostile shapes start.
test::HostileVault started() {
  const test::VaultBuilder& b = builder();
  test::HostileVault v(b);
  v.add(b.vault_root());
  for (std::uint8_t who : {2, 3}) {
    v.add(b.user(b.root(), b.identity(who), 1));
    v.add(b.entry_point(b.identity(who), 1));
  }
  v.add(b.grant(b.root(), "team-manager", b.identity(2).user_id(), test::manage_permission(under({"team"})), 1));
  return v;
}

// A's grants to B of paths team/g<i>/<segment>...: `bytes` of segments in all.
test::HostileVault long_paths(std::size_t bytes, const std::string& segment, bool manage) {
  const test::VaultBuilder& b = builder();
  test::HostileVault v = started();
  const std::size_t per_segment = 4 + segment.size();
  std::size_t left = bytes / per_segment;
  for (std::size_t g = 0; left > 0; ++g) {
    const std::size_t n = std::min(left, kSegmentsPerGrant);
    left -= n;
    std::vector<std::string> path{"team", "g" + std::to_string(g)};
    path.insert(path.end(), n, segment);
    KeyspaceSelectorV1 selector = under(std::move(path));
    v.add(b.grant(b.identity(2), "long-" + std::to_string(g), b.identity(3).user_id(),
                  manage ? test::manage_permission(std::move(selector)) : test::read_permission(std::move(selector)),
                  1));
  }
  return v;
}

// Grants of paths 64 segments deep that share prefixes and branch at every
// depth: the i-th path spells i in base four, low digit first.
test::HostileVault deep_tree(std::size_t bytes) {
  const test::VaultBuilder& b = builder();
  test::HostileVault v = started();
  for (std::size_t i = 0; v.bytes < bytes; ++i) {
    std::vector<std::string> path{"team"};
    std::size_t x = i * 2654435761u;  // scattered, so that the paths differ early and late
    for (std::size_t d = 0; d < kDeepTreeDepth; ++d) {
      path.push_back(std::string(1, static_cast<char>('a' + x % kDeepTreeAlphabet)));
      x = x / kDeepTreeAlphabet + (d * i) % 3;
    }
    v.add(b.grant(b.identity(2), "deep-" + std::to_string(i), b.identity(3).user_id(),
                  test::read_permission(under(std::move(path))), 1));
  }
  return v;
}

// The shapes of one large record are no larger than a record may be.
constexpr std::size_t kOneRecordBytes = 15 * kMiB;
constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

struct Shape {
  const char* name;
  std::function<test::HostileVault(std::size_t bytes)> build;
  std::size_t max_bytes = kUnbounded;
};

const std::vector<Shape>& shapes() {
  static const std::vector<Shape> all{
      {"emptyread", [](std::size_t bytes) { return long_paths(bytes, "", false); }},
      {"emptymanage", [](std::size_t bytes) { return long_paths(bytes, "", true); }},
      {"onebyte", [](std::size_t bytes) { return long_paths(bytes, "a", false); }},
      {"deeptree", [](std::size_t bytes) { return deep_tree(bytes); }},
      {"biglabels",
       [](std::size_t bytes) {
         return test::build_hostile_shape(test::HostileShape::BigLabels, bytes / kLabelMatcherBytes, builder());
       },
       kOneRecordBytes},
      {"biginlist",
       [](std::size_t bytes) {
         return test::build_hostile_shape(test::HostileShape::BigInList, bytes / kInValueBytes, builder());
       },
       kOneRecordBytes},
  };
  return all;
}

struct Measured {
  std::size_t file = 0;
  std::size_t decode_peak = 0;  // above the start, while decoding
  std::size_t decoded = 0;      // the records, once decoded
  std::size_t peak = 0;         // above the start, decoding and validating
  double seconds = 0;
};

// Opens the vault as a session does: the file's bytes shared with the
// records that borrow from them, the records decoded with their hashes,
// then consumed by validation, every signature taken as already checked.
Measured open_vault(const test::HostileVault& v) {
  const auto set = must(cord::Set<VaultRecordV1>::from([&] {
    std::vector<VaultRecordV1> records;
    for (const auto& r : v.records) records.push_back(r.record);
    return records;
  }()));
  Measured m;
  std::shared_ptr<const cord::Bytes> file;
  {
    auto bytes = must(validate::encode_vault(set));
    file = std::make_shared<const cord::Bytes>(std::move(bytes));
  }
  m.file = file->size();
  const auto started_at = std::chrono::steady_clock::now();
  const std::size_t before = g_heap_live;
  g_heap_peak = before;
  {
    auto records = must(validate::decode_vault_hashed(file, builder().crypto()));
    m.decode_peak = g_heap_peak - before;
    m.decoded = g_heap_live - before;
    auto report = validate::validate_vault_with_verified(std::move(records), v.trust, builder().crypto(), v.verified);
    if (!report) {
      std::fprintf(stderr, "path_memory_bench: validation failed\n");
      std::abort();
    }
    if (const std::string problem = test::hostile_report_problem(v, *report); !problem.empty()) {
      std::fprintf(stderr, "path_memory_bench: the vault lost its shape: %s\n", problem.c_str());
      std::abort();
    }
  }
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_at).count();
  m.peak = g_heap_peak - before;
  return m;
}

std::vector<std::string> split(std::string_view list) {
  std::vector<std::string> out;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    out.emplace_back(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return out;
}

double per_byte(std::size_t heap, std::size_t file) { return static_cast<double>(heap) / static_cast<double>(file); }

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  std::vector<std::size_t> sizes{1, 4, 16, 64};
  std::vector<std::string> wanted;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg.starts_with("--sizes=")) {
      sizes.clear();
      for (const std::string& s : split(arg.substr(8))) sizes.push_back(std::stoul(s));
    } else if (arg.starts_with("--shapes=")) {
      wanted = split(arg.substr(9));
    } else {
      std::fprintf(stderr, "usage: %s [--sizes=1,4,16,64] [--shapes=emptyread,...]\n", argv[0]);
      return 2;
    }
  }
  std::printf("Heap per byte of file while opening a vault (peak above the file read; decode peak, records\n"
              "once decoded), beside a plain vault of the same bytes; ratio = shape's peak / plain's peak.\n\n");
  std::printf("%-12s %6s %10s %8s %8s %8s %8s %8s\n", "shape", "MiB", "file", "peak/B", "decode/B", "records/B",
              "plain/B", "ratio");
  for (const std::size_t mib : sizes) {
    const std::size_t bytes = mib * kMiB;
    std::optional<Measured> plain;
    for (const Shape& shape : shapes()) {
      if (!wanted.empty() && std::ranges::find(wanted, shape.name) == wanted.end()) continue;
      if (bytes > shape.max_bytes) {
        std::printf("%-12s %6zu  (one record: no larger than %zu MiB)\n", shape.name, mib, shape.max_bytes / kMiB);
        continue;
      }
      Measured m;
      {
        const test::HostileVault v = shape.build(bytes);
        m = open_vault(v);
      }
      if (!plain) {
        const test::HostileVault v = test::build_plain_of_same_bytes(m.file, builder());
        plain = open_vault(v);
        std::printf("%-12s %6zu %10zu %8.1f %8.1f %9.1f %8s %8s  %.2f s\n", "plain", mib, plain->file,
                    per_byte(plain->peak, plain->file), per_byte(plain->decode_peak, plain->file),
                    per_byte(plain->decoded, plain->file), "", "", plain->seconds);
      }
      const double plain_per_byte = per_byte(plain->peak, plain->file);
      std::printf("%-12s %6zu %10zu %8.1f %8.1f %9.1f %8.1f %8.2f  %.2f s\n", shape.name, mib, m.file,
                  per_byte(m.peak, m.file), per_byte(m.decode_peak, m.file), per_byte(m.decoded, m.file),
                  plain_per_byte, per_byte(m.peak, m.file) / plain_per_byte, m.seconds);
      std::fflush(stdout);
    }
  }
  return 0;
}
