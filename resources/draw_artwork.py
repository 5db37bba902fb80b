#!/usr/bin/env python3
"""Draws Postwren's artwork and writes it next to this script.

Outputs:
  skin.bmp          205 x 66, 24-bit: the popup's face; pure red is cut away
  mailer.bmp        10 x 10, 24-bit: glyph of the "start mail program" button
  close.bmp         10 x 10, 24-bit: glyph of the "close" button
  postwren.ico      32 x 32, 256 colours: the application icon
  postwren-<n>.png  the icon with alpha, drawn for each size in ICON_SIZES
  postwren.svg      the icon as a scalable picture
  skin@2x.bmp       410 x 132, 24-bit: the face for screens of two device pixels
                    a pixel; its cut-away pixels are exactly skin.bmp's, doubled
  mailer@2x.bmp, close@2x.bmp   20 x 20, 24-bit: the glyphs for such screens

Standard library only, so it runs on a fresh machine:
  python3 resources/draw_artwork.py [OUTPUT_DIR]      (default: beside this script)
  python3 resources/draw_artwork.py --check           (exit 1 if the files beside it differ)
The output is the same byte for byte on every run.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# The skin's cut-away colour: the popup's region leaves out exactly these pixels.
CUT = (255, 0, 0)

SKIN_W, SKIN_H = 205, 66
GLYPH = 10
ICON = 32
# The icon theme's sizes, and those a tray asks for at 1.5 and 2 device
# pixels a pixel (22 x 1.5 = 33, 22 x 2 = 44); each is drawn for its size.
THEME_SIZES = (16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 256)
ICON_SIZES = tuple(sorted(THEME_SIZES + (33, 44)))
# Device pixels a pixel of the high-resolution face.
HI = 2

# Where the popup's controls sit on the skin.
BUTTON_MAILER = (174, 7)
BUTTON_CLOSE = (186, 7)
BUTTON_SIZE = 9
LABEL_ORIGIN = (16, 22)

# Palette of the face: a cool dark grey with one warm accent.
RIM = (20, 21, 25)
FACE_TOP = (74, 77, 86)
FACE_BOTTOM = (46, 48, 55)
FACE_LIGHT = (112, 116, 127)
FACE_DARK = (33, 34, 39)
TAB_TOP = (92, 96, 108)
TAB_BOTTOM = (70, 73, 83)
TAB_LIGHT = (138, 142, 154)
TITLE = (236, 238, 243)
TITLE_SHADOW = (24, 25, 29)
ACCENT = (243, 170, 62)
ACCENT_DARK = (176, 108, 28)
WELL_TOP = (22, 24, 29)
WELL_BOTTOM = (36, 39, 47)
WELL_EDGE_DARK = (10, 11, 13)
WELL_EDGE_LIGHT = (96, 100, 110)
SOCKET = (28, 30, 35)
GLYPH_INK = (214, 217, 224)
GLYPH_BACK = (46, 48, 55)


def mix(a, b, t):
    t = min(1.0, max(0.0, t))
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


# ---------------------------------------------------------------- file formats


def bmp24(width, height, pixels):
    """A BMP file of 24-bit pixels; pixels[y][x] = (r, g, b), top row first."""
    stride = (width * 3 + 3) & ~3
    body = bytearray()
    for y in range(height - 1, -1, -1):  # BMP rows run bottom-up
        row = bytearray()
        for r, g, b in pixels[y]:
            row += bytes((b, g, r))
        body += row + bytes(stride - len(row))
    pixels_at = 14 + 40
    header = struct.pack("<2sIHHI", b"BM", pixels_at + len(body), 0, 0, pixels_at)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    return header + info + bytes(body)


def quantize(colours, limit):
    """At most `limit` representative colours for a list of (r, g, b), by median cut."""
    unique = sorted(set(colours))
    if len(unique) <= limit:
        return unique
    boxes = [unique]
    while len(boxes) < limit:
        # Split the box with the widest channel range.
        best, axis, spread = None, 0, -1
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for c in range(3):
                values = [p[c] for p in box]
                s = max(values) - min(values)
                if s > spread:
                    best, axis, spread = i, c, s
        if best is None or spread == 0:
            break
        box = sorted(boxes.pop(best), key=lambda p: p[axis])
        half = len(box) // 2
        boxes += [box[:half], box[half:]]
    return sorted(tuple(sum(p[c] for p in box) // len(box) for c in range(3)) for box in boxes)


def nearest(palette, colour):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)))


def ico8(size, rgba):
    """An ICO file with one 256-colour image; rgba[y][x] = (r, g, b, a), a < 128 is transparent."""
    opaque = [px[:3] for row in rgba for px in row if px[3] >= 128]
    palette = [(0, 0, 0)] + quantize(opaque, 255)  # index 0: behind transparent pixels
    palette += [(0, 0, 0)] * (256 - len(palette))
    cache = {}
    xor, mask = bytearray(), bytearray()
    mask_stride = ((size + 31) // 32) * 4
    xor_stride = (size + 3) & ~3
    for y in range(size - 1, -1, -1):
        row, bits = bytearray(), bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = rgba[y][x]
            if a < 128:
                row.append(0)
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                key = (r, g, b)
                if key not in cache:
                    cache[key] = 1 + nearest(palette[1:], key)
                row.append(cache[key])
        xor += row + bytes(xor_stride - len(row))
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    image = info + table + bytes(xor) + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 8, len(image), 6 + 16)
    return header + entry + image


def png(size, rgba):
    """A PNG file of 8-bit RGBA pixels."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = bytearray()
    for row in rgba:
        raw.append(0)
        for px in row:
            raw += bytes(px)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


