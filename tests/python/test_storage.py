"""The storage under other threads and processes: writes while other
threads change the environment, a process that opens and writes while two
others write without pause, and a write over a vault file replaced by an
older copy."""

import os
import subprocess
import sys

import pytest

import vornex

# Writer threads share one Vault while other threads change os.environ
# without pause. Each new value is a new string in the C library's
# environment, whose array moves and is freed under anything reading it
# then; a write runs without the interpreter lock, so it must read nothing
# from the environment.
ENV_CHURN = r"""
import os, sys, threading
import vornex

vault = vornex.Vault(sys.argv[1], auth=vornex.Auth.from_invite(sys.argv[2]))
done = threading.Event()

def churn(k):
    names = ["VX_CHURN_%d_%d" % (k, i) for i in range(64)]
    turn = 0
    while not done.is_set():
        turn += 1
        for name in names:
            os.environ[name] = str(turn)
        for name in names:
            del os.environ[name]

def write(k):
    for i in range(20):
        vault.set("app/t%d" % k, str(i))

churners = [threading.Thread(target=churn, args=(k,)) for k in range(2)]
writers = [threading.Thread(target=write, args=(k,)) for k in range(4)]
for t in churners + writers:
    t.start()
for t in writers:
    t.join()
done.set()
for t in churners:
    t.join()
print(" ".join(vault.get("app/t%d" % k) for k in range(4)))
"""


def test_writes_while_other_threads_change_the_environment(make_workspace, tmp_path):
    # Where a write reads the environment, nine runs in ten end in a crash;
    # four in a row make a pass by chance unlikely enough. Each run has a
    # fresh workspace and state directory, so that all take the same time.
    for run in range(4):
        base = tmp_path / f"run{run}"
        workspace = make_workspace(workspace=str(base / "ws"), state_dir=str(base / "state"))
        env = dict(os.environ, VORNEX_STATE_DIR=str(base / "state"))
        done = subprocess.run([sys.executable, "-c", ENV_CHURN, workspace.path, workspace.invite_text("alice")],
                              capture_output=True, text=True, env=env)
        assert (done.returncode, done.stdout) == (0, "19 19 19 19\n"), (run, done.stderr[-2000:])


# Writes in a loop until the stop file appears (or a count runs out), then
# says how many it made.
BUSY_WRITER = r"""
import os, sys
import vornex

vault = vornex.Vault(sys.argv[1], auth=vornex.Auth.from_invite(sys.argv[2]))
name, stop = sys.argv[3], sys.argv[4]
print("ready", flush=True)
count = 0
while count < 100000 and not os.path.exists(stop):
    vault.set("app/" + name, str(count))
    count += 1
print(count, flush=True)
"""

OPEN_AND_WRITE = r"""
import sys
import vornex

vault = vornex.Vault(sys.argv[1], auth=vornex.Auth.from_invite(sys.argv[2]))
vault.set("app/third", sys.argv[3])
print(vault.get("app/third"))
"""


def test_a_third_process_gets_in_between_two_busy_writers(workspace, tmp_path):
    stop = tmp_path / "stop"
    args = [workspace.path, workspace.invite_text("alice")]
    busy = [subprocess.Popen([sys.executable, "-c", BUSY_WRITER, *args, name, str(stop)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
            for name in ("one", "two")]
    try:
        for writer in busy:
            assert writer.stdout.readline() == "ready\n"
        for round in range(3):
            # Opening takes the root-state lock three times and the write
            # both locks; each must be had within its 10 s.
            done = subprocess.run([sys.executable, "-c", OPEN_AND_WRITE, *args, str(round)], capture_output=True,
                                  text=True)
            assert (done.returncode, done.stdout) == (0, f"{round}\n"), (round, done.stderr[-2000:])
            assert all(writer.poll() is None for writer in busy), round
    finally:
        stop.touch()
        outcomes = [writer.communicate() for writer in busy]
    for writer, (out, err) in zip(busy, outcomes):
        assert writer.returncode == 0, err[-2000:]
        assert int(out) > 3, out


# A Vault opened before its vault file was replaced by an older copy finds
# the rollback when it reloads under a write's locks; it refuses to write
# on top, as opening refuses such a vault, and writes nothing.
WRITES = {
    "set": lambda v: v.set("app/other", "2"),
    "set_field": lambda v: v.set_field("app/db", "port", "1"),
    "delete": lambda v: v.delete("app/db"),
    "delete_field": lambda v: v.delete_field("app/db", "host"),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_write_over_a_rolled_back_vault_is_refused(workspace, write):
    vault = workspace.open("alice")
    older = workspace.vault_bytes()
    vault.set("app/new", "1")
    workspace.vault_file.write_bytes(older)
    message = "vault has 1 unresolved conflict; resolve them before using the Vornex Python SDK"
    with pytest.raises(vornex.ConflictError) as refused:
        write(vault)
    assert str(refused.value) == message
    assert workspace.vault_bytes() == older
    assert not any(name.endswith(".tmp") or ".tmp." in name for name in os.listdir(workspace.path))
    with pytest.raises(vornex.ConflictError) as opening:
        workspace.open("alice")
    assert str(opening.value) == message
