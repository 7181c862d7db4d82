#!/usr/bin/env bash
# Runs every test from a fresh clone: installs what is needed, then
#   - the plain build (gcc, optimised): its C++ tests, and the module
#     installed from it, its type stub checked against it;
#   - one clang build under AddressSanitizer and UBSan that makes the C++
#     tests, the module and the fuzz targets together: its C++ tests, then
#     every fuzz target for a bounded time from its seeds;
#   - the Python tests against the installed module, with the test writer,
#     the fault-injection library and the exit probe of the plain build, and
#     the exit scenarios against the sanitizers' build of the module too.
# Each phase's time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
timings=()
# Runs a phase and keeps its time for the summary.
timed() {
  local name=$1 t0=$SECONDS
  shift
  echo "== $name"
  "$@"
  timings+=("$(printf '%-22s %5d s' "$name" $((SECONDS - t0)))")
  echo "== $name: $((SECONDS - t0)) s"
}

timed setup bash scripts/setup.sh

bin=$(python3 -c 'import cmake; print(cmake.CMAKE_BIN_DIR)')
jobs=$(nproc)
# Line tables are enough for the stack traces of a failure, and full debug
# information would be most of the compiler's and the linker's work.
plain_flags=(-G Ninja -DVORNEX_BUILD_TESTS=ON -DVORNEX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
# Debug, so that nothing is compiled out, at -O1: the sanitizers' usual
# level, where the tests and the fuzzers run several times faster than
# unoptimised and no check is lost.
sanitize_flags=(-G Ninja -DVORNEX_BUILD_TESTS=ON -DVORNEX_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-19
  -DVORNEX_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1")

build() {
  local dir=$1
  shift
  "$bin/cmake" -S . -B "$dir" "$@"
  "$bin/cmake" --build "$dir" -j "$jobs"
}
ctest_all() {
  "$bin/ctest" --test-dir "$1" --output-on-failure -j "$jobs"
}

timed "plain build" build build/test "${plain_flags[@]}"
timed "plain tests" ctest_all build/test

# The module installed from the plain build: scikit-build-core is pointed at
# build/test with the same settings, so it configures nothing new and
# compiles nothing again, and installs the module and its stubs from there.
install_module() {
  local settings=(--config-settings=build-dir=build/test --config-settings=cmake.build-type=RelWithDebInfo)
  local define
  for define in VORNEX_BUILD_TESTS=ON VORNEX_WERROR=ON "CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"; do
    settings+=("--config-settings=cmake.define.$define")
  done
  python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
    "${settings[@]}" .
  # The installed stub against the installed module (from elsewhere than the
  # source tree, so that nothing here stands in for either).
  (cd / && python3 -m mypy.stubtest vornex)
}
timed "install and stubtest" install_module

timed "sanitizers' build" build build/sanitize "${sanitize_flags[@]}"
timed "sanitizers' tests" ctest_all build/sanitize
# One fuzzer a core, each for 15 s (validate_work longer, see run.sh).
timed fuzzing bash fuzz/run.sh build/sanitize 15

# The Python tests lay out their workspaces with the test writer built above.
export VORNEX_TEST_WRITER="$PWD/build/test/tests/vornex_test_writer"
# The injected-fault suite preloads this library into its child processes.
export VORNEX_FAULT_LIB="$PWD/build/test/tests/libvornex_fault_inject.so"
# The exit suite preloads this one to watch libcrypto's exit-time cleanup.
export VORNEX_EXIT_PROBE="$PWD/build/test/tests/libvornex_exit_probe.so"
# It also runs its exit scenarios against the sanitizers' build of the
# module, with clang's runtime preloaded (the interpreter has none).
export VORNEX_SANITIZED_MODULE="$PWD/build/sanitize/src/py"
VORNEX_SANITIZER_RUNTIME=$(clang++-19 -print-file-name=libclang_rt.asan-x86_64.so)
if [ ! -f "$VORNEX_SANITIZER_RUNTIME" ]; then
  echo "clang's ASan runtime is not installed (libclang-rt-19-dev)" >&2
  exit 1
fi
export VORNEX_SANITIZER_RUNTIME
timed "python tests" python3 -m pytest -q tests/python

echo "== phase times (total $((SECONDS - started)) s on $jobs cores)"
printf '%s\n' "${timings[@]}"
