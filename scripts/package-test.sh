#!/usr/bin/env bash
# The Debian packages end to end: build them, check them with lintian, install them with dpkg,
# build a consumer against the installed files with find_package(Varlo) and with pkg-config, run
# it on an embedded database, and remove the packages again; before that, the same build
# installed with cmake --install into a private prefix and a consumer built from there. Then the same install and consumers
# once more with packages built without the /usr prefix option: the installed files must find
# each other from where they lie.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cd "$VARLO_ROOT"
packages=$(dirname "$(bash scripts/package.sh "$@" | tail -1)")
debs=("$packages"/libvarlo0_0.5.0_*.deb "$packages"/libvarlo-dev_0.5.0_*.deb)
[ "${1:-}" = --default-prefix ] || {
log "lintian (errors fail the run)"
status=0
report=$(lintian --fail-on error "${debs[@]}" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$report" || true
[ "$status" -eq 0 ] || { log "lintian reports errors"; exit 1; }
}

work=$(mktemp -d /tmp/varlo-consumer-build.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Before the packages are installed, so that nothing is found under /usr.
log "cmake --install into a private prefix; a consumer with pkg-config from there"
cmake --install "$(dirname "$packages")" --prefix "$work/prefix" >/dev/null
pc=$(dirname "$(find "$work/prefix" -name varlo.pc)")
libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir varlo)
# The library finds its framework beside itself, whoever loads it.
if ldd "$libdir/libvarlo.so" | grep 'not found'; then
  log "the installed libvarlo.so does not find its libraries"
  exit 1
fi
# shellcheck disable=SC2046
g++ -std=c++20 tests/package/consumer.cpp -o "$work/consumer-private" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs varlo) -Wl,-rpath,"$libdir"
"$work/consumer-private"

# Packages of this project installed before the run stay; the ones installed here go again.
preinstalled=$(dpkg-query -W -f='${Package} ${Status}\n' libvarlo0 libvarlo-dev 2>/dev/null |
  grep -c 'install ok installed' || true)
remove() { [ "$preinstalled" -gt 0 ] || dpkg -P libvarlo-dev libvarlo0 >/dev/null; }
trap 'rm -rf "$work"; remove' EXIT
log "installing ${debs[*]##*/}"
dpkg -i "${debs[@]}" >/dev/null

log "consumer with find_package(Varlo)"
cmake -S tests/package -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
log "consumer with pkg-config"
# shellcheck disable=SC2046
g++ -std=c++20 tests/package/consumer.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs varlo)
"$work/consumer-pc"
log "package round trip passed${1:+ ($1)}"
