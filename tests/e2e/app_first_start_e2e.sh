#!/usr/bin/env bash
# End-to-end test of the program's first start, run inside desktop.sh:
#
#   desktop.sh app_first_start_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# With no stored settings the program starts with the settings dialog and no
# popup. The settings typed into the dialog and confirmed with Enter are
# stored, all five, the password scrambled, in a file private to the user. A
# double click on the tray icon checks the mailbox (three messages): the popup
# shows, titled "3通 着信"; it drags by its face; its close button hides it.
# "終了" in the tray menu ends the program with status 0 and takes the icon
# away. Screenshots of each step go to the artifact directory.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=app_first_start_e2e

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

cleanup() {
    stop_watching_crossings
    stop_program
    stop_server
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly store=$XDG_CONFIG_HOME/postwren/user.reg

start_server --user taro:secret:3

# --- first start: the dialog, no popup ---------------------------------------------

start_program first
wait_until dialog_shown || fail "first start: no settings dialog"
[ "$(dialog_shown | cut -d' ' -f6-)" = "Postwren" ] || fail "first start: the dialog is not titled Postwren"
popup_hidden || fail "first start: the popup is on screen"
shot "first-start-dialog"
status=0
"$probe" read >/dev/null || status=$?
[ "$status" -eq 3 ] || fail "first start: settings are stored before OK (probe status $status)"

# --- typing the settings, Enter ------------------------------------------------------

type_into "$field_pop3" "$pop3_address"
type_into "$field_user" "taro"
type_into "$field_password" "secret"
# The interval shows 0 (nothing stored yet); the first step brings it to 1.
d=$(dialog_id)
xdotool mousemove --window "$d" $cycle_up_arrow click 1 click 1
xdotool mousemove --window "$d" $field_password click 1
shot "settings-typed"
xdotool key Return
wait_until dialog_hidden || fail "Enter: the dialog stays open"

expect_stored "POP3=$pop3_address
UserID=taro
Password=secret
Cycle=2
Mailer="
[ "$(stat -c '%a' "$store")" = 600 ] || fail "the settings file is not private: mode $(stat -c '%a' "$store")"
grep -q secret "$store" && fail "the password is stored in plain text"
popup_hidden || fail "OK: the popup came up"

# --- check now by a double click -----------------------------------------------------

double_click_icon
wait_until popup_shown || fail "double click: no popup"
wait_until popup_titled "3通 着信" || fail "double click: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
dialog_hidden || fail "double click: the settings dialog came up"
shot "popup-three-messages"

# --- dragging the popup by its face ------------------------------------------------

# The window manager moves the popup once the program has handed it the press;
# a mouse moved before that moves nothing. The manager's pointer grab shows
# as a "leave grab" crossing event on the popup.
read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
readonly crossings=$art/drag-crossings.log
watch_crossings "$pid0" "$crossings"
xdotool mousemove --window "$pid0" 60 48 mousedown 1
move_started() { grep -qx "leave grab" "$crossings"; }
wait_until move_started || fail "drag: the window manager did not start moving the popup"
stop_watching_crossings
xdotool mousemove_relative --sync 40 30
xdotool mousemove_relative --sync 80 50
xdotool mouseup 1
popup_moved() {
    local id x y w h t
    read -r id x y w h t <<<"$(popup_shown)"
    [ "$x" -eq $((px + 120)) ] && [ "$y" -eq $((py + 80)) ]
}
wait_until popup_moved || fail "drag: the popup is at $(popup_shown | cut -d' ' -f2,3), not $((px + 120)) $((py + 80))"
shot "popup-dragged"

# --- the close button ----------------------------------------------------------------

read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 190 11 click 1
wait_until popup_hidden || fail "close button: the popup stays"
shot "popup-closed"
kill -0 "$app_pid" || fail "close button: the program ended"

# --- 終了 ---------------------------------------------------------------------------

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
wait_until icon_gone || fail "終了: the icon stays in the tray"
shot "after-exit"

echo "$test_name: PASS"
