"""Hostile arguments for every entry point of the module, what each call may
end in, and the child program that runs a batch of calls.

test_api_fuzz.py runs batches in child processes (`python3 api_fuzz.py batch
...`), so that a crash, an abort or a hang ends one child rather than the
test run. Call i of batch b under seed s is drawn from its own generator
seeded with "s:b:i", so any call can be drawn again on its own (`python3
api_fuzz.py replay ...`), whatever the calls before it did.

Each argument kind predicts how its conversion ends (passes on, or stops
with a given error), and a call's expected outcomes follow from its
arguments in the order the method converts them. An outcome outside them
is a violation; so is any exception that is not an ordinary one of the
documented classes, an exception raised with another one attached, and
any error left set behind a result (the interpreter turns that into
SystemError)."""

import argparse
import array
import copy
import ctypes
import faulthandler
import gc
import inspect
import io
import json
import os
import pickle
import random
import re
import sys
import unicodedata
import weakref

import vornex

SELECTOR_MSG = "expected a selector string or Selector"
VALUE_MSG = "secret value must be str or bytes"
MATERIAL_MSG = "expected a string or file-like object"
PATH_MSG = "selector path must contain at least one non-empty segment"
LABELS_MSG = "selector label names and values must be non-empty"
DUPLICATE_MSG = "a label key may appear only once"  # of selector text
BORROWED = "Already borrowed"
AUTH_REPRS = {"from_keychain": "Auth.from_keychain(...)", "from_invite": "Auth.from_invite(...)",
              "from_env": "Auth.from_env(...)"}

SURROGATE = re.compile("[\ud800-\udfff]")

# --- what a call may end in -------------------------------------------------

class Spec:
    """One acceptable outcome. Kinds: ok (a result that `check` accepts),
    type (TypeError, naming `detail` when given), vx (exactly VornexError
    with text `detail`), vxany (any of the module's errors whose text
    starts with `detail`), cls (exactly class `detail`). `reason` is the
    parse error a selector text must give."""

    __slots__ = ("kind", "detail", "check", "reason")

    def __init__(self, kind, detail=None, check=None, reason=None):
        self.kind, self.detail, self.check, self.reason = kind, detail, check, reason

    def __repr__(self):
        if self.kind == "ok":
            return "a result"
        if self.kind == "type":
            return f"TypeError naming {self.detail!r}" if self.detail else "TypeError"
        if self.kind == "vx":
            return f"VornexError {self.detail!r}"
        if self.kind == "vxany":
            return f"a module error starting {self.detail!r}" if self.detail else "a module error"
        return self.detail.__name__


def ok(check=None):
    return Spec("ok", check=check)


def type_error(name=None):
    return Spec("type", name)


def vx(text):
    return Spec("vx", text)


def vxany(prefix=""):
    return Spec("vxany", prefix)


MODULE_ERRORS = tuple(getattr(vornex, n) for n in
                      ("VornexError", "NotFound", "PermissionDenied", "ConflictError", "ValidationError",
                       "IdentityError"))


def is_own(error):
    """Whether a hostile argument raised it."""
    return getattr(error, "planted", False)


def matches(spec, outcome):
    """Whether an outcome, ("ok", result) or ("raise", exception), fits."""
    tag, got = outcome
    if spec.kind == "ok":
        return tag == "ok" and (spec.check is None or spec.check(got) is None)
    if tag != "raise":
        return False
    cls = type(got)
    if spec.kind == "type":
        return cls is TypeError and (spec.detail is None or f"'{spec.detail}'" in str(got))
    if spec.kind == "vx":
        return cls is vornex.VornexError and got.args == (spec.detail,)
    if spec.kind == "vxany":
        return (cls in MODULE_ERRORS and len(got.args) == 1 and type(got.args[0]) is str
                and got.args[0].startswith(spec.detail))
    return cls is spec.detail


def outcome_name(outcome):
    tag, got = outcome
    if tag == "ok":
        return f"result {type(got).__name__}"
    if is_own(got):
        return f"own {type(got).__name__}"
    return type(got).__name__


def outcome_text(outcome):
    tag, got = outcome
    if tag == "ok":
        return "result " + short(safe_repr(got))
    text = f"{type(got).__module__}.{type(got).__qualname__}: {short(safe_str(got))}"
    if got.__context__ is not None:
        text += f" (with {type(got.__context__).__name__} attached)"
    return text


def safe_repr(obj):
    try:
        return repr(obj)
    except Exception as e:  # a hostile object's own repr
        return f"<{type(obj).__name__}, repr raised {type(e).__name__}>"


def safe_str(obj):
    try:
        return str(obj)
    except Exception as e:
        return f"<str raised {type(e).__name__}>"


def short(text, limit=300):
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


# --- selector text, as the grammar reads it ---------------------------------

def nfc(text):
    return unicodedata.normalize("NFC", text)


def _scan(text, separator, first_only):
    """The split points of `separator` outside quotes and escapes."""
    if '"' not in text and "\\" not in text:  # nothing quoted: no loop for a huge text
        if first_only:
            return [text.find(separator)] if separator in text else []
        return [m.start() for m in re.finditer(re.escape(separator), text)]
    points, quoted, escaped = [], False, False
    for i, c in enumerate(text):
        if escaped:
            escaped = False
        elif c == '"':
            quoted = not quoted
        elif c == "\\":
            escaped = True
        elif not quoted and c == separator:
            points.append(i)
            if first_only:
                break
    return points


def _split(text, separator):
    pieces, start = [], 0
    for i in _scan(text, separator, False):
        pieces.append(text[start:i])
        start = i + 1
    return pieces + [text[start:]]


def _decode(piece):
    if '"' not in piece and "\\" not in piece:
        return nfc(piece)
    out, quoted, i = [], False, 0
    while i < len(piece):
        c = piece[i]
        if c == '"':
            quoted = not quoted
        elif c == "\\":
            if i + 1 >= len(piece):
                raise ValueError("selector ends with a dangling backslash escape")
            i += 1
            out.append(piece[i])
        else:
            out.append(c)
        i += 1
    if quoted:
        raise ValueError("selector has an unterminated quote")
    return nfc("".join(out))


