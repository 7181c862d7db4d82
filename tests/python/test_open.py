"""Opening a vault: the keychain, invitation and environment roads, user
references, the conflict gate and the refusal of a vault with issues."""

import io
import os
import pathlib
import subprocess
import sys

import pytest

import vornex
from conftest import PASSPHRASE, with_records

HANDLE_RULE = "handle must be 1\u201364 chars of a\u2013z, 0\u20139, '-', '_', starting and ending with a letter or digit"


def acts_as(vault, name):
    """Tells the users of the standard vault apart by what they may do:
    alice writes below app, bob and dave read there, carol reads nothing."""
    if name == "alice":
        vault.set("app/probe", "1")
        return
    with pytest.raises(vornex.PermissionDenied):
        vault.set("app/probe", "1")
    if name == "bob":
        assert vault.get("app/db") == "hunter2"


# --- keychain road -----------------------------------------------------------

ALICE_REFERENCES = {
    "handle": lambda ws: "alice",
    "at handle": lambda ws: "@alice",
    "double at": lambda ws: "@@alice",
    "upper case": lambda ws: "Alice",
    "blanks": lambda ws: " alice ",
    "full id": lambda ws: ws.user_id("alice"),
    "full id upper 0x": lambda ws: "0x" + ws.user_id("alice").upper(),
    "id prefix": lambda ws: ws.user_id("alice")[:8],
    "0x upper prefix": lambda ws: "0x" + ws.user_id("alice")[:8].upper(),
    "long prefix": lambda ws: ws.user_id("alice")[:40],
}


@pytest.mark.parametrize("reference", ALICE_REFERENCES.values(), ids=ALICE_REFERENCES.keys())
def test_keychain_user_references(workspace, reference):
    acts_as(workspace.open_keychain(reference(workspace)), "alice")


@pytest.mark.parametrize(
    "reference, cls, message",
    [
        ("deadbeef", vornex.VornexError, 'no user matches "deadbeef"'),
        # A capital X is no hex prefix: the text is a handle, lower-cased.
        ("0XDEADBEEF", vornex.VornexError, "user handle @0xdeadbeef does not exist"),
        ("abc", vornex.VornexError, "user handle @abc does not exist"),
        ("@", vornex.VornexError, 'invalid user handle "": ' + HANDLE_RULE),
        # An empty reference is a reference, not the default user.
        ("", vornex.VornexError, 'invalid user handle "": ' + HANDLE_RULE),
        ("@Bad!", vornex.VornexError, 'invalid user handle "Bad!": ' + HANDLE_RULE),
        ("a" * 66, vornex.VornexError, 'invalid user handle "' + "a" * 66 + '": ' + HANDLE_RULE),
    ],
)
def test_keychain_user_reference_failures(workspace, reference, cls, message):
    with pytest.raises(cls) as info:
        workspace.open_keychain(reference)
    assert type(info.value) is cls
    assert str(info.value) == message


def test_keychain_member_without_identity_file(workspace):
    with pytest.raises(vornex.IdentityError, match="^no safe identity keychain is available for UserId"):
        workspace.open_keychain("dave")


def test_keychain_wrong_passphrase(workspace):
    with pytest.raises(vornex.IdentityError) as info:
        workspace.open_keychain("alice", passphrase="wrong")
    assert str(info.value) == "identity keychain unlock failed"


def test_keychain_without_default_user(workspace):
    with pytest.raises(vornex.IdentityError) as info:
        workspace.open_keychain()
    assert str(info.value) == "no default Vornex identity is configured; pass --user once"


def test_keychain_default_is_the_current_user(make_workspace):
    ws = make_workspace(current_user={"user": "bob", "display": "@alice"})
    acts_as(ws.open_keychain(), "bob")


def test_keychain_default_from_environment_invitation(workspace, monkeypatch):
    monkeypatch.setenv("VORNEX_UNSAFE_INVITE", workspace.invite_text("bob"))
    acts_as(workspace.open_keychain(), "bob")


