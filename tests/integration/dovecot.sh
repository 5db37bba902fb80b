#!/usr/bin/env bash
# Starts or stops a private Dovecot POP3 server for tests, benchmarks and demos.
#
#   dovecot.sh start --dir DIR [--address ADDR] [--port PORT]
#                    [--user NAME:PASSWORD:MESSAGES]... [--prefork N]
#                    [--tls CERTDIR [--tls-cert ADDR=NAME]...] [--no-plaintext-auth]
#                    [--oauth2 PORTFILE [--oauth2-mechanisms "xoauth2 oauthbearer"]]
#   dovecot.sh deliver --dir DIR --user NAME --from FROM --subject SUBJECT
#   dovecot.sh stop --dir DIR
#
# The configuration, state_dir and log live under DIR, so several instances
# can run side by side on different loopback addresses. What processes that do
# not run as root must reach (the maildirs, the passwd-file, base_dir with the
# master's sockets) lives in a folder of the instance's own under /tmp, made
# at start and removed at stop: no folder above DIR is opened to other users
# for it. Only root can start and stop the server. Log-ons are plaintext USER/PASS
# without TLS. --prefork starts that many login and pop3 processes ahead, so a
# benchmark measures the client rather than the server's process start-up.
# Without --user the instance holds "alice" (password "wonderland", 3
# messages) and "bob" (password "builder", no messages).
# --tls makes log-ons require TLS: POP3S on port 995 and STLS on PORT, with
# CERTDIR/server.crt and .key (see tls_certs.sh); each --tls-cert also listens
# on ADDR and serves CERTDIR/NAME.crt and .key to clients that connect there.
# --no-plaintext-auth refuses log-ons in clear (disable_plaintext_auth); with
# --tls, TLS is then offered rather than required (ssl = yes), so the refusal
# is the plaintext setting's own.
# --oauth2 also takes OAuth 2.0 bearer tokens (SASL XOAUTH2 and OAUTHBEARER, or
# the --oauth2-mechanisms given), checked at the introspection endpoint of the
# test provider whose port PORTFILE holds (oauth2_provider.py); the token's
# "email" is the user, so such users are named by their address.
# deliver puts one more message into a running instance's mailbox of NAME,
# with the From and Subject header fields given (as they go in the header,
# encoded words and all); the next log-on sees it.
# start returns once the server answers with its greeting (at most 20 s);
# stop returns once the master process is gone (at most 20 s).
set -euo pipefail

usage() {
    echo "usage: $0 start --dir DIR [--address ADDR] [--port PORT] [--user NAME:PASSWORD:MESSAGES]... [--prefork N]" >&2
    echo "                 [--tls CERTDIR [--tls-cert ADDR=NAME]...] [--no-plaintext-auth]" >&2
    echo "                 [--oauth2 PORTFILE [--oauth2-mechanisms MECHANISMS]]" >&2
    echo "       $0 deliver --dir DIR --user NAME --from FROM --subject SUBJECT" >&2
    echo "       $0 stop --dir DIR" >&2
    exit 2
}

[ $# -ge 1 ] || usage
action=$1
shift
dir="" address=127.0.0.2 port=110 prefork=0 tls_dir="" plaintext_auth=yes
users=() tls_certs=() oauth2_port_file="" oauth2_mechanisms="xoauth2 oauthbearer"
from="" subject=""
while [ $# -gt 0 ]; do
    case $1 in
    --dir) dir=$2; shift 2 ;;
    --address) address=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --user) users+=("$2"); shift 2 ;;
    --prefork) prefork=$2; shift 2 ;;
    --tls) tls_dir=$2; shift 2 ;;
    --tls-cert) tls_certs+=("$2"); shift 2 ;;
    --no-plaintext-auth) plaintext_auth=no; shift ;;
    --oauth2) oauth2_port_file=$2; shift 2 ;;
    --oauth2-mechanisms) oauth2_mechanisms=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --subject) subject=$2; shift 2 ;;
    *) usage ;;
    esac
