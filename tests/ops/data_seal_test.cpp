// Sealing a secret value to its readers and opening it again: who gets a
// slot, what each wrap and the content are bound to, the byte layouts of
// the two associated-data structures and of the plaintext envelope, and
// how every form of plaintext is read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "hex.hpp"
#include "vault_builder.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/crypto/content.hpp"
#include "vornex/crypto/signed_records.hpp"
#include "vornex/crypto/wrap.hpp"
#include "vornex/ops/seal.hpp"

namespace {

using namespace vornex;
using test::hex;
using Kind = ops::OpsError::Kind;

constexpr std::string_view kAead = "crypto error: AEAD operation failed";
constexpr std::string_view kUnwrap = "crypto error: HPKE operation failed: Failed to open ciphertext";

// Changes the record's payload as a built value; the record keeps its encoding.
template <class Change>
void edit_payload(core::SecretRecordV1& record, Change change) {
  core::SealedPayloadV1 payload = record.payload.decoded().value();
  change(payload);
  record.payload = payload;
}

cord::Bytes bytes_of(std::string_view text) { return cord::Bytes(text.begin(), text.end()); }

class DataSeal : public ::testing::Test {
 protected:
  const test::VaultBuilder& b = test::shared_builder();
  const crypto::Identity& root = b.root();
  const crypto::Identity& alice = b.identity(2);  // reads below "app"
  const crypto::Identity& bob = b.identity(3);    // reads below "app"
  const crypto::Identity& carol = b.identity(4);  // a member who reads nothing

  core::SecretSelectorV1 selector = {{"app", "db"}, {{"env", "prod"}}};
  core::SecretId secret_id = b.secret_id(selector);
  std::uint64_t counter = 7;
  const core::HashValue fingerprint = b.selected_root().fingerprint;

  std::vector<core::VaultRecordV1> records() const {
    return {b.vault_root(),
            b.user(root, alice),
            b.entry_point(alice),
            b.user(root, bob),
            b.entry_point(bob),
            b.user(root, carol),
            b.entry_point(carol),
            b.grant(root, "alice-read", alice.user_id(), test::read_permission(test::prefix({"app"}))),
            b.grant(root, "bob-read", bob.user_id(), test::read_permission(test::prefix({"app"})))};
  }
  core::validate::ValidationReport validate(const std::vector<core::VaultRecordV1>& list) const {
    const auto set = cord::Set<core::VaultRecordV1>::from(list).value();
    auto report =
        core::validate::validate_vault(set, core::Ratchet::make(b.selected_root().fingerprint.to_vec()), b.crypto())
            .value();
    EXPECT_TRUE(report.issues.empty());
    return report;
  }
  core::validate::EffectiveState state() const { return validate(records()).effective; }
  cord::Bytes root_fp() const { return fingerprint.to_vec(); }

  ops::RecordContext context(const crypto::Identity& signer) const {
    return ops::RecordContext{core::record_key::Secret{secret_id}, signer.signing_public_key(), secret_id, selector,
                              counter};
  }
  // The signed record that carries `payload` as `context` describes it.
  core::VaultRecordV1 envelope(const crypto::Identity& signer, const core::SealedPayloadV1& payload) const {
    return crypto::secret_record(b.crypto(), signer, selector, payload, counter).value();
  }
  static const core::SecretRecordV1& body(const core::VaultRecordV1& envelope) {
    return std::get<core::SecretRecordV1>(*envelope.body.known());
  }
  ops::OpsResult<ops::SecretPlaintext> open(const crypto::Identity& who, const core::VaultRecordV1& envelope,
                                            const core::SecretRecordV1& record) const {
    return ops::decrypt_secret_record(who, envelope, record, root_fp());
  }

