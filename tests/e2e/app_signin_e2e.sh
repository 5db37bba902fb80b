#!/usr/bin/env bash
# End-to-end test of the program's sign-in window, run inside desktop.sh:
#
#   desktop.sh app_signin_e2e.sh <postwren> <dovecot.sh> <tls_certs.sh> <oauth2_fixture.sh> <keyring.sh> \
#       <oauth2_browser.py> <artifact dir>
#
# A Dovecot that takes bearer tokens over POP3S, checked at the stand-in
# provider's introspection endpoint; a providers file that names the server;
# a GNOME Keyring on a private bus. At the first start the settings are typed
# with the password left empty: OK brings up the sign-in window with the
# provider's address in its edit, ready to copy. The "browser" (xdg-open
# through $BROWSER) is held until the window has been looked at, then follows
# the address; the window closes by itself, the check logs on with the token
# and the popup's title shows the count. A second check logs on with the
# access token kept in memory. The refresh token is in the keyring and in no
# file under the XDG folders.
set -euo pipefail

if [ $# -ne 7 ]; then
    echo "usage: $0 <postwren> <dovecot.sh> <tls_certs.sh> <oauth2_fixture.sh> <keyring.sh> <oauth2_browser.py>" \
        "<artifact dir>" >&2
    exit 2
fi
postwren=$1
dovecot=$2
tls_certs=$3
fixture=$4
keyring=$5
browser=$6
art=$7
readonly test_name=app_signin_e2e
# Addresses of its own: postwren-check's sign-in test uses 127.0.7.1 and .2.
readonly address=127.0.8.1
readonly user=alice@example.org
readonly signin_size="320x112"

rm -rf "$art"
mkdir -p "$art"
art=$(cd "$art" && pwd)
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

cleanup() {
    stop_program
    "$dovecot" stop --dir "$art/dovecot" >/dev/null 2>&1 || true
    "$fixture" stop "$art/provider" >/dev/null 2>&1 || true
    "$keyring" stop --dir "$art/keyring" >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$tls_certs" "$art/certs" "$address" >/dev/null || fail "cannot make the certificates"
"$fixture" start "$art/provider" >/dev/null || fail "the sign-in provider did not start"
provider=http://127.0.0.1:$(cat "$art/provider/port")
"$dovecot" start --dir "$art/dovecot" --address "$address" --tls "$art/certs" --user "$user:unused:2" \
    --oauth2 "$art/provider/port" >/dev/null || fail "the POP3 server did not start"
"$keyring" start --dir "$art/keyring" >/dev/null || fail "the keyring did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$art/keyring/bus.address")
export DBUS_SESSION_BUS_ADDRESS

export XDG_CONFIG_HOME=$art/xdg/config XDG_STATE_HOME=$art/xdg/state
export XDG_CACHE_HOME=$art/xdg/cache XDG_DATA_HOME=$art/xdg/data
mkdir -p "$XDG_CONFIG_HOME/postwren" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
export SSL_CERT_FILE=$art/certs/ca.crt
cat >"$XDG_CONFIG_HOME/postwren/oauth2.json" <<JSON
{"providers": [{"name": "Test", "hosts": ["$address"],
  "authorize_url": "$provider/authorize", "token_url": "$provider/token",
  "device_authorization_url": "$provider/device", "client_id": "postwren-test",
  "scopes": ["mail", "offline_access"]}]}
JSON

# The browser xdg-open starts waits for $art/go, so the window can be seen
# while the sign-in waits for it.
export OAUTH2_BROWSER_LOG=$art/browser.log
cat >"$art/held-browser" <<SH
#!/bin/sh
echo "\$1" >"$art/browser.url"
while [ ! -e "$art/go" ]; do sleep 0.1; done
exec "$browser" "\$1"
SH
chmod +x "$art/held-browser"
export BROWSER=$art/held-browser
# xdg-open takes \$BROWSER outside a known desktop.
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID KDE_FULL_SESSION

readonly server_log=$art/dovecot/dovecot.log
bearer_logons() { grep -c "pop3-login: .*Login: user=<$user>" "$server_log" || true; }
bearer_logon_seen() { [ "$(bearer_logons)" -ge 1 ]; }
signin_shown() { window_of_size "$signin_size"; }
signin_hidden() { ! signin_shown; }
browser_asked() { test -s "$art/browser.url"; }
browser_done() { grep -qx done "$OAUTH2_BROWSER_LOG" 2>/dev/null; }

# --- the first start: OK with an empty password starts the sign-in -------------------

start_program signin
wait_until dialog_shown || fail "first start: no settings dialog"
type_into "$field_pop3" "pop3s://$address"
type_into "$field_user" "$user"
xdotool key Return
wait_until dialog_hidden || fail "OK: the dialog stays"
wait_until signin_shown || fail "OK: no sign-in window"
read -r sid sx sy sw sh stitle <<<"$(signin_shown)"
[ "$stitle" = "Postwren サインイン" ] || fail "the sign-in window is titled \"$stitle\""
wait_until browser_asked || fail "the browser was not started"
# The edit holds the address the browser was given, and it copies.
printf '%s' "$clipboard_marker" | xclip -selection clipboard
wait_until clipboard_is_marker || fail "cannot use the clipboard"
xdotool mousemove --window "$sid" 160 60 click 1
xdotool key ctrl+a ctrl+c
copied_address() { [ "$(clipboard)" = "$(cat "$art/browser.url")" ]; }
wait_until copied_address || fail "the edit copies \"$(clipboard)\", the browser got \"$(cat "$art/browser.url")\""
case $(cat "$art/browser.url") in
"$provider/authorize?"*) ;;
*) fail "the browser was sent to $(cat "$art/browser.url")" ;;
esac
[ "$(bearer_logons)" -eq 0 ] || fail "a log-on before the sign-in"
shot "signin-window"

