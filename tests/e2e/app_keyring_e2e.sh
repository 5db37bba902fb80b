#!/usr/bin/env bash
# End-to-end test of the password in the desktop's keyring, run inside desktop.sh:
#
#   desktop.sh app_keyring_e2e.sh <postwren> <settings probe> <postwren-check> <dovecot.sh> <keyring.sh> <artifact dir>
#
# Without a Secret Service (the desktop's bus is switched off) the settings
# typed at the first start are stored as they always were, the password
# scrambled, and the program says once on standard error that no keyring
# runs. Then a GNOME Keyring starts on a private session bus, unlocked from a
# password given on its standard input: the next start moves the password
# into it (the item "Postwren: taro@127.0.0.1" with the attributes
# application, server and user, as secret-tool sees it), the settings file
# keeps no form of it, and the mailbox is checked with it. A restart checks
# with it again, and so does postwren-check without --host. Locked through the
# service's Lock call, the keyring is prompted for once: the check fails with
# the message and opens the dialog, and a second check fails the same way
# with no second prompt. With the item gone, typing the password into the
# dialog stores it again. A non-ASCII password reaches the keyring as UTF-8
# and reads back whole. A keyring whose unlock prompt never completes fails
# the check at start within its bound. Screenshots go to the artifact
# directory.
set -euo pipefail

