"""Child programs of the kill -9 and many-writers suites, and the model of a
secret both use to check what a vault holds afterwards.

    python3 workers.py writer SETTINGS   # writes its items until killed
    python3 workers.py opener SETTINGS   # opens the vault (so recovers it)
    python3 workers.py many SETTINGS     # threads writing, then exits

SETTINGS is a JSON text; every child reports "ready" on its standard output
once its vault is open, and writers then wait for a line on their standard
input, so that all start together."""

import json
import os
import random
import sys
import threading
import time

import vornex

LOCK_TIMEOUT = "lock is already held"
PENDING = "a pending transaction "
COMMITTED = "the change was committed"


# --- the model --------------------------------------------------------------
# A secret's state is None (absent) or (value, fields): the primary value
# and a dict of field name to value, all str.

def read_state(vault, selector):
    try:
        return vault.get(selector), vault.fields(selector)
    except vornex.NotFound:
        return None


def apply(state, op):
    """The state after a write that succeeded (or that a failure left out)."""
    kind = op["op"]
    if kind == "set":
        return op["value"], {}
    if kind == "delete":
        return None
    if state is None:
        return None  # a field write on a missing secret changes nothing
    value, fields = state
    if kind == "set_field":
        return value, {**fields, op["key"]: op["value"]}
    if kind == "delete_field":
        return value, {k: v for k, v in fields.items() if k != op["key"]}
    raise ValueError(kind)


def perform(vault, op):
    selector = op.get("spelling", op["item"])
    if op["op"] == "set":
        vault.set(selector, op["value"])
    elif op["op"] == "delete":
        vault.delete(selector)
    elif op["op"] == "set_field":
        vault.set_field(selector, op["key"], op["value"])
    else:
        vault.delete_field(selector, op["key"])


def choose(rng, state, item, tag, seq):
    """A write that makes sense for a state: no field write on a missing
    secret, no removal of a missing field. Values are unique to the write."""
    value = f"{tag}.{seq}" + "." * rng.randint(0, 200)
    if state is None:
        return {"op": "set", "item": item, "value": value}
    kinds = ["set", "set_field", "set_field", "delete"]
    if state[1]:
        kinds.append("delete_field")
    kind = rng.choice(kinds)
    op = {"op": kind, "item": item}
    if kind in ("set", "set_field"):
        op["value"] = value
    if kind == "set_field":
        op["key"] = rng.choice(["a", "b", "c", "\u00e9"])
    if kind == "delete_field":
        op["key"] = rng.choice(sorted(state[1]))
    return op


def open_vault(settings):
    """By the keychain when a passphrase is given, else by invitation."""
    if "passphrase" in settings:
        auth = vornex.Auth.from_keychain(settings["user"], passphrase=settings["passphrase"])
    else:
        auth = vornex.Auth.from_invite(settings["invite"])
    return vornex.Vault(settings["vault_dir"], auth=auth)


# --- kill -9: a writer and an opener ----------------------------------------

def writer(settings):
    """Writes its own items until killed. Each write's intent is logged
    before it starts and its outcome after it returns, the outcome flushed
    to disk, so that the log holds every acknowledged write."""
    rng = random.Random(settings["seed"])
    log = os.open(settings["log"], os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)

    def record(entry, durable):
        os.write(log, (json.dumps(entry) + "\n").encode())
        if durable:
            os.fsync(log)

    vault = open_vault(settings)
    items = settings["items"]
    state = {item: read_state(vault, item) for item in items}
    # Every writer opens before any writes: an opening that waits for the
    # lock behind a writer's stream of commits can wait longer than the
    # lock's bound (see the many-writers suite).
    print("ready", flush=True)
    sys.stdin.readline()
    for seq in range(10 ** 9):
        item = rng.choice(items)
        op = choose(rng, state[item], item, settings["tag"], seq)
        record({"seq": seq, **op}, durable=False)
        try:
            perform(vault, op)
        except vornex.VornexError as error:
            record({"seq": seq, "error": str(error), "class": type(error).__name__}, durable=True)
            # A writer killed in its commit leaves a transaction that blocks
            # writes until an opening completes it: open again.
            vault = open_vault(settings)
            state = {i: read_state(vault, i) for i in items}
        else:
            record({"seq": seq, "ok": True}, durable=True)
            state[item] = apply(state[item], op)


