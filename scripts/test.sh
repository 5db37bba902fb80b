#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds Postwren and runs
# the whole test suite: once as a normal build, once with AddressSanitizer and
# UndefinedBehaviorSanitizer. The tests start their own Dovecot, X server,
# tray and window manager.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/install-deps.sh
scripts/fetch-test-tools.sh

echo "== formatting"
scripts/check-format.sh

jobs=$(nproc)
export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
export CTEST_OUTPUT_ON_FAILURE=1

echo "== build (RelWithDebInfo)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests"
(cd build && ctest -j"$jobs" --timeout 300)

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPOSTWREN_SANITIZE=ON -DPOSTWREN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests under the sanitizers"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Qt and the X/font libraries keep process-lifetime allocations; our own code may not leak.
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
(cd build-asan && ctest -j"$jobs" --timeout 600)
