#!/usr/bin/env python3
"""Regenerates the fuzz seeds under fuzz/corpus/<target>/.

Usage: python3 fuzz/make_corpus.py PATH/TO/vornex_test_writer

The validate_work seeds are vault programs, written by
vornex_validate_work_seeds from the test build's directory.

The test writer lays out a small workspace (vault, ratchet, pending
transaction, identity and current-user files, invitations); the files it
does not write (verification cache, join-commit journal, the two older
keychain layouts, plaintext envelopes) are put together here from its
output, byte by byte, and the texts are written by hand. Seeds that carry
a sealed identity or an invitation differ from one run to the next (fresh
salts, nonces and keys); everything else is stable. Files it does not
write, such as reproducers kept as regression seeds, are left alone.
"""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def u32(n):
    return struct.pack(">I", n)


def u64(n):
    return struct.pack(">Q", n)


def byte_string(b):
    return u32(len(b)) + b


def cord_set(elements):
    # Elements in ascending order of their encodings, no duplicates.
    encoded = sorted(set(elements))
    return u32(len(encoded)) + b"".join(encoded)


def domain_hash(domain, data):
    h = hashlib.sha256()
    for item in (b"vornex.hash.v1", domain, data):
        h.update(u64(len(item)) + item)
    return h.digest()


def describe(base):
    return {
        "workspace": str(base / "ws"),
        "state_dir": str(base / "state"),
        "keychain_dir": str(base / "keychain"),
        "users": {"alice": 2, "bob": 3},
        "records": [
            {"user": "alice", "handle": "alice"},
            {"user": "bob", "handle": "bob"},
            {"group": "devs"},
            {"member": "alice", "of": "devs"},
            {"grant": "write", "to": "group:devs", "path": ["app"], "match": "prefix"},
            {"grant": "read", "to": "bob", "path": ["app", "db"], "match": "exact", "labels": {"env": "prod"}},
            {"secret": "app/db", "value": "hunter2", "fields": {"user": "admin"}},
            {"secret": "app/api@env=prod", "value": "k"},
            {"secret": "app/old", "value": "x"},
            {"delete": "app/old"},
        ],
        "ratchet": True,
        "keychain": [{"user": "alice", "passphrase": "pw"}, {"user": "bob", "passphrase": "pw"}],
        "current_user": {"user": "alice", "display": "@alice"},
        "invites": [{"user": "alice", "baseline": "self"}, {"user": "bob", "baseline": "none"}],
        "pending_transaction": {"workspace": str(base / "other")},
    }


def split_records(vault):
    # A record is its body (an evolving value), key and signature.
    records = vault[21:]
    out = []
    offset = 0
    while offset < len(records):
        start = offset
        body_len = struct.unpack(">I", records[offset:offset + 4])[0]
        offset += 4 + body_len
        for _ in range(2):
            offset += 4 + struct.unpack(">I", records[offset:offset + 4])[0]
        out.append(records[start:offset])
    return out


def decode_work_seeds(vault):
    # A byte chooses what the rest is: 0 a text, 1 one record, 2 a vault.
    above, below = "\u0301", "\u0316"
    texts = {
        "text-in-order": "q" + below * 8 + above * 8,
        "text-out-of-order": "q" + above * 8 + below * 8,
        "text-tibetan": "\u0f73" * 8,
        # Long runs in order: a few mutations from long runs out of order.
        "text-long-in-order": "q" + below * 256 + above * 256,
        "text-tibetan-in-order": "\u0f71" * 128 + "\u0f72" * 128,
        "text-hangul": "\u1100\u1161\u11a8\uac00",
        "text-composed": "\u00e1\u0316\u1f83\u01d5",
    }
    for name, text in texts.items():
        put("decode_work", name, b"\0" + text.encode())
    records = split_records(vault)
    for i, record in enumerate(records[:4]):
        put("decode_work", "record-%d" % i, b"\1" + record)
    # The record whose label value is "prod", the value swapped for marks:
    # its own length and the body's length say so.
    labelled = next(r for r in records if u32(4) + b"prod" in r)
    at = labelled.index(u32(4) + b"prod")
    for name, text in (("record-label-in-order", texts["text-in-order"]),
                       ("record-label-out-of-order", texts["text-out-of-order"])):
        value = text.encode()
        grown = labelled[:at] + byte_string(value) + labelled[at + 8:]
        body_len = struct.unpack(">I", grown[:4])[0] + len(value) - 4
        put("decode_work", name, b"\1" + u32(body_len) + grown[4:])
    put("decode_work", "vault", b"\2" + vault)


