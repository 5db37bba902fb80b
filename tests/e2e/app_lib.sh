# Shared pieces of the program's end-to-end tests; sourced by app_*_e2e.sh,
# which run inside desktop.sh. The program is driven only through the screen:
# xdotool for the mouse and keyboard, xwininfo and the window titles for what
# is on screen, the clipboard for what an edit holds.
#
# Expects: $test_name, $art (artifact directory), $postwren (the program),
# $probe (the settings probe). Sets $app_pid while the program runs.

: "${DISPLAY:?run me inside desktop.sh}" "${DESKTOP_TRAY_WINDOW:?run me inside desktop.sh}"

readonly popup_size="205x66"
readonly dialog_size="257x188"
readonly pop3_address=127.0.0.1
readonly pop3_port=110

app_pid=""
shot_no=0

wait_seconds=20 # per step
# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=bus_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/bus_lib.sh"

on_failure() {
    import -window root "$art/failure.png" 2>/dev/null || true
    if [ -n "$app_pid" ]; then
        echo "--- the program's windows on screen (id X Y W H title)" >&2
        app_windows >&2 || true
    fi
    echo "--- the program's output" >&2
    cat "$art"/postwren*.log >&2 2>/dev/null || true
}

# A numbered screenshot of the whole screen, kept as a test artifact.
shot() {
    shot_no=$((shot_no + 1))
    import -window root "$art/$(printf '%02d' "$shot_no")-$1.png"
}

# --- the POP3 server -----------------------------------------------------------

start_server() {
    "$dovecot" start --dir "$art/dovecot" --address "$pop3_address" --port "$pop3_port" "$@" >/dev/null ||
        fail "the POP3 server did not start"
}
stop_server() { "$dovecot" stop --dir "$art/dovecot" >/dev/null 2>&1 || true; }

# --- desktop notifications ------------------------------------------------------

# A private session bus with a notification service that records each Notify
# call as a JSON line in $notifications; the program started afterwards talks
# to it. No StatusNotifierItem host is on this bus, so the tray stays XEmbed.
notifications=""
bus_pid=""
stub_pid=""
start_notification_service() {
    notifications=$art/notifications.jsonl
    : >"$notifications"
    start_private_session_bus "$art" "$art/bus.log"
    # Debian's own interpreter: python3-dbus-next is installed for it.
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/notification_stub.py" "$notifications" "$art/notifications.ready" \
        2>"$art/notification-stub.log" &
    stub_pid=$!
    wait_until test -e "$art/notifications.ready" || fail "the notification service did not start"
}

