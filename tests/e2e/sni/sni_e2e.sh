#!/usr/bin/env bash
# End-to-end test of the program on a StatusNotifierItem tray, driven through
# D-Bus alone:
#
#   sni_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# A private desktop without an XEmbed tray: Xvfb, openbox and a private
# session bus. The program starts before any tray exists and must appear once
# the watcher and host (sni_host.py) come up, after its error box about the
# missing tray (30 s) is on screen; its item carries the title
# "Postwren", every size of the icon as the artwork draws it, the icon's theme
# name, and exports the menu 今すぐチェック / 設定 / - / 終了. The menu's
# entries, sent the dbusmenu "clicked" event, run a check (the 205x66 popup),
# open the 257x188 settings dialog, and end the program with status 0. A left
# click (Activate) runs a check; a second start runs a check in the first
# process and leaves one item; a restarted tray gets the item again.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=sni_e2e
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$art"
mkdir -p "$art"
work=$(mktemp -d "${TMPDIR:-/tmp}/postwren-sni.XXXXXX")
mkdir -p "$work/runtime"
chmod 0700 "$work/runtime"
desktop_pids=()

# --- the desktop: an X server, a window manager and a session bus -----------------

Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$art/xvfb.log" &
desktop_pids+=($!)
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "$test_name: the X server did not start" >&2; exit 125; }
export DISPLAY=":$(head -n1 "$work/display")"

# shellcheck source=../bus_lib.sh
. "$here/../bus_lib.sh"
# Only what the test starts itself runs on it: no service is started on
# demand (the machine's keyring, for one, stays out).
private_bus_config session "$work" >"$work/bus.conf"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --address="unix:path=$work/bus" --print-address=3 \
    3>"$work/bus-address" 2>"$art/dbus.log" &
desktop_pids+=($!)
for _ in $(seq 200); do [ -s "$work/bus-address" ] && break; sleep 0.1; done
[ -s "$work/bus-address" ] || { echo "$test_name: the session bus did not start" >&2; exit 125; }
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus-address")
export DBUS_SESSION_BUS_ADDRESS
# The machine's own network and sleep services stay out of the test.
export DBUS_SYSTEM_BUS_ADDRESS="disabled:"
export XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0" # see desktop.sh
fi

openbox --sm-disable >"$art/openbox.log" 2>&1 &
desktop_pids+=($!)

# app_lib.sh is written for desktop.sh; this desktop has no XEmbed tray.
export DESKTOP_TRAY_WINDOW=none
# shellcheck source=../app_lib.sh
. "$here/../app_lib.sh"
# shellcheck source=sni_lib.sh
. "$here/sni_lib.sh"

cleanup() {
    stop_program
    stop_server
    stop_host
    local i
    for ((i = ${#desktop_pids[@]} - 1; i >= 0; i--)); do kill -TERM "${desktop_pids[i]}" 2>/dev/null || true; done
    for ((i = ${#desktop_pids[@]} - 1; i >= 0; i--)); do wait "${desktop_pids[i]}" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly server_log=$art/dovecot/dovecot.log
checks_of() { grep -c "pop3($1).*Logged out" "$server_log" || true; }
checks_reached() { [ "$(checks_of "$1")" -ge "$2" ]; }

start_server --user hanako:flower:0
"$probe" write --host "$pop3_address" --user hanako --password flower --cycle 60 --mailer "" ||
    fail "cannot store the settings"

# --- started before the tray: the item appears once the tray does ----------------

"$postwren" >"$art/postwren-first.log" 2>&1 &
app_pid=$!
wait_until checks_reached hanako 1 || fail "start: no check of the mailbox"
[ -z "$(items)" ] || fail "an item is listed although no tray runs"

# With no tray for 30 s the program says so in an error box titled "Postwren",
# and keeps waiting: the tray that comes while the box is up gets the item.
missing_box() { app_windows | awk '$6 == "Postwren" && !($4 == 205 && $5 == 66) { found = 1 } END { exit !found }'; }
box_deadline=$((SECONDS + 90))
until missing_box; do
    [ "$SECONDS" -lt "$box_deadline" ] || fail "no error box after 90 s without a tray"
    sleep 0.2
done
shot "no-tray-box"
start_host
wait_until one_item || fail "the item did not register with the tray that came after it"
box=$(app_windows | awk '!found && $6 == "Postwren" && !($4 == 205 && $5 == 66) { print $1; found = 1 }')
xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus --sync "$box"
xdotool key Return
box_closed() { ! missing_box; }
wait_until box_closed || fail "the error box does not close"
item=$(items)
echo "item: $item"
title=$(ctl title "$item") || fail "the item does not answer"
[ "$title" = "Postwren" ] || fail "the item's title is \"$title\""
# Every size the icon is drawn for reaches the host as drawn, with the icon's
# name in the theme beside the program.
ctl icon "$item" "$here/../../../resources" >"$art/icon.txt" 2>&1 || {
    cat "$art/icon.txt" >&2
    fail "the item's pictures are not the artwork drawn for each size"
}
echo "$test_name: the item offers $(grep -c ': as drawn$' "$art/icon.txt") sizes as drawn; $(tail -n1 "$art/icon.txt")"

expect_menu "$item" "start"
shot "item-registered"

# --- 今すぐチェック through the menu: a check and the popup -------------------------

ctl click "$item" "今すぐチェック" || fail "今すぐチェック: the event was not taken"
wait_until checks_reached hanako 2 || fail "今すぐチェック: no check"
wait_until popup_shown || fail "今すぐチェック: no ${popup_size} popup"
wait_until popup_titled "着信なし" || fail "今すぐチェック: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
shot "popup"

# --- Activate (a left click) runs a check ---------------------------------------------

ctl activate "$item" || fail "Activate: the call was not taken"
wait_until checks_reached hanako 3 || fail "Activate: no check"

# --- a second start: the first process checks, one item stays -------------------------

second_status=0
timeout 30 "$postwren" >"$art/postwren-second.log" 2>&1 || second_status=$?
[ "$second_status" -eq 0 ] || fail "second start: exit status $second_status"
wait_until checks_reached hanako 4 || fail "second start: the first process ran no check"
kill -0 "$app_pid" 2>/dev/null || fail "second start: the first process is gone"
one_item || fail "second start: $(item_count) items"

# --- 設定 opens the dialog --------------------------------------------------------------

ctl click "$item" "設定" || fail "設定: the event was not taken"
wait_until dialog_shown || fail "設定: no ${dialog_size} dialog"
shot "dialog"
xdotool key --window "$(dialog_id)" Escape
wait_until dialog_hidden || fail "Esc: the dialog stays open"

# --- the tray restarts: the item registers again -----------------------------------------

stop_host
start_host
wait_until one_item || fail "the item did not come back to the restarted tray"
item=$(items)

# --- 終了 ends the program with status 0 and the item leaves ------------------------------

ctl click "$item" "終了" || fail "終了: the event was not taken"
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
wait_until no_item || fail "終了: the item stays registered"

echo "$test_name: PASS"
