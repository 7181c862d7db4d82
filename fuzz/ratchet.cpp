// The ratchet file. Several records for one item merge into one, so a file
// need not be in the form this system writes; the properties are that what
// is accepted encodes, that its encoding is a fixed point (it decodes to
// the same ratchet and encodes to the same bytes), and that the merges a
// session performs on it (with a transaction's after-image, with a
// validation's update) keep it encodable.
#include "support.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace {

using namespace vornex;

cord::Bytes encode_checked(const core::Ratchet& ratchet, const char* what) {
  auto encoded = store::encode_ratchet(ratchet);
  fuzz::check_ok(encoded, what);
  return std::move(*encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  auto ratchet = store::decode_ratchet("ratchet.cord", file);
  if (!ratchet) {
    fuzz::check(ratchet.error().kind() == store::StoreError::Kind::RatchetInvalid, "a refused ratchet is invalid",
                ratchet.error().message());
    return 0;
  }
  const cord::Bytes encoded = encode_checked(*ratchet, "encoding an accepted ratchet");
  auto back = store::decode_ratchet("ratchet.cord", encoded);
  fuzz::check_ok(back, "decoding a re-encoded ratchet");
  fuzz::check(*back == *ratchet, "a re-encoded ratchet reads back equal");
  fuzz::check(fuzz::same_bytes(encode_checked(*back, "encoding a ratchet again"), encoded),
              "a ratchet's encoding is a fixed point");
  // Merged with itself nothing moves; merged into a fresh ratchet of its
  // root it is reproduced.
  core::Ratchet merged = *ratchet;
  fuzz::check_ok(ops::merge_ratchet(merged, *ratchet), "merging a ratchet with itself");
  fuzz::check(merged == *ratchet, "merging a ratchet with itself changes nothing");
  core::Ratchet fresh = core::Ratchet::make(ratchet->trusted_root());
  fuzz::check_ok(ops::merge_ratchet(fresh, *ratchet), "merging a ratchet into an empty one");
  (void)encode_checked(fresh, "encoding a merged ratchet");

  // A session validates the vault against it; an empty vault suffices to
  // exercise the version gate and the update.
  const crypto::Crypto crypto;
  auto report = core::validate::validate_vault(cord::Set<core::VaultRecordV1>(), *ratchet, crypto);
  fuzz::check_ok(report, "validating against an accepted ratchet");
  core::Ratchet raised = *ratchet;
  raised.apply_update(report->ratchet_update);
  (void)encode_checked(raised, "encoding a raised ratchet");
  return 0;
}
