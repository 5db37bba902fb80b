#!/usr/bin/env bash
# Soak: does memory or the number of open descriptors grow over many checks?
# Two runs, each printing a table. Not part of the test suite.
#
#   bench/soak.sh [--checks N] [--report-every N] [--silent-timeout-ms N]
#                 [--gui-minutes N] [--gui-sample-every N] [--skip-engine] [--skip-gui]
#
# Engine: bench/soak_engine makes --checks checks (default 10000) with one
# engine object in one process; half of them fail (a wrong password, a
# refused connection, a time-out of --silent-timeout-ms, default 100, against
# a peer that never speaks). A line every --report-every checks (default
# 1000) gives resident memory (VmRSS, and its peak VmHWM) and open descriptors.
#
# Program: the real program on a private desktop (tests/e2e/desktop.sh), a
# check through its tray menu ("今すぐチェック") every second for --gui-minutes
# (default 10), resident memory and open descriptors every --gui-sample-every
# checks (default 60).
#
# The private Dovecots listen on 127.0.0.6 (log-ons), 127.0.0.7 (refusals:
# the server slows down log-ons from an address after a failed one, so the
# failures get an instance of their own) and 127.0.0.8 port 110 (the program
# always talks to port 110). Where other test runs share the machine, run it
# under flock /tmp/postwren-servers.lock.
#
# Environment: BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

checks=10000
report_every=1000
silent_timeout_ms=100
gui_minutes=10
gui_sample_every=60
run_engine=1
run_gui=1
while [ $# -gt 0 ]; do
    case $1 in
    --checks) checks=$2; shift 2 ;;
    --report-every) report_every=$2; shift 2 ;;
    --silent-timeout-ms) silent_timeout_ms=$2; shift 2 ;;
    --gui-minutes) gui_minutes=$2; shift 2 ;;
    --gui-sample-every) gui_sample_every=$2; shift 2 ;;
    --skip-engine) run_engine=0; shift ;;
    --skip-gui) run_gui=0; shift ;;
    *)
        echo "usage: $0 [--checks N] [--report-every N] [--silent-timeout-ms N]" \
            "[--gui-minutes N] [--gui-sample-every N] [--skip-engine] [--skip-gui]" >&2
        exit 2
        ;;
    esac
done

build=${BUILD_DIR:-build}
state=$top/$build/bench-soak
logon=127.0.0.6 refusal=127.0.0.7 gui=127.0.0.8
user=soak password=soaking messages=3
dovecot=tests/integration/dovecot.sh

export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTWREN_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target soak_engine postwren app_settings_probe >/dev/null

rm -rf "$state"
mkdir -p "$state"
peer_pid=""
cleanup() {
    [ -z "$peer_pid" ] || kill -TERM "$peer_pid" 2>/dev/null || true
    for d in logon refusal gui; do
        [ ! -d "$state/$d" ] || "$dovecot" stop --dir "$state/$d" >/dev/null 2>&1 || true
    done
}
trap cleanup EXIT

if [ "$run_engine" -eq 1 ]; then
    "$dovecot" start --dir "$state/logon" --address "$logon" --prefork 2 \
        --user "$user:$password:$messages" >/dev/null
    "$dovecot" start --dir "$state/refusal" --address "$refusal" --prefork 2 \
        --user "$user:$password:$messages" >/dev/null

    python3 bench/silent_peer.py "$state/silent.port" &
    peer_pid=$!
    for _ in $(seq 100); do [ -s "$state/silent.port" ] && break; sleep 0.1; done
    [ -s "$state/silent.port" ] || { echo "soak: the silent peer did not start" >&2; exit 1; }
    silent_port=$(cat "$state/silent.port")
    # A port nobody listens on: taken from the system, then given back.
    refused_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

    echo "== engine: $checks checks in one process, half failing (time-out ${silent_timeout_ms} ms)"
    "$build/bin/soak_engine" --host "$logon" --user "$user" --password "$password" --expect "$messages" \
        --refusal-host "$refusal" --refused-port "$refused_port" --silent-port "$silent_port" \
        --checks "$checks" --report-every "$report_every" --silent-timeout-ms "$silent_timeout_ms"

    kill -TERM "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    peer_pid=""
    "$dovecot" stop --dir "$state/logon" >/dev/null
    "$dovecot" stop --dir "$state/refusal" >/dev/null
fi

if [ "$run_gui" -eq 1 ]; then
    "$dovecot" start --dir "$state/gui" --address "$gui" --port 110 --user "$user:$password:$messages" >/dev/null
    # Settings whose interval keeps timed checks out of the run.
    export XDG_CONFIG_HOME=$state/config
    "$build/bin/app_settings_probe" write --host "$gui" --user "$user" --password "$password" --cycle 1000 --mailer ""
    echo "== program: a check through the tray menu every second for $gui_minutes min"
    tests/e2e/desktop.sh bench/soak_measure.sh "$build/bin/postwren" "$state/gui/dovecot.log" "$user" \
        "$gui_minutes" "$gui_sample_every" "$state/gui-artifacts"
fi
