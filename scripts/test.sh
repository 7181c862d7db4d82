#!/usr/bin/env bash
# Runs every test from a fresh clone: installs what is needed, builds, runs
# the C++ tests (plain, then under AddressSanitizer and UBSan), runs every
# fuzz target for a bounded time from its seeds, checks the installed type
# stub against the installed module, and runs the Python tests against it,
# with the test writer, the fault-injection library and the exit probe of
# the plain build (and the exit scenarios against the sanitizers' build too).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

bin=$(python3 -c 'import cmake; print(cmake.CMAKE_BIN_DIR)')
jobs=$(nproc)

build_and_test() {
  local dir=$1
  shift
  "$bin/cmake" -S . -B "$dir" -G Ninja -DVORNEX_BUILD_TESTS=ON -DVORNEX_WERROR=ON "$@"
  "$bin/cmake" --build "$dir" -j "$jobs"
  "$bin/ctest" --test-dir "$dir" --output-on-failure -j "$jobs"
}

build_and_test build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_and_test build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVORNEX_SANITIZE=ON

# The fuzz targets: clang with libFuzzer, ASan and UBSan; no module.
"$bin/cmake" -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DVORNEX_BUILD_FUZZ=ON \
  -DVORNEX_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$bin/cmake" --build build/fuzz -j "$jobs"
bash fuzz/run.sh build/fuzz 15

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
# The installed stub against the installed module (from elsewhere than the
# source tree, so that nothing here stands in for either).
(cd / && python3 -m mypy.stubtest vornex)
# The Python tests lay out their workspaces with the test writer built above.
export VORNEX_TEST_WRITER="$PWD/build/test/tests/vornex_test_writer"
# The injected-fault suite preloads this library into its child processes.
export VORNEX_FAULT_LIB="$PWD/build/test/tests/libvornex_fault_inject.so"
# The exit suite preloads this one to watch libcrypto's exit-time cleanup.
export VORNEX_EXIT_PROBE="$PWD/build/test/tests/libvornex_exit_probe.so"
# It also runs its exit scenarios against the sanitizers' build of the
# module, with their runtime preloaded (the interpreter has none).
export VORNEX_SANITIZED_MODULE="$PWD/build/sanitize/src/py"
VORNEX_SANITIZER_RUNTIME=$(c++ -print-file-name=libasan.so)
export VORNEX_SANITIZER_RUNTIME
python3 -m pytest -q tests/python
