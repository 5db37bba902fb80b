#!/usr/bin/env bash
# Starts or stops the test sign-in provider (oauth2_provider.py) as a
# background process for a test run's fixtures:
#
#   oauth2_fixture.sh start DIR [PROVIDER ARGUMENTS...]
#   oauth2_fixture.sh stop DIR
#
# DIR/port holds its port once it listens (start returns then, at most 20 s);
# DIR/pid its process; DIR/provider.log what it wrote.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 start|stop DIR [ARGS...]" >&2; exit 2; }
action=$1 dir=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
readonly wait_limit=200  # tenths of a second

stop_provider() {
    [ -f "$dir/pid" ] || return 0
    local pid
    pid=$(cat "$dir/pid")
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        for ((i = 0; i < wait_limit; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/pid" "$dir/port"
}

case $action in
start)
    mkdir -p "$dir"
    stop_provider
    # Detached, and without the caller's output open (CTest waits for it).
    setsid python3 "$here/oauth2_provider.py" --port-file "$dir/port" "$@" </dev/null >"$dir/provider.log" 2>&1 &
    echo $! >"$dir/pid"
    for ((i = 0; i < wait_limit; i++)); do
        if [ -s "$dir/port" ]; then
            echo "oauth2_fixture.sh: provider on 127.0.0.1:$(cat "$dir/port")"
            exit 0
        fi
        kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "oauth2_fixture.sh: the provider did not start; its log:" >&2
    cat "$dir/provider.log" >&2 || true
    stop_provider
    exit 1
    ;;
stop) stop_provider ;;
*) echo "usage: $0 start|stop DIR [ARGS...]" >&2; exit 2 ;;
esac
