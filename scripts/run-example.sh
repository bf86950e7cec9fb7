#!/usr/bin/env bash
# Sets up and runs the example host on an embedded database it creates in a temporary folder.
# Arguments are passed on to the host (see varlo-demo --help).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
cd "$VARLO_ROOT"
cmake -S . -B build/example -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARLO_BUILD_TESTS=OFF >/dev/null
cmake --build build/example -j "$(nproc)" --target varlo-demo >/dev/null
exec build/example/examples/varlo-demo "$@"