def parse_selector(text):
    """(segments, labels) of selector text, or ValueError with the reason."""
    at = _scan(text, "@", True)
    path, label_text = (text[:at[0]], text[at[0] + 1:]) if at else (text, None)
    if not path:
        raise ValueError("selector must not be empty")
    segments = []
    for piece in _split(path, "/"):
        segment = _decode(piece)
        if not segment:
            raise ValueError("selector path must not contain empty segments")
        segments.append(segment)
    labels = []
    if label_text is not None:
        for piece in _split(label_text, "&"):
            eq = _scan(piece, "=", True)
            if not eq:
                raise ValueError("secret labels are @key=value pairs separated by &")
            key, value = _decode(piece[:eq[0]]), _decode(piece[eq[0] + 1:])
            if not key or not value:
                raise ValueError("label keys and values must not be empty")
            labels.append((key, value))
    labels.sort(key=lambda kv: (kv[0].encode(), kv[1].encode()))
    if any(a[0] == b[0] for a, b in zip(labels, labels[1:])):
        raise ValueError(DUPLICATE_MSG)
    return segments, labels


def escape_segment(text):
    if not text:
        return '""'
    if not any(c in text for c in '!"&/=@\\'):
        return text
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def canonical(segments, labels):
    text = "/".join(escape_segment(s) for s in segments)
    for i, (k, v) in enumerate(labels):
        text += ("@" if i == 0 else "&") + escape_segment(k) + "=" + escape_segment(v)
    return text


# --- hostile objects --------------------------------------------------------

class Planted(Exception):
    """An ordinary failure of the caller's own object."""


FAILURES = [Planted, ValueError, TypeError, IndexError, LookupError, OverflowError, UnicodeError, RuntimeError,
            ZeroDivisionError, AttributeError, NotImplementedError, MemoryError]


def planted(cls):
    error = cls("planted by a hostile argument")
    error.planted = True
    return error


class Lying:
    """A sequence whose length and items are whatever it is told: a length
    that says 3 and items up to 1000, a failure at item `fail_at` or in
    __len__, items of any kind."""

    def __init__(self, length, items, fail_at=None, failure=Planted, len_fails=False):
        self.length, self.items, self.fail_at, self.failure, self.len_fails = (length, items, fail_at, failure,
                                                                               len_fails)

    def __len__(self):
        if self.len_fails:
            raise planted(self.failure)
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise planted(self.failure)
        if not self.items or index >= 1000:
            raise IndexError(index)
        return self.items[index % len(self.items)]

    def __repr__(self):
        return (f"Lying({self.length!r}, {short(safe_repr(self.items), 80)}, fail_at={self.fail_at}, "
                f"failure={self.failure.__name__}, len_fails={self.len_fails})")


class WeirdLen:
    """A sequence whose __len__ returns something no length can be."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return 65

    def __repr__(self):
        return f"WeirdLen({self.length!r})"


class NoLen:
    """__getitem__ without __len__."""

    def __getitem__(self, index):
        if index > 3:
            raise IndexError(index)
        return 65

    def __repr__(self):
        return "NoLen()"


class HostileStr(str):
    """A str whose Python-level methods all fail: only its characters count."""

    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    # __eq__ and __hash__ stay: it must be able to be a label name.
    __str__ = __repr__ = __len__ = __getitem__ = __iter__ = __contains__ = _fail
    encode = __format__ = __add__ = __mul__ = __mod__ = __lt__ = __index__ = __fspath__ = _fail


class HostileBytes(bytes):
    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    __len__ = __getitem__ = __iter__ = __eq__ = __hash__ = __bytes__ = __buffer__ = _fail


class HostileDict(dict):
    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    __len__ = __getitem__ = __iter__ = keys = items = values = get = __contains__ = __eq__ = _fail


class HostileList(list):
    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    __len__ = __getitem__ = __iter__ = _fail


class ShrinkingList(list):
    """A list that empties itself while it is read."""

    def __getitem__(self, index):
        item = list.__getitem__(self, index)
        self.clear()
        return item


class HostileInt(int):
    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    __index__ = __int__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __hash__ = __bool__ = __float__ = _fail

    def __repr__(self):
        return f"HostileInt({int.__repr__(self)})"


class FailsToPrint:
    """Everything a message could be built from fails."""

    def _fail(self, *args, **kwargs):
        raise planted(Planted)

    __str__ = __repr__ = __format__ = __len__ = __bool__ = __hash__ = __eq__ = __getattr__ = _fail


class Reader:
    """A file-like object: read() returns what it is given (itself when
    told), or fails."""

    def __init__(self, gives, fails=None):
        self.gives, self.fails = gives, fails

    def read(self, *args):
        if self.fails is not None:
            raise planted(self.fails)
        return self if self.gives == "self" else self.gives

    def __repr__(self):
        return f"Reader({short(safe_repr(self.gives), 80)}, fails={getattr(self.fails, '__name__', None)})"


class NotCallableRead:
    read = 42

    def __repr__(self):
        return "NotCallableRead()"


class Claims:
    """Claims through __class__ to be what it is not."""

    def __init__(self, cls):
        self._cls = cls

    @property
    def __class__(self):
        return self._cls

    def __repr__(self):
        return f"Claims({self._cls.__name__})"


class Reentrant:
    """A sequence that, while it is read, calls into the module again (and
    collects garbage); the nested outcomes are checked with the call's."""

    def __init__(self, ctx, rng, item):
        self.ctx, self.item, self.length = ctx, item, rng.randint(1, 4)
        self.nested = rng.choice(["enter", "get", "list", "selector", "auth", "set", "gc"])
        self.done = False

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index >= self.length:
            raise IndexError(index)
        if not self.done:
            self.done = True
            self.ctx.nested.append((self.nested, run_nested(self.ctx, self.nested)))
        return self.item

    def __repr__(self):
        return f"Reentrant(nested={self.nested!r}, item={self.item!r}, length={self.length})"


def run_nested(ctx, what):
    vault = ctx.vault
    calls = {
        "enter": lambda: vault.__enter__(),
        "get": lambda: vault.get("app/db"),
        "list": lambda: vault.list("app"),
        "selector": lambda: vornex.Selector(["nested"], {"k": "v"}),
        "auth": lambda: vornex.Auth.from_invite(ctx.invites["bob"]),
        "set": lambda: vault.set("app/fz/nested", "nested"),
        "gc": lambda: gc.collect(),
    }
    try:
        return ("ok", calls[what]())
    except BaseException as e:
        return ("raise", e)


def deeply_nested(depth):
    nested = []
    for _ in range(depth):
        nested = [nested]
    return nested


def cyclic_list():
    cyclic = []
    cyclic.append(cyclic)
    return cyclic


def cyclic_dict():
    cyclic = {}
    cyclic["a"] = cyclic
    return cyclic


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


class NamedClass:
    """Instances of classes with awkward names, which argument errors print."""


def weird_class_instance(name):
    try:
        return type(name, (), {})()
    except (ValueError, UnicodeError, TypeError):
        return NamedClass()


# --- argument kinds ---------------------------------------------------------

