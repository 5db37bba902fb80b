#!/usr/bin/env bash
# End-to-end test of trusting a server's own certificate, run inside desktop.sh:
#
#   desktop.sh app_trust_e2e.sh <postwren> <settings probe> <dovecot.sh> <tls_certs.sh> <artifact dir>
#
# A Dovecot that requires TLS and shows a self-signed certificate made by this
# run. The check at start fails on it and the program asks whether to trust
# the certificate, naming its fingerprint: No leaves it untrusted (the
# settings dialog opens), Yes on the next check pins it in the settings file
# and the check runs again: "3通 着信". Started again, the program checks
# through the stored pin and asks nothing.
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
readonly test_name=app_trust_e2e
# An address of its own: app_tls_e2e.sh uses 127.0.4.9.
readonly tls_address=127.0.4.12

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
# The server's own certificate is the self-signed one.
cp "$art/certs/selfsigned.crt" "$art/certs/server.crt"
cp "$art/certs/selfsigned.key" "$art/certs/server.key"
"$dovecot" start --dir "$art/dovecot" --address "$tls_address" --tls "$art/certs" --user taro:secret:3 >/dev/null ||
    fail "the TLS POP3 server did not start"
"$probe" write --host "pop3s://$tls_address" --user taro --password secret --cycle 60 --mailer /bin/true ||
    fail "cannot store the settings"
fingerprint=$(openssl x509 -noout -fingerprint -sha256 -in "$art/certs/selfsigned.crt")
fingerprint=${fingerprint#*=}
export SSL_CERT_FILE=$art/certs/ca.crt

tls_logons() { grep -c "Login: user=<taro>.*, TLS" "$server_log" || true; }
pin_stored() { grep -qi "\"$tls_address:995\"=\"$fingerprint\"" "$XDG_CONFIG_HOME/postwren/user.reg"; }

# --- the first check: asked, No ----------------------------------------------------

start_program first
wait_until question_shown || fail "first: no question about the certificate"
shot "question"
answer Escape
wait_until question_gone || fail "first: the question stayed"
wait_until dialog_shown || fail "first: No, but no settings dialog"
[ "$(tls_logons)" -eq 0 ] || fail "first: a log-on reached the server before the certificate was trusted"
pin_stored && fail "first: No, but a pin was stored"

# --- the next check: Yes, and the check runs again -----------------------------------

double_click_icon
wait_until question_shown || fail "second: no question about the certificate"
answer Return
wait_until popup_titled "3通 着信" || fail "second: after Yes the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
pin_stored || fail "second: no pin for $tls_address:995 in user.reg"
[ "$(tls_logons)" -eq 1 ] || fail "second: the server saw $(tls_logons) log-ons instead of 1"
shot "trusted"
stop_program

# --- a restart: the stored pin, no question ----------------------------------------

start_program restart
wait_until popup_titled "3通 着信" || fail "restart: the popup is titled \"$(popup_shown | cut -d' ' -f6-)\""
question_gone || fail "restart: asked again"
[ "$(tls_logons)" -eq 2 ] || fail "restart: the server saw $(tls_logons) log-ons instead of 2"

echo "$test_name: PASS"