done
[ -n "$dir" ] || usage
[ ${#users[@]} -gt 0 ] || users=(alice:wonderland:3 bob:builder:0)

readonly wait_limit=200     # tenths of a second: 20 s
readonly mail_user=mail     # mail processes may not run as root

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
conf=$dir/dovecot.conf

# The instance's folder under /tmp (see above); its name is kept in DIR. Short,
# too: a UNIX socket path in base_dir may not exceed 107 bytes.
readonly shared_record=$dir/shared-dir
readonly shared_pattern='/tmp/postwren-dovecot.*'
shared_dir() {
    local d
    [ -f "$shared_record" ] && d=$(cat "$shared_record") || return 0
    # Only ever a folder this script made.
    # shellcheck disable=SC2053
    [[ $d == $shared_pattern && $d != */../* ]] && echo "$d"
}

master_pid() {
    local d f
    d=$(shared_dir)
    f=$d/run/master.pid
    [ -n "$d" ] && [ -f "$f" ] && cat "$f" || true
}

stop_server() {
    local pid
    pid=$(master_pid)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        for ((i = 0; i < wait_limit; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "dovecot.sh: master $pid did not stop; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    local d
    d=$(shared_dir)
    [ -z "$d" ] || rm -rf "$d"
    rm -f "$shared_record"
}

write_message() {
    local file=$1 user=$2 n=$3
    cat >"$file" <<MSG
From: sender$n@example.org
To: $user@example.org
Subject: test message $n
Date: Mon, 1 Jan 2024 00:00:0$((n % 10)) +0000
Message-ID: <$user.$n@example.org>

This is test message $n for $user.
MSG
}

# One message more for a user of the running instance: written in the
# maildir's tmp/ and moved into new/, so a log-on never sees half of it.
deliver() {
    local d name=${users[0]%%:*}
    d=$(shared_dir)
    [ -n "$d" ] && [ -d "$d/home/$name/Maildir/new" ] || { echo "dovecot.sh: no mailbox of $name in $dir" >&2; exit 1; }
    local unique
    unique=$(date +%s).M$$P$RANDOM.postwren
    local tmp=$d/home/$name/Maildir/tmp/$unique
    cat >"$tmp" <<MSG
From: $from
To: $name@example.org
Subject: $subject
Date: $(date -R)
Message-ID: <$unique@example.org>

A message delivered while the server runs.
MSG
    chown "$(id -u "$mail_user"):$(id -g "$mail_user")" "$tmp"
    mv "$tmp" "$d/home/$name/Maildir/new/$unique"
}

start_server() {
    stop_server
    local uid gid
    uid=$(id -u "$mail_user")
    gid=$(id -g "$mail_user")
    rm -rf "$dir/state"
    mkdir -p "$dir/state"
    # Traversable by the mail user and Dovecot's own users, listable by none.
    local shared
    shared=$(mktemp -d /tmp/postwren-dovecot.XXXXXX)
    echo "$shared" >"$shared_record"
    chmod 0711 "$shared"
    base_dir=$shared/run
    passwd=$shared/passwd
    mkdir -p "$shared/home" "$base_dir"
    : >"$passwd"
    for entry in "${users[@]}"; do
        IFS=: read -r name password count <<<"$entry"
        local home=$shared/home/$name
        mkdir -p "$home/Maildir/new" "$home/Maildir/cur" "$home/Maildir/tmp"
        for ((n = 1; n <= count; n++)); do
            write_message "$home/Maildir/new/100000$n.M$n.postwren" "$name" "$n"
        done
        printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$name" "$password" "$uid" "$gid" "$home" >>"$passwd"
    done
    chmod 0711 "$shared/home"
    chown -R "$uid:$gid" "$shared/home"/*
    chmod 0644 "$passwd"

    # Started ahead, login processes also serve many connections each.
    local login_service_count=1
    [ "$prefork" -eq 0 ] || login_service_count=0

    # Without --tls: plaintext log-ons, as before. With it: TLS required.
    local listen=$address ssl_conf="ssl = no" pop3s_port=0
    if [ -n "$tls_dir" ]; then
        tls_dir=$(cd "$tls_dir" && pwd)
        pop3s_port=995
        local ssl=required
        [ "$plaintext_auth" = yes ] || ssl=yes
        ssl_conf="ssl = $ssl
ssl_cert = <$tls_dir/server.crt
ssl_key = <$tls_dir/server.key
ssl_min_protocol = TLSv1.2"
        for entry in "${tls_certs[@]}"; do
            local tls_address=${entry%%=*} tls_name=${entry#*=}
            listen="$listen $tls_address"
            ssl_conf="$ssl_conf
local $tls_address {
  ssl_cert = <$tls_dir/$tls_name.crt
  ssl_key = <$tls_dir/$tls_name.key
}"
        done
    fi

    # Bearer tokens: each log-on asks the provider, and a failed one is no
    # reason to slow the next (the anvil's penalty would add 8-15 s).
    local mechanisms=plain oauth2_conf="" passwd_mechanisms=""
    if [ -n "$oauth2_port_file" ]; then
        local oauth2_port
        oauth2_port=$(cat "$oauth2_port_file")
        mechanisms="plain $oauth2_mechanisms"
        passwd_mechanisms="mechanisms = plain"
        cat >"$shared/oauth2.conf.ext" <<OAUTH
introspection_url = http://127.0.0.1:$oauth2_port/introspect
introspection_mode = post
username_attribute = email
active_attribute = active
active_value = true
force_introspection = yes
OAUTH
        chmod 0644 "$shared/oauth2.conf.ext"
        oauth2_conf="passdb {
  driver = oauth2
  mechanisms = $oauth2_mechanisms
  args = $shared/oauth2.conf.ext
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}"
    fi

    cat >"$conf" <<CONF
# Generated by dovecot.sh: a private POP3 server for Postwren's tests.
instance_name = postwren-$(basename "$dir")
base_dir = $base_dir
state_dir = $dir/state
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = pop3
listen = $listen
$ssl_conf
disable_plaintext_auth = $([ "$plaintext_auth" = yes ] && echo no || echo yes)
auth_mechanisms = $mechanisms
# Failed log-ons are answered at once; the tests make several on purpose.
auth_failure_delay = 0
first_valid_uid = $uid
last_valid_uid = $uid
mail_location = maildir:~/Maildir
default_internal_user = dovecot
default_login_user = dovenull
$oauth2_conf
passdb {
  driver = passwd-file
  $passwd_mechanisms
  args = scheme=PLAIN username_format=%u $passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $passwd
}
service pop3-login {
  inet_listener pop3 {
    address = $listen
    port = $port
  }
  inet_listener pop3s {
    address = $listen
    port = $pop3s_port
    ssl = yes
  }
  process_min_avail = $prefork
  service_count = $login_service_count
}
service pop3 {
  process_min_avail = $prefork
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
    # The master runs on after this script: it must not keep the caller's
    # output open (CTest waits for it to close).
    if ! dovecot -c "$conf" </dev/null >"$dir/startup.log" 2>&1; then
        cat "$dir/startup.log" >&2
        exit 1
    fi

    # Ready once the login process greets.
    for ((i = 0; i < wait_limit; i++)); do
        if greeting=$(timeout 2 bash -c "exec 3<>/dev/tcp/$address/$port; IFS= read -r line <&3; printf 'QUIT\r\n' >&3; echo \"\$line\"" 2>/dev/null) &&
            [[ $greeting == "+OK"* ]]; then
            echo "dovecot.sh: POP3 server on $address:$port (dir $dir)"
            return 0
        fi
        sleep 0.1
    done
    echo "dovecot.sh: the server on $address:$port did not answer; its log:" >&2
    cat "$dir/startup.log" "$dir/dovecot.log" >&2 || true
    stop_server
    exit 1
}

case $action in
start) start_server ;;
deliver)
    [ ${#users[@]} -eq 1 ] && [ -n "$from" ] && [ -n "$subject" ] || usage
    deliver
    ;;
stop) stop_server ;;
*) usage ;;
esac
