"""The data methods of an open vault: values and fields, listing, the
selector text in messages, permissions, and what a failed call leaves."""

import shutil

import pytest

import vornex
from conftest import STANDARD, with_records


@pytest.fixture
def vault(workspace):
    return workspace.open("alice")


# --- values ------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, as_text, as_bytes",
    [
        ("plain", "plain", b"plain"),
        ("", "", b""),
        ("\u00fcn\u00efc\u00f8d\u00e9 \u2713 \U0001f512", "\u00fcn\u00efc\u00f8d\u00e9 \u2713 \U0001f512",
         "\u00fcn\u00efc\u00f8d\u00e9 \u2713 \U0001f512".encode()),
        # Values are bytes, stored unchanged: no NFC here.
        ("e\u0301", "e\u0301", b"e\xcc\x81"),
        (b"\x00line\nbreak", "\x00line\nbreak", b"\x00line\nbreak"),
        (bytearray(b"hi"), "hi", b"hi"),
        ([104, 105], "hi", b"hi"),
    ],
    ids=["ascii", "empty", "unicode", "not NFC", "bytes", "bytearray", "list of ints"],
)
def test_value_round_trips(vault, value, as_text, as_bytes):
    vault.set("app/value", value)
    assert vault.get("app/value") == as_text
    got = vault.get("app/value", as_bytes=True)
    assert type(got) is bytes and got == as_bytes


def test_invalid_utf8(vault):
    with pytest.raises(vornex.VornexError) as info:
        vault.get("app/raw")
    assert type(info.value) is vornex.VornexError and str(info.value) == "secret is not valid UTF-8"
    assert vault.get("app/raw", as_bytes=True) == b"\xff\xfe"

    for read in (lambda: vault.fields("app/raw"), lambda: vault.get_field("app/raw", "blob")):
        with pytest.raises(vornex.VornexError) as info:
            read()
        assert str(info.value) == "field value is not valid UTF-8"
    assert vault.fields("app/raw", as_bytes=True) == {"blob": b"\xc3(", "ok": b"ok"}
    assert vault.get_field("app/raw", "blob", as_bytes=True) == b"\xc3("
    assert vault.get_field("app/raw", "ok") == "ok"


def test_fields(vault):
    assert vault.fields("app/db") == {"host": "db.internal", "user": "admin"}
    assert vault.get_field("app/db", "user") == "admin"

    vault.set_field("app/db", "user", "root")  # replaces
    vault.set_field("app/db", "port", b"5432")  # adds
    assert vault.get("app/db") == "hunter2"
    assert vault.fields("app/db") == {"host": "db.internal", "port": "5432", "user": "root"}
    assert list(vault.fields("app/db")) == ["host", "port", "user"]

    vault.delete_field("app/db", "host")
    assert vault.fields("app/db", as_bytes=True) == {"port": b"5432", "user": b"root"}
    assert vault.get("app/db") == "hunter2"

    vault.set("app/db", "new")  # a new value keeps no fields
    assert vault.fields("app/db") == {}
    assert vault.get("app/db") == "new"


def test_field_names_and_values_as_given(vault):
    # A name in another normal form is the same name; values stay bytes.
    vault.set("app/f", "x")
    vault.set_field("app/f", "caf\u00e9", "e\u0301")
    vault.set_field("app/f", "cafe\u0301", "second")
    assert vault.fields("app/f") == {"caf\u00e9": "second"}
    vault.delete_field("app/f", "cafe\u0301")
    assert vault.fields("app/f") == {}


def test_spellings_of_one_name_are_one_secret(vault):
    # Names are text, compared in one normal form; values are not.
    vault.set(vornex.Selector(["app", "cafe\u0301"], {"k\u0301": "v"}), "x")
    assert vault.get("app/caf\u00e9@\u1e31=v") == "x"
    vault.set("app/caf\u00e9@\u1e31=v", "y")
    assert [str(s) for s in vault.list("app/cafe\u0301")] == ["app/caf\u00e9@\u1e31=v"]
    assert vault.get(vornex.Selector(["app", "cafe\u0301"], {"k\u0301": "v"})) == "y"
    # Messages show the selector as it was given.
    with pytest.raises(vornex.NotFound) as info:
        vault.get(vornex.Selector(["app", "ne\u0301"]))
    assert str(info.value) == "secret app/ne\u0301 not found"


