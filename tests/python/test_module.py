"""The module's import, its names and its exception hierarchy."""

import importlib
import sys

import pytest

import vornex

ERRORS = ["VornexError", "NotFound", "PermissionDenied", "ConflictError", "ValidationError", "IdentityError"]


def test_all_lists_names_in_order():
    assert vornex.__all__ == ["Auth", "Selector", "Vault"] + ERRORS
    for name in vornex.__all__:
        assert getattr(vornex, name) is not None


def test_module_doc_names_the_api():
    for name in vornex.__all__:
        assert name in vornex.__doc__, name


def test_module_file_uses_stable_abi():
    assert vornex.__file__.endswith(".abi3.so")


def test_base_error_derives_from_exception():
    assert vornex.VornexError.__bases__ == (Exception,)


@pytest.mark.parametrize("name", ERRORS[1:])
def test_each_error_derives_only_from_vornex_error(name):
    cls = getattr(vornex, name)
    assert cls.__bases__ == (vornex.VornexError,)
    for other in ERRORS[1:]:
        if other != name:
            assert not issubclass(cls, getattr(vornex, other))


@pytest.mark.parametrize("name", ERRORS)
def test_error_names_and_doc(name):
    cls = getattr(vornex, name)
    assert cls.__module__ == "vornex"
    assert cls.__qualname__ == name
    assert f"{cls.__module__}.{cls.__qualname__}" == f"vornex.{name}"
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", ERRORS)
def test_errors_carry_their_message(name):
    cls = getattr(vornex, name)
    with pytest.raises(vornex.VornexError) as info:
        raise cls("secret is missing")
    assert str(info.value) == "secret is missing"
    assert info.value.args == ("secret is missing",)


def test_reimport_yields_the_same_classes():
    before = {name: getattr(vornex, name) for name in ["Auth", "Selector", "Vault"] + ERRORS}
    del sys.modules["vornex"]
    again = importlib.import_module("vornex")
    assert again is not vornex
    assert again.__all__ == ["Auth", "Selector", "Vault"] + ERRORS
    for name in ["Auth", "Selector", "Vault"] + ERRORS:
        assert getattr(again, name) is before[name]