def test_keychain_refused_while_a_transaction_is_pending(make_workspace, tmp_path_factory):
    # The class follows the words of the message, and so of the paths in it:
    # the other workspace lies where no path says "keychain".
    other = tmp_path_factory.mktemp("other")
    ws = make_workspace(pending_transaction={"workspace": str(other)})
    with pytest.raises(vornex.VornexError) as info:
        ws.open_keychain("alice")
    assert type(info.value) is vornex.VornexError
    assert str(info.value) == f"a pending transaction {'ab' * 32} from {other}/.vornex/vault.cord blocks writes for this vault"


@pytest.mark.parametrize(
    "code",
    ["vornex.Vault(path)", "vornex.Vault(path, auth=vornex.Auth.from_keychain('alice'))"],
    ids=["default auth", "no passphrase"],
)
def test_keychain_prompt_without_terminal(make_workspace, code):
    # A new session has no controlling terminal, so the prompt cannot open it.
    ws = make_workspace(current_user="alice")
    script = (
        "import sys, vornex\n"
        f"path = {ws.path!r}\n"
        f"try:\n    {code}\n"
        "except vornex.VornexError as e:\n    print(type(e).__name__, e)\n    sys.exit(3)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, start_new_session=True, timeout=60, env=os.environ)
    assert done.returncode == 3, done.stderr
    assert done.stdout.startswith("VornexError passphrase provider failed: ")


# --- invitation road ---------------------------------------------------------


class Nested:
    """A file-like object whose read() gives another file-like object."""

    def __init__(self, inner):
        self.inner = inner

    def read(self):
        return self.inner


MATERIALS = {
    "text": lambda ws: ws.invite_text("bob"),
    "text with blanks": lambda ws: " \n\t" + ws.invite_text("bob") + "\r\n ",
    "bech32 checksum": lambda ws: ws.summary["invites"]["bob"]["text_bech32"],
    "bytes": lambda ws: ws.invite_bytes("bob"),
    "list of ints": lambda ws: list(ws.invite_bytes("bob")),
    "StringIO": lambda ws: io.StringIO(ws.invite_text("bob")),
    "BytesIO": lambda ws: io.BytesIO(ws.invite_bytes("bob")),
    "nested read": lambda ws: Nested(io.StringIO(ws.invite_text("bob"))),
}


@pytest.mark.parametrize("material", MATERIALS.values(), ids=MATERIALS.keys())
def test_invitation_forms(workspace, material):
    acts_as(vornex.Vault(workspace.path, auth=vornex.Auth.from_invite(material(workspace))), "bob")


def test_invitation_file_is_read_once_at_from_invite(workspace, tmp_path):
    path = tmp_path / "invite.bin"
    path.write_bytes(workspace.invite_bytes("bob"))
    with open(path, "rb") as f:
        auth = vornex.Auth.from_invite(f)
    path.write_bytes(b"spoiled")
    acts_as(vornex.Vault(workspace.path, auth=auth), "bob")
    acts_as(vornex.Vault(workspace.path, auth=auth), "bob")


class ReadsItself:
    def read(self):
        return self


class ReadFails:
    def read(self):
        raise OSError("gone")


@pytest.mark.parametrize("material",
                         [42, None, 3.5, ReadsItself(), ReadFails(), [1, 256], "vrnx1\ud800",
                          io.StringIO("vrnx1q\udfff")],
                         ids=["int", "None", "float", "read returns itself", "read raises", "int above 255",
                              "lone surrogate", "read gives a lone surrogate"])
def test_invitation_material_refused(material):
    with pytest.raises(vornex.VornexError) as info:
        vornex.Auth.from_invite(material)
    assert type(info.value) is vornex.VornexError
    assert str(info.value) == "expected a string or file-like object"


MALFORMED = "invitation string is malformed or has a bad checksum"


def flip_last(text):
    return text[:-1] + ("p" if text.endswith("q") else "q")


BAD_INVITES = {
    "empty text": (lambda ws: "", vornex.VornexError, MALFORMED),
    "text as bytes": (lambda ws: ws.invite_text("bob").encode(), vornex.VornexError, MALFORMED),
    "upper case": (lambda ws: ws.invite_text("bob").upper(), vornex.VornexError,
                   'not the expected Vornex invitation (prefix "VRNX"; invitations are vrnx1\u2026)'),
    "checksum": (lambda ws: flip_last(ws.invite_text("bob")), vornex.VornexError, MALFORMED),
    "checksum and prefix": (lambda ws: "abc" + flip_last(ws.invite_text("bob"))[4:], vornex.VornexError, MALFORMED),
    "13 bytes": (lambda ws: b"vornex-invite", vornex.VornexError, MALFORMED),
    "trailing byte": (lambda ws: ws.invite_bytes("bob") + b"\0", vornex.VornexError,
                      "Cord error: Trailing bytes after deserialization"),
    "not a member": (lambda ws: ws.invite_text("stranger"), vornex.IdentityError, None),
}


@pytest.mark.parametrize("material, cls, message", BAD_INVITES.values(), ids=BAD_INVITES.keys())
def test_invitation_failures(workspace, material, cls, message):
    auth = vornex.Auth.from_invite(material(workspace))
    with pytest.raises(cls) as info:
        vornex.Vault(workspace.path, auth=auth)
    assert type(info.value) is cls
    if message is None:
        assert str(info.value).endswith("is not an effective member of this vault")
    else:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "baseline, failure",
    [
        ("self", None),
        ("full", None),
        ("empty", None),
        ("none", "a rollback-protected invitation is required to establish trust non-interactively"),
    ],
)
def test_invitation_seeds_the_trust_file(make_workspace, baseline, failure):
    ws = make_workspace(ratchet=False, invites=[{"user": "alice", "baseline": baseline}])
    ratchet = pathlib.Path(ws.summary["root_state_lock"]).with_name("ratchet.cord")
    auth = vornex.Auth.from_invite(ws.invite_bytes("alice"))
    if failure:
        with pytest.raises(vornex.VornexError) as info:
            vornex.Vault(ws.path, auth=auth)
        assert str(info.value) == failure
        assert not ratchet.exists()
    else:
        acts_as(vornex.Vault(ws.path, auth=auth), "alice")
        assert ratchet.exists()


