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
