#!/usr/bin/env bash
# A first look at Postwren: starts a private Dovecot POP3 server with a small
# demo mailbox on 127.0.0.1 port 110 and Postwren with a throwaway settings
# home pointed at it. The popup with the count appears within seconds.
# "終了" in the tray menu ends Postwren; the server and the settings home are
# removed then. Needs root (or sudo) for the server on port 110, and a
# desktop session with a notification area.
#
# Environment: BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

readonly demo_user=demo
readonly demo_password=postwren
readonly demo_messages=3
readonly demo_cycle_minutes=5
build=${BUILD_DIR:-build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no desktop session here (DISPLAY and WAYLAND_DISPLAY are unset)" >&2
  exit 1
fi

scripts/install-deps.sh
export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target postwren app_settings_probe

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

server_dir=$(cd "$build" && pwd)/demo/dovecot
settings_home=$(mktemp -d "${TMPDIR:-/tmp}/postwren-demo.XXXXXX")
cleanup() {
  $SUDO tests/integration/dovecot.sh stop --dir "$server_dir" >/dev/null 2>&1 || true
  rm -rf "$settings_home"
}
trap cleanup EXIT

$SUDO tests/integration/dovecot.sh start --dir "$server_dir" --address 127.0.0.1 --port 110 \
  --user "$demo_user:$demo_password:$demo_messages"

export XDG_CONFIG_HOME=$settings_home
"$build/bin/app_settings_probe" write --host 127.0.0.1 --user "$demo_user" --password "$demo_password" \
  --cycle "$demo_cycle_minutes" --mailer ""

echo "demo.sh: Postwren checks $demo_user@127.0.0.1 ($demo_messages messages); quit with 終了 in its tray menu"
status=0
"$build/bin/postwren" || status=$?
exit "$status"
