"""The shape of the API: signatures and doc texts, reprs, argument binding
and the order in which a data method converts its arguments."""

import inspect
import pathlib
import pydoc

import pytest

import vornex

Auth, Selector, Vault = vornex.Auth, vornex.Selector, vornex.Vault

FIELDS_DOC = ("The secret's additional key\u2192value fields as a dict. Values come back as `str` (UTF-8) or,\n"
              "with `as_bytes=True`, as `bytes`.")

# Each doc text is a text signature, "--", a blank line and a body: the
# interpreter splits it into __text_signature__ and __doc__. Four bodies
# begin with the description these methods always had.
DOCS = [
    (Vault, "(path=..., *, auth=None)", None),
    (Selector, "(path, labels=None)", None),
    (Auth.from_keychain, "($cls, user=None, *, passphrase=None)", None),
    (Auth.from_invite, "($cls, invite)", None),
    (Auth.from_env, "($cls, *, invite=..., invite_file=...)", None),
    (Vault.get, "($self, selector, *, as_bytes=False)", None),
    (Vault.set, "($self, selector, value)", None),
    (Vault.delete, "($self, selector)", None),
    (Vault.fields, "($self, selector, *, as_bytes=False)", FIELDS_DOC),
    (Vault.get_field, "($self, selector, key, *, as_bytes=False)",
     "One additional field's value, as `str` (UTF-8) or, with `as_bytes=True`, as `bytes`."),
    (Vault.set_field, "($self, selector, key, value)",
     "Insert or replace one additional field, preserving the primary value and other fields."),
    (Vault.delete_field, "($self, selector, key)",
     "Remove one additional field, preserving the primary value and other fields."),
    (Vault.list, "($self, selector=None)", None),
    (Vault.__enter__, "($self)", None),
    (Vault.__exit__, "($self, _exc_type, _exc_value, _traceback)", None),
]


@pytest.mark.parametrize("obj, signature, opening", DOCS, ids=[d[0].__qualname__ for d in DOCS])
def test_doc_texts(obj, signature, opening):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ and not obj.__doc__.startswith(("(", "--", "\n"))
    if opening is not None:
        assert obj.__doc__.startswith(opening + "\n")
    # Every argument a caller passes is described.
    if not obj.__name__.startswith("__"):
        for name in inspect.signature(obj).parameters:
            if name not in ("self", "cls"):
                assert f"  {name}: " in obj.__doc__, name


def test_help_shows_every_method_and_getter():
    shown = pydoc.render_doc(Vault, renderer=pydoc.plaintext)
    for name in ("get", "set", "delete", "fields", "get_field", "set_field", "delete_field", "list"):
        assert getattr(Vault, name).__doc__.splitlines()[0] in shown, name
    for name in ("path", "labels"):
        assert getattr(Selector, name).__doc__
    assert "Auth.from_keychain()" in Vault.__doc__


@pytest.mark.parametrize(
    "obj, shown",
    [
        (Vault, "(path=Ellipsis, *, auth=None)"),
        (Selector, "(path, labels=None)"),
        (Auth.from_keychain, "(user=None, *, passphrase=None)"),
        (Vault.get_field, "(self, /, selector, key, *, as_bytes=False)"),
        (Vault.list, "(self, /, selector=None)"),
    ],
)
def test_signatures(obj, shown):
    assert str(inspect.signature(obj)) == shown


def test_classes():
    for cls in (Auth, Selector, Vault):
        assert cls.__module__ == "vornex" and cls.__bases__ == (object,)
    assert Auth.__doc__.startswith("Where a Vault's identity comes from.\n")
    with pytest.raises(TypeError) as info:
        Auth()
    assert str(info.value) == "cannot create 'vornex.Auth' instances"


@pytest.mark.parametrize(
    "auth, shown",
    [
        (lambda: Auth.from_keychain("alice", passphrase="secret"), "Auth.from_keychain(...)"),
        (lambda: Auth.from_keychain(), "Auth.from_keychain(...)"),
        (lambda: Auth.from_keychain("", passphrase=""), "Auth.from_keychain(...)"),
        (lambda: Auth.from_invite("vrnx1secret"), "Auth.from_invite(...)"),
        (lambda: Auth.from_invite(b"vornex-invite\0"), "Auth.from_invite(...)"),
        (lambda: Auth.from_env(invite="MINE", invite_file="FILE"), "Auth.from_env(...)"),
    ],
)
def test_auth_repr_shows_nothing_given(auth, shown):
    made = auth()
    assert type(made) is Auth
    assert repr(made) == shown


