#!/usr/bin/env bash
# The program half of bench/soak.sh, run inside tests/e2e/desktop.sh:
#
#   soak_measure.sh <postwren> <server log> <user> <minutes> <sample every N checks> <artifact dir>
#
# Starts the program, waits for its first check, then once a second opens
# the tray icon's menu with a right click and picks "今すぐチェック" with the
# keyboard, as a person would, and waits for the server to log that check's
# log-out. Every N checks (and at the start and the end) it prints the
# program's resident memory and open descriptors. A check that does not reach
# the server within 20 s ends the run with a failure.
set -euo pipefail

if [ $# -ne 6 ]; then
    echo "usage: $0 <postwren> <server log> <user> <minutes> <sample every N checks> <artifact dir>" >&2
    exit 2
fi
postwren=$1
server_log=$2
user=$3
minutes=$4
sample_every=$5
art=$6
: "${DESKTOP_TRAY_WINDOW:?run me inside tests/e2e/desktop.sh}"
mkdir -p "$art"

readonly test_name=soak
wait_seconds=20

tray_icon_class=postwren
# shellcheck source=../tests/e2e/tray_lib.sh
. "$(dirname "$0")/../tests/e2e/tray_lib.sh"

checks_logged() { grep -c "pop3($user).*Logged out" "$server_log" || true; }
# True once the server has logged more than $1 checks.
checks_past() { [ "$(checks_logged)" -gt "$1" ]; }

pid=""
cleanup() { [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; }
trap cleanup EXIT

# What fail shows: the screen.
on_failure() { import -window root "$art/failure.png" 2>/dev/null || true; }
# shellcheck source=../tests/e2e/lib.sh
. "$(dirname "$0")/../tests/e2e/lib.sh"

# A menu of the program (a window at least 80 x 50) under the given point.
menu_at() {
    local px=$1 py=$2 w
    for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        xwininfo -id "$w" | awk -v px="$px" -v py="$py" '
            /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { exit !(w >= 80 && h >= 50 && x <= px && px <= x + w && y <= py && py <= y + h) }' && return 0
    done
    return 1
}

started=$SECONDS
"$postwren" >"$art/postwren.log" 2>&1 &
pid=$!
wait_until icon_in_tray || fail "no icon in the tray"
wait_until checks_past 0 || fail "the first check did not reach the server"

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }
fds() { ls "/proc/$pid/fd" | wc -l; }
printf '%8s %8s %10s %6s\n' "checks" "seconds" "VmRSS KiB" "fds"
sample() { printf '%8d %8d %10d %6d\n' "$1" $((SECONDS - started)) "$(rss_kib)" "$(fds)"; }

done_checks=$(checks_logged)
sample "$done_checks"
end=$((SECONDS + minutes * 60))
next_sample=$((done_checks + sample_every))
while [ "$SECONDS" -lt "$end" ]; do
    tick=$(date +%s%N)
    before=$(checks_logged)
    read -r _ w h x y <<<"$(icon_window)"
    [ -n "${w:-}" ] || fail "the icon left the tray"
    cx=$((x + w / 2)) cy=$((y + h / 2))
    xdotool mousemove "$cx" "$cy" click 3
    wait_until menu_at "$cx" "$cy" || fail "right click: no menu"
    xdotool mousemove 10 10 key Down Return
    wait_until checks_past "$before" || fail "check $((before + 1)) did not reach the server"
    kill -0 "$pid" 2>/dev/null || fail "the program ended"
    done_checks=$(checks_logged)
    if [ "$done_checks" -ge "$next_sample" ]; then
        sample "$done_checks"
        next_sample=$((next_sample + sample_every))
    fi
    # One check a second: sleep what is left of it.
    left_ns=$((1000000000 - ($(date +%s%N) - tick)))
    [ "$left_ns" -le 0 ] || sleep "$(awk -v n="$left_ns" 'BEGIN { printf "%.3f", n / 1e9 }')"
done
sample "$(checks_logged)"
import -window root "$art/last.png" 2>/dev/null || true