class V:
    """A drawn argument: the value, how to write it, and whether reading it
    runs code of its own that may fail or lie (then its conversion may end
    either way). `reads` is the value a predictable file-like object's
    read() gives."""

    __slots__ = ("value", "expr", "hostile", "reads")

    def __init__(self, value, expr=None, hostile=False, reads=None):
        self.value, self.hostile, self.reads = value, hostile, reads
        self.expr = expr if expr is not None else short(safe_repr(value), 200)


MISSING = object()

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def is_sequence(obj):
    return bool(_sequence_check(obj))


def text_of(obj):
    """The characters of a str or str subclass; None for anything else."""
    return str.__str__(obj) if issubclass(type(obj), str) else None


def byte_string_outcome(v):
    """'ok', 'fail' or 'unknown': how converting to a byte string ends."""
    obj, t = v.value, type(v.value)
    if issubclass(t, str):
        return "fail"
    if issubclass(t, bytes):
        return "ok"
    if v.hostile:
        return "unknown"
    if not is_sequence(obj):
        return "fail"
    if t is bytearray:
        return "ok"
    try:
        n = len(obj)
        for i in range(n):
            item = obj[i]
            if not issubclass(type(item), int) or not 0 <= int.__index__(item) <= 255:
                return "fail"
    except Exception:
        return "fail"
    return "ok"


