#!/usr/bin/env python3
"""What the Python API costs on large vaults, next to the floor of the
primitives it cannot avoid, measured in the same run.

Run by hand, not in CI:

    PYTHONPATH=<build>/src/py python3 bench/api_bench.py \
        --writer <build>/tests/vornex_test_writer --cache /some/dir --sizes 1000,10000

Vaults are laid out by the test writer (tests/support/writer): a root, a
writer user with a keychain identity (and the keychain's current user) who
may write below "team", and a reader user with an invitation who may read
there, so every secret is sealed to three readers. Built vaults are kept in
--cache as <cache>/api-<size>/ (workspace/, state/, keychain/, summary.json,
shape.json, and a "complete" marker written last), so reruns skip the build.

Every figure is taken in a child process of its own with its own state and
keychain directories, so no verification cache leaks between figures and
peak memory belongs to the figure alone. Times are process CPU time; each
figure alternates with its floor in one loop and reports medians. Peak
memory is the peak resident size above the interpreter's own after
importing the module, as a multiple of the vault file; a keychain open's
includes the passphrase key derivation, an invitation open's does not. The
invitation user has a keychain directory of its own with nothing in it, as
on a machine that only ever opens with the invitation.
"""

import argparse
import glob
import hashlib
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Changing anything here changes the vaults: bump SHAPE_VERSION so cached
# ones are rebuilt.
SHAPE_VERSION = 1
PASSPHRASE = "bench passphrase"
WRITER_USER = "writer"
READER_USER = "reader"
SECRETS_PER_GROUP = 100  # the narrow list's prefix holds this many secrets
VALUE_BYTES = 70  # about 700 bytes a record with three readers
TOP = "team"

GET_BATCH = 200  # gets (and floors) per timed batch
LIST_NARROW = f"{TOP}/g0001"
RSS_REPEAT_CAP = 3  # peak memory barely varies; a few children suffice


def secret_path(index):
    return f"{TOP}/g{index // SECRETS_PER_GROUP:04d}/s{index:06d}"