def test_label_names_that_meet_once_normalised(vault):
    # Kept apart by the Selector, one name to the operations: refused as
    # selector text naming a key twice is, before anything is written.
    both = vornex.Selector(["app", "db"], {"caf\u00e9": "1", "cafe\u0301": "2"})
    for call in (lambda: vault.get(both), lambda: vault.set(both, "x"), lambda: vault.list(both)):
        with pytest.raises(vornex.VornexError) as info:
            call()
        assert type(info.value) is vornex.VornexError
        assert str(info.value).startswith('invalid selector "app/db@')
        assert str(info.value).endswith('": a label key may appear only once')
    assert vault.list("app@caf\u00e9=1") == []


def test_delete(vault):
    vault.delete("app/db")
    with pytest.raises(vornex.NotFound) as info:
        vault.get("app/db")
    assert str(info.value) == "secret app/db not found"
    assert [str(s) for s in vault.list("app")] == ["app/raw"]
    vault.set("app/db", "back")
    assert vault.get("app/db") == "back"


MISSING = {
    "get": (lambda v: v.get("app/nope"), "secret app/nope not found"),
    "fields": (lambda v: v.fields("app/nope"), "secret app/nope not found"),
    "get_field of missing secret": (lambda v: v.get_field("app/nope", "k"), "secret app/nope not found"),
    "get_field": (lambda v: v.get_field("app/db", "nope\n\t\"\\"), 'secret app/db has no field "nope\\n\\t\\"\\\\"'),
    "set_field": (lambda v: v.set_field("app/nope", "k", "v"), "secret app/nope not found"),
    "delete_field of missing secret": (lambda v: v.delete_field("app/nope", "k"), "secret app/nope not found"),
    "delete_field": (lambda v: v.delete_field("app/db", "nope"), 'secret app/db has no field "nope"'),
}


# A field edit reads before it writes: users who may not write learn that a
# secret or field is missing, as a writer does.
# (carol may read nothing, so only missing secrets are missing for her.)
@pytest.mark.parametrize(
    "user, call, message",
    [pytest.param(user, call, message, id=f"{user} {name}")
     for user in ("alice", "bob", "carol") for name, (call, message) in MISSING.items()
     if user != "carol" or "app/nope" in message])
def test_missing_leaves_the_vault_unchanged(workspace, user, call, message):
    vault = workspace.open(user)
    before = workspace.vault_bytes()
    with pytest.raises(vornex.NotFound) as info:
        call(vault)
    assert type(info.value) is vornex.NotFound
    assert str(info.value) == message
    assert workspace.vault_bytes() == before
    assert vault.list() and (user == "carol" or vault.get("app/db") == "hunter2")


# --- listing -----------------------------------------------------------------

LISTED = [
    {"secret": text, "value": text}
    for text in ["application", "a@x=1", "app/x@env=prod", "a/b", "A", "a", "app/y@env=dev", 'x/"a/b"', "app/gone",
                 "\u00e9t\u00e9", "zz"]
] + [{"delete": "app/gone"}]

# Bytewise: "/" before "@", a prefix first, upper before lower case, and
# ASCII before the bytes of other characters.
ALL = ["A", "a", "a/b", "a@x=1", "app/db", "app/raw", "app/x@env=prod", "app/y@env=dev", "application", 'x/"a/b"',
       "zz", "\u00e9t\u00e9"]


@pytest.mark.parametrize(
    "selector, expected",
    [
        (None, ALL),
        ("app", ["app/db", "app/raw", "app/x@env=prod", "app/y@env=dev"]),
        ("a", ["a", "a/b", "a@x=1"]),
        ("A", ["A"]),
        ("app@env=prod", ["app/x@env=prod"]),
        (vornex.Selector(["app"], {"env": "dev"}), ["app/y@env=dev"]),
        ("app/db", ["app/db"]),
        ('"x"/"a/b"', ['x/"a/b"']),
        ("app/gone", []),
        ("nothing", []),
    ],
    ids=lambda p: repr(p) if not isinstance(p, list) else None,
)
def test_list_filters_and_orders_by_canonical_text(make_workspace, selector, expected):
    # carol can read none of them: a list shows every live secret.
    vault = make_workspace(with_records(*LISTED)).open("carol")
    found = vault.list() if selector is None else vault.list(selector)
    assert [str(s) for s in found] == expected
    assert all(type(s) is vornex.Selector for s in found)


def test_list_gives_selectors(make_workspace):
    vault = make_workspace(with_records(*LISTED)).open("bob")
    found = vault.list("app@env=prod")
    assert found[0].path == ("app", "x") and found[0].labels == {"env": "prod"}
    assert vault.list("x")[0].path == ("x", "a/b")