class Gen:
    """Draws arguments of every kind from one call's generator."""

    def __init__(self, rng, ctx):
        self.rng, self.ctx = rng, ctx

    def pick(self, weighted):
        """One of (weight, draw) pairs, drawn."""
        total = sum(w for w, _ in weighted)
        x = self.rng.uniform(0, total)
        for w, draw in weighted:
            x -= w
            if x <= 0:
                return draw()
        return weighted[-1][1]()

    # Text.
    ALPHABET = (list("abcxyzAZ09 _-.:") + list('/@&="\\!') +
                ["\t", "\n", "\0", "\x7f", "\x1b", "é", "e\u0301", "\u212b", "\u00c5", "\ufb01", "\u1100\u1161",
                 "\U0001f600", "\u200b", "\ufeff", "\uffff", "\u0130"])
    SURROGATES = ["\ud800", "\udbff", "\udc00", "\udfff", "\udc80"]
    VALID_SELECTORS = ["app/db", "app/raw", "app/fz/0", "app/fz/1", "app/fz/2@env=prod", 'app/"a/b"', "app/fz/é",
                       "app/fz/e\u0301", "app/x@k=v=w", "app/x@k=v@w", "app/a\\@k=v", "other/secret", "app",
                       "a/b/c@z=1&a=2", "app/fz/\0", 'app/"q\\"uote"', "APP/DB", "app/fz/ "]
    INVALID_SELECTORS = ["", "@", "@k=v", "a//b", "/a", "a/", "a@", "a@k", "a@=v", "a@k=", "a@k=1&k=2", '"',
                         'a"b', "a\\", "a@k=v&", '""', 'a/""/b', "app/x@é=1&e\u0301=2", "app/identity//x",
                         "validation failed/"]

    def random_text(self, n=None):
        n = self.rng.randint(0, 12) if n is None else n
        return "".join(self.rng.choice(self.ALPHABET) for _ in range(n))

    def with_surrogate(self, text):
        i = self.rng.randint(0, len(text))
        return text[:i] + self.rng.choice(self.SURROGATES) + text[i:]

    def text(self, pool):
        """A str drawn from a pool, at random, with a surrogate, huge, or as a subclass."""
        base = self.pick([(4, lambda: self.rng.choice(pool)), (3, self.random_text), (0.3, lambda: "")])
        kind = self.rng.random()
        if kind < 0.12:
            base = self.with_surrogate(base)
        elif kind < 0.14:
            base = self.rng.choice([base * 50_000, "a/" * 50_000 + "b", "x" * (1 << 20)])
        if self.rng.random() < 0.08:
            return V(HostileStr(base), f"HostileStr({short(repr(base), 100)})")
        return V(base, short(repr(base), 200))

    def selector_text(self):
        return self.text(self.rng.choice([self.VALID_SELECTORS, self.VALID_SELECTORS, self.INVALID_SELECTORS]))

    def selector(self):
        return self.pick([(6, self.selector_text), (2, self.selector_object), (3, self.anything)])

    def selector_object(self):
        made = [s for s in self.ctx.selectors]
        if made and self.rng.random() < 0.6:
            s = self.rng.choice(made)
            return V(s, f"Selector({list(s.path)!r}, {s.labels!r})")
        return V(vornex.Selector(["app", "fz", str(self.rng.randint(0, 3))]))

    # Bytes and sequences.
    def byte_like(self):
        rng = self.rng
        size = rng.choice([0, 1, 3, 16, 300])
        raw = bytes(rng.randrange(256) for _ in range(size))
        return self.pick([
            (3, lambda: V(raw)),
            (0.3, lambda: V(b"\0" * (1 << 18), "b'\\0' * (1 << 18)")),
            (1, lambda: V(HostileBytes(raw), f"HostileBytes({raw!r})")),
            (1, lambda: V(bytearray(raw))),
            (1, lambda: V(memoryview(raw), f"memoryview({raw!r})")),
            (0.5, lambda: V(memoryview(bytearray(raw))[::2], f"memoryview(bytearray({raw!r}))[::2]")),
            (0.5, self.released_view),
            (0.5, lambda: V(memoryview(b"abcdefgh").cast("I"), "memoryview(b'abcdefgh').cast('I')")),
            (0.5, lambda: V(memoryview(b"abcd").cast("B", shape=[2, 2]),
                            "memoryview(b'abcd').cast('B', shape=[2, 2])")),
            (0.3, lambda: V(memoryview(b"a").cast("B", shape=[]), "memoryview(b'a').cast('B', shape=[])")),
            (0.3, lambda: V(memoryview(b"ab").cast("c"), "memoryview(b'ab').cast('c')")),
            (1, self.typed_array),
            (2, lambda: V([rng.choice([0, 65, 255, 256, -1, True, 2 ** 70, -2 ** 70, 1.0, "a", None])
                           for _ in range(rng.randint(0, 4))])),
            (1, lambda: V(tuple(rng.randrange(256) for _ in range(rng.randint(0, 5))))),
            (1, lambda: V([HostileInt(rng.randrange(256)) for _ in range(2)])),
            (1, lambda: V(rng.choice([range(0), range(256), range(250, 260), range(255, -1, -1),
                                      range(10 ** 12, 10 ** 13), range(0, 10 ** 12, 10 ** 9)]))),
            (0.2, lambda: V([rng.randrange(256)] * (1 << 17), "[n] * (1 << 17)")),
            (3, self.lying),
            (1, lambda: V(WeirdLen(rng.choice([-1, 2 ** 70, "3", 3.0, None, HostileInt(2)])))),
            (0.5, lambda: V(NoLen())),
            (0.5, lambda: V(HostileList([65, 66]), "HostileList([65, 66])")),
            (0.5, lambda: V(ShrinkingList([65, 66, 67]), "ShrinkingList([65, 66, 67])", hostile=True)),
            (1, lambda: V(Reentrant(self.ctx, rng, rng.choice([65, "a"])), hostile=True)),
            (0.5, lambda: V(iter([65, 66]), "iter([65, 66])")),
            (0.5, lambda: V((x for x in b"ab"), "(x for x in b'ab')")),
        ])

    def typed_array(self):
        code = self.rng.choice("bBhiLd")
        low, high = {"b": (-128, 128), "B": (0, 256)}.get(code, (0, 300))
        return V(array.array(code, [self.rng.randrange(low, high) for _ in range(3)]))

    def released_view(self):
        return V(released_view(), "<released memoryview>")

    def lying(self):
        rng = self.rng
        items = rng.choice([[65], [65, 66, 67], ["a", "b"], [256], [None], [HostileInt(1)], [], ["\ud800"]])
        length = rng.choice([0, 1, 3, 1000, 2 ** 31, 2 ** 62])
        fail_at = rng.choice([None, None, 0, 1, 2, 999])
        if length > 1000 and fail_at is None and items:
            fail_at = rng.randint(0, 999)  # no lie runs for ever
        return V(Lying(length, items, fail_at, rng.choice(FAILURES), rng.random() < 0.15))

    # Values of every other kind.
    def scalar(self):
        rng = self.rng
        return V(rng.choice([None, True, False, 0, -1, 255, 256, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 100,
                             float("nan"), float("inf"), -0.0, 1e308, 3j, Ellipsis, NotImplemented]))

    def container(self):
        return self.pick([
            (1, lambda: V({"a": "b"})),
            (1, lambda: V({1: 2, None: b"x"})),
            (1, lambda: V(HostileDict(a="b"), "HostileDict(a='b')")),
            (1, lambda: V(["app", "db"])),
            (1, lambda: V(("app",))),
            (0.5, lambda: V(deeply_nested(10_000), "[[[...]]] (10,000 deep)")),
            (0.5, lambda: V(cyclic_list(), "l = []; l.append(l)")),
            (0.5, lambda: V(cyclic_dict(), "d = {}; d['a'] = d")),
            (0.5, lambda: V({"a", "b"})),
            (0.5, lambda: V(frozenset())),
            (0.5, lambda: V(slice(1, 2))),
        ])

    def odd_object(self):
        ctx = self.ctx
        return self.pick([
            (1, lambda: V(object(), "object()")),
            (1, lambda: V(FailsToPrint(), "FailsToPrint()")),
            (1, lambda: V(Claims(self.rng.choice([str, bytes, dict, list, vornex.Selector, vornex.Auth,
                                                  vornex.Vault])))),
            (1, lambda: V(self.rng.choice([str, bytes, vornex.Vault, vornex.Selector, vornex.Auth,
                                           vornex.VornexError]))),
            (0.5, lambda: V(vornex, "vornex")),
            (0.5, lambda: V(len, "len")),
            (0.5, lambda: V(planted(Planted), "Planted()")),
            (0.5, lambda: V(weird_class_instance(self.rng.choice(["\ud800", "x" * 5000, "a\nb", "é"])),
                            "instance of a class with an awkward name")),
            (0.5, lambda: V(ctx.vault, "vault")),
            (0.5, lambda: V(self.rng.choice(ctx.auths), "an Auth")),
            (0.5, lambda: V(io.StringIO("x"), "io.StringIO('x')", reads=V("x"))),
            (0.5, lambda: V(NotCallableRead(), "NotCallableRead()")),
        ])

    def anything(self):
        return self.pick([(2, self.scalar), (2, self.selector_text), (3, self.byte_like), (2, self.container),
                          (2, self.odd_object)])

    # Roles.
    def value(self):
        return self.pick([(4, lambda: self.text(["hunter2", "", "é", "\0", "x" * 100])), (4, self.byte_like),
                          (2, self.anything)])

    def key(self):
        return self.pick([(7, lambda: self.text(["user", "host", "k", "blob", "", "é", "e\u0301", "\0"])),
                          (2, self.anything)])

    def flag(self):
        return self.pick([(6, lambda: V(self.rng.choice([True, False]))),
                          (1, lambda: V(self.rng.choice([0, 1, None, "yes", 1.0]))), (1, self.anything)])

    def user(self):
        return self.pick([(6, lambda: self.text(["alice", "bob", "carol", "", "nobody", "@alice",
                                                 self.ctx.user_ids["alice"][:8]])),
                          (1, lambda: V(None)), (2, self.anything)])

    def passphrase(self):
        return self.pick([(6, lambda: self.text([self.ctx.passphrase, "", "wrong"])), (1, lambda: V(None)),
                          (2, self.anything)])

    def env_name(self):
        return self.pick([(6, lambda: self.text(["VORNEX_UNSAFE_INVITE", "VORNEX_UNSAFE_INVITE_FILE", "", "A=B",
                                                 "X\0Y", "HOME", "FUZZ_UNSET"])), (2, self.anything)])

    def vault_path(self):
        where = self.ctx.vault_dir
        return self.pick([
            (4, lambda: V(where, "vault_dir")),
            (1, lambda: V(where + "/", "vault_dir + '/'")),
            (1, lambda: V(where + "/./", "vault_dir + '/./'")),
            (1, lambda: V(where + "\0", "vault_dir + '\\0'")),
            (3, lambda: self.prefixed(self.text(["a", "", ".vornex", "x/y"]))),
            (2, self.anything),
        ])

    def prefixed(self, v):
        """A path under the child's own directory, whatever the text."""
        return V(type(v.value)("fuzzpaths/" + text_of(v.value)), f"'fuzzpaths/' + {v.expr}")

    def auth(self):
        return self.pick([(6, lambda: V(self.rng.choice(self.ctx.auths), "an Auth")), (1, lambda: V(None)),
                          (2, self.anything)])

    def invite(self):
        ctx, rng = self.ctx, self.rng
        name = rng.choice(sorted(ctx.invites))
        text = ctx.invites[name]
        binary = ctx.invite_binary[name]
        texts = [text, " \n" + text + "\t\n", text.upper(), text[:-1] + ("q" if text[-1] != "q" else "p"), "",
                 "abc1qqqqqqqq", "vrnx1", text + "x" * 1100]
        return self.pick([
            (4, lambda: self.text(texts)),
            (2, lambda: V(binary, f"invite_binary[{name!r}]")),
            (1, lambda: V(binary + b"\0", f"invite_binary[{name!r}] + b'\\0'")),
            (1, lambda: V(list(binary), f"list(invite_binary[{name!r}])")),
            (1, lambda: V(io.BytesIO(binary), f"io.BytesIO(invite_binary[{name!r}])", reads=V(binary))),
            (1, lambda: V(io.StringIO(text), f"io.StringIO(invites[{name!r}])", reads=V(text))),
            (0.5, lambda: V(io.StringIO(text[:5] + "\ud800"), "io.StringIO(text with a surrogate)",
                            reads=V(text[:5] + "\ud800"))),
            (1, lambda: V(Reader(rng.choice([text, binary, "self", None, 42, Reader(text), Lying(3, [65]),
                                            "\ud800", HostileStr(text)]),
                                 rng.choice([None, None, rng.choice(FAILURES)])), hostile=True)),
            (2, self.byte_like),
            (2, self.anything),
        ])

    def segment(self):
        return text_of(self.text(["app", "db", "", "a/b", "é", 'q"']).value)

    def selector_path(self):
        rng, segment = self.rng, self.segment
        return self.pick([
            (4, lambda: V([segment() for _ in range(rng.randint(0, 4))])),
            (1, lambda: V(tuple(segment() for _ in range(rng.randint(1, 3))))),
            (1, lambda: V([HostileStr(segment())], "[HostileStr(...)]")),
            (1, lambda: V(["a", self.with_surrogate("b")])),
            (0.3, lambda: V(["a"] * 100_000, "['a'] * 100_000")),
            (1, lambda: V(Lying(rng.choice([1, 3, 1000]), [rng.choice(["a", "b", "\ud800", "", 65])],
                                rng.choice([None, 0, 2]), rng.choice(FAILURES), rng.random() < 0.2))),
            (0.5, lambda: V(Reentrant(self.ctx, rng, "a"), hostile=True)),
            (0.5, lambda: V(HostileList(["a"]), "HostileList(['a'])")),
            (0.5, lambda: V(ShrinkingList(["a", "b"]), "ShrinkingList(['a', 'b'])", hostile=True)),
            (0.5, lambda: V(WeirdLen(rng.choice([-1, 2 ** 70, "3"])))),
            (2, self.anything),
        ])

    def label_text(self):
        return text_of(self.text(["env", "prod", "", "é", "e\u0301", "k"]).value)

    def selector_labels(self):
        rng, piece = self.rng, self.label_text
        return self.pick([
            (2, lambda: V(None)),
            (4, lambda: V({piece(): piece() for _ in range(rng.randint(0, 3))})),
            (1, lambda: V({self.with_surrogate("k"): self.with_surrogate("v")})),
            (1, lambda: V(HostileDict({piece(): piece()}), "HostileDict(...)")),
            (1, lambda: V({HostileStr("k"): HostileStr("v")}, "{HostileStr('k'): HostileStr('v')}")),
            (0.3, lambda: V({f"k{i}": "v" for i in range(10_000)}, "{f'k{i}': 'v' for i in range(10_000)}")),
            (1, lambda: V([("k", "v")])),
            (2, self.anything),
        ])


