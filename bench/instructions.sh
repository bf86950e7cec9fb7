#!/usr/bin/env bash
# Instruction counts of each case through every implementation, under callgrind: the same for the
# same binary and inputs whatever else the machine does. Embedded and over the server (where
# only the client process is counted), each on a smaller data set (--rows, default 20000;
# --server-rows, default 10000). Each run of a case is counted on its own and the smallest count
# of --reps runs (default 3) is shown (--only CASE counts one case): an embedded engine does work of its own in the process now
# and then (a sweep, a page flush), which the smallest count leaves out. Then the wide case once
# more with the cache simulated: L1 data misses (reads and writes) beside its instructions.
# Slow: several minutes.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

rows=20000
server_rows=10000
reps=3
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) rows=$2; shift 2 ;;
    --server-rows) server_rows=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --only) only=(--only "$2"); shift 2 ;;
    *) echo "usage: $0 [--rows N] [--server-rows N] [--reps N] [--only CASE]" >&2; exit 2 ;;
  esac
done

ensure_packages "${BUILD_PACKAGES[@]}" valgrind firebird3.0-server firebird3.0-utils
ensure_peer_packages
start_server
ensure_test_user
cd "$VARLO_ROOT"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARLO_BUILD_TESTS=OFF \
  -DVARLO_BUILD_EXAMPLES=OFF -DVARLO_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target varlo-bench >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"

names=("raw client" "IbDB" "IbDB bounded" "SOCI row" "SOCI bulk" "Qt")
# The databases are made outside callgrind, which would spend most of its time filling them.
dir=$(mktemp -d /tmp/varlo-instructions.XXXXXX)
trap 'rm -rf "$dir"' EXIT
build/bench/bench/varlo-bench --dir "$dir" --rows "$rows" --server-rows "$server_rows" \
  --setup-only 1 2>/dev/null

# Runs the benchmark under callgrind; every timed run leaves a dump named after its case, size
# and implementation, one for each thread. Prints "case|size|impl<TAB>value" for each run, the value being the sum
# of the event columns given (1-based, as the dump's events line orders them).
# A third argument gives callgrind options; the rest go to the benchmark.
counted() {
  local out=$1 columns=$2 options=$3
  shift 3
  # shellcheck disable=SC2086
  valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out" $options \
    build/bench/bench/varlo-bench \
    --dir "$dir" --rows "$rows" --server-rows "$server_rows" --peak 0 "$@" >/dev/null 2>&1 || {
    echo "the benchmark failed under callgrind" >&2
    exit 1
  }
  # The calling thread's dumps only: an embedded engine's own threads (its cache writer, its
  # garbage collector) work on their own schedule, and counting them moved a blob write by 15%.
  for dump in "$out".*-01; do
    awk -v columns="$columns" '
      /^desc: Trigger: Client Request: / { label = substr($0, length("desc: Trigger: Client Request: ") + 1) }
      /^(summary|totals):/ { n = split(columns, c, ","); v = 0; for (k = 1; k <= n; ++k) v += $(c[k] + 1) }
      END { if (label != "") printf "%s\t%s\n", label, v }' "$dump"
  done
}

# The smallest value of each case and implementation; the wide case sums its three widths.
table() {
  local title=$1 counts=$2
  echo
  echo "$title"
  echo
  printf '| case |'; for n in "${names[@]}"; do printf ' %s |' "$n"; done; printf '\n|---|'
  for _ in "${names[@]}"; do printf -- '---:|'; done; printf '\n'
  awk -F'\t' -v order="$(IFS='|'; echo "${names[*]}")" '
    { split($1, p, "|"); key = p[1] "|" p[2] "|" p[3]
      if (!(key in best) || $2 < best[key]) best[key] = $2
      if (!(p[1] in seen)) { seen[p[1]] = 1; cases[++ncases] = p[1] } }
    END {
      n = split(order, impl, "|")
      for (key in best) { split(key, p, "|"); sum[p[1] "|" p[3]] += best[key] }
      for (c = 1; c <= ncases; ++c) {
        line = "| " cases[c] " |"; raw = sum[cases[c] "|" impl[1]]
        for (i = 1; i <= n; ++i) {
          k = cases[c] "|" impl[i]
          if (!(k in sum)) line = line " n/a |"
          else if (i == 1) line = line " " sprintf("%.0f", sum[k]) " |"
          else line = line " " sprintf("%.0f (%.4f)", sum[k], sum[k] / raw) " |"
        }
        print line
      }
    }' "$counts"
}

for kind in embedded server; do
  counts="$dir/counts.$kind"
  counted "$dir/callgrind.$kind" 1 "" --reps "$reps" --kind "$kind" "${only[@]}" >"$counts"
  if [ "$kind" = embedded ]; then
    table "Embedded, instructions per case, the smallest of $reps runs ($rows fetch rows, $((rows / 2)) inserts; wide sums the three widths)" "$counts"
  else
    table "Server, instructions of the client process per case, the smallest of $reps runs ($server_rows fetch rows, $((server_rows / 2)) inserts)" "$counts"
  fi
done

# Events with --cache-sim=yes: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw.
[ ${#only[@]} -eq 0 ] || [ "${only[1]}" = wide ] || exit 0
misses="$dir/misses"
counted "$dir/cachegrind" 5,6 --cache-sim=yes --reps 1 --kind embedded --only wide >"$misses"
table "Embedded, wide case, L1 data misses (reads and writes, cache simulated; the three widths summed)" "$misses"