def put(target, name, data):
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    writer = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(tmp)
        env = dict(os.environ, VORNEX_STATE_DIR=str(base / "state"), VORNEX_KEYCHAIN_DIR=str(base / "keychain"))
        run = subprocess.run([writer], input=json.dumps(describe(base)), capture_output=True, text=True, env=env,
                             check=True)
        summary = json.loads(run.stdout)
        vault = Path(summary["vault"]).read_bytes()
        ratchet = Path(summary["ratchet"]).read_bytes()
        root = bytes.fromhex(summary["root"]["fingerprint"])
        users = {name: bytes.fromhex(u["id"]) for name, u in summary["users"].items()}
        keychain = Path(summary["keychain_dir"]) / root.hex()
        identities = {name: (keychain / "identities" / (users[name].hex() + ".cord")).read_bytes()
                      for name in ("alice", "bob")}
        current_user = (keychain / "current-user.cord").read_bytes()

        empty_vault = b"vornex-vault\0" + u32(0) + u32(0)
        put("vault", "writer", vault)
        put("vault", "empty", empty_vault)
        decode_work_seeds(vault)
        put("ratchet", "writer", ratchet)
        put("ratchet", "root-only", b"vornex-ratchet\0" + u32(0) + cord_set([u32(4 + 4 + len(root)) + u32(9) + byte_string(root)]))
        put("transaction", "writer", Path(summary["transaction"]).read_bytes())

        # A cache of the writer's records; the signature is not checked here.
        hashes = [byte_string(domain_hash(b"vornex.record-hash.v1", r)) for r in split_records(vault)]
        put("cache", "writer", b"vornex-cache\0" + u32(0) + byte_string(root) + u64(1) + cord_set(hashes)
            + byte_string(bytes(32)) + byte_string(bytes(64)))

        # Journals as the fuzz target lays the workspace out: an empty vault
        # and a ratchet that holds only the root.
        fresh_ratchet = b"vornex-ratchet\0" + u32(0) + cord_set([u32(4 + 4 + len(root)) + u32(9) + byte_string(root)])
        journal = b"vornex-join-commit\0" + u32(0) + byte_string(root) + byte_string(
            domain_hash(b"vornex.join-commit.v1", empty_vault)) + byte_string(
            domain_hash(b"vornex.join-commit.v1", fresh_ratchet))
        put("join_commit", "writer", journal + byte_string(vault) + byte_string(ratchet))
        put("join_commit", "bad-vault-image", journal + byte_string(b"vornex-vault\0") + byte_string(ratchet))

        put("identity", "alice", identities["alice"])
        put("current_user", "alice", current_user)

        # The older keychains hold the same records as evolving elements:
        # identities are variant 0, the current user variant 1.
        def element(body):
            return byte_string(body)

        alice = identities["alice"][16:]
        bob = identities["bob"][16:]
        current = u32(1) + current_user[20 + 4:]
        keychain_magic = b"vornex-keychain\0" + u32(0)
        put("keychain_combined", "writer", keychain_magic + cord_set([element(alice), element(bob), element(current)]))
        other_root = alice.replace(byte_string(root), byte_string(bytes(32)), 1)
        put("keychain_legacy", "writer", keychain_magic + cord_set([element(alice), element(other_root),
                                                                    element(current)]))

        for name, invite in summary["invites"].items():
            if invite["text"]:
                put("invite_text", name, invite["text"])
            if invite["text_bech32"]:
                put("invite_text", name + "-bech32", invite["text_bech32"])
            if invite["text"]:
                # Upper case is refused as another prefix.
                put("invite_text", name + "-upper", invite["text"].upper())
            put("invite_binary", name, bytes.fromhex(invite["binary"]))

    for i, text in enumerate(["app/db", "app/db@env=prod&tier=1", '"a/b"/c\\@d@k="v&w"', "x/\u00e9@\u00e9=e\u0301"]):
        put("selector", str(i), text)
    for i, text in enumerate(["@alice", "alice", "ALICE", "0x" + "ab" * 32, "deadbeef", "@"]):
        put("user_ref", str(i), text)
    field = byte_string(b"user") + byte_string(b"admin")
    value = byte_string(b"hunter2") + cord_set([field])
    put("plaintext", "envelope", b"vornex-secret-v1\0" + value)
    put("plaintext", "bare-value", value)
    put("plaintext", "primary-only", b"hunter2")

    seeds = Path(writer).resolve().parent / "vornex_validate_work_seeds"
    subprocess.run([str(seeds), str(CORPUS / "validate_work")], capture_output=True, check=True)


if __name__ == "__main__":
    main()
