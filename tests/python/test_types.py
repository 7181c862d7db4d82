"""The module's types: the stub installed with it is the one in the source
tree, and a type checker finds it and reads the calls' results from it.
(scripts/test.sh also checks the stub against the module with stubtest.)"""

import pathlib
import subprocess
import sys

import pytest

import vornex

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "py" / "vornex.pyi"

# What a program sees of the API, and what the checker must make of it.
PROGRAM = """
import vornex
vault = vornex.Vault(".vornex", auth=vornex.Auth.from_invite("vrnx1..."))
reveal_type(vault.get("app/db"))
reveal_type(vault.get("app/db", as_bytes=True))
reveal_type(vault.fields(vornex.Selector(["app", "db"])))
reveal_type(vault.list())
reveal_type(vornex.Selector(["app"]).labels)
with vault as same:
    reveal_type(same)
vault.get(42)
vault.set("app/db", 3.5)
"""

REVEALED = [
    'Revealed type is "str"',
    'Revealed type is "bytes"',
    'Revealed type is "dict[str, str]"',
    'Revealed type is "list[vornex.Selector]"',
    'Revealed type is "dict[str, str]"',
    'Revealed type is "vornex.Vault"',
]


def installed():
    site = pathlib.Path(vornex.__file__).parent
    stubs = [site / "vornex.pyi", site / "vornex-stubs" / "__init__.pyi"]
    if not all(stub.exists() for stub in stubs):
        pytest.skip("the module was not installed with its stub (pip install .)")
    return stubs


def test_installed_stubs_are_the_source():
    for stub in installed():
        assert stub.read_bytes() == SOURCE.read_bytes(), stub
    assert (pathlib.Path(vornex.__file__).parent / "vornex-stubs" / "py.typed").exists()


def test_a_type_checker_reads_the_api(tmp_path):
    pytest.importorskip("mypy")
    installed()
    program = tmp_path / "program.py"
    program.write_text(PROGRAM)
    done = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), str(program)],
                          capture_output=True, text=True, cwd=tmp_path)
    lines = done.stdout.splitlines()
    # Older checkers name builtins in full.
    revealed = [line.split("note: ", 1)[1].replace("builtins.", "") for line in lines if "Revealed type" in line]
    assert revealed == REVEALED, done.stdout
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 2 and "get" in errors[0] and "set" in errors[1], done.stdout
