#!/usr/bin/env bash
# End-to-end test of a mailbox that is in use, run inside desktop.sh:
#
#   desktop.sh app_busy_e2e.sh <postwren> <settings probe> <artifact dir>
#
# The stored settings point at a POP3 server that answers the password with
# "-ERR [IN-USE] ..." (RFC 2449), as servers do while the user's mail program
# holds the mailbox. The timed check at start fails: the program logs the
# server's reply, shows one desktop notification with it, and leaves the
# settings dialog closed, since nothing in the settings is wrong. A second
# check (a double click on the icon) logs again, notifies no more and opens
# no dialog either. Screenshots go to the artifact directory.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 <postwren> <settings probe> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
art=$3
readonly test_name=app_busy_e2e
# An address of its own, port 110 as a bare server name means.
readonly busy_address=127.0.6.2

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

peer_pid=""
cleanup() {
    stop_program
    [ -z "$peer_pid" ] || { kill -TERM "$peer_pid" 2>/dev/null || true; wait "$peer_pid" 2>/dev/null || true; }
    stop_notification_service
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly record=$art/peer-lines.txt
: >"$record"
/usr/bin/python3 "$(dirname "$0")/busy_pop3_peer.py" "$busy_address" 110 "$record" "$art/peer.ready" \
    2>"$art/peer.log" &
peer_pid=$!
wait_until test -e "$art/peer.ready" || fail "the busy POP3 server did not start"
start_notification_service
"$probe" write --host "$busy_address" --user taro --password secret --cycle 60 --mailer /bin/true ||
    fail "cannot store the settings"

refusals() { grep -c "^PASS " "$record" || true; }
refusals_reached() { [ "$(refusals)" -ge "$1" ]; }
readonly reply="-ERR [IN-USE] Mailbox is locked by another POP3 session"
readonly log_line_pattern="^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{4} postwren: check failed: Authentication failed \\(server: -ERR \\[IN-USE\\] Mailbox is locked by another POP3 session\\)$"
logged_failures() { grep -cE "$log_line_pattern" "$art/postwren-busy.log" || true; }
failures_logged() { [ "$(logged_failures)" -ge "$1" ]; }

# --- the timed check at start: logged, notified, no dialog ------------------------------

start_program busy
wait_until refusals_reached 1 || fail "start: no check reached the server"
wait_until notifications_reached 1 || fail "start: no desktop notification"
notice=$(notification_field 1 summary)
[ "$notice" = "メールを確認できませんでした: Authentication failed (server: $reply)" ] ||
    fail "the notification says \"$notice\""
wait_until failures_logged 1 || fail "start: no log line on standard error"
echo "$test_name: notification: $notice"
echo "$test_name: log line: $(grep -m1 -E "$log_line_pattern" "$art/postwren-busy.log")"

# --- another check: logged again, not notified again, still no dialog -------------------

double_click_icon
wait_until refusals_reached 2 || fail "double click: no second check"
wait_until failures_logged 2 || fail "double click: no second log line"
# The first failure's dialog, had it opened, has long been on screen by now.
dialog_hidden || fail "a busy mailbox opened the settings dialog"
popup_hidden || fail "a busy mailbox brought up the popup"
shot "busy-no-dialog"
[ "$(notification_count)" -eq 1 ] || fail "$(notification_count) notifications for one run of failures"
# Every check said QUIT after the refusal.
[ "$(grep -c '^QUIT$' "$record")" -ge 2 ] || fail "the checks did not say QUIT: $(tr '\n' ' ' <"$record")"

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"

echo "$test_name: PASS"
