# The test StatusNotifierItem watcher and host (sni_host.py), and acting on
# items through D-Bus (sni_ctl.py). Sourced by end-to-end scripts after
# lib.sh; they set $work (a private folder) and $art (artifacts) first, and
# DBUS_SESSION_BUS_ADDRESS to their own bus.

sni_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The system's Python, which has python3-dbus-next (a Python of one's own
# earlier on PATH may not).
sni_python=/usr/bin/python3
[ -x "$sni_python" ] || sni_python=python3
host_pid=""

# Starts the watcher and host; arguments go to sni_host.py (--delay SECONDS).
start_host() {
    rm -f "$work/host-ready"
    "$sni_python" "$sni_dir/sni_host.py" --ready "$work/host-ready" "$@" >>"$art/sni-host.log" 2>&1 &
    host_pid=$!
    wait_until test -s "$work/host-ready" || fail "the StatusNotifierItem host did not start"
}
stop_host() {
    [ -n "$host_pid" ] || return 0
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
    host_pid=""
}
# The host leaves while the watcher stays, and comes back.
host_leaves() { kill -USR1 "$host_pid"; }
host_returns() { kill -USR2 "$host_pid"; }

ctl() { "$sni_python" "$sni_dir/sni_ctl.py" "$@"; }
items() { ctl items 2>/dev/null || true; }
item_count() { items | grep -c . || true; }
# One item registered, and it is $item (one question to the watcher, which
# may take its time answering).
one_item() {
    item=$(items)
    [ -n "$item" ] && [ "$(grep -c . <<<"$item")" -eq 1 ]
}
no_item() { [ "$(item_count)" -eq 0 ]; }

readonly expected_menu=$'今すぐチェック\n設定\n-\n終了'
# Fails unless the item exports the program's menu.
expect_menu() {
    local menu
    menu=$(ctl menu "$1" | cut -f2) || fail "$2: the item exports no menu"
    [ "$menu" = "$expected_menu" ] || fail "$2: the exported menu is:
$menu"
}
