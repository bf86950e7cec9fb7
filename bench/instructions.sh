#!/usr/bin/env bash
# Instruction counts of each case through IbDB and through the raw client, under callgrind: the
# same for the same binary and inputs whatever else the machine does. Slow (a few minutes); uses
# a smaller data set (--rows, default 20000).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" valgrind
cd "$VARLO_ROOT"
rows=20000
[ "${1:-}" = "--rows" ] && rows=$2
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARLO_BUILD_TESTS=OFF \
  -DVARLO_BUILD_EXAMPLES=OFF -DVARLO_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target varlo-bench >/dev/null
out=$(mktemp)
valgrind --tool=callgrind --callgrind-out-file="$out" build/bench/bench/varlo-bench --reps 1 \
  --rows "$rows" --peak 0 >/dev/null 2>&1
report=$(callgrind_annotate --inclusive=yes "$out")
rm -f "$out"
count() { grep -E "::$1\(" <<<"$report" | head -1 | awk '{gsub(",", "", $1); print $1}'; }
printf '| case | IbDB instructions | raw instructions | ratio |\n|---|---:|---:|---:|\n'
for c in Fetch Wide Insert Blob; do
  a=$(count "${c}IbDB")
  b=$(count "${c}Raw")
  awk -v c="$c" -v a="$a" -v b="$b" 'BEGIN { printf "| %s | %.0f | %.0f | %.4f |\n", tolower(c), a, b, a / b }'
done
