#!/usr/bin/env bash
# Builds the Debian packages libvarlo0 and libvarlo-dev into build/deb/packages. With
# --default-prefix the build is configured without -DCMAKE_INSTALL_PREFIX=/usr (CPack puts the
# files under /usr all the same), as a packager who forgot the option would.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build=build/deb
prefix=(-DCMAKE_INSTALL_PREFIX=/usr)
if [ "${1:-}" = --default-prefix ]; then
  build=build/deb-default-prefix
  prefix=()
  rm -rf "$build"  # a cached prefix would survive a configure without the option
fi
ensure_packages "${BUILD_PACKAGES[@]}"
cd "$VARLO_ROOT"
rm -rf "$build/packages"
# Warnings as errors: the release build's optimiser warns where the others do not look.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARLO_WERROR=ON "${prefix[@]}" \
  -DVARLO_BUILD_TESTS=OFF -DVARLO_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -B packages >/dev/null)
ls "$build"/packages/*.deb