# --- predictions, one per role ----------------------------------------------
# Each returns (specs, continues): the outcomes at which the conversion can
# stop, and whether it can also pass on to the next argument.

CONT = ([], True)


def stop(*specs):
    return list(specs), False


def p_selector(v, optional=False):
    if v is MISSING or (optional and v.value is None):
        return CONT
    text = text_of(v.value)
    if text is not None:
        if SURROGATE.search(text):
            return stop(vx(SELECTOR_MSG))
        try:
            parse_selector(text)
        except ValueError as reason:
            return stop(Spec("vxany", 'invalid selector "', reason=str(reason)))
        return CONT
    if type(v.value) is vornex.Selector:
        return CONT
    return stop(vx(SELECTOR_MSG))


def p_value(v):
    text = text_of(v.value)
    if text is not None:
        return stop(vx(VALUE_MSG)) if SURROGATE.search(text) else CONT
    outcome = byte_string_outcome(v)
    if outcome == "ok":
        return CONT
    return ([vx(VALUE_MSG)], outcome == "unknown")


def p_invite(v, depth=0):
    text = text_of(v.value)
    if text is not None:
        return stop(vx(MATERIAL_MSG)) if SURROGATE.search(text) else CONT
    outcome = byte_string_outcome(v)
    if outcome == "ok":
        return CONT
    if outcome == "unknown" or v.hostile or depth > 8:
        return [vx(MATERIAL_MSG)], True
    if v.reads is not None:
        return p_invite(v.reads, depth + 1)
    if callable(getattr(type(v.value), "read", None)):  # a reader not modelled here
        return [vx(MATERIAL_MSG)], True
    return stop(vx(MATERIAL_MSG))


def p_text(name, allow_none):
    def predict(v):
        if v is MISSING or (allow_none and v.value is None):
            return CONT
        text = text_of(v.value)
        if text is None:
            return stop(type_error(name))
        return stop(type_error(name)) if SURROGATE.search(text) else CONT
    return predict


def p_flag(v):
    if v is MISSING or type(v.value) is bool:
        return CONT
    return stop(type_error("as_bytes"))


def p_auth(v):
    if v is MISSING or v.value is None or type(v.value) is vornex.Auth:
        return CONT
    return stop(type_error("auth"))


def predict_selector(path, labels):
    """Selector(path, labels): the specs, in the order it checks. Its text
    is kept as given; an ordinary failure while the path is read makes it
    no sequence of str."""
    if text_of(path.value) is not None or not is_sequence(path.value):
        return [type_error("path")]
    specs, segments = [], None
    if path.hostile:
        specs.append(type_error("path"))
    else:
        segments = []
        try:
            for i in range(len(path.value)):
                text = text_of(path.value[i])
                if text is None or SURROGATE.search(text):
                    return [type_error("path")]
                segments.append(text)
        except Exception:
            return [type_error("path")]
    names = {}
    if labels is not MISSING and labels.value is not None:
        if not issubclass(type(labels.value), dict):
            return specs + [type_error("labels")]
        for k, v in dict.items(labels.value):
            k, v = text_of(k), text_of(v)
            if k is None or v is None or SURROGATE.search(k) or SURROGATE.search(v):
                return specs + [type_error("labels")]
            names[k] = v
    if segments is None:
        return specs + [vx(PATH_MSG), vx(LABELS_MSG), ok(check_selector(None, None))]
    if not segments or "" in segments:
        return specs + [vx(PATH_MSG)]
    if any(not k or not v for k, v in names.items()):
        return specs + [vx(LABELS_MSG)]
    return specs + [ok(check_selector(segments, sorted(names.items(), key=lambda kv: kv[0].encode())))]


