#!/usr/bin/env python3
"""Acts on StatusNotifierItems as a host's user would, through D-Bus alone.

    sni_ctl.py items              registered items, one "service/path" a line
    sni_ctl.py title ITEM         the item's Title
    sni_ctl.py menu ITEM          its dbusmenu's top level: "id<TAB>label" a line,
                                  "id<TAB>-" for a separator; hidden entries left out
    sni_ctl.py click ITEM LABEL   sends the dbusmenu "clicked" event to the entry
    sni_ctl.py activate ITEM      a left click on the icon (Activate)

Exits 1 when the item or entry does not answer or does not exist.
"""
import asyncio
import sys
import time

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
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


try:
    sys.exit(asyncio.run(main(sys.argv)))
except (RuntimeError, IndexError, KeyError) as e:
    print("sni_ctl: %s" % e, file=sys.stderr)
    sys.exit(1)
