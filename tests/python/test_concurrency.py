"""Threads sharing one vault, and a write that waits for a lock another
process holds while the rest of the program keeps running."""

import threading
import time

import pytest

from conftest import LockHolder


def test_threads_writing_fields_of_one_secret_keep_all(workspace):
    vault = workspace.open("alice")
    errors = []

    def write(prefix):
        try:
            for i in range(8):
                vault.set_field("app/db", f"{prefix}{i}", str(i))
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=write, args=(name,)) for name in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    expected = {"host": "db.internal", "user": "admin"}
    expected.update({f"{p}{i}": str(i) for p in "ab" for i in range(8)})
    assert vault.fields("app/db") == expected
    assert workspace.open("bob").fields("app/db") == expected


def test_waiting_write_lets_other_threads_run(workspace):
    # Opened first: opening would wait for the lock as well, holding the
    # interpreter lock.
    vault = workspace.open("alice")
    holder = LockHolder(workspace.summary["root_state_lock"])
    outcome = {}

    def write():
        try:
            vault.set("app/waited", "done")
            outcome["ok"] = True
        except BaseException as e:
            outcome["error"] = e

    count = 0
    stop = threading.Event()

    def counter():
        nonlocal count
        while not stop.is_set():
            count += 1

    counting = threading.Thread(target=counter)
    writing = threading.Thread(target=write)
    counting.start()
    writing.start()
    try:
        time.sleep(0.3)
        before = count
        time.sleep(0.5)
        progress = count - before
        assert writing.is_alive(), outcome
        # A data method holds the object for its whole call.
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            vault.__enter__()
    finally:
        holder.release()
        writing.join(timeout=30)
        stop.set()
        counting.join()
    assert progress > 1000
    assert outcome == {"ok": True}
    assert vault.get("app/waited") == "done"
    with vault as bound:
        assert bound is vault
