#!/usr/bin/env bash
# End-to-end test of the tray icon's picture, run inside desktop.sh with a
# tray tall enough for the icon at two device pixels a pixel
# (DESKTOP_TRAY_HEIGHT=46 gives its icons 44 pixels of height):
#
#   desktop.sh tray_icon_e2e.sh <tray_probe> <fixed_size_tray> <resources dir> <artifact dir>
#
# On the XEmbed tray the probe shows the program's own icon at
# QT_SCALE_FACTOR 1, 1.5 and 2. Each time the icon's slot is 22 x the scale
# device pixels wide (33 at 1.5: the 22 pixel icon has its own picture for
# 1.5 as for 2), and the screen shows, pixel for pixel wherever the picture
# is opaque, the artwork drawn for that size (postwren-22.png,
# postwren-33.png, postwren-44.png), centred in the slot. Above scale 1 the
# same pixels must also differ from the 22 pixel artwork scaled up, so the
# check can tell a picture drawn for the size from an upscale.
#
# Then a tray that gives every icon 48 x 48 pixels (fixed_size_tray) takes
# the tray over: at each scale the icon fills the square with the artwork
# drawn for 48 (postwren-48.png), not with a smaller one scaled up.
#
# Last, on a StatusNotifierItem host (sni_host.py on a private session bus),
# at the same scales: the item offers, among every size as drawn, the
# pictures a host asks for on a 22 and on a 48 pixel panel at that scale
# (22 and 48, 33 and 72, 44 and 96), each drawn for its size.
# Screenshots of the tray go to the artifact directory.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 <tray_probe> <fixed_size_tray> <resources dir> <artifact dir>" >&2
    exit 2
fi
probe=$1
fixed_size_tray=$2
artwork=$3
art=$4
: "${DISPLAY:?run me inside desktop.sh}" "${DESKTOP_TRAY_WINDOW:?run me inside desktop.sh}"

readonly test_name=tray_icon_e2e
rm -rf "$art"
mkdir -p "$art"

wait_seconds=20 # per step
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

tray_icon_class=$(basename "$probe")
# shellcheck source=tray_lib.sh
. "$(dirname "$0")/tray_lib.sh"

