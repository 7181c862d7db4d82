#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from a copy of its seeds, two
# at a time, and fails if any of them finds a crash, a leak, a timeout or a
# broken property. The repository is not changed: the corpora are copied to
# a scratch directory, where new inputs and any reproducer stay.
#
#   bash fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
#
# FUZZ_JOBS sets how many run at once (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS] [TARGET...]}
seconds=${2:-20}
shift $(( $# >= 2 ? 2 : 1 ))
if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# The targets' own scratch files go to memory where it is available.
scratch_parent=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_parent=/dev/shm; fi
scratch=$(mktemp -d "$scratch_parent/vornex-fuzz-run.XXXXXX")
# Stack traces with names, where a symbolizer is installed.
for symbolizer in llvm-symbolizer-19 llvm-symbolizer-14 llvm-symbolizer; do
  if command -v "$symbolizer" >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v "$symbolizer")}
    break
  fi
done
echo "fuzz scratch: $scratch"

run_one() {
  local target=$1 work=$scratch/$1
  mkdir -p "$work/corpus" "$work/tmp"
  cp -R "fuzz/corpus/$target/." "$work/corpus/"
  if TMPDIR=$work/tmp "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
    echo "fuzz_$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs, ok"
  else
    echo "fuzz_$target: FAILED; reproducer in $work:"
    ls "$work" | grep -E '^(crash|leak|timeout|oom|slow-unit)-' || true
    grep -a -m 3 -E 'property failed|ERROR: |runtime error' "$work/log" || true
    grep -a -E '^ +#[0-9]+ .* in ' "$work/log" | grep -v -E 'fuzzer::|__sanitizer|libc\.so|nptl|stdlib/|signal/' | head -n 12 || true
    return 1
  fi
}
export -f run_one
export build seconds scratch

printf '%s\n' "${targets[@]}" | xargs -P "${FUZZ_JOBS:-2}" -I{} bash -c 'run_one "$@"' _ {} && status=0 || status=1
if [ "$status" -eq 0 ]; then
  echo "fuzzing: ${#targets[@]} targets ran clean"
  rm -rf "$scratch"
else
  echo "fuzzing found a failure; see above (scratch kept in $scratch)"
fi
exit "$status"
