// What the Python module's Auth and Vault do, without Python: the three
// roads to an identity, the opening of a vault with its conflict gate, and
// the data operations, each failure already turned into the exception
// class and text that the module raises.
#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vornex/core/secret.hpp"
#include "vornex/core/validate/state.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/exceptions.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/frontend/secret_text.hpp"
#include "vornex/ops/unlocked.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::frontend {

inline constexpr std::string_view kDefaultVaultDir = ".vornex";

// Invitation material as Python gave it: text, or the binary form.
namespace invite_source {
struct Text {
  SecretText text;
};
struct Bytes {
  SecretText bytes;  // raw bytes held in a string buffer
};
}  // namespace invite_source
using InviteSource = std::variant<invite_source::Text, invite_source::Bytes>;

namespace auth {
struct Keychain {
  std::optional<std::string> user;
  std::optional<SecretText> passphrase;
};
struct Invite {
  InviteSource source;
};
struct Env {
  std::string invite_var;
  std::string invite_file_var;
};
}  // namespace auth
using AuthInner = std::variant<auth::Keychain, auth::Invite, auth::Env>;

template <class T>
using Raised = std::expected<T, RaisedError>;

// What opening a vault reads of the process, read once, with the
// interpreter lock held, so that the opening itself reads nothing
// process-wide and can run without it while other threads change the
// environment or the current directory: the paths, made absolute, with the
// state and keychain directories the environment names; on the keychain road
// without a named user, the default invitation variables (its last resort
// for a default user); on the environment road, the variables it names.
// Variables a road does not read are left unset.
//
// Before any opening: the process-wide state that openings share, set up
// once, as the module loads, with the interpreter lock held, so that no
// other thread is inside its one-time start when something forks (a child
// would wait for ever on the lock a start holds). False when a library
// cannot start or a handler cannot be registered.
bool start_process() noexcept;

struct OpeningFacts {
  store::WorkspacePaths paths;
  InviteVariables unattended;
  InviteVariables named;
};

// The facts for opening the vault whose ".vornex" directory is `path`
// (relative to the current directory) by the road `auth` names.
Raised<OpeningFacts> read_opening_facts(std::string_view path, const AuthInner& auth);

// Opens the vault by the road `auth` names, reading of the process only
// what `facts` hold. May wait for locks and ask on the terminal. Under a
// store::InterruptWatch, Ctrl-C ends it between its long steps and at the
// prompt, with ExceptionClass::Interrupted.
Raised<ops::UnlockedSession> open_vault(const OpeningFacts& facts, const AuthInner& auth,
                                        const crypto::Crypto& crypto);

// The invitation road, also taken by the environment road.
Raised<ops::UnlockedSession> open_with_invite(const store::WorkspacePaths& paths, const InviteSource& source,
                                              const crypto::Crypto& crypto);

// A selector argument: the selector in the form the operations look it up
// by (NFC, labels in key order), and the canonical text of the selector as
// the caller gave it, which every message about the call shows.
struct NamedSelector {
  core::SecretSelectorV1 selector;
  std::string text;
};
Raised<NamedSelector> named_selector(std::string_view text);
// Label keys that differ only in their spelling name one key: such a
// selector is refused as selector text with a repeated key is.
Raised<NamedSelector> named_selector(const core::SecretSelectorV1& given);

Raised<ops::SecretPlaintext> vault_get(const ops::UnlockedSession& session, const crypto::Crypto& crypto,
                                       const NamedSelector& selector);
Raised<void> vault_set(ops::UnlockedSession& session, const crypto::Crypto& crypto, const NamedSelector& selector,
                       cord::ByteView value);
Raised<void> vault_delete(ops::UnlockedSession& session, const crypto::Crypto& crypto, const NamedSelector& selector);
// The field's value, or NotFound "secret {selector} has no field {key}".
Raised<cord::Bytes> field_of(const ops::SecretPlaintext& plaintext, const NamedSelector& selector, std::string_view key);
// Insert or replace one field, keeping the primary value and the others;
// read and written under the write's locks.
Raised<void> vault_set_field(ops::UnlockedSession& session, const crypto::Crypto& crypto,
                             const NamedSelector& selector, std::string_view key, cord::ByteView value);
// Remove one field; a field that is not there writes nothing.
Raised<void> vault_delete_field(ops::UnlockedSession& session, const crypto::Crypto& crypto,
                                const NamedSelector& selector, std::string_view key);
// Every live secret (whether this identity can read it or not) under the
// filter, ordered by canonical text.
std::vector<core::SecretSelectorV1> vault_list(const ops::UnlockedSession& session,
                                               const std::optional<core::SecretSelectorV1>& filter);
// The same listing of a validated state: only the secrets under the filter
// are copied.
std::vector<core::SecretSelectorV1> list_selectors(const core::validate::EffectiveState& state,
                                                   const std::optional<core::SecretSelectorV1>& filter);

}  // namespace vornex::frontend