# --- results ----------------------------------------------------------------

def check_selector(segments, labels):
    """A Selector with these parts (any parts when None), whose getters,
    str and repr work."""

    def check(result):
        if type(result) is not vornex.Selector:
            return "not a Selector"
        path, got_labels, text, shown = result.path, result.labels, str(result), repr(result)
        if type(path) is not tuple or not path or any(type(s) is not str or not s for s in path):
            return f"path {path!r}"
        if type(got_labels) is not dict or any(type(k) is not str or type(v) is not str
                                               for k, v in got_labels.items()):
            return f"labels {got_labels!r}"
        if list(got_labels) != sorted(got_labels, key=str.encode):
            return f"labels out of order: {list(got_labels)!r}"
        if type(text) is not str or type(shown) is not str or not shown.startswith("Selector(["):
            return "str or repr"
        if text != canonical(path, list(got_labels.items())):
            return f"str {text!r} is not the canonical text"
        if segments is not None and (list(path) != segments or list(got_labels.items()) != labels):
            return f"parts {path!r}, {got_labels!r}"
        return None

    return check


def result_is(*types):
    def check(result):
        return None if type(result) in types else f"result of type {type(result).__name__}"
    return check


def check_auth(method):
    def check(result):
        if type(result) is not vornex.Auth:
            return "not an Auth"
        return None if repr(result) == AUTH_REPRS[method] else f"repr {repr(result)!r}"
    return check


def check_list(result):
    if type(result) is not list or any(type(s) is not vornex.Selector for s in result):
        return "not a list of Selector"
    texts = [str(s).encode() for s in result]
    return None if texts == sorted(texts) else "not in canonical order"


def check_fields(as_bytes):
    def check(result):
        want = bytes if as_bytes else str
        if type(result) is not dict or any(type(k) is not str or type(v) is not want for k, v in result.items()):
            return "not a dict of str to " + want.__name__
        return None
    return check


# --- calls ------------------------------------------------------------------

class Case:
    """One call: what is called, with what, and what it may end in."""

    def __init__(self, target, func, args=(), kwargs=None, specs=(), expr=""):
        self.target, self.func, self.args, self.kwargs = target, func, args, kwargs or {}
        self.specs, self.expr = list(specs), expr


class Context:
    """What a batch calls with: its vaults, Auths and Selectors, the
    invitations, and the nested calls of reentrant arguments."""

    def __init__(self, settings):
        self.vault_dir = settings["vault_dir"]
        self.invites = settings["invites"]
        self.invite_binary = {k: bytes.fromhex(v) for k, v in settings["invite_binary"].items()}
        self.passphrase = settings["passphrase"]
        self.user_ids = settings["user_ids"]
        self.vault = vornex.Vault(self.vault_dir, auth=vornex.Auth.from_invite(self.invites["alice"]))
        self.reader = vornex.Vault(self.vault_dir, auth=vornex.Auth.from_invite(self.invites["bob"]))
        self.auths = [vornex.Auth.from_invite(self.invites[n]) for n in sorted(self.invites)]
        self.auths += [vornex.Auth.from_keychain("alice", passphrase=self.passphrase), vornex.Auth.from_env()]
        self.selectors = [vornex.Selector(["app", "db"]), vornex.Selector(["app", "fz", "1"], {"env": "prod"})]
        self.nested = []

    def keep(self, obj):
        pool = self.selectors if type(obj) is vornex.Selector else self.auths
        if len(pool) < 24:
            pool.append(obj)


# (parameter, role, positional, required) of each entry point; the roles'
# predictions run in the order each one converts its arguments.
METHODS = {
    "get": ([("selector", "selector", True, True), ("as_bytes", "flag", False, False)], ["as_bytes", "selector"]),
    "set": ([("selector", "selector", True, True), ("value", "value", True, True)], ["selector", "value"]),
    "delete": ([("selector", "selector", True, True)], ["selector"]),
    "fields": ([("selector", "selector", True, True), ("as_bytes", "flag", False, False)], ["as_bytes", "selector"]),
    "get_field": ([("selector", "selector", True, True), ("key", "key", True, True),
                   ("as_bytes", "flag", False, False)], ["key", "as_bytes", "selector"]),
    "set_field": ([("selector", "selector", True, True), ("key", "key", True, True), ("value", "value", True, True)],
                  ["key", "selector", "value"]),
    "delete_field": ([("selector", "selector", True, True), ("key", "key", True, True)], ["key", "selector"]),
    "list": ([("selector", "selector_or_none", True, False)], ["selector"]),
}

PREDICT = {
    "selector": p_selector,
    "selector_or_none": lambda v: p_selector(v, optional=True),
    "value": p_value,
    "key": p_text("key", False),
    "flag": p_flag,
}


def bind(gen, params):
    """Arguments for the parameters: some left out, some by keyword; now
    and then a surplus, unknown or missing one."""
    rng = gen.rng
    args, kwargs = [], {}
    positional_open = True
    for name, role, positional, required in params:
        if not required and rng.random() < 0.3:
            positional_open = False
            continue
        v = getattr(gen, role.replace("_or_none", ""))()
        if positional and positional_open and rng.random() < 0.7:
            args.append(v)
        else:
            positional_open = False
            kwargs[name] = v
    mistake = rng.random()
    if mistake < 0.02:
        args.append(gen.scalar())
    elif mistake < 0.04:
        kwargs[rng.choice(["bogus", "self", "path", "labels", "selector"])] = gen.scalar()
    elif mistake < 0.05 and params:
        kwargs.pop(params[0][0], None)
        args = args[1:] if args else args
    return args, kwargs


