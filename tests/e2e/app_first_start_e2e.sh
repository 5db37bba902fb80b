#!/usr/bin/env bash
# End-to-end test of the program's first start, run inside desktop.sh:
#
#   desktop.sh app_first_start_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# With no stored settings the program starts with the settings dialog, which
# proposes a check interval of 10 minutes, and no popup. The server, user ID
# and password typed into the dialog and confirmed with Enter alone are
# stored, all five values with the interval 10, the password scrambled, in a
# file private to the user; the mailbox (three messages) is checked right
# after: the popup shows, titled "3通 着信". Its close button hides it; a
# double click on the tray icon checks again. The popup drags by its face; an
# instant click on its face leaves it in place, and the next right click on
# the tray icon opens the menu. "終了" in the tray menu ends the program with
# status 0 and takes the icon away. The dialog of a first start once more, the
# program laid out as installed in /usr/local (in a mount namespace of its
# own), for the README's picture of it. A start that cannot make sockets shows
# the error box, says why on standard error and ends with status 1.
# Screenshots of each step go to the artifact directory; settings.png and
# popup.png there are the README's pictures (docs/).
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
shot "settings-typed"

# Log-ons of a user, as the server saw them.
readonly server_log=$art/dovecot/dovecot.log
logons_of() { grep -c "pop3-login: .*Login: user=<$1>," "$server_log" || true; }
logons_reached() { [ "$(logons_of "$1")" -ge "$2" ]; }
[ "$(logons_of taro)" -eq 0 ] || fail "a log-on before OK"

xdotool key Return

# --- OK stores the settings and checks at once ------------------------------------------

# The check starts once the save is done, so the log-on says the file is complete.
wait_until logons_reached taro 1 || fail "OK: the server saw no log-on"
expect_stored "POP3=$pop3_address
UserID=taro
Password=secret
Cycle=10
Mailer="
[ "$(stat -c '%a' "$store")" = 600 ] || fail "the settings file is not private: mode $(stat -c '%a' "$store")"
grep -q secret "$store" && fail "the password is stored in plain text"
wait_until popup_shown || fail "OK: no popup after the check"
wait_until popup_titled "3通 着信" || fail "OK: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
dialog_hidden || fail "OK: the settings dialog is still on screen"
shot "popup-after-ok"
import -window "$(popup_shown | cut -d' ' -f1)" "$art/popup.png"

# --- the close button, then check now by a double click ---------------------------------

read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 190 11 click 1
wait_until popup_hidden || fail "close button: the popup stays"
double_click_icon
wait_until logons_reached taro 2 || fail "double click: the server saw no log-on"
wait_until popup_shown || fail "double click: no popup"
wait_until popup_titled "3通 着信" || fail "double click: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
dialog_hidden || fail "double click: the settings dialog came up"
shot "popup-three-messages"

# --- dragging the popup by its face ------------------------------------------------

# A press only arms the move; it starts once the pointer has gone the drag
# distance with the button held, and the popup follows the pointer's events in
# their order, so the release after these moves always ends it in place.
read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 60 48 mousedown 1
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

# --- an instant click on the face: the popup stays, the tray menu still opens -----------

# A move that started on the press would outlive the release and carry the
# popup along to the tray; it did so for most such clicks, so try a few.
read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
popup_in_place() {
    local id x y w h t
    read -r id x y w h t <<<"$(popup_shown)"
    [ "$x" -eq "$px" ] && [ "$y" -eq "$py" ]
}
for try in 1 2 3; do
    xdotool mousemove --window "$pid0" 60 48 click 1
    xdotool mousemove 300 200
    read -r cx cy <<<"$(icon_centre)"
    [ -n "$cy" ] || fail "instant click $try: no icon in the tray"
    xdotool mousemove "$cx" "$cy" click 3
    wait_until menu_at_cursor "$cx" "$cy" || fail "instant click $try: the next right click at ($cx,$cy) opened no menu"
    [ "$try" -gt 1 ] || shot "menu-after-instant-click"
    xdotool key Escape
    popup_in_place || fail "instant click $try: the popup went to $(popup_shown | cut -d' ' -f2,3) from $px $py"
    menu_gone() { ! menu_at_cursor "$cx" "$cy"; }
    wait_until menu_gone || fail "Esc: the tray menu stays"
done

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
# Settings that were not there yet are no failure to log.
! grep -q "check failed" "$art/postwren-first.log" || fail "a failure was logged: $(grep "check failed" "$art/postwren-first.log")"

# --- the dialog as an installed program shows it ---------------------------------------

# The program and its README where the install puts them under /usr/local, and
# that tree mounted on /usr/local for the program alone: its link label names
# the README as it does on a user's machine.
installed=$art/installed
mkdir -p "$installed/bin" "$installed/share/doc/postwren"
cp "$postwren" "$installed/bin/postwren"
cp "$(dirname "$postwren")/../share/doc/postwren/README.md" "$installed/share/doc/postwren/README.md"
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount --propagation private)
if "${namespace[@]}" true 2>/dev/null; then
    XDG_CONFIG_HOME=$art/config-installed "${namespace[@]}" \
        sh -c 'mount --bind "$1" /usr/local && exec /usr/local/bin/postwren' sh "$installed" \
        >"$art/postwren-installed.log" 2>&1 &
    app_pid=$!
    wait_until dialog_shown || fail "installed: no settings dialog"
    [ "$(readlink "/proc/$app_pid/exe")" = /usr/local/bin/postwren ] ||
        fail "installed: the program runs from $(readlink "/proc/$app_pid/exe")"
    type_into "$field_pop3" "$pop3_address"
    type_into "$field_user" "taro"
    type_into "$field_password" "secret"
    import -window "$(dialog_id)" "$art/settings.png"
    stop_program
else
    echo "$test_name: no mount namespace here; the README's picture of the dialog is not taken"
fi

# --- a start that cannot make sockets ---------------------------------------------------

no_inet=$(dirname "$0")/no_inet.py
error_box() { xdotool search --onlyvisible --pid "$app_pid" --name '^Postwren$'; }
if python3 "$no_inet" --check; then
    XDG_CONFIG_HOME=$art/config python3 "$no_inet" "$postwren" >"$art/postwren-no-sockets.log" 2>&1 &
    app_pid=$!
    wait_until error_box || fail "no sockets: no error box"
    shot "start-without-sockets"
    read -r box _ <<<"$(error_box)"
    xdotool windowactivate --sync "$box" key Return
    wait_program_end
    [ "$exit_status" -eq 1 ] || fail "no sockets: exit status $exit_status"
    grep -qx "postwren: cannot start: Initializaton of windows sockets failed" "$art/postwren-no-sockets.log" ||
        fail "no sockets: standard error says \"$(cat "$art/postwren-no-sockets.log")\""
else
    echo "$test_name: this machine cannot refuse sockets to one process; the failed start is not tried"
fi

echo "$test_name: PASS"
