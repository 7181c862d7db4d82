#include "vornex/frontend/vault.hpp"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cord/text.hpp"
#include "vornex/core/authz.hpp"
#include "vornex/crypto/library.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/frontend/selector.hpp"
#include "vornex/frontend/user.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/keychain/terminal.hpp"
#include "vornex/ops/unlocked.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/interrupt.hpp"

namespace vornex::frontend {

namespace {

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

RaisedError identity_error(std::string message) { return RaisedError{ExceptionClass::IdentityError, std::move(message)}; }

std::optional<RaisedError> unresolved_conflicts(const core::validate::EffectiveState& state) {
  const std::size_t conflicts = state.conflicts.size();
  if (conflicts == 0) return std::nullopt;
  return RaisedError{ExceptionClass::ConflictError, "vault has " + count_noun(conflicts, "unresolved conflict") +
                                                        "; resolve them before using the Vornex Python SDK"};
}

Raised<ops::UnlockedSession> conflict_gate(ops::UnlockedSession session) {
  if (auto refused = unresolved_conflicts(session.session().report.effective)) return std::unexpected(*refused);
  return session;
}

// What opening refuses, a write refuses too: the reload under the write's
// locks may find conflicts the session did not have (a vault file replaced
// by an older copy shows as such), and a record written on top would drop
// what that copy lacks. The refusal is raised as opening raises it.
class WriteConflictGate {
 public:
  ops::WriteGate gate() {
    return [this](const core::validate::EffectiveState& state) -> ops::OpsStatus {
      refusal_ = unresolved_conflicts(state);
      if (!refusal_) return {};
      return std::unexpected(ops::OpsError::conflict_unresolvable(refusal_->message));
    };
  }
  RaisedError error(const ops::OpsError& error, const NamedSelector& selector) const {
    return refusal_ ? *refusal_ : secret_error(error, selector.text);
  }

