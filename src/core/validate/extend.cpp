#include "vornex/core/validate/extend.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "authority_lookup.hpp"
#include "cord/codec.hpp"
#include "cord/try.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/structure.hpp"

namespace vornex::core::validate {

namespace {

using None = std::optional<SecretWriteUndo>;

thread_local std::uint64_t g_derived = 0;

const SecretSelectorV1* written_selector(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return &secret->selector;
  if (const auto* deleted = std::get_if<SecretDeletedRecordV1>(&body)) return &deleted->selector;
  return nullptr;
}

const SecretId& written_id(const RecordBodyV1& body) {
  if (const auto* secret = std::get_if<SecretRecordV1>(&body)) return secret->secret_id;
  return std::get<SecretDeletedRecordV1>(body).secret_id;
}

bool clean(const ValidationReport& report) {
  const EffectiveState& state = report.effective;
  return report.issues.empty() && report.warnings.empty() && state.conflicts.empty() && !state.blocked &&
         state.root_user_id && state.root_fingerprint;
}

// The user a full validation would credit with the records this key
// signs: the root for the root's key; otherwise whoever a record of the
// vault signed with it was credited to (the mapping is a function of the
// key, and a secret write does not change who is credited). None when no
// record shows it. A copy: the records may move when the new one goes in.
std::optional<UserId> signer_of(const EffectiveState& state, const UserRecordV1& root, const cord::Bytes& key) {
  if (key == root.signing_public_key) return root.user_id;
  for (const VerifiedRecord& r : state.records) {
    if (r.record.signing_public_key == key) return r.signer;
  }
  return std::nullopt;
}

// Where the record's encoding goes among the records, which are in file
// order (ascending by encoding); none when an equal encoding is there.
CoreResult<std::optional<std::size_t>> place_of(const std::vector<VerifiedRecord>& records, cord::ByteView encoding) {
  std::size_t lo = 0;
  std::size_t hi = records.size();
  cord::Bytes probe;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    probe.clear();
    VX_TRY(cord::serialize_into(probe, records[mid].record));
    const int c = cord::compare_bytes(probe, encoding);
    if (c == 0) return std::optional<std::size_t>();
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::optional<std::size_t>(lo);
}

// Moves every index at or after `from` by `by` (+1 or -1).
void shift_indexes(EffectiveState& state, std::size_t from, int by) {
  const auto moved = [&](std::size_t i) { return i >= from ? static_cast<std::size_t>(static_cast<long long>(i) + by) : i; };
  state.latest_secret.update_values([&](auto& entry) { entry = {moved(entry.first), moved(entry.second)}; });
}

}  // namespace

CoreResult<std::optional<SecretWriteUndo>> extend_with_secret_write(ValidationReport& report, const Ratchet& ratchet,
                                                                    bool ratchet_follows_report,
                                                                    const VaultRecordV1& record, const HashValue& hash,
                                                                    cord::ByteView encoding,
                                                                    const CryptoProvider& crypto) {
  if (!ratchet_follows_report || !clean(report)) return None();
  // The format version gate: a trust state ahead of this build refuses.
  if (ratchet.format_version() > kCurrentFormatVersion) return None();
  EffectiveState& state = report.effective;
  const auto root_entry = state.users.find(*state.root_user_id);
  if (root_entry == state.users.end()) return None();
  const UserRecordV1& root_user = root_entry->second;

  const RecordBodyV1* body = record.body.known();
  const SecretSelectorV1* selector = body != nullptr ? written_selector(*body) : nullptr;
  if (selector == nullptr) return None();
  const pipeline::SelectedRoot root{root_user.user_id, root_user.hpke_public_key, root_user.signing_public_key,
                                    *state.root_fingerprint};
  if (structurally_validate_record(record, *body, root, crypto)) return None();
  const std::optional<UserId> signer = signer_of(state, root_user, record.signing_public_key);
  if (!signer) return None();
  const std::uint64_t counter = record_counter(*body);
  if (state.highest_counter && counter <= *state.highest_counter) return None();
  if (!detail::AuthorityLookup(state.authorities).can_write(*signer, *selector)) return None();
  VX_TRY_ASSIGN(const cord::Bytes message, signed_record_message(record.body));
  if (!crypto.verify_signature(domains::kSigned, record.signing_public_key, message, record.signature)) return None();
  VX_TRY_ASSIGN(const std::optional<std::size_t> place, place_of(state.records, encoding));
  if (!place) return None();
  // Room for the record, grown by an eighth rather than doubled: the list
  // holds every record of the vault. Taken before anything changes, so a
  // failure leaves the report as it was.
  if (state.records.size() == state.records.capacity()) {
    state.records.reserve(state.records.size() + state.records.size() / 8 + 16);
  }

  // From here on nothing fails: the report changes as a whole.
  const SecretId id = written_id(*body);
  RecordKey key = record_key_for(*body, *signer);
  SecretWriteUndo undo{*place, id, std::nullopt, state.highest_counter, std::move(report.ratchet_update)};

  // Above every admitted counter, the record is the newest authorised
  // write of its secret and stands alone at its counter: no conflict.
  if (const auto latest = state.latest_secret.find(id); latest != state.latest_secret.end()) {
    undo.latest = latest->second;
  }
  shift_indexes(state, *place, +1);
  auto& entry = state.latest_secret[id];
  entry = undo.latest ? std::pair{*place, std::min(entry.second, *place)} : std::pair{*place, *place};
  state.highest_counter = counter;

  // What the trust state learns: only this secret's counter, and its origin
  // when the trust state has none (then no earlier write of it was
  // admitted, so this record is the first with one).
  RatchetUpdate update;
  const auto trusted = ratchet.counters().find(key);
  if (trusted == ratchet.counters().end() || trusted->second < counter) update.counters.emplace(key, counter);
  if (!ratchet.origins().contains(key)) update.origins.emplace(key, KeyOrigin(key_origin::Secret{*selector}));
  if (ratchet.format_version() == 0) update.format_version = kCurrentFormatVersion;
  report.ratchet_update = std::move(update);

  state.records.insert(state.records.begin() + static_cast<std::ptrdiff_t>(*place),
                       VerifiedRecord{record, std::move(key), hash, *signer});
  ++g_derived;
  return std::optional<SecretWriteUndo>(std::move(undo));
}

std::uint64_t secret_writes_derived() noexcept { return g_derived; }

void undo_secret_write(ValidationReport& report, SecretWriteUndo undo) {
  EffectiveState& state = report.effective;
  state.records.erase(state.records.begin() + static_cast<std::ptrdiff_t>(undo.position));
  // The secret's own entry still points at the record, which no other does.
  shift_indexes(state, undo.position + 1, -1);
  if (undo.latest) {
    state.latest_secret.insert_or_assign(undo.secret_id, *undo.latest);
  } else {
    state.latest_secret.erase(undo.secret_id);
  }
  state.highest_counter = undo.highest_counter;
  report.ratchet_update = std::move(undo.ratchet_update);
}

}  // namespace vornex::core::validate