# Argument binding: (call, the argument the message names, or None).
BINDING = {
    "from_keychain user": (lambda: Auth.from_keychain(1), "user"),
    "from_keychain passphrase": (lambda: Auth.from_keychain(passphrase=b"pw"), "passphrase"),
    "from_keychain positional passphrase": (lambda: Auth.from_keychain("a", "b"), None),
    "from_invite missing": (lambda: Auth.from_invite(), "invite"),
    "from_env invite None": (lambda: Auth.from_env(invite=None), "invite"),
    "from_env invite_file int": (lambda: Auth.from_env(invite_file=1), "invite_file"),
    "from_env positional": (lambda: Auth.from_env("X"), None),
    "Vault path None": (lambda: Vault(None), "path"),
    "Vault path object": (lambda: Vault(pathlib.Path(".vornex")), "path"),
    "Vault path bytes": (lambda: Vault(b".vornex"), "path"),
    "Vault auth positional": (lambda: Vault(".vornex", None), None),
    "Vault auth wrong type": (lambda: Vault(".vornex", auth="alice"), "auth"),
    "Vault unknown keyword": (lambda: Vault(".vornex", bogus=1), "bogus"),
    # Text with a lone surrogate has no UTF-8: an argument of the wrong kind.
    "from_keychain user surrogate": (lambda: Auth.from_keychain("al\ud800ice"), "user"),
    "from_keychain passphrase surrogate": (lambda: Auth.from_keychain(passphrase="\udfff"), "passphrase"),
    "from_env invite surrogate": (lambda: Auth.from_env(invite="X\ud800"), "invite"),
    "from_env invite_file surrogate": (lambda: Auth.from_env(invite_file="\udc80"), "invite_file"),
    "Vault path surrogate": (lambda: Vault("ws/\udc80/.vornex"), "path"),
}


@pytest.mark.parametrize("call, name", BINDING.values(), ids=BINDING.keys())
def test_binding_errors(call, name):
    with pytest.raises(TypeError) as info:
        call()
    if name:
        assert f"'{name}'" in str(info.value)


@pytest.fixture
def vault(workspace):
    return workspace.open("alice")


# Data methods: the first failing conversion decides the error.
CONVERSIONS = {
    "get as_bytes int": (lambda v: v.get("app/db", as_bytes=1), TypeError, "as_bytes"),
    "get as_bytes before selector": (lambda v: v.get(42, as_bytes=None), TypeError, "as_bytes"),
    "get selector int": (lambda v: v.get(42), vornex.VornexError, "expected a selector string or Selector"),
    "get selector bytes": (lambda v: v.get(b"app/db"), vornex.VornexError, "expected a selector string or Selector"),
    "get as_bytes positional": (lambda v: v.get("app/db", True), TypeError, None),
    "get missing selector": (lambda v: v.get(), TypeError, "selector"),
    "set value float": (lambda v: v.set("app/db", 3.5), vornex.VornexError, "secret value must be str or bytes"),
    "set value None": (lambda v: v.set("app/db", None), vornex.VornexError, "secret value must be str or bytes"),
    "set ints above 255": (lambda v: v.set("app/db", [256]), vornex.VornexError, "secret value must be str or bytes"),
    "set selector before value": (lambda v: v.set(42, 3.5), vornex.VornexError,
                                  "expected a selector string or Selector"),
    "set parse error before value": (lambda v: v.set("a//b", 3.5), vornex.VornexError,
                                     'invalid selector "a//b": selector path must not contain empty segments'),
    "fields as_bytes before selector": (lambda v: v.fields(42, as_bytes="yes"), TypeError, "as_bytes"),
    "get_field key before as_bytes": (lambda v: v.get_field(42, 1, as_bytes=1), TypeError, "key"),
    "get_field as_bytes before selector": (lambda v: v.get_field(42, "k", as_bytes=1), TypeError, "as_bytes"),
    "get_field selector": (lambda v: v.get_field(42, "k"), vornex.VornexError,
                           "expected a selector string or Selector"),
    "set_field key first": (lambda v: v.set_field(42, 1, 3.5), TypeError, "key"),
    "set_field selector before value": (lambda v: v.set_field(42, "k", 3.5), vornex.VornexError,
                                        "expected a selector string or Selector"),
    "set_field value": (lambda v: v.set_field("app/db", "k", 3.5), vornex.VornexError,
                        "secret value must be str or bytes"),
    "delete_field key first": (lambda v: v.delete_field(42, b"k"), TypeError, "key"),
    "delete selector": (lambda v: v.delete(["app", "db"]), vornex.VornexError,
                        "expected a selector string or Selector"),
    "list selector": (lambda v: v.list(42), vornex.VornexError, "expected a selector string or Selector"),
    "get selector surrogate": (lambda v: v.get("app/\ud800"), vornex.VornexError,
                               "expected a selector string or Selector"),
    "list selector surrogate": (lambda v: v.list("\udfff"), vornex.VornexError,
                                "expected a selector string or Selector"),
    "set value surrogate": (lambda v: v.set("app/db", "x\udc80"), vornex.VornexError,
                            "secret value must be str or bytes"),
    "set_field value surrogate": (lambda v: v.set_field("app/db", "k", "\ud800"), vornex.VornexError,
                                  "secret value must be str or bytes"),
    "get_field key surrogate": (lambda v: v.get_field("app/db", "\ud800"), TypeError, "key"),
    "delete_field key surrogate": (lambda v: v.delete_field("app/db", "k\udfff"), TypeError, "key"),
    "exit needs three": (lambda v: v.__exit__(None, None), TypeError, "_traceback"),
    "enter takes none": (lambda v: v.__enter__(1), TypeError, None),
}


