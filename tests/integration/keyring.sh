#!/usr/bin/env bash
# Starts or stops a private keyring for tests: a session bus of its own
# (dbus-daemon) with GNOME Keyring's Secret Service on it, whose login
# keyring is created (or opened) and unlocked from a password the script gives
# the daemon on standard input.
#
#   keyring.sh start --dir DIR [--password PASSWORD] [--no-keyring]
#   keyring.sh lock --dir DIR
#   keyring.sh unlock --dir DIR [--password PASSWORD]
#   keyring.sh stop --dir DIR
#
# start writes DIR/bus.address, the DBUS_SESSION_BUS_ADDRESS for the programs
# under test, and returns once the service answers and its "default" alias
# names a collection that is unlocked (at most 20 s). With --no-keyring only the bus runs: a
# session without a Secret Service. Everything the daemon keeps lives under
# DIR (HOME, XDG_DATA_HOME with the keyring file, XDG_RUNTIME_DIR); nothing of
# the machine's or the user's is touched. The default password is
# "keyring-test".
# lock locks the default collection through the service's own Lock call.
# unlock starts the daemon anew with the password start was given: the login
# keyring comes back unlocked, its items kept (they are on disk).
# stop returns once the daemon and the bus are gone (at most 20 s).
set -euo pipefail
# shellcheck source=../e2e/bus_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/bus_lib.sh"

usage() {
    echo "usage: $0 start --dir DIR [--password PASSWORD] [--no-keyring]" >&2
    echo "       $0 unlock --dir DIR [--password PASSWORD]" >&2
    echo "       $0 lock|stop --dir DIR" >&2
    exit 2
}

[ $# -ge 1 ] || usage
action=$1
shift
dir="" password=keyring-test with_keyring=1
while [ $# -gt 0 ]; do
    case $1 in
    --dir) dir=$2; shift 2 ;;
    --password) password=$2; shift 2 ;;
    --no-keyring) with_keyring=""; shift ;;
    *) usage ;;
    esac
done
[ -n "$dir" ] || usage

readonly wait_limit=200 # tenths of a second: 20 s
readonly service=org.freedesktop.secrets
readonly service_path=/org/freedesktop/secrets

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

pid_of() { [ -f "$dir/$1.pid" ] && cat "$dir/$1.pid" || true; }

# Ends the process whose pid is kept in DIR/NAME.pid, if it still runs.
end_process() {
    local name=$1 pid i
    pid=$(pid_of "$name")
    rm -f "$dir/$name.pid"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < wait_limit; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "keyring.sh: $name ($pid) did not end; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
}

bus_address() { head -n1 "$dir/bus.address"; }

# A call to the service, its reply printed by dbus-send.
service_call() {
    DBUS_SESSION_BUS_ADDRESS=$(bus_address) dbus-send --session --print-reply --dest="$service" "$@"
}

# The object path the "default" alias names; fails while there is none.
default_collection() {
    local reply path
    reply=$(service_call "$service_path" org.freedesktop.Secret.Service.ReadAlias string:default 2>/dev/null) ||
        return 1
    path=$(printf '%s\n' "$reply" | sed -n 's/^ *object path "\(.*\)"$/\1/p')
    [ -n "$path" ] && [ "$path" != / ] || return 1
    echo "$path"
}

# Succeeds once the default collection is there and unlocked: the daemon
# takes its name on the bus before it has read the password.
keyring_open() {
    local collection reply
    collection=$(default_collection) || return 1
    reply=$(service_call "$collection" org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.Secret.Collection string:Locked 2>/dev/null) || return 1
    printf '%s\n' "$reply" | grep -q 'boolean false'
}

start_bus() {
    private_bus_config session "$dir" >"$dir/bus.conf"
    : >"$dir/bus.address"
    dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=1 >"$dir/bus.address" \
        2>"$dir/bus.log" </dev/null &
    echo $! >"$dir/bus.pid"
    local i
    for ((i = 0; i < wait_limit; i++)); do
        [ -s "$dir/bus.address" ] && return 0
        sleep 0.1
    done
    echo "keyring.sh: the bus did not start" >&2
    cat "$dir/bus.log" >&2
    exit 1
}

start_daemon() {
    mkdir -p "$dir/home" "$dir/data" "$dir/config" "$dir/runtime"
    chmod 0700 "$dir/runtime"
    # A clean environment: only the private bus and directories.
    printf '%s' "$password" | env -i PATH="$PATH" HOME="$dir/home" XDG_DATA_HOME="$dir/data" \
        XDG_CONFIG_HOME="$dir/config" XDG_RUNTIME_DIR="$dir/runtime" DBUS_SESSION_BUS_ADDRESS="$(bus_address)" \
        gnome-keyring-daemon --foreground --unlock --components=secrets \
        --control-directory="$dir/runtime/keyring" >"$dir/keyring.log" 2>&1 &
    echo $! >"$dir/keyring.pid"
    local i
    for ((i = 0; i < wait_limit; i++)); do
        keyring_open && return 0
        sleep 0.1
    done
    echo "keyring.sh: the keyring did not come up unlocked on the bus" >&2
    cat "$dir/keyring.log" >&2
    exit 1
}

case $action in
start)
    end_process keyring
    end_process bus
    rm -rf "$dir/home" "$dir/data" "$dir/config" "$dir/runtime"
    start_bus
    [ -z "$with_keyring" ] || start_daemon
    ;;
lock)
    collection=$(default_collection) || { echo "keyring.sh: no keyring runs in $dir" >&2; exit 1; }
    service_call "$service_path" org.freedesktop.Secret.Service.Lock "array:objpath:$collection" >/dev/null
    ;;
unlock)
    [ -s "$dir/bus.address" ] || { echo "keyring.sh: no bus runs in $dir" >&2; exit 1; }
    end_process keyring
    start_daemon
    ;;
stop)
    end_process keyring
    end_process bus
    ;;
*)
    usage
    ;;
esac