def test_invitation_of_a_stranger_without_trust_file(make_workspace):
    ws = make_workspace(ratchet=False, invites=[{"user": "stranger", "baseline": "empty"}])
    with pytest.raises(vornex.IdentityError, match=r"^claimed identity UserId\(.*\) is not a current member"):
        ws.open("stranger")


# The user's verification cache lets an opening skip the signatures it
# vouches for. Every road finds it (the invitation road by its invited
# user, the keychain road by its current user or else by the user it
# names), and an opening rewrites it only when what it vouches for changes.
CACHE_ROADS = {
    "invitation": (lambda ws: ws.open("bob"), "bob"),
    "keychain": (lambda ws: ws.open_keychain(), "bob"),
    "keychain naming its user, none current": (lambda ws: ws.open_keychain("bob"), None),
    "keychain naming its user by id, none current": (lambda ws: ws.open_keychain(ws.user_id("bob")), None),
}


@pytest.mark.parametrize("road, current", CACHE_ROADS.values(), ids=CACHE_ROADS.keys())
def test_verification_cache_rewritten_only_when_it_changes(make_workspace, road, current):
    ws = make_workspace(current_user=current) if current else make_workspace()
    cache = pathlib.Path(ws.summary["root_state_lock"]).parent / ws.user_id("bob") / "cache.cord"
    road(ws)
    first = cache.stat()
    for _ in range(2):
        assert road(ws).get("app/db") == "hunter2"
        now = cache.stat()
        assert (now.st_ino, now.st_mtime_ns, now.st_size) == (first.st_ino, first.st_mtime_ns, first.st_size)
    ws.open("alice").set("app/new", "v")
    assert road(ws).get("app/new") == "v"
    assert cache.stat().st_ino != first.st_ino
    assert cache.stat().st_size > first.st_size


