"""Processes and threads (sharing one Vault, or with one each) writing at
once: their own secrets, their own fields of one shared secret, and one hot
secret that all of them set and delete under different spellings.
Afterwards every acknowledged change that no later write replaced is in the
vault, which opens and validates with no conflict.

A write that gives up waiting for the lock is not acknowledged: it is
counted and printed, and must have changed nothing. VORNEX_WRITERS_WRITES
(writes per thread) and VORNEX_WRITERS_SEED choose how far it goes."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import workers
from conftest import PASSPHRASE

WRITES = int(os.environ.get("VORNEX_WRITERS_WRITES", "8"))
SEED = os.environ.get("VORNEX_WRITERS_SEED", "vornex-writers-1")
PROGRAM = str(pathlib.Path(workers.__file__))
ALL = ["own", "fields", "hot"]

# (processes, threads in each, whether a process's threads share one Vault,
# what they write)
CONFIGS = {
    "processes": (4, 1, False, ALL),
    "threads sharing one Vault": (1, 4, True, ALL),
    "threads with a Vault each": (1, 4, False, ALL),
    "processes of threads sharing a Vault": (3, 3, True, ALL),
    "processes of threads with a Vault each": (3, 3, False, ALL),
    "hot writers": (8, 1, False, ["hot"]),
}

FIELDS, HOT = "app/many/fields", "app/many/hot"


def start(workspace, tmp_path, config):
    processes, threads, shared, kinds = config
    children = []
    for p in range(processes):
        settings = {"vault_dir": workspace.path, "process": p, "threads": threads, "shared": shared,
                    "kinds": kinds, "writes": WRITES, "seed": SEED, "log": str(tmp_path / f"log.{p}")}
        # Half the processes open by the keychain, half by invitation.
        if p % 2:
            settings.update(user="alice", passphrase=PASSPHRASE)
        else:
            settings["invite"] = workspace.invite_text("alice")
        children.append(subprocess.Popen([sys.executable, PROGRAM, "many", json.dumps(settings)],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         text=True))
    for child in children:
        line = child.stdout.readline()
        assert line == "ready\n", child.communicate()[1]
    for child in children:  # all at once, once every vault is open
        child.stdin.write("go\n")
        child.stdin.flush()
    for child in children:
        out, err = child.communicate()
        assert child.returncode == 0, err
    logs = {}
    for p in range(processes):
        data = json.loads((tmp_path / f"log.{p}").read_text())
        assert data["failures"] == []
        logs.update({f"{p}.{t}": log for t, log in enumerate(data["logs"])})
    return logs


def replay(entries, state=None):
    for entry in entries:
        if entry["outcome"] == "ok":
            state = workers.apply(state, entry)
    return state


def check_hot(entries, found):
    """The hot secret holds the outcome of an acknowledged write that no
    write begun after it returned replaced."""
    acked = [e for e in entries if e["outcome"] == "ok"]
    if not acked:
        return None if found == ("initial", {}) else f"holds {found!r} though no write to it was acknowledged"
    if found is None:
        made = [e for e in acked if e["op"] == "delete"]
    else:
        made = [e for e in acked if e["op"] == "set" and (e["value"], {}) == found]
    if not made:
        return f"holds {found!r}, which no acknowledged write made"
    if not any(all(later["start"] < e["end"] for later in acked) for e in made):
        return f"holds {found!r}, although a write begun after that write returned was acknowledged"
    return None


@pytest.mark.parametrize("config", CONFIGS.values(), ids=CONFIGS.keys())
def test_concurrent_writers_lose_nothing(workspace, tmp_path, report, config):
    setup = workspace.open("alice")
    setup.set(FIELDS, "base")
    setup.set(HOT, "initial")
    logs = start(workspace, tmp_path, config)
    vault = workspace.open("alice")  # validates, and refuses a vault with conflicts

    everything = [e for log in logs.values() for e in log]
    errors = [e["error"] for e in everything if e["outcome"] == "error"]
    timeouts = sum(e["outcome"] == "timeout" for e in everything)
    problems = [f"a write failed: {error}" for error in errors]
    fields = {}
    for name, log in logs.items():
        for item in (f"app/many/{name}/{i}" for i in range(2)):
            want = replay(e for e in log if e["item"] == item)
            got = workers.read_state(vault, item)
            if got != want:
                problems.append(f"{item}: holds {got!r}, its writer's acknowledged writes give {want!r}")
        # Each thread's own fields of the shared secret.
        mine = replay((e for e in log if e["item"] == FIELDS), ("base", {}))
        fields.update(mine[1])
    if workers.read_state(vault, FIELDS) != ("base", fields):
        problems.append(f"{FIELDS}: holds {workers.read_state(vault, FIELDS)!r}, the acknowledged writes give "
                        f"{('base', fields)!r}")
    hot = check_hot([e for e in everything if e["item"] == HOT], workers.read_state(vault, HOT))
    if hot:
        problems.append(f"{HOT}: {hot}")
    acked = sum(e["outcome"] == "ok" for e in everything)
    processes, threads, shared, _ = config
    report(f"many writers, {processes} processes x {threads} threads{' (shared Vault)' if shared else ''}: "
           f"{len(everything)} writes, {acked} acknowledged, {timeouts} timed out on the lock")
    assert not problems, "\n".join(problems)


def _hot(op, value, start, end, outcome="ok"):
    return {"op": op, "item": HOT, "value": value, "start": start, "end": end, "outcome": outcome}


# The judge of the hot secret on made-up logs: (writes, what the vault
# holds, a piece of the complaint or None).
HOT_JUDGED = {
    "the last write": ([_hot("set", "a", 0, 10), _hot("set", "b", 20, 30)], ("b", {}), None),
    "a write replaced by one begun after it": ([_hot("set", "a", 0, 10), _hot("set", "b", 20, 30)], ("a", {}),
                                               "begun after"),
    "overlapping writes, either order": ([_hot("set", "a", 0, 30), _hot("set", "b", 10, 20)], ("a", {}), None),
    "a value never written": ([_hot("set", "a", 0, 10)], ("z", {}), "no acknowledged write"),
    "a write that timed out": ([_hot("set", "a", 0, 10), _hot("set", "b", 20, 30, "timeout")], ("b", {}),
                               "no acknowledged write"),
    "deleted last": ([_hot("set", "a", 0, 10), _hot("delete", "x", 20, 30)], None, None),
    "every write lost": ([_hot("set", "a", 0, 10)], ("initial", {}), "no acknowledged write"),
    "fields where a set leaves none": ([_hot("set", "a", 0, 10)], ("a", {"k": "v"}), "no acknowledged write"),
}


@pytest.mark.parametrize("entries, found, complaint", HOT_JUDGED.values(), ids=HOT_JUDGED.keys())
def test_the_hot_secret_judge(entries, found, complaint):
    verdict = check_hot(entries, found)
    assert verdict is None if complaint is None else complaint in verdict
