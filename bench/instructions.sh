#!/usr/bin/env bash
# Instruction counts of each case through every implementation, under callgrind: the same for the
# same binary and inputs whatever else the machine does. Embedded and over the server, each on a
# smaller data set (--rows, default 20000; --server-rows, default 10000). Slow: several minutes.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

rows=20000
server_rows=10000
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) rows=$2; shift 2 ;;
    --server-rows) server_rows=$2; shift 2 ;;
    *) echo "usage: $0 [--rows N] [--server-rows N]" >&2; exit 2 ;;
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

impls=(Raw IbDB IbDBBounded SociRow SociBulk Qt)
names=("raw client" "IbDB" "IbDB bounded" "SOCI row" "SOCI bulk" "Qt")
# The databases are made outside callgrind, which would spend most of its time filling them.
dir=$(mktemp -d /tmp/varlo-instructions.XXXXXX)
trap 'rm -rf "$dir"' EXIT
build/bench/bench/varlo-bench --dir "$dir" --rows "$rows" --server-rows "$server_rows" \
  --setup-only 1 2>/dev/null
for kind in embedded server; do
  out="$dir/callgrind.$kind"
  valgrind --tool=callgrind --callgrind-out-file="$out" build/bench/bench/varlo-bench --reps 1 \
    --dir "$dir" --rows "$rows" --server-rows "$server_rows" --kind "$kind" --peak 0 \
    >/dev/null 2>&1 || {
    echo "the benchmark failed under callgrind ($kind)" >&2
    exit 1
  }
  report=$(callgrind_annotate --inclusive=yes --threshold=100 "$out")
  count() { grep -E "::$1\(" <<<"$report" | head -1 | awk '{gsub(",", "", $1); print $1}' || true; }
  if [ "$kind" = embedded ]; then
    echo; echo "Embedded, instructions per case ($rows fetch rows, $((rows / 2)) inserts; wide sums the three widths)"
  else
    echo; echo "Server, instructions of the client process per case ($server_rows fetch rows, $((server_rows / 2)) inserts)"
  fi
  echo
  printf '| case |'; for n in "${names[@]}"; do printf ' %s |' "$n"; done; printf '\n|---|'
  for _ in "${names[@]}"; do printf -- '---:|'; done; printf '\n'
  for c in Fetch Wide Insert BlobWrite BlobRead; do
    raw=$(count "${c}Raw")
    printf '| %s |' "$(sed 's/Blob\(.*\)/blob \L\1/; s/^F/f/; s/^W/w/; s/^I/i/' <<<"$c")"
    for i in "${impls[@]}"; do
      v=$(count "${c}${i}")
      if [ -z "$v" ]; then
        printf ' n/a |'
      elif [ "$i" = Raw ]; then
        printf ' %s |' "$v"
      else
        awk -v v="$v" -v r="$raw" 'BEGIN { printf " %.0f (%.4f) |", v, v / r }'
      fi
    done
    printf '\n'
  done
done