# --- environment road --------------------------------------------------------


DEFAULT_NAMES = ("VORNEX_UNSAFE_INVITE", "VORNEX_UNSAFE_INVITE_FILE")


def set_env(monkeypatch, tmp_path, ws, text=None, file=None, names=DEFAULT_NAMES):
    """Sets the two variables. Text "bob" is bob's invitation text; file
    "bob" names a file with bob's binary invitation, file "text" one with his
    invitation text; other values go in as given."""
    if isinstance(text, bytes):
        # os.environ holds only text; a raw value goes in by bytes.
        monkeypatch.setitem(os.environb, names[0].encode(), text)
    elif text is not None:
        monkeypatch.setenv(names[0], ws.invite_text("bob") if text == "bob" else text)
    if file in ("bob", "text"):
        path = tmp_path / f"{file}.invite"
        if file == "bob":
            path.write_bytes(ws.invite_bytes("bob"))
        else:
            path.write_text(ws.invite_text("bob"))
        file = str(path)
    if file is not None:
        monkeypatch.setenv(names[1], file)


ENV_CASES = {
    "text only": (dict(text="bob"), None, None),
    "file only": (dict(file="bob"), None, None),
    "text not UTF-8, file set": (dict(text=b"\xff\xfe", file="bob"), None, None),
    "both": (dict(text="bob", file="bob"), vornex.IdentityError,
             "set only one of VORNEX_UNSAFE_INVITE or VORNEX_UNSAFE_INVITE_FILE"),
    "both, file empty": (dict(text="bob", file=""), vornex.IdentityError,
                         "set only one of VORNEX_UNSAFE_INVITE or VORNEX_UNSAFE_INVITE_FILE"),
    "both, text empty": (dict(text="", file="bob"), vornex.IdentityError,
                         "set only one of VORNEX_UNSAFE_INVITE or VORNEX_UNSAFE_INVITE_FILE"),
    "neither": (dict(), vornex.IdentityError, "neither VORNEX_UNSAFE_INVITE nor VORNEX_UNSAFE_INVITE_FILE is set"),
    "text empty": (dict(text=""), vornex.VornexError, MALFORMED),
    "file holds text": (dict(file="text"), vornex.VornexError, MALFORMED),
    "file missing": (dict(file="missing.invite"), vornex.IdentityError,
                     "failed to read missing.invite: No such file or directory (os error 2)"),
}


@pytest.mark.parametrize("given, cls, message", ENV_CASES.values(), ids=ENV_CASES.keys())
def test_environment_road(workspace, monkeypatch, tmp_path, given, cls, message):
    set_env(monkeypatch, tmp_path, workspace, **given)
    auth = vornex.Auth.from_env()
    if cls is None:
        acts_as(vornex.Vault(workspace.path, auth=auth), "bob")
        return
    with pytest.raises(cls) as info:
        vornex.Vault(workspace.path, auth=auth)
    assert type(info.value) is cls
    assert str(info.value) == message


MISPLACED_FILE = "VORNEX_UNSAFE_INVITE_FILE, which holds an invitation text rather than a path"
# An invitation's text given where a path or a user belongs: the message
# says what it holds instead of showing the seed it carries.
MISPLACED = {
    "file variable, from_env": (
        lambda ws, text: vornex.Vault(ws.path, auth=vornex.Auth.from_env()),
        vornex.IdentityError, "failed to read the path in " + MISPLACED_FILE + ": "),
    "file variable, keychain default user": (
        lambda ws, text: ws.open_keychain(), vornex.VornexError, "I/O error at the path in " + MISPLACED_FILE + ": "),
    "keychain user": (
        lambda ws, text: ws.open_keychain(text.upper()), vornex.VornexError,
        'invalid user handle "vrnx1\u2026": ' + HANDLE_RULE),
}


