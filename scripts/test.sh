#!/usr/bin/env bash
# Sets up everything and runs every test: Debian packages, the Firebird server and its test
# user; a warnings-as-errors build and its tests; the tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer; the suites with threads under ThreadSanitizer; the fuzz targets
# for a few seconds each; the integration tests under valgrind memcheck; the Debian packages
# built, checked with lintian, installed, used by a consumer program and removed. The desktop
# host's suite runs in the first two under a virtual X server (xvfb-run).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
start_server
ensure_test_user

cd "$VARLO_ROOT"
JOBS=$(nproc)

log "formatting (clang-format)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

log "build (warnings as errors)"
cmake -S . -B build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARLO_WERROR=ON -DVARLO_BUILD_BENCH=ON >/dev/null
cmake --build build/ci -j "$JOBS"
log "tests"
ctest --test-dir build/ci --output-on-failure -j "$JOBS"

log "build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVARLO_WERROR=ON \
  -DVARLO_SANITIZE=address,undefined -DVARLO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/sanitize -j "$JOBS"
log "tests under the sanitizers"
ctest --test-dir build/sanitize --output-on-failure -j "$JOBS"

log "build with ThreadSanitizer (the suites with threads)"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DVARLO_WERROR=ON -DVARLO_SANITIZE=thread \
  -DVARLO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/tsan -j "$JOBS" --target unit_tests component_tests wait_tests
log "tests under ThreadSanitizer"
ctest --test-dir build/tsan -R '^(unit_tests|component_tests|wait_tests)$' --output-on-failure

log "fuzz targets (clang, libFuzzer)"
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARLO_WERROR=ON \
  -DVARLO_SANITIZE=address,undefined -DVARLO_BUILD_FUZZ=ON -DVARLO_BUILD_TESTS=OFF \
  -DVARLO_BUILD_EXAMPLES=OFF -DVARLO_BUILD_STUDIO=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS"
bash scripts/fuzz.sh build/fuzz "${VARLO_FUZZ_SECONDS:-5}"

log "integration tests under valgrind memcheck"
bash scripts/valgrind-tests.sh build/ci

log "Debian packages: build, lintian, install, consumers, removal"
bash scripts/package-test.sh
bash scripts/package-test.sh --default-prefix
log "all tests passed"