probe_pid=""
fixed_tray_pid=""
bus_pid=""
work=$(mktemp -d "${TMPDIR:-/tmp}/postwren-tray-icon.XXXXXX")
# shellcheck source=bus_lib.sh
. "$(dirname "$0")/bus_lib.sh"
# shellcheck source=sni/sni_lib.sh
. "$(dirname "$0")/sni/sni_lib.sh"
cleanup() {
    if [ -n "$probe_pid" ] && kill -0 "$probe_pid" 2>/dev/null; then kill -TERM "$probe_pid" 2>/dev/null || true; fi
    stop_host
    [ -z "$fixed_tray_pid" ] || { kill -TERM "$fixed_tray_pid" 2>/dev/null || true; wait "$fixed_tray_pid" 2>/dev/null || true; }
    [ -z "$bus_pid" ] || { kill -TERM "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
on_failure() { tail -n +1 "$art"/*.err >&2 2>/dev/null || true; }

# Compares the icon's slot on the screenshot with the artwork drawn for
# <side> pixels.
#   check_icon <screenshot.ppm> <x> <y> <w> <h> <scale> <side>
check_icon() {
    python3 - "$@" "$artwork" <<'PY'
import struct
import sys
import zlib

shot_path, x0, y0, w, h, scale, side, artwork = sys.argv[1:]
x0, y0, w, h, side = (int(v) for v in (x0, y0, w, h, side))
scale = float(scale)

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
    width = int(fields[1])
    px = data[at + 1 :]
    return lambda x, y: tuple(px[3 * (y * width + x) : 3 * (y * width + x) + 3])

def png(path):
    """An 8-bit RGBA PNG, any filter: rows of (r, g, b, a)."""
    data = open(path, "rb").read()
    width, height = struct.unpack(">II", data[16:24])
    assert data[24:26] == b"\x08\x06", "not 8-bit RGBA"
    at, idat = 8, b""
    while at < len(data):
        n = struct.unpack(">I", data[at : at + 4])[0]
        if data[at + 4 : at + 8] == b"IDAT":
            idat += data[at + 8 : at + 8 + n]
        at += 12 + n
    raw, stride, prev, rows = zlib.decompress(idat), width * 4, bytearray(width * 4), []
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            a, b, c = (line[i - 4] if i >= 4 else 0), prev[i], (prev[i - 4] if i >= 4 else 0)
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        rows.append([tuple(line[4 * x : 4 * x + 4]) for x in range(width)])
    return rows

if w != side or h < side:
    print(f"the slot is {w}x{h}, not {side} wide and at least {side} high")
    sys.exit(1)
screen = ppm(shot_path)
ox, oy = x0 + (w - side) // 2, y0 + (h - side) // 2
drawn = png(f"{artwork}/postwren-{side}.png")
base = png(f"{artwork}/postwren-22.png")
compared = wrong = unlike_upscale = 0
for y in range(side):
    for x in range(side):
        if drawn[y][x][3] != 255:
            continue  # blended with the tray's background
        got = screen(ox + x, oy + y)
        compared += 1
        if got != drawn[y][x][:3]:
            wrong += 1
        if got != base[y * 22 // side][x * 22 // side][:3]:
            unlike_upscale += 1
print(f"scale {scale:g}: slot {w}x{h}, {compared} opaque pixels of postwren-{side}.png, {wrong} differ on screen; "
      f"{unlike_upscale} differ from postwren-22.png scaled to {side}")
ok = compared > side * side // 2 and wrong == 0
if side > 22:
    ok = ok and unlike_upscale > compared // 20
sys.exit(0 if ok else 1)
PY
}

# Shows the probe at a scale, waits until its icon shows the artwork drawn for
# <side> pixels (22 x the scale unless given).
#   run <scale> [side]
run() {
    local scale=$1 side=${2:-}
    [ -n "$side" ] || side=$(awk -v s="$scale" 'BEGIN { printf "%d", 22 * s + 0.5 }')
    local row=scale$scale-$side
    QT_SCALE_FACTOR=$scale "$probe" --hold --artwork </dev/zero >"$art/$row.out" 2>"$art/$row.err" &
    probe_pid=$!
    wait_until icon_in_tray || fail "$row: the icon did not come into the tray"
    local id w h x y shot=$art/$row.ppm verdict=$art/$row.verdict
    icon_matches() {
        read -r id w h x y <<<"$(icon_window)"
        import -window root -depth 8 "ppm:$shot" &&
            check_icon "$shot" "$x" "$y" "$w" "$h" "$scale" "$side" >"$verdict"
    }
    if ! wait_until icon_matches; then
        cat "$verdict" >&2
        convert "$shot" "$art/$row.png" || true
        fail "$row: the icon does not show the artwork drawn for its size"
    fi
    echo "$test_name: $(cat "$verdict")"
    convert "$shot" -crop "$((w + 16))x$((h + 8))+$((x - 8))+$((y - 4))" +repage -scale 400% "$art/$row-icon.png"
    rm -f "$shot"
    kill -TERM "$probe_pid"
    wait "$probe_pid" 2>/dev/null || true
    probe_pid=""
    wait_until icon_gone || fail "$row: the icon stays in the tray after the probe ended"
}

run 1
run 1.5
run 2

# --- on a tray that gives its icons 48 pixels -----------------------------------------

"$fixed_size_tray" 48 >"$work/fixed-tray.id" 2>"$art/fixed-tray.err" &
fixed_tray_pid=$!
wait_until test -s "$work/fixed-tray.id" || fail "the 48 pixel tray did not take the tray over"
DESKTOP_TRAY_WINDOW=$(head -n1 "$work/fixed-tray.id")
run 1 48
run 1.5 48
run 2 48

# --- on a StatusNotifierItem host ---------------------------------------------------

# A session bus of its own (desktop.sh gives none) with the test's watcher and
# host: from here on the probe's icon goes there, not into trayer.
start_private_session_bus "$work" "$art/dbus.log"
start_host

# Shows the probe at a scale; the item must offer the pictures a host at that
# scale asks for on a 22 and on a 48 pixel panel, as drawn.
#   run_on_host <scale>
run_on_host() {
    local scale=$1 asked verdict=$art/host-scale$1.txt
    asked=$(awk -v s="$scale" 'BEGIN { printf "%d %d", 22 * s + 0.5, 48 * s + 0.5 }')
    QT_SCALE_FACTOR=$scale "$probe" --hold --artwork </dev/zero >"$art/host-scale$scale.out" 2>"$art/host-scale$scale.err" &
    probe_pid=$!
    wait_until one_item || fail "host, scale $scale: the icon did not register as one item"
    # shellcheck disable=SC2086 # the asked sizes are words
    ctl icon "$item" "$artwork" $asked >"$verdict" 2>&1 || {
        cat "$verdict" >&2
        fail "host, scale $scale: the item does not offer the artwork drawn for the sizes $asked"
    }
    echo "$test_name: host, scale $scale: $(grep -c ': as drawn' "$verdict") sizes offered as drawn;" \
        "asked for $asked: $(grep ' (asked)$' "$verdict" | tr '\n' ' ')"
    kill -TERM "$probe_pid"
    wait "$probe_pid" 2>/dev/null || true
    probe_pid=""
    wait_until no_item || fail "host, scale $scale: the item stays after the probe ended"
}

run_on_host 1
run_on_host 1.5
run_on_host 2
echo "$test_name: PASS"
