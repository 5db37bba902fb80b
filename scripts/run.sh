#!/usr/bin/env bash
# Installs what is missing, builds Postwren and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=true
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec build/bin/postwren-check "$@"
