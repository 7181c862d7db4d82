#include "vornex/ops/seal.hpp"

#include <algorithm>

#include "cord/text.hpp"

#include "vornex/core/secret.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/wrap.hpp"

namespace vornex::ops {

namespace {

// Wipes a buffer over its length and its spare capacity when the scope ends.
class Wiped {
 public:
  explicit Wiped(cord::Bytes& bytes) : bytes_(bytes) {}
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { core::secure_wipe(bytes_.data(), bytes_.capacity()); }

 private:
  cord::Bytes& bytes_;
};

template <class T>
OpsResult<cord::Bytes> encoded(const T& value) {
  auto bytes = cord::serialize(value);
  if (!bytes) return std::unexpected(OpsError(std::move(bytes).error()));
  return std::move(*bytes);
}

bool has_prefix(cord::ByteView bytes, cord::ByteView prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// The value an opened plaintext holds: a version-1 envelope, or the older
// form with no envelope, which is a whole encoded value or, failing that,
// the primary value alone.
OpsResult<core::SecretValueV1> read_plaintext(cord::ByteView plaintext) {
  const cord::ByteView magic(kPlaintextMagic);
  if (has_prefix(plaintext, magic)) {
    auto value = cord::deserialize<core::SecretValueV1>(plaintext.subspan(magic.size()));
    if (!value) return std::unexpected(OpsError::of(OpsError::Kind::InvalidPlaintextEnvelope));
    return std::move(*value);
  }
  if (has_prefix(plaintext, magic.first(kReservedPlaintextPrefix))) {
    return std::unexpected(OpsError::of(OpsError::Kind::InvalidPlaintextEnvelope));
  }
  if (auto value = cord::deserialize<core::SecretValueV1>(plaintext)) return std::move(*value);
  return core::SecretValueV1::from_primary(plaintext);
}

void wipe(cord::Bytes& bytes) { core::secure_wipe(bytes.data(), bytes.size()); }

// More than a value's encoding can take: every length prefix fits in eight
// bytes, and NFC at most triples a name. A buffer reserved to it never
// moves while the value is written into it.
std::size_t encoding_bound(const cord::Bytes& primary, const std::vector<core::SecretFieldEntryV1>& fields) {
  std::size_t bound = 16 + primary.size();
  for (const core::SecretFieldEntryV1& f : fields) bound += 16 + 3 * f.name.size() + f.value.size();
  return bound;
}

// A value made of the primary bytes and these distinct entries. The set is
// read back from an encoding, in a buffer allocated once and wiped, rather
// than built by sorting encodings in scratch space: no copy of a field is
// left in freed memory. A set orders entries by their encoding: the name's
// length, the name, the value's length, the value.
OpsResult<core::SecretValueV1> value_of(const cord::Bytes& primary, std::vector<core::SecretFieldEntryV1> entries) {
  std::ranges::sort(entries, [&](const core::SecretFieldEntryV1& a, const core::SecretFieldEntryV1& b) {
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    if (const int c = cord::compare_bytes(cord::text_bytes(a.name), cord::text_bytes(b.name)); c != 0) return c < 0;
    if (a.value.size() != b.value.size()) return a.value.size() < b.value.size();
    return cord::compare_bytes(a.value, b.value) < 0;
  });
  cord::Bytes encoding;
  encoding.reserve(encoding_bound(primary, entries));
  const Wiped wipe_encoding(encoding);
  if (auto st = cord::serialize_into(encoding, primary); !st) return std::unexpected(OpsError(std::move(st).error()));
  if (auto st = cord::serialize_into(encoding, entries); !st) return std::unexpected(OpsError(std::move(st).error()));
  auto value = cord::deserialize<core::SecretValueV1>(encoding);
  if (!value) return std::unexpected(OpsError(std::move(value).error()));
  return std::move(*value);
}

}  // namespace

SecretPlaintext::SecretPlaintext(core::SecretSelectorV1 selector, cord::Bytes primary, std::vector<SecretField> fields)
    : selector_(std::move(selector)), primary_(std::move(primary)), fields_(std::move(fields)) {
  std::stable_sort(fields_.begin(), fields_.end(),
                   [](const SecretField& a, const SecretField& b) { return a.name < b.name; });
}

SecretPlaintext::~SecretPlaintext() {
  wipe(primary_);
  for (SecretField& f : fields_) wipe(f.value);
}

SecretPlaintext& SecretPlaintext::operator=(SecretPlaintext&& other) noexcept {
  if (this != &other) {
    wipe(primary_);
    for (SecretField& f : fields_) wipe(f.value);
    selector_ = std::move(other.selector_);
    primary_ = std::move(other.primary_);
    fields_ = std::move(other.fields_);
  }
  return *this;
}

// Names are compared in NFC, the form they are stored in: two spellings of
// one name are one field.
const SecretField* SecretPlaintext::field(std::string_view name) const {
  const std::string wanted = cord::text::to_nfc(name);
  const auto it = std::ranges::find_if(fields_, [&](const SecretField& f) { return f.name == wanted; });
  return it == fields_.end() ? nullptr : &*it;
}

OpsResult<core::SecretValueV1> SecretPlaintext::with_field(std::string name, cord::Bytes value) const {
  name = cord::text::to_nfc(name);
  std::vector<core::SecretFieldEntryV1> entries;
  entries.reserve(fields_.size() + 1);
  for (const SecretField& f : fields_) {
    if (f.name != name) entries.emplace_back(f.name, f.value);
  }
  entries.emplace_back(std::move(name), std::move(value));
  return value_of(primary_, std::move(entries));
}

OpsResult<core::SecretValueV1> SecretPlaintext::without_field(std::string_view name) const {
  const std::string unwanted = cord::text::to_nfc(name);
  std::vector<core::SecretFieldEntryV1> entries;
  entries.reserve(fields_.size());
  for (const SecretField& f : fields_) {
    if (f.name != unwanted) entries.emplace_back(f.name, f.value);
  }
  return value_of(primary_, std::move(entries));
}

OpsResult<cord::Bytes> plaintext_envelope(const core::SecretValueV1& value) {
  cord::Bytes envelope;
  envelope.reserve(kPlaintextMagic.size() + encoding_bound(value.primary, value.fields.items()));
  envelope.assign(kPlaintextMagic.begin(), kPlaintextMagic.end());
  if (auto st = cord::serialize_into(envelope, value); !st) {
    wipe(envelope);
    return std::unexpected(OpsError(std::move(st).error()));
  }
  return envelope;
}

OpsResult<cord::Bytes> recipient_slot_binding_bytes(cord::ByteView root_fingerprint, const core::SecretId& secret_id,
                                                    const core::SecretSelectorV1& selector, cord::ByteView reader) {
  return encoded(RecipientSlotBindingV1{cord::Bytes(root_fingerprint.begin(), root_fingerprint.end()),
                                        secret_id.to_vec(), selector.tuple, selector.labels,
                                        cord::Bytes(reader.begin(), reader.end())});
}

OpsResult<cord::Bytes> secret_content_aad_bytes(cord::ByteView root_fingerprint, const RecordContext& context,
                                                cord::ByteView nonce,
                                                const std::vector<core::RecipientSlotV1>& slots) {
  return encoded(SecretContentAadV1{cord::Bytes(root_fingerprint.begin(), root_fingerprint.end()), context.key,
                                    context.signer_key, context.counter, context.secret_id.to_vec(),
                                    context.selector.tuple, context.selector.labels,
                                    cord::Bytes(nonce.begin(), nonce.end()), slots});
}

OpsResult<core::SealedPayloadV1> seal_secret_payload(const core::validate::EffectiveState& state,
                                                     const RecordContext& context, const core::SecretValueV1& value) {
  if (!state.root_fingerprint) return std::unexpected(OpsError::of(OpsError::Kind::MissingEffectiveRoot));
  const cord::ByteView root = state.root_fingerprint->bytes();
  auto envelope = plaintext_envelope(value);
  if (!envelope) return std::unexpected(std::move(envelope).error());
  const Wiped wipe_envelope(*envelope);

  const crypto::ContentKey key = crypto::ContentKey::generate();
  const crypto::ContentNonce nonce = crypto::ContentNonce::generate();
  core::SealedPayloadV1 payload{nonce.to_vec(), {}, {}};
  for (const core::UserId& reader : state.current_reader_entries(context.selector)) {
    const auto user = state.users.find(reader);
    if (user == state.users.end()) return std::unexpected(OpsError::reader_missing_user_record(reader));
    auto binding = recipient_slot_binding_bytes(root, context.secret_id, context.selector, reader.bytes());
    if (!binding) return std::unexpected(std::move(binding).error());
    auto wrapped = crypto::wrap_content_key(user->second.hpke_public_key, *binding, *binding, key);
    if (!wrapped) return std::unexpected(OpsError(std::move(wrapped).error()));
    payload.recipient_slots.push_back(
        core::RecipientSlotV1{reader.to_vec(), std::move(wrapped->encapsulated_key), std::move(wrapped->wrapped_key)});
  }
  auto aad = secret_content_aad_bytes(root, context, payload.nonce, payload.recipient_slots);
  if (!aad) return std::unexpected(std::move(aad).error());
  auto ciphertext = crypto::seal_content(key, nonce, *aad, *envelope);
  if (!ciphertext) return std::unexpected(OpsError(std::move(ciphertext).error()));
  payload.ciphertext = std::move(*ciphertext);
  return payload;
}

OpsResult<SecretPlaintext> decrypt_secret_record(const crypto::Identity& identity, const core::VaultRecordV1& envelope,
                                                 const core::SecretRecordV1& record, cord::ByteView root_fingerprint) {
  // Built once per reading; the record keeps only the encoding.
  auto payload = record.payload.decoded();
  if (!payload) return std::unexpected(OpsError(std::move(payload).error()));
  const auto& slots = payload->recipient_slots;
  const auto slot = std::ranges::find_if(slots, [&](const core::RecipientSlotV1& s) {
    return std::ranges::equal(s.recipient, identity.user_id().bytes());
  });
  if (slot == slots.end()) return std::unexpected(OpsError::recipient_slot_missing(identity.user_id()));
  auto binding = recipient_slot_binding_bytes(root_fingerprint, record.secret_id, record.selector,
                                              identity.user_id().bytes());
  if (!binding) return std::unexpected(std::move(binding).error());
  // The identity's public key was derived from its private key when it was
  // made, so decapsulation need not compute it again.
  auto key = crypto::unwrap_content_key(identity.hpke_keypair(), slot->encapsulated_key, *binding, *binding,
                                        slot->wrapped_key);
  if (!key) return std::unexpected(OpsError(std::move(key).error()));
  if (payload->nonce.size() != crypto::ContentNonce::kSize) {
    return std::unexpected(OpsError(
        core::CryptoError::invalid_byte_length("content nonce", crypto::ContentNonce::kSize, payload->nonce.size())));
  }
  const crypto::ContentNonce nonce(std::span<const std::uint8_t, crypto::ContentNonce::kSize>(
      payload->nonce.data(), crypto::ContentNonce::kSize));
  const RecordContext context{core::record_key::Secret{record.secret_id}, envelope.signing_public_key,
                              record.secret_id, record.selector, record.counter};
  auto aad = secret_content_aad_bytes(root_fingerprint, context, payload->nonce, slots);
  if (!aad) return std::unexpected(std::move(aad).error());
  auto plaintext = crypto::open_content(*key, nonce, *aad, payload->ciphertext);
  if (!plaintext) return std::unexpected(OpsError(std::move(plaintext).error()));
  const Wiped wipe_plaintext(*plaintext);
  auto value = read_plaintext(*plaintext);
  if (!value) return std::unexpected(std::move(value).error());
  std::vector<SecretField> fields;
  for (const core::SecretFieldEntryV1& entry : value->fields) fields.push_back(SecretField{entry.name, entry.value});
  SecretPlaintext opened(record.selector, std::move(value->primary), std::move(fields));
  // The decoded value's copies of the field values go with it.
  for (const core::SecretFieldEntryV1& entry : value->fields) {
    core::secure_wipe(const_cast<std::uint8_t*>(entry.value.data()), entry.value.size());
  }
  return opened;
}

OpsResult<SecretPlaintext> decrypt_secret_from_report(const core::validate::EffectiveState& state,
                                                      const crypto::Identity& identity,
                                                      const core::SecretSelectorV1& selector,
                                                      const core::CryptoProvider& crypto) {
  // Read where it lies: the record is not copied.
  auto current = state.live_secret(selector, crypto);
  if (!current) return std::unexpected(OpsError(std::move(current).error()));
  if (*current == nullptr) return std::unexpected(OpsError::of(OpsError::Kind::SecretMissing));
  if (!state.root_fingerprint) return std::unexpected(OpsError::of(OpsError::Kind::MissingEffectiveRoot));
  const core::validate::VerifiedRecord& live = **current;
  return decrypt_secret_record(identity, live.record, std::get<core::SecretRecordV1>(live.body()),
                               state.root_fingerprint->bytes());
}

}  // namespace vornex::ops