  // Seals any plaintext as the sealer would, to the given readers: wraps
  // bound to the slot binding, content bound to the content data.
  core::SealedPayloadV1 seal_raw(cord::ByteView plaintext, const std::vector<const crypto::Identity*>& readers,
                                 const crypto::Identity& signer) const {
    const crypto::ContentKey key = crypto::ContentKey::generate();
    const crypto::ContentNonce nonce = crypto::ContentNonce::generate();
    core::SealedPayloadV1 payload{nonce.to_vec(), {}, {}};
    for (const crypto::Identity* reader : readers) {
      const auto binding =
          ops::recipient_slot_binding_bytes(root_fp(), secret_id, selector, reader->user_id().bytes()).value();
      auto wrapped = crypto::wrap_content_key(reader->hpke_public_key(), binding, binding, key).value();
      payload.recipient_slots.push_back(
          {reader->user_id().to_vec(), std::move(wrapped.encapsulated_key), std::move(wrapped.wrapped_key)});
    }
    const auto aad = ops::secret_content_aad_bytes(root_fp(), context(signer), payload.nonce, payload.recipient_slots);
    payload.ciphertext = crypto::seal_content(key, nonce, aad.value(), plaintext).value();
    return payload;
  }
  // What the AEAD protects in a sealed payload, recovered by hand for `who`.
  cord::Bytes raw_plaintext(const crypto::Identity& who, const core::SealedPayloadV1& payload,
                            const crypto::Identity& signer) const {
    const auto slot = std::ranges::find_if(payload.recipient_slots,
                                           [&](const auto& s) { return std::ranges::equal(s.recipient, who.user_id().bytes()); });
    const auto binding =
        ops::recipient_slot_binding_bytes(root_fp(), secret_id, selector, who.user_id().bytes()).value();
    const auto key = crypto::unwrap_content_key(who.hpke_private_key(), slot->encapsulated_key, binding, binding,
                                                slot->wrapped_key)
                         .value();
    const auto aad = ops::secret_content_aad_bytes(root_fp(), context(signer), payload.nonce, payload.recipient_slots);
    const crypto::ContentNonce nonce(std::span<const std::uint8_t, 12>(payload.nonce.data(), 12));
    return crypto::open_content(key, nonce, aad.value(), payload.ciphertext).value();
  }
};

core::SecretValueV1 value_with_fields(std::string_view primary,
                                      std::vector<std::pair<std::string, std::string>> fields) {
  std::vector<core::SecretFieldEntryV1> entries;
  for (auto& [name, value] : fields) entries.push_back({name, bytes_of(value)});
  return core::SecretValueV1{bytes_of(primary), cord::Set<core::SecretFieldEntryV1>::from(std::move(entries)).value()};
}

TEST_F(DataSeal, EveryCurrentReaderGetsOneSlotInIdOrder) {
  const auto sealed = ops::seal_secret_payload(state(), context(root), value_with_fields("pw", {{"user", "u"}}));
  ASSERT_TRUE(sealed.has_value()) << sealed.error().message();
  EXPECT_EQ(sealed->nonce.size(), 12u);

  std::vector<cord::Bytes> expected = {root.user_id().to_vec(), alice.user_id().to_vec(), bob.user_id().to_vec()};
  std::ranges::sort(expected);
  std::vector<cord::Bytes> got;
  for (const auto& slot : sealed->recipient_slots) got.push_back(slot.recipient);
  EXPECT_EQ(got, expected);

  const auto record = envelope(root, *sealed);
  for (const crypto::Identity* reader : {&root, &alice, &bob}) {
    const auto opened = open(*reader, record, body(record));
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(opened->selector(), selector);
    EXPECT_EQ(opened->primary(), bytes_of("pw"));
    EXPECT_EQ(opened->fields(), (std::vector<ops::SecretField>{{"user", bytes_of("u")}}));
  }
  const auto refused = open(carol, record, body(record));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Kind::RecipientSlotMissing);
  EXPECT_EQ(refused.error().message(), "recipient slot is missing for " + core::debug_string(carol.user_id()));
}

// A selector nobody but the root may read is sealed to the root alone.
TEST_F(DataSeal, OnlyTheRootReadsOutsideTheGrants) {
  selector = {{"ops"}, {}};
  secret_id = b.secret_id(selector);
  const auto sealed = ops::seal_secret_payload(state(), context(root), core::SecretValueV1::from_primary(bytes_of("x")));
  ASSERT_TRUE(sealed.has_value()) << sealed.error().message();
  ASSERT_EQ(sealed->recipient_slots.size(), 1u);
  EXPECT_EQ(sealed->recipient_slots[0].recipient, root.user_id().to_vec());
}

