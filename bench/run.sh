#!/usr/bin/env bash
# Builds the benchmark with optimisation and prints the table of IbDB against the raw client.
# Arguments go to the benchmark: --reps N (default 10, even), --rows N (default 200000).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
cd "$VARLO_ROOT"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARLO_BUILD_TESTS=OFF \
  -DVARLO_BUILD_EXAMPLES=OFF -DVARLO_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target varlo-bench >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
exec build/bench/bench/varlo-bench "$@"