# ---------------------------------------------------------------- the title lettering

# A small lettering of our own: capitals 7 rows high, lower case 5 rows high,
# all standing on row 6.
LETTERS = {
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "o": [".....", ".....", ".##.", "#..#", "#..#", "#..#", ".##."],
    "s": [".....", ".....", ".###", "#...", ".##.", "...#", "###."],
    "t": [".....", ".#..", "###.", ".#..", ".#..", ".#..", "..##"],
    "w": [".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."],
    "r": [".....", ".....", "#.##", "##..", "#...", "#...", "#..."],
    "e": [".....", ".....", ".##.", "#..#", "####", "#...", ".###"],
    "n": [".....", ".....", "###.", "#..#", "#..#", "#..#", "#..#"],
}


def letter_width(ch):
    return max(len(r.rstrip(".")) for r in LETTERS[ch]) if ch in LETTERS else 3


def text_width(text):
    return sum(letter_width(c) for c in text) + len(text) - 1


def draw_text(img, x, y, text, colour, shadow):
    for pass_colour, off in ((shadow, 1), (colour, 0)):
        cx = x
        for ch in text:
            for ry, row in enumerate(LETTERS[ch]):
                for rx, cell in enumerate(row):
                    if cell == "#":
                        img[y + ry + off][cx + rx + off] = pass_colour
            cx += letter_width(ch) + 1


# ---------------------------------------------------------------- the skin


def in_rounded(px, py, left, top, right, bottom, radius):
    """Is the point inside the rectangle with corners rounded by radius (a dict by corner)?"""
    if not (left <= px < right and top <= py < bottom):
        return False
    for (cx, cy, sx, sy), r in (
        ((left, top, 1, 1), radius.get("tl", 0)),
        ((right, top, -1, 1), radius.get("tr", 0)),
        ((left, bottom, 1, -1), radius.get("bl", 0)),
        ((right, bottom, -1, -1), radius.get("br", 0)),
    ):
        if r <= 0:
            continue
        ox, oy = cx + sx * r, cy + sy * r  # centre of the corner's arc
        if (px - ox) * sx < 0 and (py - oy) * sy < 0 and math.hypot(px - ox, py - oy) > r:
            return False
    return True


def panel_contains(px, py):
    """The body of the popup: a panel with rounded and chamfered corners and notched edges."""
    if not in_rounded(px, py, 1, 5, SKIN_W, SKIN_H, {"tl": 4, "bl": 7, "br": 7}):
        return False
    # top right: a chamfer
    if (SKIN_W - px) + (py - 5) < 7:
        return False
    # right edge: a shallow notch with sloped ends, a grip for the thumb
    depth = min(3.0, max(0.0, min(py - 27, 45 - py)))
    if px >= SKIN_W - depth:
        return False
    # bottom edge: a long shallow recess under the message well
    depth = min(2.0, max(0.0, min(px - 78, 128 - px)))
    if py >= SKIN_H - depth:
        return False
    return True


TAB_LEFT, TAB_RIGHT, TAB_TOP_Y, TAB_BOTTOM_Y = 8, 76, 1, 15


def tab_contains(px, py):
    """The title tab: a trapezoid rising from the panel's top edge to row 1."""
    if not (TAB_TOP_Y <= py < TAB_BOTTOM_Y):
        return False
    slant = max(0.0, 5 - (py - TAB_TOP_Y))  # the sides lean in over the top rows
    return TAB_LEFT + slant <= px < TAB_RIGHT - slant


def mask_of(width, height, contains):
    return [[contains(x + 0.5, y + 0.5) for x in range(width)] for y in range(height)]


def draw_envelope(img, x, y, body, flap):
    """A 9 x 7 envelope with its top-left corner at (x, y)."""
    w, h = 9, 7
    for yy in range(h):
        for xx in range(w):
            edge = yy in (0, h - 1) or xx in (0, w - 1)
            img[y + yy][x + xx] = flap if edge else body
    for i in range(1, 5):  # the flap's V, meeting in the middle
        img[y + i][x + i] = flap
        img[y + i][x + w - 1 - i] = flap


