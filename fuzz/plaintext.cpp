// The plaintext of a secret value, as a reader finds it once the content
// opens: the version-1 envelope, or an older form without one. The input
// is sealed to a fixed reader exactly as a writer seals, then opened by the
// system's own reading path. Opening fails only with the envelope error;
// an opened envelope re-encodes to exactly the input; any opened value can
// be written back with a field set or removed, and that envelope opens to
// the same value.
#include <algorithm>
#include <optional>

#include "support.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/wrap.hpp"
#include "vornex/ops/seal.hpp"

namespace {

using namespace vornex;

const cord::Bytes kRoot(32, 0x52);

struct Reader {
  crypto::Crypto crypto;
  std::optional<crypto::Identity> identity;
  core::SecretSelectorV1 selector{{"app", "db"}, {}};
  core::SecretId secret_id;
};

const Reader& reader() {
  static const Reader made = [] {
    Reader r;
    auto identity = crypto::Identity::from_master_seed(r.crypto, cord::Bytes(32, 0x07));
    if (!identity) fuzz::fail("the reader's identity", identity.error().message());
    r.identity.emplace(std::move(*identity));
    auto id = core::derive_secret_id(r.crypto, r.selector);
    if (!id) fuzz::fail("the secret id", id.error().message());
    r.secret_id = *id;
    return r;
  }();
  return made;
}

// The record and envelope a writer would produce around this plaintext,
// addressed to the reader.
std::pair<core::VaultRecordV1, core::SecretRecordV1> sealed(cord::ByteView plaintext) {
  const Reader& r = reader();
  const crypto::ContentKey key(std::span<const std::uint8_t, 32>(cord::Bytes(32, 0x4b).data(), 32));
  const cord::Bytes nonce_bytes(crypto::ContentNonce::kSize, 0x4e);
  const crypto::ContentNonce nonce(std::span<const std::uint8_t, crypto::ContentNonce::kSize>(nonce_bytes.data(),
                                                                                             nonce_bytes.size()));
  auto binding = ops::recipient_slot_binding_bytes(kRoot, r.secret_id, r.selector, r.identity->user_id().bytes());
  fuzz::check_ok(binding, "the slot binding");
  auto wrapped = crypto::wrap_content_key(r.identity->hpke_public_key(), *binding, *binding, key);
  fuzz::check_ok(wrapped, "wrapping the content key");
  core::SecretRecordV1 record;
  record.secret_id = r.secret_id;
  record.selector = r.selector;
  record.counter = 1;
  core::SealedPayloadV1 payload;
  payload.nonce = nonce_bytes;
  payload.recipient_slots.push_back(
      core::RecipientSlotV1{r.identity->user_id().to_vec(), wrapped->encapsulated_key, wrapped->wrapped_key});
  core::VaultRecordV1 envelope;
  envelope.signing_public_key = r.identity->signing_public_key();
  const ops::RecordContext context{core::record_key::Secret{r.secret_id}, envelope.signing_public_key, r.secret_id,
                                   r.selector, record.counter};
  auto aad = ops::secret_content_aad_bytes(kRoot, context, payload.nonce, payload.recipient_slots);
  fuzz::check_ok(aad, "the content's associated data");
  auto ciphertext = crypto::seal_content(key, nonce, *aad, plaintext);
  fuzz::check_ok(ciphertext, "sealing the plaintext");
  payload.ciphertext = std::move(*ciphertext);
  record.payload = payload;
  return {std::move(envelope), std::move(record)};
}

ops::OpsResult<ops::SecretPlaintext> open(cord::ByteView plaintext) {
  auto [envelope, record] = sealed(plaintext);
  return ops::decrypt_secret_record(*reader().identity, envelope, record, kRoot);
}

bool same_value(const ops::SecretPlaintext& a, const ops::SecretPlaintext& b) {
  return a.primary() == b.primary() && a.fields() == b.fields();
}

void reopens_as(const ops::OpsResult<core::SecretValueV1>& value, const char* what) {
  fuzz::check_ok(value, what);
  auto envelope = ops::plaintext_envelope(*value);
  fuzz::check_ok(envelope, "enveloping a value written back");
  auto opened = open(*envelope);
  fuzz::check_ok(opened, "opening a value written back");
  std::vector<ops::SecretField> fields;
  for (const auto& entry : value->fields) fields.push_back(ops::SecretField{entry.name, entry.value});
  const ops::SecretPlaintext expected(reader().selector, value->primary, std::move(fields));
  fuzz::check(same_value(*opened, expected), "a value written back opens to itself");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)reader();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cord::ByteView plaintext = fuzz::input(data, size);
  auto opened = open(plaintext);
  if (!opened) {
    fuzz::check(opened.error().kind() == ops::OpsError::Kind::InvalidPlaintextEnvelope,
                "a plaintext is refused as an envelope", opened.error().message());
    return 0;
  }
  const bool enveloped = plaintext.size() >= ops::kPlaintextMagic.size() &&
                         std::equal(ops::kPlaintextMagic.begin(), ops::kPlaintextMagic.end(), plaintext.begin());
  if (enveloped) {
    std::vector<core::SecretFieldEntryV1> entries;
    for (const ops::SecretField& f : opened->fields()) entries.emplace_back(f.name, f.value);
    auto fields = cord::Set<core::SecretFieldEntryV1>::from(std::move(entries));
    fuzz::check_ok(fields, "the fields of an opened envelope form a set");
    auto envelope = ops::plaintext_envelope(core::SecretValueV1(opened->primary(), std::move(*fields)));
    fuzz::check_ok(envelope, "re-enveloping an opened value");
    fuzz::check(fuzz::same_bytes(*envelope, plaintext), "an opened envelope re-encodes to exactly itself");
  }
  reopens_as(opened->with_field("extra", cord::Bytes{'v'}), "setting a field of an opened value");
  if (!opened->fields().empty()) {
    reopens_as(opened->without_field(opened->fields().front().name), "removing a field of an opened value");
  }
  return 0;
}