def describe(name, args, kwargs):
    parts = [a.expr for a in args] + [f"{k}={v.expr}" for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


def bound(func, args, kwargs):
    """Parameter name to argument as the call binds them; None when the
    call does not bind."""
    try:
        return dict(inspect.signature(func).bind(*args, **kwargs).arguments)
    except TypeError:
        return None


def walk(order, drawn, predict, tail):
    """The specs of a call whose arguments convert in `order`."""
    specs = []
    for name in order:
        stops, continues = predict[name](drawn.get(name, MISSING))
        specs += stops
        if not continues:
            return specs
    return specs + tail


def vault_method_case(gen, name):
    ctx = gen.ctx
    # A reader's writes are refused before anything is written: the
    # arguments are what is fuzzed here, and commits are costly.
    writes = name in ("set", "delete", "set_field", "delete_field")
    vault, which = (ctx.reader, "reader") if gen.rng.random() < (0.6 if writes else 0.15) else (ctx.vault, "vault")
    params, order = METHODS[name]
    args, kwargs = bind(gen, params)
    func = getattr(vault, name)
    expr = describe(f"{which}.{name}", args, kwargs)
    drawn = bound(func, args, kwargs)
    if drawn is None:
        return Case(f"Vault.{name}", func, args, kwargs, [type_error()], expr)
    roles = {p[0]: p[1] for p in params}
    predict = {n: PREDICT[roles[n]] for n in order}
    as_bytes = drawn.get("as_bytes", V(False)).value is True
    result = {"get": result_is(bytes if as_bytes else str), "fields": check_fields(as_bytes),
              "get_field": result_is(bytes if as_bytes else str), "list": check_list}.get(name, result_is(type(None)))
    return Case(f"Vault.{name}", func, args, kwargs, walk(order, drawn, predict, [ok(result), vxany()]), expr)


def selector_case(gen):
    args, kwargs = bind(gen, [("path", "selector_path", True, True), ("labels", "selector_labels", True, False)])
    func = vornex.Selector if gen.rng.random() < 0.9 else (lambda *a, **k: vornex.Selector.__new__(vornex.Selector,
                                                                                                   *a, **k))
    expr = describe("Selector", args, kwargs)
    drawn = bound(vornex.Selector, args, kwargs)
    if drawn is None:
        return Case("Selector", func, args, kwargs, [type_error()], expr)
    return Case("Selector", func, args, kwargs, predict_selector(drawn["path"], drawn.get("labels", MISSING)), expr)


def from_keychain_case(gen):
    args, kwargs = bind(gen, [("user", "user", True, False), ("passphrase", "passphrase", False, False)])
    func = vornex.Auth.from_keychain
    expr = describe("Auth.from_keychain", args, kwargs)
    drawn = bound(func, args, kwargs)
    if drawn is None:
        return Case("Auth.from_keychain", func, args, kwargs, [type_error()], expr)
    predict = {"user": p_text("user", True), "passphrase": p_text("passphrase", True)}
    specs = walk(["user", "passphrase"], drawn, predict, [ok(check_auth("from_keychain"))])
    return Case("Auth.from_keychain", func, args, kwargs, specs, expr)


def from_invite_case(gen):
    args, kwargs = bind(gen, [("invite", "invite", True, True)])
    func = vornex.Auth.from_invite
    expr = describe("Auth.from_invite", args, kwargs)
    drawn = bound(func, args, kwargs)
    if drawn is None:
        return Case("Auth.from_invite", func, args, kwargs, [type_error()], expr)
    specs = walk(["invite"], drawn, {"invite": p_invite}, [ok(check_auth("from_invite"))])
    return Case("Auth.from_invite", func, args, kwargs, specs, expr)


def from_env_case(gen):
    args, kwargs = bind(gen, [("invite", "env_name", False, False), ("invite_file", "env_name", False, False)])
    func = vornex.Auth.from_env
    expr = describe("Auth.from_env", args, kwargs)
    drawn = bound(func, args, kwargs)
    if drawn is None:
        return Case("Auth.from_env", func, args, kwargs, [type_error()], expr)
    # Either bad name may be the one reported.
    bad = [spec for name in ("invite", "invite_file")
           for spec in p_text(name, False)(drawn.get(name, MISSING))[0]]
    return Case("Auth.from_env", func, args, kwargs, bad or [ok(check_auth("from_env"))], expr)


def vault_case(gen):
    args, kwargs = bind(gen, [("path", "vault_path", True, False), ("auth", "auth", False, False)])
    func = vornex.Vault if gen.rng.random() < 0.9 else (lambda *a, **k: vornex.Vault.__new__(vornex.Vault, *a, **k))
    expr = describe("Vault", args, kwargs)
    drawn = bound(vornex.Vault, args, kwargs)
    if drawn is None:
        return Case("Vault", func, args, kwargs, [type_error()], expr)
    predict = {"path": p_text("path", False), "auth": p_auth}
    specs = walk(["path", "auth"], drawn, predict, [ok(result_is(vornex.Vault)), vxany()])
    return Case("Vault", func, args, kwargs, specs, expr)


def exit_case(gen):
    args = [gen.anything() for _ in range(gen.rng.choice([3, 3, 3, 2, 4]))]
    func = gen.ctx.vault.__exit__
    specs = [ok(lambda r: None if r is False else "not False")] if len(args) == 3 else [type_error()]
    return Case("Vault.__exit__", func, args, {}, specs, describe("vault.__exit__", args, {}))


def enter_case(gen):
    args = [gen.anything()] if gen.rng.random() < 0.2 else []
    vault = gen.ctx.vault
    specs = [ok(lambda r: None if r is vault else "not the vault")] if not args else [type_error()]
    return Case("Vault.__enter__", vault.__enter__, args, {}, specs, describe("vault.__enter__", args, {}))


def selector_parts_case(gen):
    sel = gen.rng.choice(gen.ctx.selectors)
    what = gen.rng.choice(["str", "repr", "path", "labels"])
    func = {"str": lambda: str(sel), "repr": lambda: repr(sel), "path": lambda: sel.path,
            "labels": lambda: sel.labels}[what]
    result = {"str": str, "repr": str, "path": tuple, "labels": dict}[what]
    return Case(f"Selector.{what}", func, [], {}, [ok(result_is(result))], f"{what}(Selector({list(sel.path)!r}))")


def auth_repr_case(gen):
    auth = gen.rng.choice(gen.ctx.auths)
    return Case("Auth.repr", lambda: repr(auth), [], {}, [ok(lambda r: None if r in AUTH_REPRS.values()
                                                              else f"repr {r!r}")], "repr(auth)")


def misuse_case(gen):
    """The interpreter's own ways in: descriptors on the wrong object,
    copying, pickling, subclassing, assignment, weak references."""
    ctx, rng = gen.ctx, gen.rng
    sel, auth, vault = rng.choice(ctx.selectors), rng.choice(ctx.auths), ctx.vault
    other = gen.anything().value
    cases = [
        ("Vault.get on another object", lambda: vornex.Vault.get(other, "app/db"),
         [type_error()] if type(other) is not vornex.Vault else [ok(result_is(str)), vxany()]),
        ("Vault.set on a Selector", lambda: vornex.Vault.set(sel, "app/db", "x"), [type_error()]),
        ("Selector.path getter on another object", lambda: vornex.Selector.path.__get__(other),
         [type_error()] if type(other) is not vornex.Selector else [ok(result_is(tuple))]),
        ("Selector.__str__ on another object", lambda: vornex.Selector.__str__(other),
         [type_error()] if type(other) is not vornex.Selector else [ok(result_is(str))]),
        ("Auth.__repr__ on another object", lambda: vornex.Auth.__repr__(other),
         [type_error()] if type(other) is not vornex.Auth else [ok(result_is(str))]),
        ("Vault.__new__ of another type", lambda: vornex.Vault.__new__(vornex.Selector), [type_error()]),
        ("Selector.__new__ of another type", lambda: vornex.Selector.__new__(vornex.Auth, ["a"]), [type_error()]),
        ("object.__new__ of Vault", lambda: object.__new__(vornex.Vault), [type_error()]),
        ("Auth()", lambda: vornex.Auth(), [type_error()]),
        ("subclass", lambda: type("Sub", (rng.choice([vornex.Vault, vornex.Selector, vornex.Auth]),), {}),
         [type_error()]),
        ("copy", lambda: copy.copy(rng.choice([sel, auth, vault])), [type_error(), vxany()]),
        ("deepcopy", lambda: copy.deepcopy(rng.choice([sel, auth])), [type_error()]),
        ("pickle", lambda: pickle.loads(pickle.dumps(rng.choice([sel, auth, vault]), rng.randint(0, 5))),
         [type_error()]),
        ("weakref", lambda: weakref.ref(rng.choice([sel, auth, vault])), [type_error()]),
        ("assign path", lambda: setattr(sel, "path", ("x",)), [Spec("cls", AttributeError)]),
        ("assign method", lambda: setattr(vault, "get", None), [Spec("cls", AttributeError)]),
        ("assign class", lambda: setattr(sel, "__class__", vornex.Auth), [type_error()]),
        ("hash", lambda: hash(sel), [ok(result_is(int))]),
        ("order", lambda: sel < sel, [type_error()]),
        ("len", lambda: len(vault), [type_error()]),
        ("init again", lambda: vornex.Vault.__init__(vault, 1, x=2), [ok(), type_error()]),
    ]
    name, func, specs = rng.choice(cases)
    return Case(f"misuse: {name}", func, [], {}, specs, name)


TARGETS = [
    (4, from_keychain_case), (6, from_invite_case), (3, from_env_case), (3, vault_case),
    (10, selector_case), (2, selector_parts_case), (1, auth_repr_case), (1, exit_case), (1, enter_case),
    (4, misuse_case),
] + [(w, (lambda name: lambda gen: vault_method_case(gen, name))(name))
     for name, w in [("get", 6), ("set", 6), ("delete", 3), ("fields", 4), ("get_field", 5), ("set_field", 6),
                     ("delete_field", 3), ("list", 4)]]


def make_case(seed, batch, index, ctx):
    gen = Gen(random.Random(f"{seed}:{batch}:{index}"), ctx)
    return gen.pick([(w, lambda make=make: make(gen)) for w, make in TARGETS])


# --- running and judging ----------------------------------------------------

def run(case):
    try:
        return ("ok", case.func(*[a.value for a in case.args], **{k: v.value for k, v in case.kwargs.items()}))
    except BaseException as e:  # the module's internal failure derives from BaseException
        return ("raise", e)


def judge(case, outcome):
    """None when the outcome is one of the case's, else what is wrong."""
    tag, got = outcome
    if tag == "raise" and (got.__context__ is not None or got.__cause__ is not None):
        return "raised with another exception attached"
    problems = []
    for spec in case.specs:
        if spec.kind == "ok" and tag == "ok" and spec.check is not None:
            problem = spec.check(got)
            if problem is None:
                return None
            problems.append(problem)
        elif matches(spec, outcome):
            if spec.reason is None or str(got).endswith(": " + spec.reason):
                return None
            problems.append(f"a parse error other than {spec.reason!r}")
    return "; ".join(problems) or "expected " + " or ".join(sorted({repr(s) for s in case.specs}))


def judge_nested(ctx):
    """The nested calls' outcomes: a result, Already borrowed or a module error."""
    for what, outcome in ctx.nested:
        tag, got = outcome
        if tag == "raise" and not ((type(got) is RuntimeError and got.args == (BORROWED,))
                                   or type(got) in MODULE_ERRORS):
            return f"nested {what} ended in {outcome_text(outcome)}"
    return None


def run_batch(settings, seed, batch, calls, progress_path):
    ctx = Context(settings)
    abort_at = settings.get("abort_at")  # proves that the parent reports a crash
    progress = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    counts, violations = {}, []
    for index in range(calls):
        os.write(progress, b"%d\n" % index)
        if index == abort_at:
            os.abort()
        case = make_case(seed, batch, index, ctx)
        ctx.nested.clear()
        outcome = run(case)
        verdict = judge(case, outcome) or judge_nested(ctx)
        key = f"{case.target}: {outcome_name(outcome)}"
        counts[key] = counts.get(key, 0) + 1
        if outcome[0] == "ok" and type(outcome[1]) in (vornex.Selector, vornex.Auth):
            ctx.keep(outcome[1])
        if verdict is not None:
            violations.append({"target": case.target, "call": short(case.expr, 400), "got": outcome_text(outcome),
                               "reason": short(verdict, 400), "index": index})
        del case, outcome
        if index % 500 == 499:
            gc.collect()
    os.close(progress)
    return {"calls": calls, "counts": counts, "violations": violations}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["batch", "replay"])
    parser.add_argument("--settings", required=True)
    parser.add_argument("--seed", required=True)
    parser.add_argument("--batch", type=int, required=True)
    parser.add_argument("--calls", type=int, default=1)
    parser.add_argument("--call", type=int, default=0)
    parser.add_argument("--progress", default=os.devnull)
    options = parser.parse_args()
    with open(options.settings) as f:
        settings = json.load(f)
    faulthandler.enable()
    if options.mode == "batch":
        summary = run_batch(settings, options.seed, options.batch, options.calls, options.progress)
        sys.stdout.write(json.dumps(summary) + "\n")
        sys.stdout.flush()
        return
    ctx = Context(settings)
    case = make_case(options.seed, options.batch, options.call, ctx)
    print(f"{case.target}: {case.expr}", flush=True)  # first, in case the call crashes
    print("  expected:", " or ".join(repr(s) for s in case.specs), flush=True)
    outcome = run(case)
    print("  got:", outcome_text(outcome), "->", judge(case, outcome) or "fine")


if __name__ == "__main__":
    main()