stop_notification_service() {
    [ -z "$stub_pid" ] || { kill -TERM "$stub_pid" 2>/dev/null || true; wait "$stub_pid" 2>/dev/null || true; }
    [ -z "$bus_pid" ] || { kill -TERM "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; }
    stub_pid=""
    bus_pid=""
}

notification_count() { [ -s "$notifications" ] && wc -l <"$notifications" || echo 0; }
notifications_reached() { [ "$(notification_count)" -ge "$1" ]; }
# One field of the n-th notification (1-based).
notification_field() {
    python3 -c 'import json, sys; print(json.loads(open(sys.argv[1], encoding="utf-8").readlines()[int(sys.argv[2]) - 1])[sys.argv[3]])' \
        "$notifications" "$1" "$2"
}

# --- the program ---------------------------------------------------------------

start_program() {
    local name=$1
    "$postwren" >"$art/postwren-$name.log" 2>&1 &
    app_pid=$!
    wait_until icon_in_tray || fail "$name: no icon in the tray"
}

program_ended() { ! kill -0 "$app_pid"; }

# Waits for the program to end; its exit status in $exit_status.
wait_program_end() {
    wait_until program_ended || fail "the program did not end"
    exit_status=0
    wait "$app_pid" || exit_status=$?
    app_pid=""
}

stop_program() {
    [ -n "$app_pid" ] || return 0
    kill -TERM "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
}

# Visible top-level windows of the program: "id X Y W H title" per line.
app_windows() {
    local w
    for w in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
        local geo
        geo=$(xwininfo -id "$w" | awk '
            /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }')
        echo "$w $geo $(xdotool getwindowname "$w" 2>/dev/null)"
    done
}

# The visible window of the given size: "id X Y W H title".
window_of_size() {
    local size=$1
    app_windows | awk -v w="${size%x*}" -v h="${size#*x}" '!found && $4 == w && $5 == h { print; found = 1 }
        END { exit !found }'
}
popup_shown() { window_of_size "$popup_size"; }
popup_hidden() { ! popup_shown; }
dialog_shown() { window_of_size "$dialog_size"; }
dialog_hidden() { ! dialog_shown; }
popup_titled() { [ "$(popup_shown | cut -d' ' -f6-)" = "$1" ]; }

# The program's icon in the tray.
tray_icon_class=postwren
# shellcheck source=tray_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/tray_lib.sh"

# The icon's centre, "X Y". A look at the tray can come back empty while the
# tray rebuilds its window tree; a click needs a whole answer, so this asks
# again until one comes (nothing at all after the deadline).
icon_centre() {
    local deadline=$((SECONDS + wait_seconds)) id w h x y
    until read -r id w h x y <<<"$(icon_window)" && [ -n "$y" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
    echo "$((x + w / 2)) $((y + h / 2))"
}

double_click_icon() {
    local cx cy
    read -r cx cy <<<"$(icon_centre)"
    [ -n "$cy" ] || fail "double click: no icon in the tray"
    xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
}

# A menu at the cursor: a window of the program at least 80 x 50 holding (cx, cy).
menu_at_cursor() {
    local cx=$1 cy=$2
    app_windows | awk -v px="$cx" -v py="$cy" '
        !found && $4 >= 80 && $5 >= 50 && $2 <= px && px <= $2 + $4 && $3 <= py && py <= $3 + $5 { print; found = 1 }
        END { exit !found }'
}

# Opens the tray menu and picks the entry with the given number of steps down
# from the top (1 "今すぐチェック", 2 "設定", 3 "終了"; the separator is skipped).
pick_menu_entry() {
    local steps=$1 cx cy i
    read -r cx cy <<<"$(icon_centre)"
    [ -n "$cy" ] || fail "right click: no icon in the tray"
    xdotool mousemove "$cx" "$cy" click 3
    wait_until menu_at_cursor "$cx" "$cy" || fail "right click at ($cx,$cy): no menu at the cursor"
    shot "menu"
    # Away from the menu, so the pointer does not pick an entry itself.
    xdotool mousemove 10 10
    for ((i = 0; i < steps; i++)); do xdotool key Down; done
    xdotool key Return
}

# --- the settings dialog ---------------------------------------------------------

# Client positions of the dialog's edits (their middles).
readonly field_pop3="120 14"
readonly field_user="120 38"
readonly field_password="120 62"
readonly field_mailer="150 106"
readonly cycle_up_arrow="243 79"

dialog_id() { dialog_shown | cut -d' ' -f1; }

# The question: a visible window of the program larger than the tray icon
# that is neither the popup nor the dialog.
question_shown() {
    app_windows | awk -v p="$popup_size" -v d="$dialog_size" '!found && $4 > 100 && $5 > 60 &&
        $4 "x" $5 != p && $4 "x" $5 != d { print; found = 1 } END { exit !found }'
}
question_gone() { ! question_shown; }
# Answers the question with a key: Return is Yes, Escape is No.
answer() {
    local box
    box=$(question_shown | cut -d' ' -f1)
    xdotool windowactivate --sync "$box" 2>/dev/null || xdotool mousemove --window "$box" 10 10 click 1
    xdotool key "$1"
}


# Clicks into a field of the dialog and replaces its text by typing.
type_into() {
    local field=$1 text=$2 d
    d=$(dialog_id)
    xdotool mousemove --window "$d" $field click 1
    xdotool key ctrl+a BackSpace
    [ -z "$text" ] || xdotool type --delay 15 "$text"
}

readonly clipboard_marker="(nothing copied)"
clipboard() { xclip -o -selection clipboard 2>/dev/null; }
clipboard_is_marker() { [ "$(clipboard)" = "$clipboard_marker" ]; }
clipboard_changed() { ! clipboard_is_marker; }

# What a field of the dialog holds, read through the clipboard. For fields
# that are not empty (an empty selection copies nothing).
field_text() {
    local field=$1 d
    d=$(dialog_id)
    printf '%s' "$clipboard_marker" | xclip -selection clipboard
    wait_until clipboard_is_marker || fail "cannot use the clipboard"
    xdotool mousemove --window "$d" $field click 1
    xdotool key ctrl+a ctrl+c
    wait_until clipboard_changed || fail "nothing was copied from the field at $field"
    clipboard
}

# Fails unless the stored settings hold exactly the expected lines.
expect_stored() {
    local expected=$1 got
    got=$("$probe" read) || fail "no settings are stored"
    [ "$got" = "$expected" ] || fail "stored settings differ:
--- expected
$expected
--- stored
$got"
}
