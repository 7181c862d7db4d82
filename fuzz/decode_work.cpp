// Decoding's work on input a member may write to make it work hard: texts
// with long runs of combining marks out of order, characters that
// decompose into marks, and the records and vault files that carry them.
// The first byte chooses what the rest is read as: a text (checked as the
// decoder checks it, then normalised as the caller's own text is), one
// signed record, or a vault file. Property: the work counted
// (cord::work_done) stays within kWorkPerByte per byte of input.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cord/codec.hpp"
#include "cord/text.hpp"
#include "cord/work.hpp"
#include "support.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/validate/vault_file.hpp"

using namespace vornex;

namespace {

// Linear decoding costs about two steps a byte; ordering a run of marks by
// insertion costs up to seventeen per mark, and a mark takes a byte at
// least. A cost that grows with the input passes any constant soon.
constexpr std::uint64_t kWorkPerByte = 32;
// The cost per byte, in these fractions of a step, steers the fuzzer.
constexpr std::uint64_t kSignalSteps = 8;
constexpr std::uint64_t kSignalCap = 4096;

enum class Shape : std::uint8_t { Text = 0, Record = 1, Vault = 2 };
constexpr std::uint8_t kShapes = 3;

volatile std::uint64_t g_signal = 0;

void read_text(std::string_view text) {
  if (!cord::text::is_utf8(text)) return;
  const bool nfc = cord::text::is_nfc(text);
  const std::string normal = cord::text::to_nfc(text);
  fuzz::check(nfc == (normal == text), "is_nfc and to_nfc agree");
  fuzz::check(cord::text::is_nfc(normal), "to_nfc gives NFC");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto shape = static_cast<Shape>(data[0] % kShapes);
  const cord::ByteView rest = fuzz::input(data + 1, size - 1);
  const std::uint64_t before = cord::work_done();
  switch (shape) {
    case Shape::Text:
      read_text(fuzz::input_text(rest.data(), rest.size()));
      break;
    case Shape::Record:
      (void)cord::deserialize<core::VaultRecordV1>(rest);
      break;
    case Shape::Vault:
      (void)core::validate::decode_vault(rest);
      break;
  }
  const std::uint64_t work = cord::work_done() - before;
  // Each step of cost per byte is a loop count the fuzzer has not seen,
  // so inputs that cost more per byte are kept and mutated further.
  const std::uint64_t level = std::min(kSignalCap, work * kSignalSteps / size);
  for (std::uint64_t i = 0; i < level; ++i) g_signal = g_signal + 1;
  // Compared as integers, so that the fuzzer's value profile sees how close
  // the work comes to the bound.
  if (work > kWorkPerByte * size) {
    std::fprintf(stderr,
                 "property failed: decoding work over the bound: work %" PRIu64 ", bytes %zu, %.2f per byte (bound %" PRIu64
                 ")\n",
                 work, size, static_cast<double>(work) / static_cast<double>(size), kWorkPerByte);
    std::abort();
  }
  return 0;
}
