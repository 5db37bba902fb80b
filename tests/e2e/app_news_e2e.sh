#!/usr/bin/env bash
# End-to-end test of new mail told with its sender and subject, run inside
# desktop.sh against a private Dovecot:
#
#   desktop.sh app_news_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# With the box cleared, the check at start is today's: the popup for the two
# messages waiting, no TOP, no notification. Ticked in the settings dialog
# (through the screen), the check after OK names both messages in one desktop
# notification with the category and sound hints. A message delivered while
# the program runs is named alone by the next timed check, which brings the
# closed popup back. After a restart the check at start names nothing and
# shows nothing. Cleared again, the check after OK asks no TOP and notifies
# nothing. Screenshots go to the artifact directory; notification.json there
# holds what the service was sent. Where dunst is installed, a last round
# ticks the box again with dunst drawing the notifications, and its
# notification of two more messages is the README's picture
# (notification.png; settings.png is the dialog with the box ticked).
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=app_news_e2e

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

dunst_pid=""
cleanup() {
    [ -z "$dunst_pid" ] || { kill -TERM "$dunst_pid" 2>/dev/null || true; wait "$dunst_pid" 2>/dev/null || true; }
    stop_program
    stop_server
    stop_notification_service
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
export XDG_STATE_HOME=$art/state
readonly server_log=$art/dovecot/dovecot.log
# The box's middle, in the dialog's client coordinates.
readonly new_mail_box="14 83"

start_server --user hanako:flower:2
start_notification_service
"$probe" write --host "$pop3_address" --user hanako --password flower --cycle 1 --mailer /bin/true ||
    fail "cannot store the settings"

# Completed checks of hanako as the server saw them, and the TOP commands of the last one.
checks_of() { grep -c "pop3(hanako).*Logged out" "$server_log" || true; }
checks_reached() { [ "$(checks_of)" -ge "$1" ]; }
last_tops() { grep "pop3(hanako).*Logged out" "$server_log" | tail -n1 | grep -o 'top=[0-9]*' | cut -d= -f2; }
close_popup() {
    local id
    id=$(popup_shown | cut -d' ' -f1)
    xdotool mousemove --window "$id" 190 11 click 1
    wait_until popup_hidden || fail "the popup's close button left it on screen"
}
toggle_new_mail_box() {
    pick_menu_entry 2
    wait_until dialog_shown || fail "設定: no settings dialog"
    xdotool mousemove --window "$(dialog_id)" $new_mail_box click 1
}

# --- cleared: the check at start is today's ------------------------------------------

start_program cleared
wait_until checks_reached 1 || fail "start: no check of the mailbox"
wait_until popup_titled "2通 着信" || fail "start: no popup for the two messages"
[ "$(last_tops)" = 0 ] || fail "start, box cleared: $(last_tops) TOP commands"
close_popup

# --- ticked through the screen: the check after OK names both ----------------------------

toggle_new_mail_box
shot "box-ticked"
import -window "$(dialog_id)" "$art/settings.png"
xdotool key Return
wait_until dialog_hidden || fail "OK: the dialog stays open"
expect_stored "POP3=$pop3_address
UserID=hanako
Password=flower
Cycle=1
Mailer=/bin/true
AnnounceNewMail=1"
wait_until checks_reached 2 || fail "OK: no check"
wait_until notifications_reached 1 || fail "ticked: no notification of the two messages"
[ "$(notification_field 1 summary)" = "新着メール 2通" ] || fail "ticked: the summary is \"$(notification_field 1 summary)\""
[ "$(notification_field 1 body)" = "sender2@example.org — test message 2
sender1@example.org — test message 1" ] || fail "ticked: the body is \"$(notification_field 1 body)\""
[ "$(notification_field 1 category)" = email.arrived ] || fail "ticked: category \"$(notification_field 1 category)\""
[ "$(notification_field 1 sound_name)" = message-new-email ] ||
    fail "ticked: sound \"$(notification_field 1 sound_name)\""
[ "$(last_tops)" = 2 ] || fail "ticked: $(last_tops) TOP commands instead of 2"
wait_until popup_titled "2通 着信" || fail "ticked: the check after OK shows no popup"
close_popup

# --- a delivery between two timed checks: only it is named ----------------------------

"$dovecot" deliver --dir "$art/dovecot" --user hanako --from "=?UTF-8?B?5bGx55Sw5aSq6YOO?= <taro@example.jp>" \
    --subject "=?ISO-2022-JP?B?GyRCMnE1RCRONUQ7dk8/GyhC?=" || fail "cannot deliver a message"
# The next timed check comes within the minute of the interval.
wait_seconds=90 wait_until notifications_reached 2 || fail "delivered: the timed check named nothing"
[ "$(notification_field 2 summary)" = "新着メール 1通" ] || fail "delivered: the summary is \"$(notification_field 2 summary)\""
[ "$(notification_field 2 body)" = "山田太郎 — 会議の議事録" ] || fail "delivered: the body is \"$(notification_field 2 body)\""
[ "$(last_tops)" = 1 ] || fail "delivered: $(last_tops) TOP commands instead of 1"
wait_until popup_titled "3通 着信" || fail "delivered: the timed check did not bring the popup back"
shot "new-mail-popup"
python3 -c 'import json, sys; print(json.dumps(json.loads(open(sys.argv[1], encoding="utf-8").readlines()[1]), ensure_ascii=False, indent=2))' \
    "$notifications" >"$art/notification.json"
echo "$test_name: notification: $(notification_field 2 summary) / $(notification_field 2 body)"

# --- after a restart nothing old is named -----------------------------------------------

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
before=$(checks_of)
start_program restarted
wait_until checks_reached $((before + 1)) || fail "restart: no check at start"
[ "$(last_tops)" = 0 ] || fail "restart: $(last_tops) TOP commands for mail named before"
popup_hidden || fail "restart: the popup came up for mail named before"
[ "$(notification_count)" -eq 2 ] || fail "restart: $(notification_count) notifications instead of 2"
shot "restart-nothing-new"

# --- cleared again: the exchange and the popup are today's -------------------------------

toggle_new_mail_box
xdotool key Return
wait_until dialog_hidden || fail "OK: the dialog stays open"
expect_stored "POP3=$pop3_address
UserID=hanako
Password=flower
Cycle=1
Mailer=/bin/true"
wait_until checks_reached $((before + 2)) || fail "cleared: no check after OK"
wait_until popup_titled "3通 着信" || fail "cleared: no popup"
[ "$(last_tops)" = 0 ] || fail "cleared: $(last_tops) TOP commands"
[ "$(notification_count)" -eq 2 ] || fail "cleared: $(notification_count) notifications instead of 2"
close_popup

# --- the README's picture: a notification as a desktop draws it --------------------------

notifications_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:org.freedesktop.Notifications | grep -q "boolean true"
}
# The first of dunst's visible windows (read whole: no reader ends the pipe early).
dunst_shown() {
    local ids
    ids=$(xdotool search --onlyvisible --class Dunst 2>/dev/null) && [ -n "$ids" ] || return 1
    echo "${ids%%$'\n'*}"
}
if command -v dunst >/dev/null; then
    # The recording service leaves the bus to a drawing one; the program keeps its connection.
    kill -TERM "$stub_pid" && wait "$stub_pid" || true
    stub_pid=""
    cat >"$art/dunstrc" <<'RC'
[global]
    font = IPAPGothic 10
    width = 340
    origin = top-right
    offset = 12x12
    frame_width = 1
    frame_color = "#5a6e8c"
    padding = 10
    horizontal_padding = 12
    format = "<b>%a</b>  %s\n%b"
    icon_position = off
[urgency_normal]
    background = "#f4f4f4"
    foreground = "#202020"
    timeout = 0
RC
    dunst -config "$art/dunstrc" >"$art/dunst.log" 2>&1 &
    dunst_pid=$!
    wait_until notifications_owned || fail "dunst did not take the notification service"
    "$dovecot" deliver --dir "$art/dovecot" --user hanako --from "=?UTF-8?B?6Yi05pyo6Iqx5a2Q?= <hanako@example.jp>" \
        --subject "=?UTF-8?B?5piO5pel44Gu5omT44Gh5ZCI44KP44Gb44Gr44Gk44GE44Gm?=" || fail "cannot deliver a message"
    "$dovecot" deliver --dir "$art/dovecot" --user hanako --from "Alice Example <alice@example.org>" \
        --subject "Re: lunch on Friday" || fail "cannot deliver a message"
    toggle_new_mail_box
    xdotool key Return
    wait_until dunst_shown || fail "dunst: no notification drawn"
    wait_until popup_titled "5通 着信" || fail "the picture's check: no popup"
    import -window "$(dunst_shown)" "$art/notification.png"
    shot "notification-drawn"
else
    echo "$test_name: no dunst here; the README's picture of a notification is not taken"
fi

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
echo "$test_name: PASS"