# --- the browser signs in: the window closes and the check counts ------------------------

touch "$art/go"
wait_until browser_done || fail "the browser did not finish: $(cat "$OAUTH2_BROWSER_LOG" 2>/dev/null)"
wait_until signin_hidden || fail "the sign-in window stays after the sign-in"
wait_until bearer_logon_seen || fail "the server saw no XOAUTH2 log-on"
wait_until popup_titled "2通 着信" || fail "no popup titled with the count: \"$(popup_shown | cut -d' ' -f6-)\""
dialog_hidden || fail "the settings dialog came back"
shot "counted"

# A second check uses the access token held in memory: no refresh at the provider.
double_click_icon
logons_reached() { [ "$(bearer_logons)" -ge "$1" ]; }
wait_until logons_reached 2 || fail "double click: no second log-on"
wait_until popup_titled "2通 着信" || fail "double click: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
grants() {
    curl -sf "$provider/control/log" |
        python3 -c 'import json, sys; print(sum(1 for e in json.load(sys.stdin) if e.get("grant_type") == sys.argv[1]))' "$1"
}
[ "$(grants authorization_code)" = 1 ] || fail "$(grants authorization_code) codes traded instead of one"
[ "$(grants refresh_token)" = 0 ] || fail "the second check asked the provider for a new token"

token=$(secret-tool lookup application postwren kind oauth2 host "$address" user "$user" 2>/dev/null || true)
[ -n "$token" ] || fail "no sign-in in the keyring"
grep -qi xoauth2 "$server_log" || fail "Dovecot logged no XOAUTH2 log-on"
if grep -rqF "$token" "$art/xdg"; then
    fail "the refresh token is in a file: $(grep -rlF "$token" "$art/xdg")"
fi
! grep -qF "$token" "$art/postwren-signin.log" || fail "the refresh token is in the program's log"

pick_menu_entry 3
wait_program_end
[ "$exit_status" -eq 0 ] || fail "終了: exit status $exit_status"

echo "$test_name: PASS"
