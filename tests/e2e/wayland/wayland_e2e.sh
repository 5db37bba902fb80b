#!/usr/bin/env bash
# End-to-end test of the popup and the tray on Wayland: sway on its headless
# backend with waybar's tray, as a user who is not root (sway refuses root).
#
#   wayland_e2e.sh <postwren> <settings probe> <dovecot.sh> <skin.bmp> <artifact dir>
#
# Run as root: the POP3 server takes port 110, and the desktop runs as the
# user $POSTWREN_WAYLAND_USER (default postwren-e2e, made when missing). Exits
# 77 (skipped) when sway, waybar, grim, Xwayland, the Qt Wayland plugin or
# python3-dbus-next are not installed.
#
# The mailbox holds 3 messages, so the check at start shows the popup. Native
# Wayland and then XWayland: the item registers with waybar's tray and lists
# 今すぐチェック / 設定 / - / 終了; a screenshot (grim) of the popup shows, at
# every pixel the skin cuts away, neither the key colour (red) nor black; 終了
# ends the program with status 0. On native Wayland, where the popup cannot
# stay on top, a desktop notification carries the greeting. The counts of
# red, black and background pixels in the cut-aways go to counts.txt.
set -euo pipefail

if [ "${1:-}" != "--inner" ]; then
    if [ $# -ne 5 ]; then
        echo "usage: $0 <postwren> <settings probe> <dovecot.sh> <skin.bmp> <artifact dir>" >&2
        exit 2
    fi
    for tool in sway swaymsg waybar grim Xwayland dbus-daemon convert runuser; do
        command -v "$tool" >/dev/null || { echo "wayland_e2e: SKIP: $tool is not installed"; exit 77; }
    done
    /usr/bin/python3 -c 'import dbus_next' 2>/dev/null || { echo "wayland_e2e: SKIP: no python3-dbus-next"; exit 77; }
    ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
        { echo "wayland_e2e: SKIP: no Qt Wayland plugin (qt6-wayland)"; exit 77; }
    [ "$(id -u)" -eq 0 ] || { echo "wayland_e2e: SKIP: needs root for the POP3 server on port 110"; exit 77; }

    postwren=$(realpath "$1") probe=$(realpath "$2") dovecot=$3 skin=$(realpath "$4") art=$5
    user=${POSTWREN_WAYLAND_USER:-postwren-e2e}
    id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
    rm -rf "$art"
    mkdir -p "$art"
    art=$(realpath "$art")
    "$dovecot" start --dir "$art/dovecot" --address 127.0.0.1 --port 110 --user taro:secret:3 >/dev/null ||
        { echo "wayland_e2e: FAIL: the POP3 server did not start" >&2; exit 1; }
    # The user may not reach into the build tree (a checkout under root's
    # home, say): what runs as the user is copied to a folder it can read.
    here=$(cd "$(dirname "$0")" && pwd)
    stage=$(mktemp -d /tmp/postwren-wayland-stage.XXXXXX)
    mkdir -p "$stage/bin" "$stage/e2e/wayland" "$stage/e2e/sni"
    cp "$postwren" "$probe" "$stage/bin/"
    cp "$skin" "$stage/skin.bmp"
    cp "$here/wayland_e2e.sh" "$here/notify_server.py" "$stage/e2e/wayland/"
    cp "$here/../lib.sh" "$here/../bus_lib.sh" "$stage/e2e/"
    cp "$here/../sni/sni_ctl.py" "$stage/e2e/sni/"
    # The sanitizers' leak suppressions come along too.
    lsan_options=${LSAN_OPTIONS:-}
    supp=$(tr ':' '\n' <<<"$lsan_options" | sed -n 's/^suppressions=//p')
    if [ -n "$supp" ] && [ -f "$supp" ]; then
        cp "$supp" "$stage/lsan.supp"
        lsan_options=${lsan_options/"$supp"/"$stage/lsan.supp"}
    fi
    # WORKAROUND: under XWayland, libxkbcommon-x11 hands strndup an atom name
    # that has no terminating zero (strndup reads only as far as it is told);
    # the sanitizer's strict string checks read on past it and stop the
    # program before our code runs. The later setting wins.
    # WORKAROUND: libwayland-client is built without frame pointers, so the
    # fast unwinder stops at its first frame and a process-lifetime allocation
    # made there carries no frame that the suppressions can name; the full
    # unwinder sees the whole stack.
    asan_options=${ASAN_OPTIONS:+$ASAN_OPTIONS:strict_string_checks=0:fast_unwind_on_malloc=0}
    chmod -R a+rX "$stage"
    mkdir "$stage/art"
    chown "$user" "$stage/art"
    status=0
    runuser -u "$user" -- env -i HOME="$(getent passwd "$user" | cut -d: -f6)" PATH=/usr/bin:/bin \
        LANG=C.UTF-8 ${asan_options:+ASAN_OPTIONS="$asan_options"} ${lsan_options:+LSAN_OPTIONS="$lsan_options"} \
        ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
        "$stage/e2e/wayland/wayland_e2e.sh" --inner "$stage/bin/$(basename "$postwren")" \
        "$stage/bin/$(basename "$probe")" "$stage/skin.bmp" "$stage/art" || status=$?
    "$dovecot" stop --dir "$art/dovecot" >/dev/null 2>&1 || true
    cp -r "$stage/art/." "$art/" 2>/dev/null || true
    rm -rf "$stage"
    exit "$status"
fi

# --- inside: the desktop and the checks, as the user -------------------------------

postwren=$2 probe=$3 skin=$4 art=$5
readonly test_name=wayland_e2e
here=$(cd "$(dirname "$0")" && pwd)
readonly python=/usr/bin/python3
readonly ctl_py=$here/../sni/sni_ctl.py
wait_seconds=30
readonly background="#3366CC"
readonly popup_size="205x66"

work=$(mktemp -d "${TMPDIR:-/tmp}/postwren-wayland.XXXXXX")
chmod 0700 "$work"
pids=()
app_pid=""
shot_no=0

cleanup() {
    [ -z "$app_pid" ] || kill -TERM "$app_pid" 2>/dev/null || true
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# What fail shows: the screen and the end of every log.
on_failure() {
    grim "$art/failure.png" 2>/dev/null || true
    for f in "$art"/*.log; do [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
}
# shellcheck source=../lib.sh
. "$here/../lib.sh"

export XDG_RUNTIME_DIR=$work
export XDG_CONFIG_HOME=$art/config
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman

cat >"$work/sway.conf" <<CONF
output HEADLESS-1 resolution 1024x768 position 0 0 bg $background solid_color
xwayland enable
exec printf '%s\n' "\$DISPLAY" >"$work/x-display"
CONF
sway -c "$work/sway.conf" >"$art/sway.log" 2>&1 &
pids+=($!)
sway_up() { ls "$work"/sway-ipc.*.sock && [ -S "$work/wayland-1" ]; }
wait_until sway_up || fail "sway did not start"
SWAYSOCK=$(ls "$work"/sway-ipc.*.sock)
export SWAYSOCK WAYLAND_DISPLAY=wayland-1

# shellcheck source=../bus_lib.sh
. "$here/../bus_lib.sh"
# Only what the test starts itself runs on it: no service is started on
# demand (the machine's keyring, for one, stays out).
private_bus_config session "$work" >"$work/bus.conf"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --address="unix:path=$work/bus" >"$art/dbus.log" 2>&1 &
pids+=($!)
wait_until test -S "$work/bus" || fail "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
# The machine's own network and sleep services stay out of the test.
export DBUS_SYSTEM_BUS_ADDRESS="disabled:"

"$python" "$here/notify_server.py" "$art/notifications.jsonl" --ready "$work/notify-ready" >"$art/notify.log" 2>&1 &
pids+=($!)
wait_until test -s "$work/notify-ready" || fail "the notification server did not start"

printf '%s\n' '{"layer": "top", "position": "bottom", "height": 30, "modules-right": ["tray"], "tray": {"spacing": 4}}' \
    >"$work/waybar.json"
printf '%s\n' '* { font-size: 12px; } window#waybar { background: #202020; }' >"$work/waybar.css"
waybar -c "$work/waybar.json" -s "$work/waybar.css" >"$art/waybar.log" 2>&1 &
pids+=($!)
ctl() { "$python" "$ctl_py" "$@"; }
wait_until ctl items || fail "waybar's tray did not come up"

"$probe" write --host 127.0.0.1 --user taro --password secret --cycle 60 --mailer "" ||
    fail "cannot store the settings"

# The skin's cut-away pixels ("x,y" a line): its pure red ones.
convert "$skin" txt:- | awk -F'[ :]+' 'NR > 1 && toupper(substr($3, 1, 7)) == "#FF0000" { print $1 }' \
    >"$work/cut-aways"
[ "$(wc -l <"$work/cut-aways")" -gt 100 ] || fail "the skin has no cut-aways to look at"

# The program's window of the popup's size on screen: "X Y", or nothing.
popup_at() {
    swaymsg -t get_tree | "$python" -c '
import json, sys
pid, w, h = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
def walk(n):
    r, wr = n.get("rect", {}), n.get("window_rect", {})
    if n.get("pid") == pid and n.get("visible") and wr.get("width") == w and wr.get("height") == h:
        print(r["x"] + wr["x"], r["y"] + wr["y"]); sys.exit(0)
    for c in n.get("nodes", []) + n.get("floating_nodes", []): walk(c)
walk(json.load(sys.stdin)); sys.exit(1)' "$app_pid" "${popup_size%x*}" "${popup_size#*x}"
}
popup_shown() { [ -n "$(popup_at)" ]; }

# The popup's face is drawn: its middle is not the background.
popup_drawn() {
    local x y
    read -r x y <<<"$(popup_at)"
    grim -g "$((x + 100)),$((y + 33)) 1x1" "$work/probe.png" &&
        [ "$(convert "$work/probe.png" -format '#%[hex:p{0,0}]' info: | cut -c1-7)" != "$background" ]
}

item_of_program() { ctl items | sed -n 1p; }
one_item() { [ "$(ctl items | grep -c .)" -eq 1 ]; }
no_item() { [ "$(ctl items | grep -c .)" -eq 0 ]; }

run_phase() {
    local phase=$1
    shift
    env "$@" "$postwren" >"$art/postwren-$phase.log" 2>&1 &
    app_pid=$!
    wait_until one_item || fail "$phase: the item did not register with waybar's tray"
    local item
    item=$(item_of_program)
    [ "$(ctl title "$item")" = "Postwren" ] || fail "$phase: the item's title is \"$(ctl title "$item")\""
    local menu
    menu=$(ctl menu "$item" | cut -f2)
    [ "$menu" = $'今すぐチェック\n設定\n-\n終了' ] || fail "$phase: the exported menu is:
$menu"
    wait_until popup_shown || fail "$phase: no ${popup_size} popup after the check at start"
    wait_until popup_drawn || fail "$phase: the popup is not drawn"
    shot_no=$((shot_no + 1))
    local shot
    shot="$art/$(printf '%02d' "$shot_no")-$phase-popup.png"
    grim "$shot"
    local x y
    read -r x y <<<"$(popup_at)"
    convert "$shot" -crop "${popup_size}+$x+$y" +repage "$art/$phase-popup-crop.png"
    # Colours at the cut-away pixels.
    convert "$art/$phase-popup-crop.png" txt:- | awk -F'[ :]+' -v bg="$background" -v phase="$phase" '
        FILENAME == ARGV[1] { cut[$1] = 1; next }
        FNR > 1 && ($1 in cut) {
            c = toupper(substr($3, 1, 7)); n++
            if (c == "#FF0000") red++; else if (c == "#000000") black++; else if (c == bg) back++; else other++
        }
        END { printf "%s: cut-away pixels %d: red %d, black %d, background %d, other %d\n",
                     phase, n, red, black, back, other }' "$work/cut-aways" - | tee -a "$art/counts.txt"
    grep -q "^$phase:.* red 0, black 0," "$art/counts.txt" || fail "$phase: the cut-aways show red or black"

    ctl click "$item" "終了" || fail "$phase: 終了 was not taken"
    local deadline=$((SECONDS + wait_seconds)) status=0
    while kill -0 "$app_pid" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail "$phase: 終了 did not end the program"
        sleep 0.05
    done
    wait "$app_pid" || status=$?
    app_pid=""
    [ "$status" -eq 0 ] || fail "$phase: exit status $status"
    wait_until no_item || fail "$phase: the item stays in the tray"
}

# --- native Wayland ----------------------------------------------------------------

run_phase wayland QT_QPA_PLATFORM=wayland
greeting_notified() { grep -q 'taroさん\\nメールが 3通届いてます。' "$art/notifications.jsonl"; }
wait_until greeting_notified || fail "wayland: no notification carried the greeting"

# --- XWayland -----------------------------------------------------------------------

wait_until test -s "$work/x-display" || fail "sway told no X display"
mv "$art/notifications.jsonl" "$art/wayland-notifications.jsonl"
: >"$art/notifications.jsonl"
run_phase xwayland QT_QPA_PLATFORM=xcb DISPLAY="$(head -n1 "$work/x-display")"
[ ! -s "$art/notifications.jsonl" ] || fail "xwayland: a notification although the popup stays on top"

echo "$test_name: PASS"
