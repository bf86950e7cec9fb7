#!/usr/bin/env bash
# Runs the integration tests of a build folder under valgrind memcheck; fails on any error or
# definite leak.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
status=0
for t in connection_tests statement_tests data_tests component_tests reliability_tests array_tests \
  ctype_tests; do
  log="$build/valgrind-$t.log"
  if valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --show-leak-kinds=definite --suppressions="$root/tests/valgrind.supp" -q \
      --log-file="$log" "$build/tests/$t" >"$build/valgrind-$t.out" 2>&1; then
    echo "valgrind $t: clean ($(grep -c '^\[       OK' "$build/valgrind-$t.out") tests)"
  else
    echo "valgrind $t: FAILED"
    tail -40 "$build/valgrind-$t.out"
    cat "$log"
    status=1
  fi
done
exit $status
