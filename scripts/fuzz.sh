#!/usr/bin/env bash
# Runs each libFuzzer target of a build folder for a bounded time over its corpus under
# tests/fuzz/corpus (read only; new inputs go to a scratch folder) and reports its executions.
set -euo pipefail
build=${1:?build folder}
seconds=${2:-5}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in date prepare error_text fetch ctypes; do
  scratch=$(mktemp -d)
  log="$build/fuzz_$target.log"
  if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz_$target-" "$scratch" "$root/tests/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}') executions in ${seconds} s, no failure"
  else
    echo "fuzz_$target: FAILED"
    tail -60 "$log"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
