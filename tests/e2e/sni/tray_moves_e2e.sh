#!/usr/bin/env bash
# End-to-end test of the icon between an XEmbed tray and a StatusNotifierItem
# host, run inside desktop.sh, whose trayer is the XEmbed tray:
#
#   desktop.sh tray_moves_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# A private session bus carries the test watcher and host (sni_host.py).
#
# 1. The panel first: a watcher that answers every call 0, 1.2, 1.5 or 5 s
#    late is up when the program starts. In each case the icon ends up as
#    exactly one item, which exports 今すぐチェック / 設定 / - / 終了 and
#    whose Activate runs a check, and trayer holds no icon of the program.
#    While the 5 s question is open, the icon is in trayer.
# 2. The watcher late: the icon docks into trayer and works there (a double
#    click checks); a watcher that comes 10 s later gets the icon as its one
#    item, which works.
# 3. The host leaves while its watcher stays, and comes back; then the
#    watcher leaves. Each time the icon moves, to trayer or back to the item,
#    and works where it is: a double click and the right-click menu in trayer,
#    Activate on the item.
# 4. trayer restarts: the icon comes back into the new one and works there;
#    終了 from trayer's menu ends the program with status 0.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=tray_moves_e2e
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$art"
mkdir -p "$art"
work=$(mktemp -d "${TMPDIR:-/tmp}/postwren-moves.XXXXXX")
bus_pid=""
own_trayer=""

# shellcheck source=../app_lib.sh
. "$here/../app_lib.sh"
# shellcheck source=sni_lib.sh
. "$here/sni_lib.sh"

cleanup() {
    stop_program
    stop_server
    stop_host
    [ -z "$own_trayer" ] || { kill -TERM "$own_trayer" 2>/dev/null || true; wait "$own_trayer" 2>/dev/null || true; }
    [ -z "$bus_pid" ] || { kill -TERM "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

# The session bus of this desktop (desktop.sh gives none).
# Only what the test starts itself runs on it: no service is started on
# demand (the machine's keyring, for one, stays out).
start_private_session_bus "$work" "$art/dbus.log"

export XDG_CONFIG_HOME=$art/config
readonly server_log=$art/dovecot/dovecot.log
checks_of() { grep -c "pop3($1).*Logged out" "$server_log" || true; }
checks_reached() { [ "$(checks_of hanako)" -ge "$1" ]; }
start_server --user hanako:flower:0
"$probe" write --host "$pop3_address" --user hanako --password flower --cycle 60 --mailer "" ||
    fail "cannot store the settings"

# Starts the program and waits for its check at start (a check asked for
# while one runs is skipped, so the others wait for it).
launch() {
    local before
    before=$(checks_of hanako)
    "$postwren" >"$art/postwren-$1.log" 2>&1 &
    app_pid=$!
    wait_until checks_reached $((before + 1)) || fail "$1: no check at start"
}

# The icon is the watcher's one item, with the program's menu, and not in
# trayer; Activate runs a check. Sets $item.
works_as_item() {
    local step=$1 before
    wait_until one_item || fail "$step: $(item_count) items"
    wait_until icon_gone || fail "$step: an icon in trayer beside the item"
    [ "$(ctl title "$item")" = "Postwren" ] || fail "$step: the item's title is \"$(ctl title "$item")\""
    expect_menu "$item" "$step"
    before=$(checks_of hanako)
    ctl activate "$item" || fail "$step: Activate was not taken"
    wait_until checks_reached $((before + 1)) || fail "$step: Activate ran no check"
}

# The icon is in trayer and a double click runs a check.
works_in_trayer() {
    local step=$1 before
    wait_until icon_in_tray || fail "$step: no icon in trayer"
    before=$(checks_of hanako)
    double_click_icon
    wait_until checks_reached $((before + 1)) || fail "$step: a double click ran no check"
}

# --- 1. the panel first, its watcher answering late ---------------------------------

for delay in 0 1.2 1.5 5; do
    start_host --delay "$delay"
    launch "delay-$delay"
    if [ "$delay" = 5 ]; then
        # The question is open: the icon waits in the tray that is there.
        wait_until icon_in_tray || fail "delay $delay: no icon anywhere while the watcher has not answered"
        shot "delay-$delay-unanswered"
    fi
    works_as_item "delay $delay"
    shot "delay-$delay-item"
    ctl click "$item" "終了" || fail "delay $delay: 終了 was not taken"
    wait_program_end
    [ "$exit_status" -eq 0 ] || fail "delay $delay: exit status $exit_status"
    wait_until no_item || fail "delay $delay: the item stays registered after the end"
    stop_host
    echo "$test_name: delay $delay: one item, menu and Activate work"
done

# --- 2. the watcher late --------------------------------------------------------------

launch late
works_in_trayer "no watcher"
docked=$SECONDS
shot "no-watcher"
# The case is a watcher that comes well after the icon went to trayer.
until [ $((SECONDS - docked)) -ge 10 ]; do sleep 0.2; done
start_host
works_as_item "watcher 10 s late"
shot "watcher-late"
echo "$test_name: watcher 10 s late: the icon moved to the item"

# --- 3. the host leaves, comes back; the watcher leaves ---------------------------------

host_leaves
wait_until no_item || fail "host left: the item stays registered"
works_in_trayer "host left"
host_returns
works_as_item "host back"
stop_host
works_in_trayer "watcher left"
before=$(checks_of hanako)
pick_menu_entry 1
wait_until checks_reached $((before + 1)) || fail "watcher left: 今すぐチェック ran no check"
shot "watcher-left"
echo "$test_name: host and watcher left: the icon moved back to trayer and works"

# --- 4. trayer restarts -------------------------------------------------------------

trayer_pid=$(xprop -id "$DESKTOP_TRAY_WINDOW" _NET_WM_PID | awk '{ print $3 }')
[ -n "$trayer_pid" ] || fail "cannot tell trayer's process"
kill -TERM "$trayer_pid"
trayer_gone() { ! kill -0 "$trayer_pid"; }
wait_until trayer_gone || fail "trayer does not end"
trayer --edge bottom --align right --widthtype pixel --width 120 --heighttype pixel --height 32 \
    --transparent false >"$art/trayer-restarted.log" 2>&1 &
own_trayer=$!
# The new panel may get the old one's window number.
new_panel() { DESKTOP_TRAY_WINDOW=$(xdotool search --onlyvisible --classname '^panel$' | sed -n 1p) && [ -n "$DESKTOP_TRAY_WINDOW" ]; }
wait_until new_panel || fail "the restarted trayer did not appear"
works_in_trayer "trayer restarted"
shot "trayer-restarted"
pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "trayer restarted: 終了: exit status $exit_status"
wait_until icon_gone || fail "trayer restarted: the icon stays in trayer after the end"
echo "$test_name: trayer restarted: the icon came back and works"

echo "$test_name: PASS"