def test_list_of_a_vault_without_secrets(make_workspace):
    description = dict(STANDARD, records=[r for r in STANDARD["records"] if "secret" not in r])
    vault = make_workspace(description).open("alice")
    assert vault.list() == []
    assert vault.list(None) == []


# --- selector text in messages -----------------------------------------------


@pytest.mark.parametrize(
    "selector, text",
    [
        ('"app"/nope', "app/nope"),
        ("a\\pp/no\"pe\"", "app/nope"),
        ("app/nope@b=2&a=1", "app/nope@a=1&b=2"),
        ("app/nope@k=v=w", "app/nope@k=\"v=w\""),
        ("app/\"a/b\"", "app/\"a/b\""),
        ("app/a\\/b", "app/\"a/b\""),
        ("app/a\\@k=v", "app/\"a@k=v\""),
        ("app/a\"\"b", "app/ab"),
        (vornex.Selector(["app", 'q"x']), 'app/"q\\"x"'),
        (vornex.Selector(["app", "n o"], {"z": "1", "a": "!"}), 'app/n o@a="!"&z=1'),
    ],
)
def test_messages_show_canonical_text(vault, selector, text):
    with pytest.raises(vornex.NotFound) as info:
        vault.get(selector)
    assert str(info.value) == f"secret {text} not found"


@pytest.mark.parametrize(
    "text, reason",
    [
        ("", "selector must not be empty"),
        ("@k=v", "selector must not be empty"),
        ("a//b", "selector path must not contain empty segments"),
        ("/a", "selector path must not contain empty segments"),
        ('a/""', "selector path must not contain empty segments"),
        ("a@", "secret labels are @key=value pairs separated by &"),
        ("a@k", "secret labels are @key=value pairs separated by &"),
        ("a@k=v&", "secret labels are @key=value pairs separated by &"),
        ("a@=v", "label keys and values must not be empty"),
        ("a@k=1&k=2", "a label key may appear only once"),
        ('a/"b', "selector has an unterminated quote"),
        ("a\\", "selector ends with a dangling backslash escape"),
        ("a//b@", "selector path must not contain empty segments"),
    ],
)
def test_selector_parse_errors(vault, text, reason):
    for call in (vault.get, vault.list, lambda s: vault.set(s, "x")):
        with pytest.raises(vornex.VornexError) as info:
            call(text)
        assert type(info.value) is vornex.VornexError
        quoted = text.replace("\\", "\\\\").replace('"', '\\"')
        assert str(info.value) == f'invalid selector "{quoted}": {reason}'


def test_message_words_decide_the_class(vault):
    # The text the caller gave is part of the message that is classified.
    with pytest.raises(vornex.IdentityError):
        vault.get("identity//x")
    with pytest.raises(vornex.ValidationError):
        vault.get("validation failed//x")


# --- permissions -------------------------------------------------------------

DENIED = {
    "carol reads": ("carol", lambda v: v.get("app/db"), "app/db"),
    "carol reads fields": ("carol", lambda v: v.fields("app/db"), "app/db"),
    "dave reads what is not sealed to him": ("dave", lambda v: v.get("app/db"), "app/db"),
    "dave reads a field": ("dave", lambda v: v.get_field("app/db", "user"), "app/db"),
    "bob writes": ("bob", lambda v: v.set("app/new", "x"), "app/new"),
    "bob deletes": ("bob", lambda v: v.delete("app/db"), "app/db"),
    "bob sets a field": ("bob", lambda v: v.set_field("app/db", "k", "v"), "app/db"),
    "alice writes outside app": ("alice", lambda v: v.set("other@env=x", "x"), "other@env=x"),
    "alice writes the bare prefix's neighbour": ("alice", lambda v: v.set("application", "x"), "application"),
}


@pytest.mark.parametrize("user, call, selector", DENIED.values(), ids=DENIED.keys())
def test_permission_denied(workspace, user, call, selector):
    vault = workspace.open(user)
    before = workspace.vault_bytes()
    with pytest.raises(vornex.PermissionDenied) as info:
        call(vault)
    assert str(info.value) == f"not authorized for secret {selector}"
    assert workspace.vault_bytes() == before


def test_readers_see_what_is_sealed_to_them(workspace):
    assert workspace.open("bob").get("app/db") == "hunter2"
    assert workspace.open("dave").get("app/raw", as_bytes=True) == b"\xff\xfe"
    # A new write seals to every current reader, dave included.
    workspace.open("alice").set("app/db", "rotated")
    assert workspace.open("dave").get("app/db") == "rotated"


# --- sessions and files ------------------------------------------------------


