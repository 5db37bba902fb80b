#!/usr/bin/env bash
# End-to-end test of the checks with stored settings, run inside desktop.sh:
#
#   desktop.sh app_checks_e2e.sh <postwren> <settings probe> <dovecot.sh> <artifact dir>
#
# The settings point at an empty mailbox and name a mail program. The check at
# start finds nothing and shows nothing; "今すぐチェック" shows the popup titled
# "着信なし"; its mailer button starts the mail program and hides the popup.
# The settings dialog comes up refilled from the current settings; a wrong
# password confirmed there is checked at once: the check fails, which logs a
# line with a time stamp and the server's reply, shows one desktop
# notification (recorded by a
# private notification service) and opens the dialog again. A second failure
# in the same run opens the dialog again, refilled over what was typed into
# it, and logs a line but notifies no more; Esc closes it without saving.
# "終了" ends the program with status 0. Screenshots go to the artifact directory.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
art=$4
readonly test_name=app_checks_e2e

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

cleanup() {
    stop_program
    stop_server
    stop_notification_service
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly server_log=$art/dovecot/dovecot.log

# The mail program: leaves a mark that it ran.
readonly mailer=$art/mailer.sh
readonly mailer_mark=$art/mailer-ran
printf '#!/bin/sh\necho ran >"%s"\n' "$mailer_mark" >"$mailer"
chmod +x "$mailer"

start_server --user taro:secret:3 --user hanako:flower:0
start_notification_service
"$probe" write --host "$pop3_address" --user hanako --password flower --cycle 60 --mailer "$mailer" ||
    fail "cannot store the settings"

# Completed checks of a user, as the server saw them.
checks_of() { grep -c "pop3($1).*Logged out" "$server_log" || true; }
checks_reached() { [ "$(checks_of "$1")" -ge "$2" ]; }
refused_logons() { grep -c "auth failed" "$server_log" || true; }
logon_refused() { [ "$(refused_logons)" -ge "$1" ]; }

# --- the check at start: an empty mailbox shows nothing ---------------------------

start_program stored
wait_until checks_reached hanako 1 || fail "start: no check of the mailbox"
popup_hidden || fail "start: the popup is on screen although the mailbox is empty"
dialog_hidden || fail "start: the settings dialog is on screen"
shot "start-empty-mailbox"

# --- 今すぐチェック: the popup says there is no mail ---------------------------------

pick_menu_entry 1
wait_until popup_shown || fail "今すぐチェック: no popup"
wait_until popup_titled "着信なし" || fail "今すぐチェック: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
[ "$(checks_of hanako)" -eq 2 ] || fail "今すぐチェック: $(checks_of hanako) checks instead of 2"
shot "popup-no-mail"

# --- the mailer button -----------------------------------------------------------------

read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 178 11 click 1
wait_until test -s "$mailer_mark" || fail "mailer button: the mail program did not run"
wait_until popup_hidden || fail "mailer button: the popup stays after the mail program started"
shot "after-mailer"

# --- 設定: the dialog, refilled; a wrong password confirmed ----------------------------

pick_menu_entry 2
wait_until dialog_shown || fail "設定: no settings dialog"
[ "$(field_text "$field_pop3")" = "$pop3_address" ] || fail "設定: the POP3 field is not refilled"
[ "$(field_text "$field_user")" = "hanako" ] || fail "設定: the user ID field is not refilled"
[ "$(field_text "$field_mailer")" = "$mailer" ] || fail "設定: the mailer field is not refilled"
shot "settings-refilled"
type_into "$field_password" "wrong"
refused_before=$(refused_logons)
xdotool key Return

# --- OK checks at once: the failure is logged, notified, and the dialog is back ----------

wait_until logon_refused $((refused_before + 1)) || fail "OK: no check with the new password"
expect_stored "POP3=$pop3_address
UserID=hanako
Password=wrong
Cycle=60
Mailer=$mailer"
wait_until notifications_reached 1 || fail "the failed check: no desktop notification"
notice=$(notification_field 1 summary)
[ "$notice" = "メールを確認できませんでした: Authentication failed (server: -ERR [AUTH] Authentication failed.)" ] ||
    fail "the notification says \"$notice\""
[ "$(notification_field 1 app_name)" = "Postwren" ] || fail "the notification is not from Postwren"
[ "$(notification_field 1 app_icon)" = "postwren" ] || fail "the notification has the icon \"$(notification_field 1 app_icon)\""
readonly log_line_pattern='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4} postwren: check failed: Authentication failed \(server: -ERR \[AUTH\] Authentication failed\.\)$'
logged_failures() { grep -cE "$log_line_pattern" "$art/postwren-stored.log" || true; }
failures_logged() { [ "$(logged_failures)" -ge "$1" ]; }
wait_until failures_logged 1 || fail "the failed check: no log line on standard error"
echo "$test_name: notification: $notice"
echo "$test_name: log line: $(grep -m1 -E "$log_line_pattern" "$art/postwren-stored.log")"
wait_until dialog_shown || fail "the failed check after OK: no settings dialog"
popup_hidden || fail "the failed check after OK: the popup came up"

# --- a failed check opens the dialog again, refilled over what was typed ---------------

type_into "$field_user" "typed-but-not-confirmed"
shot "settings-being-edited"
refused_before=$(refused_logons)
double_click_icon
wait_until logon_refused $((refused_before + 1)) || fail "check with a wrong password: the server refused nothing"
wait_until dialog_shown || fail "failed check: no settings dialog"
user_field_refilled() { [ "$(field_text "$field_user")" = "hanako" ]; }
wait_until user_field_refilled || fail "failed check: the dialog was not refilled"
popup_hidden || fail "failed check: the popup came up"
wait_until failures_logged 2 || fail "the second failed check: no log line"
shot "failed-check-dialog"

# --- Esc closes the dialog and saves nothing -------------------------------------------

type_into "$field_pop3" "changed.example"
xdotool key Escape
wait_until dialog_hidden || fail "Esc: the dialog stays open"
expect_stored "POP3=$pop3_address
UserID=hanako
Password=wrong
Cycle=60
Mailer=$mailer"

# --- 終了 -------------------------------------------------------------------------------

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
wait_until icon_gone || fail "終了: the icon stays in the tray"
# Two failures in one run: two log lines, one notification.
[ "$(logged_failures)" -eq 2 ] || fail "$(logged_failures) failures logged instead of 2"
[ "$(notification_count)" -eq 1 ] || fail "$(notification_count) notifications for one run of failures"

echo "$test_name: PASS"
