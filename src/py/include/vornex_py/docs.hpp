// What help() shows for the module, its classes and their methods. Each
// callable's text begins with its text signature, "--" and a blank line,
// which the interpreter splits off into __text_signature__; vornex.pyi
// gives the same API its types.
#pragma once

namespace vornex::py::docs {

inline constexpr const char* kModule =
    "Secrets from an end-to-end encrypted vault kept in a project's workspace.\n"
    "\n"
    "Authenticate with an Auth, open the workspace's vault with Vault, and read,\n"
    "list, set and delete secrets and their named fields by selector text such as\n"
    "\"app/db@env=prod\" or by Selector. Every failure raises VornexError or one of\n"
    "its subclasses NotFound, PermissionDenied, ConflictError, ValidationError and\n"
    "IdentityError.";

// --- Auth --------------------------------------------------------------------

inline constexpr const char* kAuth =
    "Where a Vault's identity comes from.\n"
    "\n"
    "Made only by the class methods from_keychain, from_invite and from_env. A plain\n"
    "value: nothing is read until a vault is opened with it (a file-like invitation\n"
    "excepted, which from_invite reads at once), and one Auth may open any number\n"
    "of vaults. Its repr never shows a user, passphrase or invitation.";

inline constexpr const char* kFromKeychain =
    "from_keychain($cls, user=None, *, passphrase=None)\n--\n\n"
    "The identity sealed with a passphrase in this user's keychain.\n"
    "\n"
    "Arguments:\n"
    "  user: a user handle (\"@alice\"), user id or id prefix of at least 8 hex\n"
    "    digits; by default the keychain's current user for the vault, else the\n"
    "    user of the invitation in VORNEX_UNSAFE_INVITE or VORNEX_UNSAFE_INVITE_FILE.\n"
    "  passphrase: the keychain's passphrase; by default it is asked for on the\n"
    "    terminal when a vault opens.\n"
    "\n"
    "Returns an Auth.\n"
    "Raises TypeError when user or passphrase is neither None nor a str.";

inline constexpr const char* kFromInvite =
    "from_invite($cls, invite)\n--\n\n"
    "The identity an invitation carries.\n"
    "\n"
    "Arguments:\n"
    "  invite: the invitation's text (a str starting \"vrnx1\"), its binary form\n"
    "    (bytes), or a file-like object whose read() gives either; read once, now.\n"
    "\n"
    "Returns an Auth. The invitation is decoded when a vault is opened with it.\n"
    "Raises VornexError when invite is none of these.";

inline constexpr const char* kFromEnv =
    "from_env($cls, *, invite=..., invite_file=...)\n--\n\n"
    "The identity of an invitation in the environment, for unattended use.\n"
    "\n"
    "Exactly one of the two variables must be set when a vault is opened; they\n"
    "are read then, not now.\n"
    "\n"
    "Arguments:\n"
    "  invite: the name of the variable holding an invitation's text\n"
    "    (default \"VORNEX_UNSAFE_INVITE\").\n"
    "  invite_file: the name of the variable holding the path of a binary\n"
    "    invitation file (default \"VORNEX_UNSAFE_INVITE_FILE\").\n"
    "\n"
    "Returns an Auth.\n"
    "Raises TypeError when a name is not a str.";

// --- Selector ----------------------------------------------------------------

inline constexpr const char* kSelector =
    "Selector(path, labels=None)\n--\n\n"
    "Names a secret: its path segments and its labels.\n"
    "\n"
    "str() gives its canonical selector text, which every method accepts in its\n"
    "place: segments joined by \"/\", then \"@\" and the labels as key=value joined\n"
    "by \"&\", quoted where needed.\n"
    "\n"
    "Arguments:\n"
    "  path: a sequence of non-empty str segments (not a str itself).\n"
    "  labels: a dict of non-empty str names to non-empty str values, or None.\n"
    "\n"
    "Selectors compare by identity, as objects do: to compare the secrets two\n"
    "selectors name, compare their str().\n"
    "\n"
    "Raises TypeError when path or labels has another type, and VornexError when\n"
    "path has no segment or a segment, name or value is empty.";

inline constexpr const char* kSelectorPath = "The path segments, a tuple of str.";
inline constexpr const char* kSelectorLabels = "The labels, a new dict of str to str.";

// --- Vault -------------------------------------------------------------------

inline constexpr const char* kVault =
    "Vault(path=..., *, auth=None)\n--\n\n"
    "An open vault, unlocked with one identity.\n"
    "\n"
    "Opening reads and validates the vault in the workspace's \".vornex\" directory,\n"
    "completes a write a crash interrupted, and unlocks it with the identity auth\n"
    "names. Other threads run while it opens, including while the passphrase is\n"
    "asked for on the terminal.\n"
    "\n"
    "A Vault reads the vault as it was when it opened or last wrote: it does not\n"
    "see another Vault's or another process's writes until it writes or is opened\n"
    "again. No write is lost: writes made through two Vaults both land.\n"
    "\n"
    "Methods may be called from several threads; they take turns. A Vault is also\n"
    "a context manager; leaving the with block leaves it open, but entering it\n"
    "while another thread is inside a method raises RuntimeError\n"
    "\"Already borrowed\".\n"
    "\n"
    "A child made by fork (os.fork, a fork-context multiprocessing pool) may use\n"
    "every Vault it inherited: a fork waits for the methods in progress in other\n"
    "threads, writes included, so the child sees each vault as they left it. A\n"
    "fork never waits for a passphrase prompt.\n"
    "\n"
    "Arguments:\n"
    "  path: the \".vornex\" directory, a str (default \".vornex\" in the current\n"
    "    directory).\n"
    "  auth: an Auth, or None for Auth.from_keychain().\n"
    "\n"
    "Raises:\n"
    "  IdentityError: the identity cannot be unlocked or is not a member.\n"
    "  ValidationError: the vault does not validate.\n"
    "  ConflictError: the vault has unresolved conflicts.\n"
    "  VornexError: any other failure, such as a missing vault or a bad invitation.\n"
    "  TypeError: path is not a str, or auth is neither an Auth nor None.\n"
    "  KeyboardInterrupt: Ctrl-C while it opens, at the passphrase prompt or\n"
    "    before it.";

// The value a write takes, and the argument every method on one secret takes.
#define VORNEX_DOC_VALUE                                                       \
  "  value: a str (stored as UTF-8), or bytes (or another sequence of integers\n" \
  "    from 0 to 255).\n"
#define VORNEX_DOC_SELECTOR                                                   \
  "  selector: selector text such as \"app/db\", or a Selector; anything else,\n" \
  "    or text that does not parse, raises VornexError.\n"

inline constexpr const char* kGet =
    "get($self, selector, *, as_bytes=False)\n--\n\n"
    "The secret's primary value.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "  as_bytes: return bytes rather than the value decoded as UTF-8.\n"
    "\n"
    "Returns a str, or bytes with as_bytes=True.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector.\n"
    "  PermissionDenied: the secret is not sealed to this identity.\n"
    "  ConflictError: the secret's latest writes conflict.\n"
    "  VornexError: the selector is not one, or the value is not UTF-8.\n"
    "  TypeError: as_bytes is not a bool.";

inline constexpr const char* kSet =
    "set($self, selector, value)\n--\n\n"
    "Writes the secret's primary value, creating the secret if need be.\n"
    "\n"
    "The new value holds only this primary value: the old one's fields go.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    VORNEX_DOC_VALUE
    "\n"
    "Returns None.\n"
    "\n"
    "Raises:\n"
    "  PermissionDenied: this identity may not write the secret.\n"
    "  ConflictError: the vault has unresolved conflicts.\n"
    "  ValidationError: the vault with the new value would not validate.\n"
    "  VornexError: the selector is not one, the value is neither text nor\n"
    "    bytes, or the write failed (it changed nothing unless its message says\n"
    "    that it committed).";

inline constexpr const char* kDelete =
    "delete($self, selector)\n--\n\n"
    "Deletes the secret.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "\n"
    "Returns None.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector.\n"
    "  PermissionDenied: this identity may not write the secret.\n"
    "  ConflictError: the vault has unresolved conflicts.\n"
    "  ValidationError: the vault with the deletion would not validate.\n"
    "  VornexError: the selector is not one, or the write failed (it changed\n"
    "    nothing unless its message says that it committed).";

inline constexpr const char* kFields =
    "fields($self, selector, *, as_bytes=False)\n--\n\n"
    "The secret's additional key\u2192value fields as a dict. Values come back as `str` (UTF-8) or,\n"
    "with `as_bytes=True`, as `bytes`.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "  as_bytes: give the values as bytes rather than decoded as UTF-8.\n"
    "\n"
    "Returns a new dict of field name to value, empty when there are none.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector.\n"
    "  PermissionDenied: the secret is not sealed to this identity.\n"
    "  ConflictError: the secret's latest writes conflict.\n"
    "  VornexError: the selector is not one, or a value is not UTF-8.\n"
    "  TypeError: as_bytes is not a bool.";

inline constexpr const char* kGetField =
    "get_field($self, selector, key, *, as_bytes=False)\n--\n\n"
    "One additional field's value, as `str` (UTF-8) or, with `as_bytes=True`, as `bytes`.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "  key: the field's name, a str.\n"
    "  as_bytes: return bytes rather than the value decoded as UTF-8.\n"
    "\n"
    "Returns a str, or bytes with as_bytes=True.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector, or it has no such field.\n"
    "  PermissionDenied: the secret is not sealed to this identity.\n"
    "  ConflictError: the secret's latest writes conflict.\n"
    "  VornexError: the selector is not one, or the value is not UTF-8.\n"
    "  TypeError: key is not a str, or as_bytes is not a bool.";

inline constexpr const char* kSetField =
    "set_field($self, selector, key, value)\n--\n\n"
    "Insert or replace one additional field, preserving the primary value and other fields.\n"
    "\n"
    "The secret must exist; it is read and written in one turn, so no other\n"
    "thread's write on this Vault comes between.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "  key: the field's name, a str.\n"
    VORNEX_DOC_VALUE
    "\n"
    "Returns None.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector.\n"
    "  PermissionDenied: this identity may not read or write the secret.\n"
    "  ConflictError: the secret or the vault has unresolved conflicts.\n"
    "  ValidationError: the vault with the new value would not validate.\n"
    "  VornexError: the selector is not one, the value is neither text nor\n"
    "    bytes, or the write failed (it changed nothing unless its message says\n"
    "    that it committed).\n"
    "  TypeError: key is not a str.";

inline constexpr const char* kDeleteField =
    "delete_field($self, selector, key)\n--\n\n"
    "Remove one additional field, preserving the primary value and other fields.\n"
    "\n"
    "Arguments:\n" VORNEX_DOC_SELECTOR
    "  key: the field's name, a str.\n"
    "\n"
    "Returns None.\n"
    "\n"
    "Raises:\n"
    "  NotFound: no live secret has this selector, or it has no such field\n"
    "    (then nothing is written).\n"
    "  PermissionDenied: this identity may not read or write the secret.\n"
    "  ConflictError: the secret or the vault has unresolved conflicts.\n"
    "  ValidationError: the vault with the new value would not validate.\n"
    "  VornexError: the selector is not one, or the write failed (it changed\n"
    "    nothing unless its message says that it committed).\n"
    "  TypeError: key is not a str.";

inline constexpr const char* kList =
    "list($self, selector=None)\n--\n\n"
    "The live secrets, whether or not this identity can read them.\n"
    "\n"
    "Arguments:\n"
    "  selector: keeps only the secrets whose path begins with its segments and\n"
    "    whose labels include its labels; None keeps every secret.\n"
    "\n"
    "Returns a new list of Selector, ordered by canonical text.\n"
    "Raises VornexError when the selector is neither None, text nor a Selector,\n"
    "or does not parse.";

inline constexpr const char* kEnter =
    "__enter__($self)\n--\n\n"
    "Returns the vault itself.\n"
    "\n"
    "Raises RuntimeError \"Already borrowed\" while another thread is inside a\n"
    "method of this Vault.";

inline constexpr const char* kExit =
    "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
    "Does nothing and returns False: the vault stays open, and an exception\n"
    "raised in the with block goes on.";

#undef VORNEX_DOC_SELECTOR
#undef VORNEX_DOC_VALUE

}  // namespace vornex::py::docs