@pytest.mark.parametrize("call, cls, start", MISPLACED.values(), ids=MISPLACED.keys())
def test_misplaced_invitation_text_is_not_shown(workspace, monkeypatch, call, cls, start):
    text = workspace.invite_text("bob")
    monkeypatch.setenv("VORNEX_UNSAFE_INVITE_FILE", " " + text.upper())
    with pytest.raises(vornex.VornexError) as info:
        call(workspace, text)
    message = str(info.value)
    assert type(info.value) is cls
    assert message.startswith(start), message
    assert text[5:25] not in message.lower() and text[-20:] not in message.lower(), message


def test_environment_file_over_the_limit(workspace, monkeypatch, tmp_path):
    path = tmp_path / "big.invite"
    with open(path, "wb") as f:
        f.truncate(0x10100000 + 1)  # sparse: costs no disk
    monkeypatch.setenv("VORNEX_UNSAFE_INVITE_FILE", str(path))
    with pytest.raises(vornex.IdentityError) as info:
        vornex.Vault(workspace.path, auth=vornex.Auth.from_env())
    assert str(info.value).startswith(f"failed to read {path}: ")


def test_environment_names_are_read_at_each_opening(workspace, monkeypatch, tmp_path):
    auth = vornex.Auth.from_env(invite="MY_INVITE", invite_file="MY_INVITE_FILE")
    with pytest.raises(vornex.IdentityError) as info:
        vornex.Vault(workspace.path, auth=auth)
    assert str(info.value) == "neither MY_INVITE nor MY_INVITE_FILE is set"
    # The default names mean nothing to this Auth.
    set_env(monkeypatch, tmp_path, workspace, text="bob")
    with pytest.raises(vornex.IdentityError):
        vornex.Vault(workspace.path, auth=auth)
    set_env(monkeypatch, tmp_path, workspace, file="bob", names=("MY_INVITE", "MY_INVITE_FILE"))
    acts_as(vornex.Vault(workspace.path, auth=auth), "bob")


# --- what every road refuses -------------------------------------------------

CONFLICTS = {
    "one secret": ([{"secret": "app/c", "value": "a", "conflict": "b"}], "1 unresolved conflict"),
    "secret and handle": (
        [{"secret": "app/c", "value": "a", "conflict": "b"}, {"handle": "shared", "to": "alice", "conflict": "bob"}],
        "2 unresolved conflicts",
    ),
}

ROADS = {
    "keychain": lambda ws: ws.open_keychain("alice"),
    "invitation": lambda ws: ws.open("alice"),
}


@pytest.mark.parametrize("road", ROADS.values(), ids=ROADS.keys())
@pytest.mark.parametrize("extra, count", CONFLICTS.values(), ids=CONFLICTS.keys())
def test_conflict_gate(make_workspace, road, extra, count):
    ws = make_workspace(with_records(*extra))
    with pytest.raises(vornex.ConflictError) as info:
        road(ws)
    assert str(info.value) == f"vault has {count}; resolve them before using the Vornex Python SDK"


@pytest.mark.parametrize(
    "road, ratchet",
    [("keychain", True), ("invitation", True), ("invitation", False)],
    ids=["keychain", "invitation", "invitation seeding trust"],
)
def test_validation_issue_refuses(make_workspace, road, ratchet):
    ws = make_workspace(with_records({"secret": "app/bad", "value": "x", "damage": "bad_signature"}, ratchet=ratchet))
    with pytest.raises(vornex.ValidationError) as info:
        ROADS[road](ws)
    assert str(info.value).startswith("validation failed: [InvalidSignature(Secret {")


def test_missing_vault(tmp_path):
    with pytest.raises(vornex.VornexError) as info:
        vornex.Vault(auth=vornex.Auth.from_keychain("alice", passphrase="x"))
    assert str(info.value) == f"store error: vault file is missing at {tmp_path}/.vornex/vault.cord"


def test_default_path_is_dot_vornex_of_the_current_directory(workspace, monkeypatch):
    monkeypatch.chdir(workspace.summary["workspace"])
    acts_as(vornex.Vault(auth=vornex.Auth.from_invite(workspace.invite_text("alice"))), "alice")
