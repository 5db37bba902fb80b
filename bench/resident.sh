#!/usr/bin/env bash
# The resident cost of the running program: its resident memory after
# start-up, its wake-ups per minute while it idles between checks, and the
# time from its start to its icon being embedded in the tray. Runs the real
# program on a private desktop (tests/e2e/desktop.sh) against a private
# Dovecot, and prints a table. Not part of the test suite.
#
#   bench/resident.sh [--idle-seconds N] [--settle-seconds N] [--starts N] [--tls]
#
# --tls: the mailbox is pop3s:// on a Dovecot that requires TLS, with a
# certificate from a private CA made by the run and trusted through
# SSL_CERT_FILE, so the figures include what the TLS library adds.
#
# The idle window opens --settle-seconds after the last start (default 45):
# the toolkit's caches run one clean-up some 30 s after start-up, which is a
# start-up cost rather than an idle one.
#
# Environment: BUILD_DIR (default build), BENCH_ADDRESS (default 127.0.0.5;
# the program always talks to port 110).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

idle_seconds=60
settle_seconds=45
starts=7
tls=no
while [ $# -gt 0 ]; do
    case $1 in
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    --settle-seconds) settle_seconds=$2; shift 2 ;;
    --starts) starts=$2; shift 2 ;;
    --tls) tls=yes; shift ;;
    *) echo "usage: $0 [--idle-seconds N] [--settle-seconds N] [--starts N] [--tls]" >&2; exit 2 ;;
    esac
done

build=${BUILD_DIR:-build}
address=${BENCH_ADDRESS:-127.0.0.5}
state=$top/$build/bench-resident

export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target postwren app_settings_probe >/dev/null

rm -rf "$state"
mkdir -p "$state"
server=$address
tls_options=()
if [ "$tls" = yes ]; then
    tests/integration/tls_certs.sh "$state/certs" "$address"
    tls_options=(--tls "$state/certs")
    server=pop3s://$address
    export SSL_CERT_FILE=$state/certs/ca.crt
fi
tests/integration/dovecot.sh start --dir "$state/dovecot" --address "$address" --port 110 \
    --user bench:resident:3 "${tls_options[@]}" >/dev/null
trap 'tests/integration/dovecot.sh stop --dir "$state/dovecot" >/dev/null' EXIT

# Settings whose interval keeps timed checks out of the idle window.
export XDG_CONFIG_HOME=$state/config
"$build/bin/app_settings_probe" write --host "$server" --user bench --password resident --cycle 100 --mailer ""

tests/e2e/desktop.sh bench/resident_measure.sh "$build/bin/postwren" "$state/dovecot/dovecot.log" \
    "$idle_seconds" "$settle_seconds" "$starts"
