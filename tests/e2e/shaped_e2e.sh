#!/usr/bin/env bash
# End-to-end test of the shaped popup window, run inside desktop.sh:
#
#   desktop.sh shaped_e2e.sh <shaped_probe> <skin.bmp> <artifact dir>
#
# Paints the screen one known colour, shows the probe's skin window shaped by
# its outline and checks the screenshot: no pure red pixel anywhere, every
# pixel the outline cuts away (the red areas, row 0 and column 0 of the skin)
# shows the background colour, and every other pixel shows the skin. A second
# run without the shape must show the red areas on screen, so the first check
# is known to be able to fail. A third run at QT_SCALE_FACTOR=2 must show the
# sharper face (skin@2x.bmp beside skin.bmp) pixel for pixel, inside exactly
# the outline of the first run doubled: row by row, a screen pixel is cut
# away if and only if the skin pixel under it is. Screenshots go to the
# artifact directory.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 <shaped_probe> <skin.bmp> <artifact dir>" >&2
    exit 2
fi
probe=$1
skin=$2
art=$3
: "${DISPLAY:?run me inside desktop.sh}"

readonly test_name=shaped_e2e
readonly background="#1f8a70"  # a green the skin does not use
readonly win_x=300 win_y=240

rm -rf "$art"
mkdir -p "$art"

wait_seconds=20 # per step
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

probe_pid=""
cleanup() {
    if [ -n "$probe_pid" ] && kill -0 "$probe_pid" 2>/dev/null; then kill -TERM "$probe_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

on_failure() {
    tail -n +1 "$art"/*.out "$art"/*.err >&2 2>/dev/null || true
}

# Compares the screen with what the skin window should look like.
#   check_screen <screenshot.ppm> <x> <y> shaped|unshaped
#   check_screen <screenshot.ppm> <x> <y> shaped|unshaped [scale]
check_screen() {
    local scale=${5:-1} shown_skin=$skin
    [ "$scale" -eq 1 ] || shown_skin=${skin%.bmp}@${scale}x.bmp
    python3 - "$1" "$skin" "$2" "$3" "$4" "$background" "$scale" "$shown_skin" <<'EOF'
import struct
import sys

shot_path, skin_path, wx, wy, mode, background, scale, shown_path = sys.argv[1:]
wx, wy, scale = int(wx), int(wy), int(scale)
bg = tuple(int(background[i : i + 2], 16) for i in (1, 3, 5))
RED = (255, 0, 0)

def ppm(path):
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:  # magic, width, height, maximum
        while data[at : at + 1].isspace():
            at += 1
        if data[at : at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end : end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P6" and fields[3] == b"255", "not an 8-bit PPM"
    w, h = int(fields[1]), int(fields[2])
    px = data[at + 1 : at + 1 + 3 * w * h]
    return w, h, px, lambda x, y: tuple(px[3 * (y * w + x) : 3 * (y * w + x) + 3])

def bmp(path):
    data = open(path, "rb").read()
    off = struct.unpack_from("<I", data, 10)[0]
    w, h = struct.unpack_from("<ii", data, 18)
    stride = (w * 3 + 3) & ~3
    def at(x, y):
        o = off + (h - 1 - y) * stride + 3 * x
        b, g, r = data[o : o + 3]
        return (r, g, b)
    return w, h, at

sw, sh, raw, screen = ppm(shot_path)
kw, kh, skin = bmp(skin_path)
fw, fh, face = bmp(shown_path)
assert (fw, fh) == (kw * scale, kh * scale), "the face shown is not the skin times the scale"
red_on_screen = sum(1 for p in zip(raw[0::3], raw[1::3], raw[2::3]) if p == RED)
red_in_skin = sum(1 for y in range(fh) for x in range(fw) if face(x, y) == RED)
wrong, cut, shown = [], 0, 0
# Every screen pixel of the window against the outline of the skin pixel
# under it, and against the face's own pixel.
for y in range(fh):
    for x in range(fw):
        sx, sy = x // scale, y // scale
        if mode == "shaped" and (sx == 0 or sy == 0 or skin(sx, sy) == RED):
            want = bg
            cut += 1
        else:
            want = face(x, y)
            shown += 1
        got = screen(wx + x, wy + y)
        if got != want:
            wrong.append((x, y, got, want))
print(f"{mode} at scale {scale}: {shown} skin pixels shown, {cut} cut away, {len(wrong)} differ; "
      f"red pixels on screen {red_on_screen}, in the skin {red_in_skin}")
for x, y, got, want in wrong[:5]:
    print(f"  skin pixel ({x},{y}): screen {got}, expected {want}")
ok = not wrong
if mode == "shaped":
    ok = ok and red_on_screen == 0 and cut > 0
else:
    ok = ok and red_on_screen == red_in_skin > 0
sys.exit(0 if ok else 1)
EOF
}

# Shows the probe, waits until the screen matches, keeps the screenshot.
#   run <name> shaped|unshaped <scale> [probe options]
run() {
    local name=$1 mode=$2 scale=$3
    shift 3
    local out=$art/$name.out fifo=$art/$name.in
    mkfifo -m 0600 "$fifo"
    QT_SCALE_FACTOR=$scale "$probe" "$@" "$win_x" "$win_y" <"$fifo" >"$out" 2>"$art/$name.err" &
    probe_pid=$!
    exec 3>"$fifo"  # the probe's standard input; closing it ends the probe
    wait_until grep -q '^shown ' "$out" || fail "$name: the probe did not show its window"

    local window=""
    find_window() { window=$(xdotool search --onlyvisible --pid "$probe_pid" | sed -n 1p) && [ -n "$window" ]; }
    wait_until find_window || fail "$name: no window of the probe on screen"
    find_window
    eval "$(xdotool getwindowgeometry --shell "$window")"
    [ "$WIDTH" -eq $((205 * scale)) ] && [ "$HEIGHT" -eq $((66 * scale)) ] ||
        fail "$name: window is ${WIDTH}x$HEIGHT, not $((205 * scale))x$((66 * scale))"
    echo "shaped_e2e: $name: window $window at $X,$Y"

    # The window paints after it is mapped: look until the screen is right or time runs out.
    local shot=$art/$name.ppm verdict=$art/$name.verdict
    screen_shows() {
        import -window root -depth 8 "ppm:$shot" && check_screen "$shot" "$X" "$Y" "$mode" "$scale" >"$verdict"
    }
    if ! wait_until screen_shows; then
        convert "$shot" "$art/$name.png"
        cat "$verdict" >&2
        fail "$name: the screen does not show the $mode skin window"
    fi
    echo "shaped_e2e: $(cat "$verdict")"
    convert "$shot" "$art/$name.png"
    convert "$shot" -crop $((205 * scale + 40))x$((66 * scale + 40))+$((X - 20))+$((Y - 20)) +repage \
        -scale $((400 / scale))% "$art/$name-window.png"
    rm -f "$shot"

    exec 3>&-
    local status=0
    wait "$probe_pid" || status=$?
    probe_pid=""
    [ "$status" -eq 0 ] || fail "$name: the probe exited with status $status"
}

xsetroot -solid "$background"
run shaped shaped 1
run unshaped unshaped 1 --no-shape
run shaped-2x shaped 2
echo "shaped_e2e: PASS"
