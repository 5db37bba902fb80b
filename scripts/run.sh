#!/usr/bin/env bash
# Installs what is missing, builds Postwren (and postwren-check, beside it in
# build/bin) and starts it in the current desktop session (it lives in the
# notification area; "終了" in its tray menu ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=true
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target postwren postwren-check
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no desktop session here (DISPLAY and WAYLAND_DISPLAY are unset)" >&2
  exit 1
fi
exec build/bin/postwren