def skin_masks():
    """The face's outline (True where it is opaque) and the title tab's pixels."""
    panel = mask_of(SKIN_W, SKIN_H, panel_contains)
    tab = mask_of(SKIN_W, SKIN_H, tab_contains)
    shape = [[panel[y][x] or tab[y][x] for x in range(SKIN_W)] for y in range(SKIN_H)]
    # Row 0 and column 0 never show on screen; keep them cut so nothing is lost there.
    for y in range(SKIN_H):
        shape[y][0] = False
    shape[0] = [False] * SKIN_W
    return shape, tab


def draw_skin():
    img = [[CUT] * SKIN_W for _ in range(SKIN_H)]
    shape, tab = skin_masks()

    def inside(x, y):
        return 0 <= x < SKIN_W and 0 <= y < SKIN_H and shape[y][x]

    for y in range(SKIN_H):
        for x in range(SKIN_W):
            if not shape[y][x]:
                continue
            on_tab = tab[y][x] and y < TAB_BOTTOM_Y
            if on_tab:
                colour = mix(TAB_TOP, TAB_BOTTOM, (y - TAB_TOP_Y) / (TAB_BOTTOM_Y - TAB_TOP_Y))
            else:
                colour = mix(FACE_TOP, FACE_BOTTOM, (y - 5) / (SKIN_H - 6))
            # a one-pixel outline against the cut, then a bevel just inside it
            if not all(inside(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                colour = RIM
            elif not inside(x - 1, y) or not inside(x, y - 1) or not inside(x - 1, y - 1):
                colour = TAB_LIGHT if on_tab else FACE_LIGHT
            elif not inside(x + 1, y) or not inside(x, y + 1) or not inside(x + 1, y + 1):
                colour = FACE_DARK
            img[y][x] = colour

    # The tab meets the panel in a soft step: a light line along the panel's
    # top edge either side of the tab, a darker seam under it.
    for x in range(1, SKIN_W):
        if inside(x, 5) and not tab[5][x] and img[5][x] != RIM:
            img[6][x] = mix(img[6][x], FACE_LIGHT, 0.45)
    for x in range(TAB_LEFT + 1, TAB_RIGHT - 1):
        img[TAB_BOTTOM_Y][x] = mix(img[TAB_BOTTOM_Y][x], FACE_DARK, 0.3)

    # Title: an envelope in the accent colour, then the product name.
    name = "Postwren"
    total = 9 + 4 + text_width(name)
    left = (TAB_LEFT + TAB_RIGHT - total) // 2
    draw_envelope(img, left, 4, ACCENT, ACCENT_DARK)
    draw_text(img, left + 13, 4, name, TITLE, TITLE_SHADOW)

    # A sunken socket for the two tiny buttons; an empty slot shows its floor.
    sx0 = BUTTON_MAILER[0] - 2
    sx1 = BUTTON_CLOSE[0] + BUTTON_SIZE + 2
    sy0 = BUTTON_MAILER[1] - 1
    sy1 = BUTTON_MAILER[1] + BUTTON_SIZE + 1
    bevel_box(img, sx0, sy0, sx1, sy1, SOCKET, SOCKET, WELL_EDGE_DARK, FACE_LIGHT)

    # The recessed message well the greeting is written on.
    lx, ly = LABEL_ORIGIN
    bevel_box(img, lx - 7, ly - 3, SKIN_W - 8, SKIN_H - 4, WELL_TOP, WELL_BOTTOM, WELL_EDGE_DARK, WELL_EDGE_LIGHT)

    # Three grip ridges in the right-hand notch.
    for y in (32, 35, 38):
        for x in (SKIN_W - 6, SKIN_W - 5):
            img[y][x] = FACE_DARK
            img[y + 1][x] = FACE_LIGHT
    return img


def bevel_box(img, x0, y0, x1, y1, top, bottom, dark, light):
    """A sunken box [x0, x1) x [y0, y1): dark top and left edges, light bottom and right."""
    for y in range(y0, y1):
        for x in range(x0, x1):
            if y == y0 or x == x0:
                c = dark
            elif y == y1 - 1 or x == x1 - 1:
                c = light
            else:
                c = mix(top, bottom, (y - y0) / max(1, y1 - y0 - 1))
            img[y][x] = c


# ---------------------------------------------------------------- the face at two device pixels a pixel
#
# The window's shape comes from skin.bmp alone, so this face cuts away exactly
# its pixels, doubled; inside that outline everything is drawn anew at the
# finer grid: thinner lines, smooth lettering and glyphs.

# The title lettering as strokes, in the cells of LETTERS (pixel centres at
# n + 0.5), for faces finer than one device pixel a pixel.
STROKES = {
    "P": [[(0.5, 0.5), (0.5, 6.5)], [(0.5, 0.5), (3.2, 0.5), (4.2, 1.1), (4.5, 2.0), (4.2, 2.9), (3.2, 3.5), (0.5, 3.5)]],
    "o": [[(2.0 + 1.5 * math.cos(a * math.pi / 8), 4.5 + 2.0 * math.sin(a * math.pi / 8)) for a in range(17)]],
    "s": [[(3.5, 2.6), (2.4, 2.5), (1.2, 2.6), (0.6, 3.3), (1.1, 4.2), (2.0, 4.5), (2.9, 4.8), (3.5, 5.6), (2.9, 6.4),
           (0.5, 6.5)]],
    "t": [[(1.5, 0.9), (1.5, 5.7), (2.0, 6.4), (3.5, 6.5)], [(0.4, 2.5), (3.0, 2.5)]],
    "w": [[(0.5, 2.5), (1.4, 6.5), (2.5, 3.8), (3.6, 6.5), (4.5, 2.5)]],
    "r": [[(0.5, 2.5), (0.5, 6.5)], [(0.5, 3.9), (1.3, 2.9), (2.3, 2.5), (3.5, 2.5)]],
    "e": [[(0.6, 4.5), (3.5, 4.5), (3.4, 3.6), (2.8, 2.7), (2.0, 2.5), (1.2, 2.7), (0.6, 3.5), (0.5, 4.6), (0.7, 5.6),
           (1.4, 6.4), (2.3, 6.5), (3.5, 6.5)]],
    "n": [[(0.5, 2.5), (0.5, 6.5)], [(0.5, 3.6), (1.3, 2.7), (2.4, 2.5), (3.2, 2.9), (3.5, 3.8), (3.5, 6.5)]],
}


def stroke_coverage(px, py, segments, half_width, ss=4):
    """How much of the device pixel (px, py) the strokes cover, 0 to 1; segments in device units."""
    hit = 0
    for sy in range(ss):
        for sx in range(ss):
            x, y = px + (sx + 0.5) / ss, py + (sy + 0.5) / ss
            if any(segment_distance(x, y, *seg) <= half_width for seg in segments):
                hit += 1
    return hit / (ss * ss)


def polyline_segments(points, scale, dx=0.0, dy=0.0):
    return [
        ((a[0] + dx) * scale, (a[1] + dy) * scale, (b[0] + dx) * scale, (b[1] + dy) * scale)
        for a, b in zip(points, points[1:])
    ]


def paint_strokes(img, segments, colour, half_width):
    """Blends colour over img where the segments (device units) pass."""
    if not segments:
        return
    x0 = int(min(min(s[0], s[2]) for s in segments) - half_width - 1)
    x1 = int(max(max(s[0], s[2]) for s in segments) + half_width + 2)
    y0 = int(min(min(s[1], s[3]) for s in segments) - half_width - 1)
    y1 = int(max(max(s[1], s[3]) for s in segments) + half_width + 2)
    for y in range(max(0, y0), min(len(img), y1)):
        for x in range(max(0, x0), min(len(img[0]), x1)):
            c = stroke_coverage(x, y, segments, half_width)
            if c > 0:
                img[y][x] = mix(img[y][x], colour, c)


def draw_text_hi(img, x, y, text, colour, shadow, scale):
    """draw_text's lettering as smooth strokes, at scale device pixels a pixel."""
    for pass_colour, off in ((shadow, 0.6), (colour, 0.0)):
        segments = []
        cx = x
        for ch in text:
            for line in STROKES[ch]:
                segments += polyline_segments(line, scale, cx + off, y + off)
            cx += letter_width(ch) + 1
        paint_strokes(img, segments, pass_colour, 0.5 * scale)


def bevel_box_hi(img, x0, y0, x1, y1, top, bottom, dark, light, scale):
    """bevel_box at scale device pixels a pixel: the edges one device pixel, then half a shade."""
    X0, Y0, X1, Y1 = x0 * scale, y0 * scale, x1 * scale, y1 * scale
    for y in range(Y0, Y1):
        for x in range(X0, X1):
            c = mix(top, bottom, (y - Y0) / max(1, Y1 - Y0 - 1))
            if y == Y0 or x == X0:
                c = dark
            elif y == Y1 - 1 or x == X1 - 1:
                c = light
            elif y == Y0 + 1 or x == X0 + 1:
                c = mix(c, dark, 0.5)
            elif y == Y1 - 2 or x == X1 - 2:
                c = mix(c, light, 0.5)
            img[y][x] = c


def draw_skin_hi(scale=HI):
    W, H = SKIN_W * scale, SKIN_H * scale
    shape1, tab1 = skin_masks()
    img = [[CUT] * W for _ in range(H)]

    def inside(x, y):
        return 0 <= x < W and 0 <= y < H and shape1[y // scale][x // scale]

    def outside_within(x, y, steps, k):
        return any(not inside(x + dx * k, y + dy * k) for dx, dy in steps)

    around = ((1, 0), (-1, 0), (0, 1), (0, -1))
    towards_light = ((-1, 0), (0, -1), (-1, -1))
    towards_dark = ((1, 0), (0, 1), (1, 1))
    for y in range(H):
        ly = (y + 0.5) / scale - 0.5  # the row, in the face's own pixels
        for x in range(W):
            if not inside(x, y):
                continue
            on_tab = tab1[y // scale][x // scale] and y // scale < TAB_BOTTOM_Y
            if on_tab:
                colour = mix(TAB_TOP, TAB_BOTTOM, (ly - TAB_TOP_Y) / (TAB_BOTTOM_Y - TAB_TOP_Y))
            else:
                colour = mix(FACE_TOP, FACE_BOTTOM, (ly - 5) / (SKIN_H - 6))
            light = TAB_LIGHT if on_tab else FACE_LIGHT
            # The outline one device pixel wide with a soft second; the bevel inside it.
            if outside_within(x, y, around, 1):
                colour = RIM
            elif outside_within(x, y, around, 2):
                colour = mix(colour, RIM, 0.55)
            elif outside_within(x, y, towards_light, 3):
                colour = light
            elif outside_within(x, y, towards_light, 4):
                colour = mix(colour, light, 0.5)
            elif outside_within(x, y, towards_dark, 3):
                colour = FACE_DARK
            elif outside_within(x, y, towards_dark, 4):
                colour = mix(colour, FACE_DARK, 0.5)
            img[y][x] = colour

    # The step where the tab meets the panel: a fine light line, a darker seam.
    for x in range(scale, W):
        if inside(x, 5 * scale) and not tab1[5][x // scale] and not outside_within(x, 5 * scale, around, 2):
            img[6 * scale][x] = mix(img[6 * scale][x], FACE_LIGHT, 0.45)
    for x in range((TAB_LEFT + 1) * scale, (TAB_RIGHT - 1) * scale):
        img[TAB_BOTTOM_Y * scale][x] = mix(img[TAB_BOTTOM_Y * scale][x], FACE_DARK, 0.3)
        img[TAB_BOTTOM_Y * scale + 1][x] = mix(img[TAB_BOTTOM_Y * scale + 1][x], FACE_DARK, 0.15)

    # Title: the envelope and the product name where skin.bmp has them.
    name = "Postwren"
    total = 9 + 4 + text_width(name)
    left = (TAB_LEFT + TAB_RIGHT - total) // 2
    ex, ey = left * scale, 4 * scale
    for y in range(ey, ey + 7 * scale):
        for x in range(ex, ex + 9 * scale):
            edge = min(x - ex, y - ey, ex + 9 * scale - 1 - x, ey + 7 * scale - 1 - y) < scale - 0.5
            img[y][x] = ACCENT_DARK if edge else ACCENT
    flap = [(left + 0.5, 4.5), (left + 4.5, 8.5), (left + 8.5, 4.5)]
    paint_strokes(img, polyline_segments(flap, scale), ACCENT_DARK, 0.4 * scale)
    draw_text_hi(img, left + 13, 4, name, TITLE, TITLE_SHADOW, scale)

    # The buttons' socket and the message well.
    sx0 = BUTTON_MAILER[0] - 2
    sx1 = BUTTON_CLOSE[0] + BUTTON_SIZE + 2
    sy0 = BUTTON_MAILER[1] - 1
    sy1 = BUTTON_MAILER[1] + BUTTON_SIZE + 1
    bevel_box_hi(img, sx0, sy0, sx1, sy1, SOCKET, SOCKET, WELL_EDGE_DARK, FACE_LIGHT, scale)
    lx, ly = LABEL_ORIGIN
    bevel_box_hi(img, lx - 7, ly - 3, SKIN_W - 8, SKIN_H - 4, WELL_TOP, WELL_BOTTOM, WELL_EDGE_DARK, WELL_EDGE_LIGHT,
                 scale)

    # The grip ridges: fine lines.
    for y in (32, 35, 38):
        for x in range((SKIN_W - 6) * scale, (SKIN_W - 4) * scale):
            img[y * scale + 1][x] = FACE_DARK
            img[y * scale + 2][x] = FACE_LIGHT
    return img


def draw_close_glyph_hi(scale=HI):
    n = GLYPH * scale
    img = [[GLYPH_BACK] * n for _ in range(n)]
    strokes = [(2.0 * scale, 2.0 * scale, 7.0 * scale, 7.0 * scale), (7.0 * scale, 2.0 * scale, 2.0 * scale, 7.0 * scale)]
    paint_strokes(img, strokes, GLYPH_INK, 0.55 * scale)
    return img


def draw_mailer_glyph_hi(scale=HI):
    n = GLYPH * scale
    img = [[GLYPH_BACK] * n for _ in range(n)]
    x0, y0, x1, y1 = 1 * scale, 2 * scale, 9 * scale, 8 * scale
    for y in range(y0, y1):
        for x in range(x0, x1):
            edge = min(x - x0, y - y0, x1 - 1 - x, y1 - 1 - y) < scale - 0.5
            img[y][x] = ACCENT_DARK if edge else ACCENT
    paint_strokes(img, polyline_segments([(1.5, 2.5), (5.0, 5.5), (8.5, 2.5)], scale), ACCENT_DARK, 0.4 * scale)
    return img


# ---------------------------------------------------------------- button glyphs


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def draw_close_glyph():
    img = [[GLYPH_BACK] * GLYPH for _ in range(GLYPH)]
    # An X of two strokes crossing on the centre of pixel (4, 4), the middle of
    # the 9 x 9 button face; edges softened toward the background.
    for y in range(GLYPH):
        for x in range(GLYPH):
            px, py = x + 0.5, y + 0.5
            d = min(segment_distance(px, py, 2.0, 2.0, 7.0, 7.0), segment_distance(px, py, 7.0, 2.0, 2.0, 7.0))
            img[y][x] = mix(GLYPH_BACK, GLYPH_INK, 1.25 - 1.3 * d)
    return img


def draw_mailer_glyph():
    img = [[GLYPH_BACK] * GLYPH for _ in range(GLYPH)]
    for y in range(2, 8):  # an envelope, 8 x 6
        for x in range(1, 9):
            edge = y in (2, 7) or x in (1, 8)
            img[y][x] = ACCENT_DARK if edge else ACCENT
    for i in range(3):
        img[3 + i][2 + i] = ACCENT_DARK
        img[3 + i][7 - i] = ACCENT_DARK
    return img


# ---------------------------------------------------------------- the icon


def icon_rgba(size):
    """The application icon at any size: a dark tile with a letter, and a wren perched on it."""
    ss = 4 if size <= 72 else 2  # samples per pixel along each axis; large sizes need fewer
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    u = (x + (sx + 0.5) / ss) / size
                    v = (y + (sy + 0.5) / ss) / size
                    c = icon_sample(u, v, 1.0 / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            n = ss * ss
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(
                    (
                        int(round(acc[0] / acc[3])),
                        int(round(acc[1] / acc[3])),
                        int(round(acc[2] / acc[3])),
                        int(round(255 * acc[3] / n)),
                    )
                )
        out.append(row)
    return out


def in_round_rect(u, v, x0, y0, x1, y1, r):
    if not (x0 <= u <= x1 and y0 <= v <= y1):
        return False
    cx = min(max(u, x0 + r), x1 - r)
    cy = min(max(v, y0 + r), y1 - r)
    return math.hypot(u - cx, v - cy) <= r


def in_ellipse(u, v, cx, cy, rx, ry, angle=0.0):
    ca, sa = math.cos(angle), math.sin(angle)
    du, dv = u - cx, v - cy
    a = du * ca + dv * sa
    b = -du * sa + dv * ca
    return (a / rx) ** 2 + (b / ry) ** 2 <= 1.0


def in_triangle(u, v, p, q, r):
    def side(a, b):
        return (b[0] - a[0]) * (v - a[1]) - (b[1] - a[1]) * (u - a[0])

    d1, d2, d3 = side(p, q), side(q, r), side(r, p)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


# The light rim around the tile's dark outline, so that the outline reads on
# a dark panel as well as on a light one.
HALO = (226, 229, 236)


def icon_sample(u, v, px):
    """The icon's colour at (u, v) in [0, 1), or None where it is transparent.

    px is one pixel of the size being drawn, in the same units: the tile's
    outline and its light rim are never thinner than one pixel."""
    brown, dark, belly, brow, ink = (152, 101, 60), (86, 55, 33), (224, 192, 142), (240, 226, 196), (30, 22, 18)
    # The wren: plump, tail cocked up behind it, perched on the envelope.
    if math.hypot(u - 0.342, v - 0.262) < 0.024:  # eye
        return ink
    if in_ellipse(u, v, 0.385, 0.228, 0.075, 0.016, 0.12):  # pale brow stripe
        return brow
    if in_triangle(u, v, (0.275, 0.245), (0.185, 0.29), (0.285, 0.305)):  # beak
        return dark
    if math.hypot(u - 0.365, v - 0.275) < 0.1:  # head
        return belly if v > 0.31 and u < 0.39 else brown
    if in_ellipse(u, v, 0.565, 0.355, 0.11, 0.065, 0.15):  # wing, barred
        return dark if (u * 0.9 + v * 0.45) % 0.05 < 0.017 else brown
    if in_ellipse(u, v, 0.45, 0.41, 0.13, 0.065, -0.1):  # belly
        return belly
    if in_ellipse(u, v, 0.5, 0.37, 0.18, 0.125, -0.12):  # body
        return brown
    if in_ellipse(u, v, 0.715, 0.235, 0.055, 0.15, 0.45):  # tail, barred across
        ca, sa = math.cos(0.45), math.sin(0.45)
        along = -(u - 0.715) * sa + (v - 0.235) * ca
        return dark if along % 0.055 < 0.02 else brown
    if 0.505 <= v <= 0.53 and (0.43 <= u <= 0.45 or 0.53 <= u <= 0.55):  # feet
        return dark
    # The envelope.
    ex0, ey0, ex1, ey1 = 0.14, 0.515, 0.86, 0.86
    if ex0 <= u <= ex1 and ey0 <= v <= ey1:
        mid = (ex0 + ex1) / 2
        edge = min(u - ex0, ex1 - u, v - ey0, ey1 - v) < 0.03
        flap = abs(abs(u - mid) * 0.58 - (v - ey0)) < 0.024 and v < ey0 + 0.22
        r = math.hypot(u - mid, v - (ey0 + 0.21))
        if r < 0.06:
            return ACCENT if r < 0.04 else ACCENT_DARK
        if edge or flap:
            return (172, 165, 152)
        return mix((252, 248, 238), (224, 216, 200), (v - ey0) / (ey1 - ey0))
    # The tile behind, its dark outline, and the light rim around that.
    halo, outline = max(px, 0.03), max(px, 0.035)
    t0, t1 = halo, 1.0 - halo
    if in_round_rect(u, v, t0, t0, t1, t1, 0.2):
        if not in_round_rect(u, v, t0 + outline, t0 + outline, t1 - outline, t1 - outline, 0.2 - outline):
            return RIM
        return mix((88, 95, 110), (40, 43, 51), (u * 0.3 + v * 0.7))
    if in_round_rect(u, v, 0.0, 0.0, 1.0, 1.0, 0.2 + halo):
        return HALO
    return None


# ---------------------------------------------------------------- the scalable icon


def icon_svg():
    """The icon of icon_sample as an SVG picture, its shapes in the same order."""
    n = 256.0

    def f(x):
        return ("%.3f" % (x * n)).rstrip("0").rstrip(".")

    def rgb(c):
        return "#%02x%02x%02x" % c

    def ellipse(cx, cy, rx, ry, angle, fill):
        turn = ' transform="rotate(%.3f %s %s)"' % (math.degrees(angle), f(cx), f(cy)) if angle else ""
        return '<ellipse cx="%s" cy="%s" rx="%s" ry="%s" fill="%s"%s/>' % (f(cx), f(cy), f(rx), f(ry), fill, turn)

    def rect(x0, y0, x1, y1, fill, r=0.0):
        rounded = ' rx="%s"' % f(r) if r else ""
        return '<rect x="%s" y="%s" width="%s" height="%s"%s fill="%s"/>' % (
            f(x0), f(y0), f(x1 - x0), f(y1 - y0), rounded, fill)

    brown, dark, belly, brow, ink = (152, 101, 60), (86, 55, 33), (224, 192, 142), (240, 226, 196), (30, 22, 18)
    ex0, ey0, ex1, ey1 = 0.14, 0.515, 0.86, 0.86
    mid = (ex0 + ex1) / 2
    flap = 0.58 * (mid - ex0)
    # The tile's colour runs along (0.3, 0.7): t = 0.3 u + 0.7 v.
    k = 1.0 / (0.3 * 0.3 + 0.7 * 0.7)
    wing_turn = math.degrees(math.atan2(0.45, 0.9))
    wing_period = 0.05 / math.hypot(0.9, 0.45)
    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">',
        "<defs>",
        '<linearGradient id="tile" gradientUnits="userSpaceOnUse" x1="0" y1="0" x2="%s" y2="%s">'
        '<stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/></linearGradient>'
        % (f(0.3 * k), f(0.7 * k), rgb((88, 95, 110)), rgb((40, 43, 51))),
        '<linearGradient id="paper" gradientUnits="userSpaceOnUse" x1="0" y1="%s" x2="0" y2="%s">'
        '<stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/></linearGradient>'
        % (f(ey0), f(ey1), rgb((252, 248, 238)), rgb((224, 216, 200))),
        '<pattern id="tail" patternUnits="userSpaceOnUse" x="0" y="%s" width="256" height="%s" '
        'patternTransform="rotate(%.3f %s %s)">%s%s</pattern>'
        % (f(0.235), f(0.055), math.degrees(0.45), f(0.715), f(0.235),
           rect(-1, 0, 2, 0.055, rgb(brown)), rect(-1, 0, 2, 0.02, rgb(dark))),
        '<pattern id="wing" patternUnits="userSpaceOnUse" x="0" y="0" width="%s" height="256" '
        'patternTransform="rotate(%.3f)">%s%s</pattern>'
        % (f(wing_period), wing_turn, rect(0, -1, wing_period, 2, rgb(brown)),
           rect(0, -1, 0.017 / math.hypot(0.9, 0.45), 2, rgb(dark))),
        '<clipPath id="envelope">%s</clipPath>' % rect(ex0, ey0, ex1, ey1, "#000"),
        '<clipPath id="head"><circle cx="%s" cy="%s" r="%s"/></clipPath>' % (f(0.365), f(0.275), f(0.1)),
        "</defs>",
        rect(0.0, 0.0, 1.0, 1.0, rgb(HALO), 0.23),
        rect(0.03, 0.03, 0.97, 0.97, rgb(RIM), 0.2),
        rect(0.065, 0.065, 0.935, 0.935, "url(#tile)", 0.165),
        rect(ex0, ey0, ex1, ey1, rgb((172, 165, 152))),
        rect(ex0 + 0.03, ey0 + 0.03, ex1 - 0.03, ey1 - 0.03, "url(#paper)"),
        '<polyline clip-path="url(#envelope)" fill="none" stroke="%s" stroke-width="%s" points="%s,%s %s,%s %s,%s"/>'
        % (rgb((172, 165, 152)), f(0.048 / math.hypot(1, 0.58)),
           f(ex0), f(ey0 + flap), f(mid), f(ey0), f(ex1), f(ey0 + flap)),
        '<circle cx="%s" cy="%s" r="%s" fill="%s"/>' % (f(mid), f(ey0 + 0.21), f(0.06), rgb(ACCENT_DARK)),
        '<circle cx="%s" cy="%s" r="%s" fill="%s"/>' % (f(mid), f(ey0 + 0.21), f(0.04), rgb(ACCENT)),
        rect(0.43, 0.505, 0.45, 0.53, rgb(dark)),
        rect(0.53, 0.505, 0.55, 0.53, rgb(dark)),
        ellipse(0.715, 0.235, 0.055, 0.15, 0.45, "url(#tail)"),
        ellipse(0.5, 0.37, 0.18, 0.125, -0.12, rgb(brown)),
        ellipse(0.45, 0.41, 0.13, 0.065, -0.1, rgb(belly)),
        ellipse(0.565, 0.355, 0.11, 0.065, 0.15, "url(#wing)"),
        '<circle cx="%s" cy="%s" r="%s" fill="%s"/>' % (f(0.365), f(0.275), f(0.1), rgb(brown)),
        '<g clip-path="url(#head)">%s</g>' % rect(0.2, 0.31, 0.39, 0.4, rgb(belly)),
        '<polygon points="%s,%s %s,%s %s,%s" fill="%s"/>'
        % (f(0.275), f(0.245), f(0.185), f(0.29), f(0.285), f(0.305), rgb(dark)),
        ellipse(0.385, 0.228, 0.075, 0.016, 0.12, rgb(brow)),
        '<circle cx="%s" cy="%s" r="%s" fill="%s"/>' % (f(0.342), f(0.262), f(0.024), rgb(ink)),
        "</svg>",
    ]
    return ("\n".join(out) + "\n").encode("ascii")


# ---------------------------------------------------------------- main


def artwork():
    """Every output file: name -> bytes."""
    files = {
        "skin.bmp": bmp24(SKIN_W, SKIN_H, draw_skin()),
        "mailer.bmp": bmp24(GLYPH, GLYPH, draw_mailer_glyph()),
        "close.bmp": bmp24(GLYPH, GLYPH, draw_close_glyph()),
    }
    files["skin@2x.bmp"] = bmp24(SKIN_W * HI, SKIN_H * HI, draw_skin_hi())
    files["mailer@2x.bmp"] = bmp24(GLYPH * HI, GLYPH * HI, draw_mailer_glyph_hi())
    files["close@2x.bmp"] = bmp24(GLYPH * HI, GLYPH * HI, draw_close_glyph_hi())
    icon = icon_rgba(ICON)
    files["postwren.ico"] = ico8(ICON, icon)
    for size in ICON_SIZES:
        files["postwren-%d.png" % size] = png(size, icon if size == ICON else icon_rgba(size))
    files["postwren.svg"] = icon_svg()
    return files


def main(args):
    files = artwork()
    if args[:1] == ["--check"]:
        stale = []
        for name, data in files.items():
            try:
                with open(os.path.join(HERE, name), "rb") as f:
                    same = f.read() == data
            except OSError:
                same = False
            if not same:
                stale.append(name)
        for name in stale:
            print("draw_artwork: %s differs from what the script draws" % name, file=sys.stderr)
        return 1 if stale else 0
    out = args[0] if args else HERE
    os.makedirs(out, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
