#!/usr/bin/env python3
"""Acts on StatusNotifierItems as a host's user would, through D-Bus alone.

    sni_ctl.py items              registered items, one "service/path" a line
    sni_ctl.py title ITEM         the item's Title
    sni_ctl.py menu ITEM          its dbusmenu's top level: "id<TAB>label" a line,
                                  "id<TAB>-" for a separator; hidden entries left out
    sni_ctl.py click ITEM LABEL   sends the dbusmenu "clicked" event to the entry
    sni_ctl.py activate ITEM      a left click on the icon (Activate)
    sni_ctl.py icon ITEM DIR [SIZE...]
                                  checks the item's pictures against the artwork in DIR: one
                                  in IconPixmap for each postwren-<n>.png, pixel for pixel,
                                  and IconName "postwren" in an IconThemePath that holds it;
                                  prints one line per size. Each SIZE is one a host asks for:
                                  it must be drawn (postwren-SIZE.png) and offered as drawn

Exits 1 when the item or entry does not answer or does not exist.
"""
import asyncio
import os
import re
import struct
import sys
import time
import zlib

from dbus_next import BusType, Message, MessageType, Variant
from dbus_next.aio import MessageBus

ITEM_IFACE = "org.kde.StatusNotifierItem"
MENU_IFACE = "com.canonical.dbusmenu"


async def call(bus, dest, path, iface, member, signature="", body=()):
    reply = await bus.call(Message(destination=dest, path=path, interface=iface, member=member,
                                   signature=signature, body=list(body)))
    if reply.message_type == MessageType.ERROR:
        raise RuntimeError("%s.%s: %s %s" % (iface, member, reply.error_name, reply.body))
    return reply.body


async def prop(bus, dest, path, iface, name):
    (value,) = await call(bus, dest, path, "org.freedesktop.DBus.Properties", "Get", "ss", (iface, name))
    return value.value


def split(item):
    service, _, path = item.partition("/")
    return service, "/" + path if path else "/StatusNotifierItem"


async def menu_entries(bus, item):
    service, path = split(item)
    menu_path = await prop(bus, service, path, ITEM_IFACE, "Menu")
    _rev, layout = await call(bus, service, menu_path, MENU_IFACE, "GetLayout", "iias", (0, -1, []))
    entries = []
    for child in layout[2]:
        cid, props, _children = child.value
        if "visible" in props and not props["visible"].value:
            continue
        if "type" in props and props["type"].value == "separator":
            entries.append((cid, "-"))
        else:
            entries.append((cid, props["label"].value if "label" in props else ""))
    return service, menu_path, entries


def png_argb(path):
    """An 8-bit RGBA PNG as (width, ARGB bytes), the layout of IconPixmap."""
    data = open(path, "rb").read()
    width, height = struct.unpack(">II", data[16:24])
    if data[24:26] != b"\x08\x06":
        raise RuntimeError("%s: not 8-bit RGBA" % path)
    at, idat = 8, b""
    while at < len(data):
        n = struct.unpack(">I", data[at : at + 4])[0]
        if data[at + 4 : at + 8] == b"IDAT":
            idat += data[at + 8 : at + 8 + n]
        at += 12 + n
    raw, stride, prev, out = zlib.decompress(idat), width * 4, bytearray(width * 4), bytearray()
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
        for x in range(width):
            r, g, b, a = line[4 * x : 4 * x + 4]
            out += bytes((a, r, g, b))
    return width, bytes(out)


async def check_icon(bus, item, folder, asked):
    service, path = split(item)
    offered = {w: bytes(argb) for w, h, argb in await prop(bus, service, path, ITEM_IFACE, "IconPixmap")}
    ok = True
    for size in asked:
        # A size nobody drew would otherwise pass unnoticed: the loop below
        # looks only at the artwork there is.
        if not os.path.isfile(os.path.join(folder, "postwren-%d.png" % size)):
            print("%d: asked, but no artwork is drawn for it" % size)
            ok = False
    for name in sorted(os.listdir(folder)):
        m = re.fullmatch(r"postwren-(\d+)\.png", name)
        if not m:
            continue
        width, argb = png_argb(os.path.join(folder, name))
        verdict = "missing" if width not in offered else "as drawn" if offered[width] == argb else "differs"
        ok = ok and verdict == "as drawn"
        print("%d: %s%s" % (width, verdict, " (asked)" if width in asked else ""))
    icon_name = await prop(bus, service, path, ITEM_IFACE, "IconName")
    theme = await prop(bus, service, path, ITEM_IFACE, "IconThemePath")
    in_theme = os.path.isfile(os.path.join(theme, "hicolor", "32x32", "apps", icon_name + ".png"))
    print("IconName %r in IconThemePath %r: %s" % (icon_name, theme, "found" if in_theme else "not found"))
    return 0 if ok and icon_name == "postwren" and in_theme else 1


async def main(argv):
    bus = await MessageBus(bus_type=BusType.SESSION).connect()
    cmd = argv[1]
    if cmd == "items":
        for item in await prop(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                               "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"):
            print(item)
    elif cmd == "title":
        service, path = split(argv[2])
        print(await prop(bus, service, path, ITEM_IFACE, "Title"))
    elif cmd == "menu":
        _s, _p, entries = await menu_entries(bus, argv[2])
        for cid, label in entries:
            print("%d\t%s" % (cid, label))
    elif cmd == "click":
        service, menu_path, entries = await menu_entries(bus, argv[2])
        ids = [cid for cid, label in entries if label == argv[3]]
        if not ids:
            print("no entry %r" % argv[3], file=sys.stderr)
            return 1
        await call(bus, service, menu_path, MENU_IFACE, "Event", "isvu",
                   (ids[0], "clicked", Variant("i", 0), int(time.time()) & 0xFFFFFFFF))
    elif cmd == "activate":
        service, path = split(argv[2])
        await call(bus, service, path, ITEM_IFACE, "Activate", "ii", (0, 0))
    elif cmd == "icon":
        return await check_icon(bus, argv[2], argv[3], [int(size) for size in argv[4:]])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


try:
    sys.exit(asyncio.run(main(sys.argv)))
except (RuntimeError, IndexError, KeyError) as e:
    print("sni_ctl: %s" % e, file=sys.stderr)
    sys.exit(1)