 private:
  std::optional<RaisedError> refusal_;
};

Raised<ops::UnlockedSession> open_with_keychain(const OpeningFacts& facts, const auth::Keychain& keychain,
                                                const crypto::Crypto& crypto) {
  const store::WorkspacePaths& paths = facts.paths;
  std::optional<std::string_view> reference;
  if (keychain.user) reference = *keychain.user;
  auto locked = ops::LockedSession::load(paths, crypto, {}, named_user_of(reference, facts.unattended, crypto));
  if (!locked) return std::unexpected(py_err(locked.error()));
  auto user =
      resolve_cli_user_ref_with_report(locked->report.effective, crypto, reference, paths.facts(), facts.unattended);
  if (!user) return std::unexpected(py_err(user.error()));
  std::optional<keychain::AutoKeychain> unlocker;
  if (keychain.passphrase) {
    auto base = keychain::default_base_dir(paths.facts());
    if (!base) return std::unexpected(py_err(base.error()));
    unlocker.emplace(std::move(*base),
                     std::make_unique<keychain::StaticPassphraseProvider>(
                         core::SecretBytes(cord::text_bytes(keychain.passphrase->text()))),
                     store::LockPolicy{}, paths.facts());
  } else {
    auto interactive = keychain::AutoKeychain::default_interactive(paths.facts());
    if (!interactive) return std::unexpected(py_err(interactive.error()));
    unlocker.emplace(std::move(*interactive));
  }
  auto unlocked = ops::UnlockedSession::promote(std::move(*locked), crypto, *unlocker, user->user_id,
                                                keychain::key_use::Other{std::string(keychain::kSdkPurposeText)});
  if (!unlocked) {
    const keychain::KeychainError* cause = unlocked.error().keychain_error();
    if (cause != nullptr && keychain::terminal::interrupted_at_prompt(*cause)) {
      return std::unexpected(RaisedError{ExceptionClass::Interrupted, cause->message()});
    }
    return std::unexpected(py_err(unlocked.error()));
  }
  return std::move(*unlocked);
}

Raised<ops::UnlockedSession> open_with_env(const store::WorkspacePaths& paths, const auth::Env& env,
                                           const InviteVariables& variables, const crypto::Crypto& crypto) {
  const std::optional<SecretText>& given = variables.text;
  // A value that is not UTF-8 is no text at all.
  const SecretText* text = given && cord::text::is_utf8(given->text()) ? &*given : nullptr;
  const SecretText* file = variables.file ? &*variables.file : nullptr;
  if (text != nullptr && file != nullptr) {
    return std::unexpected(identity_error("set only one of " + env.invite_var + " or " + env.invite_file_var));
  }
  if (text == nullptr && file == nullptr) {
    return std::unexpected(identity_error("neither " + env.invite_var + " nor " + env.invite_file_var + " is set"));
  }
  if (text != nullptr) return open_with_invite(paths, invite_source::Text{*text}, crypto);
  auto contents = store::read_file_bounded(*variables.file_path, kInviteFileLimit);
  if (!contents) {
    return std::unexpected(identity_error("failed to read " + shown_invite_path(env.invite_file_var, file->text()) +
                                          ": " + contents.error().message()));
  }
  // The bytes go straight into the wiping text: an invitation holds a seed.
  SecretText raw(std::string_view(reinterpret_cast<const char*>(contents->data()), contents->size()));
  core::secure_wipe(contents->data(), contents->size());
  return open_with_invite(paths, invite_source::Bytes{std::move(raw)}, crypto);
}

std::string nfc(std::string_view text) { return cord::text::to_nfc(text); }

RaisedError missing_field(const NamedSelector& selector, std::string_view key) {
  return RaisedError{ExceptionClass::NotFound, FrontendError::missing_field(selector.text, std::string(key)).message()};
}

// A filter keeps the secrets under its path whose labels include its own:
// the pattern that asks it, built once for the whole listing.
core::KeyspaceSelectorV1 filter_pattern(const core::SecretSelectorV1& filter) {
  core::KeyspaceSelectorV1 pattern{core::tuple_matcher::Prefix{filter.tuple}, {}};
  pattern.labels.reserve(filter.labels.size());
  for (const core::SecretLabelV1& label : filter.labels) {
    pattern.labels.push_back(core::KeyspaceLabelMatcherV1{label.key, core::label_matcher::Equals{label.value}});
  }
  return pattern;
}

}  // namespace

Raised<ops::UnlockedSession> open_with_invite(const store::WorkspacePaths& paths, const InviteSource& source,
                                              const crypto::Crypto& crypto) {
  auto invitation = std::holds_alternative<invite_source::Bytes>(source)
                        ? decode_invite_bytes(cord::text_bytes(std::get<invite_source::Bytes>(source).bytes.text()))
                        : read_invite(std::get<invite_source::Text>(source).text.text(), std::nullopt);
  if (!invitation) return std::unexpected(py_err(invitation.error()));
  auto unlocked = ops::UnlockedSession::from_invitation(paths, crypto, *invitation);
  if (!unlocked) return std::unexpected(py_err(unlocked.error()));
  return std::move(*unlocked);
}

bool start_process() noexcept {
  try {
    return crypto::start_libraries() && keychain::terminal::start();
  } catch (const std::exception&) {
    return false;  // memory exhausted
  }
}

Raised<OpeningFacts> read_opening_facts(std::string_view path, const AuthInner& auth) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(py_err("vault path " + quoted_form(path) + " contains a NUL byte"));
  }
  // Fixed now: a later change of the current directory must not make the
  // session's writes land in another copy of the vault.
  OpeningFacts facts{store::WorkspacePaths::from_vault_path(Path(std::string(path)) / store::kVaultFileName).absolute(),
                     {}, {}};
  if (const auto* keychain = std::get_if<auth::Keychain>(&auth); keychain != nullptr && !keychain->user) {
    facts.unattended = InviteVariables::read_default();
  } else if (const auto* env = std::get_if<auth::Env>(&auth)) {
    facts.named = InviteVariables::read(env->invite_var, env->invite_file_var);
  }
  return facts;
}

Raised<ops::UnlockedSession> open_vault(const OpeningFacts& facts, const AuthInner& auth,
                                        const crypto::Crypto& crypto) {
  Raised<ops::UnlockedSession> opened = std::visit(
      [&](const auto& road) -> Raised<ops::UnlockedSession> {
        using Road = std::decay_t<decltype(road)>;
        if constexpr (std::is_same_v<Road, auth::Keychain>) {
          return open_with_keychain(facts, road, crypto);
        } else if constexpr (std::is_same_v<Road, auth::Invite>) {
          return open_with_invite(facts.paths, road.source, crypto);
        } else {
          return open_with_env(facts.paths, road, facts.named, crypto);
        }
      },
      auth);
  // Opening decodes and judges a vault's worth of records in small blocks,
  // and derives keys in large ones, freeing most of them among the blocks
  // the session keeps: the allocator would hold those pages for the life of
  // the process. They go back to the system, so that an open vault costs
  // what it keeps.
  release_free_memory();
  // Whatever step the interrupt stopped (a lock's wait, a load, the prompt),
  // the caller pressed Ctrl-C.
  if (!opened && store::interrupt_requested()) {
    return std::unexpected(RaisedError{ExceptionClass::Interrupted, "interrupted"});
  }
  if (!opened) return opened;
  return conflict_gate(std::move(*opened));
}

Raised<NamedSelector> named_selector(std::string_view text) {
  auto parsed = parse_secret_selector(text);
  if (!parsed) return std::unexpected(py_err(parsed.error()));
  return named_selector(std::move(*parsed));
}