// Bytes written out by hand from the field lists: lengths and counts are
// u32 big-endian, the counter a u64, the record key its variant index (7,
// Secret) and then the id; texts are encoded in NFC.
TEST_F(DataSeal, AssociatedDataLayouts) {
  const cord::Bytes fp = hex("aabbcc");
  const core::SecretId id(core::HashValue(hex("0102")));
  const core::SecretSelectorV1 sel{{"ab", "c"}, {{"e", "f"}}};

  EXPECT_EQ(ops::recipient_slot_binding_bytes(fp, id, sel, hex("09")).value(),
            hex("00000003 aabbcc"
                "00000002 0102"
                "00000002 00000002 6162 00000001 63"
                "00000001 00000001 65 00000001 66"
                "00000001 09"));

  const ops::RecordContext ctx{core::record_key::Secret{id}, hex("5152"), id, sel, 0x0105};
  const std::vector<core::RecipientSlotV1> slots = {{hex("09"), hex("e1"), hex("f1f2")}, {{}, {}, {}}};
  EXPECT_EQ(ops::secret_content_aad_bytes(fp, ctx, hex("000102030405060708090a0b"), slots).value(),
            hex("00000003 aabbcc"
                "00000007 00000002 0102"
                "00000002 5152"
                "0000000000000105"
                "00000002 0102"
                "00000002 00000002 6162 00000001 63"
                "00000001 00000001 65 00000001 66"
                "0000000c 000102030405060708090a0b"
                "00000002 00000001 09 00000001 e1 00000002 f1f2 00000000 00000000 00000000"));

  // A decomposed segment binds as its composed form (c3 a9), so a reader
  // holding the stored, composed selector computes the same bytes.
  const core::SecretSelectorV1 decomposed{{"e\xCC\x81"}, {}};
  EXPECT_EQ(ops::recipient_slot_binding_bytes(fp, id, decomposed, hex("09")).value(),
            hex("00000003 aabbcc 00000002 0102 00000001 00000002 c3a9 00000000 00000001 09"));
}

// The AEAD protects "vornex-secret-v1", a zero byte and the value's
// encoding (primary, then the field set), spelled out here by hand.
TEST_F(DataSeal, SealedPlaintextIsTheVersionOneEnvelope) {
  const auto sealed =
      ops::seal_secret_payload(state(), context(alice), value_with_fields("hi", {{"a", "b"}})).value();
  EXPECT_EQ(raw_plaintext(bob, sealed, alice),
            hex("766f726e65782d7365637265742d7631 00"
                "00000002 6869"
                "00000001 00000001 61 00000001 62"));
}

// Each part of the associated data is bound: changing it, or moving the
// slots, makes the payload fail to open. Parts of the wrap's binding fail
// at the unwrap; the rest at the content.
TEST_F(DataSeal, TamperingFailsToOpen) {
  const auto sealed = ops::seal_secret_payload(state(), context(root), value_with_fields("pw", {})).value();
  const auto original = envelope(root, sealed);
  ASSERT_TRUE(open(alice, original, body(original)).has_value());

  struct Case {
    const char* name;
    std::function<void(core::VaultRecordV1&, core::SecretRecordV1&, cord::Bytes&)> change;
    std::string_view message;
  };
  const std::vector<Case> cases = {
      {"counter", [](auto&, auto& r, auto&) { r.counter += 1; }, kAead},
      {"selector tuple", [](auto&, auto& r, auto&) { r.selector.tuple.back() = "dc"; }, kUnwrap},
      {"extra segment", [](auto&, auto& r, auto&) { r.selector.tuple.push_back("x"); }, kUnwrap},
      {"label value", [](auto&, auto& r, auto&) { r.selector.labels[0].value = "prud"; }, kUnwrap},
      {"label dropped", [](auto&, auto& r, auto&) { r.selector.labels.clear(); }, kUnwrap},
      {"signer key", [&](auto& e, auto&, auto&) { e.signing_public_key = bob.signing_public_key(); }, kAead},
      {"secret id", [](auto&, auto& r, auto&) { r.secret_id = core::SecretId(core::HashValue(cord::Bytes(32, 1))); },
       kUnwrap},
      {"nonce", [](auto&, auto& r, auto&) { edit_payload(r, [](auto& p) { p.nonce[0] ^= 1; }); }, kAead},
      {"root fingerprint", [](auto&, auto&, auto& fp) { fp[0] ^= 1; }, kUnwrap},
      {"slots reversed",
       [](auto&, auto& r, auto&) { edit_payload(r, [](auto& p) { std::ranges::reverse(p.recipient_slots); }); },
       kAead},
      {"slots rotated",
       [](auto&, auto& r, auto&) {
         edit_payload(r, [](auto& p) { std::ranges::rotate(p.recipient_slots, p.recipient_slots.begin() + 1); });
       },
       kAead},
      {"another reader's slot dropped",
       [&](auto&, auto& r, auto&) {
         edit_payload(r, [&](auto& p) {
           std::erase_if(p.recipient_slots, [&](const auto& s) { return std::ranges::equal(s.recipient, bob.user_id().bytes()); });
         });
       },
       kAead},
      {"slot added",
       [](auto&, auto& r, auto&) {
         edit_payload(r, [](auto& p) { p.recipient_slots.push_back({cord::Bytes(32, 5), {}, {}}); });
       },
       kAead},
      {"ciphertext", [](auto&, auto& r, auto&) { edit_payload(r, [](auto& p) { p.ciphertext.back() ^= 1; }); }, kAead},
  };
  for (const Case& c : cases) {
    core::VaultRecordV1 env = original;
    core::SecretRecordV1 record = body(original);
    cord::Bytes fp = root_fp();
    c.change(env, record, fp);
    const auto opened = ops::decrypt_secret_record(alice, env, record, fp);
    ASSERT_FALSE(opened.has_value()) << c.name;
    EXPECT_EQ(opened.error().kind(), Kind::Crypto) << c.name;
    EXPECT_EQ(opened.error().message(), c.message) << c.name;
  }
}