if [ $# -ne 6 ]; then
    echo "usage: $0 <postwren> <settings probe> <postwren-check> <dovecot.sh> <keyring.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
check=$3
dovecot=$4
keyring=$5
art=$6
readonly test_name=app_keyring_e2e

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

monitor_pid=""
stalled_pid=""
cleanup() {
    stop_program
    [ -z "$stalled_pid" ] || { kill -TERM "$stalled_pid" 2>/dev/null || true; wait "$stalled_pid" 2>/dev/null || true; }
    stop_server
    [ -z "$monitor_pid" ] || { kill -TERM "$monitor_pid" 2>/dev/null || true; wait "$monitor_pid" 2>/dev/null || true; }
    "$keyring" stop --dir "$art/keyring" >/dev/null 2>&1 || true
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly store=$XDG_CONFIG_HOME/postwren/user.reg
readonly password=secret-7
readonly unreadable="キーリングからパスワードを読めませんでした"
readonly no_keyring_note="no keyring (Secret Service) on the session bus"

start_server --user "taro:$password:2"
readonly server_log=$art/dovecot/dovecot.log
logons_of() { grep -c "pop3-login: .*Login: user=<taro>," "$server_log" || true; }
logons_reached() { [ "$(logons_of)" -ge "$1" ]; }
log_lines() { grep -c -F "$1" "$art/postwren-$2.log" || true; }
log_lines_reached() { [ "$(log_lines "$1" "$2")" -ge "$3" ]; }

# --- no Secret Service: the store as it always was ------------------------------------

start_program plain
wait_until dialog_shown || fail "first start: no settings dialog"
type_into "$field_pop3" "$pop3_address"
type_into "$field_user" "taro"
type_into "$field_password" "$password"
xdotool key Return
wait_until logons_reached 1 || fail "no keyring: the server saw no log-on"
expect_stored "POP3=$pop3_address
UserID=taro
Password=$password
Cycle=10
Mailer="
# Exactly the earlier build's value: the password scrambled, no keyring mark.
"$probe" forms "$password" >"$art/forms-plain.txt" && fail "no keyring: the password is not in the file"
[ "$(cat "$art/forms-plain.txt")" = scrambled ] || fail "no keyring: the file holds the $(cat "$art/forms-plain.txt") form"
! grep -q PasswordInKeyring "$store" || fail "no keyring: the file has a keyring mark"
wait_until popup_titled "2通 着信" || fail "no keyring: no popup after the check"
[ "$(log_lines "$no_keyring_note" plain)" -eq 1 ] ||
    fail "no keyring: $(log_lines "$no_keyring_note" plain) notes instead of one"
shot "no-keyring-popup"
pick_menu_entry 3
wait_program_end

# --- a keyring runs: the next start moves the password into it --------------------------

readonly keyring_password=keyring-e2e
"$keyring" start --dir "$art/keyring" --password "$keyring_password" || fail "the keyring did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$art/keyring/bus.address")
export DBUS_SESSION_BUS_ADDRESS
# Every call of an unlock prompt on the bus, as it happens.
stdbuf -oL dbus-monitor "type='method_call',interface='org.freedesktop.Secret.Prompt',member='Prompt'" \
    >"$art/prompts.log" 2>&1 &
monitor_pid=$!
monitor_ready() { grep -q "NameAcquired" "$art/prompts.log"; }
wait_until monitor_ready || fail "the bus monitor did not start"
prompts() { grep -c "member=Prompt" "$art/prompts.log" || true; }

start_program keyring
wait_until logons_reached 2 || fail "keyring: the check at start saw no log-on"
wait_until popup_titled "2通 着信" || fail "keyring: no popup after the check at start"
[ "$(secret-tool lookup application postwren server "$pop3_address" user taro)" = "$password" ] ||
    fail "keyring: the item does not hold the password"
secret-tool search --all application postwren >"$art/items.txt" 2>&1
grep -qx "label = Postwren: taro@$pop3_address" "$art/items.txt" || fail "keyring: the item's label: $(cat "$art/items.txt")"
grep -qx "attribute.application = postwren" "$art/items.txt" || fail "keyring: no application attribute"
grep -qx "attribute.server = $pop3_address" "$art/items.txt" || fail "keyring: no server attribute"
grep -qx "attribute.user = taro" "$art/items.txt" || fail "keyring: no user attribute"
[ "$(grep -c '^\[' "$art/items.txt")" -eq 1 ] || fail "keyring: more than one item: $(cat "$art/items.txt")"
found=$("$probe" forms "$password") || fail "keyring: the $found form of the password is in the settings file"
expect_stored "POP3=$pop3_address
UserID=taro
Password=$password
Cycle=10
Mailer=
PasswordInKeyring=1"
[ "$(stat -c '%a' "$store")" = 600 ] || fail "the settings file is not private: mode $(stat -c '%a' "$store")"
[ "$(log_lines "$no_keyring_note" keyring)" -eq 0 ] || fail "keyring: it says no keyring runs"
shot "keyring-popup"

# --- a restart checks with it, and so does postwren-check ---------------------------------

pick_menu_entry 3
wait_program_end
start_program restart
wait_until logons_reached 3 || fail "restart: the check at start saw no log-on"
wait_until popup_titled "2通 着信" || fail "restart: no popup after the check at start"
dialog_hidden || fail "restart: the settings dialog came up"
[ "$("$check" --timeout 10)" = 2 ] || fail "postwren-check: no count from the stored settings"
logons_reached 4 || fail "postwren-check: the server saw no log-on"
[ "$(prompts)" -eq 0 ] || fail "an unlock prompt while the keyring was open"

# --- a locked keyring: one prompt, the check fails with the message ------------------------

"$keyring" lock --dir "$art/keyring" || fail "cannot lock the keyring"
read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 190 11 click 1
wait_until popup_hidden || fail "close button: the popup stays"
pick_menu_entry 1
wait_until dialog_shown || fail "locked: the failed check did not open the dialog"
wait_until log_lines_reached "check failed: $unreadable" restart 1 || fail "locked: no failure with the message"
[ "$(prompts)" -eq 1 ] || fail "locked: $(prompts) unlock prompts instead of one"
shot "locked-dialog"
xdotool key Escape
wait_until dialog_hidden || fail "Esc: the dialog stays"
pick_menu_entry 1
wait_until log_lines_reached "check failed: $unreadable" restart 2 || fail "locked, again: no failure with the message"
wait_until dialog_shown || fail "locked, again: the dialog did not open"
[ "$(prompts)" -eq 1 ] || fail "locked, again: $(prompts) unlock prompts: the prompt came back"
[ "$(logons_of)" -eq 4 ] || fail "locked: a log-on without the password"
status=0
"$check" --timeout 10 >/dev/null 2>"$art/check-locked.txt" || status=$?
[ "$status" -ne 0 ] && grep -qF "$unreadable" "$art/check-locked.txt" ||
    fail "postwren-check, locked: status $status, $(cat "$art/check-locked.txt")"
# A process of its own: one prompt of its own.
[ "$(prompts)" -eq 2 ] || fail "postwren-check, locked: $(prompts) unlock prompts in all instead of two"
xdotool key Escape
wait_until dialog_hidden || fail "Esc: the dialog stays"

# --- the item gone: typing the password again stores it again ----------------------------

"$keyring" unlock --dir "$art/keyring" --password "$keyring_password" || fail "cannot unlock the keyring"
secret-tool clear application postwren || fail "cannot take the item away"
pick_menu_entry 1
wait_until log_lines_reached "check failed: $unreadable" restart 3 || fail "item gone: no failure with the message"
wait_until dialog_shown || fail "item gone: the dialog did not open"
type_into "$field_password" "$password"
xdotool key Return
wait_until logons_reached 5 || fail "item gone: the password typed again was not checked"
wait_until popup_titled "2通 着信" || fail "item gone: no popup after the check"
[ "$(secret-tool lookup application postwren server "$pop3_address" user taro)" = "$password" ] ||
    fail "item gone: the password typed again is not in the keyring"
found=$("$probe" forms "$password") || fail "item gone: the $found form of the password is in the settings file"

# --- a password beyond ASCII reaches the keyring as UTF-8 and reads back whole ----------------

readonly wide_password="pass-パス①"
# The popup stays on top: out of the dialog's way first.
read -r pid0 px py pw ph ptitle <<<"$(popup_shown)"
xdotool mousemove --window "$pid0" 190 11 click 1
wait_until popup_hidden || fail "close button: the popup stays"
pick_menu_entry 2
wait_until dialog_shown || fail "設定: no dialog"
# Pasted: xdotool's typing of characters off the keyboard map drops one now
# and then on a busy machine.
printf '%s' "$wide_password" | xclip -selection clipboard
clipboard_is_wide() { [ "$(clipboard)" = "$wide_password" ]; }
wait_until clipboard_is_wide || fail "cannot use the clipboard"
type_into "$field_password" ""
xdotool key ctrl+v Return
wait_until dialog_hidden || fail "OK: the dialog stays"
stored_wide() { [ "$(secret-tool lookup application postwren server "$pop3_address" user taro)" = "$wide_password" ]; }
wait_until stored_wide || fail "wide: the keyring holds $(secret-tool lookup application postwren | od -c | head -3)"
found=$("$probe" forms "$wide_password") || fail "wide: the $found form of the password is in the settings file"
"$probe" read >"$art/stored-wide.txt"
grep -qx "Password=$wide_password" "$art/stored-wide.txt" || fail "wide: read back as $(grep Password= "$art/stored-wide.txt")"
# The server knows the other password: the check after OK fails and opens the
# dialog again, which goes before 終了 (it would take the menu's keys).
wait_until log_lines_reached "check failed: Authentication failed" restart 1 || fail "wide: no check after OK"
wait_until dialog_shown || fail "wide: the failed check did not open the dialog"
shot "wide-password"
xdotool key Escape
wait_until dialog_hidden || fail "Esc: the dialog stays"

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"
[ "$(prompts)" -eq 2 ] || fail "$(prompts) unlock prompts in all"

# --- a keyring whose unlock prompt never completes: the check gives up in time -------------

"$keyring" stop --dir "$art/keyring" || fail "the keyring did not stop"
"$keyring" start --dir "$art/keyring" --no-keyring || fail "the bus for the stalled keyring did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$art/keyring/bus.address")
/usr/bin/python3 "$(dirname "$dovecot")/stalled_prompt_secrets.py" "$art/stalled.ready" 2>"$art/stalled.log" &
stalled_pid=$!
wait_until test -e "$art/stalled.ready" || fail "the stalled keyring did not start: $(cat "$art/stalled.log")"
start_program stalled
# The check at start bounds its keyring wait at 30 s (the program sets no
# time-out of its own); the prompt's own wait is a minute.
wait_seconds=50 wait_until log_lines_reached "check failed: $unreadable" stalled 1 ||
    fail "stalled prompt: the check at start did not give up within 50 s"
wait_until dialog_shown || fail "stalled prompt: the failed check did not open the dialog"
xdotool key Escape
wait_until dialog_hidden || fail "Esc: the dialog stays"
pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "stalled prompt, 終了: exit status $exit_status"

echo "$test_name: PASS"
