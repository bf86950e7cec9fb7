#!/usr/bin/env bash
# Builds the benchmark with optimisation and prints its tables: this package, the raw client and
# the peers that could be installed (SOCI's Firebird backend, Qt's QIBASE driver), embedded and
# over the server. Arguments go to the benchmark: --reps N (default 10), --rows N (default
# 200000), --server-rows N (default 50000), --kind embedded|server|both, --only CASE.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" firebird3.0-server firebird3.0-utils
ensure_peer_packages
start_server
ensure_test_user
cd "$VARLO_ROOT"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARLO_BUILD_TESTS=OFF \
  -DVARLO_BUILD_EXAMPLES=OFF -DVARLO_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target varlo-bench >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
exec build/bench/bench/varlo-bench "$@"
