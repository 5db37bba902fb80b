#!/usr/bin/env bash
# Builds what the latency comparison needs, starts a private Dovecot with its
# login and pop3 processes started ahead, runs every client against it in one
# run and prints the table. Not part of the test suite.
#
#   bench/run-latency.sh [--iterations N] [--process-iterations N]
#
# A second Dovecot, with certificates from a private CA made by the run,
# serves the TLS table (POP3S on port 995).
#
# Environment: BUILD_DIR (default build), BENCH_ADDRESS (default 127.0.0.4),
# BENCH_TLS_ADDRESS (default 127.0.4.10).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

build=${BUILD_DIR:-build}
address=${BENCH_ADDRESS:-127.0.0.4}
tls_address=${BENCH_TLS_ADDRESS:-127.0.4.10}
state=$top/$build/bench-dovecot
tls_state=$top/$build/bench-dovecot-tls
user=alice password=wonderland messages=3

export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTWREN_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target postwren-check bench_latency >/dev/null

tests/integration/dovecot.sh start --dir "$state" --address "$address" --prefork 4 \
    --user "$user:$password:$messages" >/dev/null
trap 'tests/integration/dovecot.sh stop --dir "$state"' EXIT
rm -rf "$tls_state"
tests/integration/tls_certs.sh "$tls_state/certs" "$tls_address"
tests/integration/dovecot.sh start --dir "$tls_state" --address "$tls_address" --prefork 4 \
    --tls "$tls_state/certs" --user "$user:$password:$messages" >/dev/null
trap 'tests/integration/dovecot.sh stop --dir "$state"; tests/integration/dovecot.sh stop --dir "$tls_state"' EXIT

python3 bench/latency.py --host "$address" --user "$user" --password "$password" --expect "$messages" \
    --bench-bin "$build/bin/bench_latency" --check-bin "$build/bin/postwren-check" \
    --tls-host "$tls_address" --ca "$tls_state/certs/ca.crt" "$@"
