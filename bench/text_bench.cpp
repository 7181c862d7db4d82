// Text that a member writes to make normalisation work hard: long runs of
// combining marks out of canonical order, and characters that decompose
// into marks. Decoding a record that holds such a label value is compared
// with decoding a record of the same bytes of plain text; normalising the
// caller's own text out of order with the same text already in order. The
// normalisation library's plain map (the way it was done before) runs at
// smaller sizes: its cost grows with the square of a run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <utf8proc.h>

#include "bench_support.hpp"
#include "cord/codec.hpp"
#include "cord/text.hpp"
#include "cord/work.hpp"
#include "plain_nfc.hpp"
#include "vornex/core/records.hpp"

namespace {

using namespace vornex;
using vornex::bench::must;

constexpr std::size_t kDecodeBytes = 160 * 1024;
constexpr std::size_t kCallerBytes = 80 * 1024;
constexpr std::size_t kPlainSizes[] = {4 * 1024, 8 * 1024, 16 * 1024};
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

std::string utf8(char32_t c) {
  utf8proc_uint8_t buf[4];
  const auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buf);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Texts of `bytes` bytes (x in front makes up the difference): ASCII;
// e acute repeated, ordinary text that is NFC; half the marks of class 230 then half of class 220, or in canonical order, or
// U+0F73 (which splits into marks of classes 129 and 130) repeated.
enum class Kind { Plain, Letters, OutOfOrder, InOrder, Tibetan };
const char* kKindNames[] = {"plain", "letters", "out_of_order", "in_order", "tibetan"};

std::string text_of(Kind kind, std::size_t bytes) {
  const std::string above = utf8(0x0301), below = utf8(0x0316), tibetan = utf8(0x0F73);
  const std::size_t pairs = (bytes - 1) / (above.size() + below.size());
  std::string marks;
  switch (kind) {
    case Kind::Plain:
      break;
    case Kind::Letters:
      marks = repeat(utf8(0x00E9), (bytes - 1) / 2);
      break;
    case Kind::OutOfOrder:
      marks = repeat(above, pairs) + repeat(below, pairs);
      break;
    case Kind::InOrder:
      marks = repeat(below, pairs) + repeat(above, pairs);
      break;
    case Kind::Tibetan:
      marks = repeat(tibetan, (bytes - 1) / tibetan.size());
      break;
  }
  return std::string(bytes - marks.size(), 'x') + marks;
}

// A deleted secret's record whose one label value is `value`, its bytes put
// in place of a plain value of the same length: encoding would normalise it.
cord::Bytes record_with_label(const std::string& value) {
  const std::string placeholder(value.size(), 'x');
  core::SecretDeletedRecordV1 body;
  body.selector.tuple = {"app"};
  body.selector.labels = {core::SecretLabelV1{"env", placeholder}};
  core::VaultRecordV1 record{core::RecordBodyV1(std::move(body)), cord::Bytes(kKeyBytes, 1),
                             cord::Bytes(kSignatureBytes, 2)};
  cord::Bytes bytes = must(cord::serialize(record));
  const auto at = std::search(bytes.begin(), bytes.end(), placeholder.begin(), placeholder.end());
  std::copy(value.begin(), value.end(), at);
  return bytes;
}

void BM_decode(benchmark::State& state, Kind kind) {
  const cord::Bytes bytes = record_with_label(text_of(kind, kDecodeBytes));
  const bool accepted = cord::deserialize<core::VaultRecordV1>(bytes).has_value();
  const std::uint64_t before = cord::work_done();
  for (auto _ : state) benchmark::DoNotOptimize(cord::deserialize<core::VaultRecordV1>(bytes));
  state.counters["work_per_byte"] = static_cast<double>(cord::work_done() - before) /
                                    static_cast<double>(state.iterations() * bytes.size());
  state.SetLabel(accepted ? "accepted" : "refused");
}

void BM_to_nfc(benchmark::State& state, Kind kind) {
  const std::string text = text_of(kind, kCallerBytes);
  for (auto _ : state) benchmark::DoNotOptimize(cord::text::to_nfc(text));
}

// The plain map: to_nfc as it was, and is_nfc as decoding used it.
void BM_plain_to_nfc(benchmark::State& state, Kind kind) {
  const std::string text = text_of(kind, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(test::plain_to_nfc(text));
}

// Keeps the median of each benchmark for the ratios printed last.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median") continue;
      times_[run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nRatios of medians (seconds):\n");
    auto ratio = [&](const std::string& what, const std::string& floor) {
      const auto a = times_.find(what), b = times_.find(floor);
      if (a == times_.end() || b == times_.end()) return;
      std::printf("  %-34s %10.6f s / %-28s %10.6f s = %8.2f\n", what.c_str(), a->second, floor.c_str(), b->second,
                  a->second / b->second);
    };
    for (const char* kind : {"letters", "out_of_order", "in_order", "tibetan"}) {
      ratio(std::string("decode/") + kind, "decode/plain");
      ratio(std::string("decode/") + kind, "decode/letters");
      ratio(std::string("to_nfc/") + kind, "to_nfc/in_order");
    }
    for (const char* kind : {"out_of_order", "tibetan"}) {
      std::string last;
      for (const std::size_t n : kPlainSizes) {
        const std::string name = std::string("plain_to_nfc/") + kind + "/" + std::to_string(n);
        if (!last.empty()) ratio(name, last);
        last = name;
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Kind kind : {Kind::Plain, Kind::Letters, Kind::OutOfOrder, Kind::InOrder, Kind::Tibetan}) {
    const std::string name = kKindNames[static_cast<int>(kind)];
    benchmark::RegisterBenchmark(("decode/" + name).c_str(), BM_decode, kind)->Unit(benchmark::kMillisecond);
    if (kind != Kind::Plain && kind != Kind::Letters) {
      benchmark::RegisterBenchmark(("to_nfc/" + name).c_str(), BM_to_nfc, kind)->Unit(benchmark::kMillisecond);
    }
    if (kind == Kind::OutOfOrder || kind == Kind::Tibetan) {
      auto* b = benchmark::RegisterBenchmark(("plain_to_nfc/" + name).c_str(), BM_plain_to_nfc, kind);
      for (const std::size_t n : kPlainSizes) b->Arg(static_cast<std::int64_t>(n));
      b->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
