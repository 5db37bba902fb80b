#!/usr/bin/env bash
# Sign-in with real parts: postwren-check against a Dovecot that takes bearer
# tokens (XOAUTH2 and OAUTHBEARER; a second one OAUTHBEARER only), checked at
# the stand-in provider's introspection endpoint, with the sign-in kept in a
# real GNOME Keyring on a private bus and a "browser" that follows the
# address as a person's would.
#
#   oauth2_check.sh POSTWREN_CHECK WORKDIR
set -euo pipefail

check_bin=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
readonly both=127.0.7.1 bearer_only=127.0.7.2 user=alice@example.org
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cleanup() {
    "$here/dovecot.sh" stop --dir "$work/dovecot-both" >/dev/null 2>&1 || true
    "$here/dovecot.sh" stop --dir "$work/dovecot-bearer" >/dev/null 2>&1 || true
    "$here/oauth2_fixture.sh" stop "$work/provider" >/dev/null 2>&1 || true
    "$here/keyring.sh" stop --dir "$work/keyring" >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$here/tls_certs.sh" "$work/certs" "$both" "$bearer_only" >/dev/null
"$here/oauth2_fixture.sh" start "$work/provider" >/dev/null
port=$(cat "$work/provider/port")
provider=http://127.0.0.1:$port
mailbox=$user:unused:2
"$here/dovecot.sh" start --dir "$work/dovecot-both" --address "$both" --tls "$work/certs" --user "$mailbox" \
    --oauth2 "$work/provider/port" >/dev/null
"$here/dovecot.sh" start --dir "$work/dovecot-bearer" --address "$bearer_only" --tls "$work/certs" \
    --user "$mailbox" --oauth2 "$work/provider/port" --oauth2-mechanisms oauthbearer >/dev/null
"$here/keyring.sh" start --dir "$work/keyring" >/dev/null

export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/keyring/bus.address")
export HOME=$work/home XDG_CONFIG_HOME=$work/xdg/config XDG_STATE_HOME=$work/xdg/state
export XDG_CACHE_HOME=$work/xdg/cache XDG_DATA_HOME=$work/xdg/data
export SSL_CERT_FILE=$work/certs/ca.crt
export BROWSER=$here/oauth2_browser.py OAUTH2_BROWSER_LOG=$work/browser.log
mkdir -p "$HOME" "$XDG_CONFIG_HOME/postwren" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
cat >"$XDG_CONFIG_HOME/postwren/oauth2.json" <<JSON
{"providers": [{"name": "Test", "hosts": ["$both", "$bearer_only"],
  "authorize_url": "$provider/authorize", "token_url": "$provider/token",
  "device_authorization_url": "$provider/device", "client_id": "postwren-test",
  "scopes": ["mail", "offline_access"], "mechanisms": ["XOAUTH2", "OAUTHBEARER"]}]}
JSON

control() { curl -sf "$provider/control/$1" >/dev/null; }
stored_token() { secret-tool lookup application postwren kind oauth2 host "$1" user "$user" 2>/dev/null || true; }
grants() { curl -sf "$provider/control/log" | python3 -c 'import json,sys; print(sum(1 for e in json.load(sys.stdin) if e.get("grant_type") == sys.argv[1]))' "$1"; }

# Runs postwren-check; its status, standard output and error are kept.
run() {
    set +e
    "$check_bin" "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
}
expect() {
    local want_status=$1 want_out=$2 what=$3
    if [ "$status" != "$want_status" ] || [ "$(cat "$work/out")" != "$want_out" ]; then
        fail "$what: status $status (want $want_status), out '$(cat "$work/out")' (want '$want_out'), err: $(cat "$work/err")"
    fi
}
wait_for_browser() {
    for ((i = 0; i < 300; i++)); do
        grep -qx done "$OAUTH2_BROWSER_LOG" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the browser did not finish"
}

# 1. Sign in through the browser; the browser asks /favicon.ico first, which
#    gets 404 and does not end the sign-in.
run --sign-in --host "pop3s://$both" --user "$user" --timeout 60
expect 0 "" "sign-in"
grep -q "open this address in a browser: $provider/authorize?" "$work/err" || fail "sign-in did not print the address"
wait_for_browser
[ "$(cat "$OAUTH2_BROWSER_LOG")" = "$(printf '302 /authorize\n404 /favicon.ico\n200 /postwren\ndone')" ] ||
    fail "browser steps: $(cat "$OAUTH2_BROWSER_LOG")"
first=$(stored_token "$both")
[ -n "$first" ] || fail "no sign-in in the keyring"

# 2. Three checks in a row, XOAUTH2; each process renews its access token,
#    and the refresh token rotates every time, stored before use.
previous=$first
for n in 1 2 3; do
    run --host "pop3s://$both" --user "$user" --json
    expect 0 '{"count": 2}' "check $n"
    now=$(stored_token "$both")
    [ -n "$now" ] && [ "$now" != "$previous" ] || fail "check $n: the refresh token did not rotate"
    previous=$now
done
[ "$(grants refresh_token)" = 3 ] || fail "refresh grants: $(grants refresh_token)"
old=$(curl -s -o /dev/null -w '%{http_code}' -d grant_type=refresh_token -d client_id=postwren-test \
    --data-urlencode "refresh_token=$first" "$provider/token")
[ "$old" = 400 ] || fail "a used refresh token was taken again ($old)"
grep -q "AUTH XOAUTH2\|auth-method=XOAUTH2\|method=XOAUTH2" "$work/dovecot-both/dovecot.log" ||
    grep -qi "xoauth2" "$work/dovecot-both/dovecot.log" || fail "Dovecot logged no XOAUTH2 log-on"

# 3. OAUTHBEARER only, signed in without a browser (the address printed,
#    followed here) and then through a device code.
: >"$OAUTH2_BROWSER_LOG"
run --sign-in --host "pop3s://$bearer_only" --user "$user" --no-browser --timeout 60 &
signin=$!
address=""
for ((i = 0; i < 300; i++)); do
    address=$(sed -n 's/.*open this address in a browser: //p' "$work/err" 2>/dev/null || true)
    [ -n "$address" ] && break
    sleep 0.1
done
[ -s "$OAUTH2_BROWSER_LOG" ] && fail "--no-browser opened a browser"
"$BROWSER" "$address"
wait "$signin" || fail "sign-in without a browser failed: $(cat "$work/err")"
run --host "pop3s://$bearer_only" --user "$user"
expect 0 2 "OAUTHBEARER check"
grep -qi "oauthbearer" "$work/dovecot-bearer/dovecot.log" || fail "Dovecot logged no OAUTHBEARER log-on"

set +e
"$check_bin" --sign-in --device-code --host "pop3s://$bearer_only" --user "$user" --timeout 60 >"$work/out" \
    2>"$work/err" &
signin=$!
set -e
code=""
for ((i = 0; i < 300; i++)); do
    code=$(sed -n 's/.* and enter the code //p' "$work/err" 2>/dev/null || true)
    [ -n "$code" ] && break
    sleep 0.1
done
curl -sf "$provider/device/approve?user_code=$code&user=$user" >/dev/null || fail "device code '$code' not approved"
wait "$signin" || fail "device sign-in failed: $(cat "$work/err")"

# 4. The provider's introspection is down: Dovecot says [SYS/TEMP], exit 5.
control "mode?introspect=503"
run --host "pop3s://$both" --user "$user" --json
[ "$status" = 5 ] && grep -qF '"kind": "temporary", "server": "-ERR [SYS/TEMP] ' "$work/out" ||
    fail "[SYS/TEMP]: status $status, out $(cat "$work/out")"
control "mode?introspect=ok"

# 5. A plain address: refused before anything is sent.
logons=$(grep -c "pop3-login" "$work/dovecot-both/dovecot.log" || true)
run --host "$both" --user "$user"
[ "$status" = 2 ] && grep -q "goes only over TLS" "$work/err" || fail "plain address: $status $(cat "$work/err")"
[ "$(grep -c "pop3-login" "$work/dovecot-both/dovecot.log" || true)" = "$logons" ] ||
    fail "the plain address reached the server"

# 6. A tampered state: refused, nothing stored.
control "mode?authorize=tamper"
: >"$OAUTH2_BROWSER_LOG"
run --sign-in --host "pop3s://$both" --user bob@example.org --timeout 60
[ "$status" = 6 ] || fail "tampered state: status $status: $(cat "$work/err")"
[ -z "$(secret-tool lookup application postwren kind oauth2 host "$both" user bob@example.org 2>/dev/null)" ] ||
    fail "a tampered sign-in was stored"
control "mode?authorize=ok"

# 7. Revoked: the refresh token is refused, exit 6, kind signin.
control "revoke?user=$user"
run --host "pop3s://$both" --user "$user" --json
[ "$status" = 6 ] && grep -q '"kind": "signin"' "$work/out" || fail "revoked: $status $(cat "$work/out")"

# 8. Signed out: a check then needs a new sign-in.
run --sign-out --host "pop3s://$bearer_only" --user "$user"
expect 0 "" "sign-out"
[ -z "$(stored_token "$bearer_only")" ] || fail "sign-out left the sign-in"
run --host "pop3s://$bearer_only" --user "$user"
[ "$status" = 6 ] || fail "after sign-out: status $status"

# 9. No keyring: sign-in is a usage error that says a keyring is needed.
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus run --sign-in --host "pop3s://$both" --user "$user" --no-browser --timeout 20
[ "$status" = 2 ] && grep -qi "keyring" "$work/err" || fail "no keyring: $status $(cat "$work/err")"

# 10. No token in any file under the user's folders.
for token in "$first" "$previous"; do
    [ -n "$token" ] || continue
    if grep -rqF -- "$token" "$HOME" "$work/xdg"; then
        fail "a token was written to a file: $(grep -rlF -- "$token" "$HOME" "$work/xdg")"
    fi
done

[ "$failures" = 0 ] || exit 1
echo "oauth2_check.sh: every step held"
