#!/usr/bin/env bash
# CPU time per TLS check of the resident engine with and without session
# resumption, in one run, against a private Dovecot (POP3S on port 995,
# certificates from a private CA made by the run, one login process that
# serves every connection and so keeps its ticket key). Not part of the
# test suite.
#
#   bench/run-resumption.sh [--checks N]     (default 200)
#
# Environment: BUILD_DIR (default build), BENCH_TLS_ADDRESS (default 127.0.4.11).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

build=${BUILD_DIR:-build}
address=${BENCH_TLS_ADDRESS:-127.0.4.11}
state=$top/$build/bench-dovecot-resumption
user=alice password=wonderland messages=3

export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_resumption >/dev/null

rm -rf "$state"
tests/integration/tls_certs.sh "$state/certs" "$address"
tests/integration/dovecot.sh start --dir "$state" --address "$address" --prefork 1 \
    --tls "$state/certs" --user "$user:$password:$messages" >/dev/null
trap 'tests/integration/dovecot.sh stop --dir "$state"' EXIT

"$build/bin/bench_resumption" --host "$address" --user "$user" --password "$password" \
    --ca "$state/certs/ca.crt" "$@" | grep -v '^full \|^resumed '
