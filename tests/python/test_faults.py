"""Writes under injected I/O faults. A child process runs the module with a
test-only library preloaded (tests/support/faults; scripts/test.sh names it
in VORNEX_FAULT_LIB) that fails the n-th file call of a write with an error
number of the test's choice. For every n across a whole `set`, `set_field`
and `delete`: the next opening succeeds and finds the change either in
place or not made at all, with nothing else lost; the error says
"committed" exactly when the change is in place; an interrupted call is
retried, so the write succeeds; and no write reads process-wide state (the
environment, the current directory, the effective user id, the locale)."""

import errno
import json
import os
import subprocess
import sys

import pytest

# Runs every trial for one error number, one JSON line per trial. The
# opening that checks a trial's outcome is the vault of the next trial.
CHILD = r"""
import ctypes, json, os, sys
import vornex

lib = ctypes.CDLL(os.environ["VORNEX_FAULT_LIB"])
lib.vx_fault_add.argtypes = [ctypes.c_char_p, ctypes.c_long, ctypes.c_int]
for name in ("vx_fault_calls", "vx_fault_fired", "vx_fault_process_reads"):
    getattr(lib, name).restype = ctypes.c_long
for name in ("vx_fault_first_fired", "vx_fault_first_process_read"):
    getattr(lib, name).restype = ctypes.c_char_p

path, invite, error = sys.argv[1], sys.argv[2], int(sys.argv[3])

def open_vault():
    return vornex.Vault(path, auth=vornex.Auth.from_invite(invite))

def state(vault):
    return {str(s): [vault.get(s, as_bytes=True).hex(),
                     {k: v.hex() for k, v in vault.fields(s, as_bytes=True).items()}]
            for s in vault.list()}

def with_field(before, value):
    primary, fields = before["app/db"]
    return {**before, "app/db": [primary, {**fields, "k": value.encode().hex()}]}

# What each write does, and what the vault holds once it is in place.
WRITES = [
    ("set", lambda v, value: v.set("app/t", value),
     lambda before, value: {**before, "app/t": [value.encode().hex(), {}]}),
    ("set_field", lambda v, value: v.set_field("app/db", "k", value), with_field),
    ("delete", lambda v, value: v.delete("app/d"),
     lambda before, value: {k: x for k, x in before.items() if k != "app/d"}),
]

vault = open_vault()
trial = 0
for name, write, wanted in WRITES:
    n = 1
    while True:
        trial += 1
        value = "value %d" % trial
        if name == "delete" and "app/d" not in state(vault):
            vault.set("app/d", "to be deleted")
        before = state(vault)
        lib.vx_fault_reset()
        lib.vx_fault_add(None, n, error)
        lib.vx_fault_arm()
        try:
            write(vault, value)
            failure = None
        except vornex.VornexError as e:
            failure = "%s: %s" % (type(e).__name__, e)
        lib.vx_fault_disarm()
        record = {"write": name, "n": n, "fired": lib.vx_fault_fired(), "calls": lib.vx_fault_calls(),
                  "call": lib.vx_fault_first_fired().decode(), "failure": failure,
                  "process_reads": lib.vx_fault_process_reads(),
                  "process_read": lib.vx_fault_first_process_read().decode()}
        del vault
        try:
            vault = open_vault()
            after = state(vault)
        except vornex.VornexError as e:
            record["open_failure"] = str(e)
            print(json.dumps(record), flush=True)
            sys.exit(1)
        record["open_failure"] = None
        record["in_place"] = after == wanted(before, value)
        record["unchanged"] = after == before
        print(json.dumps(record), flush=True)
        if record["fired"] == 0:
            break
        n += 1
"""


@pytest.fixture(scope="module")
def fault_lib():
    path = os.environ.get("VORNEX_FAULT_LIB")
    if not path:
        pytest.skip("VORNEX_FAULT_LIB is not set: build the target vornex_fault_inject and point the variable at "
                    "it (scripts/test.sh does both)")
    if not os.path.exists(path):
        pytest.skip(f"VORNEX_FAULT_LIB names no file: {path}")
    return path


