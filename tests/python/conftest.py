"""Shared fixtures: every test runs in its own directory with its own state,
keychain and home directories, and no invitation in the environment.

Workspaces come from the test writer (tests/support/writer), a C++ tool that
lays out vaults, trust files, keychain files and invitations; its path is
taken from VORNEX_TEST_WRITER, which scripts/test.sh sets."""

import copy
import json
import os
import pathlib
import subprocess
import sys

import pytest

import vornex

PASSPHRASE = "correct horse battery staple"

# Who is who in the standard vault. Seeds are the bytes the writer repeats
# into each master seed.
USERS = {"alice": 2, "bob": 3, "carol": 4, "dave": 5, "stranger": 9}

# alice writes below "app"; bob reads there; carol is a member without any
# grant; dave reads below "app" but got his grant after "app/db" was
# written, so that secret is not sealed to him; stranger is never enrolled.
STANDARD = {
    "users": USERS,
    "records": [
        {"user": "alice", "handle": "alice"},
        {"user": "bob", "handle": "bob"},
        {"user": "carol", "handle": "carol"},
        {"user": "dave", "handle": "dave"},
        {"grant": "write", "to": "alice", "path": ["app"]},
        {"grant": "read", "to": "bob", "path": ["app"]},
        {"secret": "app/db", "value": "hunter2", "fields": {"user": "admin", "host": "db.internal"}},
        {"grant": "read", "to": "dave", "path": ["app"]},
        {"secret": "app/raw", "value_hex": "fffe", "fields_hex": {"blob": "c328", "ok": "6f6b"}},
    ],
    "ratchet": True,
    "keychain": [{"user": name, "passphrase": PASSPHRASE} for name in ("alice", "bob", "carol")],
    "invites": [{"user": name, "baseline": "self"} for name in USERS],
}


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    """The test's own directories and environment."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("VORNEX_STATE_DIR", str(tmp_path / "state"))
    monkeypatch.setenv("VORNEX_KEYCHAIN_DIR", str(tmp_path / "keychain"))
    monkeypatch.setenv("HOME", str(home))
    for name in ("VORNEX_UNSAFE_INVITE", "VORNEX_UNSAFE_INVITE_FILE", "XDG_STATE_HOME", "XDG_DATA_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(tmp_path)
    return tmp_path


class Workspace:
    """A laid-out workspace and what the writer reported about it."""

    def __init__(self, summary):
        self.summary = summary
        self.path = summary["vornex_dir"]
        self.vault_file = pathlib.Path(summary["vault"])

    def user_id(self, name):
        return self.summary["users"][name]["id"]

    def invite_text(self, name):
        return self.summary["invites"][name]["text"]

    def invite_bytes(self, name):
        return bytes.fromhex(self.summary["invites"][name]["binary"])

    def vault_bytes(self):
        return self.vault_file.read_bytes()

    def open(self, name="alice", **kwargs):
        """The vault opened by `name`'s text invitation."""
        return vornex.Vault(self.path, auth=vornex.Auth.from_invite(self.invite_text(name)), **kwargs)

    def open_keychain(self, user=None, passphrase=PASSPHRASE):
        return vornex.Vault(self.path, auth=vornex.Auth.from_keychain(user, passphrase=passphrase))


@pytest.fixture(scope="session")
def writer_path():
    path = os.environ.get("VORNEX_TEST_WRITER")
    if not path:
        pytest.skip("VORNEX_TEST_WRITER is not set: build the target vornex_test_writer and point the "
                    "variable at it (scripts/test.sh does both)")
    if not os.access(path, os.X_OK):
        pytest.skip(f"VORNEX_TEST_WRITER names no executable: {path}")
    return path


def run_writer(writer_path, description):
    done = subprocess.run([writer_path], input=json.dumps(description), capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"the test writer failed: {done.stderr.strip()}")
    return json.loads(done.stdout)


@pytest.fixture
def make_workspace(writer_path, tmp_path):
    """Lays out a workspace from a description; the directories default to
    the test's own, as the environment names them."""

    def make(description=None, **changes):
        wanted = copy.deepcopy(STANDARD if description is None else description)
        wanted.update(changes)
        wanted.setdefault("workspace", str(tmp_path / "ws"))
        wanted.setdefault("state_dir", os.environ["VORNEX_STATE_DIR"])
        wanted.setdefault("keychain_dir", os.environ["VORNEX_KEYCHAIN_DIR"])
        return Workspace(run_writer(writer_path, wanted))

    return make


@pytest.fixture
def workspace(make_workspace):
    """The standard vault."""
    return make_workspace()


def with_records(*extra, base=STANDARD, **changes):
    """The standard description with more records after its own."""
    description = copy.deepcopy(base)
    description["records"] = description["records"] + list(extra)
    description.update(changes)
    return description


HOLD_LOCK = """
import fcntl, sys
f = open(sys.argv[1], "a")
fcntl.flock(f, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.readline()
"""


class LockHolder:
    """Another process that holds a lock file until released."""

    def __init__(self, path):
        self.process = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, path], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline() == "held\n"

    def release(self):
        if self.process.poll() is None:
            self.process.stdin.write("\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)


# What the reliability suites did (trials, kills, timeouts, known faults),
# printed at the end of the run so that CI logs show it.
_REPORT = []


@pytest.fixture
def report():
    """Adds a line to the end-of-run summary."""
    return _REPORT.append


def pytest_terminal_summary(terminalreporter):
    if _REPORT:
        terminalreporter.section("reliability suites")
        for line in _REPORT:
            terminalreporter.write_line(line)
