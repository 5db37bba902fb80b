#!/usr/bin/env bash
# End-to-end test of a TLS mailbox, run inside desktop.sh:
#
#   desktop.sh app_tls_e2e.sh <postwren> <settings probe> <dovecot.sh> <tls_certs.sh> <artifact dir>
#
# A Dovecot that requires TLS, with a certificate from a private CA made by
# this run. The settings name the server as pop3s://; with the CA trusted
# through SSL_CERT_FILE the check at start and a double click on the tray
# icon show "3通 着信". Started again without the CA, the program refuses the
# certificate, logs nothing on, asks whether to trust it and, told No, opens
# the settings dialog.
set -euo pipefail

if [ $# -ne 5 ]; then
    echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <tls_certs.sh> <artifact dir>" >&2
    exit 2
fi
postwren=$1
probe=$2
dovecot=$3
tls_certs=$4
art=$5
readonly test_name=app_tls_e2e
# An address of its own: the TLS integration tests use 127.0.0.4, .5 and 127.0.4.6 to .8.
readonly tls_address=127.0.4.9

rm -rf "$art"
mkdir -p "$art"
# shellcheck source=app_lib.sh
. "$(dirname "$0")/app_lib.sh"

cleanup() {
    stop_program
    "$dovecot" stop --dir "$art/dovecot" >/dev/null 2>&1 || true
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$art/config
readonly server_log=$art/dovecot/dovecot.log

"$tls_certs" "$art/certs" "$tls_address" || fail "cannot make the certificates"
"$dovecot" start --dir "$art/dovecot" --address "$tls_address" --tls "$art/certs" --user taro:secret:3 >/dev/null ||
    fail "the TLS POP3 server did not start"
"$probe" write --host "pop3s://$tls_address" --user taro --password secret --cycle 60 --mailer /bin/true ||
    fail "cannot store the settings"

checks_of() { grep -c "pop3(taro).*Logged out" "$server_log" || true; }
checks_reached() { [ "$(checks_of)" -ge "$1" ]; }
tls_logons() { grep -c "Login: user=<taro>.*, TLS" "$server_log" || true; }
refused_handshakes() { grep -c "lip=$tls_address.*TLS handshaking" "$server_log" || true; }
handshake_refused() { [ "$(refused_handshakes)" -ge 1 ]; }

# --- the private CA trusted: checks go through ------------------------------------

export SSL_CERT_FILE=$art/certs/ca.crt
start_program tls
wait_until checks_reached 1 || fail "start: no check of the mailbox"
wait_until popup_titled "3通 着信" || fail "start: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
dialog_hidden || fail "start: the settings dialog is on screen"
shot "start-tls"

double_click_icon
wait_until checks_reached 2 || fail "double click: no second check"
wait_until popup_titled "3通 着信" || fail "double click: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
[ "$(tls_logons)" -ge 2 ] || fail "the server saw $(tls_logons) log-ons over TLS instead of 2"
shot "double-click-tls"
stop_program

# --- without the CA: the certificate is refused and the dialog opens ---------------

export SSL_CERT_FILE=$art/certs/no-such-ca.crt
export SSL_CERT_DIR=$art/certs/no-such-dir
logons_before=$(tls_logons)
start_program untrusted
wait_until handshake_refused || fail "untrusted: the server saw no refused handshake"
# An issuer the trust store does not know: the program asks whether to trust
# the certificate (app_trust_e2e.sh follows a Yes); No leaves it refused.
wait_until question_shown || fail "untrusted: no question about the certificate"
answer Escape
wait_until dialog_shown || fail "untrusted: no settings dialog"
popup_hidden || fail "untrusted: the popup came up"
[ "$(tls_logons)" -eq "$logons_before" ] || fail "untrusted: a log-on reached the server"
shot "untrusted-dialog"

echo "$test_name: PASS"