def test_pending_transaction_blocks_writes(make_workspace, tmp_path_factory):
    other = tmp_path_factory.mktemp("other")
    ws = make_workspace(pending_transaction={"workspace": str(other)})
    pending = ws.summary["transaction"]
    aside = pending + ".aside"
    # Opening refuses while it is there; it comes back once the vault is open.
    shutil.move(pending, aside)
    vault = ws.open("alice")
    shutil.move(aside, pending)
    before = ws.vault_bytes()
    message = f"a pending transaction {'ab' * 32} from {other}/.vornex/vault.cord blocks writes for this vault"
    for write in (lambda: vault.set("app/x", "1"), lambda: vault.delete("app/db"),
                  lambda: vault.set_field("app/db", "k", "v"), lambda: vault.delete_field("app/db", "user")):
        with pytest.raises(vornex.VornexError) as info:
            write()
        assert type(info.value) is vornex.VornexError
        assert str(info.value) == message
    assert ws.vault_bytes() == before
    assert vault.get("app/db") == "hunter2"


def test_reads_come_from_memory_and_writes_reload(workspace):
    first, second = workspace.open("alice"), workspace.open("alice")
    first.set_field("app/db", "one", "1")
    # No file is read on the read path ...
    assert "one" not in second.fields("app/db")
    # ... but a write builds on what is on disk now.
    second.set_field("app/db", "two", "2")
    assert second.fields("app/db") == {"host": "db.internal", "one": "1", "two": "2", "user": "admin"}
    assert workspace.open("bob").fields("app/db") == second.fields("app/db")


def test_path_is_fixed_when_opened(workspace, monkeypatch, tmp_path):
    monkeypatch.chdir(workspace.summary["workspace"])
    vault = vornex.Vault(".vornex", auth=vornex.Auth.from_invite(workspace.invite_text("alice")))
    copy = tmp_path / "copy"
    shutil.copytree(workspace.path, copy / ".vornex")
    copied = (copy / ".vornex" / "vault.cord").read_bytes()
    monkeypatch.chdir(copy)
    vault.set("app/where", "original")
    assert (copy / ".vornex" / "vault.cord").read_bytes() == copied
    assert workspace.open("bob").get("app/where") == "original"


def test_with_statement(vault):
    with vault as bound:
        assert bound is vault
    with pytest.raises(KeyError):
        with vault:
            raise KeyError("propagates")
    with pytest.raises(vornex.NotFound):
        with vault:
            vault.get("app/nope")
    assert vault.__exit__(None, None, None) is False
    assert vault.__exit__(KeyError, KeyError("x"), None) is False
    vault.set("app/after", "still open")
    assert vault.get("app/after") == "still open"


AUTHORITY = {
    "group": ([{"group": "devs"}, {"member": "carol", "of": "devs"},
               {"grant": "write", "to": "group:devs", "path": ["team"]}], ["team/x", "team/a/b@k=v"], ["teams/x"]),
    "nested group": ([{"group": "devs"}, {"group": "staff"}, {"member": "carol", "of": "devs"},
                      {"member": "group:devs", "of": "staff"},
                      {"grant": "write", "to": "group:staff", "path": ["team"]}], ["team/x"], ["other"]),
    "manage": ([{"grant": "manage", "to": "carol", "path": ["team"]}], ["team/x"], ["app/db"]),
    "root": ([{"grant": "root", "to": "carol"}], ["team/x", "anything"], []),
    "exact": ([{"grant": "write", "to": "carol", "match": "exact", "path": ["team"]}], ["team", "team@k=v"],
              ["team/x"]),
    "label": ([{"grant": "write", "to": "carol", "path": ["team"], "labels": {"env": "dev"}}],
              ["team/x@env=dev", "team@env=dev&z=1"], ["team/x", "team/x@env=prod"]),
    "read only": ([{"grant": "read", "to": "carol", "path": ["team"]}], [], ["team/x"]),
}


@pytest.mark.parametrize("records, allowed, denied", AUTHORITY.values(), ids=AUTHORITY.keys())
def test_write_authority(make_workspace, records, allowed, denied):
    ws = make_workspace(with_records(*records))
    carol = ws.open("carol")
    for selector in allowed:
        carol.set(selector, "by carol")
        # Sealed to the writer, who reads by the same authority.
        assert carol.get(selector) == "by carol"
    bob = ws.open("bob")
    for selector in allowed:
        with pytest.raises(vornex.PermissionDenied):
            bob.get(selector)
    for selector in denied:
        with pytest.raises(vornex.PermissionDenied):
            carol.set(selector, "x")
    assert sorted(str(s) for s in ws.open("alice").list()) == sorted(set(allowed) | {"app/db", "app/raw"})
