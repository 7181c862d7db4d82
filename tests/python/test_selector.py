"""The Selector class: construction and its checks, getters, str and repr."""

import pytest

import vornex

Selector = vornex.Selector
PATH_MESSAGE = "selector path must contain at least one non-empty segment"
LABELS_MESSAGE = "selector label names and values must be non-empty"


@pytest.mark.parametrize(
    "args, kwargs, cls, message",
    [
        ((["a", ""],), {}, vornex.VornexError, PATH_MESSAGE),
        (([],), {}, vornex.VornexError, PATH_MESSAGE),
        (((),), {}, vornex.VornexError, PATH_MESSAGE),
        ((["a"], {"": "x"}), {}, vornex.VornexError, LABELS_MESSAGE),
        ((["a"], {"x": ""}), {}, vornex.VornexError, LABELS_MESSAGE),
        # The path is checked before the labels, after both conversions.
        (([], {"": ""}), {}, vornex.VornexError, PATH_MESSAGE),
        (([], 5), {}, TypeError, "labels"),
        (("ab",), {}, TypeError, "path"),
        ((["a", 1],), {}, TypeError, "path"),
        ((None,), {}, TypeError, "path"),
        ((), {}, TypeError, "path"),
        ((["a"], [("k", "v")]), {}, TypeError, "labels"),
        ((["a"], {"k": 1}), {}, TypeError, "labels"),
        ((["a"], {1: "v"}), {}, TypeError, "labels"),
        # Text with a lone surrogate has no UTF-8: the argument's own error.
        ((["a", "\ud800"],), {}, TypeError, "path"),
        ((["a"], {"k": "\udfff"}), {}, TypeError, "labels"),
        ((["a"], {"\ud800": "\udc00"}), {}, TypeError, "labels"),
        ((["a"], {}, 1), {}, TypeError, None),
        ((), {"path": ["a"], "other": 1}, TypeError, None),
    ],
)
def test_construction_refusals(args, kwargs, cls, message):
    with pytest.raises(cls) as info:
        Selector(*args, **kwargs)
    assert type(info.value) is cls
    if cls is TypeError:
        if message:
            assert f"'{message}'" in str(info.value)
    else:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "args, path, labels, text, shown",
    [
        ((["app", "db"],), ("app", "db"), {}, "app/db", 'Selector(["app", "db"])'),
        ((("app",), None), ("app",), {}, "app", 'Selector(["app"])'),
        ((["app"], {}), ("app",), {}, "app", 'Selector(["app"])'),
        ((["app", "db"], {"env": "prod"}), ("app", "db"), {"env": "prod"}, "app/db@env=prod",
         'Selector(["app", "db"], labels={"env": "prod"})'),
        ((["a"], {"b": "2", "a": "1"}), ("a",), {"a": "1", "b": "2"}, "a@a=1&b=2",
         'Selector(["a"], labels={"a": "1", "b": "2"})'),
        ((["a/b", "c"],), ("a/b", "c"), {}, '"a/b"/c', 'Selector(["a/b", "c"])'),
        ((["a b", "!x", 'q"\\'], {"=": "&"}), ("a b", "!x", 'q"\\'), {"=": "&"}, 'a b/"!x"/"q\\"\\\\"@"="="&"',
         'Selector(["a b", "!x", "q\\"\\\\"], labels={"=": "&"})'),
        ((["t\tn\nz\x00\x01\u00e9"],), ("t\tn\nz\x00\x01\u00e9",), {}, "t\tn\nz\x00\x01\u00e9",
         'Selector(["t\\tn\\nz\\0\\u{1}\u00e9"])'),
    ],
)
def test_values(args, path, labels, text, shown):
    selector = Selector(*args)
    assert selector.path == path and type(selector.path) is tuple
    assert selector.labels == labels and list(selector.labels) == sorted(labels)
    assert str(selector) == text
    assert repr(selector) == shown


def test_keywords_and_identity():
    one = Selector(path=["a"], labels={"k": "v"})
    two = Selector(["a"], labels={"k": "v"})
    assert one != two and one == one
    assert str(one) == str(two)
    # Getters hand out new objects: changing them changes nothing.
    one.labels["k"] = "w"
    assert one.labels == {"k": "v"}
    with pytest.raises(AttributeError):
        one.path = ("b",)


class Reads:
    """A path sequence whose __len__ or __getitem__ raises."""

    def __init__(self, failure, in_len):
        self.failure, self.in_len = failure, in_len

    def __len__(self):
        if self.in_len:
            raise self.failure
        return 2

    def __getitem__(self, index):
        if index == 1:
            raise self.failure
        return "a"


@pytest.mark.parametrize("in_len", [True, False], ids=["__len__", "__getitem__"])
@pytest.mark.parametrize("failure, cls", [(ValueError("x"), TypeError), (LookupError("x"), TypeError),
                                          (KeyboardInterrupt(), KeyboardInterrupt), (SystemExit(2), SystemExit)])
def test_a_path_that_fails_to_read(failure, cls, in_len):
    # An ordinary failure makes the object no sequence of str; an interrupt
    # or an exit request goes on as it is.
    with pytest.raises(cls) as info:
        Selector(Reads(failure, in_len))
    assert type(info.value) is cls
    if cls is TypeError:
        assert "'path'" in str(info.value)


def test_text_is_kept_as_given():
    # The operations normalise; the Selector gives back what it was given,
    # also names that are one name once normalised.
    selector = Selector(["e\u0301", "x"], {"caf\u00e9": "1", "cafe\u0301": "2"})
    assert selector.path == ("e\u0301", "x")
    assert list(selector.labels.items()) == [("cafe\u0301", "2"), ("caf\u00e9", "1")]  # by UTF-8 bytes
    assert str(selector) == "e\u0301/x@cafe\u0301=2&caf\u00e9=1"


def test_lone_surrogates_never_leave_a_pending_error():
    # A failed conversion must not start another with its error still set.
    for labels in ({"\ud800": "\udc00"}, {"k": "\ud800", "\ud801": "\udc01"}):
        for _ in range(200):
            with pytest.raises(TypeError):
                Selector(["a"], labels)
