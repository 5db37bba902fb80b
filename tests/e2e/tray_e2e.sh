#!/usr/bin/env bash
# End-to-end test of the tray icon, run inside desktop.sh:
#
#   desktop.sh tray_e2e.sh <tray_probe> <artifact dir>
#
# Starts the probe, finds its icon in the tray, hovers it (the tip shows),
# right-clicks it (the menu opens at the cursor), double-clicks it (the default
# item runs; the main form stays hidden) and picks "終了" (the icon leaves the
# tray while the program still runs, and the program exits with 0). A second
# run with the main form's restore switched on shows that a double click can
# bring the main form up, so the hidden-form check above can fail. Screenshots
# of each step go to the artifact directory.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <tray_probe> <artifact dir>" >&2
    exit 2
fi
probe=$1
art=$2
: "${DISPLAY:?run me inside desktop.sh}" "${DESKTOP_TRAY_WINDOW:?run me inside desktop.sh}"

readonly test_name=tray_e2e
readonly main_form="tray probe main form"
readonly probe_class=$(basename "$probe")

rm -rf "$art"
mkdir -p "$art"

wait_seconds=20 # per step
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

probe_pid=""
on_failure() {
    import -window root "$art/failure.png" 2>/dev/null || true
    echo "--- probe output" >&2
    tail -n +1 "$art"/*.out "$art"/*.err >&2 2>/dev/null || true
    if [ -n "$probe_pid" ]; then
        echo "--- the probe's windows on screen (id x y w h)" >&2
        probe_popups >&2 || true
    fi
}
cleanup() {
    if [ -n "$probe_pid" ] && kill -0 "$probe_pid" 2>/dev/null; then kill -TERM "$probe_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# --- what is on screen -------------------------------------------------------

# The probe's icon in the tray.
tray_icon_class=$probe_class
# shellcheck source=tray_lib.sh
. "$(dirname "$0")/tray_lib.sh"

# Visible top-level windows of the probe other than its icon: "id X Y W H" per line.
probe_popups() {
    local w icon_id
    icon_id=$(printf '%d' "$(icon_window | cut -d' ' -f1)" 2>/dev/null || echo 0)
    for w in $(xdotool search --onlyvisible --pid "$probe_pid" 2>/dev/null); do
        [ "$w" = "$icon_id" ] && continue
        eval "$(xdotool getwindowgeometry --shell "$w")"
        echo "$w $X $Y $WIDTH $HEIGHT"
    done
}

# A popup of at least min_w x min_h that contains (px, py).
popup_at() {
    local px=$1 py=$2 min_w=$3 min_h=$4
    probe_popups | awk -v px="$px" -v py="$py" -v mw="$min_w" -v mh="$min_h" '
        !found && $4 >= mw && $5 >= mh && $2 <= px && px <= $2 + $4 && $3 <= py && py <= $3 + $5 { print; found = 1 }
        END { exit !found }'
}
menu_open() { popup_at "$cx" "$cy" 80 50; }
menu_closed() { ! menu_open; }
# The tip: a small popup near the icon.
tip_shown() {
    probe_popups | awk -v x="$ix" -v y="$iy" '
        $4 < 300 && $5 < 60 && $2 < x + 100 && $2 + $4 > x - 100 && $3 < y + 60 && $3 + $5 > y - 60 { found = 1 }
        END { exit !found }'
}
main_form_visible() { xdotool search --onlyvisible --name "^$main_form\$"; }
said() { grep -qx -- "$1" "$out"; }
said_times() { [ "$(grep -cx -- "$1" "$out")" -eq "$2" ]; }

# --- driving the probe ---------------------------------------------------------

start_probe() {
    local name=$1
    shift
    out=$art/$name.out
    local fifo=$art/$name.in
    rm -f "$fifo"
    mkfifo -m 0600 "$fifo"
    "$probe" --hold "$@" <"$fifo" >"$out" 2>"$art/$name.err" &
    probe_pid=$!
    exec 3>"$fifo"  # the probe's standard input; closing it lets the probe end
    wait_until said "started show-main-form=0" || fail "$name: the probe did not start with its main form hidden"
    wait_until icon_in_tray || fail "$name: no icon of the probe in the tray"
    read -r icon_id iw ih ix iy <<<"$(icon_window)"
    cx=$((ix + iw / 2))
    cy=$((iy + ih / 2))
    echo "tray_e2e: $name: icon $icon_id, ${iw}x$ih at $ix,$iy"
}

open_menu() {
    xdotool mousemove "$cx" "$cy" click 3
    wait_until menu_open || fail "right click: no menu at the cursor ($cx,$cy)"
    read -r menu_id mx my mw mh <<<"$(menu_open)"
}

# With the menu open, picks "終了", its last entry, and checks the program
# takes its icon away before it ends, then ends with status 0.
exit_through_menu() {
    local name=$1
    xdotool mousemove "$((mx + mw / 2))" "$((my + mh - 10))" click 1
    wait_until said "icon-removed" || fail "$name: \"終了\" did not end the program"
    kill -0 "$probe_pid" 2>/dev/null || fail "$name: the program is gone already; cannot tell who removed the icon"
    wait_until icon_gone || fail "$name: the icon is still in the tray after the main form was destroyed"
    import -window root "$art/$name-after-exit.png"
    exec 3>&-
    local status=0
    wait "$probe_pid" || status=$?
    probe_pid=""
    [ "$status" -eq 0 ] || fail "$name: exit status $status"
    icon_gone || fail "$name: an icon is left in the tray after exit"
}

# --- as the main window designs it -------------------------------------------

start_probe designed
main_form_visible && fail "designed: the main form is on screen at start"

xdotool mousemove "$cx" "$cy"
wait_until tip_shown || fail "hover: no tip near the icon"
import -window root "$art/tip.png"
convert "$art/tip.png" -crop 320x140+$((1024 - 320))+$((768 - 140)) +repage "$art/tip-corner.png"

open_menu
echo "tray_e2e: menu ${mw}x$mh at $mx,$my"
import -window root "$art/menu.png"
convert "$art/menu.png" -crop 320x200+$((1024 - 320))+$((768 - 200)) +repage "$art/menu-corner.png"
xdotool key Escape
wait_until menu_closed || fail "Escape: the menu stays open"
said "default-item" && fail "the default item ran without a double click"

xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
wait_until said "default-item" || fail "double click: the default item did not run"
# The next right click is handled after everything the double click queued,
# so once its menu is open the double click has had all its effects.
open_menu
main_form_visible && fail "double click: the main form came up although DisableShowForm is on"
said_times "default-item" 1 || fail "double click: the default item ran more than once"
import -window root "$art/after-double-click.png"
exit_through_menu designed

# --- with the main form's restore switched on --------------------------------

start_probe restore --show-form
xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
wait_until said "default-item" || fail "restore: the default item did not run"
wait_until main_form_visible || fail "restore: a double click did not bring the main form up"
import -window root "$art/restore-main-form.png"
open_menu
exit_through_menu restore

echo "tray_e2e: PASS"