def secret_value(index, generation=0):
    stem = f"value-{generation}-{index}-"
    return (stem * (VALUE_BYTES // len(stem) + 1))[:VALUE_BYTES]


# ---------------------------------------------------------------- building


def description(size, root):
    records = [
        {"user": WRITER_USER, "handle": WRITER_USER},
        {"user": READER_USER, "handle": READER_USER},
        {"grant": "write", "to": WRITER_USER, "path": [TOP]},
        {"grant": "read", "to": READER_USER, "path": [TOP]},
    ]
    records += [{"secret": secret_path(i), "value": secret_value(i)} for i in range(size)]
    return {
        "workspace": str(root / "workspace"),
        "state_dir": str(root / "state"),
        "keychain_dir": str(root / "keychain"),
        "users": {WRITER_USER: 2, READER_USER: 3},
        "records": records,
        "ratchet": True,
        "keychain": [{"user": WRITER_USER, "passphrase": PASSPHRASE}],
        "current_user": WRITER_USER,
        "invites": [{"user": READER_USER, "baseline": "self"}],
    }


def shape(size):
    return {"version": SHAPE_VERSION, "size": size, "value_bytes": VALUE_BYTES,
            "secrets_per_group": SECRETS_PER_GROUP}


def built_vault(cache, size, writer):
    """The cached vault of `size` secrets, built first when missing or stale."""
    root = cache / f"api-{size}"
    complete = root / "complete"
    if complete.exists() and json.loads((root / "shape.json").read_text()) == shape(size):
        return root
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    started = time.monotonic()
    print(f"building a vault of {size} secrets in {root} ...", file=sys.stderr, flush=True)
    done = subprocess.run([writer], input=json.dumps(description(size, root)), capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"the test writer failed: {done.stderr.strip()}")
    (root / "summary.json").write_text(done.stdout)
    (root / "shape.json").write_text(json.dumps(shape(size)))
    complete.write_text("")
    print(f"  built in {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return root


# ---------------------------------------------------------------- children


def run_child(task, env_dirs, scratch):
    """Runs one figure in a fresh interpreter and returns what it printed."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("VORNEX_UNSAFE_INVITE", "VORNEX_UNSAFE_INVITE_FILE", "XDG_STATE_HOME", "XDG_DATA_HOME")}
    home = scratch / "home"
    home.mkdir(exist_ok=True)
    env.update(HOME=str(home), VORNEX_STATE_DIR=str(env_dirs["state"]),
               VORNEX_KEYCHAIN_DIR=str(env_dirs["keychain"]))
    # The child runs in the scratch directory: a relative PYTHONPATH would
    # no longer name the build, and an installed module would be measured.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                          env=env, cwd=scratch, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"figure {task['figure']} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def io_counters():
    counters = {}
    with open("/proc/self/io") as f:
        for line in f:
            name, _, value = line.partition(":")
            counters[name] = int(value)
    return counters["rchar"], counters["wchar"]


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak_rss():
    """Makes the peak resident size start again from the current one."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


class Measured:
    """CPU time and bytes read and written around a call."""

    def __init__(self):
        self.cpu = []
        self.read = []
        self.written = []

    def run(self, call):
        r0, w0 = io_counters()
        t0 = time.process_time()
        result = call()
        t1 = time.process_time()
        r1, w1 = io_counters()
        self.cpu.append(t1 - t0)
        self.read.append(r1 - r0)
        self.written.append(w1 - w0)
        return result

    def summary(self):
        return {"cpu": statistics.median(self.cpu), "read": statistics.median(self.read),
                "written": statistics.median(self.written), "samples": len(self.cpu)}


def sha_floor(vault_file, floor):
    data = pathlib.Path(vault_file).read_bytes()
    t0 = time.process_time()
    hashlib.sha256(data).digest()
    floor.append(time.process_time() - t0)
    return len(data)


def record_count(vault_file):
    # Magic (13 bytes), the store's variant index, then the record count.
    header = pathlib.Path(vault_file).read_bytes()[:21]
    return int.from_bytes(header[17:21], "big")


def verify_floor(vault_file):
    """One bare Ed25519 verification per record of the vault (OpenSSL's, through
    the cryptography package), of a message of the records' mean size: what a
    cold open cannot avoid."""
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

    count = record_count(vault_file)
    size = max(1, os.path.getsize(vault_file) // max(1, count))
    key = Ed25519PrivateKey.generate()
    public = key.public_key()
    signed = [(m, key.sign(m)) for m in (os.urandom(size) for _ in range(count))]

    def verify_all():
        t0 = time.process_time()
        for message, signature in signed:
            public.verify(signature, message)
        return time.process_time() - t0

    return verify_all


def cache_files():
    return sorted(glob.glob(os.path.join(os.environ["VORNEX_STATE_DIR"], "*", "*", "cache.cord")))


def cache_identity():
    return [(p, os.stat(p).st_ino, os.stat(p).st_mtime_ns) for p in cache_files()]


def child_open(task, vornex):
    vault_file = task["vault_file"]
    road = task["road"]

    def open_once():
        if road == "keychain":
            auth = vornex.Auth.from_keychain(WRITER_USER, passphrase=PASSPHRASE)
        else:
            auth = vornex.Auth.from_invite(bytes.fromhex(task["invite"]))
        return vornex.Vault(task["workspace"], auth=auth)

    if task["warm"]:
        open_once()  # leaves the verification cache (and, for an invitation, the ratchet)
    floor, opens, rewrites, verify, releases = [], Measured(), 0, [], []
    verify_all = verify_floor(vault_file) if task.get("verify_floor") else None
    for rep in range(task["repeat"]):
        size = sha_floor(vault_file, floor)
        if verify_all is not None:
            verify.append(verify_all())
        if task["fresh_state"]:
            fresh = pathlib.Path(task["scratch"]) / f"state-{rep}"
            fresh.mkdir()
            os.environ["VORNEX_STATE_DIR"] = str(fresh)
        if not task["warm"]:
            for path in cache_files():
                os.unlink(path)
        before = cache_identity()
        # The open alone: the vault it returns is released after the clock
        # stops, and that is timed on its own.
        vault = opens.run(open_once)
        t0 = time.process_time()
        del vault
        releases.append(time.process_time() - t0)
        after = cache_identity()
        if before and before != after:
            rewrites += 1
    return {"op": opens.summary(), "floor": statistics.median(floor), "file_size": size,
            "cache_rewrites": rewrites if task["warm"] else None,
            "verify_floor": statistics.median(verify) if verify else None, "release": statistics.median(releases)}


def child_writes(task, vornex):
    vault_file = task["vault_file"]
    vault = vornex.Vault(task["workspace"], auth=vornex.Auth.from_keychain(WRITER_USER, passphrase=PASSPHRASE))
    ops = {
        "set": lambda i: vault.set(secret_path(i), secret_value(i, generation=1)),
        "set_field": lambda i: vault.set_field(secret_path(i), "user", f"user-{i}"),
        "delete": lambda i: vault.delete(secret_path(i)),
    }
    measured = {name: Measured() for name in ops}
    floor, sizes = [], []
    for rep in range(task["repeat"]):
        # set and set_field change one secret, delete removes another.
        for name, op in ops.items():
            sizes.append(sha_floor(vault_file, floor))
            target = rep if name != "delete" else task["size"] - 1 - rep
            measured[name].run(lambda: op(target))
    return {"ops": {name: m.summary() for name, m in measured.items()}, "floor": statistics.median(floor),
            "file_size": statistics.median(sizes)}


def hpke_floor(value_size):
    """One base-mode HPKE open (DHKEM(X25519, HKDF-SHA256), HKDF-SHA256,
    ChaCha20-Poly1305) of a content key and one ChaCha20-Poly1305 open of a
    value-sized ciphertext, built from the primitives as RFC 9180 lays them
    out; returns a callable doing both once."""
    from cryptography.hazmat.primitives import hashes, hmac, serialization
    from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
    from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
    from cryptography.hazmat.primitives.kdf.hkdf import HKDFExpand

    raw = serialization.Encoding.Raw, serialization.PublicFormat.Raw
    kem_suite = b"KEM" + (0x0020).to_bytes(2, "big")
    hpke_suite = b"HPKE" + (0x0020).to_bytes(2, "big") + (0x0001).to_bytes(2, "big") + (0x0003).to_bytes(2, "big")

    def extract(salt, ikm):
        h = hmac.HMAC(salt or bytes(32), hashes.SHA256())
        h.update(ikm)
        return h.finalize()

    def labeled_extract(suite, salt, label, ikm):
        return extract(salt, b"HPKE-v1" + suite + label + ikm)

    def labeled_expand(suite, prk, label, info, length):
        labeled = length.to_bytes(2, "big") + b"HPKE-v1" + suite + label + info
        return HKDFExpand(hashes.SHA256(), length, labeled).derive(prk)

    def context(dh, enc, pk_recipient, info):
        kem_context = enc + pk_recipient
        prk = labeled_extract(kem_suite, b"", b"eae_prk", dh)
        shared = labeled_expand(kem_suite, prk, b"shared_secret", kem_context, 32)
        schedule = (b"\x00" + labeled_extract(hpke_suite, b"", b"psk_id_hash", b"")
                    + labeled_extract(hpke_suite, b"", b"info_hash", info))
        secret = labeled_extract(hpke_suite, shared, b"secret", b"")
        return (labeled_expand(hpke_suite, secret, b"key", schedule, 32),
                labeled_expand(hpke_suite, secret, b"base_nonce", schedule, 12))

    recipient = X25519PrivateKey.generate()
    pk_recipient = recipient.public_key().public_bytes(*raw)
    ephemeral = X25519PrivateKey.generate()
    enc = ephemeral.public_key().public_bytes(*raw)
    info = bytes(range(96))  # about what a recipient slot binds
    key, nonce = context(ephemeral.exchange(recipient.public_key()), enc, pk_recipient, info)
    content_key = os.urandom(32)
    wrapped = ChaCha20Poly1305(key).encrypt(nonce, content_key, info)
    content_nonce = os.urandom(12)
    value = os.urandom(value_size)
    sealed = ChaCha20Poly1305(content_key).encrypt(content_nonce, value, info)

    def open_both():
        # The recipient's public key is known in advance: one scalar multiplication.
        dh = recipient.exchange(X25519PublicKey.from_public_bytes(enc))
        k, n = context(dh, enc, pk_recipient, info)
        opened_key = ChaCha20Poly1305(k).decrypt(n, wrapped, info)
        return ChaCha20Poly1305(opened_key).decrypt(content_nonce, sealed, info)

    if open_both() != value:
        raise RuntimeError("the HPKE floor does not round-trip")
    return open_both


def child_reads(task, vornex):
    vault = vornex.Vault(task["workspace"], auth=vornex.Auth.from_keychain(WRITER_USER, passphrase=PASSPHRASE))
    target = secret_path(task["size"] // 2)
    expected = secret_value(task["size"] // 2)
    if vault.get(target) != expected:
        raise RuntimeError("get returned another value")
    floor_once = hpke_floor(len(expected.encode()))
    narrow = vault.list(LIST_NARROW)
    if len(narrow) != SECRETS_PER_GROUP:
        raise RuntimeError(f"list({LIST_NARROW!r}) found {len(narrow)} secrets")
    if len(vault.list()) != task["size"]:
        raise RuntimeError("list() did not find every secret")

    def batch(call):
        t0 = time.process_time()
        for _ in range(GET_BATCH):
            call()
        return (time.process_time() - t0) / GET_BATCH

    gets, floors, full, narrow_times = [], [], [], []
    for _ in range(task["repeat"]):
        gets.append(batch(lambda: vault.get(target)))
        floors.append(batch(floor_once))
        t0 = time.process_time()
        vault.list()
        full.append(time.process_time() - t0)
        t0 = time.process_time()
        vault.list(LIST_NARROW)
        narrow_times.append(time.process_time() - t0)
    return {"get": statistics.median(gets), "get_floor": statistics.median(floors),
            "list": statistics.median(full), "list_narrow": statistics.median(narrow_times),
            "narrow_count": len(narrow)}


def child_rss(task, vornex):
    base = status_kib("VmRSS")
    if task["road"] == "keychain":
        auth = vornex.Auth.from_keychain(WRITER_USER, passphrase=PASSPHRASE)
    else:
        auth = vornex.Auth.from_invite(bytes.fromhex(task["invite"]))
    reset_peak_rss()
    vault = vornex.Vault(task["workspace"], auth=auth)
    peak = status_kib("VmHWM")
    if task["write"]:
        reset_peak_rss()
        vault.set(secret_path(0), secret_value(0, generation=2))
        peak = status_kib("VmHWM")
    return {"peak_kib_above_base": peak - base, "base_kib": base}


CHILDREN = {"open": child_open, "writes": child_writes, "reads": child_reads, "rss": child_rss}


def child_main(task):
    import vornex  # from PYTHONPATH, in the child only

    result = CHILDREN[task["kind"]](task, vornex)
    print(json.dumps(result))


# ---------------------------------------------------------------- figures


def measure_size(size, built, work, repeat):
    """Every figure for one vault size; rows of (figure, value, floor, ratio, unit)."""
    summary = json.loads((built / "summary.json").read_text())
    invite = summary["invites"][READER_USER]["binary"]
    vault_file = built / "workspace" / ".vornex" / "vault.cord"
    file_size = vault_file.stat().st_size
    scratch = work / f"n{size}"
    scratch.mkdir()
    counter = iter(range(1000))

    def scenario(state_from=None, keychain=True):
        """A workspace copy and the state and keychain directories of one figure."""
        where = scratch / f"s{next(counter)}"
        shutil.copytree(built / "workspace", where / "workspace")
        if state_from is None:
            (where / "state").mkdir()
        else:
            shutil.copytree(state_from, where / "state")
        if keychain:
            shutil.copytree(built / "keychain", where / "keychain")
        else:
            (where / "keychain").mkdir()
        return where

    def task(kind, where, **extra):
        return dict(kind=kind, figure=extra.pop("figure", kind), size=size, repeat=repeat,
                    workspace=str(where / "workspace" / ".vornex"),
                    vault_file=str(where / "workspace" / ".vornex" / "vault.cord"), scratch=str(where), **extra)

    def child(kind, where, **extra):
        print(f"  n={size}: {extra.get('figure', kind)}", file=sys.stderr, flush=True)
        return run_child(task(kind, where, **extra), {"state": where / "state", "keychain": where / "keychain"},
                         where)

    rows = []

    def row(figure, value, floor, unit, ratio=None):
        if ratio is None and value is not None and floor:
            ratio = value / floor
        rows.append({"figure": figure, "size": size, "value": value, "floor": floor, "ratio": ratio, "unit": unit})

    open_base = dict(kind="open", fresh_state=False)
    cold = child(where=scenario(built / "state"), road="keychain", warm=False, verify_floor=True, figure="cold open",
                 **open_base)
    warm_where = scenario(built / "state")
    warm = child(where=warm_where, road="keychain", warm=True, figure="warm open", **open_base)
    invited_where = scenario(keychain=False)
    invited = child(where=invited_where, road="invite", invite=invite, warm=True,
                    figure="invitation open, cache present", **open_base)
    first = child(where=scenario(keychain=False), road="invite", invite=invite, warm=False,
                  figure="first invitation open", **dict(open_base, fresh_state=True))
    writes = child("writes", scenario(built / "state"), figure="writes")
    reads = child("reads", scenario(built / "state"), figure="get and list")
    rss_open, rss_invited, rss_write = [], [], []
    for _ in range(min(repeat, RSS_REPEAT_CAP)):
        rss_open.append(child("rss", scenario(warm_where / "state"), road="keychain", write=False,
                              figure="peak memory, open"))
        # No passphrase key to derive: the open's own memory alone.
        rss_invited.append(child("rss", scenario(invited_where / "state", keychain=False), road="invite",
                                 invite=invite, write=False, figure="peak memory, invitation open"))
        rss_write.append(child("rss", scenario(warm_where / "state"), road="keychain", write=True,
                               figure="peak memory, write"))

    for name in ("set", "set_field", "delete"):
        op = writes["ops"][name]
        row(f"{name}: CPU per write", op["cpu"], writes["floor"], "s")
        row(f"{name}: bytes read per write", op["read"], writes["file_size"], "B")
        row(f"{name}: bytes written per write", op["written"], writes["file_size"], "B")
    for label, found in (("cold open", cold), ("warm open", warm), ("invitation open, cache present", invited),
                         ("first invitation open", first)):
        row(f"{label}: CPU", found["op"]["cpu"], found["floor"], "s")
        row(f"{label}: CPU to release the vault", found["release"], found["floor"], "s")
        row(f"{label}: bytes read", found["op"]["read"], found["file_size"], "B")
    row("cold open vs bare verify of every record", cold["op"]["cpu"], cold["verify_floor"], "s")
    row("first invitation open vs cold open", first["op"]["cpu"], cold["op"]["cpu"], "s")
    row("warm opens that rewrote the cache", warm["cache_rewrites"], repeat, "opens")
    row("invitation opens that rewrote the cache", invited["cache_rewrites"], repeat, "opens")
    row("peak memory, warm keychain open", 1024 * statistics.median(r["peak_kib_above_base"] for r in rss_open),
        file_size, "B")
    row("peak memory, invitation open", 1024 * statistics.median(r["peak_kib_above_base"] for r in rss_invited),
        file_size, "B")
    row("peak memory, during a write", 1024 * statistics.median(r["peak_kib_above_base"] for r in rss_write),
        file_size, "B")
    row("get vs one HPKE open + one AEAD open", reads["get"], reads["get_floor"], "s")
    row("list(): per secret", reads["list"] / size, None, "s")
    row(f"list({LIST_NARROW!r}) vs list()", reads["list_narrow"], reads["list"], "s")
    shutil.rmtree(scratch)
    return {"size": size, "file_size": file_size, "rows": rows}


def scaling_rows(results):
    """t(10n)/t(n) of the writes, next to the same ratio of the floor."""
    by_size = {r["size"]: {row["figure"]: row for row in r["rows"]} for r in results}
    rows = []
    for size in sorted(by_size):
        if size * 10 not in by_size:
            continue
        for name in ("set", "set_field", "delete"):
            small, large = by_size[size][f"{name}: CPU per write"], by_size[size * 10][f"{name}: CPU per write"]
            value, floor = large["value"] / small["value"], large["floor"] / small["floor"]
            rows.append({"figure": f"{name}: t(10n)/t(n)", "size": size * 10, "value": value, "floor": floor,
                         "ratio": value / floor, "unit": "x"})
    return rows


def shown(value, unit):
    if value is None:
        return "-"
    if unit == "s":
        if value >= 1:
            return f"{value:.3f} s"
        if value >= 1e-3:
            return f"{value * 1e3:.3f} ms"
        return f"{value * 1e6:.2f} us"
    if unit == "B":
        return f"{value / 1e6:.2f} MB" if value >= 1e5 else f"{value:.0f} B"
    if unit == "x":
        return f"{value:.2f}x"
    return f"{value:g}"


def print_table(results, extra):
    print(f"{'figure':<44} {'size':>7} {'value':>12} {'floor':>12} {'ratio':>8}")
    for result in results:
        print(f"-- {result['size']} secrets, vault file {result['file_size'] / 1e6:.2f} MB "
              f"({result['file_size'] / result['size']:.0f} B a secret)")
        for row in result["rows"]:
            ratio = "-" if row["ratio"] is None else f"{row['ratio']:.2f}"
            print(f"{row['figure']:<44} {row['size']:>7} {shown(row['value'], row['unit']):>12} "
                  f"{shown(row['floor'], row['unit']):>12} {ratio:>8}")
    if extra:
        print("-- scaling")
        for row in extra:
            print(f"{row['figure']:<44} {row['size']:>7} {shown(row['value'], row['unit']):>12} "
                  f"{shown(row['floor'], row['unit']):>12} {row['ratio']:>8.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--writer", default=os.environ.get("VORNEX_TEST_WRITER"),
                        help="the test writer (default $VORNEX_TEST_WRITER)")
    parser.add_argument("--cache", help="where built vaults are kept (default: a temporary directory)")
    parser.add_argument("--sizes", default="1000,10000,100000", help="secrets per vault, comma-separated")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per figure (medians are reported)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(json.loads(args.child))
        return
    if not args.writer or not os.access(args.writer, os.X_OK):
        parser.error("give the test writer with --writer or VORNEX_TEST_WRITER")
    if not 1 <= args.repeat <= SECRETS_PER_GROUP:
        # Each repetition of the writes changes one secret and deletes another.
        parser.error(f"--repeat must be from 1 to {SECRETS_PER_GROUP}")
    sizes = [int(s) for s in args.sizes.split(",")]
    if any(s < 2 * SECRETS_PER_GROUP for s in sizes):
        parser.error(f"each size must be at least {2 * SECRETS_PER_GROUP}")
    with tempfile.TemporaryDirectory(prefix="vornex-api-bench-") as temp:
        cache = pathlib.Path(args.cache) if args.cache else pathlib.Path(temp) / "cache"
        cache.mkdir(parents=True, exist_ok=True)
        work = pathlib.Path(temp) / "work"
        work.mkdir()
        results = [measure_size(size, built_vault(cache.resolve(), size, args.writer), work, args.repeat)
                   for size in sizes]
    extra = scaling_rows(results)
    print_table(results, extra)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"repeat": args.repeat, "results": results,
                                                       "scaling": extra}, indent=2))


if __name__ == "__main__":
    main()