@pytest.mark.parametrize("call, cls, text", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_argument_conversion(workspace, vault, call, cls, text):
    before = workspace.vault_bytes()
    with pytest.raises(cls) as info:
        call(vault)
    assert type(info.value) is cls
    if cls is TypeError:
        if text:
            assert f"'{text}'" in str(info.value)
    else:
        assert str(info.value) == text
    assert workspace.vault_bytes() == before


class Claims:
    """Claims to be an instance of a class it is not, through __class__."""

    def __init__(self, cls):
        self._cls = cls

    @property
    def __class__(self):
        return self._cls


class Announces:
    """A sequence that announces a length and fails at an item."""

    def __init__(self, length, failure=None, at=0):
        self.length, self.failure, self.at = length, failure, at

    def __len__(self):
        if self.failure is not None and self.at is None:
            raise self.failure
        return self.length

    def __getitem__(self, index):
        if self.failure is not None and index == self.at:
            raise self.failure
        return 65


# What an argument claims is not what it is: the real type decides, a
# huge announced length reserves nothing, and only ordinary failures of the
# object become the conversion's error.
HOSTILE = {
    "selector claimed": (lambda v, w: v.get(Claims(vornex.Selector)), vornex.VornexError,
                         "expected a selector string or Selector"),
    "auth claimed": (lambda v, w: vornex.Vault(w.path, auth=Claims(vornex.Auth)), TypeError, "auth"),
    "huge range": (lambda v, w: v.set("app/x", range(256, 10**12)), vornex.VornexError,
                   "secret value must be str or bytes"),
    "huge announced length": (lambda v, w: v.set("app/x", Announces(2**60, ValueError(), at=3)), vornex.VornexError,
                              "secret value must be str or bytes"),
    "invitation of huge length": (lambda v, w: vornex.Auth.from_invite(range(256, 2**62)), vornex.VornexError,
                                  "expected a string or file-like object"),
    "interrupt in __len__": (lambda v, w: v.set("app/x", Announces(1, KeyboardInterrupt(), at=None)),
                             KeyboardInterrupt, None),
    "interrupt in __getitem__": (lambda v, w: v.set_field("app/db", "k", Announces(4, KeyboardInterrupt(), at=2)),
                                 KeyboardInterrupt, None),
    "exit in an invitation's __getitem__": (lambda v, w: vornex.Auth.from_invite(Announces(4, SystemExit(3), at=1)),
                                            SystemExit, None),
}


@pytest.mark.parametrize("call, cls, text", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_arguments(workspace, vault, call, cls, text):
    before = workspace.vault_bytes()
    with pytest.raises(cls) as info:
        call(vault, workspace)
    assert type(info.value) is cls
    if cls is TypeError:
        assert f"'{text}'" in str(info.value)
    elif text is not None:
        assert str(info.value) == text
    assert workspace.vault_bytes() == before
    assert vault.get("app/db") == "hunter2"


def test_the_borrow_covers_argument_conversion(vault):
    seen = []

    class Sneaky:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            try:
                vault.__enter__()
            except RuntimeError as error:
                seen.append(str(error))
            return 65

    vault.set("app/x", Sneaky())
    assert seen == ["Already borrowed"]
    assert vault.get("app/x") == "A"


def test_exit_takes_any_objects(vault):
    assert vault.__exit__(1, "two", [3]) is False
    assert vault.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False
    assert vault.__enter__() is vault
