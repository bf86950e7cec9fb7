#!/usr/bin/env bash
# Builds the Debian packages libvarlo0 and libvarlo-dev into build/deb/packages.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
cd "$VARLO_ROOT"
cmake -S . -B build/deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVARLO_BUILD_TESTS=OFF -DVARLO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/deb -j "$(nproc)"
(cd build/deb && cpack -B packages >/dev/null)
ls build/deb/packages/*.deb
