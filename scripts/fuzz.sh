#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build (make fuzz) for FUZZ_SECONDS on a scratch copy of
# its seeds and regression inputs, as many harnesses at once as there are cores (FUZZ_JOBS).
# Each harness fuzzes in fork mode, so that one fault does not end its run: every input that
# finds a fault (crash, sanitizer report, leak, time-out, memory beyond the limits) is kept in
# fuzz/findings/<harness>/, and the run fails when any was kept. The committed corpora are
# never written to.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
harnesses=(model_buffer model_file program layer_graph variables)
root=$PWD
work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work"

# The embedded interpreter of the variable harness keeps memory it never frees: its own leaks
# are ignored, ours are not (scripts/lsan-python.supp).
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-python.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
  local harness=$1
  local corpus="$work/$harness/corpus" findings="$root/fuzz/findings/$harness"
  mkdir -p "$corpus" "$findings"
  cp "$root/fuzz/$harness/seeds/"* "$corpus/" 2>/dev/null
  cp "$root/fuzz/$harness/regressions/"* "$corpus/" 2>/dev/null
  rm -f "$corpus/README"
  local extra=()
  # The interpreter allocates on most inputs without freeing: a leak check after every input
  # would cost a heap scan each time. Leaks are still checked when the process ends.
  [ "$harness" = variables ] && extra+=(-detect_leaks=0)
  # No input may take more than 2 GB, make one allocation of more than 1 GB, or run for more
  # than 20 s.
  "$build/fuzz/fuzz_$harness" "$corpus" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 \
    -ignore_ooms=1 -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 -artifact_prefix="$findings/" "${extra[@]}" \
    >"$work/$harness.log" 2>&1
  echo $? >"$work/$harness.status"
}
export -f run_one
export build work root seconds

printf '%s\n' "${harnesses[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'

status=0
for harness in "${harnesses[@]}"; do
  log="$work/$harness.log"
  # The last progress line: executions, coverage (cov), features (ft), corpus, faults.
  last=$(grep -aE '^#[0-9]+: cov:' "$log" | tail -1)
  echo "fuzz_$harness: ${last:-no progress line (see $log)}"
  # Slow inputs are reported but are no fault unless they pass the time-out.
  faults=$(find "$root/fuzz/findings/$harness" -type f ! -name 'slow-unit-*' | sort)
  if [ -n "$faults" ] || [ -z "$last" ]; then
    status=1
    echo "--- fuzz_$harness found faults (log $log); inputs kept:" >&2
    # What each kept input does, told by running it once more (the first ten).
    for input in $(echo "$faults" | head -10); do
      what=$("$build/fuzz/fuzz_$harness" "$input" 2>&1 |
        grep -aE -m1 'FUZZ FAULT|SUMMARY: |runtime error|ERROR: ')
      echo "  $(basename "$input"): ${what:-no fault when run alone}" >&2
    done
  fi
done
exit $status
