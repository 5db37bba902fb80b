#!/usr/bin/env bash
# End-to-end test of checks that follow the system's network and sleep, run
# inside desktop.sh:
#
#   desktop.sh app_network_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# A private system bus carries stand-ins for NetworkManager and logind
# (system_bus_stub.py), which the program reads as it would the real ones.
# The stored interval is an hour, so every check here is one the program
# makes of itself at start or for a change of the system.
#
# Offline at start, with no server to reach: the timed check at start is
# skipped with one log line, and there is neither a dialog nor a notification.
# The network returns: one check within seconds. The network flaps five
# times: the next check comes a minute after the last, not before. Restarted
# online, the program sleeps and wakes with the system: one check within
# seconds of the network's return after the wake. "終了" ends it with status 0.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=app_network_e2e

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

stub=$(dirname "$0")/system_bus_stub.py
readonly stub
system_bus_pid=""
system_stub_pid=""

# A private system bus with the stand-ins, saying `network` at first.
start_system_bus() {
    private_bus_config system "$art" >"$art/system-bus.conf"
    dbus-daemon --config-file="$art/system-bus.conf" --nofork --nopidfile --print-address=1 \
        >"$art/system-bus.address" 2>"$art/system-bus.log" &
    system_bus_pid=$!
    wait_until test -s "$art/system-bus.address" || fail "the private system bus did not start"
    DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$art/system-bus.address")
    export DBUS_SYSTEM_BUS_ADDRESS
    # Debian's own interpreter: python3-dbus-next is installed for it.
    /usr/bin/python3 "$stub" serve "$art/system-stub.ready" "$1" 2>"$art/system-stub.log" &
    system_stub_pid=$!
    wait_until test -e "$art/system-stub.ready" || fail "the NetworkManager and logind stand-ins did not start"
}

stop_system_bus() {
    [ -z "$system_stub_pid" ] || { kill -TERM "$system_stub_pid" 2>/dev/null || true; wait "$system_stub_pid" 2>/dev/null || true; }
    [ -z "$system_bus_pid" ] || {
        kill -TERM "$system_bus_pid" 2>/dev/null || true
        wait "$system_bus_pid" 2>/dev/null || true
    }
    system_stub_pid=""
    system_bus_pid=""
}

system() { /usr/bin/python3 "$stub" "$@" || fail "the stand-ins did not take \"$*\""; }

cleanup() {
    stop_program
    stop_server
    stop_notification_service
    stop_system_bus
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly server_log=$art/dovecot/dovecot.log

start_system_bus offline
start_notification_service
"$probe" write --host "$pop3_address" --user hanako --password flower --cycle 60 --mailer "" ||
    fail "cannot store the settings"

# Completed checks, as the server saw them.
checks() {
    [ -e "$server_log" ] || { echo 0; return; }
    grep -c "pop3(hanako).*Logged out" "$server_log" || true
}
checks_reached() { [ "$(checks)" -ge "$1" ]; }
# The program's log lines saying `text`, and their times in seconds since the epoch.
readonly stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4}'
logged() { grep -cE "^$stamp postwren: $2\$" "$art/postwren-$1.log" || true; }
logged_reached() { [ "$(logged "$1" "$2")" -ge "$3" ]; }
logged_times() {
    local line
    grep -E "^$stamp postwren: $2\$" "$art/postwren-$1.log" | while read -r line; do
        date -d "${line%% *}" +%s
    done
}

# --- offline at start: the timed check is skipped, quietly --------------------------

# Nothing listens on the mailbox's address yet: a check that ran would fail.
start_program offline
wait_until logged_reached offline "timed check skipped: the system is offline" 1 ||
    fail "offline: the check at start was not skipped"
dialog_hidden || fail "offline: the settings dialog is on screen"
popup_hidden || fail "offline: the popup is on screen"
[ "$(notification_count)" -eq 0 ] || fail "offline: $(notification_count) notifications"
shot "offline-nothing-on-screen"

# --- the network returns: one check within seconds ----------------------------------

start_server --user hanako:flower:0
began=$SECONDS
system network online
wait_until checks_reached 1 || fail "the network's return: no check"
took=$((SECONDS - began))
echo "$test_name: the network's return: checked after ${took} s"
[ "$took" -le 10 ] || fail "the network's return: the check took ${took} s"
[ "$(logged offline "the network is back: checking")" -eq 1 ] || fail "the network's return is not logged once"
dialog_hidden || fail "the network's return: the settings dialog is on screen"
popup_hidden || fail "the network's return: the popup is on screen for an empty mailbox"
[ "$(notification_count)" -eq 0 ] || fail "the network's return: $(notification_count) notifications"
[ "$(logged offline "timed check skipped: the system is offline")" -eq 1 ] ||
    fail "the skipped check was logged $(logged offline "timed check skipped: the system is offline") times"

# --- flapping: the next check a minute after the last -------------------------------

for _ in 1 2 3 4 5; do
    system network offline
    system network online
done
wait_seconds=90 wait_until checks_reached 2 || fail "flapping: no check after the network settled"
[ "$(checks)" -eq 2 ] || fail "flapping: $(checks) checks instead of 2"
mapfile -t back < <(logged_times offline "the network is back: checking")
[ "${#back[@]}" -eq 2 ] || fail "flapping: ${#back[@]} checks for the network's return logged instead of 2"
apart=$((back[1] - back[0]))
echo "$test_name: flapping five times: the second check came ${apart} s after the first"
# Whole seconds of the log's time stamps: 60 s apart may read as 59.
[ "$apart" -ge 59 ] || fail "flapping: two checks ${apart} s apart"
dialog_hidden || fail "flapping: the settings dialog is on screen"
shot "after-flapping"

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"

# --- sleep and wake: a check once the network is back -------------------------------

start_program woke
wait_until checks_reached 3 || fail "restart online: no check at start"
system network asleep
system sleep
system wake
system network connecting
began=$SECONDS
system network online
wait_until checks_reached 4 || fail "wake: no check after the network returned"
took=$((SECONDS - began))
echo "$test_name: the wake: checked ${took} s after the network returned"
[ "$took" -le 10 ] || fail "wake: the check took ${took} s"
[ "$(logged woke "woke from sleep: checking")" -eq 1 ] || fail "wake: the check is not logged once as the wake's"
dialog_hidden || fail "wake: the settings dialog is on screen"
[ "$(notification_count)" -eq 0 ] || fail "wake: $(notification_count) notifications"
shot "after-wake"

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了 after the wake: exit status $exit_status"

echo "$test_name: PASS"