// A wrap made for one secret does not open another, even for the same
// reader under the same root.
TEST_F(DataSeal, SlotFromAnotherSecretFailsAtTheUnwrap) {
  const auto first = ops::seal_secret_payload(state(), context(root), value_with_fields("one", {})).value();
  const core::SecretSelectorV1 first_selector = selector;
  selector = {{"app", "cache"}, {}};
  secret_id = b.secret_id(selector);
  const auto second = ops::seal_secret_payload(state(), context(root), value_with_fields("two", {})).value();

  selector = first_selector;
  secret_id = b.secret_id(selector);
  auto record_env = envelope(root, first);
  auto record = body(record_env);
  const auto alice_slot = [&](auto& slots) {
    return std::ranges::find_if(slots, [&](const auto& s) { return std::ranges::equal(s.recipient, alice.user_id().bytes()); });
  };
  auto copied = second.recipient_slots;
  edit_payload(record, [&](auto& p) { *alice_slot(p.recipient_slots) = *alice_slot(copied); });
  const auto opened = open(alice, record_env, record);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().message(), kUnwrap);
}

TEST_F(DataSeal, PlaintextForms) {
  const cord::Bytes encoded = cord::serialize(value_with_fields("p", {{"b", "2"}, {"aa", "1"}})).value();
  const auto envelope_of = [&](std::string_view head, const cord::Bytes& tail) {
    cord::Bytes out(head.size() + tail.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return out;
  };
  const cord::Bytes v1 = bytes_of(std::string_view("vornex-secret-v1\0", 17));
  struct Case {
    const char* name;
    cord::Bytes plaintext;
    bool opens;
    std::string primary;
    std::vector<std::string> field_names;
  };
  cord::Bytes with_zero = encoded;
  with_zero.push_back(0);
  const cord::Bytes trailing = envelope_of(std::string_view("vornex-secret-v1\0", 17), with_zero);
  const std::vector<Case> cases = {
      {"version 1 envelope", envelope_of(std::string_view("vornex-secret-v1\0", 17), encoded), true, "p", {"aa", "b"}},
      {"version 1, no fields", envelope_of(std::string_view("vornex-secret-v1\0", 17),
                                           cord::serialize(value_with_fields("", {})).value()),
       true, "", {}},
      {"separator 01", envelope_of(std::string_view("vornex-secret-v1\x01", 17), encoded), false, "", {}},
      {"version 2", envelope_of(std::string_view("vornex-secret-v2\0", 17), encoded), false, "", {}},
      {"other version text", bytes_of("vornex-secret-v10 and more"), false, "", {}},
      {"bare 16 bytes", bytes_of("vornex-secret-v1"), false, "", {}},
      {"reserved 14 bytes", bytes_of("vornex-secret-"), false, "", {}},
      {"envelope without value", v1, false, "", {}},
      {"envelope with a trailing byte", trailing, false, "", {}},
      {"13 bytes is legacy", bytes_of("vornex-secret"), true, "vornex-secret", {}},
      {"legacy encoded value", encoded, true, "p", {"aa", "b"}},
      {"legacy raw bytes", bytes_of("hunter2"), true, "hunter2", {}},
      {"legacy empty", {}, true, "", {}},
  };
  for (const Case& c : cases) {
    const auto payload = seal_raw(c.plaintext, {&alice}, root);
    const auto env = envelope(root, payload);
    const auto opened = open(alice, env, body(env));
    if (!c.opens) {
      ASSERT_FALSE(opened.has_value()) << c.name;
      EXPECT_EQ(opened.error().kind(), Kind::InvalidPlaintextEnvelope) << c.name;
      EXPECT_EQ(opened.error().message(), "authenticated secret plaintext has an invalid or unsupported envelope");
      continue;
    }
    ASSERT_TRUE(opened.has_value()) << c.name << ": " << opened.error().message();
    EXPECT_EQ(opened->primary(), bytes_of(c.primary)) << c.name;
    std::vector<std::string> names;
    for (const auto& f : opened->fields()) names.push_back(f.name);
    EXPECT_EQ(names, c.field_names) << c.name;
  }
}

// The set orders by encoding, shorter names first; the opened plaintext
// orders by name bytes, and keeps equal names in the order they came.
TEST_F(DataSeal, OpenedFieldsSortByName) {
  const auto value = value_with_fields("", {{"b", "1"}, {"aa", "2"}, {"a", "4"}, {"a", "3"}, {"ab", "5"}});
  const auto env = envelope(root, seal_raw(cord::serialize(value).value(), {&alice}, root));
  const auto opened = open(alice, env, body(env)).value();
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& f : opened.fields()) got.emplace_back(f.name, std::string(f.value.begin(), f.value.end()));
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                     {"a", "3"}, {"a", "4"}, {"aa", "2"}, {"ab", "5"}, {"b", "1"}}));
  ASSERT_NE(opened.field("a"), nullptr);
  EXPECT_EQ(opened.field("a")->value, bytes_of("3"));
}

