"""Quickstart: open a vault with an invitation, then set, read, list, edit
and delete secrets.

The invitation text comes from the environment variable VORNEX_UNSAFE_INVITE
(as an unattended job would get it); the first argument is the workspace's
".vornex" directory (default: ".vornex" in the current directory), the second
the path below which this identity may write (default: "app").

    VORNEX_UNSAFE_INVITE=vrnx1... python3 examples/quickstart.py path/to/.vornex
"""

import os
import sys

import vornex


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else ".vornex"
    area = sys.argv[2] if len(sys.argv) > 2 else "app"
    if "VORNEX_UNSAFE_INVITE" not in os.environ:
        sys.exit("set VORNEX_UNSAFE_INVITE to an invitation text first")

    # The variables are read when the vault is opened, not here.
    auth = vornex.Auth.from_env()
    print(f"opening {path} with {auth!r}")
    with vornex.Vault(path, auth=auth) as vault:
        print("secrets in the vault:")
        for selector in vault.list():
            try:
                fields = vault.fields(selector)
                print(f"  {selector} = {vault.get(selector)!r}, fields {fields}")
            except vornex.PermissionDenied as e:
                print(f"  {selector} ({e})")

        name = f"{area}/quickstart"
        print(f"set {name}")
        vault.set(name, "first value")
        print(f"  get {name} -> {vault.get(name)!r}")

        print(f"add fields to {name}")
        vault.set_field(name, "user", "demo")
        vault.set_field(name, "password", b"pa55w0rd")
        print(f"  fields -> {vault.fields(name)}")
        print(f"  get_field password as bytes -> {vault.get_field(name, 'password', as_bytes=True)!r}")
        vault.delete_field(name, "password")
        print(f"  after delete_field password -> {vault.fields(name)}; value still {vault.get(name)!r}")

        # A Selector names the same secret as its text.
        labelled = vornex.Selector([area, "quickstart"], {"env": "dev"})
        vault.set(labelled, "labelled value")
        print(f"set {labelled} (repr {labelled!r})")
        print(f"list {area!r} -> {[str(s) for s in vault.list(area)]}")
        print(f"list {area + '@env=dev'!r} -> {[str(s) for s in vault.list(area + '@env=dev')]}")

        for selector in (name, labelled):
            vault.delete(selector)
            print(f"deleted {selector}")
        try:
            vault.get(name)
        except vornex.NotFound as e:
            print(f"  get {name} -> NotFound: {e}")

        try:
            vault.set("elsewhere/secret", "x")
        except vornex.PermissionDenied as e:
            print(f"set elsewhere/secret -> PermissionDenied: {e}")
    print("done")


if __name__ == "__main__":
    main()
