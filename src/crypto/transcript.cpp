#include "vornex/crypto/transcript.hpp"

#include <cstdint>

#include "vornex/core/crypto.hpp"

namespace vornex::crypto {

namespace {

constexpr std::size_t kLengthSize = 8;

void append_item(cord::Bytes& out, cord::ByteView item) {
  const std::uint64_t n = item.size();
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(n >> shift));
  out.insert(out.end(), item.begin(), item.end());
}

}  // namespace

cord::Bytes signature_transcript(cord::ByteView domain, cord::ByteView message) {
  const auto& label = core::domains::kSignature;
  cord::Bytes out;
  out.reserve(3 * kLengthSize + label.size() + domain.size() + message.size());
  append_item(out, label);
  append_item(out, domain);
  append_item(out, message);
  return out;
}

cord::Bytes hpke_info(cord::ByteView context) {
  const auto& label = core::domains::kHpkeInfo;
  cord::Bytes out;
  out.reserve(2 * kLengthSize + label.size() + context.size());
  append_item(out, label);
  append_item(out, context);
  return out;
}

}  // namespace vornex::crypto
