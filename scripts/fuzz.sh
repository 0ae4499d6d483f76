#!/usr/bin/env bash
# Builds the fuzz preset and runs libFuzzer targets, one at a time.
#
#   scripts/fuzz.sh [-r RUNS] [-t SECONDS] [TARGET...]
#
#   -r RUNS     stop each target after RUNS executions (default 10000000)
#   -t SECONDS  also stop each target after SECONDS seconds, whichever comes first
#   TARGET      fuzz_cache_document, fuzz_cache_merge, fuzz_cache_names, fuzz_pcf, fuzz_flat;
#               all of them when none is named
#
# Seeds come from fuzz/corpus/<target> (read only); what the fuzzer learns goes to
# build/fuzz/corpus/<target>, and a failing input to build/fuzz/artifacts/<target>/. The
# output of each run is in build/fuzz/logs/<target>.log. Exits non-zero when a target fails.
# Scratch files go under TMPDIR, /dev/shm when TMPDIR is not set.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

runs=10000000
seconds=0
while getopts "r:t:" option; do
  case "$option" in
    r) runs=$OPTARG ;;
    t) seconds=$OPTARG ;;
    *) sed -n 2,14p "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

all=(fuzz_cache_document fuzz_cache_merge fuzz_cache_names fuzz_pcf fuzz_flat)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target "${targets[@]}"

build=build/fuzz
# The targets write and sync their scratch files for every input: on a memory file system that
# costs nothing, so the executions go to the code rather than to the disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
status=0
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target" "$build/artifacts/$target" "$build/logs"
  limits=(-runs="$runs")
  [ "$seconds" -eq 0 ] || limits+=(-max_total_time="$seconds")
  echo "=== $target (${limits[*]})"
  if "$build/fuzz/$target" "${limits[@]}" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
       "$build/corpus/$target" "fuzz/corpus/$target" >"$build/logs/$target.log" 2>&1; then
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$build/logs/$target.log" | tail -2
    echo "=== $target: no finding"
  else
    tail -40 "$build/logs/$target.log"
    echo "=== $target: FAILED (input in $build/artifacts/$target/)"
    status=1
  fi
done
exit $status
