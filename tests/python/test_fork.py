"""A child made by fork uses the Vaults it inherited, whatever the parent's
other threads were doing with them at the fork: reading, writing, or
nothing. Each scenario runs in a process of its own, so that a child that
hangs is found and killed instead of hanging the suite."""

import os
import subprocess
import sys

import pytest

# The parent's thread works on the same Vault while the main thread forks;
# each child reads, writes and reads again on the inherited Vault, checks
# that the write is what a fresh opening finds, and exits. A child still
# running after HANG_SECONDS is taken to hang: it is killed and counted.
FORKS = """
import os, sys, threading, time, vornex
path, invite, work, forks, hang = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
auth = vornex.Auth.from_invite(invite)
vault = vornex.Vault(path, auth=auth)
stop = threading.Event()
def busy():
    i = 0
    while not stop.is_set():
        if work == "reads":
            vault.get("app/db")
            vault.list("app")
        else:
            vault.set("app/busy", str(i))
        i += 1
thread = threading.Thread(target=busy)
thread.start()
hung = failed = 0
for n in range(forks):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            before = vault.get("app/db")
            vault.set("app/child", f"child {n}")
            ok = (vault.get("app/child") == f"child {n}" and before == "hunter2"
                  and vornex.Vault(path, auth=auth).get("app/child") == f"child {n}")
            with vault:
                pass
            code = 0 if ok else 2
        finally:
            os._exit(code)
    deadline = time.monotonic() + hang
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            failed += os.waitstatus_to_exitcode(status) != 0
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.005)
stop.set()
thread.join()
print("RESULT", hung, failed, flush=True)
"""

FORKS_PER_RUN = 30
HANG_SECONDS = 8


@pytest.mark.parametrize("work", ["reads", "writes"])
def test_forks_while_a_thread_uses_the_same_vault(workspace, work):
    done = subprocess.run([sys.executable, "-c", FORKS, workspace.path, workspace.invite_text("alice"), work,
                           str(FORKS_PER_RUN), str(HANG_SECONDS)],
                          capture_output=True, text=True, timeout=600, env=os.environ)
    assert done.returncode == 0, done
    # hung, failed
    assert "RESULT 0 0" in done.stdout, done


# A fork-context pool made after the Vault, its tasks using the inherited
# Vault while a thread of the parent keeps reading from it; several rounds,
# so that workers made at different moments all take part.
POOL = """
import multiprocessing, sys, threading, vornex
path, invite = sys.argv[1], sys.argv[2]
vault = vornex.Vault(path, auth=vornex.Auth.from_invite(invite))
stop = threading.Event()
def busy():
    while not stop.is_set():
        vault.get("app/db")
def task(i):
    return vault.get("app/db") + "/" + str(vault.fields("app/db")["user"]) + "/" + str(i)
thread = threading.Thread(target=busy)
thread.start()
results = []
try:
    for round in range(4):
        with multiprocessing.get_context("fork").Pool(4) as pool:
            results.extend(pool.map_async(task, range(8)).get(timeout=60))
finally:
    stop.set()
    thread.join()
print("RESULT", results == ["hunter2/admin/" + str(i) for _ in range(4) for i in range(8)], flush=True)
"""


def test_fork_pool_uses_an_inherited_vault(workspace):
    done = subprocess.run([sys.executable, "-c", POOL, workspace.path, workspace.invite_text("alice")],
                          capture_output=True, text=True, timeout=600, env=os.environ)
    assert done.returncode == 0 and "RESULT True" in done.stdout, done


# A thread makes the process's first Vault while the main thread forks a
# moment later: the libraries the opening uses must not be caught halfway
# through their one-time start, whose locks the child would wait on for
# ever. Each trial is a fresh interpreter; its child opens a Vault itself.
FIRST_OPEN = """
import os, sys, threading, time, vornex
path, invite, delay, hang = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
auth = vornex.Auth.from_invite(invite)
thread = threading.Thread(target=lambda: vornex.Vault(path, auth=auth))
thread.start()
if delay > 0:
    time.sleep(delay)
pid = os.fork()
if pid == 0:
    code = 1
    try:
        code = 0 if vornex.Vault(path, auth=auth).get("app/db") == "hunter2" else 2
    finally:
        os._exit(code)
deadline = time.monotonic() + hang
outcome = "hung"
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        outcome = "ok" if os.waitstatus_to_exitcode(status) == 0 else "failed"
        break
    time.sleep(0.002)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
thread.join()
print("RESULT", outcome, flush=True)
"""

FIRST_OPEN_TRIALS = 120


def test_forks_during_the_first_open_do_not_hang(workspace):
    import concurrent.futures
    import random

    chance = random.Random(37)
    delays = [chance.uniform(0, 0.003) for _ in range(FIRST_OPEN_TRIALS)]

    def trial(delay):
        done = subprocess.run([sys.executable, "-c", FIRST_OPEN, workspace.path, workspace.invite_text("alice"),
                               str(delay), str(HANG_SECONDS)],
                              capture_output=True, text=True, timeout=600, env=os.environ)
        return done.stdout.split("RESULT ")[-1].strip() if done.returncode == 0 else repr(done)

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(trial, delays))
    assert outcomes.count("ok") == FIRST_OPEN_TRIALS, [o for o in outcomes if o != "ok"]
