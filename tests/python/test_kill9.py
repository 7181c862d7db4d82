"""Writers killed with SIGKILL at random moments, in their commits and while
other processes open (and so recover) the vault. After each round the vault
opens and validates, holds every acknowledged write (or a later write of the
same secret), and nothing half written: each secret is exactly what some
sequence of its logged writes gives.

VORNEX_KILL_ROUNDS (rounds) and VORNEX_KILL_SEED choose how far it goes."""

import json
import os
import pathlib
import random
import subprocess
import sys
import time

import pytest

import vornex
import workers
from conftest import PASSPHRASE

ROUNDS = int(os.environ.get("VORNEX_KILL_ROUNDS", "40"))
SEED = os.environ.get("VORNEX_KILL_SEED", "vornex-kill-1")
PROGRAM = str(pathlib.Path(workers.__file__))
SLOTS = 3  # writers at most at once; each has its own secrets


def items_of(slot):
    return [f"app/kill/w{slot}/a", f"app/kill/w{slot}/b@env=prod", f'app/kill/w{slot}/"c/d"']


class Child:
    """A child program of workers.py, in a session of its own."""

    def __init__(self, mode, settings):
        self.process = subprocess.Popen([sys.executable, PROGRAM, mode, json.dumps(settings)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, start_new_session=True)

    def wait_ready(self):
        line = self.process.stdout.readline()
        if line != "ready\n":
            _, err = self.process.communicate()
            raise AssertionError(f"a child failed before it was ready: {line}{err}")

    def go(self):
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def kill(self):
        """SIGKILL; True when that ended it, False when it had finished."""
        self.process.kill()
        out, err = self.process.communicate()
        if self.process.returncode == -9:
            return True
        assert self.process.returncode == 0, f"a child failed on its own: {out}{err}"
        return False


class Disk:
    """What a commit leaves behind: the transaction file and temporary
    siblings, in the state directory and the workspace."""

    def __init__(self, workspace):
        self.state_root = pathlib.Path(workspace.summary["ratchet"]).parent
        self.dirs = [pathlib.Path(workspace.path), self.state_root]
        self.files = [workspace.vault_file, self.state_root / "ratchet.cord"]
        self.seen = set()

    def pending(self):
        return (self.state_root / "transaction.cord").exists()

    def new_temporaries(self):
        found = {p for d in self.dirs for p in d.rglob("*") if ".tmp." in p.name}
        new = found - self.seen
        self.seen |= found
        return len(new)

    def contents(self):
        return [f.read_bytes() if f.exists() else None for f in self.files]


def freeze(state):
    return None if state is None else (state[0], tuple(sorted(state[1].items())))


def check_writer(ops, baseline, vault, counts):
    """Each secret against its writer's log: the result of its acknowledged
    writes in order, each write with no outcome either in or out."""
    problems = []
    for item, before in baseline.items():
        candidates = {freeze(before): before}
        unknown = None
        for op in (o for o in ops if o["item"] == item):
            moved = {}
            for state in candidates.values():
                after = workers.apply(state, op)
                if op["outcome"] in ("ok", "applied"):
                    moved[freeze(after)] = after
                elif op["outcome"] == "failed":
                    moved[freeze(state)] = state
                else:
                    moved[freeze(state)] = state
                    moved[freeze(after)] = after
                    unknown = (state, after)
            candidates = moved
        found = workers.read_state(vault, item)
        if freeze(found) not in candidates:
            problems.append(f"{item}: holds {found!r}, which no sequence of its logged writes gives "
                            f"(possible: {list(candidates.values())!r})")
        elif unknown and freeze(unknown[0]) != freeze(unknown[1]) and freeze(found) == freeze(unknown[1]):
            counts["in-flight writes that landed"] += 1
        baseline[item] = found
    return problems


COUNTS = ["writers killed", "killed in a write", "in-flight writes that landed", "transaction left by a kill",
          "temporary files left", "openers killed", "openers killed with a transaction pending",
          "openers killed before completing it", "openers killed part-way through it",
          "transactions completed by an opening by invitation", "acknowledged writes", "failed writes"]


def run_writers(rng, settings, disk, counts):
    """Writers on their own secrets, each killed at a random moment."""
    writers = [Child("writer", s) for s in settings]
    for child in writers:
        child.wait_ready()
    for child in writers:
        child.go()
    # The moment of each kill is random; the time is not what is tested.
    time.sleep(rng.uniform(0, 0.3))
    staggered = rng.random() < 0.3
    for child in writers:
        counts["writers killed"] += child.kill()
        if staggered:
            time.sleep(rng.uniform(0, 0.1))
    counts["transaction left by a kill"] += disk.pending()
    counts["temporary files left"] += disk.new_temporaries()


def run_openers(rng, roads, disk, counts):
    """Openers killed while they may be completing a pending transaction."""
    for _ in range(rng.randint(1, 3)):
        was_pending, before = disk.pending(), disk.contents()
        child = Child("opener", rng.choice(roads))
        child.wait_ready()
        # Recovery comes first in an opening, and is short.
        time.sleep(rng.uniform(0, rng.choice([0.005, 0.03])))
        if child.kill():
            counts["openers killed"] += 1
            counts["openers killed with a transaction pending"] += was_pending
            # Still pending: killed before it completed the transaction,
            # perhaps after writing part of it.
            still = was_pending and disk.pending()
            counts["openers killed before completing it"] += still
            counts["openers killed part-way through it"] += still and disk.contents() != before
            counts["temporary files left"] += disk.new_temporaries()


def test_writers_killed_at_random_moments(workspace, tmp_path, report):
    rng = random.Random(SEED)
    disk = Disk(workspace)
    # Each child opens by the keychain or by invitation: both complete a
    # pending transaction.
    roads = [{"vault_dir": workspace.path, "user": "alice", "passphrase": PASSPHRASE},
             {"vault_dir": workspace.path, "invite": workspace.invite_text("alice")}]
    baseline = {item: None for slot in range(SLOTS) for item in items_of(slot)}
    counts = dict.fromkeys(COUNTS, 0)
    # ROUNDS rounds, and more (up to three times as many) until kills have
    # landed inside commits and inside recoveries: how often they do
    # depends on how long this disk takes over a commit.
    rounds = 0
    while rounds < 3 * ROUNDS and (rounds < ROUNDS or not enough(counts)):
        slots = sorted(rng.sample(range(SLOTS), rng.choice([1, 2, 2, 3])))
        logs = {slot: tmp_path / f"log.{rounds}.{slot}" for slot in slots}
        run_writers(rng, [{**rng.choice(roads), "items": items_of(slot), "seed": f"{SEED}:{rounds}:{slot}",
                           "tag": f"r{rounds}w{slot}", "log": str(logs[slot])} for slot in slots], disk, counts)
        if rng.random() < (0.8 if disk.pending() else 0.2):
            run_openers(rng, roads, disk, counts)

        # Opening recovers, validates, and refuses a vault with conflicts.
        pending, by_invitation = disk.pending(), rng.random() < 0.5
        vault = workspace.open("alice") if by_invitation else workspace.open_keychain("alice")
        assert not disk.pending()
        counts["transactions completed by an opening by invitation"] += pending and by_invitation
        problems = []
        for slot in slots:
            ops, unexpected = workers.read_log(logs[slot])
            problems += [f"writer {slot}: unexpected failure {u}" for u in unexpected]
            counts["killed in a write"] += bool(ops) and ops[-1]["outcome"] == "unknown"
            counts["acknowledged writes"] += sum(o["outcome"] == "ok" for o in ops)
            counts["failed writes"] += sum(o["outcome"] == "failed" for o in ops)
            mine = {item: baseline[item] for item in items_of(slot)}
            problems += check_writer(ops, mine, vault, counts)
            baseline.update(mine)
        assert not problems, f"round {rounds}:\n" + "\n".join(problems)
        rounds += 1

    # Everyone else reads the same.
    reader = workspace.open("bob")
    for item, state in baseline.items():
        assert freeze(workers.read_state(reader, item)) == freeze(state), item
    report(f"kill -9: {rounds} rounds (seed {SEED!r}): " + ", ".join(f"{v} {k}" for k, v in counts.items()))
    assert enough(counts)


def enough(counts):
    """Kills landed inside commits (past the commit point: a transaction
    left behind, or a write never acknowledged that landed) and openers
    were killed while a transaction waited for them."""
    return (counts["killed in a write"] > 0
            and counts["transaction left by a kill"] + counts["in-flight writes that landed"] > 0
            and counts["openers killed with a transaction pending"] > 0)


class _Held:
    """A vault that holds the given states."""

    def __init__(self, states):
        self.states = states

    def get(self, item):
        if self.states.get(item) is None:
            raise vornex.NotFound(item)
        return self.states[item][0]

    def fields(self, item):
        self.get(item)
        return self.states[item][1]


def _op(op, outcome, value=None, key=None):
    return {"item": "s", "op": op, "outcome": outcome, "value": value, "key": key}


# The judge of a writer's secrets on made-up logs: (state before, the log,
# what the vault holds, a complaint expected, whether an unacknowledged
# write landed).
WRITER_JUDGED = {
    "acknowledged writes in order": (None, [_op("set", "ok", "a"), _op("set_field", "ok", "b", "k")],
                                     ("a", {"k": "b"}), False, False),
    "an acknowledged write lost": (None, [_op("set", "ok", "a"), _op("set_field", "ok", "b", "k")], ("a", {}),
                                   True, False),
    "a write killed before it landed": (("a", {}), [_op("set_field", "unknown", "b", "k")], ("a", {}), False, False),
    "a write killed after it landed": (("a", {}), [_op("set_field", "unknown", "b", "k")], ("a", {"k": "b"}), False,
                                       True),
    "half a write: the new value with the old fields": (("a", {"k": "b"}), [_op("set", "unknown", "c")],
                                                        ("c", {"k": "b"}), True, False),
    "a refused write that landed": (("a", {}), [_op("delete", "failed")], None, True, False),
    "a write failed after its commit point": (("a", {}), [_op("delete", "applied")], None, False, False),
    "a value never written": (None, [_op("set", "ok", "a")], ("b", {}), True, False),
}


@pytest.mark.parametrize("before, ops, held, complains, landed", WRITER_JUDGED.values(), ids=WRITER_JUDGED.keys())
def test_the_writer_judge(before, ops, held, complains, landed):
    counts = {"in-flight writes that landed": 0}
    baseline = {"s": before}
    problems = check_writer(ops, baseline, _Held({"s": held}), counts)
    assert bool(problems) == complains
    assert counts["in-flight writes that landed"] == landed
    assert baseline["s"] == held