Raised<NamedSelector> named_selector(const core::SecretSelectorV1& given) {
  std::string text = selector_string(given);
  core::SecretSelectorV1 selector = ops::normalize_selector(given);
  const auto repeated = std::adjacent_find(selector.labels.begin(), selector.labels.end(),
                                           [](const auto& a, const auto& b) { return a.key == b.key; });
  if (repeated != selector.labels.end()) {
    return std::unexpected(py_err(FrontendError::invalid_selector(std::move(text), std::string(kSelectorDuplicateKey))));
  }
  return NamedSelector{std::move(selector), std::move(text)};
}

Raised<ops::SecretPlaintext> vault_get(const ops::UnlockedSession& session, const crypto::Crypto& crypto,
                                       const NamedSelector& selector) {
  auto plaintext = session.get_secret(crypto, selector.selector);
  if (!plaintext) return std::unexpected(secret_error(plaintext.error(), selector.text));
  return std::move(*plaintext);
}

Raised<void> vault_set(ops::UnlockedSession& session, const crypto::Crypto& crypto, const NamedSelector& selector,
                       cord::ByteView value) {
  WriteConflictGate conflicts;
  auto written = session.set_secret(crypto, selector.selector, value, conflicts.gate());
  if (!written) return std::unexpected(conflicts.error(written.error(), selector));
  return {};
}

Raised<void> vault_delete(ops::UnlockedSession& session, const crypto::Crypto& crypto, const NamedSelector& selector) {
  WriteConflictGate conflicts;
  auto deleted = session.delete_secret(crypto, selector.selector, conflicts.gate());
  if (!deleted) return std::unexpected(conflicts.error(deleted.error(), selector));
  return {};
}

Raised<cord::Bytes> field_of(const ops::SecretPlaintext& plaintext, const NamedSelector& selector,
                             std::string_view key) {
  const ops::SecretField* field = plaintext.field(nfc(key));
  if (field == nullptr) {
    return std::unexpected(missing_field(selector, key));
  }
  return field->value;
}

Raised<void> vault_set_field(ops::UnlockedSession& session, const crypto::Crypto& crypto,
                             const NamedSelector& selector, std::string_view key, cord::ByteView value) {
  const std::string name = nfc(key);
  const ops::ValueUpdate update =
      [&](const ops::SecretPlaintext& current) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    return current.with_field(name, cord::Bytes(value.begin(), value.end()));
  };
  WriteConflictGate conflicts;
  auto written = session.update_secret_value(crypto, selector.selector, update, conflicts.gate());
  if (!written) return std::unexpected(conflicts.error(written.error(), selector));
  return {};
}

Raised<void> vault_delete_field(ops::UnlockedSession& session, const crypto::Crypto& crypto,
                                const NamedSelector& selector, std::string_view key) {
  const std::string name = nfc(key);
  // Read first, as the session holds it: a missing secret or field is
  // reported before any write check, lock or pending transaction.
  {
    auto current = session.get_secret(crypto, selector.selector);
    if (!current) return std::unexpected(secret_error(current.error(), selector.text));
    if (current->field(name) == nullptr) {
      return std::unexpected(missing_field(selector, key));
    }
  }
  bool missing = false;
  const ops::ValueUpdate update =
      [&](const ops::SecretPlaintext& current) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    if (current.field(name) == nullptr) {
      missing = true;
      return std::nullopt;
    }
    return current.without_field(name);
  };
  WriteConflictGate conflicts;
  auto written = session.update_secret_value(crypto, selector.selector, update, conflicts.gate());
  if (!written) return std::unexpected(conflicts.error(written.error(), selector));
  if (missing) {
    return std::unexpected(missing_field(selector, key));
  }
  return {};
}

std::vector<core::SecretSelectorV1> list_selectors(const core::validate::EffectiveState& state,
                                                   const std::optional<core::SecretSelectorV1>& filter) {
  std::vector<const core::validate::VerifiedRecord*> live;
  if (filter) {
    const core::KeyspaceSelectorV1 pattern = filter_pattern(*filter);
    live = state.live_secrets_where(
        [&](const core::SecretRecordV1& secret) { return core::selector_matches(pattern, secret.selector); });
  } else {
    live = state.live_secrets_where([](const core::SecretRecordV1&) { return true; });
  }
  // Ordered by text; secrets whose texts are equal keep the order of their
  // first writes.
  std::vector<std::pair<std::string, const core::SecretSelectorV1*>> kept;
  kept.reserve(live.size());
  for (const core::validate::VerifiedRecord* record : live) {
    const core::SecretSelectorV1& selector = std::get<core::SecretRecordV1>(record->body()).selector;
    kept.emplace_back(selector_string(selector), &selector);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<core::SecretSelectorV1> out;
  out.reserve(kept.size());
  for (const auto& [text, selector] : kept) out.push_back(*selector);
  return out;
}

std::vector<core::SecretSelectorV1> vault_list(const ops::UnlockedSession& session,
                                               const std::optional<core::SecretSelectorV1>& filter) {
  return list_selectors(session.session().report.effective, filter);
}

}  // namespace vornex::frontend
