#!/usr/bin/env bash
# Runs a command on a private desktop: an X server (Xvfb), a window manager
# (openbox) and an XEmbed tray (trayer) at the bottom right of the screen.
#
#   desktop.sh <command> [args...]
#
# The command runs with DISPLAY set to the private server and exits with its
# own status; the desktop is torn down afterwards, also on failure or
# interruption. Each piece must come up within 20 s, or desktop.sh gives up
# with status 125. The environment the command sees:
#   DISPLAY                     the private server (screen 1024 x 768 x 24)
#   DESKTOP_TRAY_WINDOW         the tray's panel window (decimal X window id)
#   DESKTOP_LOG_DIR             where the server, window manager and tray log
#   DBUS_SESSION_BUS_ADDRESS    "disabled:": no session bus, so a program
#                               finds no StatusNotifierItem host and docks
#                               into the XEmbed tray
#   DBUS_SYSTEM_BUS_ADDRESS     "disabled:": the machine's own network and
#                               sleep services stay out of the tests
#   XDG_RUNTIME_DIR             a private, empty directory
# DESKTOP_TRAY_HEIGHT, when set, is the tray's height in pixels (32 unless set);
# DESKTOP_TRAY_TINT, when set (0xRRGGBB), is the tray's colour instead of the
# toolkit's light one.
#   ASAN_OPTIONS                when set: with strict_string_checks=0 (see below)
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 <command> [args...]" >&2
    exit 2
fi

readonly screen=1024x768x24

work=$(mktemp -d "${TMPDIR:-/tmp}/postwren-desktop.XXXXXX")
pids=()

teardown() {
    local i
    # Last started first: the tray and window manager before their server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null || true
    done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

readonly test_name=desktop.sh
wait_seconds=20 # per piece
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

# What the desktop's pieces said, when one of them did not come up.
on_failure() {
    local f
    for f in "$work"/logs/*.log; do
        [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
}

mkdir -p "$work/logs" "$work/runtime"
chmod 0700 "$work/runtime"

# The server picks a free display number itself and writes it to fd 3 once it
# accepts connections.
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 "$screen" 3>"$work/display" 2>"$work/logs/xvfb.log" &
pids+=($!)
wait_until test -s "$work/display" || give_up "the X server did not start"
export DISPLAY=":$(head -n1 "$work/display")"
wait_until xdpyinfo || give_up "the X server on $DISPLAY does not answer"

# WORKAROUND: while Qt sets up the X keyboard map, libxkbcommon-x11 calls
# strndup() with an exact length on a reply buffer that has no NUL; that is
# valid, but AddressSanitizer's strict_string_checks reports it as an
# overflow. Programs on this desktop run without that one check.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"
fi

export DBUS_SESSION_BUS_ADDRESS="disabled:"
export DBUS_SYSTEM_BUS_ADDRESS="disabled:"
export XDG_RUNTIME_DIR="$work/runtime"
unset WAYLAND_DISPLAY

openbox --sm-disable >"$work/logs/openbox.log" 2>&1 &
pids+=($!)
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK | grep 'window id' >/dev/null; }
wait_until wm_running || give_up "the window manager did not start"
# WORKAROUND: openbox announces itself before its event loop runs, and a window
# mapped in between can stay unmapped for good (the tray did, now and then, on
# a loaded machine). A request that only the running loop carries out (one
# desktop more, then back) shows that it runs; asked again on every look, as
# a request sent too early may be dropped as well.
desktops_become() {
    [ "$(xdotool get_num_desktops)" = "$1" ] || { xdotool set_num_desktops "$1"; false; }
}
desktops_known() { desktops=$(xdotool get_num_desktops 2>/dev/null); }
wait_until desktops_known || give_up "the window manager does not say how many desktops there are"
wait_until desktops_become $((desktops + 1)) || give_up "the window manager does not answer requests"
wait_until desktops_become "$desktops" || give_up "the window manager does not answer requests"

tray_colour=(--transparent false)
if [ -n "${DESKTOP_TRAY_TINT:-}" ]; then tray_colour=(--transparent true --alpha 0 --tint "$DESKTOP_TRAY_TINT"); fi
trayer --edge bottom --align right --widthtype pixel --width 120 --heighttype pixel --height "${DESKTOP_TRAY_HEIGHT:-32}" \
    "${tray_colour[@]}" >"$work/logs/trayer.log" 2>&1 &
pids+=($!)
wait_until xdotool search --onlyvisible --classname '^panel$' || give_up "the tray did not appear"
DESKTOP_TRAY_WINDOW=$(xdotool search --onlyvisible --classname '^panel$' | sed -n 1p)
export DESKTOP_TRAY_WINDOW
export DESKTOP_LOG_DIR="$work/logs"

# In the background so that a TERM (a test driver's time-out) is handled at
# once: the command then goes down with the desktop. Its standard input stays
# this script's.
"$@" <&0 &
command_pid=$!
pids+=("$command_pid")
status=0
wait "$command_pid" || status=$?
exit "$status"
