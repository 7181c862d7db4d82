// The vault file: framing and decoding, then validation, as a session does.
// Properties: both decoders agree; an accepted file re-encodes to exactly
// itself; validation of anything decoded never fails with a CoreError, with
// real signature checks and with a verifier that accepts every signature
// (so that mutated records reach the rules behind the signature check);
// validating the decoded set and the hashed records gives one report; the
// trust state a validation raises encodes and reads back; every current
// secret can be looked up by its selector; the last record spliced into
// the file without it gives the file again, and a record already there
// leaves it as it is.
#include <optional>
#include <vector>

#include "support.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/store/ratchet_file.hpp"

namespace {

using namespace vornex;
namespace validate = core::validate;

// Real hashes, every signature taken as good.
class AcceptingVerifier final : public core::CryptoProvider {
 public:
  core::HashValue hash(cord::ByteView domain, cord::ByteView data) const override { return real_.hash(domain, data); }
  bool verify_signature(cord::ByteView, cord::ByteView, cord::ByteView, cord::ByteView) const override {
    return true;
  }

 private:
  crypto::Crypto real_;
};

// The fingerprint of the first root record's signing key, so that a vault
// with a root is validated as trusted; a fixed one otherwise.
core::HashValue trusted_root_for(const cord::Set<core::VaultRecordV1>& vault, const core::CryptoProvider& crypto) {
  for (const core::VaultRecordV1& record : vault) {
    const core::RecordBodyV1* body = record.body.known();
    if (body == nullptr || !std::holds_alternative<core::VaultRootRecordV1>(*body)) continue;
    auto fingerprint = core::key_hash(crypto, record.signing_public_key);
    fuzz::check_ok(fingerprint, "key hash of a decoded signing key");
    return *fingerprint;
  }
  return core::HashValue(cord::Bytes(32, 0));
}

void validate_with(const core::CryptoProvider& crypto, const cord::Set<core::VaultRecordV1>& vault,
                   const std::vector<validate::HashedRecord>& hashed) {
  const core::HashValue root = trusted_root_for(vault, crypto);
  const core::Ratchet ratchet = core::Ratchet::make(root.to_vec());
  auto report = validate::validate_vault(vault, ratchet, crypto);
  fuzz::check_ok(report, "validation of a decoded vault");
  auto from_hashed = validate::validate_vault_with_verified(std::span<const validate::HashedRecord>(hashed), ratchet,
                                                            crypto, {});
  fuzz::check_ok(from_hashed, "validation of the hashed records");
  fuzz::check(*report == *from_hashed, "the set and the hashed records validate alike");

  // What a session does next with a clean report: raise and store the
  // trust state, and read secrets by selector.
  core::Ratchet raised = ratchet;
  raised.apply_update(report->ratchet_update);
  auto encoded = store::encode_ratchet(raised);
  fuzz::check_ok(encoded, "encoding a raised ratchet");
  auto decoded = store::decode_ratchet("ratchet.cord", *encoded);
  fuzz::check_ok(decoded, "decoding a raised ratchet");
  // An origin whose key has no counter stays in memory only.
  fuzz::check(decoded->counters() == raised.counters() && decoded->format_version() == raised.format_version(),
              "a raised ratchet reads back with its counters");
  for (const auto& [key, origin] : raised.origins()) {
    if (!raised.counters().contains(key)) continue;
    const auto kept = decoded->origins().find(key);
    fuzz::check(kept != decoded->origins().end() && kept->second == origin, "a raised ratchet reads back with its origins");
  }
  auto again = validate::validate_vault(vault, raised, crypto);
  fuzz::check_ok(again, "validation against the raised ratchet");

  if (!report->issues.empty()) return;
  for (const validate::ActiveSecretV1& active : report->effective.secret_records()) {
    auto found = report->effective.secret_record(active.secret.selector, crypto);
    fuzz::check_ok(found, "looking up a current secret");
    fuzz::check(found->has_value(), "a current secret is found by its selector");
    (void)report->effective.current_reader_entries(active.secret.selector);
  }
}

void check_splice(cord::ByteView file, const cord::Set<core::VaultRecordV1>& vault, const core::CryptoProvider& crypto) {
  const core::VaultRecordV1& last = vault.items().back();
  auto record = cord::serialize(last);
  fuzz::check_ok(record, "re-encoding a decoded record");
  validate::VaultIndex index;
  fuzz::check_ok(validate::decode_vault_hashed(file, crypto, &index), "decoding an accepted vault with its index");
  auto again = validate::splice_record(file, index, *record);
  fuzz::check_ok(again, "splicing a record the vault holds");
  fuzz::check(!again->inserted && fuzz::same_bytes(again->file, file) && again->index == index,
              "a record the vault holds is not spliced in again");

  cord::Set<core::VaultRecordV1> rest = vault;
  rest.erase(last);
  auto smaller = validate::encode_vault(rest);
  fuzz::check_ok(smaller, "encoding a decoded vault without a record");
  validate::VaultIndex smaller_index;
  fuzz::check_ok(validate::decode_vault_hashed(*smaller, crypto, &smaller_index), "decoding a vault without a record");
  auto spliced = validate::splice_record(*smaller, smaller_index, *record);
  fuzz::check_ok(spliced, "splicing a record back");
  fuzz::check(spliced->inserted && fuzz::same_bytes(spliced->file, file) && spliced->index == index,
              "a record spliced back gives the file and its index again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView file = fuzz::input(data, size);
  const crypto::Crypto crypto;
  auto vault = validate::decode_vault(file);
  auto hashed = validate::decode_vault_hashed(file, crypto);
  fuzz::check(vault.has_value() == hashed.has_value(), "both vault decoders accept the same files");
  if (!vault) {
    fuzz::check(vault.error() == hashed.error(), "both vault decoders refuse alike", vault.error().message());
    return 0;
  }
  fuzz::check(vault->size() == hashed->size(), "both vault decoders find the same records");
  std::size_t i = 0;
  for (const core::VaultRecordV1& record : *vault) {
    const validate::HashedRecord& entry = (*hashed)[i++];
    fuzz::check(entry.record == record, "both vault decoders find the same records");
    auto encoding = cord::serialize(record);
    fuzz::check_ok(encoding, "re-encoding a decoded record");
    fuzz::check(entry.hash == crypto.hash(core::domains::kRecordHash, *encoding),
                "a record's hash is taken over its encoding");
  }
  auto encoded = validate::encode_vault(*vault);
  fuzz::check_ok(encoded, "re-encoding a decoded vault");
  fuzz::check(fuzz::same_bytes(*encoded, file), "a decoded vault re-encodes to exactly itself");
  if (!vault->empty()) check_splice(file, *vault, crypto);

  validate_with(crypto, *vault, *hashed);
  validate_with(AcceptingVerifier(), *vault, *hashed);
  return 0;
}