def opener(settings):
    import_done = time.monotonic()
    print("ready", flush=True)
    open_vault(settings)
    print(f"opened after {time.monotonic() - import_done:.3f} s", flush=True)


def read_log(path):
    """(ops, failures): every write the log names, in order, each with its
    outcome: "ok", "failed" (changed nothing), "applied" (failed after the
    commit point, change in place), or "unknown" (no outcome: the writer was
    killed in it); and the failures other than the expected ones."""
    ops, unexpected = [], []
    by_seq = {}
    if not os.path.exists(path):
        return ops, unexpected
    with open(path) as f:
        for line in f:
            if not line.endswith("\n"):
                break  # cut short by the kill
            entry = json.loads(line)
            if "op" in entry:
                entry["outcome"] = "unknown"
                by_seq[entry["seq"]] = entry
                ops.append(entry)
            elif entry.get("ok"):
                by_seq[entry["seq"]]["outcome"] = "ok"
            else:
                text = entry["error"]
                op = by_seq[entry["seq"]]
                if COMMITTED in text:
                    op["outcome"] = "applied"
                elif PENDING in text or LOCK_TIMEOUT in text:
                    op["outcome"] = "failed"
                else:
                    op["outcome"] = "unknown"
                    unexpected.append(f"{entry['class']}: {text}")
    return ops, unexpected


# --- many writers: threads of a process, each with its own log --------------

def many(settings):
    """Threads that write at once: their own secrets, their own fields of one
    shared secret, and one hot secret written by everyone under several
    spellings. Each write is logged with when it started and returned."""
    threads = settings["threads"]
    shared = open_vault(settings) if settings["shared"] else None
    vaults = [shared or open_vault(settings) for _ in range(threads)]
    print("ready", flush=True)
    sys.stdin.readline()
    logs = [[] for _ in range(threads)]
    failures = []

    def work(t):
        name = f"{settings['process']}.{t}"
        rng = random.Random(f"{settings['seed']}:{name}")
        vault, log = vaults[t], logs[t]
        own = [f"app/many/{name}/{i}" for i in range(2)]
        state = {item: None for item in own}
        fields = {}
        for seq in range(settings["writes"]):
            kind = rng.choice(settings["kinds"])
            tag = f"w{name}"
            if kind == "own":
                item = rng.choice(own)
                op = choose(rng, state[item], item, tag, seq)
            elif kind == "fields":
                key = f"k{name}.{rng.randint(0, 1)}"
                if key in fields and rng.random() < 0.3:
                    op = {"op": "delete_field", "item": "app/many/fields", "key": key}
                else:
                    op = {"op": "set_field", "item": "app/many/fields", "key": key, "value": f"{tag}.{seq}"}
            else:
                op = {"op": "delete" if rng.random() < 0.15 else "set", "item": "app/many/hot",
                      "value": f"{tag}.{seq}",
                      "spelling": rng.choice(["app/many/hot", 'app/"many"/hot',
                                              vornex.Selector(["app", "many", "hot"])])}
            entry = {k: v for k, v in op.items() if k != "spelling"}
            entry["start"] = time.monotonic_ns()
            try:
                perform(vault, op)
                entry["outcome"] = "ok"
            except vornex.VornexError as error:
                entry["outcome"] = "timeout" if LOCK_TIMEOUT in str(error) else "error"
                entry["error"] = f"{type(error).__name__}: {error}"
            entry["end"] = time.monotonic_ns()
            log.append(entry)
            if entry["outcome"] == "ok":
                if kind == "own":
                    state[op["item"]] = apply(state[op["item"]], op)
                elif op["op"] == "set_field":
                    fields[op["key"]] = op["value"]
                elif op["op"] == "delete_field":
                    del fields[op["key"]]

    def guarded(t):
        try:
            work(t)
        except BaseException as error:  # reported by the parent, not lost in a thread
            failures.append(f"thread {t}: {type(error).__name__}: {error}")

    running = [threading.Thread(target=guarded, args=(t,)) for t in range(threads)]
    for thread in running:
        thread.start()
    for thread in running:
        thread.join()
    with open(settings["log"], "w") as f:
        json.dump({"logs": logs, "failures": failures}, f)


if __name__ == "__main__":
    {"writer": writer, "opener": opener, "many": many}[sys.argv[1]](json.loads(sys.argv[2]))
