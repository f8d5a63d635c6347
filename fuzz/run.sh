#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them side by side, each for the given
# seconds.
# Usage: fuzz/run.sh SECONDS [fuzz_key|fuzz_data|fuzz_run|fuzz_plot|fuzz_request ...]
# New inputs go to build-fuzz/corpus/<target>; the seeds in fuzz/corpus stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET ...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_key fuzz_data fuzz_run fuzz_plot fuzz_request)
bash scripts/configure_fuzz.sh
cmake --build build-fuzz -j"$(nproc)" --target fuzz_key fuzz_data fuzz_run fuzz_plot fuzz_request >/dev/null
# The targets run side by side (libFuzzer uses one core each), each for its
# seconds of wall time; their reports follow in order.
pids=()
for t in "${targets[@]}"; do
  seeds="fuzz/corpus/${t#fuzz_}"
  work="build-fuzz/corpus/$t"
  mkdir -p "$work"
  # Leaks and crashes fail the run; a slow input (over 10 s) counts as a hang.
  "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work" "$seeds" > "build-fuzz/$t.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  t="${targets[$i]}"
  status=0
  wait "${pids[$i]}" || status=$?
  echo "== $t for ${seconds}s"
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|ERROR|SUMMARY" "build-fuzz/$t.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "build-fuzz/$t.log"
    echo "$t failed (exit $status); the input is saved in the working folder as crash-*, leak-* or timeout-*" >&2
    failed="$status"
  fi
done
exit "$failed"