TEST_F(DataSeal, NonceOfAnotherLengthFailsBeforeDecryption) {
  const auto sealed = ops::seal_secret_payload(state(), context(root), value_with_fields("pw", {})).value();
  const auto env = envelope(root, sealed);
  for (const std::size_t length : {11u, 13u, 0u}) {
    auto record = body(env);
    edit_payload(record, [&](auto& p) { p.nonce.resize(length, 0); });
    const auto opened = open(alice, env, record);
    ASSERT_FALSE(opened.has_value()) << length;
    EXPECT_EQ(opened.error().kind(), Kind::Crypto);
    EXPECT_EQ(opened.error().message(),
              "crypto error: invalid byte length for content nonce: expected 12, got " + std::to_string(length));
  }
}

// Through the state: the current record is found and opened; without a
// root fingerprint neither sealing nor opening proceeds.
TEST_F(DataSeal, FromTheStateAndWithoutRoot) {
  const auto before = state();
  counter = *before.highest_counter + 1;
  const auto sealed = ops::seal_secret_payload(before, context(root), value_with_fields("pw", {})).value();
  auto list = records();
  list.push_back(envelope(root, sealed));
  const auto after = validate(list).effective;

  const auto opened = ops::decrypt_secret_from_report(after, bob, selector, b.crypto());
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  EXPECT_EQ(opened->primary(), bytes_of("pw"));

  const auto missing = ops::decrypt_secret_from_report(after, bob, {{"app", "other"}, {}}, b.crypto());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Kind::SecretMissing);

  auto rootless = after;
  rootless.root_fingerprint.reset();
  const auto no_open = ops::decrypt_secret_from_report(rootless, bob, selector, b.crypto());
  ASSERT_FALSE(no_open.has_value());
  EXPECT_EQ(no_open.error().kind(), Kind::MissingEffectiveRoot);
  EXPECT_EQ(no_open.error().message(), "validated vault is missing an effective root");
  const auto no_seal = ops::seal_secret_payload(rootless, context(root), value_with_fields("pw", {}));
  ASSERT_FALSE(no_seal.has_value());
  EXPECT_EQ(no_seal.error().kind(), Kind::MissingEffectiveRoot);

  // An empty state without a root refuses too, before looking for readers.
  const auto empty = ops::seal_secret_payload(core::validate::EffectiveState{}, context(root), value_with_fields("", {}));
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind(), Kind::MissingEffectiveRoot);
}

// A user whose record carries an unusable key cannot be sealed to; the
// wrap's failure ends the seal.
TEST_F(DataSeal, ReaderWithUnusableKey) {
  auto st = state();
  st.users.at(bob.user_id()).hpke_public_key = cord::Bytes(5, 1);
  const auto sealed = ops::seal_secret_payload(st, context(root), value_with_fields("pw", {}));
  ASSERT_FALSE(sealed.has_value());
  EXPECT_EQ(sealed.error().kind(), Kind::Crypto);
  EXPECT_EQ(sealed.error().message(), "crypto error: invalid HPKE public key");
}

}  // namespace
