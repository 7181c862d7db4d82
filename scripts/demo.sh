#!/usr/bin/env bash
# Runs examples/quickstart.py against a demo vault: installs what is needed,
# installs the module, builds the test writer, lays out a demo workspace
# (alice writes below "app", bob reads there, two secrets) in a temporary
# directory and opens it with alice's invitation.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

bash scripts/setup.sh

bin=$(python3 -c 'import cmake; print(cmake.CMAKE_BIN_DIR)')
jobs=${JOBS:-$(nproc)}

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
# The writer is test support, built with the tests' configuration: in the
# test build when there is one (brought up to date, which costs nothing when
# it is), else in a tree of its own.
tree=build/test
if [ ! -f "$tree/CMakeCache.txt" ]; then
  tree=build/demo
  "$bin/cmake" -S . -B "$tree" -G Ninja -DVORNEX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
"$bin/cmake" --build "$tree" --target vornex_test_writer -j "$jobs"

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
summary=$("$tree/tests/vornex_test_writer" --scenario demo "$demo")

# Everything the demo keeps stays in its directory.
export VORNEX_STATE_DIR="$demo/state"
export VORNEX_KEYCHAIN_DIR="$demo/keychain"
unset VORNEX_UNSAFE_INVITE_FILE
VORNEX_UNSAFE_INVITE=$(python3 -c 'import json, sys; print(json.load(sys.stdin)["invites"]["alice"]["text"])' <<<"$summary")
export VORNEX_UNSAFE_INVITE

echo "demo workspace: $demo/project"
cd "$demo/project"
python3 "$repo/examples/quickstart.py" .vornex app