ERRORS = {"EIO": errno.EIO, "ENOSPC": errno.ENOSPC, "EINTR": errno.EINTR}


def test_every_call_of_a_write_failing(make_workspace, fault_lib, tmp_path):
    # One child per error number, at once, each with a workspace and state
    # directory of its own.
    children = {}
    for name, error in ERRORS.items():
        base = tmp_path / name
        workspace = make_workspace(workspace=str(base / "ws"), state_dir=str(base / "state"),
                                   keychain_dir=str(base / "keychain"))
        env = dict(os.environ, LD_PRELOAD=fault_lib, VORNEX_FAULT_LIB=fault_lib,
                   VORNEX_STATE_DIR=str(base / "state"), VORNEX_KEYCHAIN_DIR=str(base / "keychain"))
        children[name] = subprocess.Popen(
            [sys.executable, "-c", CHILD, workspace.path, workspace.invite_text("alice"), str(error)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    outputs = {name: child.communicate() for name, child in children.items()}
    for name, (stdout, stderr) in outputs.items():
        records = [json.loads(line) for line in stdout.splitlines()]
        assert children[name].returncode == 0, (name, stderr, records[-1:])
        check_trials(name, records)


def check_trials(error, records):
    by_write = {}
    for r in records:
        by_write.setdefault(r["write"], []).append(r)
        trial = f"{error} at {r['write']}'s call {r['n']} ({r['call']}): {r['failure']}"
        assert r["open_failure"] is None, trial
        assert r["in_place"] or r["unchanged"], trial
        assert r["process_reads"] == 0, f"{trial}; read {r['process_read']}"
        said_committed = r["failure"] is None or "committed" in r["failure"]
        assert said_committed == r["in_place"], trial
        if error == "EINTR":
            assert r["failure"] is None, trial
    # Each sweep ran through its whole write: its last trial had nothing
    # left to fail, and it succeeded.
    assert sorted(by_write) == ["delete", "set", "set_field"], error
    for name, trials in by_write.items():
        assert trials[-1]["fired"] == 0 and trials[-1]["in_place"], (error, name)
        assert len(trials) > 40, (error, name)


# A write whose transaction file fails after its rename (its directory
# flush: the fourth flush of a write, after the ratchet's, the vault's and
# its own temporaries') withdraws it: the error claims nothing, and the same
# Vault writes on, instead of refusing its own pending transaction.
SAME_VAULT = r"""
import ctypes, errno, os, sys
import vornex

lib = ctypes.CDLL(os.environ["VORNEX_FAULT_LIB"])
lib.vx_fault_add.argtypes = [ctypes.c_char_p, ctypes.c_long, ctypes.c_int]
lib.vx_fault_fired.restype = ctypes.c_long
vault = vornex.Vault(sys.argv[1], auth=vornex.Auth.from_invite(sys.argv[2]))
lib.vx_fault_reset()
lib.vx_fault_add(b"fsync", 4, errno.EIO)
lib.vx_fault_arm()
try:
    vault.set("app/x", "first")
    print("no failure")
except vornex.VornexError as e:
    print(e)
lib.vx_fault_disarm()
print(lib.vx_fault_fired())
vault.set("app/x", "second")
print(vault.get("app/x"))
"""


def test_a_withdrawn_write_leaves_the_vault_writable(workspace, fault_lib):
    env = dict(os.environ, LD_PRELOAD=fault_lib, VORNEX_FAULT_LIB=fault_lib)
    done = subprocess.run([sys.executable, "-c", SAME_VAULT, workspace.path, workspace.invite_text("alice")],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    failure, fired, value = done.stdout.splitlines()
    state_dir = os.path.dirname(workspace.summary["root_state_lock"])
    assert failure == f"store error: I/O error at {state_dir}: Input/output error (os error 5)"
    assert (fired, value) == ("1", "second")
    assert workspace.open("bob").get("app/x") == "second"
