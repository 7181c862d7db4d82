#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from a copy of its seeds, one
# a core at a time, and fails if any of them finds a crash, a leak, a timeout or a
# broken property. The repository is not changed: the corpora are copied to
# a scratch directory, where new inputs and any reproducer stay.
#
#   bash fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
#
# FUZZ_JOBS sets how many run at once (default: the cores). validate_work
# replays its corpus (its seeds and kept finds) once, each held to its
# bound, unless VALIDATE_WORK_SECONDS gives it time to search: its searches
# grow inputs into costly vaults over many minutes on several workers, which
# fuzz/README.md describes, and are run apart from this check. The targets
# that run longest start first, so that the others share the remaining slot
# meanwhile.
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

# Seconds a target runs at least, whatever the seconds asked for.
long_seconds() {
  case $1 in
    validate_work) echo "${VALIDATE_WORK_SECONDS:-0}" ;;
    *) echo 0 ;;
  esac
}
# The longest first; the rest keep their order.
ordered=()
for target in "${targets[@]}"; do
  if [ "$(long_seconds "$target")" -gt 0 ]; then ordered+=("$target"); fi
done
for target in "${targets[@]}"; do
  if [ "$(long_seconds "$target")" -eq 0 ]; then ordered+=("$target"); fi
done
targets=("${ordered[@]}")

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
  local target=$1 work=$scratch/$1 time=$seconds
  local least
  least=$(long_seconds "$target")
  if [ "$time" -lt "$least" ]; then time=$least; fi
  # Memory: the process as a whole. validate_work links no sanitizer
  # runtime, whose allocator hooks libFuzzer's per-allocation limit needs,
  # so the process limit is its only one.
  local limits=(-rss_limit_mb=2048)
  # decode_work steers by how close its cost comes to the bound.
  if [ "$target" = decode_work ]; then limits+=(-use_value_profile=1); fi
  if [ "$target" = validate_work ] && [ "${VALIDATE_WORK_SECONDS:-0}" -eq 0 ]; then limits+=(-runs=0); fi
  # A target with a dictionary (fuzz/<target>.dict) gets its pieces offered
  # as mutations.
  local dict=()
  if [ -f "fuzz/$target.dict" ]; then dict+=("-dict=fuzz/$target.dict"); fi
  mkdir -p "$work/corpus" "$work/tmp"
  cp -R "fuzz/corpus/$target/." "$work/corpus/"
  if TMPDIR=$work/tmp "$build/fuzz/fuzz_$target" -max_total_time="$time" -timeout=10 "${limits[@]}" "${dict[@]}" \
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
export -f run_one long_seconds
export build seconds scratch VALIDATE_WORK_SECONDS

printf '%s\n' "${targets[@]}" | xargs -P "${FUZZ_JOBS:-$(nproc)}" -I{} bash -c 'run_one "$@"' _ {} && status=0 || status=1
if [ "$status" -eq 0 ]; then
  echo "fuzzing: ${#targets[@]} targets ran clean"
  rm -rf "$scratch"
else
  echo "fuzzing found a failure; see above (scratch kept in $scratch)"
fi
exit "$status"
